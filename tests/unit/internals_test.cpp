// Internals the exported surface cannot reach in isolation: placeholder
// expansion, owned strings and lists, the configuration's precedence, the
// loader layer, and the spin lock. This program replaces select() to watch
// the lock's sleeps.
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

TEST(Internals, LogWithoutATextLogsAnEmptyOne) {
    using lifecycle::kInfo;
    LogCapture capture;
    vexlin_stub_logf(kInfo, "%s", "text");  // leaves its text where the next call's buffer lies
#pragma GCC diagnostic ignored "-Wformat"
    vexlin_stub_logf(kInfo, nullptr);
    vexlin_stub_log(kInfo, nullptr);
    EXPECT_EQ((Log{{kInfo, "text"}, {kInfo, ""}, {kInfo, ""}}), LogCapture::Entries());
}

// Internal functions refuse what they cannot use rather than crash, and the
// bounded copy always terminates within its size.
TEST(Internals, MissingArgumentsAreRefusedAndCopiesStayInBounds) {
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
}

TEST(Internals, ListsGrowGeometricallyAndKeepTheirCapacityWhenCleared) {
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    std::vector<size_t> limits;
    for (int i = 0; i < 17; ++i) {
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_xstr_list_append(&list, i == 3 ? nullptr : std::to_string(i).c_str()));
        limits.push_back(list.limit);
    }
    EXPECT_EQ((std::vector<size_t>{8, 8, 16, 32}), (std::vector<size_t>{limits[0], limits[7], limits[8], limits[16]}));
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

// Each setting comes from the user variable, else the KX_ environment
// variable, else the default; a source that is set hides the ones below, even
// when empty. The home gives the module path when no path is set.
struct Configuration {
    const char* name;
    Strings setup;  // user variables, and environment variables marked with a leading '$'
    int active;
    int level;
    std::string library;
    Strings forwarded = {};
};
void PrintTo(const Configuration& c, std::ostream* os) { *os << c.name; }

const std::string kLoader = "/agent/lib/libpelmoranloader.so";
const Configuration kConfigurations[] = {
    {"HomeIsTheRoot", {"$KX_HOME=/"}, 1, -1, kLoader, {}},
    {"EmptyPathFallsBackToHome", {"$KX_HOME=/home", "$KX_AGENTLIBRARY="}, 1, -1, "/home" + kLoader, {}},
    {"EnvironmentNamesAreExact", {"$kx_agentactive=0", "$Kx_AgentLibrary=/x.so", "$KX_LOGLEVELSDK=Severe"}, 1, 6, ""},
    {"VariablesWin", {"$KX_AGENTACTIVE=1", "$KX_LOGLEVELSDK=fine", "AgentActive=no", "LogLevelSdk=info"}, 0, 4, ""},
    {"EmptyVariablesHide", {"$KX_AGENTACTIVE=0", "$KX_LOGLEVELSDK=debug", "agentactive=", "loglevelsdk="}, 1, -1, ""},
    {"HomeVariableIsForwarded", {"$KX_HOME=/e", "HOME=/u"}, 1, -1, "/u" + kLoader, {"HOME=/u"}},
    {"EmptyHomeVariableHidesTheEnvironment", {"$KX_HOME=/e", "home="}, 1, -1, "", {"home="}},
    {"WholeNamesArePrivate", {"agentactivex=", "AGENTLIBRARY=/a", "agent="}, 1, -1, "/a", {"agentactivex=", "agent="}},
};

class Configurations : public testing::TestWithParam<Configuration> {};

TEST_P(Configurations, ComeFromTheFirstSourceThatIsSet) {
    const Configuration& c = GetParam();
    ClearLibraryEnvironment();
    for (const std::string& s : c.setup) {
        if (s[0] == '$') putenv(const_cast<char*>(s.c_str() + 1));
        if (s[0] != '$') ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(s.c_str(), 0));
    }
    Prepared p;
    ASSERT_EQ(VEXLIN_SUCCESS, p.rc);
    EXPECT_EQ(c.active, p.args.agentactive);
    EXPECT_EQ(c.library, p.args.agentlibrary);
    EXPECT_EQ(c.level, p.args.loglevelsdk);
    vexlin_stub_free_variables();
    EXPECT_EQ(c.forwarded, Entries(p.args.agent_args)) << "a snapshot";
}

INSTANTIATE_TEST_SUITE_P(Internals, Configurations, testing::ValuesIn(kConfigurations),
                         [](const testing::TestParamInfo<Configuration>& info) { return info.param.name; });

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
    EXPECT_NE(VEXLIN_SUCCESS, vexlin_dll_get_symbol(handle, "vexlin_no_such_symbol", &symbol, message, 1800));
    EXPECT_EQ(nullptr, symbol);
    EXPECT_NE(nullptr, strstr(message, "vexlin_no_such_symbol")) << message;
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_get_symbol(handle, "strlen", nullptr, nullptr, 0));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_get_symbol(nullptr, "strlen", &symbol, message, 1800));

    EXPECT_EQ(0, vexlin_dll_free(&handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(0, vexlin_dll_free(&handle)) << "a closed handle closes nothing";
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_load(nullptr, "x", message, 1800, &unexpected));
    EXPECT_EQ(VEXLIN_ERROR_INVALID_ARGUMENT, vexlin_dll_load(&handle, nullptr, message, 1800, &unexpected));
}

TEST(Internals, SpinLockExcludesAndMakesWritesVisibleToTheNextHolder) {
    constexpr int kThreads = 4, kIterations = 100000;
    vexlin_spinlock_t lock = {0};
    long counter = 0;  // deliberately plain: only the lock orders the updates
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
    for (auto& th : threads) th.join();
    EXPECT_EQ(static_cast<long>(kThreads) * kIterations, counter);
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
    std::thread waiter([&] {
        vexlin_spinlock_lock(&lock);
        vexlin_spinlock_unlock(&lock);
    });
    while (g_sleeps < before + 4) std::this_thread::yield();
    vexlin_spinlock_unlock(&lock);
    waiter.join();
}

}  // namespace
