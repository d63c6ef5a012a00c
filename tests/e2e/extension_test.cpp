// The extension groups through the real library and the test agent module:
// enabling each group (what is asked for, what is logged, what a refusal
// returns), forwarding of all 25 extension functions, neutral answers while a
// group is not enabled, and the guarantees around table pointers: they go
// with the module that gave them, a refusal never leaves one behind, and an
// unsafe fork child never asks the module for one. Also the module refusing
// the metrics group that initialization enables itself.
#include <stdint.h>

#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>

#include "fork_support.h"
#include "lifecycle_support.h"
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

namespace {

using namespace lifecycle;
using test_agent::Address;

// One extension group as the module and the library know it.
struct Group {
    const char* name;
    uint32_t interface_id;
    int64_t result_base;
    vexlin_result_t (*enable)(void);  // nullptr: enabled by initialization
};

constexpr Group kMetrics = {"metrics", VEXLIN_ABI_INTERFACE_EX_METRICS, TEST_AGENT_METRICS_RESULT_BASE, nullptr};
constexpr Group kSpan = {"span", VEXLIN_ABI_INTERFACE_EX_SPAN, TEST_AGENT_SPAN_RESULT_BASE, vexlin_ex_api_enable_span};
constexpr Group kTechtype = {"techtype", VEXLIN_ABI_INTERFACE_EX_TECHTYPE, TEST_AGENT_TECHTYPE_RESULT_BASE,
                             vexlin_ex_api_enable_techtype};
constexpr Group kTracerExt = {"tracer_ext", VEXLIN_ABI_INTERFACE_EX_TRACER_EXT, TEST_AGENT_TRACER_EXT_RESULT_BASE,
                              vexlin_ex_api_enable_tracer_ext};
constexpr Group kServerless = {"serverless", VEXLIN_ABI_INTERFACE_EX_SERVERLESS, TEST_AGENT_SERVERLESS_RESULT_BASE,
                               vexlin_ex_api_enable_serverless};
constexpr Group kEnabledByApplication[] = {kSpan, kTechtype, kTracerExt, kServerless};

// Calls visit(group, function, slot, name) for every extension function,
// straight from the lists the library and the module are built from.
template <typename Visitor>
int ForEachExtensionFunction(Visitor&& visit) {
    int visited = 0;
#define EX_VISIT(slot, field, exported, result, params, args, neutral) \
    visit(group, &vexlin_##exported, slot, "vexlin_" #exported);       \
    ++visited;
#define EX_VISIT0(slot, field, exported, result, neutral) EX_VISIT(slot, field, exported, result, (), (), neutral)
    {
        const Group& group = kMetrics;
        VEXLIN_EX_METRICS_FUNCS(EX_VISIT, EX_VISIT0)
    }
    {
        const Group& group = kSpan;
        VEXLIN_EX_SPAN_FUNCS(EX_VISIT, EX_VISIT0)
    }
    {
        const Group& group = kTechtype;
        VEXLIN_EX_TECHTYPE_FUNCS(EX_VISIT, EX_VISIT0)
    }
    {
        const Group& group = kTracerExt;
        VEXLIN_EX_TRACER_EXT_FUNCS(EX_VISIT, EX_VISIT0)
    }
    {
        const Group& group = kServerless;
        VEXLIN_EX_SERVERLESS_FUNCS(EX_VISIT, EX_VISIT0)
    }
#undef EX_VISIT
#undef EX_VISIT0
    return visited;
}

// Distinct arguments: each position its own value, with high bits and signs
// that a narrowing or a swap on the way would change. Pointers are only
// passed on, never read, by the library and the module.
alignas(16) unsigned char g_objects[TEST_AGENT_MAX_VALUES][64];

template <typename T>
T ArgumentValue(size_t position) {
    if constexpr (std::is_pointer<T>::value) {
        return reinterpret_cast<T>(&g_objects[position][0]);
    } else if constexpr (std::is_floating_point<T>::value) {
        return static_cast<T>(-1024.25 - static_cast<double>(position));
    } else if constexpr (std::is_signed<T>::value) {
        return static_cast<T>(-0x7654321 - static_cast<long long>(position));
    } else {
        return static_cast<T>(0xA5A5A5A5F00D0000ull + position);
    }
}

// How the module records an integer or pointer argument.
template <typename T>
uint64_t Recorded(T value) {
    if constexpr (std::is_pointer<T>::value) {
        return Address(value);
    } else if constexpr (std::is_signed<T>::value) {
        return static_cast<uint64_t>(static_cast<int64_t>(value));
    } else {
        return static_cast<uint64_t>(value);
    }
}

template <typename T>
void ExpectArgument(const test_agent_event_t& call, size_t position, T value) {
    if constexpr (std::is_floating_point<T>::value) {
        EXPECT_EQ(static_cast<double>(value), call.reals[position]) << "argument " << position;
    } else {
        EXPECT_EQ(Recorded(value), call.values[position]) << "argument " << position;
    }
}

// Calls `function` with ArgumentValue arguments; gives (has result, result).
template <typename R, typename... A, size_t... I>
std::pair<bool, int64_t> Invoke(R (*function)(A...), std::index_sequence<I...>) {
    if constexpr (std::is_void<R>::value) {
        function(ArgumentValue<A>(I)...);
        return {false, 0};
    } else {
        return {true, static_cast<int64_t>(function(ArgumentValue<A>(I)...))};
    }
}

template <typename R, typename... A>
std::pair<bool, int64_t> Invoke(R (*function)(A...)) {
    return Invoke(function, std::index_sequence_for<A...>());
}

template <typename R, typename... A, size_t... I>
void ExpectForwarded(const Group& group, R (*function)(A...), int32_t slot, const void* agent,
                     std::index_sequence<I...>) {
    test_agent::Control().reset();
    const std::pair<bool, int64_t> answer = Invoke(function);

    const std::vector<test_agent_event_t> calls = test_agent::Events();
    ASSERT_EQ(1u, calls.size());
    const test_agent_event_t& call = calls[0];
    EXPECT_EQ(TEST_AGENT_EVENT_EX_SLOT, call.kind);
    EXPECT_EQ(group.interface_id, call.interface_id);
    EXPECT_EQ(slot, call.slot);
    EXPECT_EQ(agent, call.agent) << "the agent object comes first";
    ASSERT_EQ(sizeof...(A), call.value_count);
    (ExpectArgument(call, I, ArgumentValue<A>(I)), ...);
    if (answer.first) {
        EXPECT_EQ(group.result_base + slot, answer.second) << "the module's answer, unchanged";
    }
}

template <typename R, typename... A>
void ExpectForwarded(const Group& group, R (*function)(A...), int32_t slot, const void* agent) {
    ExpectForwarded(group, function, slot, agent, std::index_sequence_for<A...>());
}

// Every neutral answer of an extension function is 0.
template <typename R, typename... A>
void ExpectNeutral(R (*function)(A...)) {
    const std::pair<bool, int64_t> answer = Invoke(function);
    if (answer.first) {
        EXPECT_EQ(0, answer.second);
    }
}

std::string LoadedMessage(const Group& group) { return std::string("Loaded extension API ") + group.name + "."; }

std::string FailedMessage(const Group& group, const std::string& reason) {
    return std::string("Failed to load extension API ") + group.name + ": " + reason;
}

class Extensions : public LifecycleTest {
protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        SetVariable(std::string("agentlibrary=") + TEST_AGENT_PATH);
    }

    // Initializes and enables every group; gives the agent object.
    const void* InitializeWithEveryGroup() {
        EXPECT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
        for (const Group& group : kEnabledByApplication) EXPECT_EQ(VEXLIN_SUCCESS, group.enable()) << group.name;
        return test_agent::Control().agent;
    }

    // Calls every function of the groups `matches` accepts; all must answer
    // neutrally without reaching the module.
    template <typename Matches>
    void ExpectNeutralWithoutModuleCalls(Matches matches) {
        const size_t before = test_agent::Control().event_count;
        ForEachExtensionFunction([&](const Group& group, auto function, int32_t, const char* name) {
            if (!matches(group)) return;
            SCOPED_TRACE(name);
            ExpectNeutral(function);
        });
        EXPECT_EQ(before, test_agent::Control().event_count) << "nothing may reach the module";
    }
};

bool AnyGroup(const Group&) { return true; }
bool NotMetrics(const Group& group) { return group.enable != nullptr; }

// ---- Enabling -----------------------------------------------------------------

TEST_F(Extensions, EnablingBeforeInitializationIsRefusedSilently) {
    for (const Group& group : kEnabledByApplication) {
        EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, group.enable()) << group.name;
    }
    EXPECT_TRUE(LogCapture::Entries().empty());
    EXPECT_TRUE(test_agent::Events().empty());
}

TEST_F(Extensions, EnablingAfterTheLastShutdownIsRefusedSilently) {
    InitializeWithEveryGroup();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    LogCapture::Clear();
    test_agent::Control().reset();

    for (const Group& group : kEnabledByApplication) {
        EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, group.enable()) << group.name;
    }
    EXPECT_TRUE(LogCapture::Entries().empty());
    EXPECT_TRUE(test_agent::Events().empty());
}

TEST_F(Extensions, EachGroupAsksForItsOwnInterfaceAndLogsItsName) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    const std::vector<std::string> expected_requests = {"91620005/6", "91730001/6", "91620003/6", "91790001/6"};

    std::vector<std::string> requests;
    for (const Group& group : kEnabledByApplication) {
        SCOPED_TRACE(group.name);
        test_agent::Control().reset();
        LogCapture::Clear();

        EXPECT_EQ(VEXLIN_SUCCESS, group.enable());

        const std::vector<test_agent_event_t> calls = test_agent::Events();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(TEST_AGENT_EVENT_GET_LIBRARY, calls[0].kind);
        requests.push_back(test_agent::LibraryRequests()[0]);
        EXPECT_EQ(1800u, calls[0].values[1]) << "message buffer length";
        EXPECT_EQ(1u, calls[0].values[2]) << "the message buffer is emptied before the request";
        EXPECT_EQ((std::vector<LogEntry>{{kInfo, LoadedMessage(group)}}), LogCapture::Entries());
    }
    EXPECT_EQ(expected_requests, requests);
}

TEST_F(Extensions, RefusalIsLoggedWithTheModulesMessageAndReturnsItsResult) {
    SetVariable("testagent_refuse=91620005,91730001,91620003,91790001");
    SetVariable("testagent_refuse_result=0xAFFE0009:not offered by this agent");
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    for (const Group& group : kEnabledByApplication) {
        SCOPED_TRACE(group.name);
        LogCapture::Clear();
        EXPECT_EQ(VEXLIN_ERROR_UNEXPECTED, group.enable());
        EXPECT_EQ((std::vector<LogEntry>{{kSevere, FailedMessage(group, "not offered by this agent")}}),
                  LogCapture::Entries());
    }
    test_agent::Control().reset();
    ExpectNeutralWithoutModuleCalls(NotMetrics);
}

TEST_F(Extensions, RefusalWithoutMessageIsLoggedWithTheTextOfTheResult) {
    SetVariable("testagent_refuse=91620005,91730001,91620003,91790001");
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    for (const Group& group : kEnabledByApplication) {
        SCOPED_TRACE(group.name);
        LogCapture::Clear();
        EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, group.enable());
        EXPECT_EQ((std::vector<LogEntry>{{kSevere, FailedMessage(group, "Interface not supported.")}}),
                  LogCapture::Entries());
    }
}

TEST_F(Extensions, RefusalWithAPlatformErrorIsLoggedWithItsText) {
    SetVariable("testagent_refuse=91730001");
    SetVariable("testagent_refuse_result=22");
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    LogCapture::Clear();

    EXPECT_EQ(22u, vexlin_ex_api_enable_techtype());

    EXPECT_EQ((std::vector<LogEntry>{{kSevere, FailedMessage(kTechtype, ErrorText(22))}}), LogCapture::Entries());
}

// ---- Forwarding ---------------------------------------------------------------

TEST_F(Extensions, EveryFunctionReachesItsSlotWithTheAgentAndExactArguments) {
    const void* agent = InitializeWithEveryGroup();
    ASSERT_NE(nullptr, agent);

    const int functions =
        ForEachExtensionFunction([&](const Group& group, auto function, int32_t slot, const char* name) {
            SCOPED_TRACE(name);
            ExpectForwarded(group, function, slot, agent);
        });
    EXPECT_EQ(25, functions);
}

TEST_F(Extensions, GroupsNotEnabledAnswerNeutrallyWhileAnAgentIsAttached) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(1003, vexlin_agent_get_current_state()) << "attached";
    test_agent::Control().reset();

    EXPECT_EQ(0u, vexlin_ex_spantracer_create(1));
    EXPECT_EQ(0, vexlin_ex_tracer_start_2(1, 0, 1600000000000000));
    ExpectNeutralWithoutModuleCalls(NotMetrics);

    // Metrics need no enabling.
    EXPECT_EQ(TEST_AGENT_METRICS_RESULT_BASE + 3, vexlin_integergaugemetric_create_p(nullptr, nullptr, nullptr));
}

// ---- Table pointers -----------------------------------------------------------

TEST_F(Extensions, TablesGoWithTheModuleThatGaveThem) {
    InitializeWithEveryGroup();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    ASSERT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    ExpectNeutralWithoutModuleCalls(AnyGroup);

    // The module is opened again, quite possibly at the same address: a kept
    // table pointer would then forward, or point into nothing.
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    const void* agent = test_agent::Control().agent;
    test_agent::Control().reset();
    ExpectNeutralWithoutModuleCalls(NotMetrics);

    ForEachExtensionFunction([&](const Group& group, auto function, int32_t slot, const char* name) {
        if (group.enable != nullptr) return;
        SCOPED_TRACE(name);
        ExpectForwarded(group, function, slot, agent);
    });

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_ex_api_enable_span());
    EXPECT_EQ(TEST_AGENT_SPAN_RESULT_BASE + 0, static_cast<int64_t>(vexlin_ex_spantracer_create(2)));
}

TEST_F(Extensions, JunkFromARefusalIsNeverCalled) {
    SetVariable("testagent_refuse=91620005,91730001,91620003,91790001");
    SetVariable("testagent_junk_on_refuse=1");
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    for (const Group& group : kEnabledByApplication) {
        EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, group.enable()) << group.name;
    }
    const std::vector<test_agent_event_t> requests = test_agent::Events(TEST_AGENT_EVENT_GET_LIBRARY);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, requests.back().result) << "the module did refuse";

    // Calling through the junk would crash.
    ExpectNeutralWithoutModuleCalls(NotMetrics);
}

TEST_F(Extensions, SuccessWithoutATableIsAnInvalidBinary) {
    SetVariable("testagent_null_table=91620005,91730001,91620003,91790001");
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    LogCapture::Clear();

    for (const Group& group : kEnabledByApplication) {
        EXPECT_EQ(VEXLIN_ERROR_INVALID_AGENT_BINARY, group.enable()) << group.name;
        EXPECT_TRUE(LogCapture::Contains(kSevere, FailedMessage(group, "Invalid agent binary.")));
    }
    ExpectNeutralWithoutModuleCalls(NotMetrics);
}

TEST_F(Extensions, RefusedReEnablingKeepsTheTableEnabledBefore) {
    SetVariable("testagent_junk_on_refuse=1");
    const void* agent = InitializeWithEveryGroup();
    for (const Group& group : kEnabledByApplication) test_agent::Control().refuse_interface(group.interface_id);
    LogCapture::Clear();

    for (const Group& group : kEnabledByApplication) {
        EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, group.enable()) << group.name;
        EXPECT_TRUE(LogCapture::Contains(kSevere, FailedMessage(group, "Interface not supported.")));
    }

    ForEachExtensionFunction([&](const Group& group, auto function, int32_t slot, const char* name) {
        SCOPED_TRACE(name);
        ExpectForwarded(group, function, slot, agent);
    });
}

TEST_F(Extensions, UnsafeForkChildRefusesToEnableWithoutAskingTheModule) {
    forking::Watchdog watchdog(60, "UnsafeForkChildRefusesToEnableWithoutAskingTheModule");
    SetVariable("testagent_block_init=1");
    vexlin_result_t rc = VEXLIN_ERROR_GENERIC;
    std::thread initializer([&rc] { rc = vexlin_initialize(); });
    test_agent::Control().wait_until_init_blocked();

    // The module's entry points are resolved by now: only the library's own
    // check can keep the child from calling it.
    EXPECT_EQ("", forking::InChild([] {
                  const size_t before = test_agent::Control().event_count;
                  for (const Group& group : kEnabledByApplication) {
                      CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, group.enable());
                  }
                  CHILD_CHECK_EQ(before, test_agent::Control().event_count);
                  CHILD_CHECK_EQ(0, vexlin_ex_spantracer_create(1));
              }));

    test_agent::Control().release_init();
    initializer.join();
    ASSERT_EQ(VEXLIN_SUCCESS, rc);
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_ex_api_enable_span()) << "the parent is unaffected";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

// ---- Metrics during initialization --------------------------------------------

TEST_F(Extensions, ModuleRefusingMetricsFailsInitializationAndUndoesTheLoad) {
    SetVariable("testagent_refuse=91680001");
    SetVariable("testagent_refuse_result=0xAFFE0009:metrics are switched off");

    EXPECT_EQ(VEXLIN_ERROR_UNEXPECTED, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(Concat(LoadPrologue(TEST_AGENT_PATH,
                                   {"testagent_refuse=91680001",
                                    "testagent_refuse_result=0xAFFE0009:metrics are switched off", InitFlags(0)}),
                      ModuleStartedLog()),
               {{kFine, "Initializing agent..."},
                {kSevere, FailedMessage(kMetrics, "metrics are switched off")},
                {kSevere, std::string(kAgentFailure) + "Unexpected error."}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ((std::vector<std::string>{"1730002/6", "91680001/6"}), test_agent::LibraryRequests());
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_GET_AGENT)) << "no agent without metrics";
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo()) << "the load itself had reached a compatible module";
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown()) << "nothing is left to shut down";

    // Nothing of the failed attempt lingers.
    SetVariable("testagent_refuse=");
    test_agent::Control().reset();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(TEST_AGENT_METRICS_RESULT_BASE + 1, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

TEST_F(Extensions, ModuleRefusingMetricsWithoutMessageIsLoggedWithTheResultText) {
    SetVariable("testagent_refuse=91680001");

    EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, vexlin_initialize());

    const std::vector<LogEntry> severe = {{kSevere, FailedMessage(kMetrics, "Interface not supported.")},
                                          {kSevere, std::string(kAgentFailure) + "Interface not supported."}};
    EXPECT_EQ(severe, LogCapture::AtLeast(kWarning));
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
}

}  // namespace
