// Out-of-memory paths: every operation that allocates is run with its 1st,
// 2nd, 3rd ... allocation failing until it completes without a failure. Each
// time it must give its documented result, leak nothing, and leave the state
// as it was.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "alloc_shim.h"
#include "test_agent_control.h"
#include "vexlin/vexlin.h"
#include "vexlin_args.h"

namespace {

std::vector<std::string> StoredVariables() {
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    EXPECT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS);
    std::vector<std::string> out;
    for (vexlin_size_t i = 0; i < args.agent_args.count; ++i) out.push_back(args.agent_args.strings[i]);
    vexlin_args_free(&args);
    return out;
}

void ClearEnvironment() {
    for (const char* name : {"KX_AGENTACTIVE", "KX_AGENTLIBRARY", "KX_LOGLEVELSDK", "KX_HOME"}) unsetenv(name);
}

// Runs `operation` with allocation n failing, for n = 1, 2, ... until a run
// sees no failure; `check` judges each run. Returns the failed points.
long FailEachAllocation(const std::function<vexlin_result_t()>& operation,
                        const std::function<void(long n, bool fired, vexlin_result_t rc)>& check) {
    long points = 0;
    for (long n = 1; n < 10000; ++n) {
        alloc_shim::arm(n);
        const vexlin_result_t rc = operation();
        alloc_shim::disarm();
        const bool fired = alloc_shim::failure_fired();
        check(n, fired, rc);
        if (!fired) {
            return points;
        }
        ++points;
    }
    ADD_FAILURE() << "the operation never completed";
    return points;
}

class AllocationFailure : public ::testing::Test {
protected:
    void SetUp() override {
        ClearEnvironment();
        vexlin_stub_free_variables();
    }
    void TearDown() override { vexlin_stub_free_variables(); }
};

TEST_F(AllocationFailure, SettingANewVariableFailsCleanly) {
    ASSERT_EQ(vexlin_stub_set_variable("first=1", 0), VEXLIN_SUCCESS);
    const std::vector<std::string> before = StoredVariables();
    const long baseline = alloc_shim::live_blocks();
    const long points = FailEachAllocation([] { return vexlin_stub_set_variable("second=2", 0); },
                                           [&](long n, bool fired, vexlin_result_t rc) {
                                               if (fired) {
                                                   EXPECT_EQ(rc, VEXLIN_ERROR_OUT_OF_MEMORY) << "allocation " << n;
                                                   EXPECT_EQ(StoredVariables(), before) << "allocation " << n;
                                                   EXPECT_EQ(alloc_shim::live_blocks(), baseline) << "allocation " << n;
                                               } else {
                                                   EXPECT_EQ(rc, VEXLIN_SUCCESS);
                                               }
                                           });
    // The copy of the variable; the store's array already has room.
    EXPECT_EQ(points, 1);
    EXPECT_EQ(StoredVariables(), (std::vector<std::string>{"first=1", "second=2"}));
    printf("set_variable (new entry): %ld allocation point(s) failed\n", points);
}

TEST_F(AllocationFailure, TheFirstVariableGrowsTheStoreAndFailsCleanly) {
    const long baseline = alloc_shim::live_blocks();
    const long points = FailEachAllocation([] { return vexlin_stub_set_variable("first=1", 0); },
                                           [&](long n, bool fired, vexlin_result_t rc) {
                                               if (fired) {
                                                   EXPECT_EQ(rc, VEXLIN_ERROR_OUT_OF_MEMORY) << "allocation " << n;
                                                   EXPECT_TRUE(StoredVariables().empty()) << "allocation " << n;
                                                   // A grown array may stay with the store; freeing returns it.
                                                   vexlin_stub_free_variables();
                                                   EXPECT_EQ(alloc_shim::live_blocks(), baseline) << "allocation " << n;
                                               }
                                           });
    // The store's array, then the copy.
    EXPECT_EQ(points, 2);
    printf("set_variable (first entry): %ld allocation point(s) failed\n", points);
}

TEST_F(AllocationFailure, ReplacingAVariableKeepsTheOldText) {
    ASSERT_EQ(vexlin_stub_set_variable("name=old", 0), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_stub_set_variable("other=x", 0), VEXLIN_SUCCESS);
    const long baseline = alloc_shim::live_blocks();
    const long points =
        FailEachAllocation([] { return vexlin_stub_set_variable("NAME=new", 1); },
                           [&](long n, bool fired, vexlin_result_t rc) {
                               if (fired) {
                                   EXPECT_EQ(rc, VEXLIN_ERROR_OUT_OF_MEMORY) << "allocation " << n;
                                   EXPECT_EQ(StoredVariables(), (std::vector<std::string>{"name=old", "other=x"}));
                                   EXPECT_EQ(alloc_shim::live_blocks(), baseline) << "allocation " << n;
                               }
                           });
    EXPECT_EQ(points, 1);
    EXPECT_EQ(StoredVariables(), (std::vector<std::string>{"NAME=new", "other=x"}));
    printf("set_variable (replacing): %ld allocation point(s) failed\n", points);
}

TEST_F(AllocationFailure, ACommandLineStoresEveryArgumentItCan) {
    const char* argv[] = {"prog", "--kx_a=1", "plain", "--kx_b=2", "--kx_c=3"};
    const std::vector<std::string> all = {"a=1", "b=2", "c=3"};
    const long baseline = alloc_shim::live_blocks();
    const long points = FailEachAllocation([&] { return vexlin_stub_process_cmdline_args(5, argv, 0); },
                                           [&](long n, bool fired, vexlin_result_t rc) {
                                               {
                                                   const std::vector<std::string> stored = StoredVariables();
                                                   if (fired) {
                                                       EXPECT_EQ(rc, VEXLIN_ERROR_OUT_OF_MEMORY) << "allocation " << n;
                                                       // Exactly the argument whose allocation failed is missing.
                                                       EXPECT_EQ(stored.size(), all.size() - 1) << "allocation " << n;
                                                       size_t next = 0;
                                                       for (const std::string& s : stored) {
                                                           while (next < all.size() && all[next] != s) ++next;
                                                           EXPECT_LT(next, all.size())
                                                               << s << " out of order at allocation " << n;
                                                       }
                                                   } else {
                                                       EXPECT_EQ(rc, VEXLIN_SUCCESS);
                                                       EXPECT_EQ(stored, all);
                                                   }
                                               }
                                               vexlin_stub_free_variables();
                                               EXPECT_EQ(alloc_shim::live_blocks(), baseline) << "allocation " << n;
                                           });
    // The store's array and three copies.
    EXPECT_EQ(points, 4);
    printf("process_cmdline_args (3 arguments): %ld allocation point(s) failed\n", points);
}

TEST_F(AllocationFailure, PreparationEndsReleasedAndLeaksNothing) {
    ASSERT_EQ(vexlin_stub_set_variable("one=1", 0), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_stub_set_variable("agentactive=true", 0), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_stub_set_variable("two=2", 0), VEXLIN_SUCCESS);
    setenv("KX_HOME", "/opt/app", 1);
    const long baseline = alloc_shim::live_blocks();
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    const long points =
        FailEachAllocation([&] { return vexlin_args_prepare(&args); },
                           [&](long n, bool fired, vexlin_result_t rc) {
                               if (fired) {
                                   EXPECT_EQ(rc, VEXLIN_ERROR_OUT_OF_MEMORY) << "allocation " << n;
                                   EXPECT_EQ(args.loglevelsdk, -1);
                                   EXPECT_EQ(args.agentactive, 0);
                                   EXPECT_EQ(args.agentlibrary, nullptr);
                                   EXPECT_EQ(args.agent_args.count, 0u);
                                   EXPECT_EQ(args.agent_args.strings, nullptr);
                                   EXPECT_EQ(alloc_shim::live_blocks(), baseline) << "allocation " << n;
                               } else {
                                   EXPECT_EQ(rc, VEXLIN_SUCCESS);
                                   EXPECT_STREQ(args.agentlibrary, "/opt/app/agent/lib/libpelmoranloader.so");
                               }
                               vexlin_args_free(&args);
                               EXPECT_EQ(alloc_shim::live_blocks(), baseline) << "allocation " << n;
                           });
    // The empty agentlibrary copy, the default path, the list and two copies.
    EXPECT_EQ(points, 5);
    printf("args_prepare (home, 2 forwarded variables): %ld allocation point(s) failed\n", points);
}

TEST_F(AllocationFailure, InitializeFailsCleanlyAndALaterOneSucceeds) {
    ASSERT_EQ(vexlin_stub_set_variable("one=1", 0), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_stub_set_variable("two=2", 0), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_stub_set_variable("three=3", 0), VEXLIN_SUCCESS);
    setenv("KX_HOME", TEST_AGENT_HOME_DIR, 1);
    const std::string module = std::string(TEST_AGENT_HOME_DIR) + "/agent/lib/libpelmoranloader.so";
    // A first cycle stores the init-flags variable and warms the loader.
    ASSERT_EQ(vexlin_initialize(), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_shutdown(), VEXLIN_SUCCESS);
    const std::vector<std::string> before = StoredVariables();
    long failed_with_out_of_memory = 0;
    const long points =
        FailEachAllocation([] { return vexlin_initialize(); },
                           [&](long n, bool fired, vexlin_result_t rc) {
                               if (!fired) {
                                   EXPECT_EQ(rc, VEXLIN_SUCCESS);
                                   EXPECT_EQ(vexlin_shutdown(), VEXLIN_SUCCESS);
                                   return;
                               }
                               if (rc == VEXLIN_SUCCESS) {
                                   // The loader or the module may absorb a failure of its own.
                                   EXPECT_EQ(vexlin_shutdown(), VEXLIN_SUCCESS) << "allocation " << n;
                                   return;
                               }
                               failed_with_out_of_memory += rc == VEXLIN_ERROR_OUT_OF_MEMORY;
                               EXPECT_EQ(vexlin_agent_get_current_state(), 3) << "allocation " << n;
                               EXPECT_EQ(StoredVariables(), before) << "allocation " << n;
                               void* still_open = dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
                               EXPECT_EQ(still_open, nullptr) << "module left open after allocation " << n;
                               if (still_open != nullptr) dlclose(still_open);
                               EXPECT_EQ(vexlin_shutdown(), VEXLIN_ERROR_NOT_INITIALIZED) << "allocation " << n;
                               // A later initialize succeeds.
                               EXPECT_EQ(vexlin_initialize(), VEXLIN_SUCCESS) << "allocation " << n;
                               EXPECT_EQ(vexlin_shutdown(), VEXLIN_SUCCESS) << "allocation " << n;
                           });
    EXPECT_GT(points, 0);
    EXPECT_GT(failed_with_out_of_memory, 0);
    printf(
        "initialize (3 variables, home, loader and module included): %ld allocation point(s) failed, "
        "%ld of them reported as out of memory\n",
        points, failed_with_out_of_memory);
}

}  // namespace
