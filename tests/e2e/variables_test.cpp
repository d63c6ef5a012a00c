// User variables and "--kx_" command-line arguments through the shared
// library. The store has no exported read; presence of a name shows as
// 0xAFFE000A when it is set again without replacing. Stored values are
// checked by the unit tests of argument preparation.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "vexlin/vexlin_init.h"

namespace {

// A name that was absent is stored by the probe itself.
bool IsStored(const char* name) {
    const std::string probe = std::string(name) + "=probe";
    const vexlin_result_t rc = vexlin_stub_set_variable(probe.c_str(), 0);
    EXPECT_TRUE(rc == VEXLIN_SUCCESS || rc == VEXLIN_ERROR_ENTRY_EXISTS) << std::hex << rc;
    return rc == VEXLIN_ERROR_ENTRY_EXISTS;
}

class Variables : public ::testing::Test {
protected:
    void SetUp() override { vexlin_stub_free_variables(); }
    void TearDown() override { vexlin_stub_free_variables(); }
};

TEST_F(Variables, SetRefuseAndReplace) {
    EXPECT_EQ(vexlin_stub_set_variable("AgentActive=false", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("agentactive=true", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_EQ(vexlin_stub_set_variable("AGENTACTIVE=", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_EQ(vexlin_stub_set_variable("agentactive=true", 1), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("agentactive=true", 7), VEXLIN_SUCCESS) << "any non-zero value replaces";
    EXPECT_EQ(vexlin_stub_set_variable("agentactive=x", 0), VEXLIN_ERROR_ENTRY_EXISTS);
}

TEST_F(Variables, NamesMatchExactlyIgnoringCase) {
    ASSERT_EQ(vexlin_stub_set_variable("agentactive=0", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("agent=1", 0), VEXLIN_SUCCESS) << "a prefix is another name";
    EXPECT_EQ(vexlin_stub_set_variable("agentactivex=1", 0), VEXLIN_SUCCESS) << "a longer name is another name";
    EXPECT_EQ(vexlin_stub_set_variable("AGENTACTIVE=1", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_TRUE(IsStored("Agent"));
    EXPECT_TRUE(IsStored("AgentActiveX"));
    EXPECT_FALSE(IsStored("agentact"));
}

TEST_F(Variables, OddButValidVariables) {
    EXPECT_EQ(vexlin_stub_set_variable("a=b=c", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("A=other", 0), VEXLIN_ERROR_ENTRY_EXISTS) << "the name ends at the first '='";
    EXPECT_FALSE(IsStored("b"));

    EXPECT_EQ(vexlin_stub_set_variable("=x", 0), VEXLIN_SUCCESS) << "the empty name is a name";
    EXPECT_EQ(vexlin_stub_set_variable("=y", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_EQ(vexlin_stub_set_variable("=y", 1), VEXLIN_SUCCESS);

    EXPECT_EQ(vexlin_stub_set_variable("name=", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("NAME=v", 0), VEXLIN_ERROR_ENTRY_EXISTS);
}

TEST_F(Variables, InvalidAndEmptyInput) {
    EXPECT_EQ(vexlin_stub_set_variable("name", 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexlin_stub_set_variable("name", 1), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_FALSE(IsStored("name"));
    EXPECT_EQ(vexlin_stub_set_variable(nullptr, 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_set_variable("", 1), VEXLIN_SUCCESS);
    // Nothing was stored by the empty inputs: the empty name is still free.
    EXPECT_EQ(vexlin_stub_set_variable("=first", 0), VEXLIN_SUCCESS);
}

TEST_F(Variables, FreeEmptiesTheStoreForReuse) {
    ASSERT_EQ(vexlin_stub_set_variable("one=1", 0), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_stub_set_variable("two=2", 0), VEXLIN_SUCCESS);
    vexlin_stub_free_variables();
    EXPECT_EQ(vexlin_stub_set_variable("one=again", 0), VEXLIN_SUCCESS);
    EXPECT_FALSE(IsStored("two"));
    vexlin_stub_free_variables();
    vexlin_stub_free_variables();  // freeing an empty store is harmless
    EXPECT_EQ(vexlin_stub_set_variable("one=third", 0), VEXLIN_SUCCESS);
}

TEST(SdkArgument, Recognition) {
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg("--kx_a=1"), 1);
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg("--kx_"), 1);
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg("--kx_name"), 1);
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg("--KX_a=1"), 0) << "the prefix is case-sensitive";
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg("--kx"), 0);
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg("-kx_a=1"), 0);
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg(" --kx_a=1"), 0);
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg(""), 0);
    EXPECT_EQ(vexlin_stub_is_sdk_cmdline_arg(nullptr), 0);
}

TEST_F(Variables, SingleArguments) {
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--kx_a=1", 0), VEXLIN_SUCCESS);
    EXPECT_TRUE(IsStored("a"));
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--kx_a=2", 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--kx_a=2", 1), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--kx_b", 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_FALSE(IsStored("b"));
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--kx_", 0), VEXLIN_SUCCESS) << "an empty variable stores nothing";
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("--KX_c=1", 0), VEXLIN_SUCCESS);
    EXPECT_FALSE(IsStored("c")) << "not an SDK argument, silently ignored";
    EXPECT_FALSE(IsStored("--KX_c"));
    EXPECT_EQ(vexlin_stub_process_cmdline_arg("plain", 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_process_cmdline_arg(nullptr, 0), VEXLIN_SUCCESS);
}

TEST_F(Variables, CommandLineCombinesResults) {
    {
        const char* argv[] = {"prog", "--kx_a=1", "--kx_a=2", "--kx_b"};
        EXPECT_EQ(vexlin_stub_process_cmdline_args(4, argv, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
        EXPECT_TRUE(IsStored("a"));
        EXPECT_FALSE(IsStored("b"));
    }
    vexlin_stub_free_variables();
    {
        const char* argv[] = {"prog", "--kx_a=1", "--kx_a=2"};
        EXPECT_EQ(vexlin_stub_process_cmdline_args(3, argv, 0), VEXLIN_ERROR_ENTRY_EXISTS);
    }
    vexlin_stub_free_variables();
    {
        // The first real error stays; a later 0xAFFE000A does not replace it.
        const char* argv[] = {"prog", "--kx_b", "--kx_a=1", "--kx_a=1"};
        EXPECT_EQ(vexlin_stub_process_cmdline_args(4, argv, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
        EXPECT_TRUE(IsStored("a")) << "processing goes on after an error";
    }
    vexlin_stub_free_variables();
    {
        // 0xAFFE000A first, then a real error: the real error wins.
        const char* argv[] = {"prog", "--kx_a=1", "--kx_a=1", "--kx_b", "--kx_c=3"};
        EXPECT_EQ(vexlin_stub_process_cmdline_args(5, argv, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
        EXPECT_TRUE(IsStored("c"));
    }
    vexlin_stub_free_variables();
    {
        const char* argv[] = {"prog", "--kx_a=1", "--kx_a=2", "x", "--KX_y=1", "--kx_"};
        EXPECT_EQ(vexlin_stub_process_cmdline_args(6, argv, 1), VEXLIN_SUCCESS) << "replacing, nothing fails";
        EXPECT_FALSE(IsStored("--KX_y"));
        EXPECT_FALSE(IsStored("x"));
    }
}

TEST_F(Variables, ProgramNameIsNeverInterpreted) {
    const char* argv[] = {"--kx_zero=1", "--kx_one=1"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(2, argv, 0), VEXLIN_SUCCESS);
    EXPECT_FALSE(IsStored("zero"));
    EXPECT_TRUE(IsStored("one"));

    const char* bad_name[] = {"--kx_invalid"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(1, bad_name, 0), VEXLIN_SUCCESS);
}

TEST_F(Variables, CommandLineCountsAndMissingVector) {
    EXPECT_EQ(vexlin_stub_process_cmdline_args(0, nullptr, 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_process_cmdline_args(3, nullptr, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexlin_stub_process_cmdline_args(-1, nullptr, 0), VEXLIN_ERROR_INVALID_ARGUMENT);
    const char* argv[] = {"prog", "--kx_n=1"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(-2, argv, 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_process_cmdline_args(1, argv, 0), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_stub_process_cmdline_args(0, argv, 0), VEXLIN_SUCCESS);
    EXPECT_FALSE(IsStored("n")) << "counts below 2 look at no argument";
}

TEST_F(Variables, EarlierSetVariableWinsOverCommandLineWithoutReplace) {
    ASSERT_EQ(vexlin_stub_set_variable("home=/set", 0), VEXLIN_SUCCESS);
    const char* argv[] = {"prog", "--kx_home=/cmd"};
    EXPECT_EQ(vexlin_stub_process_cmdline_args(2, argv, 0), VEXLIN_ERROR_ENTRY_EXISTS);
    EXPECT_EQ(vexlin_stub_process_cmdline_args(2, argv, 1), VEXLIN_SUCCESS);
}

TEST(StripArguments, RemovesSdkArgumentsKeepingOrder) {
    char prog[] = "prog", a[] = "--kx_a=1", x[] = "x", b[] = "--kx_b=2", y[] = "y", sentinel[] = "after-end";
    char* argv[] = {prog, a, x, b, y, sentinel};
    int argc = 5;
    EXPECT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc, argv), VEXLIN_SUCCESS);
    EXPECT_EQ(argc, 3);
    EXPECT_EQ(argv[0], prog);
    EXPECT_EQ(argv[1], x);
    EXPECT_EQ(argv[2], y);
    EXPECT_STREQ(argv[3], "");
    EXPECT_STREQ(argv[4], "");
    EXPECT_EQ(argv[3], argv[4]) << "vacated slots share one static empty string";
    EXPECT_NE(argv[3], a);
    EXPECT_NE(argv[3], b);
    EXPECT_EQ(argv[5], sentinel) << "the slot at the old count is not touched";
    // Only pointers move: the strings themselves are unchanged.
    EXPECT_STREQ(a, "--kx_a=1");
    EXPECT_STREQ(b, "--kx_b=2");
}

TEST(StripArguments, VacatedSlotsAreTheSameStringAcrossCalls) {
    char prog[] = "prog", a[] = "--kx_a=1", b[] = "--kx_", c[] = "--kx_name";
    char* first[] = {prog, a, nullptr};
    int argc1 = 2;
    ASSERT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc1, first), VEXLIN_SUCCESS);
    EXPECT_EQ(argc1, 1);
    EXPECT_EQ(first[2], nullptr);
    EXPECT_EQ(first[argc1], first[1]);

    // "--kx_" alone and a name without "=" are stripped too.
    char* second[] = {prog, b, c, nullptr};
    int argc2 = 3;
    ASSERT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc2, second), VEXLIN_SUCCESS);
    EXPECT_EQ(argc2, 1);
    EXPECT_EQ(second[1], first[1]);
    EXPECT_EQ(second[2], first[1]);
    EXPECT_EQ(second[3], nullptr);
}

TEST(StripArguments, ProgramNameNullEntriesAndNothingToStrip) {
    char prog[] = "--kx_prog=1", kept[] = "--KX_kept=1";
    char* argv[] = {prog, nullptr, kept, nullptr};
    int argc = 3;
    EXPECT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc, argv), VEXLIN_SUCCESS);
    EXPECT_EQ(argc, 3) << "argv[0] and NULL entries are kept";
    EXPECT_EQ(argv[0], prog);
    EXPECT_EQ(argv[1], nullptr);
    EXPECT_EQ(argv[2], kept);
    EXPECT_EQ(argv[3], nullptr);
}

TEST(StripArguments, CountsAndMissingPointers) {
    EXPECT_EQ(vexlin_stub_strip_sdk_cmdline_args(nullptr, nullptr), VEXLIN_ERROR_INVALID_ARGUMENT);
    int argc = 0;
    EXPECT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc, nullptr), VEXLIN_SUCCESS);
    EXPECT_EQ(argc, 0);
    argc = 2;
    EXPECT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc, nullptr), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(argc, 2);

    char prog[] = "prog", a[] = "--kx_a=1";
    char* argv[] = {prog, a, nullptr};
    argc = 1;
    EXPECT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc, argv), VEXLIN_SUCCESS);
    EXPECT_EQ(argc, 1);
    EXPECT_EQ(argv[0], prog);
    EXPECT_EQ(argv[1], a) << "with count 1 nothing beyond the program name is looked at";

    argc = -3;
    EXPECT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc, argv), VEXLIN_SUCCESS);
    EXPECT_EQ(argc, 1);
    EXPECT_EQ(argv[0], prog);
    EXPECT_EQ(argv[1], a);
    EXPECT_EQ(argv[2], nullptr);
}

TEST(StripArguments, StoresNothing) {
    vexlin_stub_free_variables();
    char prog[] = "prog", a[] = "--kx_stripped=1";
    char* argv[] = {prog, a, nullptr};
    int argc = 2;
    ASSERT_EQ(vexlin_stub_strip_sdk_cmdline_args(&argc, argv), VEXLIN_SUCCESS);
    EXPECT_FALSE(IsStored("stripped"));
    vexlin_stub_free_variables();
}

// Many threads set the same names and names of their own at once. Each
// shared name is stored by exactly one thread; no own name is lost.
TEST_F(Variables, ConcurrentSettersLoseAndDoubleNothing) {
    constexpr int kThreads = 4;
    constexpr int kNamesPerThread = 200;
    constexpr int kSharedNames = 50;
    std::atomic<int> shared_successes[kSharedNames];
    for (auto& s : shared_successes) s = 0;
    std::atomic<int> own_failures{0};
    std::atomic<int> unexpected{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kNamesPerThread; ++i) {
                const std::string own = "t" + std::to_string(t) + "_n" + std::to_string(i) + "=" + std::to_string(i);
                if (vexlin_stub_set_variable(own.c_str(), 0) != VEXLIN_SUCCESS) ++own_failures;
                const int s = i % kSharedNames;
                const std::string shared = "Shared" + std::to_string(s) + "=from" + std::to_string(t);
                const vexlin_result_t rc = vexlin_stub_set_variable(shared.c_str(), 0);
                if (rc == VEXLIN_SUCCESS) {
                    ++shared_successes[s];
                } else if (rc != VEXLIN_ERROR_ENTRY_EXISTS) {
                    ++unexpected;
                }
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(own_failures, 0);
    EXPECT_EQ(unexpected, 0);
    for (int s = 0; s < kSharedNames; ++s) EXPECT_EQ(shared_successes[s], 1) << "shared name " << s;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kNamesPerThread; ++i) {
            const std::string name = "T" + std::to_string(t) + "_N" + std::to_string(i);
            ASSERT_TRUE(IsStored(name.c_str())) << name;
        }
    }
}

}  // namespace
