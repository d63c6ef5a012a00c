// Stress: threads initialize and shut down in pairs and forward calls while
// they hold an initialization, another sets variables, another forks; each
// child can still set variables and either initializes and forwards or,
// forked in the middle of an initialize or shutdown, refuses with 0xAFFE000D
// and forwards nothing. Bounded by counts; ctest's time-out catches a deadlock.
#include <sys/mman.h>

#include <atomic>
#include <thread>

#include "vexlin_test.h"

namespace {

#if defined(__SANITIZE_THREAD__)
#define VEXLIN_TEST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXLIN_TEST_THREAD_SANITIZER 1
#endif
#endif

// The thread sanitizer keeps megabytes of address space for every dlopen it
// sees; some thousand loads later fork fails with ENOMEM. Hence fewer forks
// and a cap on the pairs there.
#if defined(VEXLIN_TEST_THREAD_SANITIZER)
constexpr int kFullForks = 60, kMaxPairs = 30000;
#else
constexpr int kFullForks = 200, kMaxPairs = 1000000;
#endif
constexpr int kThreads = 3, kMinPairs = 300;
constexpr int64_t kAttached = 1003, kDetached = 3, kCounter = 2001, kCustomService = 1038;

// Counted by the children, in memory shared across fork.
struct ChildCounts {
    std::atomic<int> initialized, refused;
};

void CheckChild(ChildCounts* counts, bool parent_held_initialization) {
    CHILD_CHECK(vexlin_stub_set_variable("forked=1", 1) == VEXLIN_SUCCESS);
    const vexlin_result_t rc = vexlin_initialize();
    if (rc == VEXLIN_ERROR_FORK_CHILD) {
        CHILD_CHECK(vexlin_agent_get_current_state() == kDetached);
        CHILD_CHECK(vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr) == 0);
        CHILD_CHECK(vexlin_shutdown() == VEXLIN_ERROR_FORK_CHILD);
        counts->refused.fetch_add(1);
        return;
    }
    CHILD_CHECK(rc == VEXLIN_SUCCESS);
    CHILD_CHECK(vexlin_agent_get_current_state() == kAttached);
    CHILD_CHECK(vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr) == kCounter);
    CHILD_CHECK(vexlin_shutdown() == VEXLIN_SUCCESS);
    if (parent_held_initialization) {
        CHILD_CHECK(vexlin_agent_get_current_state() == kAttached);
        CHILD_CHECK(vexlin_shutdown() == VEXLIN_SUCCESS);
    }
    counts->initialized.fetch_add(1);
}

TEST(Stress, InitializeShutdownForwardSetVariablesAndForkAtOnce) {
    ClearLibraryEnvironment();
    // The record would grow with every slot call.
    test_agent::Control().set_slot_recording(0);
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("agentlibrary=" TEST_AGENT_PATH, 1));
    void* shared = mmap(nullptr, sizeof(ChildCounts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, shared);
    ChildCounts* children = new (shared) ChildCounts();
    const int forks = forking::Slow() ? 20 : kFullForks;
    std::atomic<int> failures{0};
    std::atomic<long> pairs{0}, sets{0};
    std::atomic<bool> forks_done{false}, stop{false};
    auto fail = [&failures](const std::string& what) {
        if (failures.fetch_add(1) < 10) ADD_FAILURE() << what;
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            static const vexlin_string_t name = {"stress", 6, VEXLIN_CCSID_UTF8};
            for (int i = 0; i < kMaxPairs && (i < kMinPairs || !forks_done.load()); ++i) {
                const vexlin_result_t rc = vexlin_initialize_2(static_cast<vexlin_uint32_t>(t));
                if (rc != VEXLIN_SUCCESS) {
                    fail("vexlin_initialize_2 gave " + std::to_string(rc));
                    continue;
                }
                for (int c = 0; c < 4; ++c) {
                    if (vexlin_agent_get_current_state() != kAttached) fail("no agent while initialized");
                    if (vexlin_integercountermetric_create_p(&name, nullptr, nullptr) != kCounter) fail("metrics");
                    if (vexlin_customservicetracer_create_p(&name, &name) != kCustomService) fail("tracer");
                    vexlin_tracer_start(static_cast<vexlin_tracer_handle_t>(i));
                }
                if (vexlin_shutdown() != VEXLIN_SUCCESS) fail("vexlin_shutdown failed");
                ++pairs;
            }
        });
    }
    threads.emplace_back([&] {
        char variable[64];
        for (long i = 0; !stop.load(); ++i, ++sets) {
            snprintf(variable, sizeof variable, "stress_%ld=%ld", i % 16, i);
            if (vexlin_stub_set_variable(variable, 1) != VEXLIN_SUCCESS) fail("vexlin_stub_set_variable failed");
        }
    });
    std::thread forker([&] {
        for (int f = 0; f < forks; ++f) {
            // Every other child inherits an initialization of the forking thread.
            const bool holding = f % 2 == 0;
            if (holding && vexlin_initialize() != VEXLIN_SUCCESS) fail("the forking thread could not initialize");
            const std::string outcome = forking::InChild([children, holding] { CheckChild(children, holding); });
            if (!outcome.empty()) fail("fork child " + std::to_string(f) + ": " + outcome);
            if (holding && vexlin_shutdown() != VEXLIN_SUCCESS) fail("the forking thread could not shut down");
        }
        forks_done = true;
    });
    forker.join();
    for (size_t t = 0; t < kThreads; ++t) threads[t].join();
    stop = true;
    threads.back().join();

    printf("stress: %ld initialize/shutdown pairs, %ld variables set, %d forks (%d initialized, %d refused)\n",
           pairs.load(), sets.load(), forks, children->initialized.load(), children->refused.load());
    EXPECT_EQ(0, failures.load());
    EXPECT_LE(kThreads * kMinPairs, pairs.load());
    EXPECT_EQ(forks, children->initialized.load() + children->refused.load());
    // Every pair was closed: nothing is loaded, and the library starts afresh.
    EXPECT_EQ(kDetached, vexlin_agent_get_current_state());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());
    munmap(shared, sizeof(ChildCounts));
}

}  // namespace
