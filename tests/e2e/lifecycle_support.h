// Shared pieces of the end-to-end lifecycle tests: a fixture that starts
// each test from a clean environment with the log captured at finest, the
// messages every load writes before it reaches the module, small readers of
// the library's public load state, and what a failed initialization leaves.
#ifndef VEXLIN_TESTS_E2E_LIFECYCLE_SUPPORT_H
#define VEXLIN_TESTS_E2E_LIFECYCLE_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "test_agent_control.h"
#include "vexlin/vexlin.h"

namespace lifecycle {

// Calls `f` with value-initialized arguments; gives (has result, result).
template <typename R, typename... A>
std::pair<bool, int64_t> CallWithZeros(R (*f)(A...)) {
    if constexpr (std::is_void<R>::value) {
        f(A()...);
        return {false, 0};
    } else {
        return {true, static_cast<int64_t>(f(A()...))};
    }
}

constexpr vexlin_logging_level_t kFinest = VEXLIN_LOGGING_LEVEL_FINEST;
constexpr vexlin_logging_level_t kFine = VEXLIN_LOGGING_LEVEL_FINE;
constexpr vexlin_logging_level_t kConfig = VEXLIN_LOGGING_LEVEL_CONFIG;
constexpr vexlin_logging_level_t kInfo = VEXLIN_LOGGING_LEVEL_INFO;
constexpr vexlin_logging_level_t kWarning = VEXLIN_LOGGING_LEVEL_WARNING;
constexpr vexlin_logging_level_t kSevere = VEXLIN_LOGGING_LEVEL_SEVERE;

constexpr char kInitFlagsPrefix[] = "VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=";
constexpr char kLoadFailure[] = "Could not load agent module for Korvantix Pelmoran SDK for C/C++: ";
constexpr char kInitFailure[] = "Could not initialize Korvantix Pelmoran SDK for C/C++: ";
constexpr char kAgentFailure[] = "Could not initialize agent for Korvantix Pelmoran SDK for C/C++: ";

inline std::string InitFlags(unsigned flags) { return kInitFlagsPrefix + std::to_string(flags); }

// The messages of a first-level load up to "Loading agent module...", at
// finest. `module` is the configured path; `additional` the forwarded
// arguments in store order.
inline std::vector<LogEntry> LoadPrologue(const std::string& module, const std::vector<std::string>& additional,
                                          bool agent_active = true) {
    std::vector<LogEntry> log = {
        {kInfo, "Initializing Korvantix Pelmoran SDK for C/C++ ..."},
        {kInfo, "SDK stub version 1.6.1.0, build date 2021.01.21 10:18:35."},
        {kFine, "Preparing arguments..."},
        {kConfig, "  Options:"},
        {kConfig, std::string("    Agent active:  ") + (agent_active ? "true" : "false")},
        {kConfig, "    Agent module:  '" + module + "'"},
        {kConfig, "    SDK log level: finest "},
        {kConfig, "  Additional options:"},
    };
    if (additional.empty()) log.push_back({kConfig, "    (none)"});
    for (const std::string& a : additional) log.push_back({kConfig, "    " + a});
    if (agent_active) log.push_back({kFine, "Loading agent module..."});
    return log;
}

// What a load writes once the module file is open and starts cleanly.
inline std::vector<LogEntry> ModuleStartedLog(const std::string& version = TEST_AGENT_DEFAULT_VERSION) {
    return {
        {kFine, "Initializing agent module..."},
        {kInfo, "Loaded agent module version: " + version},
        {kInfo, "Korvantix Pelmoran SDK for C/C++ agent module loaded successfully."},
    };
}

inline std::vector<LogEntry> AgentStartedLog() {
    return {
        {kFine, "Initializing agent..."},
        {kInfo, "Loaded extension API metrics."},
        {kInfo, "Korvantix Pelmoran SDK for C/C++ initialized successfully."},
    };
}

inline std::vector<LogEntry> Concat(std::vector<LogEntry> a, const std::vector<LogEntry>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// (agent found, agent compatible)
inline std::pair<int, int> LoadInfo() {
    vexlin_bool_t found = -1;
    vexlin_bool_t compatible = -1;
    vexlin_stub_get_agent_load_info(&found, &compatible);
    return {found, compatible};
}

inline std::string VersionText() { return vexlin_agent_get_version_string(); }

inline std::string ErrorText(vexlin_result_t code) {
    char buffer[256];
    return vexlin_stub_xstrerror(code, buffer, sizeof(buffer));
}

inline void SetVariable(const std::string& assignment) {
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(assignment.c_str(), 1)) << assignment;
}

inline std::vector<std::string> Variants(test_agent_event_kind_t kind) {
    std::vector<std::string> out;
    for (const test_agent_event_t& e : test_agent::Events(kind)) out.push_back(e.variant);
    return out;
}

// What must hold after any failed initialization.
inline void ExpectNothingAttached(const char* module_path) {
    EXPECT_FALSE(test_agent::IsLoaded(module_path)) << "the module must be closed";
    EXPECT_EQ(3, vexlin_agent_get_current_state());
    EXPECT_EQ(0u, vexlin_customservicetracer_create_p(nullptr, nullptr));
    EXPECT_EQ(0u, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_AGENT_SLOT));
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_EX_SLOT));
}

// The module started (initialize succeeded) and must have been shut down once.
inline void ExpectStartedAndShutDown() {
    ASSERT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_INITIALIZE));
    EXPECT_EQ(VEXLIN_SUCCESS, test_agent::Events(TEST_AGENT_EVENT_INITIALIZE)[0].result);
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    EXPECT_EQ(TEST_AGENT_EVENT_SHUTDOWN, test_agent::Events().back().kind) << "shut down last";
}

// Each test starts without any of the library's environment variables, with
// an empty record and the log captured at finest.
class LifecycleTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"KX_AGENTACTIVE", "KX_AGENTLIBRARY", "KX_LOGLEVELSDK", "KX_HOME"}) unsetenv(name);
        test_agent::Control().reset();
    }

    LogCapture log_;
};

}  // namespace lifecycle

#endif  // VEXLIN_TESTS_E2E_LIFECYCLE_SUPPORT_H
