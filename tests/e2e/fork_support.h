// Running checks in a forked child and guarding against deadlocks. A child
// reports the first failed check through a pipe and leaves with _exit; the
// parent collects the report and the exit status. An alarm in the child and
// a watchdog thread in the parent turn a deadlock into a failure.
#ifndef VEXLIN_TESTS_E2E_FORK_SUPPORT_H
#define VEXLIN_TESTS_E2E_FORK_SUPPORT_H

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace forking {

// Generous: a child that needs this long is stuck.
constexpr unsigned kChildSeconds = 30;

// Under valgrind (VEXLIN_TEST_SLOW set) every child is checked for leaks as
// it exits, and everything runs tens of times slower.
inline int Scaled(int seconds) { return getenv("VEXLIN_TEST_SLOW") != nullptr ? seconds * 10 : seconds; }

inline int& ReportFd() {
    static int fd = -1;
    return fd;
}

extern "C" void __gcov_dump(void) __attribute__((weak));

// Leaves a child without running the parent's exit handlers; a coverage
// build first writes what the child ran.
[[noreturn]] inline void ChildExit(int code) {
    if (__gcov_dump != nullptr) __gcov_dump();
    _exit(code);
}

// The child of a multi-threaded process: no stdio streams, no allocation.
[[noreturn]] inline void ChildFail(int line, const char* text) {
    char report[512];
    const int n = snprintf(report, sizeof(report), "line %d: %s", line, text);
    if (n > 0 && ReportFd() >= 0) {
        const size_t length = static_cast<size_t>(n) < sizeof(report) ? static_cast<size_t>(n) : sizeof(report) - 1;
        const ssize_t written = write(ReportFd(), report, length);
        (void)written;
    }
    ChildExit(1);
}

[[noreturn]] inline void ChildFailEq(int line, const char* expected_text, const char* actual_text,
                                     unsigned long long expected, unsigned long long actual) {
    char text[400];
    snprintf(text, sizeof(text), "%s == %s: expected 0x%llx, got 0x%llx", expected_text, actual_text, expected, actual);
    ChildFail(line, text);
}

}  // namespace forking

// For use in the child only.
#define CHILD_CHECK(condition)                        \
    do {                                              \
        if (!(condition)) {                           \
            forking::ChildFail(__LINE__, #condition); \
        }                                             \
    } while (0)

#define CHILD_CHECK_EQ(expected, actual)                                                        \
    do {                                                                                        \
        const unsigned long long child_expected_ = static_cast<unsigned long long>(expected);   \
        const unsigned long long child_actual_ = static_cast<unsigned long long>(actual);       \
        if (child_expected_ != child_actual_) {                                                 \
            forking::ChildFailEq(__LINE__, #expected, #actual, child_expected_, child_actual_); \
        }                                                                                       \
    } while (0)

namespace forking {

// Forks; the child runs `body` and exits 0 unless a check failed. Gives ""
// when the child passed, else what went wrong.
template <typename Body>
std::string InChild(Body&& body) {
    int fds[2];
    if (pipe(fds) != 0) return std::string("pipe failed: ") + strerror(errno);
    const pid_t pid = fork();
    if (pid < 0) {
        const int fork_errno = errno;
        close(fds[0]);
        close(fds[1]);
        return std::string("fork failed: ") + strerror(fork_errno);
    }
    if (pid == 0) {
        close(fds[0]);
        ReportFd() = fds[1];
        alarm(static_cast<unsigned>(Scaled(static_cast<int>(kChildSeconds))));
        body();
        ChildExit(0);
    }
    close(fds[1]);
    std::string report;
    char chunk[256];
    for (;;) {
        const ssize_t n = read(fds[0], chunk, sizeof(chunk));
        if (n > 0) {
            report.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return "waitpid failed";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && report.empty()) return "";
    if (WIFSIGNALED(status)) {
        const int signal_number = WTERMSIG(status);
        return "child killed by signal " + std::to_string(signal_number) +
               (signal_number == SIGALRM ? " (it hung)" : "") + (report.empty() ? "" : ": " + report);
    }
    return "child exited with " + std::to_string(WEXITSTATUS(status)) + (report.empty() ? "" : ": " + report);
}

// Aborts the process with a message when it is still alive after `seconds`,
// so that a deadlock fails the test instead of hanging it.
class Watchdog {
public:
    Watchdog(int seconds, std::string what) : thread_([this, seconds, what] { Watch(Scaled(seconds), what); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void Watch(int seconds, const std::string& what) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            fprintf(stderr, "watchdog: %s still running after %d s, probably deadlocked\n", what.c_str(), seconds);
            fflush(stderr);
            abort();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace forking

#endif  // VEXLIN_TESTS_E2E_FORK_SUPPORT_H
