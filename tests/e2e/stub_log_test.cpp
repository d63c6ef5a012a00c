// The exported side of the library's own log: the level filter and the sink
// as an application sets them, and the exact line the default sink writes to
// standard error. The library's messages are provoked with a shutdown while
// nothing is initialized, which logs one info message and changes nothing.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "log_capture.h"
#include "vexlin/vexlin_init.h"

namespace {

constexpr char kNotInitializedMessage[] =
    "Cannot uninitialize Korvantix Pelmoran SDK for C/C++ because it has not been initialized. (the agent module is "
    "not loaded)";

void ProvokeInfoMessage() { EXPECT_EQ(vexlin_shutdown(), VEXLIN_ERROR_NOT_INITIALIZED); }

std::string ThreadTag(pthread_t thread) {
    const std::uint64_t id = static_cast<std::uint64_t>(thread);
    char tag[16];
    std::snprintf(tag, sizeof(tag), "%08x", static_cast<unsigned>((id >> 32) ^ (id & 0xFFFFFFFFu)));
    return tag;
}

const std::regex kLinePattern(
    R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) UTC \[([0-9a-f]{8})\] (.{7}) \[vexlin\] (.*)\n)");

TEST(StubLogExported, NothingIsWrittenAtTheInitialLevel) {
    StderrCapture err;
    ProvokeInfoMessage();
    EXPECT_EQ(err.Finish(), "");
}

TEST(StubLogExported, LevelFilterAppliesToTheInstalledSink) {
    LogCapture capture(VEXLIN_LOGGING_LEVEL_INFO);
    ProvokeInfoMessage();
    EXPECT_EQ(LogCapture::Entries(), (std::vector<LogEntry>{{VEXLIN_LOGGING_LEVEL_INFO, kNotInitializedMessage}}));

    LogCapture::Clear();
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_WARNING);
    ProvokeInfoMessage();
    EXPECT_TRUE(LogCapture::Entries().empty());

    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_FINEST);
    ProvokeInfoMessage();
    EXPECT_EQ(LogCapture::Entries().size(), 1u);

    // Any value is a threshold: below every level lets everything through,
    // above "none" silences everything.
    LogCapture::Clear();
    vexlin_stub_set_logging_level(-1);
    ProvokeInfoMessage();
    EXPECT_EQ(LogCapture::Entries().size(), 1u);
    vexlin_stub_set_logging_level(1000);
    ProvokeInfoMessage();
    EXPECT_EQ(LogCapture::Entries().size(), 1u);
}

TEST(StubLogExported, NullSinkDiscardsAndTheDefaultSinkCanBeRestored) {
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_FINEST);
    vexlin_stub_set_logging_callback(nullptr);
    {
        StderrCapture err;
        ProvokeInfoMessage();
        EXPECT_EQ(err.Finish(), "");
    }
    vexlin_stub_set_logging_callback(vexlin_stub_default_logging_function);
    {
        StderrCapture err;
        ProvokeInfoMessage();
        const std::string text = err.Finish();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, kLinePattern)) << text;
        EXPECT_EQ(m[9].str(), "info   ");
        EXPECT_EQ(m[10].str(), kNotInitializedMessage);
    }
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
}

TEST(DefaultSink, LineFormat) {
    StderrCapture err;
    vexlin_stub_default_logging_function(VEXLIN_LOGGING_LEVEL_INFO, "hello");
    const std::string text = err.Finish();
    const std::regex exact(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} UTC \[[0-9a-f]{8}\] info    \[vexlin\] hello\n)");
    EXPECT_TRUE(std::regex_match(text, exact)) << text;

    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, kLinePattern)) << text;
    EXPECT_EQ(m[8].str(), ThreadTag(pthread_self()));
    const int month = std::stoi(m[2].str()), day = std::stoi(m[3].str());
    EXPECT_GE(month, 1);
    EXPECT_LE(month, 12);
    EXPECT_GE(day, 1);
    EXPECT_LE(day, 31);
    EXPECT_LE(std::stoi(m[4].str()), 23);
    EXPECT_LE(std::stoi(m[5].str()), 59);
    EXPECT_LE(std::stoi(m[6].str()), 60);
}

TEST(DefaultSink, ThreadTagNamesTheWritingThread) {
    std::string text;
    std::string expected_tag;
    std::thread writer([&] {
        expected_tag = ThreadTag(pthread_self());
        StderrCapture err;
        vexlin_stub_default_logging_function(VEXLIN_LOGGING_LEVEL_WARNING, "from a thread");
        text = err.Finish();
    });
    writer.join();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, kLinePattern)) << text;
    EXPECT_EQ(m[8].str(), expected_tag);
    EXPECT_EQ(m[9].str(), "warning");
}

TEST(DefaultSink, NullMessageEndsTheLineAfterTheTag) {
    StderrCapture err;
    vexlin_stub_default_logging_function(VEXLIN_LOGGING_LEVEL_SEVERE, nullptr);
    const std::string text = err.Finish();
    ASSERT_GE(text.size(), 20u);
    EXPECT_EQ(text.substr(text.size() - 18), "severe  [vexlin] \n") << text;
}

// The sink writes whatever it is given; the filter sits in front of it.
TEST(DefaultSink, WritesRegardlessOfTheCurrentLevel) {
    StderrCapture err;
    vexlin_stub_default_logging_function(VEXLIN_LOGGING_LEVEL_FINEST, "direct");
    const std::string text = err.Finish();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, kLinePattern)) << text;
    EXPECT_EQ(m[9].str(), "finest ");
    EXPECT_EQ(m[10].str(), "direct");
}

TEST(DefaultSink, PaddedLevelNames) {
    const char* const expected[] = {"finest ", "finer  ", "fine   ", "config ", "info   ",
                                    "warning", "severe ", "debug  ", "none   "};
    for (int level = -1; level <= 9; ++level) {
        StderrCapture err;
        vexlin_stub_default_logging_function(level, "m");
        const std::string text = err.Finish();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, kLinePattern)) << text;
        EXPECT_EQ(m[9].str(), level >= 0 && level <= 8 ? expected[level] : "???????") << "level " << level;
    }
}

}  // namespace
