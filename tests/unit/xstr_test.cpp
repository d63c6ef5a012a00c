// Owned strings, string lists, placeholder expansion and the bounded copy.
// Allocation failures and the size limits are covered by the allocation
// tests, which can watch and fail the allocator.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vexlin_xstr.h"

namespace {

struct Expansion {
    std::string text;
    vexlin_size_t result;
};

Expansion Expand(const char* input, std::vector<const char*> replacements, vexlin_size_t count,
                 vexlin_size_t buffer_size = 64) {
    std::vector<char> buffer(buffer_size + 1, '#');
    const vexlin_size_t result = vexlin_xstr_expand(buffer.data(), buffer_size, input,
                                                    replacements.empty() ? nullptr : replacements.data(), count);
    return {std::string(buffer.data(), strnlen(buffer.data(), buffer_size)), result};
}

TEST(XstrExpand, Placeholders) {
    Expansion e = Expand("a%0b%1c", {"X", "YZ"}, 2);
    EXPECT_EQ(e.text, "aXbYZc");
    EXPECT_EQ(e.result, 7u);

    e = Expand("%12", {"A", "B"}, 2);
    EXPECT_EQ(e.text, "B2") << "a placeholder is one digit";
    EXPECT_EQ(e.result, 3u);

    e = Expand("%0%0", {"ab"}, 1);
    EXPECT_EQ(e.text, "abab");

    e = Expand("[%0]", {""}, 1);
    EXPECT_EQ(e.text, "[]");
    EXPECT_EQ(e.result, 3u);
}

TEST(XstrExpand, PercentSigns) {
    Expansion e = Expand("100%%", {}, 0);
    EXPECT_EQ(e.text, "100%");
    EXPECT_EQ(e.result, 5u);

    e = Expand("a%qb", {}, 0);
    EXPECT_EQ(e.text, "aqb");
    EXPECT_EQ(e.result, 4u);

    e = Expand("ab%", {}, 0);
    EXPECT_EQ(e.text, "ab") << "a trailing % ends the expansion";
    EXPECT_EQ(e.result, 3u);

    e = Expand("%%0", {"X"}, 1);
    EXPECT_EQ(e.text, "%0") << "an escaped % does not start a placeholder";
}

TEST(XstrExpand, MissingReplacementsEmitNothing) {
    EXPECT_EQ(Expand("a%5b", {"0", "1"}, 2).text, "ab");
    EXPECT_EQ(Expand("a%5b", {}, 9).text, "ab") << "NULL replacements";
    std::vector<const char*> with_hole = {"0", "1", "2", "3", "4", nullptr};
    const Expansion e = Expand("a%5b", with_hole, 6);
    EXPECT_EQ(e.text, "ab");
    EXPECT_EQ(e.result, 3u);
    // The count limits the array even where entries exist beyond it.
    EXPECT_EQ(Expand("a%1b", {"X", "Y"}, 1).text, "ab");
}

TEST(XstrExpand, ReplacementsAreCopiedLiterally) {
    const Expansion e = Expand("<%0>", {"%1%%"}, 2);
    EXPECT_EQ(e.text, "<%1%%>");
    EXPECT_EQ(e.result, 7u);
}

TEST(XstrExpand, NullInputIsEmpty) {
    const Expansion e = Expand(nullptr, {"X"}, 1, 4);
    EXPECT_EQ(e.text, "");
    EXPECT_EQ(e.result, 1u);
    EXPECT_EQ(vexlin_xstr_expand(nullptr, 0, nullptr, nullptr, 0), 1u);
}

TEST(XstrExpand, BufferSizes) {
    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstr_expand(buffer, 4, "abcdef", nullptr, 0), 7u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#') << "nothing beyond the buffer size is written";

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstr_expand(buffer, 7, "abcdef", nullptr, 0), 7u);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(buffer[7], '#');

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstr_expand(buffer, 6, "abcdef", nullptr, 0), 7u);
    EXPECT_STREQ(buffer, "abcde");

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstr_expand(buffer, 1, "abcdef", nullptr, 0), 7u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '#');

    EXPECT_EQ(vexlin_xstr_expand(nullptr, 0, "abcdef", nullptr, 0), 7u);
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstr_expand(buffer, 0, "abcdef", nullptr, 0), 7u);
    EXPECT_EQ(buffer[0], '#') << "a zero size never touches the buffer";

    // A replacement cut by the buffer end.
    const char* const replacements[] = {"XYZ"};
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstr_expand(buffer, 3, "a%0b", replacements, 1), 6u);
    EXPECT_STREQ(buffer, "aX");
}

TEST(XstrExpand, SizingThenFillingGivesTheSameCount) {
    const char* const replacements[] = {"/opt/app", "/", "lib", "libx.so"};
    const vexlin_size_t n = vexlin_xstr_expand(nullptr, 0, "%0%1agent/%2/%3", replacements, 4);
    std::vector<char> buffer(n);
    EXPECT_EQ(vexlin_xstr_expand(buffer.data(), n, "%0%1agent/%2/%3", replacements, 4), n);
    EXPECT_STREQ(buffer.data(), "/opt/app/agent/lib/libx.so");
    EXPECT_EQ(std::strlen(buffer.data()) + 1, n);
}

TEST(XstrBoundedCopy, CopiesZeroFillsAndTerminates) {
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstrncpy_s(buffer, "abcdef", 4), buffer);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#');

    std::memset(buffer, '#', sizeof(buffer));
    vexlin_xstrncpy_s(buffer, "ab", 6);
    EXPECT_EQ(std::string(buffer, 7), std::string("ab\0\0\0\0#", 7)) << "the rest of the size is zero-filled";

    std::memset(buffer, '#', sizeof(buffer));
    vexlin_xstrncpy_s(buffer, "abcdef", 1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '#');

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vexlin_xstrncpy_s(buffer, "abcdef", 0), buffer);
    EXPECT_EQ(buffer[0], '#');

    EXPECT_EQ(vexlin_xstrncpy_s(nullptr, "abcdef", 8), nullptr);

    std::memset(buffer, '#', sizeof(buffer));
    vexlin_xstrncpy_s(buffer, nullptr, 3);
    EXPECT_EQ(std::string(buffer, 4), std::string("\0\0\0#", 4)) << "NULL source copies the empty string";

    std::memset(buffer, '#', sizeof(buffer));
    vexlin_xstrncpy_s(buffer, "abcdefg", 8);
    EXPECT_STREQ(buffer, "abcdefg");
}

TEST(XstrOwned, AllocHoldsTheEmptyString) {
    char* p = vexlin_xstr_alloc(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], '\0');
    vexlin_xstr_free(&p);
    EXPECT_EQ(p, nullptr);

    p = vexlin_xstr_alloc(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], '\0');
    std::memset(p, 'z', 10);  // room for 10 characters and a terminator
    p[10] = '\0';
    EXPECT_EQ(std::strlen(p), 10u);
    vexlin_xstr_free(&p);
}

TEST(XstrOwned, SetReplacesAndCopies) {
    char* p = nullptr;
    char source[] = "first";
    EXPECT_EQ(vexlin_xstr_set(&p, source), VEXLIN_SUCCESS);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p, source) << "a copy is stored";
    source[0] = 'X';
    EXPECT_STREQ(p, "first");

    EXPECT_EQ(vexlin_xstr_set(&p, "second"), VEXLIN_SUCCESS);
    EXPECT_STREQ(p, "second");

    // Setting a string to part of its own value reads it before freeing it.
    EXPECT_EQ(vexlin_xstr_set(&p, p + 3), VEXLIN_SUCCESS);
    EXPECT_STREQ(p, "ond");
    EXPECT_EQ(vexlin_xstr_set(&p, p), VEXLIN_SUCCESS);
    EXPECT_STREQ(p, "ond");

    EXPECT_EQ(vexlin_xstr_set(&p, ""), VEXLIN_SUCCESS);
    ASSERT_NE(p, nullptr) << "the empty string is a string, not NULL";
    EXPECT_STREQ(p, "");

    EXPECT_EQ(vexlin_xstr_set(&p, nullptr), VEXLIN_SUCCESS);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(vexlin_xstr_set(&p, nullptr), VEXLIN_SUCCESS);
    EXPECT_EQ(p, nullptr);

    EXPECT_EQ(vexlin_xstr_set(nullptr, "x"), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexlin_xstr_set(nullptr, nullptr), VEXLIN_ERROR_INVALID_ARGUMENT);
}

TEST(XstrOwned, FreeToleratesNull) {
    vexlin_xstr_free(nullptr);
    char* p = nullptr;
    vexlin_xstr_free(&p);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(vexlin_xstr_set(&p, "x"), VEXLIN_SUCCESS);
    vexlin_xstr_free(&p);
    EXPECT_EQ(p, nullptr);
    vexlin_xstr_free(&p);
}

class XstrList : public ::testing::Test {
protected:
    void TearDown() override { vexlin_xstr_list_free(&list_); }
    vexlin_xstr_list_t list_ = {nullptr, 0, 0};

    void ExpectUnusedSlotsNull() {
        for (vexlin_size_t i = list_.count; i < list_.limit; ++i) EXPECT_EQ(list_.strings[i], nullptr) << "slot " << i;
    }
};

TEST_F(XstrList, InitGivesTheEmptyRecord) {
    vexlin_xstr_list_t list;
    std::memset(&list, 0x5A, sizeof(list));
    vexlin_xstr_list_init(&list);
    EXPECT_EQ(list.strings, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.limit, 0u);
}

TEST_F(XstrList, AppendCopiesAndGrowsGeometrically) {
    std::vector<vexlin_size_t> limits;
    char source[] = "item0";
    for (int i = 0; i < 33; ++i) {
        source[4] = static_cast<char>('0' + i % 10);
        ASSERT_EQ(vexlin_xstr_list_append(&list_, source), VEXLIN_SUCCESS);
        EXPECT_NE(list_.strings[i], source);
        limits.push_back(list_.limit);
    }
    EXPECT_EQ(list_.count, 33u);
    EXPECT_EQ(limits[0], 8u) << "the first append makes room for 8";
    EXPECT_EQ(limits[7], 8u);
    EXPECT_EQ(limits[8], 16u) << "the ninth doubles";
    EXPECT_EQ(limits[16], 32u);
    EXPECT_EQ(limits[32], 64u);
    for (int i = 0; i < 33; ++i) EXPECT_EQ(list_.strings[i], "item" + std::to_string(i % 10)) << i;
    ExpectUnusedSlotsNull();
}

TEST_F(XstrList, AppendingNullCountsANullEntry) {
    ASSERT_EQ(vexlin_xstr_list_append(&list_, "a"), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_xstr_list_append(&list_, nullptr), VEXLIN_SUCCESS);
    ASSERT_EQ(vexlin_xstr_list_append(&list_, "c"), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.count, 3u);
    EXPECT_STREQ(list_.strings[0], "a");
    EXPECT_EQ(list_.strings[1], nullptr);
    EXPECT_STREQ(list_.strings[2], "c");
}

TEST_F(XstrList, GrowToALimit) {
    ASSERT_EQ(vexlin_xstr_list_append(&list_, "a"), VEXLIN_SUCCESS);
    ASSERT_EQ(list_.limit, 8u);
    char** before = list_.strings;
    EXPECT_EQ(vexlin_xstr_list_grow(&list_, 5), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.limit, 8u);
    EXPECT_EQ(list_.strings, before) << "enough room: nothing changes";
    EXPECT_EQ(vexlin_xstr_list_grow(&list_, 8), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.limit, 8u);

    EXPECT_EQ(vexlin_xstr_list_grow(&list_, 100), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.limit, 100u) << "a request above double is taken as it is";
    EXPECT_EQ(list_.count, 1u);
    EXPECT_STREQ(list_.strings[0], "a");
    ExpectUnusedSlotsNull();

    EXPECT_EQ(vexlin_xstr_list_grow(&list_, 101), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.limit, 200u) << "a small step doubles";
    ExpectUnusedSlotsNull();
}

TEST_F(XstrList, GrowFromEmptyHasAMinimum) {
    EXPECT_EQ(vexlin_xstr_list_grow(&list_, 0), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.limit, 0u);
    EXPECT_EQ(list_.strings, nullptr);
    EXPECT_EQ(vexlin_xstr_list_grow(&list_, 1), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.limit, 8u);
    ExpectUnusedSlotsNull();
}

TEST_F(XstrList, ClearKeepsCapacityAndFreeResets) {
    for (int i = 0; i < 9; ++i) ASSERT_EQ(vexlin_xstr_list_append(&list_, "x"), VEXLIN_SUCCESS);
    ASSERT_EQ(list_.limit, 16u);
    vexlin_xstr_list_clear(&list_);
    EXPECT_EQ(list_.count, 0u);
    EXPECT_EQ(list_.limit, 16u);
    ASSERT_NE(list_.strings, nullptr);
    ExpectUnusedSlotsNull();

    char** kept = list_.strings;
    ASSERT_EQ(vexlin_xstr_list_append(&list_, "again"), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.strings, kept) << "appends reuse the capacity";
    EXPECT_EQ(list_.count, 1u);

    vexlin_xstr_list_free(&list_);
    EXPECT_EQ(list_.strings, nullptr);
    EXPECT_EQ(list_.count, 0u);
    EXPECT_EQ(list_.limit, 0u);

    ASSERT_EQ(vexlin_xstr_list_append(&list_, "reused"), VEXLIN_SUCCESS);
    EXPECT_EQ(list_.limit, 8u);
}

TEST_F(XstrList, NullAndEmptyLists) {
    vexlin_xstr_list_clear(nullptr);
    vexlin_xstr_list_free(nullptr);
    vexlin_xstr_list_clear(&list_);
    vexlin_xstr_list_free(&list_);
    EXPECT_EQ(list_.strings, nullptr);
    EXPECT_EQ(vexlin_xstr_list_grow(nullptr, 1), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexlin_xstr_list_append(nullptr, "x"), VEXLIN_ERROR_INVALID_ARGUMENT);
}

TEST(XstrWrappers, ForwardToTheCLibrary) {
    EXPECT_EQ(vexlin_xstrlen("abc"), 3u);
    EXPECT_EQ(vexlin_xstrncmp("--kx_a", "--kx_", 5), 0);
    EXPECT_NE(vexlin_xstrncmp("--KX_a", "--kx_", 5), 0);
    EXPECT_EQ(vexlin_xstricmp("TRUE", "true"), 0);
    EXPECT_EQ(vexlin_xstrnicmp("AgentActive=1", "agentactive", 11), 0);
    const char* s = "a=b=c";
    EXPECT_EQ(vexlin_xstrchr(s, '='), s + 1);
    EXPECT_EQ(vexlin_xstrchr(s, 'x'), nullptr);
    char* copy = vexlin_xstrdup(s);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, s);
    vexlin_xstr_free(&copy);
}

}  // namespace
