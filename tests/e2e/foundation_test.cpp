// Through the shared library without an agent: the texts of result codes,
// the level filter in front of the log sink, and the line the default sink
// writes. This program replaces gettimeofday() so that the sink's clock can
// be fixed, broken or pushed beyond the calendar.
#include <sys/time.h>
#include <time.h>

#include <climits>
#include <regex>

#include "vexlin_test.h"

namespace {
enum class Clock { kReal, kFixed, kFailing, kHuge };
Clock g_clock = Clock::kReal;
struct timeval g_fixed = {0, 0};
}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void*) noexcept {
    if (g_clock == Clock::kFailing) return -1;
    if (g_clock == Clock::kFixed) *tv = g_fixed;
    if (g_clock == Clock::kHuge) *tv = {LONG_MAX, 999999};
    if (g_clock != Clock::kReal) return 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *tv = {now.tv_sec, static_cast<suseconds_t>(now.tv_nsec / 1000)};
    return 0;
}

namespace {

// ---- Texts of result codes -----------------------------------------------------------

void ExpectText(uint32_t code, size_t length, std::string expected) {
    SCOPED_TRACE(testing::Message() << std::hex << code << " in " << std::dec << length);
    std::string buffer(length + 8, '#');
    EXPECT_EQ(&buffer[0], vexlin_stub_xstrerror(static_cast<vexlin_result_t>(code), &buffer[0], length));
    expected.resize(length, '\0');
    EXPECT_EQ(expected + std::string(8, '#'), buffer) << "the text, zeros to the end, nothing beyond";
}

// Each code's text is the one README.md lists (readme_is_true checks the
// library's table against it); here the lookup, the buffer and the fallback.
TEST(Foundation, ErrorTextsFillTheBufferWithTheTextAndZerosAndNothingBeyond) {
    ExpectText(0, 256, "The operation completed successfully.");
    ExpectText(0xAFFE0001u, 256, "Generic error.");
    ExpectText(0xAFFE000Du, 256, "This process is a fork child.");
    // Cut to the buffer, always terminated: 18 fit "Agent not active.".
    for (size_t length : {18, 17, 6, 2, 1})
        ExpectText(0xAFFE0006u, length, std::string("Agent not active.").substr(0, length - 1));
    // Every other code gets the platform's text.
    for (uint32_t code : {2u, static_cast<uint32_t>(VEXLIN_ERROR_BASE), 0xAFFE000Eu, 0xFFFFFFFFu})
        ExpectText(code, 256, strerror(static_cast<int>(code)));
    char untouched = '#';
    EXPECT_EQ(&untouched, vexlin_stub_xstrerror(VEXLIN_ERROR_GENERIC, &untouched, 0));
    EXPECT_EQ('#', untouched) << "a zero length is not written";
    EXPECT_EQ(nullptr, vexlin_stub_xstrerror(VEXLIN_ERROR_GENERIC, nullptr, 100));
}

// ---- The level filter ---------------------------------------------------------------
// An initialize with the agent switched off logs at info (formatted and
// plain), config and severe, and changes nothing else.

std::vector<vexlin_logging_level_t> LevelsLoggedAt(vexlin_logging_level_t threshold) {
    LogCapture capture(threshold);
    setenv("KX_AGENTACTIVE", "false", 1);
    EXPECT_EQ(VEXLIN_ERROR_AGENT_NOT_ACTIVE, vexlin_initialize());
    std::vector<vexlin_logging_level_t> levels;
    for (const LogEntry& e : LogCapture::Entries()) levels.push_back(e.first);
    return levels;
}

TEST(Foundation, TheLevelIsAThresholdInFrontOfASinkThatCanBeDroppedAndRestored) {
    const std::vector<vexlin_logging_level_t> info_and_above = {4, 4, 6};
    EXPECT_EQ(std::vector<vexlin_logging_level_t>{}, LevelsLoggedAt(VEXLIN_LOGGING_LEVEL_NONE));
    EXPECT_EQ(std::vector<vexlin_logging_level_t>{6}, LevelsLoggedAt(VEXLIN_LOGGING_LEVEL_SEVERE));
    EXPECT_EQ(info_and_above, LevelsLoggedAt(VEXLIN_LOGGING_LEVEL_INFO)) << "a message at the level passes";
    EXPECT_EQ(LevelsLoggedAt(VEXLIN_LOGGING_LEVEL_FINEST), LevelsLoggedAt(-1)) << "any value is a threshold";
    EXPECT_EQ(std::vector<vexlin_logging_level_t>{}, LevelsLoggedAt(1000));

    const auto initialize = [] { EXPECT_EQ(VEXLIN_ERROR_AGENT_NOT_ACTIVE, vexlin_initialize()); };
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_INFO);
    vexlin_stub_set_logging_callback(nullptr);
    EXPECT_EQ("", Stderr(initialize)) << "a dropped sink";
    vexlin_stub_set_logging_callback(vexlin_stub_default_logging_function);
    const std::string text = Stderr(initialize);
    EXPECT_NE(std::string::npos, text.find("] info    [vexlin] SDK stub version 1.6.1.0")) << text;
}

// ---- The default sink -----------------------------------------------------------------

const std::regex kLine(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) UTC \[([0-9a-f]{8})\] (.{7}) \[vexlin\] (.*)\n)");

// (time stamp, thread tag, padded level, message) of one line.
std::vector<std::string> Line(vexlin_logging_level_t level, const char* message, Clock clock = Clock::kReal) {
    g_clock = clock;
    const std::string text = Stderr([&] { vexlin_stub_default_logging_function(level, message); });
    g_clock = Clock::kReal;
    std::smatch m;
    EXPECT_TRUE(std::regex_match(text, m, kLine)) << text;
    return m.empty() ? std::vector<std::string>(4) : std::vector<std::string>{m[1], m[2], m[3], m[4]};
}

TEST(Foundation, DefaultSinkWritesOneLineWithTimeThreadAndPaddedLevel) {
    const char* const padded[] = {"finest ", "finer  ", "fine   ", "config ", "info   ",
                                  "warning", "severe ", "debug  ", "none   "};
    for (int level = -1; level <= 9; ++level)
        EXPECT_EQ(level >= 0 && level <= 8 ? padded[level] : "???????", Line(level, "m")[2]) << "level " << level;
    const std::vector<std::string> hello = Line(4, "hello");
    EXPECT_EQ("hello", hello[3]);
    EXPECT_EQ(hello[1], Line(4, "again")[1]) << "one thread, one tag";
    EXPECT_EQ("", Line(6, nullptr)[3]) << "a missing message ends the line after the tag";
    std::string other;
    std::thread([&] { other = Line(5, "from a thread")[1]; }).join();
    EXPECT_NE(hello[1], other) << "the tag names the writing thread";
}

TEST(Foundation, DefaultSinkTimeIsUtcWithTruncatedMilliseconds) {
    setenv("TZ", "America/New_York", 1);  // local time must not matter
    tzset();
    const std::pair<struct timeval, const char*> fixed[] = {
        {{1709647629, 42999}, "2024-03-05 14:07:09.042"},
        {{0, 0}, "1970-01-01 00:00:00.000"},
        {{951782400 + 86399, 999999}, "2000-02-29 23:59:59.999"},  // the last moment of a leap day
    };
    for (const auto& f : fixed) {
        g_fixed = f.first;
        EXPECT_EQ(f.second, Line(4, "m", Clock::kFixed)[0]);
    }
    EXPECT_EQ("0000-00-00 00:00:00.000", Line(4, "m", Clock::kFailing)[0]) << "a failing clock";
    if (sizeof(time_t) >= 8) EXPECT_EQ("0000-00-00 00:00:00.000", Line(4, "m", Clock::kHuge)[0]) << "beyond gmtime_r";
}

}  // namespace
