// Shared by the console agent and doctor tests: reading files, and running a build's program without the library's
// environment variables.
#ifndef VEXLIN_CONSOLE_TESTS_SUPPORT_H
#define VEXLIN_CONSOLE_TESTS_SUPPORT_H

#include <string.h>

#include <fstream>
#include <sstream>

#include "vexlin_test.h"  // gtest, the POSIX headers and ClearLibraryEnvironment

namespace console_test {

inline std::string ReadFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

struct ProcessResult {
    int exit_code = -1;  // -1 when the program did not exit normally
    std::string out, err;
};

// Runs `argv` (under the build's emulator, if any) with the library's variables unset, so that a developer's shell
// cannot change the outcome, and then `environment` ("NAME=value") applied.
inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment = {}) {
    FILE* files[2] = {tmpfile(), tmpfile()};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ClearLibraryEnvironment();
        for (const std::string& assignment : environment) putenv(strdup(assignment.c_str()));
        dup2(fileno(files[0]), STDOUT_FILENO), dup2(fileno(files[1]), STDERR_FILENO);
        std::vector<const char*> args = {"/bin/sh", "-c", R"(exec $VEXLIN_TEST_EMULATOR "$@")", "sh"};
        for (const std::string& a : argv) args.push_back(a.c_str());
        args.push_back(nullptr);
        execv(args[0], const_cast<char**>(args.data()));
        _exit(127);
    }
    ProcessResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    for (FILE* file : files) {
        (file == files[0] ? result.out : result.err) = ReadFile("/proc/self/fd/" + std::to_string(fileno(file)));
        fclose(file);
    }
    return result;
}

}  // namespace console_test

#endif  // VEXLIN_CONSOLE_TESTS_SUPPORT_H
