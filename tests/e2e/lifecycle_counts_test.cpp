// Reference counting of initialize and shutdown through the real library:
// the module is opened, started, shut down and closed once however many
// initializations share it, and every call answers neutrally once the last
// shutdown has gone.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "fork_support.h"
#include "lifecycle_support.h"
#include "vexlin/internal/vexlin_stub_abi.h"

namespace {

using namespace lifecycle;

class Lifecycle : public LifecycleTest {
protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        SetVariable(std::string("agentlibrary=") + TEST_AGENT_PATH);
    }
};

constexpr char kNotLoaded[] =
    "Cannot uninitialize Korvantix Pelmoran SDK for C/C++ because it has not been initialized. "
    "(the agent module is not loaded)";

TEST_F(Lifecycle, TwoInitializationsShareOneModuleAndOneAgent) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    LogCapture::Clear();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize_2(3));
    EXPECT_TRUE(LogCapture::Entries().empty()) << "a further initialization only counts";
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_INITIALIZE));
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_GET_AGENT));
    EXPECT_EQ(InitFlags(0), test_agent::Arguments().back()) << "the running module keeps its arguments";

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_TRUE(test_agent::IsLoaded(TEST_AGENT_PATH));
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    EXPECT_EQ(0u, test_agent::AgentSlotCalls(1).size());
    EXPECT_EQ(1003, vexlin_agent_get_current_state()) << "still attached";
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo());

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    EXPECT_TRUE(LogCapture::Entries().empty()) << "a clean shutdown logs nothing";

    const std::vector<test_agent_event_t> releases = test_agent::AgentSlotCalls(1);
    ASSERT_EQ(1u, releases.size());
    EXPECT_EQ(test_agent::Control().agent, releases[0].agent);
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    // The agent goes before the module does.
    const std::vector<test_agent_event_t> events = test_agent::Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(TEST_AGENT_EVENT_AGENT_SLOT, events[events.size() - 2].kind);
    EXPECT_EQ(TEST_AGENT_EVENT_SHUTDOWN, events.back().kind);
    EXPECT_EQ(std::make_pair(0, 0), LoadInfo());
    EXPECT_EQ("", VersionText());
}

TEST_F(Lifecycle, ShutdownBeyondTheInitializationsIsRefused) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    LogCapture::Clear();

    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());

    EXPECT_EQ((std::vector<LogEntry>{{kInfo, kNotLoaded}}), LogCapture::Entries());
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    EXPECT_EQ(1u, test_agent::AgentSlotCalls(1).size());
}

TEST_F(Lifecycle, ShutdownWithoutInitializationIsRefused) {
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());

    EXPECT_EQ((std::vector<LogEntry>{{kInfo, kNotLoaded}}), LogCapture::Entries());
    EXPECT_EQ(0u, test_agent::Events().size());
}

TEST_F(Lifecycle, ModuleIsLoadedAfreshAfterTheLastShutdown) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    LogCapture::Clear();

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize_2(5));

    const std::vector<LogEntry> expected =
        Concat(Concat(LoadPrologue(TEST_AGENT_PATH, {InitFlags(5)}), ModuleStartedLog()), AgentStartedLog());
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ(2u, test_agent::Count(TEST_AGENT_EVENT_INITIALIZE));
    EXPECT_EQ(InitFlags(5), test_agent::Arguments().back());
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo());
    EXPECT_EQ(1038u, vexlin_customservicetracer_create_p(nullptr, nullptr));
}

// The answer each `neutral` of the function lists stands for.
constexpr int64_t kNeutral_nothing = 0;
constexpr int64_t kNeutral_no_handle = 0;
constexpr int64_t kNeutral_zero = 0;
constexpr int64_t kNeutral_state_unknown = 3;
constexpr int64_t kNeutral_fork_state_unknown = -1;
constexpr int64_t kNeutral_not_initialized = static_cast<int32_t>(VEXLIN_ERROR_NOT_INITIALIZED);
constexpr int64_t kNeutral_empty_string_tag = 0;
constexpr int64_t kNeutral_empty_byte_buffer = 0;

TEST_F(Lifecycle, EveryCallIsNeutralAfterTheLastShutdown) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    for (auto enable : {vexlin_ex_api_enable_span, vexlin_ex_api_enable_techtype, vexlin_ex_api_enable_tracer_ext,
                        vexlin_ex_api_enable_serverless}) {
        ASSERT_EQ(VEXLIN_SUCCESS, enable());
    }
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    test_agent::Control().reset();

    int calls = 0;
#define EXPECT_NEUTRAL(function, neutral)                                 \
    {                                                                     \
        const std::pair<bool, int64_t> answer = CallWithZeros(&function); \
        if (answer.first) {                                               \
            EXPECT_EQ(kNeutral_##neutral, answer.second) << #function;    \
        }                                                                 \
        ++calls;                                                          \
    }
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) EXPECT_NEUTRAL(vexlin_##name, neutral)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) EXPECT_NEUTRAL(vexlin_##name, neutral)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
#define EX_CALL(slot, field, exported, result, params, args, neutral) EXPECT_NEUTRAL(vexlin_##exported, neutral)
#define EX_CALL0(slot, field, exported, result, neutral) EXPECT_NEUTRAL(vexlin_##exported, neutral)
    VEXLIN_EX_METRICS_FUNCS(EX_CALL, EX_CALL0)
    VEXLIN_EX_SPAN_FUNCS(EX_CALL, EX_CALL0)
    VEXLIN_EX_TECHTYPE_FUNCS(EX_CALL, EX_CALL0)
    VEXLIN_EX_TRACER_EXT_FUNCS(EX_CALL, EX_CALL0)
    VEXLIN_EX_SERVERLESS_FUNCS(EX_CALL, EX_CALL0)
#undef EX_CALL
#undef EX_CALL0
#undef EXPECT_NEUTRAL

    EXPECT_EQ(48 + 25, calls);
    EXPECT_EQ(0u, test_agent::Events().size()) << "nothing reaches the closed module";
}

// ---- Other threads -------------------------------------------------------------

// The module below writes the table first and waits for a call before it
// writes the agent; forwarders must not see either before both are there.
TEST_F(Lifecycle, ForwardersNeverSeeATableWithoutItsAgent) {
    SetVariable("testagent_table_before_agent=1");
    test_agent::Control().set_slot_recording(0);
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        while (!stop.load()) vexlin_tracer_start(1);
    });
    const vexlin_result_t rc = vexlin_initialize();
    while (__atomic_load_n(&test_agent::Control().slot_calls, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
    stop = true;
    caller.join();

    EXPECT_EQ(VEXLIN_SUCCESS, rc);
    EXPECT_EQ(0u, __atomic_load_n(&test_agent::Control().slot_calls_without_agent, __ATOMIC_ACQUIRE));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

// A log sink that blocks in read(2), a cancellation point, until the pipe's
// writing end is closed.
int s_sink_fd = -1;
std::atomic<bool> s_in_sink{false};
void BlockingSink(vexlin_logging_level_t, const vexlin_xchar_t*) {
    s_in_sink = true;
    char c;
    (void)!read(s_sink_fd, &c, 1);
}

void* InitializeThenTestCancel(void* result) {
    *static_cast<vexlin_result_t*>(result) = vexlin_initialize();
    pthread_testcancel();
    return nullptr;
}

TEST_F(Lifecycle, ThreadCancelledInsideInitializeFinishesItFirst) {
    forking::Watchdog watchdog(60, "ThreadCancelledInsideInitializeFinishesItFirst");
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    s_sink_fd = fds[0];
    vexlin_stub_set_logging_callback(BlockingSink);
    vexlin_result_t rc = -1;
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, nullptr, InitializeThenTestCancel, &rc));
    while (!s_in_sink) std::this_thread::yield();
    ASSERT_EQ(0, pthread_cancel(thread));
    close(fds[1]);
    void* exit_value = nullptr;
    ASSERT_EQ(0, pthread_join(thread, &exit_value));
    close(fds[0]);

    EXPECT_EQ(PTHREAD_CANCELED, exit_value) << "cancelled once initialize had returned";
    EXPECT_EQ(VEXLIN_SUCCESS, rc);
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown()) << "the init lock is free again";
}

}  // namespace
