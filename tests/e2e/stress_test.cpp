// Stress: several threads at once initialize and shut down in pairs, call
// forwarded functions while they hold an initialization, set variables, and
// fork; each child checks that it can still set variables and that it either
// initializes and forwards or, forked in the middle of an initialize or
// shutdown, refuses with 0xAFFE000D and forwards nothing. The work is
// bounded by counts; a watchdog turns a deadlock into an abort.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "fork_support.h"
#include "test_agent_control.h"
#include "vexlin/vexlin.h"

namespace {

#if defined(__SANITIZE_THREAD__)
#define VEXLIN_TEST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXLIN_TEST_THREAD_SANITIZER 1
#endif
#endif

#if defined(VEXLIN_TEST_THREAD_SANITIZER)
// The thread sanitizer keeps some megabytes of address space for every
// dlopen it sees; some thousand module loads later, fork fails with ENOMEM.
// Fewer forks and a cap on the pairs keep the loads well below that.
constexpr int kFullForks = 60;
constexpr int kMaxPairsPerThread = 30000;
#else
constexpr int kFullForks = 200;
constexpr int kMaxPairsPerThread = 1000000;
#endif

// Under valgrind (VEXLIN_TEST_SLOW set) every step is some fifty times slower.
bool Slow() { return getenv("VEXLIN_TEST_SLOW") != nullptr; }
const int kForks = Slow() ? 20 : kFullForks;

constexpr int kInitializingThreads = 3;
// Each initializing thread does at least this many pairs, and goes on until
// the forks are done, so that forks land in every phase.
constexpr int kMinPairsPerThread = 300;
constexpr int kCallsPerPair = 4;
constexpr int kDistinctVariables = 16;
constexpr int kWatchdogSeconds = 60;  // the watchdog scales it under valgrind

constexpr int64_t kAttached = TEST_AGENT_AGENT_RESULT_BASE + 3;  // vexlin_agent_get_current_state
constexpr int64_t kDetached = 3;
constexpr vexlin_metric_handle_t kCounter = TEST_AGENT_METRICS_RESULT_BASE + 1;
constexpr vexlin_tracer_handle_t kCustomService = TEST_AGENT_AGENT_RESULT_BASE + 38;

// Counted by the children, so it lives in memory shared across fork.
struct ChildCounts {
    std::atomic<int> initialized;
    std::atomic<int> refused;
};

class Stress : public testing::Test {
public:
    // Reports the first few failures; the threads go on.
    void Fail(const std::string& what) {
        if (failures_.fetch_add(1) < 10) ADD_FAILURE() << what;
    }

protected:
    void SetUp() override {
        for (const char* name : {"KX_AGENTACTIVE", "KX_AGENTLIBRARY", "KX_LOGLEVELSDK", "KX_HOME"}) unsetenv(name);
        // No log sink may hold a lock across fork, and the record would grow
        // with every slot call.
        vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
        test_agent::Control().reset();
        test_agent::Control().set_slot_recording(0);
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("agentlibrary=" TEST_AGENT_PATH, 1));

        void* shared = mmap(nullptr, sizeof(ChildCounts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(MAP_FAILED, shared);
        children_ = new (shared) ChildCounts();
    }
    void TearDown() override {
        if (children_ != nullptr) munmap(children_, sizeof(ChildCounts));
    }

    ChildCounts* children_ = nullptr;
    std::atomic<int> failures_{0};
};

// Forwarded calls, made only while this thread holds an initialization.
void ForwardWhileInitialized(Stress* test, vexlin_tracer_handle_t tracer_seed) {
    static const vexlin_string_t name = {"stress", 6, VEXLIN_CCSID_UTF8};
    if (vexlin_agent_get_current_state() != kAttached) test->Fail("no agent while initialized");
    if (vexlin_integercountermetric_create_p(&name, nullptr, nullptr) != kCounter) test->Fail("metrics not forwarded");
    if (vexlin_customservicetracer_create_p(&name, &name) != kCustomService) test->Fail("tracer not forwarded");
    vexlin_tracer_start(tracer_seed);
    vexlin_integercountermetric_increase_by_p(kCounter, 1, nullptr);
    vexlin_tracer_end(tracer_seed);
}

// In the child: everything reports through the exit (fork_support.h).
void CheckForkChild(ChildCounts* counts, bool parent_thread_held_initialization) {
    CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("forked=1", 1));
    const vexlin_result_t rc = vexlin_initialize();
    if (rc == VEXLIN_ERROR_FORK_CHILD) {
        // Forked inside another thread's initialize or shutdown.
        CHILD_CHECK_EQ(kDetached, vexlin_agent_get_current_state());
        CHILD_CHECK_EQ(0, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
        CHILD_CHECK_EQ(VEXLIN_ERROR_FORK_CHILD, vexlin_shutdown());
        counts->refused.fetch_add(1);
        return;
    }
    CHILD_CHECK_EQ(VEXLIN_SUCCESS, rc);
    CHILD_CHECK_EQ(kAttached, vexlin_agent_get_current_state());
    CHILD_CHECK_EQ(kCounter, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
    CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    if (parent_thread_held_initialization) {
        // The forking thread's own initialization came along.
        CHILD_CHECK_EQ(kAttached, vexlin_agent_get_current_state());
        CHILD_CHECK_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    }
    counts->initialized.fetch_add(1);
}

TEST_F(Stress, InitializeShutdownForwardSetVariablesAndForkAtOnce) {
    forking::Watchdog watchdog(kWatchdogSeconds, "the stress test");
    std::atomic<bool> stop{false};
    std::atomic<long> pairs{0};
    std::atomic<long> forwarded_batches{0};
    std::atomic<long> variable_sets{0};
    std::atomic<int> forks{0};
    std::atomic<bool> forks_done{false};

    std::vector<std::thread> threads;
    for (int t = 0; t < kInitializingThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kMaxPairsPerThread && (i < kMinPairsPerThread || !forks_done.load()); ++i) {
                const vexlin_result_t rc = vexlin_initialize_2(static_cast<vexlin_uint32_t>(t));
                if (rc != VEXLIN_SUCCESS) {
                    Fail("vexlin_initialize_2 gave " + std::to_string(rc));
                    continue;
                }
                for (int c = 0; c < kCallsPerPair; ++c) {
                    ForwardWhileInitialized(this, static_cast<vexlin_tracer_handle_t>(t * 1000000 + i));
                    forwarded_batches.fetch_add(1);
                }
                const vexlin_result_t shutdown_rc = vexlin_shutdown();
                if (shutdown_rc != VEXLIN_SUCCESS) Fail("vexlin_shutdown gave " + std::to_string(shutdown_rc));
                pairs.fetch_add(1);
            }
        });
    }
    std::thread setter([&] {
        char variable[64];
        for (long i = 0; !stop.load(); ++i) {
            snprintf(variable, sizeof(variable), "stress_%ld=%ld", i % kDistinctVariables, i);
            const vexlin_result_t rc = vexlin_stub_set_variable(variable, 1);
            if (rc != VEXLIN_SUCCESS) Fail("vexlin_stub_set_variable gave " + std::to_string(rc));
            variable_sets.fetch_add(1);
        }
    });
    std::thread forker([&] {
        for (int f = 0; f < kForks; ++f) {
            // Every other child inherits an initialization of the forking thread.
            const bool holding = f % 2 == 0;
            if (holding && vexlin_initialize() != VEXLIN_SUCCESS) {
                Fail("the forking thread could not initialize");
                continue;
            }
            ChildCounts* counts = children_;
            const std::string outcome = forking::InChild([counts, holding] { CheckForkChild(counts, holding); });
            if (!outcome.empty()) Fail("fork child " + std::to_string(f) + ": " + outcome);
            if (holding && vexlin_shutdown() != VEXLIN_SUCCESS) Fail("the forking thread could not shut down");
            forks.fetch_add(1);
        }
        forks_done.store(true);
    });

    for (std::thread& t : threads) t.join();
    forker.join();
    stop.store(true);
    setter.join();

    // A load and unload of the module records six entry-point calls.
    const size_t module_loads = test_agent::Control().event_count / 6;
    printf(
        "stress: %ld initialize/shutdown pairs (%zu module loads), %ld forwarded batches, %ld variables set, "
        "%d forks (%d children initialized, %d refused as unsafe)\n",
        pairs.load(), module_loads, forwarded_batches.load(), variable_sets.load(), forks.load(),
        children_->initialized.load(), children_->refused.load());
    EXPECT_EQ(0, failures_.load());
    EXPECT_LE(kInitializingThreads * kMinPairsPerThread, pairs.load());
    EXPECT_EQ(kForks, children_->initialized.load() + children_->refused.load());

    // Every pair was closed: nothing is loaded, and the library starts afresh.
    EXPECT_EQ(kDetached, vexlin_agent_get_current_state());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(kAttached, vexlin_agent_get_current_state());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());
}

}  // namespace
