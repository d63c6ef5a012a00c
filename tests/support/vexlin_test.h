// The one test harness: the library's log captured (LogCapture) or its
// default sink's lines (Stderr), checks run in a forked child, the
// end-to-end fixture with the log every load writes, and the prepared
// configuration for tests that link the library's objects. It brings the
// headers every suite uses (gtest, POSIX, strings, threads, atomics).
#ifndef VEXLIN_TESTS_VEXLIN_TEST_H
#define VEXLIN_TESTS_VEXLIN_TEST_H

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vexlin/vexlin.h"

using LogEntry = std::pair<vexlin_logging_level_t, std::string>;  // level, message
using Log = std::vector<LogEntry>;
inline Log operator+(Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Records every message with its level; restores the default sink and level
// NONE. Hold(m) makes the sink hold the thread that logs m until Hold("").
class LogCapture {
public:
    explicit LogCapture(vexlin_logging_level_t level = VEXLIN_LOGGING_LEVEL_FINEST) {
        Clear();
        vexlin_stub_set_logging_callback(&Sink);
        vexlin_stub_set_logging_level(level);
    }
    ~LogCapture() {
        vexlin_stub_set_logging_callback(vexlin_stub_default_logging_function);
        vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
    }
    static Log Entries() {
        std::lock_guard<std::mutex> guard(S().mutex);
        return S().log;
    }
    static void Clear() {
        std::lock_guard<std::mutex> guard(S().mutex);
        S().log.clear();
    }
    static void Hold(const std::string& message) {
        std::lock_guard<std::mutex> guard(S().mutex);
        S().hold = message;
        S().held = false;
        S().changed.notify_all();
    }
    static void WaitUntilHeld() {  // at most ten seconds: a broken library fails the test instead of hanging it
        std::unique_lock<std::mutex> lock(S().mutex);
        S().changed.wait_for(lock, std::chrono::seconds(10), [] { return S().held; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        Log log;
        std::string hold;
        bool held = false;
    };
    static State& S() {
        static State s;
        return s;
    }
    static void Sink(vexlin_logging_level_t level, const vexlin_xchar_t* message) {
        std::unique_lock<std::mutex> lock(S().mutex);
        S().log.push_back({level, message != nullptr ? message : "<NULL>"});
        if (S().hold.empty() || S().log.back().second != S().hold) return;
        S().held = true;
        S().changed.notify_all();
        S().changed.wait(lock, [] { return S().hold.empty(); });  // a cancellation point
    }
};

// initialize on a thread of its own, held in the log sink at the line
// `message` (the library's init lock taken) until Release().
struct HeldInitialize {
    explicit HeldInitialize(const std::string& message) {
        LogCapture::Hold(message);
        pthread_create(&thread, nullptr, Run, &rc);
        LogCapture::WaitUntilHeld();
    }
    vexlin_result_t Release() {  // initialize's result
        LogCapture::Hold("");
        pthread_join(thread, &exit_value);
        return rc;
    }
    // A new thread's stack is zeros, which would hide what initialize leaves unset.
    [[gnu::noinline]] static void DirtyStack() {
        volatile unsigned char junk[32768];
        for (auto& c : junk) c = 0xA5;
    }
    static void* Run(void* rc) {
        DirtyStack();
        *static_cast<vexlin_result_t*>(rc) = vexlin_initialize();
        pthread_testcancel();
        return nullptr;
    }
    pthread_t thread;
    vexlin_result_t rc = -1;
    void* exit_value = nullptr;
};

// What the default sink writes to file descriptor 2 while `write` runs.
template <typename Write>
std::string Stderr(Write&& write) {
    testing::internal::CaptureStderr();
    write();
    return testing::internal::GetCapturedStderr();
}

// ---- Checks in a forked child -------------------------------------------------
// A child of a multi-threaded process may neither allocate nor use stdio: a
// failed check writes its line to standard error and leaves with _exit.
namespace forking {
extern "C" void __gcov_dump(void) __attribute__((weak));
// Under valgrind or a thread sanitizer (VEXLIN_TEST_SLOW) fewer rounds.
inline bool Slow() { return getenv("VEXLIN_TEST_SLOW") != nullptr; }
[[noreturn]] inline void ChildExit(int code) {
    if (__gcov_dump != nullptr) __gcov_dump();  // a coverage build keeps what the child ran
    _exit(code);
}
[[noreturn]] inline void ChildFail(int line, const char* text) {
    char report[256];
    const int n = snprintf(report, sizeof report, "child check failed, line %d: %s\n", line, text);
    (void)!write(2, report, n > 0 && n < static_cast<int>(sizeof report) ? static_cast<size_t>(n) : 0);
    ChildExit(1);
}
// Gives "" when the child ran `body` without a failed check.
template <typename Body>
std::string InChild(Body&& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(Slow() ? 300 : 30);
        body();
        ChildExit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return "fork or waitpid failed";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    return WIFSIGNALED(status) ? "child killed by signal " + std::to_string(WTERMSIG(status)) : "child failed";
}
}  // namespace forking
#define CHILD_CHECK(condition) ((condition) ? (void)0 : forking::ChildFail(__LINE__, #condition))

inline void ClearLibraryEnvironment() {
    for (const char* name : {"KX_AGENTACTIVE", "KX_AGENTLIBRARY", "KX_LOGLEVELSDK", "KX_HOME"}) unsetenv(name);
}

// ---- End to end, with the test agent module -------------------------------------
#ifdef TEST_AGENT_PATH
#include "test_agent_control.h"
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

namespace lifecycle {

constexpr vexlin_logging_level_t kFinest = VEXLIN_LOGGING_LEVEL_FINEST, kFine = VEXLIN_LOGGING_LEVEL_FINE,
                                 kConfig = VEXLIN_LOGGING_LEVEL_CONFIG, kInfo = VEXLIN_LOGGING_LEVEL_INFO,
                                 kSevere = VEXLIN_LOGGING_LEVEL_SEVERE;
const std::string kLoadFailure = "Could not load agent module for Korvantix Pelmoran SDK for C/C++: ";
const std::string kInitFailure = "Could not initialize Korvantix Pelmoran SDK for C/C++: ";
const std::string kAgentFailure = "Could not initialize agent for Korvantix Pelmoran SDK for C/C++: ";

inline std::string InitFlags(unsigned flags) {
    return "VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=" + std::to_string(flags);
}

// A first-level load at finest up to "Loading agent module...": `module` the
// configured path, `forwarded` the module's arguments in store order.
inline Log LoadPrologue(const std::string& module, const std::vector<std::string>& forwarded, bool active = true) {
    Log log = {{kInfo, "Initializing Korvantix Pelmoran SDK for C/C++ ..."},
               {kInfo, "SDK stub version 1.6.1.0, build date 2021.01.21 10:18:35."},
               {kFine, "Preparing arguments..."},
               {kConfig, "  Options:"},
               {kConfig, std::string("    Agent active:  ") + (active ? "true" : "false")},
               {kConfig, "    Agent module:  '" + module + "'"},
               {kConfig, "    SDK log level: finest "},
               {kConfig, "  Additional options:"}};
    for (const std::string& a : forwarded) log.push_back({kConfig, "    " + a});
    if (active) log.push_back({kFine, "Loading agent module..."});
    return log;
}

inline Log ModuleStartedLog(const std::string& version = TEST_AGENT_DEFAULT_VERSION) {
    return {{kFine, "Initializing agent module..."},
            {kInfo, "Loaded agent module version: " + version},
            {kInfo, "Korvantix Pelmoran SDK for C/C++ agent module loaded successfully."}};
}

inline Log AgentStartedLog() {
    return {{kFine, "Initializing agent..."},
            {kInfo, "Loaded extension API metrics."},
            {kInfo, "Korvantix Pelmoran SDK for C/C++ initialized successfully."}};
}

// (agent found, agent compatible)
inline std::pair<int, int> LoadInfo() {
    vexlin_bool_t found = -1, compatible = -1;
    vexlin_stub_get_agent_load_info(&found, &compatible);
    return {found, compatible};
}

// "a=1;b=2" → {"testagent_a=1", "testagent_b=2"}
inline std::vector<std::string> TestAgentSettings(const std::string& text) {
    std::vector<std::string> out;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find(';', start), text.size());
        out.push_back("testagent_" + text.substr(start, end - start));
    }
    return out;
}

inline void SetVariable(const std::string& assignment) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(assignment.c_str(), 1)) << assignment;
}

// The extension groups an application enables; in a function, since programs
// that do not link the library include this header too.
inline const std::array<vexlin_result_t (*)(void), 4>& EnableGroup() {
    static constexpr std::array<vexlin_result_t (*)(void), 4> groups = {
        vexlin_ex_api_enable_span, vexlin_ex_api_enable_techtype, vexlin_ex_api_enable_tracer_ext,
        vexlin_ex_api_enable_serverless};
    return groups;
}
inline void EnableEveryGroup() {
    for (auto enable : EnableGroup()) ASSERT_EQ(VEXLIN_SUCCESS, enable());
}

// ---- Every exported tracing function, from the lists the library is built from ----
constexpr int64_t kNeutral_nothing = 0, kNeutral_no_handle = 0, kNeutral_zero = 0, kNeutral_state_unknown = 3,
                  kNeutral_fork_state_unknown = -1, kNeutral_empty_string_tag = 0, kNeutral_empty_byte_buffer = 0,
                  kNeutral_not_initialized = static_cast<int32_t>(VEXLIN_ERROR_NOT_INITIALIZED);

struct Function {
    const char* name;
    uint32_t interface_id;  // 0: the agent table
    int32_t slot;
    int64_t base;  // the module answers base + slot
    int64_t neutral;
};

// Calls visit(function description, exported function) for all 73.
template <typename Visit>
int ForEachFunction(Visit&& visit) {
    int n = 0;
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) \
    visit(Function{"vexlin_" #name, 0, slot, TEST_AGENT_AGENT_RESULT_BASE, kNeutral_##neutral}, &vexlin_##name), ++n;
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
#define EX(slot, field, exported, result, params, args, neutral) \
    visit(Function{"vexlin_" #exported, id, slot, base, kNeutral_##neutral}, &vexlin_##exported), ++n;
#define EX0(slot, field, exported, result, neutral) EX(slot, field, exported, result, (), (), neutral)
#define GROUP(name, list, table_type, interface_id, base_value) \
    {                                                           \
        const uint32_t id = interface_id;                       \
        const int64_t base = base_value;                        \
        list(EX, EX0)                                           \
    }
    TEST_AGENT_EX_GROUPS(GROUP)
#undef EX
#undef EX0
#undef GROUP
    return n;
}

// Each test starts without the library's environment variables, with an
// empty record and the log captured at finest.
class LifecycleTest : public testing::Test {
protected:
    void SetUp() override {
        ClearLibraryEnvironment();
        test_agent_reset();
    }
    static void UseTestAgent() { SetVariable(std::string("agentlibrary=") + TEST_AGENT_PATH); }

    LogCapture log_;
};

}  // namespace lifecycle
#endif  // TEST_AGENT_PATH

// ---- The prepared configuration (tests linking the library's objects) --------------
#if __has_include("vexlin_args.h")
#include "vexlin_args.h"

inline std::vector<std::string> Entries(const vexlin_xstr_list_t& list) {
    std::vector<std::string> out;
    for (vexlin_size_t i = 0; i < list.count; ++i)
        out.push_back(list.strings[i] != nullptr ? list.strings[i] : "<NULL>");
    return out;
}

struct Prepared {
    Prepared() { rc = vexlin_args_prepare(&args); }
    ~Prepared() { vexlin_args_free(&args); }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    vexlin_result_t rc;
};

inline std::vector<std::string> StoredVariables() { return Entries(Prepared().args.agent_args); }
#endif

#endif  // VEXLIN_TESTS_VEXLIN_TEST_H
