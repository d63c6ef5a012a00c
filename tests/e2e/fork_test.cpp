// Fork handling through the real library and the test agent module: the
// handlers are registered once, a child forked from a quiet process keeps the
// agent, a child forked while another thread is inside initialize refuses
// every further initialization and forwards nothing, and forking while
// another thread sets variables leaves both processes able to set them.
// Children check themselves and report through their exit (fork_support.h).
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "fork_support.h"
#include "lifecycle_support.h"
#include "vexlin/internal/vexlin_loader_abi.h"

// ---- Counting the library's registrations -----------------------------------
// glibc's pthread_atfork is linked into each library statically and hands
// the handlers to __register_atfork, together with the library's DSO handle;
// defining it here puts this executable in front of the C library. A thread
// sanitizer registers its own handlers while it starts, before instrumented
// code or local statics may run: hence no instrumentation and plain atomics.
#if defined(__GLIBC__)
#define VEXLIN_TEST_COUNTS_ATFORK 1

#if defined(__has_attribute)
#if __has_attribute(disable_sanitizer_instrumentation)
#define VEXLIN_TEST_NOT_INSTRUMENTED __attribute__((disable_sanitizer_instrumentation))
#endif
#endif
#if !defined(VEXLIN_TEST_NOT_INSTRUMENTED)
#define VEXLIN_TEST_NOT_INSTRUMENTED __attribute__((no_sanitize("thread", "address", "undefined")))
#endif

namespace {

using register_atfork_function = int (*)(void (*)(void), void (*)(void), void (*)(void), void*);

register_atfork_function g_next_register_atfork = nullptr;
int g_library_registrations_word = 0;

VEXLIN_TEST_NOT_INSTRUMENTED bool IsTheLibrary(void* dso_handle) {
    static const char kLibrary[] = "libvexlin_shared.so";
    Dl_info info;
    if (dso_handle == nullptr || dladdr(dso_handle, &info) == 0 || info.dli_fname == nullptr) return false;
    const char* file = info.dli_fname;
    for (const char* p = info.dli_fname; *p != '\0'; ++p) {
        if (*p == '/') file = p + 1;
    }
    for (size_t i = 0; i + 1 < sizeof(kLibrary); ++i) {
        if (file[i] != kLibrary[i]) return false;
    }
    return true;
}

// How often the library registered its handlers.
int LibraryRegistrations() { return __atomic_load_n(&g_library_registrations_word, __ATOMIC_SEQ_CST); }

}  // namespace

extern "C" VEXLIN_TEST_NOT_INSTRUMENTED int __register_atfork(void (*prepare)(void), void (*parent)(void),
                                                              void (*child)(void), void* dso_handle) {
    register_atfork_function next = __atomic_load_n(&g_next_register_atfork, __ATOMIC_ACQUIRE);
    if (next == nullptr) {
        next = reinterpret_cast<register_atfork_function>(dlsym(RTLD_NEXT, "__register_atfork"));
        __atomic_store_n(&g_next_register_atfork, next, __ATOMIC_RELEASE);
    }
    if (IsTheLibrary(dso_handle)) __atomic_add_fetch(&g_library_registrations_word, 1, __ATOMIC_SEQ_CST);
    return next(prepare, parent, child, dso_handle);
}
#endif

namespace {

using namespace lifecycle;

class Fork : public LifecycleTest {
protected:
    // Not in SetUp: setting a variable registers the handlers.
    static void UseTestAgent() { SetVariable(std::string("agentlibrary=") + TEST_AGENT_PATH); }

    // A handler that deadlocks may do so in the parent as well as in the child.
    forking::Watchdog watchdog_{60, "a fork test"};
};

// ---- Registration -------------------------------------------------------------

#if defined(VEXLIN_TEST_COUNTS_ATFORK)

TEST_F(Fork, HandlersAreRegisteredOnceHoweverManyCallsNeedThem) {
    EXPECT_EQ(0, LibraryRegistrations()) << "nothing is registered before it is needed";
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_stub_set_variable("no assignment", 1));
    EXPECT_EQ(0, LibraryRegistrations()) << "a refused variable needs no handlers";

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("first=1", 1));
    EXPECT_EQ(1, LibraryRegistrations());

    for (int i = 0; i < 50; ++i) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("again=1", 1));
    const char* argv[] = {"prog", "--kx_from_command_line=1"};
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_process_cmdline_args(2, argv, 1));
    UseTestAgent();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    }
    vexlin_stub_free_variables();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("after_free=1", 1));
    EXPECT_EQ(1, LibraryRegistrations());

    // A child inherits the handlers and never registers them again.
    EXPECT_EQ("", forking::InChild([] {
                  CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("in_child=1", 1));
                  vexlin_stub_free_variables();
                  CHILD_CHECK_EQ(VEXLIN_ERROR_LOAD_AGENT, vexlin_initialize());
                  CHILD_CHECK_EQ(1, LibraryRegistrations());
              }));
    EXPECT_EQ(1, LibraryRegistrations());
}

TEST_F(Fork, FirstCallsRacingOnManyThreadsRegisterOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ready, &go, t] {
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            const std::string variable = "racer" + std::to_string(t) + "=1";
            EXPECT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(variable.c_str(), 1));
        });
    }
    while (ready.load() < kThreads) std::this_thread::yield();
    go.store(true);
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(1, LibraryRegistrations());
}

#endif  // VEXLIN_TEST_COUNTS_ATFORK

// ---- A child of a quiet process -------------------------------------------------

TEST_F(Fork, ChildOfAnInitializedProcessKeepsForwardingToTheAgent) {
    UseTestAgent();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_ex_api_enable_span());
    const void* agent = test_agent::Control().agent;
    ASSERT_NE(nullptr, agent);

    // The record library is in the child's memory too: the child reads its own copy.
    EXPECT_EQ("", forking::InChild([agent] {
                  test_agent_control_t& record = test_agent::Control();
                  record.reset();
                  CHILD_CHECK_EQ(TEST_AGENT_AGENT_RESULT_BASE + 3, vexlin_agent_get_current_state());
                  vexlin_tracer_start(77);
                  CHILD_CHECK_EQ(TEST_AGENT_METRICS_RESULT_BASE + 1,
                                 vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
                  CHILD_CHECK_EQ(TEST_AGENT_SPAN_RESULT_BASE + 0, vexlin_ex_spantracer_create(4));
                  CHILD_CHECK_EQ(4, record.event_count);
                  for (size_t i = 0; i < 4; ++i) CHILD_CHECK(record.events[i].agent == agent);
                  CHILD_CHECK_EQ(5, record.events[1].slot);
                  CHILD_CHECK_EQ(77, record.events[1].values[0]);
                  CHILD_CHECK_EQ(VEXLIN_ABI_INTERFACE_EX_SPAN, record.events[3].interface_id);

                  // The counts came along: a further pair only counts.
                  CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_initialize());
                  CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
                  CHILD_CHECK_EQ(TEST_AGENT_AGENT_RESULT_BASE + 3, vexlin_agent_get_current_state());
                  CHILD_CHECK_EQ(4 + 1, record.event_count);
                  // And the last shutdown releases the child's agent and module.
                  CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
                  CHILD_CHECK_EQ(3, vexlin_agent_get_current_state());
                  CHILD_CHECK(!test_agent::IsLoaded(TEST_AGENT_PATH));
              }));

    EXPECT_EQ(TEST_AGENT_AGENT_RESULT_BASE + 3, vexlin_agent_get_current_state()) << "the parent keeps its agent";
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
}

TEST_F(Fork, ChildOfAnUninitializedProcessLoadsTheModuleItself) {
    UseTestAgent();

    EXPECT_EQ("", forking::InChild([] {
                  CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_initialize());
                  CHILD_CHECK_EQ(TEST_AGENT_AGENT_RESULT_BASE + 3, vexlin_agent_get_current_state());
                  CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
                  CHILD_CHECK(!test_agent::IsLoaded(TEST_AGENT_PATH));
              }));

    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    EXPECT_TRUE(test_agent::Events().empty()) << "the child's load happened in the child only";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

// ---- A child forked inside initialize -------------------------------------------

TEST_F(Fork, ChildForkedWhileInitializeRunsRefusesInitializeAndShutdown) {
    UseTestAgent();
    SetVariable("testagent_block_init=1");
    vexlin_result_t rc = VEXLIN_ERROR_GENERIC;
    std::thread initializer([&rc] { rc = vexlin_initialize(); });
    test_agent::Control().wait_until_init_blocked();

    EXPECT_EQ("", forking::InChild([] {
                  const size_t before = test_agent::Control().event_count;
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_initialize());
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_initialize_2(5));
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_shutdown());
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_ex_api_enable_span());
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_ex_api_enable_techtype());
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_ex_api_enable_tracer_ext());
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_ex_api_enable_serverless());
                  CHILD_CHECK_EQ(3, vexlin_agent_get_current_state());
                  CHILD_CHECK_EQ(0, vexlin_customservicetracer_create_p(nullptr, nullptr));
                  CHILD_CHECK_EQ(0, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
                  CHILD_CHECK_EQ(before, test_agent::Control().event_count);
                  // For good: the refusal does not wear off.
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_initialize());
                  // The variables were not locked by the initializing thread.
                  CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("in_child=1", 1));
                  vexlin_stub_free_variables();
              }));

    test_agent::Control().release_init();
    initializer.join();
    EXPECT_EQ(VEXLIN_SUCCESS, rc);
    EXPECT_EQ(TEST_AGENT_AGENT_RESULT_BASE + 3, vexlin_agent_get_current_state());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
}

// A sink that holds the thread logging the end of a successful
// initialization: the agent is attached, and the init lock still held.
struct SinkGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool released = false;
};

SinkGate& Gate() {
    static SinkGate gate;
    return gate;
}

void HoldingSink(vexlin_logging_level_t, const vexlin_xchar_t* message) {
    if (strcmp(message, "Korvantix Pelmoran SDK for C/C++ initialized successfully.") != 0) return;
    std::unique_lock<std::mutex> lock(Gate().mutex);
    Gate().holding = true;
    Gate().changed.notify_all();
    Gate().changed.wait(lock, [] { return Gate().released; });
}

TEST_F(Fork, ChildForkedBeforeInitializeReturnedDropsTheAttachedAgent) {
    UseTestAgent();
    vexlin_stub_set_logging_callback(HoldingSink);
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_INFO);
    vexlin_result_t rc = VEXLIN_ERROR_GENERIC;
    std::thread initializer([&rc] { rc = vexlin_initialize(); });
    {
        std::unique_lock<std::mutex> lock(Gate().mutex);
        Gate().changed.wait(lock, [] { return Gate().holding; });
    }
    ASSERT_EQ(TEST_AGENT_AGENT_RESULT_BASE + 3, vexlin_agent_get_current_state()) << "attached already";

    EXPECT_EQ("", forking::InChild([] {
                  const size_t before = test_agent::Control().event_count;
                  CHILD_CHECK_EQ(3, vexlin_agent_get_current_state());
                  CHILD_CHECK_EQ(0, vexlin_customservicetracer_create_p(nullptr, nullptr));
                  CHILD_CHECK_EQ(0, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
                  CHILD_CHECK_EQ(before, test_agent::Control().event_count);
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_initialize());
                  CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_shutdown());
              }));

    {
        std::lock_guard<std::mutex> guard(Gate().mutex);
        Gate().released = true;
    }
    Gate().changed.notify_all();
    initializer.join();
    EXPECT_EQ(VEXLIN_SUCCESS, rc);
    EXPECT_EQ(TEST_AGENT_AGENT_RESULT_BASE + 3, vexlin_agent_get_current_state());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

// ---- Forking while variables change -----------------------------------------------

// The names of the module's arguments, each once, each an assignment.
bool ArgumentsAreWellFormed(const test_agent_control_t& record) {
    for (size_t i = 0; i < record.argument_count; ++i) {
        const char* equals = strchr(record.arguments[i], '=');
        if (equals == nullptr) return false;
        const size_t name_length = static_cast<size_t>(equals - record.arguments[i]);
        for (size_t j = 0; j < i; ++j) {
            if (strncasecmp(record.arguments[i], record.arguments[j], name_length) == 0 &&
                record.arguments[j][name_length] == '=') {
                return false;
            }
        }
    }
    return true;
}

TEST_F(Fork, ForkingWhileAnotherThreadSetsVariablesLeavesBothSidesUsable) {
    UseTestAgent();
    std::atomic<bool> stop{false};
    std::atomic<long> sets{0};
    std::atomic<long> failures{0};
    // Under valgrind, which runs one thread at a time, a few rounds and a
    // setter that yields keep the test within minutes.
    const bool slow = getenv("VEXLIN_TEST_SLOW") != nullptr;
    const int rounds = slow ? 3 : 20;
    std::thread setter([&] {
        char variable[64];
        for (long i = 0; !stop.load(); ++i) {
            snprintf(variable, sizeof(variable), "busy_%ld=%ld", i % 8, i);
            if (vexlin_stub_set_variable(variable, 1) != VEXLIN_SUCCESS) failures.fetch_add(1);
            sets.fetch_add(1);
            if (slow) std::this_thread::yield();
        }
    });
    while (sets.load() < 100) std::this_thread::yield();

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ("", forking::InChild([] {
                      CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("child=1", 1));
                      CHILD_CHECK_EQ(VEXLIN_ERROR_ENTRY_EXISTS, vexlin_stub_set_variable("child=2", 0));
                      CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("busy_0=child", 1));
                      // The store came over whole: the module gets every variable once.
                      CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_initialize());
                      CHILD_CHECK(ArgumentsAreWellFormed(test_agent::Control()));
                      CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
                      vexlin_stub_free_variables();
                      CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("child=3", 0));
                  }));
        const std::string parent_variable = "parent=" + std::to_string(round);
        EXPECT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(parent_variable.c_str(), 1));
    }

    const long sets_before = sets.load();
    while (sets.load() < sets_before + 100) std::this_thread::yield();  // the setter still makes progress
    stop.store(true);
    setter.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
