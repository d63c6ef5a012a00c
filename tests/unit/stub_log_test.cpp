// The library's internal logging calls: the level filter in front of the
// sink, formatting and its length limit, padded level names and the parsing
// of level names used by the configuration.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "vexlin_stub_log.h"

namespace {

// Each test runs in a fresh process, so this one sees the initial state.
TEST(StubLog, InitialLevelIsNoneAndOnlyLevelNonePasses) {
    EXPECT_EQ(vexlin_stub_get_logging_level(), VEXLIN_LOGGING_LEVEL_NONE);
    LogCapture capture(VEXLIN_LOGGING_LEVEL_NONE);
    for (vexlin_logging_level_t level = VEXLIN_LOGGING_LEVEL_FINEST; level <= VEXLIN_LOGGING_LEVEL_NONE; ++level) {
        vexlin_stub_log(level, "plain");
        vexlin_stub_logf(level, "formatted %d", level);
    }
    EXPECT_EQ(LogCapture::Entries(), (std::vector<LogEntry>{{VEXLIN_LOGGING_LEVEL_NONE, "plain"},
                                                            {VEXLIN_LOGGING_LEVEL_NONE, "formatted 8"}}));
}

TEST(StubLog, LevelEqualToTheCurrentOnePasses) {
    LogCapture capture(VEXLIN_LOGGING_LEVEL_INFO);
    EXPECT_EQ(vexlin_stub_get_logging_level(), VEXLIN_LOGGING_LEVEL_INFO);
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_CONFIG, "config");
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_INFO, "info");
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_WARNING, "warning");
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_CONFIG, "%s", "config f");
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s", "info f");
    EXPECT_EQ(LogCapture::Messages(), (std::vector<std::string>{"info", "warning", "info f"}));
}

TEST(StubLog, AnyValueIsAThreshold) {
    LogCapture capture;
    vexlin_stub_set_logging_level(-1);
    EXPECT_EQ(vexlin_stub_get_logging_level(), -1);
    vexlin_stub_log(-1, "minus one");
    vexlin_stub_log(-2, "minus two");
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_FINEST, "finest");
    vexlin_stub_log(9, "nine");
    EXPECT_EQ(LogCapture::Entries(),
              (std::vector<LogEntry>{{-1, "minus one"}, {VEXLIN_LOGGING_LEVEL_FINEST, "finest"}, {9, "nine"}}));

    LogCapture::Clear();
    vexlin_stub_set_logging_level(9);
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_NONE, "none");
    vexlin_stub_log(9, "nine");
    EXPECT_EQ(LogCapture::Messages(), (std::vector<std::string>{"nine"}));
}

TEST(StubLog, NullSinkDiscardsAndDefaultSinkComesBack) {
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_FINEST);
    vexlin_stub_set_logging_callback(nullptr);
    {
        StderrCapture err;
        vexlin_stub_log(VEXLIN_LOGGING_LEVEL_SEVERE, "lost");
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_SEVERE, "lost %d", 2);
        EXPECT_EQ(err.Finish(), "");
    }
    vexlin_stub_set_logging_callback(vexlin_stub_default_logging_function);
    {
        StderrCapture err;
        vexlin_stub_log(VEXLIN_LOGGING_LEVEL_SEVERE, "back");
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "again %d", 3);
        const std::string text = err.Finish();
        EXPECT_NE(text.find("severe  [vexlin] back\n"), std::string::npos) << text;
        EXPECT_NE(text.find("info    [vexlin] again 3\n"), std::string::npos) << text;
    }
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
}

TEST(StubLog, NullTextsBecomeEmpty) {
    LogCapture capture;
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_INFO, nullptr);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, nullptr);
#pragma GCC diagnostic pop
    EXPECT_EQ(LogCapture::Entries(),
              (std::vector<LogEntry>{{VEXLIN_LOGGING_LEVEL_INFO, ""}, {VEXLIN_LOGGING_LEVEL_INFO, ""}}));
}

TEST(StubLog, FormattedMessagesAreCutTo1799Characters) {
    LogCapture capture;
    const std::string long_text(2000, 'x');
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s", long_text.c_str());
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s", std::string(1799, 'y').c_str());
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s", std::string(1800, 'z').c_str());
    // The plain call has no limit.
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_INFO, long_text.c_str());
    const std::vector<std::string> messages = LogCapture::Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], std::string(1799, 'x'));
    EXPECT_EQ(messages[1], std::string(1799, 'y'));
    EXPECT_EQ(messages[2], std::string(1799, 'z'));
    EXPECT_EQ(messages[3], long_text);
}

// A dropped message is never formatted: its argument points at memory that
// cannot be read, so formatting it would crash.
TEST(StubLog, DroppedMessagesAreNotFormatted) {
    const long page_size = sysconf(_SC_PAGESIZE);
    void* page = mmap(nullptr, static_cast<size_t>(page_size), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    LogCapture capture(VEXLIN_LOGGING_LEVEL_WARNING);
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s", static_cast<const char*>(page));
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_INFO, static_cast<const char*>(page));
    EXPECT_TRUE(LogCapture::Entries().empty());
    munmap(page, static_cast<size_t>(page_size));
}

TEST(StubLog, LoggableString) {
    EXPECT_STREQ(vexlin_loggable_str(nullptr), "(null)");
    const char* s = "text";
    EXPECT_EQ(vexlin_loggable_str(s), s);
}

TEST(LevelNames, PaddedNamesHaveSevenCharacters) {
    const char* const expected[] = {"finest ", "finer  ", "fine   ", "config ", "info   ",
                                    "warning", "severe ", "debug  ", "none   "};
    for (vexlin_logging_level_t level = 0; level <= 8; ++level) {
        EXPECT_STREQ(vexlin_get_padded_logging_level_name(level), expected[level]) << level;
    }
    for (vexlin_logging_level_t level : {-1, 9, -100, 1000, static_cast<vexlin_logging_level_t>(0x80000000u)}) {
        EXPECT_STREQ(vexlin_get_padded_logging_level_name(level), "???????") << level;
    }
}

TEST(LevelNames, Parsing) {
    const struct {
        const char* text;
        vexlin_logging_level_t level;
    } cases[] = {
        {" INFO\t", 4},      {"Warning", 5},  {"finest", 0},  {"fine", 2},       {"FINER", 1},    {"none", 8},
        {"debug", 7},        {"Severe", 6},   {"config", 3},  {"\t\tfine  ", 2}, {"NoNe", 8},     {"", -1},
        {"   ", -1},         {"\t", -1},      {"info\n", -1}, {"info\r", -1},    {"verbose", -1}, {"inf", -1},
        {"information", -1}, {"finestx", -1}, {"fin", -1},    {"in fo", -1},     {"8", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vexlin_parse_logging_level_name(c.text), c.level) << "'" << c.text << "'";
    }
    EXPECT_EQ(vexlin_parse_logging_level_name(nullptr), -1);
}

}  // namespace
