// Size limits and out-of-memory paths of owned strings and string lists,
// repeated and failed preparations, and a home directory that changes while
// the default module path is built. Uses the allocator shim, which sees
// whether the allocator was asked at all, fails a chosen allocation and
// counts live blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_shim.h"
#include "config_test_support.h"
#include "log_capture.h"
#include "vexlin_xstr.h"

namespace {

class Allocation : public ConfigurationTest {
protected:
    void TearDown() override {
        alloc_shim::disarm();
        ConfigurationTest::TearDown();
    }
};

TEST_F(Allocation, StringSizeLimitIsCheckedBeforeTheAllocator) {
    alloc_shim::arm(0);
    EXPECT_EQ(vexlin_xstr_alloc(SIZE_MAX - 2), nullptr);
    EXPECT_EQ(vexlin_xstr_alloc(SIZE_MAX - 1), nullptr);
    EXPECT_EQ(vexlin_xstr_alloc(SIZE_MAX), nullptr);
    EXPECT_EQ(alloc_shim::attempts(), 0) << "sizes that overflow must not reach the allocator";
    // The largest allowed size is passed on (and refused by the allocator).
    EXPECT_EQ(vexlin_xstr_alloc(SIZE_MAX - 3), nullptr);
    EXPECT_EQ(alloc_shim::attempts(), 1);
    alloc_shim::disarm();
}

TEST_F(Allocation, FailedStringOperationsKeepTheOldValue) {
    alloc_shim::arm(1);
    EXPECT_EQ(vexlin_xstr_alloc(4), nullptr);
    alloc_shim::disarm();

    char* p = nullptr;
    ASSERT_EQ(vexlin_xstr_set(&p, "old"), VEXLIN_SUCCESS);
    char* const old = p;
    const long baseline = alloc_shim::live_blocks();
    alloc_shim::arm(1);
    EXPECT_EQ(vexlin_xstr_set(&p, "new"), VEXLIN_ERROR_OUT_OF_MEMORY);
    alloc_shim::disarm();
    EXPECT_TRUE(alloc_shim::failure_fired());
    EXPECT_EQ(p, old);
    EXPECT_STREQ(p, "old");
    EXPECT_EQ(alloc_shim::live_blocks(), baseline);
    vexlin_xstr_free(&p);
}

// A record with a made-up limit and no array reaches the overflow checks,
// which must refuse before anything is reallocated.
TEST_F(Allocation, ListGrowthOverflowLimits) {
    struct Case {
        vexlin_size_t limit;
        vexlin_size_t min_limit;
    };
    const vexlin_size_t pointer_limit = SIZE_MAX / sizeof(vexlin_xchar_t*);
    const Case cases[] = {
        {SIZE_MAX / 2 + 1, SIZE_MAX / 2 + 2},  // doubling would overflow
        {SIZE_MAX / 2 + 1, SIZE_MAX},
        {SIZE_MAX / 2, SIZE_MAX},  // the doubled limit exceeds the pointer count
        {pointer_limit / 2 + 1, pointer_limit / 2 + 2},
        {0, pointer_limit + 1},  // the request alone exceeds it
        {0, pointer_limit + 2},  // its byte count would wrap to a small number
        {0, SIZE_MAX},
    };
    for (const Case& c : cases) {
        vexlin_xstr_list_t list = {nullptr, 0, c.limit};
        alloc_shim::arm(0);
        const vexlin_result_t rc = vexlin_xstr_list_grow(&list, c.min_limit);
        alloc_shim::disarm();
        SCOPED_TRACE(testing::Message() << std::hex << "limit 0x" << c.limit << " min 0x" << c.min_limit);
        EXPECT_EQ(rc, VEXLIN_ERROR_OUT_OF_MEMORY);
        EXPECT_EQ(alloc_shim::attempts(), 0);
        EXPECT_EQ(list.strings, nullptr);
        EXPECT_EQ(list.count, 0u);
        EXPECT_EQ(list.limit, c.limit);
        list.limit = 0;  // nothing to free
        vexlin_xstr_list_free(&list);
    }

    // Exactly at the pointer limit the request passes the checks and reaches
    // the allocator, which is made to refuse it.
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    alloc_shim::arm(1);
    EXPECT_EQ(vexlin_xstr_list_grow(&list, pointer_limit), VEXLIN_ERROR_OUT_OF_MEMORY);
    alloc_shim::disarm();
    EXPECT_EQ(alloc_shim::attempts(), 1);
    EXPECT_EQ(list.strings, nullptr);
    EXPECT_EQ(list.limit, 0u);
}

// A full list cannot count one more: the append must refuse before growing
// to count + 1, which would wrap to 0.
TEST_F(Allocation, AppendingToAFullListRefuses) {
    vexlin_xstr_list_t list = {nullptr, SIZE_MAX, SIZE_MAX};
    alloc_shim::arm(0);
    EXPECT_EQ(vexlin_xstr_list_append(&list, "x"), VEXLIN_ERROR_OUT_OF_MEMORY);
    alloc_shim::disarm();
    EXPECT_EQ(alloc_shim::attempts(), 0);
    EXPECT_EQ(list.count, SIZE_MAX);
    EXPECT_EQ(list.strings, nullptr);
}

TEST_F(Allocation, FailedListGrowthLeavesTheListUnchanged) {
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    for (int i = 0; i < 8; ++i) ASSERT_EQ(vexlin_xstr_list_append(&list, std::to_string(i).c_str()), VEXLIN_SUCCESS);
    char** const array = list.strings;
    ASSERT_EQ(list.limit, 8u);
    const long baseline = alloc_shim::live_blocks();

    alloc_shim::arm(1);
    EXPECT_EQ(vexlin_xstr_list_grow(&list, 9), VEXLIN_ERROR_OUT_OF_MEMORY);
    alloc_shim::arm(1);
    EXPECT_EQ(vexlin_xstr_list_append(&list, "8"), VEXLIN_ERROR_OUT_OF_MEMORY);
    alloc_shim::disarm();
    EXPECT_EQ(list.strings, array);
    EXPECT_EQ(list.limit, 8u);
    EXPECT_EQ(list.count, 8u);
    EXPECT_EQ(Entries(list), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7"}));
    EXPECT_EQ(alloc_shim::live_blocks(), baseline);

    // The list still works once memory is back.
    EXPECT_EQ(vexlin_xstr_list_append(&list, "8"), VEXLIN_SUCCESS);
    EXPECT_EQ(list.count, 9u);
    vexlin_xstr_list_free(&list);
}

TEST_F(Allocation, FailedCopyOnAppendLeavesCountAndSlot) {
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    ASSERT_EQ(vexlin_xstr_list_append(&list, "a"), VEXLIN_SUCCESS);
    const long baseline = alloc_shim::live_blocks();
    alloc_shim::arm(1);
    EXPECT_EQ(vexlin_xstr_list_append(&list, "b"), VEXLIN_ERROR_OUT_OF_MEMORY);
    alloc_shim::disarm();
    EXPECT_EQ(list.count, 1u);
    EXPECT_EQ(list.limit, 8u);
    EXPECT_EQ(list.strings[1], nullptr);
    EXPECT_EQ(alloc_shim::live_blocks(), baseline);
    vexlin_xstr_list_free(&list);
}

// A failure while re-preparing a prepared record releases the old contents too.
TEST_F(Allocation, FailureAfterAPreviousPreparationEndsReleased) {
    SetVariable("keep=1");
    const long baseline = alloc_shim::live_blocks();
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    ASSERT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS);
    alloc_shim::arm(1);
    EXPECT_EQ(vexlin_args_prepare(&args), VEXLIN_ERROR_OUT_OF_MEMORY);
    alloc_shim::disarm();
    ExpectReleased(args);
    EXPECT_EQ(alloc_shim::live_blocks(), baseline);
}

TEST_F(Allocation, PreparingTwiceLeavesNothingBehind) {
    setenv("KX_HOME", "/opt/app", 1);
    SetVariable("one=1");
    SetVariable("two=2");
    const long baseline = alloc_shim::live_blocks();
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    ASSERT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS);
    const long after_first = alloc_shim::live_blocks();
    EXPECT_EQ(after_first - baseline, 4) << "module path, array and two copies";
    ASSERT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS);
    EXPECT_EQ(alloc_shim::live_blocks(), after_first);
    EXPECT_EQ(Entries(args.agent_args), (std::vector<std::string>{"one=1", "two=2"}));
    vexlin_args_free(&args);
    EXPECT_EQ(alloc_shim::live_blocks(), baseline);
}

// The environment's home text, changed between sizing and filling the
// default module path. putenv keeps this buffer as the variable's storage.
char g_home_variable[64];
bool g_home_changed = false;
long g_live_before_prepare = 0;

void LengthenHome() {
    std::strcpy(g_home_variable, "KX_HOME=/opt/application");
    g_home_changed = true;
}

// One preparation whose nth allocation first lengthens the home text.
vexlin_result_t PrepareChangingHomeAt(long nth, vexlin_args_t* args) {
    std::strcpy(g_home_variable, "KX_HOME=/opt/app");
    EXPECT_EQ(putenv(g_home_variable), 0);
    g_home_changed = false;
    g_live_before_prepare = alloc_shim::live_blocks();  // putenv may have grown the environment
    alloc_shim::arm(0);
    alloc_shim::on_attempt(nth, &LengthenHome);
    const vexlin_result_t rc = vexlin_args_prepare(args);
    alloc_shim::disarm();
    unsetenv("KX_HOME");
    return rc;
}

TEST_F(Allocation, HomeChangingWhileThePathIsBuiltIsAnUnexpectedError) {
    long changing_nth = 0;
    for (long nth = 1; nth <= 6 && changing_nth == 0; ++nth) {
        vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
        const vexlin_result_t rc = PrepareChangingHomeAt(nth, &args);
        if (rc == VEXLIN_ERROR_UNEXPECTED) {
            changing_nth = nth;
            EXPECT_TRUE(g_home_changed);
            EXPECT_EQ(alloc_shim::live_blocks(), g_live_before_prepare);
            ExpectReleased(args);
        } else {
            // The change came before sizing or after filling: a consistent path.
            ASSERT_EQ(rc, VEXLIN_SUCCESS);
            const std::string path = args.agentlibrary;
            EXPECT_TRUE(path == "/opt/app/agent/lib/libpelmoranloader.so" ||
                        path == "/opt/application/agent/lib/libpelmoranloader.so")
                << path;
            vexlin_args_free(&args);
        }
    }
    ASSERT_NE(changing_nth, 0) << "no allocation fell between sizing and filling the path";

    // Again with the log captured; its sink allocates, so not above.
    LogCapture capture(VEXLIN_LOGGING_LEVEL_FINEST);
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    EXPECT_EQ(PrepareChangingHomeAt(changing_nth, &args), VEXLIN_ERROR_UNEXPECTED);
    ExpectReleased(args);
    EXPECT_EQ(LogCapture::Entries(),
              (std::vector<LogEntry>{
                  {VEXLIN_LOGGING_LEVEL_SEVERE, "Environment variables changed while building agent path string."}}));
}

}  // namespace
