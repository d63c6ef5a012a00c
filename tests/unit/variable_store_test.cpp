// Content of the user-variable store after setting, replacing, refusing and
// command-line processing, read back through preparation (which forwards
// every variable that does not configure the library itself).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config_test_support.h"

namespace {

using Strings = std::vector<std::string>;

class VariableStore : public ConfigurationTest {};

TEST_F(VariableStore, KeepsInsertionOrder) {
    SetVariable("c=3");
    SetVariable("a=1");
    SetVariable("b=2");
    EXPECT_EQ(StoredVariables(), (Strings{"c=3", "a=1", "b=2"}));
}

TEST_F(VariableStore, ReplacementKeepsThePositionAndTakesTheNewText) {
    SetVariable("alpha=1");
    SetVariable("Beta=2");
    SetVariable("gamma=3");
    EXPECT_EQ(vexlin_stub_set_variable("BETA=20", 1), VEXLIN_SUCCESS);
    EXPECT_EQ(StoredVariables(), (Strings{"alpha=1", "BETA=20", "gamma=3"}));
}

TEST_F(VariableStore, RefusalLeavesTheEntry) {
    SetVariable("AgentActive=false");
    EXPECT_EQ(vexlin_stub_set_variable("agentactive=true", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_EQ(Prepared().args.agentactive, 0);
    EXPECT_EQ(vexlin_stub_set_variable("agentactive=true", 1), VEXLIN_SUCCESS);
    EXPECT_EQ(Prepared().args.agentactive, 1);

    SetVariable("Name=old");
    EXPECT_EQ(vexlin_stub_set_variable("name=new", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_EQ(StoredVariables(), (Strings{"Name=old"}));
}

TEST_F(VariableStore, PrefixesAndLongerNamesAreOtherVariables) {
    SetVariable("agent=1");
    SetVariable("agentactive=0");
    SetVariable("agentx=2");
    const Prepared p;
    EXPECT_EQ(p.forwarded(), (Strings{"agent=1", "agentx=2"}));
    EXPECT_EQ(p.args.agentactive, 0);
}

TEST_F(VariableStore, UnusualVariablesAreStoredWhole) {
    SetVariable("a=b=c");
    SetVariable("=x");
    EXPECT_EQ(vexlin_stub_set_variable("=y", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    SetVariable("name=");
    SetVariable(" spaced name = v ");
    EXPECT_EQ(StoredVariables(), (Strings{"a=b=c", "=x", "name=", " spaced name = v "}));
    EXPECT_EQ(vexlin_stub_set_variable("=y", 1), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("A=new", 1), VEXLIN_SUCCESS);
    EXPECT_EQ(StoredVariables(), (Strings{"A=new", "=y", "name=", " spaced name = v "}));
}

TEST_F(VariableStore, InvalidAndEmptyInputStoresNothing) {
    EXPECT_EQ(vexlin_stub_set_variable("name", 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexlin_stub_set_variable("", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable(nullptr, 1), VEXLIN_SUCCESS);
    EXPECT_EQ(StoredVariables(), Strings{});
}

TEST_F(VariableStore, TheCallerKeepsItsString) {
    char var[] = "key=value";
    SetVariable(var);
    var[4] = 'X';
    EXPECT_EQ(StoredVariables(), (Strings{"key=value"}));
}

TEST_F(VariableStore, FreeEmptiesAndTheStoreIsReusable) {
    SetVariable("x=1");
    SetVariable("y=2");
    vexlin_stub_free_variables();
    EXPECT_EQ(StoredVariables(), Strings{});
    SetVariable("y=3");
    SetVariable("z=4");
    EXPECT_EQ(StoredVariables(), (Strings{"y=3", "z=4"}));
}

TEST_F(VariableStore, CommandLineFirstOccurrenceWinsWithoutReplace) {
    const char* argv[] = {"prog", "--kx_a=1", "--kx_a=2", "--kx_b"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(4, argv, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(StoredVariables(), (Strings{"a=1"}));
}

TEST_F(VariableStore, CommandLineLastOccurrenceWinsWithReplace) {
    const char* argv[] = {"prog", "--kx_a=1", "other", "--kx_b=x", "--kx_A=2"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(5, argv, 1), VEXLIN_SUCCESS);
    EXPECT_EQ(StoredVariables(), (Strings{"A=2", "b=x"}));
}

TEST_F(VariableStore, CommandLineMixedResultsStoreEverythingValid) {
    const char* argv[] = {"prog", "--kx_b", "--kx_a=1", "--kx_a=1", "--kx_", "--KX_c=1", "--kx_d==", "x=y"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(8, argv, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(StoredVariables(), (Strings{"a=1", "d=="}));
}

TEST_F(VariableStore, ValueSetBeforeWinsOverTheCommandLine) {
    SetVariable("home=/set");
    const char* argv[] = {"prog", "--kx_home=/cmd", "--kx_loglevelsdk=info"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(3, argv, 0), VEXLIN_ERROR_ENTRY_EXISTS);
    const Prepared p;
    EXPECT_EQ(p.forwarded(), (Strings{"home=/set"}));
    EXPECT_EQ(p.args.loglevelsdk, 4);
}

TEST_F(VariableStore, ProgramNameIsNotStored) {
    const char* argv[] = {"--kx_zero=0", "--kx_one=1"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(2, argv, 0), VEXLIN_SUCCESS);
    EXPECT_EQ(StoredVariables(), (Strings{"one=1"}));
}

TEST_F(VariableStore, SingleArgument) {
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--kx_k=v", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("k=w", 1), VEXLIN_SUCCESS) << "not an SDK argument";
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--kx_K=w", 1), VEXLIN_SUCCESS);
    EXPECT_EQ(StoredVariables(), (Strings{"K=w"}));
}

TEST_F(VariableStore, ManyEntriesGrowTheStore) {
    Strings expected;
    for (int i = 0; i < 100; ++i) {
        const std::string var = "v" + std::to_string(i) + "=" + std::to_string(i * i);
        SetVariable(var.c_str());
        expected.push_back(var);
    }
    EXPECT_EQ(StoredVariables(), expected);
    EXPECT_EQ(vexlin_stub_set_variable("V57=x", 0), VEXLIN_ERROR_ENTRY_EXISTS);
}

// Threads set names of their own and names they share, with and without
// replacing. Every name must end up stored exactly once.
TEST_F(VariableStore, ConcurrentSettersStoreEveryNameOnce) {
    constexpr int kThreads = 4;
    constexpr int kOwnNames = 150;
    constexpr int kSharedNames = 30;
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kOwnNames; ++i) {
                const std::string own = "own" + std::to_string(t) + "_" + std::to_string(i) + "=v";
                if (vexlin_stub_set_variable(own.c_str(), 0) != VEXLIN_SUCCESS) ++failures;
                const std::string shared = "shared" + std::to_string(i % kSharedNames) + "=t" + std::to_string(t);
                const vexlin_bool_t replace = (t % 2 == 0) ? 1 : 0;
                const vexlin_result_t rc = vexlin_stub_set_variable(shared.c_str(), replace);
                if (rc != VEXLIN_SUCCESS && !(rc == VEXLIN_ERROR_ENTRY_EXISTS && !replace)) ++failures;
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);

    const Strings stored = StoredVariables();
    EXPECT_EQ(stored.size(), static_cast<size_t>(kThreads * kOwnNames + kSharedNames));
    std::set<std::string> names;
    for (const std::string& var : stored) {
        EXPECT_TRUE(names.insert(var.substr(0, var.find('='))).second) << "doubled: " << var;
    }
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kOwnNames; ++i)
            EXPECT_EQ(names.count("own" + std::to_string(t) + "_" + std::to_string(i)), 1u);
    for (int s = 0; s < kSharedNames; ++s) EXPECT_EQ(names.count("shared" + std::to_string(s)), 1u);
}

}  // namespace
