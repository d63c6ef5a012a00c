// Internals the exported surface cannot reach in isolation: placeholder
// expansion, owned strings and lists, the words of the configuration, the
// loader layer, and the spin lock.
#include <malloc.h>

#include "vexlin_dll.h"
#include "vexlin_stub_log.h"
#include "vexlin_test.h"
#include "vexlin_util.h"
#include "vexlin_xstr.h"

namespace {

using Strings = std::vector<std::string>;

struct Expansion {
    const char* input;
    std::vector<const char*> replacements;
    size_t count;  // replacements the call is told about
    size_t buffer;
    std::string text;
    size_t result;  // characters needed, terminator included
};

const Expansion kExpansions[] = {
    {"a%0b%1c", {"X", "YZ"}, 2, 64, "aXbYZc", 7},
    {"%12", {"A", "B"}, 2, 64, "B2", 3},  // a placeholder is one digit
    {"%%0", {"X"}, 1, 64, "%0", 3},
    {"a%qb", {}, 0, 64, "aqb", 4},
    {"ab%", {}, 0, 64, "ab", 3},                     // a trailing % ends the expansion
    {"%0%1%2", {"X", nullptr, "Z"}, 2, 64, "X", 2},  // NULL entries and those past the count emit nothing
    {"a%5b", {}, 9, 64, "ab", 3},                    // as does a missing array
    {"<%0>", {"%1%%"}, 1, 64, "<%1%%>", 7},          // replacements are copied literally
    {nullptr, {"X"}, 1, 4, "", 1},
    {"abcdef", {}, 0, 4, "abc", 7},
    {"abcdef", {}, 0, 1, "", 7},
    {"a%0b", {"XYZ"}, 1, 3, "aX", 6},  // a replacement cut by the buffer end
};

TEST(Internals, ExpansionFillsAtMostTheBufferAndCountsWhatItNeeds) {
    for (const Expansion& e : kExpansions) {
        SCOPED_TRACE(e.input != nullptr ? e.input : "<NULL>");
        const char* const* array = e.replacements.empty() ? nullptr : e.replacements.data();
        std::string buffer(e.buffer + 4, '#');
        EXPECT_EQ(e.result, vexlin_xstr_expand(&buffer[0], e.buffer, e.input, array, e.count));
        EXPECT_EQ(e.text, buffer.c_str());
        EXPECT_EQ("####", buffer.substr(e.buffer)) << "nothing beyond the buffer is written";
        EXPECT_EQ(e.result, vexlin_xstr_expand(nullptr, 0, e.input, array, e.count)) << "sizing alone";
    }
}

// Internal functions refuse what they cannot use rather than crash, a log
// call without a text logs an empty one, the information functions fill only
// the pointers given, a new string is "", and the bounded copy always
// terminates within its size.
TEST(Internals, MissingArgumentsAreRefusedAndCopiesStayInBounds) {
    using lifecycle::kInfo;
    LogCapture capture;
    vexlin_stub_logf(kInfo, "%s", "text");  // leaves its text where the next call's buffer lies
#pragma GCC diagnostic ignored "-Wformat"
    vexlin_stub_logf(kInfo, nullptr);
    vexlin_stub_log(kInfo, nullptr);
    EXPECT_EQ((Log{{kInfo, "text"}, {kInfo, ""}, {kInfo, ""}}), LogCapture::Entries());
    vexlin_stub_version_t v = {0, 0, 0};
    vexlin_stub_get_version(&v);
    EXPECT_EQ(1006001u, v.version_major * 1000000 + v.version_minor * 1000 + v.version_patch);
    vexlin_stub_get_version(nullptr);
    vexlin_stub_get_agent_load_info(nullptr, nullptr);
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_args_prepare(nullptr));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_args_free(nullptr));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_free(nullptr));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_xstr_set(nullptr, "x"));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_xstr_list_grow(nullptr, 1));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_xstr_list_append(nullptr, "x"));
    EXPECT_EQ(-1, vexlin_parse_logging_level_name(nullptr));
    vexlin_xstr_list_clear(nullptr);
    vexlin_xstr_list_free(nullptr);
    char b[8];
    const auto copy = [&b](const char* source, size_t n) {
        memset(b, '#', sizeof b);
        EXPECT_EQ(b, vexlin_xstrncpy_s(b, source, n));
        return std::string(b, sizeof b);
    };
    EXPECT_EQ(std::string("abc\0####", 8), copy("abcdef", 4));
    EXPECT_EQ(std::string("ab\0\0\0\0##", 8), copy("ab", 6));
    EXPECT_EQ(std::string("\0#######", 8), copy("abcdef", 1));
    EXPECT_EQ(std::string("########", 8), copy("abcdef", 0));
    EXPECT_EQ(std::string("\0\0\0#####", 8), copy(nullptr, 3));
    EXPECT_EQ(nullptr, vexlin_xstrncpy_s(nullptr, "abc", 8));
    mallopt(M_PERTURB, 0xA5);  // new blocks hold junk, not a heap's first zeros
    char* fresh = vexlin_xstr_alloc(0);
    EXPECT_STREQ("", fresh);
    vexlin_xstr_free(&fresh);
}

TEST(Internals, ListsGrowGeometricallyAndKeepTheirCapacityWhenCleared) {
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    for (int i = 0; i < 17; ++i) {
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_append(&list, i == 3 ? nullptr : std::to_string(i).c_str()));
        EXPECT_EQ(i < 8 ? 8u : i < 16 ? 16u : 32u, list.limit) << "after " << i + 1 << " entries";
    }
    EXPECT_EQ(nullptr, list.strings[3]) << "a NULL entry counts";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_grow(&list, 100));
    EXPECT_EQ(100u, list.limit) << "a request above double is taken as it is";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_grow(&list, 101));
    EXPECT_EQ(200u, list.limit) << "a small step doubles";
    for (size_t i = list.count; i < list.limit; ++i) ASSERT_EQ(nullptr, list.strings[i]) << "unused slot " << i;
    char** const kept = list.strings;
    vexlin_xstr_list_clear(&list);
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_append(&list, "again"));
    EXPECT_EQ((Strings{"again"}), Entries(list));
    EXPECT_EQ(kept, list.strings) << "appends reuse the capacity";
    vexlin_xstr_list_free(&list);
    EXPECT_EQ(0u, list.limit + list.count);
}

TEST(Internals, ActiveWordsAndLevelNamesInAnyCase) {
    const std::pair<const char*, int> words[] = {{"TRUE", 1}, {"On", 1}, {"yes", 1}, {"1", 1},      {"false", 0},
                                                 {"Off", 0},  {"no", 0}, {"0", 0},   {" false", 1}, {"maybe", 1}};
    for (const auto& w : words) {
        setenv("KX_AGENTACTIVE", w.first, 1);
        EXPECT_EQ(w.second, Prepared().args.agentactive) << "'" << w.first << "'";
    }
    const std::pair<const char*, int> levels[] = {{"finest", 0},  {"FINER", 1},   {"fine", 2},    {"config", 3},
                                                  {" INFO\t", 4}, {"Warning", 5}, {"severe", 6},  {"debug", 7},
                                                  {"NoNe", 8},    {"   ", -1},    {"info\n", -1}, {"information", -1}};
    for (const auto& l : levels) {
        setenv("KX_LOGLEVELSDK", l.first, 1);
        EXPECT_EQ(l.second, Prepared().args.loglevelsdk) << "'" << l.first << "'";
    }
}

// The loader's text wins, else the text of the result; the unexpected flag
// marks a refusal before the loader was asked.
TEST(Internals, LoaderResultsMessagesAndHandles) {
    char message[1800];
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 0;
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_load(&handle, "", message, sizeof message, &unexpected));
    EXPECT_EQ(1, unexpected);
    EXPECT_STREQ("Invalid argument.", message);
    EXPECT_NE(VEXLIN_SUCCESS, vexlin_dll_load(&handle, "/nonexistent/libnothing.so", message, 0, &unexpected));
    EXPECT_STREQ("Invalid argument.", message) << "a zero length is not written";

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_dll_load(&handle, TEST_AGENT_PATH, message, 1800, &unexpected));
    EXPECT_STREQ("The operation completed successfully.", message);
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_dll_load(&handle, "libc.so.6", nullptr, 0, &unexpected));
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH)) << "loading into a held handle closes the old library";

    vexlin_function_ptr_t symbol = nullptr;
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_dll_get_symbol(handle, "strlen", &symbol, message, 1800));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_get_symbol(handle, "strlen", nullptr, nullptr, 0));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_get_symbol(nullptr, "strlen", &symbol, message, 1800));

    EXPECT_EQ(0, vexlin_dll_free(&handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(0, vexlin_dll_free(&handle)) << "a closed handle closes nothing";
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_load(nullptr, "x", message, 1800, &unexpected));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_load(&handle, nullptr, message, 1800, &unexpected));
}

// The threads start behind a long holder, so they go from spinning to sleeping first.
TEST(Internals, SpinLockExcludesAndMakesWritesVisibleToTheNextHolder) {
    constexpr int kThreads = 4, kIterations = 100000;
    vexlin_spinlock_t lock = {0};
    long counter = 0;  // deliberately plain: only the lock orders the updates
    vexlin_spinlock_lock(&lock);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                vexlin_spinlock_lock(&lock);
                const long seen = counter;  // a read-modify-write with a gap
                for (volatile int pause = 0; pause < 16; pause = pause + 1) {
                }
                counter = seen + 1;
                vexlin_spinlock_unlock(&lock);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0, counter);
    vexlin_spinlock_unlock(&lock);
    for (auto& th : threads) th.join();
    EXPECT_EQ(static_cast<long>(kThreads) * kIterations, counter);
}

}  // namespace
