// Stress: threads initialize and shut down in pairs and forward calls, another
// sets variables, another forks; each child either initializes and forwards
// with a whole store, or, forked inside an initialize or shutdown, refuses with
// 0xAFFE000D and forwards nothing. Then one table of races with the last
// shutdown. Bounded by counts; ctest's time-out catches a deadlock.
#include <strings.h>
#include <sys/mman.h>

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
    test_agent::Control().slots_unrecorded = 1;  // the record would grow with every call
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

// ---- A thread racing the last shutdown ------------------------------------------------
// The main thread runs initialize/shutdown cycles of the process-provided
// module, which the test keeps open as a module that pins itself would: a
// call racing the closing still lands in mapped code, and what is checked is
// the library's side. Another thread races each shutdown, and only it.

const std::string kShortVersion = "1.0", kLongVersion = "2." + std::string(61, '7');

size_t CallsWithoutAgent() {
    return __atomic_load_n(&test_agent::Control().slot_calls_without_agent, __ATOMIC_ACQUIRE);
}

struct RacedShutdown {
    const char* name;
    int cycles;                  // enough that the fault, when present, shows in nearly every run
    bool (*race)();              // a step of the racing thread; false: it saw the fault
    void (*prepare)(int cycle);  // before the cycle's initialize
    bool (*initialized)();       // once initialized, nothing racing; false: the fault
};
void PrintTo(const RacedShutdown& c, std::ostream* os) { *os << c.name; }

const RacedShutdown kRacedShutdowns[] = {
    // A call that read the agent table just before it was withdrawn still
    // hands the module its agent.
    {"CallsNeverGiveTheModuleANullAgent", 5000,
     [] {
         const size_t before = CallsWithoutAgent();
         vexlin_tracer_start(1);
         vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr);
         return CallsWithoutAgent() == before;
     },
     nullptr, nullptr},
    // Whole texts of two module versions, or none; never a mix or a part.
    {"VersionTextIsReadWhole", 1000,
     [] {
         const std::string text = vexlin_agent_get_version_string();
         return text.empty() || text == kShortVersion || text == kLongVersion;
     },
     [](int cycle) { lifecycle::SetVariable("testagent_version=" + (cycle % 2 ? kShortVersion : kLongVersion)); },
     nullptr},
    // An enable racing the shutdown left no table behind: the next load's
    // group is not enabled.
    {"EnableLeavesNoTableIntoTheClosedModule", 500, [] { return vexlin_ex_api_enable_span(), true; }, nullptr,
     [] { return vexlin_ex_spantracer_create(0) == 0; }},
};

class Races : public testing::TestWithParam<RacedShutdown> {};

TEST_P(Races, WithTheLastShutdown) {
    const RacedShutdown& c = GetParam();
    ClearLibraryEnvironment();
    test_agent::Control().slots_unrecorded = 1;
    void* pinned = dlopen(TEST_AGENT_PROCESS_PATH, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(nullptr, pinned) << dlerror();
    const int cycles = forking::Slow() ? c.cycles / 10 : c.cycles;
    // Odd turns the racer races cycle turn / 2, even ones it waits; it says
    // which turn it is in, so the main thread knows it runs, or has stopped.
    std::atomic<int> turn{0}, seen{-1}, faults{0};
    constexpr int kDone = -1;
    std::thread racer([&] {
        for (int t; (t = turn.load()) != kDone;) {
            seen = t;
            if (t % 2 == 0) {
                std::this_thread::yield();
            } else if (!c.race()) {
                ++faults;
            }
        }
    });
    const auto take_turn = [&](int t) {
        turn = t;
        while (seen.load() != t) std::this_thread::yield();
    };
    int done = 0;
    for (; done < cycles; ++done) {
        if (c.prepare != nullptr) c.prepare(done);
        if (vexlin_initialize() != VEXLIN_SUCCESS) break;
        if (c.initialized != nullptr && !c.initialized()) ++faults;
        take_turn(2 * done + 1);
        const bool shut_down = vexlin_shutdown() == VEXLIN_SUCCESS;
        take_turn(2 * done + 2);
        if (!shut_down) break;
    }
    turn = kDone;
    racer.join();
    dlclose(pinned);
    EXPECT_EQ(cycles, done) << "every initialize and shutdown succeeds";
    EXPECT_EQ(0, faults.load()) << "in " << done << " cycles";
}

INSTANTIATE_TEST_SUITE_P(Stress, Races, testing::ValuesIn(kRacedShutdowns),
                         [](const testing::TestParamInfo<RacedShutdown>& info) { return info.param.name; });

}  // namespace
