// The allocator seen through the shim (alloc_shim.h): every operation that
// allocates is run with its 1st, 2nd, ... allocation failing until it
// completes, and must give its result, leak nothing and keep its state;
// sizes that would overflow never reach the allocator; and the 73
// forwarding functions never allocate or free.
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

#include "alloc_shim.h"
#include "vexlin/internal/vexlin_stub_abi.h"
#include "vexlin_test.h"
#include "vexlin_xstr.h"

namespace {

using Strings = std::vector<std::string>;

class Allocation : public testing::Test {
protected:
    void SetUp() override {
        ClearLibraryEnvironment();
        vexlin_stub_free_variables();
    }
    void TearDown() override { alloc_shim::disarm(); }
};

// Runs `operation` with allocation n failing for n = 1, 2, ... until a run
// sees no failure; `check` judges each run. Gives the failed points.
template <typename Operation, typename Check>
long FailEachAllocation(Operation&& operation, Check&& check) {
    for (long n = 1; n < 10000; ++n) {
        alloc_shim::arm(n);
        const vexlin_result_t rc = operation();
        alloc_shim::disarm();
        check(alloc_shim::failure_fired(), rc);
        if (testing::Test::HasFailure()) {
            ADD_FAILURE() << "with allocation " << n << " failing";
            return 0;
        }
        if (!alloc_shim::failure_fired()) return n - 1;
    }
    ADD_FAILURE() << "the operation never completed";
    return 0;
}

// ---- The user-variable store: one operation per row --------------------------------------

struct StoreOperation {
    const char* name;
    Strings setup;        // variables set first
    const char* argv[5];  // a command line, or {variable}; '+' replaces
    long points;
    Strings after;  // what the store holds after the operation succeeded
};
void PrintTo(const StoreOperation& c, std::ostream* os) { *os << c.name; }

const StoreOperation kStoreOperations[] = {
    {"NewVariableCopies", {"first=1"}, {"second=2"}, 1, {"first=1", "second=2"}},
    {"FirstVariableGrowsTheStoreThenCopies", {}, {"first=1"}, 2, {"first=1"}},
    {"ReplacingKeepsTheOldText", {"name=old", "other=x"}, {"+NAME=new"}, 1, {"NAME=new", "other=x"}},
    // The store's array and three copies; the other arguments are stored.
    {"CommandLineStoresWhatItCan", {}, {"prog", "--kx_a=1", "plain", "--kx_b=2", "--kx_c=3"}, 4, {"a=1", "b=2", "c=3"}},
};

void Restore(const Strings& setup) {
    vexlin_stub_free_variables();
    for (const std::string& v : setup) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(v.c_str(), 0));
}

class StoreFailures : public Allocation, public testing::WithParamInterface<StoreOperation> {};

TEST_P(StoreFailures, FailCleanly) {
    const StoreOperation& c = GetParam();
    Restore(c.setup);
    const Strings before = StoredVariables();
    const long baseline = alloc_shim::live_blocks();
    const bool command_line = c.argv[1] != nullptr;
    const long points = FailEachAllocation(
        [&c, command_line] {
            if (command_line) return vexlin_stub_process_cmdline_args(5, c.argv, 0);
            return vexlin_stub_set_variable(c.argv[0] + (c.argv[0][0] == '+'), c.argv[0][0] == '+');
        },
        [&](bool fired, vexlin_result_t rc) {
            EXPECT_EQ(fired ? VEXLIN_ERROR_OUT_OF_MEMORY : VEXLIN_SUCCESS, rc);
            if (!fired) EXPECT_EQ(c.after, StoredVariables());
            if (fired && command_line) EXPECT_EQ(c.after.size() - 1, StoredVariables().size());
            if (fired && !command_line) EXPECT_EQ(before, StoredVariables());
            Restore(c.setup);
            EXPECT_EQ(baseline, alloc_shim::live_blocks());
        });
    EXPECT_EQ(c.points, points);
}

INSTANTIATE_TEST_SUITE_P(Allocation, StoreFailures, testing::ValuesIn(kStoreOperations),
                         [](const testing::TestParamInfo<StoreOperation>& info) { return info.param.name; });

// ---- Preparation and initialize ------------------------------------------------------------

// A failure while preparing a prepared record releases the old contents too.
TEST_F(Allocation, PreparationEndsReleasedAndLeaksNothing) {
    for (const char* v : {"one=1", "agentactive=true", "two=2"})
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(v, 0));
    setenv("KX_HOME", "/opt/app", 1);
    const long baseline = alloc_shim::live_blocks();
    vexlin_args_t args = {-1, 0, nullptr, {nullptr, 0, 0}};
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_args_prepare(&args));
    EXPECT_EQ(4, alloc_shim::live_blocks() - baseline) << "module path, array and two copies";
    const long points = FailEachAllocation(
        [&] { return vexlin_args_prepare(&args); },
        [&](bool fired, vexlin_result_t rc) {
            EXPECT_EQ(fired ? VEXLIN_ERROR_OUT_OF_MEMORY : VEXLIN_SUCCESS, rc);
            if (fired) {
                EXPECT_EQ(-1, args.loglevelsdk);
                EXPECT_EQ(0, args.agentactive);
                EXPECT_EQ(nullptr, args.agentlibrary);
                EXPECT_EQ(nullptr, args.agent_args.strings);
                EXPECT_EQ(baseline, alloc_shim::live_blocks());
            } else {
                EXPECT_STREQ("/opt/app/agent/lib/libpelmoranloader.so", args.agentlibrary);
            }
            vexlin_args_free(&args);
            EXPECT_EQ(baseline, alloc_shim::live_blocks());
            ASSERT_EQ(VEXLIN_SUCCESS, vexlin_args_prepare(&args));
            EXPECT_EQ(4, alloc_shim::live_blocks() - baseline) << "preparing again leaves nothing behind";
        });
    vexlin_args_free(&args);
    // The empty agentlibrary copy, the default path, the list and two copies.
    EXPECT_EQ(5, points);
}

TEST_F(Allocation, InitializeFailsCleanlyAndALaterOneSucceeds) {
    for (const char* v : {"one=1", "two=2", "three=3"}) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(v, 0));
    setenv("KX_HOME", TEST_AGENT_HOME_DIR, 1);
    const std::string module = TEST_AGENT_HOME_DIR "/agent/lib/libpelmoranloader.so";
    // A first cycle stores the init-flags variable and warms the loader.
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    const Strings before = StoredVariables();
    long out_of_memory = 0;
    const long points =
        FailEachAllocation([] { return vexlin_initialize(); },
                           [&](bool fired, vexlin_result_t rc) {
                               if (rc == VEXLIN_SUCCESS) {  // the loader or the module may absorb a failure of its own
                                   EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
                                   return;
                               }
                               EXPECT_TRUE(fired);
                               out_of_memory += rc == VEXLIN_ERROR_OUT_OF_MEMORY;
                               EXPECT_EQ(3, vexlin_agent_get_current_state());
                               EXPECT_EQ(before, StoredVariables());
                               EXPECT_FALSE(test_agent::IsLoaded(module.c_str())) << "module left open";
                               EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());
                               EXPECT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
                               EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
                           });
    EXPECT_GT(points, 0);
    EXPECT_GT(out_of_memory, 0);
}

// ---- Strings and lists ---------------------------------------------------------------------

TEST_F(Allocation, SizesThatWouldOverflowNeverReachTheAllocator) {
    const vexlin_size_t pointers = SIZE_MAX / sizeof(char*);
    const std::pair<vexlin_size_t, vexlin_size_t> grows[] = {
        {SIZE_MAX / 2 + 1, SIZE_MAX / 2 + 2},  // doubling would overflow
        {SIZE_MAX / 2, SIZE_MAX},              // the doubled limit exceeds the pointer count
        {pointers / 2 + 1, pointers / 2 + 2},
        {0, pointers + 1},  // the request alone exceeds it
        {0, pointers + 2},  // its byte count would wrap to a small number
    };
    alloc_shim::arm(0);
    EXPECT_EQ(nullptr, vexlin_xstr_alloc(SIZE_MAX - 2));
    EXPECT_EQ(nullptr, vexlin_xstr_alloc(SIZE_MAX));
    for (const auto& g : grows) {
        vexlin_xstr_list_t list = {nullptr, 0, g.first};
        EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_grow(&list, g.second)) << std::hex << g.first;
        EXPECT_EQ(g.first, list.limit);
    }
    vexlin_xstr_list_t full = {nullptr, SIZE_MAX, SIZE_MAX};
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_append(&full, "x")) << "count + 1 would wrap";
    EXPECT_EQ(0, alloc_shim::attempts());
    // The largest allowed sizes are passed on (and refused by the allocator).
    EXPECT_EQ(nullptr, vexlin_xstr_alloc(SIZE_MAX - 3));
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_grow(&list, pointers));
    EXPECT_EQ(2, alloc_shim::attempts());
    EXPECT_EQ(0u, list.limit);
}

TEST_F(Allocation, FailedStringAndListOperationsKeepWhatWasThere) {
    char* p = nullptr;
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_xstr_set(&p, "old"));
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    for (int i = 0; i < 8; ++i) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_append(&list, std::to_string(i).c_str()));
    char** const array = list.strings;
    const long baseline = alloc_shim::live_blocks();
    alloc_shim::arm(1);
    EXPECT_EQ(nullptr, vexlin_xstr_alloc(4));
    alloc_shim::arm(1);
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_set(&p, "new"));
    alloc_shim::arm(1);
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_grow(&list, 9));
    alloc_shim::arm(1);
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_append(&list, "8"));
    alloc_shim::disarm();
    EXPECT_STREQ("old", p);
    EXPECT_EQ(array, list.strings);
    EXPECT_EQ(8u, list.limit);
    alloc_shim::arm(2);
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_append(&list, "8")) << "the copy fails";
    alloc_shim::disarm();
    EXPECT_EQ((Strings{"0", "1", "2", "3", "4", "5", "6", "7"}), Entries(list));
    EXPECT_EQ(nullptr, list.strings[8]);
    EXPECT_EQ(baseline, alloc_shim::live_blocks());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_append(&list, "8")) << "the list works once memory is back";
    vexlin_xstr_list_free(&list);
    vexlin_xstr_free(&p);
}

// The environment's home, lengthened between sizing and filling the default
// module path. putenv keeps this buffer as the variable's storage.
char g_home[64];
void LengthenHome() { strcpy(g_home, "KX_HOME=/opt/application"); }

TEST_F(Allocation, HomeChangingWhileThePathIsBuiltIsAnUnexpectedError) {
    const auto prepare_changing_at = [](long nth, vexlin_args_t* args) {
        strcpy(g_home, "KX_HOME=/opt/app");
        putenv(g_home);
        alloc_shim::arm(0);
        alloc_shim::on_attempt(nth, &LengthenHome);
        const vexlin_result_t rc = vexlin_args_prepare(args);
        alloc_shim::disarm();
        return rc;
    };
    long nth = 1;
    for (; nth <= 6; ++nth) {
        vexlin_args_t args = {-1, 0, nullptr, {nullptr, 0, 0}};
        const long live = alloc_shim::live_blocks();
        const vexlin_result_t rc = prepare_changing_at(nth, &args);
        if (rc == VEXLIN_ERROR_UNEXPECTED) {
            EXPECT_EQ(nullptr, args.agentlibrary);
            EXPECT_EQ(live, alloc_shim::live_blocks());
            break;
        }
        // The change came before sizing or after filling: a consistent path.
        ASSERT_EQ(VEXLIN_SUCCESS, rc);
        EXPECT_NE(nullptr, strstr(args.agentlibrary, "/agent/lib/libpelmoranloader.so")) << args.agentlibrary;
        vexlin_args_free(&args);
    }
    ASSERT_LE(nth, 6) << "no allocation fell between sizing and filling the path";
    LogCapture capture;  // its sink allocates, so not above
    vexlin_args_t args = {-1, 0, nullptr, {nullptr, 0, 0}};
    EXPECT_EQ(VEXLIN_ERROR_UNEXPECTED, prepare_changing_at(nth, &args));
    EXPECT_EQ((Log{{VEXLIN_LOGGING_LEVEL_SEVERE, "Environment variables changed while building agent path string."}}),
              LogCapture::Entries());
}

// ---- Forwarding allocates nothing ------------------------------------------------------------

template <typename R, typename... A>
void CallRepeatedly(R (*function)(A...)) {
    for (int i = 0; i < 1000; ++i) function(A{}...);
}

void ExpectNoAllocatorUse() {
    int functions = 0;
    alloc_shim::arm(0);
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) CallRepeatedly(&vexlin_##name), ++functions;
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    CallRepeatedly(&vexlin_##name), ++functions;
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
#define EX(slot, field, exported, result, params, args, neutral) CallRepeatedly(&vexlin_##exported), ++functions;
#define EX0(slot, field, exported, result, neutral) CallRepeatedly(&vexlin_##exported), ++functions;
    VEXLIN_EX_METRICS_FUNCS(EX, EX0)
    VEXLIN_EX_SPAN_FUNCS(EX, EX0)
    VEXLIN_EX_TECHTYPE_FUNCS(EX, EX0)
    VEXLIN_EX_TRACER_EXT_FUNCS(EX, EX0)
    VEXLIN_EX_SERVERLESS_FUNCS(EX, EX0)
#undef EX
#undef EX0
    alloc_shim::disarm();
    EXPECT_EQ(73, functions);
    EXPECT_EQ(0, alloc_shim::attempts()) << "allocations on a forwarding path";
    EXPECT_EQ(0, alloc_shim::frees()) << "frees on a forwarding path";
}

TEST_F(Allocation, ForwardingNeverAllocatesWithOrWithoutAnAgent) {
    ExpectNoAllocatorUse();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("agentlibrary=" TEST_AGENT_PATH, 1));
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    for (auto enable : {vexlin_ex_api_enable_span, vexlin_ex_api_enable_techtype, vexlin_ex_api_enable_tracer_ext,
                        vexlin_ex_api_enable_serverless})
        ASSERT_EQ(VEXLIN_SUCCESS, enable());
    test_agent::Control().set_slot_recording(0);
    ExpectNoAllocatorUse();
    EXPECT_GE(test_agent::Control().slot_calls, 73000u) << "the calls did reach the agent";
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    ExpectNoAllocatorUse();
}

}  // namespace
