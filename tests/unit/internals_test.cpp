// Internals the exported surface cannot reach in isolation: placeholder
// expansion, owned strings and lists, the configuration's precedence, the
// loader layer, and the spin lock. This program replaces select() to watch
// the lock's sleeps.
#include <dlfcn.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "vexlin_dll.h"
#include "vexlin_stub_log.h"
#include "vexlin_test.h"
#include "vexlin_util.h"
#include "vexlin_xstr.h"

namespace {
std::atomic<int> g_sleeps{0};
thread_local struct timeval g_last_sleep = {-1, -1};  // several waiters may sleep at once
}  // namespace

extern "C" int select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* timeout) {
    if (nfds == 0 && r == nullptr && w == nullptr && e == nullptr && timeout != nullptr) g_last_sleep = *timeout;
    ++g_sleeps;
    const struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
    return 0;
}

namespace {

using Strings = std::vector<std::string>;

// ---- Expansion ----------------------------------------------------------------------

struct Expansion {
    const char* input;
    Strings replacements;  // "<NULL>" stands for a NULL entry
    size_t count;          // replacements the call is told about
    size_t buffer;
    std::string text;
    size_t result;  // characters needed, terminator included
};

const Expansion kExpansions[] = {
    {"a%0b%1c", {"X", "YZ"}, 2, 64, "aXbYZc", 7},
    {"%12", {"A", "B"}, 2, 64, "B2", 3},  // a placeholder is one digit
    {"%0%0", {"ab"}, 1, 64, "abab", 5},
    {"[%0]", {""}, 1, 64, "[]", 3},
    {"100%%", {}, 0, 64, "100%", 5},
    {"a%qb", {}, 0, 64, "aqb", 4},
    {"ab%", {}, 0, 64, "ab", 3},  // a trailing % ends the expansion
    {"%%0", {"X"}, 1, 64, "%0", 3},
    {"a%5b", {"0", "1"}, 2, 64, "ab", 3},  // missing replacements emit nothing
    {"a%5b", {}, 9, 64, "ab", 3},
    {"a%5b", {"0", "1", "2", "3", "4", "<NULL>"}, 6, 64, "ab", 3},
    {"a%1b", {"X", "Y"}, 1, 64, "ab", 3},    // the count limits the array
    {"<%0>", {"%1%%"}, 2, 64, "<%1%%>", 7},  // replacements are copied literally
    {nullptr, {"X"}, 1, 4, "", 1},
    {"abcdef", {}, 0, 4, "abc", 7},
    {"abcdef", {}, 0, 7, "abcdef", 7},
    {"abcdef", {}, 0, 6, "abcde", 7},
    {"abcdef", {}, 0, 1, "", 7},
    {"a%0b", {"XYZ"}, 1, 3, "aX", 6},  // a replacement cut by the buffer end
    {"%0%1agent/%2/%3", {"/opt/app", "/", "lib", "libx.so"}, 4, 27, "/opt/app/agent/lib/libx.so", 27},
};

TEST(Internals, ExpansionFillsAtMostTheBufferAndCountsWhatItNeeds) {
    for (const Expansion& e : kExpansions) {
        SCOPED_TRACE(e.input != nullptr ? e.input : "<NULL>");
        std::vector<const char*> replacements;
        for (const std::string& r : e.replacements) replacements.push_back(r == "<NULL>" ? nullptr : r.c_str());
        const char* const* array = replacements.empty() ? nullptr : replacements.data();
        std::string buffer(e.buffer + 4, '#');
        EXPECT_EQ(e.result, vexlin_xstr_expand(&buffer[0], e.buffer, e.input, array, e.count));
        EXPECT_EQ(e.text, buffer.c_str());
        EXPECT_EQ("####", buffer.substr(e.buffer)) << "nothing beyond the buffer is written";
        EXPECT_EQ(e.result, vexlin_xstr_expand(nullptr, 0, e.input, array, e.count)) << "sizing alone";
    }
    char untouched = '#';
    EXPECT_EQ(7u, vexlin_xstr_expand(&untouched, 0, "abcdef", nullptr, 0));
    EXPECT_EQ('#', untouched);
}

// ---- Owned strings and lists ----------------------------------------------------------

TEST(Internals, MissingTextsAreEmptyOrRefused) {
    LogCapture capture;
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_INFO, nullptr);
#pragma GCC diagnostic ignored "-Wformat"
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, nullptr);
    EXPECT_EQ((Log{{VEXLIN_LOGGING_LEVEL_INFO, ""}, {VEXLIN_LOGGING_LEVEL_INFO, ""}}), LogCapture::Entries());
    EXPECT_STREQ("(null)", vexlin_loggable_str(nullptr));
    EXPECT_EQ(-1, vexlin_parse_logging_level_name(nullptr));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(nullptr, 0));
    vexlin_xstr_free(nullptr);
}

TEST(Internals, BoundedCopyTerminatesAndZeroFills) {
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
}

TEST(Internals, OwnedStringsCopyAndMayBeSetToPartOfThemselves) {
    char* p = nullptr;
    char source[] = "first";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_set(&p, source));
    source[0] = 'X';
    EXPECT_STREQ("first", p);
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_set(&p, p + 2));
    EXPECT_STREQ("rst", p);
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_set(&p, ""));
    EXPECT_STREQ("", p) << "the empty string is a string";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_set(&p, nullptr));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_xstr_set(nullptr, "x"));
}

TEST(Internals, ListsGrowGeometricallyAndKeepTheirCapacityWhenCleared) {
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_grow(&list, 0));
    EXPECT_EQ(nullptr, list.strings);
    std::vector<size_t> limits;
    for (int i = 0; i < 17; ++i) {
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_append(&list, i == 3 ? nullptr : std::to_string(i).c_str()));
        limits.push_back(list.limit);
    }
    EXPECT_EQ(8u, limits[0]);
    EXPECT_EQ(8u, limits[7]);
    EXPECT_EQ(16u, limits[8]) << "the ninth doubles";
    EXPECT_EQ(32u, limits[16]);
    EXPECT_EQ(nullptr, list.strings[3]) << "a NULL entry counts";
    EXPECT_STREQ("16", list.strings[16]);
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_grow(&list, 100));
    EXPECT_EQ(100u, list.limit) << "a request above double is taken as it is";
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_grow(&list, 101));
    EXPECT_EQ(200u, list.limit) << "a small step doubles";
    for (size_t i = list.count; i < list.limit; ++i) ASSERT_EQ(nullptr, list.strings[i]) << "unused slot " << i;
    char** const kept = list.strings;
    vexlin_xstr_list_clear(&list);
    EXPECT_EQ(0u, list.count);
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_append(&list, "again"));
    EXPECT_EQ(kept, list.strings) << "appends reuse the capacity";
    EXPECT_EQ(nullptr, list.strings[1]);
    vexlin_xstr_list_free(&list);
    EXPECT_EQ(0u, list.limit + list.count);
    EXPECT_EQ(nullptr, list.strings);
    vexlin_xstr_list_clear(nullptr);
    vexlin_xstr_list_free(nullptr);
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_xstr_list_grow(nullptr, 1));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_xstr_list_append(nullptr, "x"));
}

// ---- Configuration precedence ------------------------------------------------------------
// Each setting comes from the user variable, else the KX_ environment
// variable, else the default; a source that is set hides the ones below, even
// when empty. The home gives the module path when no path is set.

struct Configuration {
    const char* name;
    Strings environment;  // NAME=value
    Strings variables;
    int active;
    std::string library;
    int level;
    Strings forwarded;
};
void PrintTo(const Configuration& c, std::ostream* os) { *os << c.name; }

const std::string kLoader = "/agent/lib/libpelmoranloader.so";
const Configuration kConfigurations[] = {
    {"Defaults", {}, {}, 1, "", -1, {}},
    {"HomeGivesTheModulePath", {"KX_HOME=/opt/app"}, {}, 1, "/opt/app" + kLoader, -1, {}},
    {"HomeEndingInASeparator", {"KX_HOME=/opt/app/"}, {}, 1, "/opt/app" + kLoader, -1, {}},
    {"HomeIsTheRoot", {"KX_HOME=/"}, {}, 1, kLoader, -1, {}},
    {"HomeIsTakenLiterally", {"KX_HOME= C:\\%1x% "}, {}, 1, " C:\\%1x% " + kLoader, -1, {}},
    {"HomeVariableWinsAndIsForwarded", {"KX_HOME=/env"}, {"HOME=/user"}, 1, "/user" + kLoader, -1, {"HOME=/user"}},
    {"EmptyHomeVariableHidesTheEnvironment", {"KX_HOME=/env"}, {"home="}, 1, "", -1, {"home="}},
    {"PathWinsOverHome", {"KX_HOME=/home", "KX_AGENTLIBRARY=/x/y.so"}, {}, 1, "/x/y.so", -1, {}},
    {"EmptyPathFallsBackToHome", {"KX_HOME=/home", "KX_AGENTLIBRARY="}, {}, 1, "/home" + kLoader, -1, {}},
    {"PathVariableIsEverythingAfterTheFirstEquals",
     {"KX_AGENTLIBRARY=/env.so"},
     {"agentLibrary=a=b"},
     1,
     "a=b",
     -1,
     {}},
    {"EnvironmentNamesAreExact",
     {"kx_agentactive=false", "Kx_AgentLibrary=/x.so", "KX_LOGLEVELSDK=Severe"},
     {},
     1,
     "",
     6,
     {}},
    {"ActiveVariableWins", {"KX_AGENTACTIVE=true"}, {"AgentActive=no"}, 0, "", -1, {}},
    {"EmptyActiveVariableHidesFalse", {"KX_AGENTACTIVE=false"}, {"agentactive="}, 1, "", -1, {}},
    {"LevelVariableWins", {"KX_LOGLEVELSDK=debug"}, {"LogLevelSdk=\t info "}, 1, "", 4, {}},
    {"EmptyLevelVariableHidesTheEnvironment", {"KX_LOGLEVELSDK=debug"}, {"loglevelsdk="}, 1, "", -1, {}},
    {"PrivateNamesStayForwardedOnesKeepStoreOrder",
     {},
     {"agentactive=1", "home=/x", "foo=bar", "LogLevelSdk=info", "AGENTLIBRARY=/lib.so", "agent=1", "agentactivex=2",
      "=empty-name"},
     1,
     "/lib.so",
     4,
     {"home=/x", "foo=bar", "agent=1", "agentactivex=2", "=empty-name"}},
};

class Configurations : public testing::TestWithParam<Configuration> {};

TEST_P(Configurations, ComeFromTheFirstSourceThatIsSet) {
    const Configuration& c = GetParam();
    ClearLibraryEnvironment();
    for (const std::string& e : c.environment) putenv(const_cast<char*>(e.c_str()));
    for (const std::string& v : c.variables) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(v.c_str(), 0));
    Prepared p;
    ASSERT_EQ(VEXLIN_SUCCESS, p.rc);
    EXPECT_EQ(c.active, p.args.agentactive);
    EXPECT_EQ(c.library, p.args.agentlibrary);
    EXPECT_EQ(c.level, p.args.loglevelsdk);
    EXPECT_EQ(c.forwarded, Entries(p.args.agent_args));
    // A snapshot: later changes do not reach it, and preparing again replaces it.
    vexlin_stub_free_variables();
    EXPECT_EQ(c.forwarded, Entries(p.args.agent_args));
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("later=1", 0));
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_args_prepare(&p.args));
    EXPECT_EQ(Strings{"later=1"}, Entries(p.args.agent_args));
}

INSTANTIATE_TEST_SUITE_P(Internals, Configurations, testing::ValuesIn(kConfigurations),
                         [](const testing::TestParamInfo<Configuration>& info) { return info.param.name; });

TEST(Internals, ActiveWordsAndLevelNamesInAnyCase) {
    const std::pair<const char*, int> words[] = {{"true", 1},   {"TRUE", 1},  {"On", 1},    {"yes", 1},
                                                 {"1", 1},      {"false", 0}, {"FALSE", 0}, {"Off", 0},
                                                 {"no", 0},     {"0", 0},     {"maybe", 1}, {"", 1},
                                                 {" false", 1}, {"00", 1},    {"n", 1}};  // unknown words mean true
    for (const auto& w : words) {
        setenv("KX_AGENTACTIVE", w.first, 1);
        EXPECT_EQ(w.second, Prepared().args.agentactive) << "'" << w.first << "'";
    }
    const std::pair<const char*, int> levels[] = {
        {"finest", 0},  {"FINER", 1}, {"fine", 2},         {"config", 3}, {" INFO\t", 4}, {"Warning", 5},
        {"severe", 6},  {"debug", 7}, {"NoNe", 8},         {"loud", -1},  {"", -1},       {"   ", -1},
        {"info\n", -1}, {"inf", -1},  {"information", -1}, {"in fo", -1}, {"4", -1}};
    for (const auto& l : levels) {
        setenv("KX_LOGLEVELSDK", l.first, 1);
        EXPECT_EQ(l.second, Prepared().args.loglevelsdk) << "'" << l.first << "'";
    }
    ClearLibraryEnvironment();
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_args_prepare(nullptr));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_args_free(nullptr));
}

// ---- The loader layer ------------------------------------------------------------------
// The loader's text wins, else the text of the result; the unexpected flag
// marks a refusal before the loader was asked.

TEST(Internals, LoaderResultsMessagesAndHandles) {
    char message[1800];
    vexlin_dll_handle_t handle = nullptr;
    vexlin_bool_t unexpected = 0;
    for (const char* path : {"", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_load(&handle, path, message, sizeof message, &unexpected));
        EXPECT_EQ(1, unexpected);
        EXPECT_STREQ("Invalid argument.", message);
    }
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_load(nullptr, "libc.so.6", nullptr, 0, &unexpected));

    EXPECT_NE(VEXLIN_SUCCESS, vexlin_dll_load(&handle, "/nonexistent/libnothing.so", message, 0, &unexpected));
    EXPECT_STREQ("Invalid argument.", message) << "a zero length is not written";
    EXPECT_NE(VEXLIN_SUCCESS, vexlin_dll_load(&handle, "/nonexistent/libnothing.so", message, 1800, &unexpected));
    EXPECT_EQ(0, unexpected);
    EXPECT_EQ(nullptr, handle);
    EXPECT_NE(nullptr, strstr(message, "/nonexistent/libnothing.so")) << message;
    EXPECT_EQ(nullptr, dlerror()) << "the loader's error is cleared";

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_dll_load(&handle, TEST_AGENT_PATH, message, 1800, &unexpected));
    EXPECT_STREQ("The operation completed successfully.", message);
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_dll_load(&handle, "libc.so.6", nullptr, 0, &unexpected));
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH)) << "loading into a held handle closes the old library";

    vexlin_function_ptr_t symbol = nullptr;
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_dll_get_symbol(handle, "strlen", &symbol, message, 1800));
    EXPECT_NE(nullptr, symbol);
    EXPECT_STREQ("The operation completed successfully.", message);
    const vexlin_result_t rc = vexlin_dll_get_symbol(handle, "vexlin_no_such_symbol", &symbol, message, 1800);
    EXPECT_TRUE(rc != VEXLIN_SUCCESS && rc < 0xFFFF) << "a platform error number: " << rc;
    EXPECT_EQ(nullptr, symbol);
    EXPECT_NE(nullptr, strstr(message, "vexlin_no_such_symbol")) << message;
    symbol = reinterpret_cast<vexlin_function_ptr_t>(&strlen);
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_get_symbol(nullptr, "strlen", &symbol, message, 1800));
    EXPECT_EQ(nullptr, symbol);
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_get_symbol(handle, "strlen", nullptr, nullptr, 0));

    EXPECT_EQ(0, vexlin_dll_free(&handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(0, vexlin_dll_free(&handle));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_free(nullptr));
}

// ---- The spin lock -------------------------------------------------------------------

TEST(Internals, SpinLockExcludesAndMakesWritesVisibleToTheNextHolder) {
    constexpr int kThreads = 4, kIterations = 100000;
    vexlin_spinlock_t lock = {0};
    long counter = 0;  // deliberately plain: only the lock orders the updates
    uint64_t words[4] = {0, 0, 0, 0};
    int holders = 0;
    std::atomic<int> overlaps{0}, torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                vexlin_spinlock_lock(&lock);
                if (++holders != 1) ++overlaps;
                for (uint64_t w : words) torn += w != static_cast<uint64_t>(counter) * 0x9E3779B97F4A7C15ull;
                const long seen = counter;  // a read-modify-write with a gap
                for (volatile int pause = 0; pause < 16; pause = pause + 1) {
                }
                counter = seen + 1;
                for (uint64_t& w : words) w = static_cast<uint64_t>(counter) * 0x9E3779B97F4A7C15ull;
                --holders;
                vexlin_spinlock_unlock(&lock);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(static_cast<long>(kThreads) * kIterations, counter);
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, torn.load());
    EXPECT_EQ(0, lock.locked);
}

TEST(Internals, SpinLockWaitsSpinFirstThenSleepAMillisecond) {
    const int before = g_sleeps;
    for (vexlin_size_t k = 0; k < 1000; ++k) vexlin_spin_yield(k);
    EXPECT_EQ(before, g_sleeps) << "the first 1000 waits only spin";
    vexlin_spin_yield(1000);
    EXPECT_EQ(before + 1, g_sleeps);
    EXPECT_EQ(0, g_last_sleep.tv_sec);
    EXPECT_EQ(1000, g_last_sleep.tv_usec);

    // A waiter behind a long holder sleeps, and gets the lock once it is free.
    vexlin_spinlock_t lock = {0};
    vexlin_spinlock_lock(&lock);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        vexlin_spinlock_lock(&lock);
        acquired = true;
        vexlin_spinlock_unlock(&lock);
    });
    while (g_sleeps < before + 4) std::this_thread::yield();
    EXPECT_FALSE(acquired);
    vexlin_spinlock_unlock(&lock);
    waiter.join();
    EXPECT_TRUE(acquired);
}

}  // namespace
