// Stress: threads initialize and shut down in pairs and forward calls while
// they hold an initialization, another sets variables, another forks; each
// child sets a variable and either initializes, forwards and has handed the
// module a whole store, or, forked in the middle of an initialize or
// shutdown, refuses with 0xAFFE000D and forwards nothing. Bounded by counts;
// ctest's time-out catches a deadlock.
#include <string.h>
#include <strings.h>
#include <sys/mman.h>

#include <atomic>
#include <thread>

#include "vexlin_test.h"

namespace {

// Each name among the module's arguments once, each an assignment.
bool ArgumentsAreWellFormed(const test_agent_control_t& record) {
    for (size_t i = 0; i < record.argument_count; ++i) {
        const char* equals = strchr(record.arguments[i], '=');
        if (equals == nullptr) return false;
        const size_t name_length = static_cast<size_t>(equals - record.arguments[i]);
        for (size_t j = 0; j < i; ++j)
            if (strncasecmp(record.arguments[i], record.arguments[j], name_length + 1) == 0) return false;
    }
    return true;
}

TEST(Stress, InitializeShutdownForwardSetVariablesAndForkAtOnce) {
    ClearLibraryEnvironment();
    test_agent::Control().set_slot_recording(0);  // the record would grow with every call
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("agentlibrary=" TEST_AGENT_PATH, 1));
    // Children count in memory shared across fork.
    auto* children = static_cast<std::atomic<int>*>(
        mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void*>(children));
    const int forks = forking::Slow() ? 20 : 200;
    std::atomic<int> failures{0}, pairs{0};
    std::atomic<bool> forks_done{false}, stop{false};
    const auto check = [&failures](bool ok, const char* what) {
        if (!ok && failures.fetch_add(1) < 10) ADD_FAILURE() << what;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30000 && (i < 300 || !forks_done.load()); ++i, ++pairs) {
                check(vexlin_initialize_2(static_cast<vexlin_uint32_t>(t)) == VEXLIN_SUCCESS, "initialize");
                for (int c = 0; c < 4; ++c) {
                    check(vexlin_agent_get_current_state() == 1003, "no agent while initialized");
                    check(vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr) == 2001, "metrics");
                    vexlin_tracer_start(static_cast<vexlin_tracer_handle_t>(i));
                }
                check(vexlin_shutdown() == VEXLIN_SUCCESS, "shutdown");
            }
        });
    }
    std::thread setter([&] {
        char variable[64];
        for (long i = 0; !stop.load(); ++i) {
            snprintf(variable, sizeof variable, "stress_%ld=%ld", i % 16, i);
            check(vexlin_stub_set_variable(variable, 1) == VEXLIN_SUCCESS, "set variable");
        }
    });
    for (int f = 0; f < forks; ++f) {
        // Every other child inherits an initialization of the forking thread.
        const bool holding = f % 2 == 0;
        if (holding) check(vexlin_initialize() == VEXLIN_SUCCESS, "forking thread initialize");
        check(forking::InChild([children, holding] {
                  CHILD_CHECK(vexlin_stub_set_variable("forked=1", 1) == VEXLIN_SUCCESS);
                  const vexlin_result_t rc = vexlin_initialize();
                  const bool refused = rc == VEXLIN_ERROR_FORK_CHILD;
                  CHILD_CHECK(refused || (rc == VEXLIN_SUCCESS && ArgumentsAreWellFormed(test_agent::Control())));
                  CHILD_CHECK(vexlin_agent_get_current_state() == (refused ? 3 : 1003));
                  CHILD_CHECK(vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr) == (refused ? 0 : 2001));
                  CHILD_CHECK(vexlin_shutdown() == (refused ? VEXLIN_ERROR_FORK_CHILD : VEXLIN_SUCCESS));
                  if (!refused && holding) CHILD_CHECK(vexlin_shutdown() == VEXLIN_SUCCESS);
                  children[refused ? 1 : 0].fetch_add(1);
              }) == "",
              "fork child");
        if (holding) check(vexlin_shutdown() == VEXLIN_SUCCESS, "forking thread shutdown");
    }
    forks_done = true;
    for (std::thread& t : threads) t.join();
    stop = true;
    setter.join();

    printf("stress: %d pairs, %d forks (%d initialized, %d refused)\n", pairs.load(), forks, children[0].load(),
           children[1].load());
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(forks, children[0].load() + children[1].load());
    // Every pair was closed: nothing is loaded, and the library starts afresh.
    EXPECT_EQ(3, vexlin_agent_get_current_state());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());
}

}  // namespace
