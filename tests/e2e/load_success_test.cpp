// A successful initialization through the real library and the test agent
// module: what is logged, what the module is handed, and that calls reach the
// agent table afterwards.
#include <string.h>

#include <thread>

#include "lifecycle_support.h"
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

namespace {

using namespace lifecycle;
using test_agent::Address;

class SuccessfulLoad : public LifecycleTest {
protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        SetVariable(std::string("agentlibrary=") + TEST_AGENT_PATH);
    }
};

TEST_F(SuccessfulLoad, LogsEveryStepAtItsLevel) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(Concat(LoadPrologue(TEST_AGENT_PATH, {InitFlags(0)}), ModuleStartedLog()), AgentStartedLog());
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo());
    EXPECT_EQ(TEST_AGENT_DEFAULT_VERSION, VersionText());
}

TEST_F(SuccessfulLoad, AsksTheModuleForTheLibraryTableThenMetricsThenTheAgent) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    std::vector<test_agent_event_kind_t> kinds;
    for (const test_agent_event_t& e : test_agent::Events()) kinds.push_back(e.kind);
    const std::vector<test_agent_event_kind_t> expected_kinds = {
        TEST_AGENT_EVENT_INITIALIZE, TEST_AGENT_EVENT_GET_LIBRARY, TEST_AGENT_EVENT_GET_VERSION_STRING,
        TEST_AGENT_EVENT_GET_LIBRARY, TEST_AGENT_EVENT_GET_AGENT};
    EXPECT_EQ(expected_kinds, kinds);
    EXPECT_EQ((std::vector<std::string>{"1730002/6", "91680001/6"}), test_agent::LibraryRequests());
    EXPECT_EQ(VEXLIN_ABI_INTERFACE_LIBRARY_5, test_agent::Events(TEST_AGENT_EVENT_GET_VERSION_STRING)[0].interface_id);

    const test_agent_event_t init = test_agent::Events(TEST_AGENT_EVENT_INITIALIZE)[0];
    EXPECT_EQ(1800u, init.values[2]) << "message buffer length";
    EXPECT_EQ(1u, init.values[3]) << "the message buffer is emptied before the call";
    for (const test_agent_event_t& e : test_agent::Events(TEST_AGENT_EVENT_GET_LIBRARY)) {
        EXPECT_EQ(1800u, e.values[1]);
        EXPECT_EQ(VEXLIN_SUCCESS, e.result);
    }
    const test_agent_event_t get_agent = test_agent::Events(TEST_AGENT_EVENT_GET_AGENT)[0];
    EXPECT_EQ(1800u, get_agent.values[3]);
    EXPECT_EQ(VEXLIN_SUCCESS, get_agent.result);
}

TEST_F(SuccessfulLoad, HandsTheModuleTheStubVersionRecord) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    const unsigned char* record = test_agent::Control().stub_version;
    vexlin_uint32_t numbers[8];
    memcpy(numbers, record, sizeof(numbers));  // native byte order
    EXPECT_EQ(1u, numbers[0]);
    EXPECT_EQ(6u, numbers[1]);
    EXPECT_EQ(1u, numbers[2]);
    EXPECT_EQ(0u, numbers[3]) << "build";
    for (int i = 4; i < 8; ++i) EXPECT_EQ(0u, numbers[i]) << "reserved" << i - 3;

    unsigned char timestamp[32] = {0};
    memcpy(timestamp, "20210121-101835", 15);
    EXPECT_EQ(0, memcmp(timestamp, record + 32, 32)) << "timestamp, then zero bytes to the end of the field";
    const unsigned char zeros[32] = {0};
    EXPECT_EQ(0, memcmp(zeros, record + 64, 32)) << "reserved5";
}

TEST_F(SuccessfulLoad, ForwardsUserVariablesInStoreOrderWithoutThePrivateOnes) {
    // The private names match ignoring case; "home" is not private.
    for (const char* v :
         {"foo=bar", "AgentActive=yes", "home=/opt/nowhere", "LogLevelSdk=finest", "AGENTLIBRARY=", "zeta=last"}) {
        SetVariable(v);
    }
    SetVariable(std::string("agentLibrary=") + TEST_AGENT_PATH);  // replaces the entry in place

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize_2(7));

    const std::vector<std::string> forwarded = {"foo=bar", "home=/opt/nowhere", "zeta=last", InitFlags(7)};
    EXPECT_EQ(forwarded, test_agent::Arguments());
    EXPECT_EQ(4u, test_agent::Events(TEST_AGENT_EVENT_INITIALIZE)[0].values[0]);
    const std::vector<LogEntry> expected =
        Concat(Concat(LoadPrologue(TEST_AGENT_PATH, forwarded), ModuleStartedLog()), AgentStartedLog());
    EXPECT_EQ(expected, LogCapture::Entries());
}

TEST_F(SuccessfulLoad, KeepsAtMost63CharactersOfTheVersionText) {
    const std::string long_version(100, 'v');
    SetVariable("testagent_version=" + long_version);

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    EXPECT_EQ(long_version.substr(0, 63), VersionText());
    EXPECT_TRUE(LogCapture::Contains(kInfo, "Loaded agent module version: " + long_version.substr(0, 63)));
}

void AgentLoggingCallback(const char*) {}

TEST_F(SuccessfulLoad, CoreCallsReachTheirSlotWithTheAgentAndArguments) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    const void* agent = test_agent::Control().agent;
    ASSERT_NE(nullptr, agent);

    vexlin_tracer_start(77);
    const vexlin_string_t name = {"db", 2, VEXLIN_CCSID_UTF8};
    const vexlin_string_t vendor = {"sql", 3, VEXLIN_CCSID_UTF8};
    EXPECT_EQ(1016u, vexlin_databaseinfo_create_p(&name, &vendor, -5, nullptr));
    vexlin_incomingwebrequesttracer_set_status_code(0xFFFFFFFFFFull, 404);
    EXPECT_EQ(1003, vexlin_agent_get_current_state());
    EXPECT_EQ(1049, vexlin_agent_set_warning_callback(AgentLoggingCallback));

    const std::vector<test_agent_event_t> calls = test_agent::Events(TEST_AGENT_EVENT_AGENT_SLOT);
    ASSERT_EQ(5u, calls.size());
    for (const test_agent_event_t& c : calls) EXPECT_EQ(agent, c.agent) << "slot " << c.slot;

    EXPECT_EQ(5, calls[0].slot);
    EXPECT_EQ(1u, calls[0].value_count);
    EXPECT_EQ(77u, calls[0].values[0]);

    EXPECT_EQ(16, calls[1].slot);
    EXPECT_EQ(4u, calls[1].value_count);
    EXPECT_EQ(Address(&name), calls[1].values[0]);
    EXPECT_EQ(Address(&vendor), calls[1].values[1]);
    EXPECT_EQ(static_cast<uint64_t>(-5), calls[1].values[2]);
    EXPECT_EQ(0u, calls[1].values[3]);

    EXPECT_EQ(28, calls[2].slot);
    EXPECT_EQ(0xFFFFFFFFFFu, calls[2].values[0]);
    EXPECT_EQ(404u, calls[2].values[1]);

    EXPECT_EQ(3, calls[3].slot);
    EXPECT_EQ(0u, calls[3].value_count);

    EXPECT_EQ(49, calls[4].slot);
    EXPECT_EQ(Address(reinterpret_cast<const void*>(&AgentLoggingCallback)), calls[4].values[0]);
}

TEST_F(SuccessfulLoad, EveryCoreFunctionReachesItsOwnSlot) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    const void* agent = test_agent::Control().agent;

    int forwarded = 0;
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot_number, revision, name, result, neutral) \
    VEXLIN_AGENT_CALL(slot_number, revision, name, result, (), (), neutral)
#define VEXLIN_AGENT_CALL(slot_number, revision, name, result, params, args, neutral) \
    {                                                                                 \
        SCOPED_TRACE("vexlin_" #name);                                                \
        test_agent::Control().reset();                                                \
        const std::pair<bool, int64_t> answer = CallWithZeros(&vexlin_##name);        \
        const std::vector<test_agent_event_t> calls = test_agent::Events();           \
        ASSERT_EQ(1u, calls.size());                                                  \
        EXPECT_EQ(TEST_AGENT_EVENT_AGENT_SLOT, calls[0].kind);                        \
        EXPECT_EQ(slot_number, calls[0].slot);                                        \
        EXPECT_EQ(agent, calls[0].agent);                                             \
        if (answer.first) {                                                           \
            EXPECT_EQ(TEST_AGENT_AGENT_RESULT_BASE + (slot_number), answer.second);   \
        }                                                                             \
        ++forwarded;                                                                  \
    }
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
    EXPECT_EQ(48, forwarded);
}

TEST_F(SuccessfulLoad, MetricsAreUsableWithoutEnablingThem) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    EXPECT_EQ(static_cast<vexlin_metric_handle_t>(TEST_AGENT_METRICS_RESULT_BASE + 1),
              vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
    const std::vector<test_agent_event_t> calls =
        test_agent::SlotCalls(TEST_AGENT_EVENT_EX_SLOT, 1, VEXLIN_ABI_INTERFACE_EX_METRICS);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(test_agent::Control().agent, calls[0].agent);
}

TEST_F(SuccessfulLoad, NoAgentIsAttachedWhileTheModuleStarts) {
    SetVariable("testagent_block_init=1");
    vexlin_result_t rc = -1;
    std::thread initializer([&rc] { rc = vexlin_initialize(); });
    test_agent::Control().wait_until_init_blocked();

    // The module is open but has not answered yet: found, not compatible, no agent.
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo());
    EXPECT_EQ(3, vexlin_agent_get_current_state());
    EXPECT_EQ(0u, vexlin_customservicetracer_create_p(nullptr, nullptr));

    test_agent::Control().release_init();
    initializer.join();
    EXPECT_EQ(VEXLIN_SUCCESS, rc);
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo());
    EXPECT_EQ(1003, vexlin_agent_get_current_state());
}

}  // namespace
