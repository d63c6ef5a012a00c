// Shared by the console agent and doctor tests: temporary files and running a
// program with a controlled environment.
#ifndef VEXLIN_CONSOLE_TESTS_SUPPORT_H
#define VEXLIN_CONSOLE_TESTS_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace console_test {

// The environment variables the library reads; tests start without them so
// a developer's shell cannot change the outcome.
inline const std::vector<std::string>& LibraryEnvironment() {
    static const std::vector<std::string> names = {"KX_AGENTACTIVE", "KX_AGENTLIBRARY", "KX_LOGLEVELSDK", "KX_HOME"};
    return names;
}

inline void ClearLibraryEnvironment() {
    for (const std::string& name : LibraryEnvironment()) unsetenv(name.c_str());
}

// A fresh path in the temporary directory, removed again at the end.
class TempPath {
public:
    explicit TempPath(const std::string& stem) {
        std::string pattern = std::string(P_tmpdir) + "/vexlin-" + stem + "-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        int fd = mkstemp(buffer.data());
        if (fd >= 0) close(fd);
        path_ = buffer.data();
    }
    ~TempPath() { unlink(path_.c_str()); }
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

struct ProcessResult {
    int exit_code = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `argv` with the library's environment variables removed and then
// `environment` ("NAME=value") applied; captures both output streams.
inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment = {}) {
    TempPath out("stdout"), err("stderr");
    ProcessResult result;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        ClearLibraryEnvironment();
        for (const std::string& assignment : environment) putenv(strdup(assignment.c_str()));
        int o = open(out.path().c_str(), O_WRONLY | O_TRUNC);
        int e = open(err.path().c_str(), O_WRONLY | O_TRUNC);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        // Programs built for another target run under the same emulator as the tests.
        std::vector<std::string> command;
        if (const char* emulator = getenv("VEXLIN_TEST_EMULATOR")) {
            std::string word;
            for (const char* c = emulator;; ++c) {
                if (*c == ' ' || *c == '\0') {
                    if (!word.empty()) command.push_back(word);
                    word.clear();
                    if (*c == '\0') break;
                } else {
                    word.push_back(*c);
                }
            }
        }
        command.insert(command.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (const std::string& a : command) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.out = ReadFile(out.path());
    result.err = ReadFile(err.path());
    return result;
}

}  // namespace console_test

#endif  // VEXLIN_CONSOLE_TESTS_SUPPORT_H
