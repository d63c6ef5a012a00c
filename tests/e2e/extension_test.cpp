// Enabling the extension groups through the real library and the test agent
// module, one table of situations: what each group asks for, what is logged,
// what a refusal returns, and whether the group's calls reach the module
// afterwards (a refusal never leaves a table behind, nor takes away one
// enabled before).
#include "vexlin_test.h"

namespace {

using namespace lifecycle;
using Strings = std::vector<std::string>;

struct Group {
    const char* name;
    uint32_t interface_id;
    vexlin_result_t (*enable)(void);
    void (*call)();  // a function of the group
};

const Group kGroups[] = {
    {"span", VEXLIN_ABI_INTERFACE_EX_SPAN, vexlin_ex_api_enable_span, [] { vexlin_ex_spantracer_create(0); }},
    {"techtype", VEXLIN_ABI_INTERFACE_EX_TECHTYPE, vexlin_ex_api_enable_techtype,
     [] { vexlin_ex_agent_add_process_technology_p(0, nullptr, nullptr); }},
    {"tracer_ext", VEXLIN_ABI_INTERFACE_EX_TRACER_EXT, vexlin_ex_api_enable_tracer_ext,
     [] { vexlin_ex_tracer_start_2(0, 0, 0); }},
    {"serverless", VEXLIN_ABI_INTERFACE_EX_SERVERLESS, vexlin_ex_api_enable_serverless,
     vexlin_ex_agent_force_send_data_now},
};

enum Before { kNotInitialized, kShutDown, kInitialized, kEnabledThenRefused };

struct Enabling {
    const char* name;
    Before before;
    const char* settings;  // for the test agent; "*" names every group
    vexlin_result_t result;
    const char* reason;  // logged with a refusal; nullptr: nothing logged
    bool reaches_module;
};
void PrintTo(const Enabling& c, std::ostream* os) { *os << c.name; }

const Enabling kEnablings[] = {
    {"BeforeInitialization", kNotInitialized, "", VEXLIN_ERROR_NOT_INITIALIZED, nullptr, false},
    {"AfterTheLastShutdown", kShutDown, "", VEXLIN_ERROR_NOT_INITIALIZED, nullptr, false},
    {"Accepted", kInitialized, "", VEXLIN_SUCCESS, nullptr, true},
    {"RefusedWithAMessage", kInitialized, "refuse=*;refuse_result=0xAFFE0009:not offered here", VEXLIN_ERROR_UNEXPECTED,
     "not offered here", false},
    {"RefusedWithAPlatformError", kInitialized, "refuse=*;refuse_result=22", 22, "Invalid argument", false},
    // Calling through the junk would crash.
    {"RefusedWithoutAMessageLeavingJunk", kInitialized, "refuse=*;junk_on_refuse=1",
     VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, "Interface not supported.", false},
    {"SuccessWithoutATableIsAnInvalidBinary", kInitialized, "null_table=*", VEXLIN_ERROR_INVALID_AGENT_BINARY,
     "Invalid agent binary.", false},
    {"RefusedReEnablingKeepsTheTableEnabledBefore", kEnabledThenRefused, "junk_on_refuse=1;refuse_from=7",
     VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, "Interface not supported.", true},
};

class Extensions : public LifecycleTest, public testing::WithParamInterface<Enabling> {};

TEST_P(Extensions, EnablingEachGroup) {
    const Enabling& c = GetParam();
    UseTestAgent();
    for (std::string setting : TestAgentSettings(c.settings)) {
        if (setting.back() == '*') setting.replace(setting.size() - 1, 1, "91620005,91730001,91620003,91790001");
        SetVariable(setting);
    }
    if (c.before != kNotInitialized) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    for (const Group& g : kGroups)
        if (c.before == kShutDown || c.before == kEnabledThenRefused) ASSERT_EQ(VEXLIN_SUCCESS, g.enable());
    if (c.before == kShutDown) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());

    const void* agent = test_agent::Control().agent;
    for (const Group& g : kGroups) {
        SCOPED_TRACE(g.name);
        LogCapture::Clear();
        test_agent_reset();
        EXPECT_EQ(c.result, g.enable());
        const bool asked = c.result != VEXLIN_ERROR_NOT_INITIALIZED;
        EXPECT_EQ(asked ? Strings{std::to_string(g.interface_id) + "/6"} : Strings{}, test_agent::LibraryRequests());
        if (asked) EXPECT_EQ(test_agent::BufferSeen(1800, 1), test_agent::Buffer(test_agent::Events()[0]));
        const std::string text =
            std::string("Failed to load extension API ") + g.name + ": " + (c.reason ? c.reason : "");
        EXPECT_EQ((c.result == VEXLIN_SUCCESS ? Log{{kInfo, std::string("Loaded extension API ") + g.name + "."}}
                   : c.reason != nullptr      ? Log{{kSevere, text}}
                                              : Log{}),
                  LogCapture::Entries());

        // The group's calls reach the module, with its agent, only with a table.
        test_agent_reset();
        g.call();
        const std::vector<test_agent_event_t> calls = test_agent::Events();
        EXPECT_EQ(c.reaches_module ? 1u : 0u, calls.size());
        if (!calls.empty())
            EXPECT_EQ(std::make_pair(g.interface_id, agent), std::make_pair(calls[0].interface_id, calls[0].agent));
    }
}

INSTANTIATE_TEST_SUITE_P(Extensions, Extensions, testing::ValuesIn(kEnablings),
                         [](const testing::TestParamInfo<Enabling>& info) { return info.param.name; });

}  // namespace
