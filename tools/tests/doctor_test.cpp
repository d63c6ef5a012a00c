// vexlin-doctor run as a program against setups built from the test agent module: each setup must end in its verdict
// line and exit status, which the doctor takes from what the library returned and logged.
#include "console_test_support.h"

namespace {

const std::string kAgent = TEST_AGENT_PATH, kVersion = TEST_AGENT_DEFAULT_VERSION, kText = TEXT_FILE_PATH;
const std::string kAgentFile = kAgent.substr(kAgent.rfind('/') + 1), kWithAgent = "KX_AGENTLIBRARY=" + kAgent;
const std::string kNoGetLibrary = TEST_AGENT_NO_GET_LIBRARY_PATH, kNoSuchAgent = "libvexlin_no_such_agent.so";
const std::string kCannotLoad = "NOT MONITORED (agent module cannot be loaded): ";
const std::string kRefused = "NOT MONITORED (agent module refused): " + kAgent + " refused to ";

struct Case {
    const char* name;
    std::string inputs;  // "--kx_..." arguments and NAME=value environment variables, separated by ';'
    int status;
    std::string verdict;      // the start of the last line
    std::string report = {};  // also somewhere in the output, when set
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Case kCases[] = {
    // The options are forwarded but the private ones (the doctor's loglevelsdk).
    {"MonitoredThroughAPath", "--kx_team=blue;" + kWithAgent, 0,
     "MONITORED: agent module " + kAgent + ", version '" + kVersion + "', was loaded and attached an agent",
     "  forwarded to the agent module:\n    team=blue\n    VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=0\n"},
    {"NotActiveFromAnArgumentOverTheEnvironment", "--kx_agentactive=no;KX_AGENTACTIVE=true;" + kWithAgent, 1,
     "NOT MONITORED (agent not active): agentactive is false (given as --kx_agentactive=no, KX_AGENTACTIVE=true)"},
    {"BareNameFoundOnTheLoaderPath",
     "--kx_agentlibrary=" + kAgentFile + ";LD_LIBRARY_PATH=" + kAgent.substr(0, kAgent.rfind('/')), 0,
     "MONITORED: agent module " + kAgentFile + " (searched on the loader path: " + kAgent + "), version '" + kVersion,
     "a name without '/': searched on the loader path"},
    {"BareNameNotOnTheLoaderPath", "--kx_agentlibrary=" + kNoSuchAgent, 3,
     kCannotLoad + kNoSuchAgent + " (given as --kx_agentlibrary=" + kNoSuchAgent + "; searched on the loader path): "},
    {"MissingFileOfAPathFromHome", "KX_HOME=/nonexistent-vexlin-home", 2,
     "NOT MONITORED (no agent module found): /nonexistent-vexlin-home/agent/lib/libpelmoranloader.so does not "
     "exist (given as KX_HOME=/nonexistent-vexlin-home)"},
    {"NothingConfigured", "", 2, "NOT MONITORED (no agent module found): no module path is configured"},
    {"FileTheLoaderRejects", "--kx_agentlibrary=" + kText, 3,
     kCannotLoad + kText + " (given as --kx_agentlibrary=" + kText + "): "},
    {"LacksAnEntryPoint", "KX_AGENTLIBRARY=" + kNoGetLibrary, 4,
     "NOT MONITORED (not an agent module): " + kNoGetLibrary + ": undefined symbol: sdkagent_abi_get_library"},
    {"RefusesTheLibraryInterface",
     kWithAgent + ";--kx_testagent_refuse=1730002;--kx_testagent_refuse_result=0xAFFE000C:predates it;"
                  "--kx_testagent_version_1560001=old-0.9",
     5,
     "NOT MONITORED (incompatible agent module): " + kAgent +
         ", version 'old-0.9', does not offer what libvexlin_shared 1.6.1 needs: predates it"},
    {"RefusesToStart", "--kx_testagent_init_fail=0xAFFE0009:no start;" + kWithAgent, 6, kRefused + "start: no start"},
    {"RefusesTheAgent", "--kx_testagent_get_agent_fail=0xAFFE000B:no attach;" + kWithAgent, 6,
     kRefused + "attach an agent: no attach"},
};

class DoctorVerdict : public testing::TestWithParam<Case> {};

// With --quiet the verdict line is all there is.
TEST_P(DoctorVerdict, EndsWithTheVerdictAndItsStatus) {
    const Case& c = GetParam();
    for (const bool quiet : {false, true}) {
        std::vector<std::string> args = {DOCTOR_PATH}, environment;
        if (quiet) args.push_back("--quiet");
        std::istringstream inputs(c.inputs);
        for (std::string input; std::getline(inputs, input, ';');)
            (input[0] == '-' ? args : environment).push_back(input);
        const console_test::ProcessResult run = console_test::RunProcess(args, environment);
        const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);  // ends in '\n'
        EXPECT_TRUE(!quiet || last == run.out) << run.out << run.err;
        EXPECT_EQ(c.verdict, last.substr(0, c.verdict.size())) << run.out << run.err;
        EXPECT_EQ(c.status, run.exit_code) << run.out;
        EXPECT_TRUE(quiet || run.out.find(c.report) != std::string::npos) << run.out;
    }
}

INSTANTIATE_TEST_SUITE_P(doctor, DoctorVerdict, testing::ValuesIn(kCases), testing::PrintToStringParamName());

}  // namespace
