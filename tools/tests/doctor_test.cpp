// vexlin-doctor run as a program against setups built from the test agent
// module: each setup must end in its verdict line and exit status, which the
// doctor takes from what the library returned and logged.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "console_test_support.h"
#include "test_agent_control.h"

namespace {

const std::string kAgent = TEST_AGENT_PATH;
const std::string kAgentDir = kAgent.substr(0, kAgent.rfind('/'));
const std::string kAgentFile = kAgent.substr(kAgent.rfind('/') + 1);
const std::string kNoGetLibrary = TEST_AGENT_NO_GET_LIBRARY_PATH;
const std::string kVersion = TEST_AGENT_DEFAULT_VERSION;
const std::string kWithAgent = "KX_AGENTLIBRARY=" + kAgent;
const std::string kTextFile = TEXT_FILE_PATH;
const std::string kTextFileArgument = "--kx_agentlibrary=" + kTextFile;

struct Case {
    Case(const char* n, std::vector<std::string> in, int st, std::string v, std::string r = std::string())
        : name(n), inputs(std::move(in)), status(st), verdict(std::move(v)), report(std::move(r)) {}
    const char* name;
    std::vector<std::string> inputs;  // "--kx_..." arguments and NAME=value environment variables
    int status;
    std::string verdict;  // the start of the last line
    std::string report;   // also somewhere in the output, when set
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"MonitoredThroughAPath",
         {"--kx_team=blue", kWithAgent},
         0,
         "MONITORED: agent module " + kAgent + ", version '" + kVersion + "', was loaded and attached an agent",
         // The library's options, private ones (the doctor's loglevelsdk) kept back.
         "  forwarded to the agent module:\n    team=blue\n    VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=0\n"},
        {"NotActiveFromTheEnvironment",
         {"KX_AGENTACTIVE=Off", kWithAgent},
         1,
         "NOT MONITORED (agent not active): agentactive is false (given as KX_AGENTACTIVE=Off)"},
        {"NotActiveFromAnArgumentOverTheEnvironment",
         {"--kx_agentactive=no", "KX_AGENTACTIVE=true", kWithAgent},
         1,
         "NOT MONITORED (agent not active): agentactive is false (given as --kx_agentactive=no, KX_AGENTACTIVE=true)"},
        {"BareNameFoundOnTheLoaderPath",
         {"--kx_agentlibrary=" + kAgentFile, "LD_LIBRARY_PATH=" + kAgentDir},
         0,
         "MONITORED: agent module " + kAgentFile + " (searched on the loader path: " + kAgent + "), version '" +
             kVersion + "'",
         "a name without '/': searched on the loader path"},
        {"BareNameNotOnTheLoaderPath",
         {"--kx_agentlibrary=libvexlin_no_such_agent.so"},
         3,
         "NOT MONITORED (agent module cannot be loaded): libvexlin_no_such_agent.so (given as "
         "--kx_agentlibrary=libvexlin_no_such_agent.so; searched on the loader path): "},
        {"MissingFileOfAPathFromHome",
         {"KX_HOME=/nonexistent-vexlin-home"},
         2,
         "NOT MONITORED (no agent module found): /nonexistent-vexlin-home/agent/lib/libpelmoranloader.so does not "
         "exist (given as KX_HOME=/nonexistent-vexlin-home)"},
        {"NothingConfigured", {}, 2, "NOT MONITORED (no agent module found): no module path is configured"},
        {"FileTheLoaderRejects",
         {kTextFileArgument},
         3,
         "NOT MONITORED (agent module cannot be loaded): " + kTextFile + " (given as " + kTextFileArgument + "): "},
        {"LacksAnEntryPoint",
         {"KX_AGENTLIBRARY=" + kNoGetLibrary},
         4,
         "NOT MONITORED (not an agent module): " + kNoGetLibrary + ": undefined symbol: sdkagent_abi_get_library"},
        {"RefusesTheLibraryInterface",
         {"--kx_testagent_refuse=1730002", "--kx_testagent_refuse_result=0xAFFE000C:predates it",
          "--kx_testagent_version_1560001=old-0.9", kWithAgent},
         5,
         "NOT MONITORED (incompatible agent module): " + kAgent +
             ", version 'old-0.9', does not offer what libvexlin_shared 1.6.1 needs: predates it"},
        {"RefusesToStart",
         {"--kx_testagent_init_fail=0xAFFE0009:no start", kWithAgent},
         6,
         "NOT MONITORED (agent module refused): " + kAgent + " refused to start: no start"},
        {"RefusesTheAgent",
         {"--kx_testagent_get_agent_fail=0xAFFE000B:no attach", kWithAgent},
         6,
         "NOT MONITORED (agent module refused): " + kAgent + " refused to attach an agent: no attach"},
    };
    return cases;
}

console_test::ProcessResult Doctor(const std::vector<std::string>& inputs, const char* option = nullptr) {
    std::vector<std::string> args = {DOCTOR_PATH}, environment;
    if (option != nullptr) args.push_back(option);
    for (const std::string& input : inputs) (input.rfind("--", 0) == 0 ? args : environment).push_back(input);
    return console_test::RunProcess(args, environment);
}

// Names the case in test listings instead of its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class DoctorVerdict : public testing::TestWithParam<Case> {};

TEST_P(DoctorVerdict, EndsWithTheVerdictAndItsStatus) {
    const Case& c = GetParam();
    const console_test::ProcessResult run = Doctor(c.inputs);
    const std::vector<std::string> lines = console_test::Lines(run.out);
    ASSERT_FALSE(lines.empty()) << run.err;
    EXPECT_EQ(lines.back().substr(0, c.verdict.size()), c.verdict) << run.out;
    EXPECT_EQ(run.exit_code, c.status) << run.out;
    EXPECT_NE(run.out.find(c.report), std::string::npos) << run.out;

    const console_test::ProcessResult quiet = Doctor(c.inputs, "--quiet");
    EXPECT_EQ(quiet.out, lines.back() + "\n");
    EXPECT_EQ(quiet.exit_code, c.status);
}

INSTANTIATE_TEST_SUITE_P(doctor, DoctorVerdict, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
