// Captures the library's log for a test: installs a sink that records every
// message with its level, and restores the default sink and level NONE when
// the fixture ends. StderrCapture catches the default sink's lines instead.
#ifndef VEXLIN_TESTS_LOG_CAPTURE_H
#define VEXLIN_TESTS_LOG_CAPTURE_H

#include <stdio.h>
#include <unistd.h>

#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vexlin/vexlin_init.h"

struct LogEntry {
    vexlin_logging_level_t level;
    std::string message;
    bool operator==(const LogEntry& other) const { return level == other.level && message == other.message; }
};

inline std::ostream& operator<<(std::ostream& os, const LogEntry& e) {
    return os << "{" << e.level << ", \"" << e.message << "\"}";
}

class LogCapture {
public:
    explicit LogCapture(vexlin_logging_level_t level = VEXLIN_LOGGING_LEVEL_FINEST) {
        Clear();
        vexlin_stub_set_logging_callback(&LogCapture::Sink);
        vexlin_stub_set_logging_level(level);
    }
    ~LogCapture() {
        vexlin_stub_set_logging_callback(vexlin_stub_default_logging_function);
        vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    static std::vector<LogEntry> Entries() {
        std::lock_guard<std::mutex> guard(Mutex());
        return Store();
    }
    static std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const LogEntry& e : Entries()) out.push_back(e.message);
        return out;
    }
    // Entries at `level` or above.
    static std::vector<LogEntry> AtLeast(vexlin_logging_level_t level) {
        std::vector<LogEntry> out;
        for (const LogEntry& e : Entries())
            if (e.level >= level) out.push_back(e);
        return out;
    }
    static bool Contains(vexlin_logging_level_t level, const std::string& message) {
        for (const LogEntry& e : Entries())
            if (e.level == level && e.message == message) return true;
        return false;
    }
    static void Clear() {
        std::lock_guard<std::mutex> guard(Mutex());
        Store().clear();
    }

private:
    static void Sink(vexlin_logging_level_t level, const vexlin_xchar_t* message) {
        std::lock_guard<std::mutex> guard(Mutex());
        Store().push_back(LogEntry{level, message != nullptr ? message : "<NULL>"});
    }
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<LogEntry>& Store() {
        static std::vector<LogEntry> s;
        return s;
    }
};

// Captures what the default sink writes: redirects file descriptor 2 into a
// temporary file until Finish(), which restores it and returns the text.
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        file_ = tmpfile();
        saved_fd_ = dup(2);
        if (file_ != nullptr && saved_fd_ >= 0) dup2(fileno(file_), 2);
    }
    ~StderrCapture() { Finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string Finish() {
        if (saved_fd_ < 0) return text_;
        fflush(stderr);
        dup2(saved_fd_, 2);
        close(saved_fd_);
        saved_fd_ = -1;
        if (file_ != nullptr) {
            rewind(file_);
            char chunk[4096];
            size_t n;
            while ((n = fread(chunk, 1, sizeof(chunk), file_)) > 0) text_.append(chunk, n);
            fclose(file_);
            file_ = nullptr;
        }
        return text_;
    }

private:
    FILE* file_ = nullptr;
    int saved_fd_ = -1;
    std::string text_;
};

#endif  // VEXLIN_TESTS_LOG_CAPTURE_H
