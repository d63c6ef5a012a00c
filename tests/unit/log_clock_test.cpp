// Time stamps of the default sink's lines. This program replaces
// gettimeofday() so the clock can be fixed, broken, or pushed beyond what the
// calendar conversion accepts.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <time.h>

#include <climits>
#include <string>

#include "log_capture.h"
#include "vexlin/vexlin_init.h"

namespace {

enum class Clock { kReal, kFixed, kFailing, kHuge };
Clock g_clock = Clock::kReal;
struct timeval g_fixed = {0, 0};

}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void*) noexcept {
    switch (g_clock) {
        case Clock::kFailing:
            return -1;
        case Clock::kFixed:
            *tv = g_fixed;
            return 0;
        case Clock::kHuge:
            tv->tv_sec = LONG_MAX;
            tv->tv_usec = 999999;
            return 0;
        case Clock::kReal:
            break;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}

namespace {

std::string LineAt(Clock clock, const char* message) {
    g_clock = clock;
    StderrCapture err;
    vexlin_stub_default_logging_function(VEXLIN_LOGGING_LEVEL_INFO, message);
    const std::string text = err.Finish();
    g_clock = Clock::kReal;
    return text;
}

// Everything after the time stamp: " UTC [xxxxxxxx] info    [vexlin] m\n".
std::string AfterTimestamp(const std::string& line) { return line.size() > 23 ? line.substr(23) : line; }

TEST(LogClock, FixedTimeInUtcWithTruncatedMilliseconds) {
    setenv("TZ", "America/New_York", 1);  // local time must not matter
    tzset();
    g_fixed = {1709647629, 42999};  // 2024-03-05 14:07:09.042999 UTC
    const std::string line = LineAt(Clock::kFixed, "m");
    EXPECT_EQ(line.substr(0, 28), "2024-03-05 14:07:09.042 UTC ") << line;

    g_fixed = {0, 0};
    EXPECT_EQ(LineAt(Clock::kFixed, "m").substr(0, 28), "1970-01-01 00:00:00.000 UTC ");

    g_fixed = {951782400 + 86399, 999999};  // the last moment of 2000-02-29
    EXPECT_EQ(LineAt(Clock::kFixed, "m").substr(0, 28), "2000-02-29 23:59:59.999 UTC ");
}

TEST(LogClock, FailingClockPrintsZeros) {
    const std::string real = LineAt(Clock::kReal, "same rest");
    const std::string line = LineAt(Clock::kFailing, "same rest");
    EXPECT_EQ(line.substr(0, 28), "0000-00-00 00:00:00.000 UTC ") << line;
    EXPECT_EQ(AfterTimestamp(line), AfterTimestamp(real)) << "the rest of the line is unchanged";
}

TEST(LogClock, UnconvertibleTimePrintsZeros) {
    if (sizeof(time_t) < 8) GTEST_SKIP() << "a 32-bit time_t cannot hold a time gmtime_r refuses";
    const std::string line = LineAt(Clock::kHuge, "m");
    EXPECT_EQ(line.substr(0, 28), "0000-00-00 00:00:00.000 UTC ") << line;
}

}  // namespace
