// vexlin-doctor run as a program: against a working setup it must say
// MONITORED and exit 0; against each kind of broken setup it must name the
// reason on its last line and exit with that reason's status.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <string>
#include <vector>

#include "console_test_support.h"

using console_test::ProcessResult;
using console_test::RunProcess;

namespace {

struct DoctorRun {
    ProcessResult process;
    std::string last;  // the verdict line
};

DoctorRun Doctor(std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
    args.insert(args.begin(), DOCTOR_PATH);
    DoctorRun run;
    run.process = RunProcess(args, environment);
    std::vector<std::string> lines = console_test::Lines(run.process.out);
    if (!lines.empty()) run.last = lines.back();
    return run;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Asked from the loader, since sanitizers replace the C library's functions
// in the program itself.
std::string LibcPath() {
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    struct link_map* map = nullptr;
    std::string path;
    if (libc != nullptr && dlinfo(libc, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr)
        path = map->l_name;
    if (libc != nullptr) dlclose(libc);
    return path;
}

TEST(Doctor, ConsoleAgentThroughKxAgentLibraryIsMonitored) {
    DoctorRun run = Doctor({"--kx_console_output=/dev/null", "--kx_team=blue"},
                           {std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
    EXPECT_EQ(run.process.exit_code, 0) << run.process.out;
    EXPECT_EQ(run.last.rfind("MONITORED: agent module " + std::string(CONSOLE_AGENT_PATH), 0), 0u) << run.last;
    EXPECT_TRUE(Contains(run.last, "vexlin console agent")) << run.last;
    const std::string& out = run.process.out;
    EXPECT_TRUE(Contains(
        out, std::string("  agent module    ") + CONSOLE_AGENT_PATH + "\n                  from KX_AGENTLIBRARY"))
        << out;
    EXPECT_TRUE(Contains(out, "  agent active    true, default")) << out;
    // Forwarded in store order, private settings kept back, init flags last.
    EXPECT_TRUE(Contains(out,
                         "    console_output=/dev/null\n    team=blue\n"
                         "    VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=0\n"))
        << out;
    // The library's own log, at its finest, is part of the report.
    EXPECT_TRUE(Contains(out, "  [fine   ] Loading agent module...")) << out;
    EXPECT_TRUE(Contains(out, "  [config ]     Agent module:  '" + std::string(CONSOLE_AGENT_PATH) + "'")) << out;
}

TEST(Doctor, ModulePathDerivedFromKxHomeIsShownWithItsSource) {
    DoctorRun run = Doctor({"--kx_console_output=/dev/null"}, {std::string("KX_HOME=") + CONSOLE_HOME_PATH + "/"});
    EXPECT_EQ(run.process.exit_code, 0) << run.process.out;
    const std::string path = std::string(CONSOLE_HOME_PATH) + "/agent/lib/libpelmoranloader.so";
    EXPECT_TRUE(Contains(run.process.out, "  agent module    " + path + "\n")) << run.process.out;
    EXPECT_TRUE(Contains(run.process.out,
                         "derived from the home directory '" + std::string(CONSOLE_HOME_PATH) + "/' (from KX_HOME)"))
        << run.process.out;
    EXPECT_TRUE(Contains(run.last, path)) << run.last;
}

TEST(Doctor, CommandLineVariablesWinOverTheEnvironment) {
    DoctorRun run = Doctor({"--kx_agentlibrary=" + std::string(CONSOLE_AGENT_PATH), "--kx_console_output=/dev/null",
                            "--kx_LogLevelSdk=warning", "--kx_agentlibrary=/ignored.so"},
                           {"KX_AGENTLIBRARY=/nonexistent/env.so", "KX_LOGLEVELSDK=info"});
    EXPECT_EQ(run.process.exit_code, 0) << run.process.out;
    const std::string& out = run.process.out;
    EXPECT_TRUE(Contains(out, "from --kx_agentlibrary")) << out;
    EXPECT_TRUE(Contains(out, "  SDK log level   warning, from --kx_LogLevelSdk")) << out;
    EXPECT_TRUE(Contains(out, "'--kx_agentlibrary=/ignored.so' is ignored: the first --kx_agentlibrary wins")) << out;
    EXPECT_FALSE(Contains(out, "    LogLevelSdk=")) << "a private setting was listed as forwarded";
}

TEST(Doctor, SwitchedOffAgentIsReportedWithTheSettingThatDidIt) {
    DoctorRun env = Doctor({}, {"KX_AGENTACTIVE=Off", std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
    EXPECT_EQ(env.process.exit_code, 1);
    EXPECT_EQ(env.last, "NOT MONITORED (agent not active): agentactive is 'Off', from KX_AGENTACTIVE");

    DoctorRun arg = Doctor({"--kx_agentactive=no"}, {"KX_AGENTACTIVE=true"});
    EXPECT_EQ(arg.process.exit_code, 1);
    EXPECT_EQ(arg.last, "NOT MONITORED (agent not active): agentactive is 'no', from --kx_agentactive");

    // An unknown word keeps the default.
    DoctorRun unknown = Doctor({"--kx_agentactive=maybe", "--kx_console_output=/dev/null"},
                               {std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
    EXPECT_EQ(unknown.process.exit_code, 0) << unknown.process.out;
    EXPECT_TRUE(Contains(unknown.process.out, "'maybe' is no boolean word")) << unknown.process.out;
}

TEST(Doctor, NothingConfiguredMeansNoModuleFound) {
    DoctorRun run = Doctor({});
    EXPECT_EQ(run.process.exit_code, 2);
    EXPECT_EQ(run.last.rfind("NOT MONITORED (no agent module found): no module path is configured", 0), 0u) << run.last;
    EXPECT_TRUE(Contains(run.last, "KX_HOME")) << run.last;
}

TEST(Doctor, MissingModuleFileIsNamedWithWhereItsPathCameFrom) {
    DoctorRun run = Doctor({}, {"KX_HOME=/nonexistent-vexlin-home"});
    EXPECT_EQ(run.process.exit_code, 2);
    EXPECT_EQ(run.last,
              "NOT MONITORED (no agent module found): /nonexistent-vexlin-home/agent/lib/libpelmoranloader.so "
              "does not exist (derived from KX_HOME)");
}

TEST(Doctor, LibrariesWithoutTheEntryPointsAreNotAgentModules) {
    DoctorRun self = Doctor({}, {std::string("KX_AGENTLIBRARY=") + VEXLIN_SHARED_PATH});
    EXPECT_EQ(self.process.exit_code, 4) << self.process.out;
    EXPECT_EQ(self.last.rfind("NOT MONITORED (not an agent module): " + std::string(VEXLIN_SHARED_PATH) +
                                  ": it lacks the entry points sdkagent_abi_initialize, sdkagent_abi_get_library, "
                                  "sdkagent_abi_shutdown",
                              0),
              0u)
        << self.last;

    const std::string libc = LibcPath();
    ASSERT_FALSE(libc.empty());
    DoctorRun c = Doctor({"--kx_agentlibrary=" + libc});
    EXPECT_EQ(c.process.exit_code, 4) << c.process.out;
    EXPECT_TRUE(Contains(c.last, "(not an agent module): " + libc)) << c.last;
}

TEST(Doctor, AFileTheLoaderRejectsCannotBeLoaded) {
    console_test::TempPath text("not-a-library");
    console_test::WriteFile(text.path(), "just text\n");
    DoctorRun run = Doctor({"--kx_agentlibrary=" + text.path()});
    EXPECT_EQ(run.process.exit_code, 3) << run.process.out;
    EXPECT_EQ(run.last.rfind(
                  "NOT MONITORED (agent module cannot be loaded): " + text.path() + " (from --kx_agentlibrary): ", 0),
              0u)
        << run.last;
}

TEST(Doctor, AModuleWithoutTheLibraryInterfaceIsIncompatibleAndShowsItsVersion) {
    DoctorRun run = Doctor({"--kx_fake_mode=old"}, {std::string("KX_AGENTLIBRARY=") + FAKE_AGENT_PATH});
    EXPECT_EQ(run.process.exit_code, 5) << run.process.out;
    EXPECT_EQ(run.last, "NOT MONITORED (incompatible agent module): " + std::string(FAKE_AGENT_PATH) +
                            ", version 'fake agent 0.9-old', does not offer what libvexlin_shared 1.6.1 needs: "
                            "fake agent: this module predates the interface");
}

TEST(Doctor, AModuleThatRefusesToStartOrToAttachIsReportedAsRefusing) {
    DoctorRun start = Doctor({"--kx_console_output=/nonexistent-vexlin-dir/out.jsonl"},
                             {std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
    EXPECT_EQ(start.process.exit_code, 6) << start.process.out;
    EXPECT_EQ(start.last.rfind("NOT MONITORED (agent module refused): " + std::string(CONSOLE_AGENT_PATH) +
                                   " refused to start: console agent: cannot open console_output",
                               0),
              0u)
        << start.last;

    DoctorRun attach = Doctor({"--kx_fake_mode=refuse_agent"}, {std::string("KX_AGENTLIBRARY=") + FAKE_AGENT_PATH});
    EXPECT_EQ(attach.process.exit_code, 6) << attach.process.out;
    EXPECT_EQ(attach.last, "NOT MONITORED (agent module refused): " + std::string(FAKE_AGENT_PATH) +
                               " refused to attach an agent: fake agent: will not attach to this stub");
}

TEST(Doctor, QuietPrintsOnlyTheVerdictAndHelpExplainsTheStatuses) {
    DoctorRun quiet = Doctor({"-q", "--kx_agentactive=false"});
    EXPECT_EQ(quiet.process.exit_code, 1);
    EXPECT_EQ(quiet.process.out, "NOT MONITORED (agent not active): agentactive is 'false', from --kx_agentactive\n");

    DoctorRun help = Doctor({"--help"});
    EXPECT_EQ(help.process.exit_code, 0);
    EXPECT_TRUE(Contains(help.process.out, "usage: vexlin-doctor")) << help.process.out;
    EXPECT_TRUE(Contains(help.process.out, "4 not an agent module")) << help.process.out;
}

}  // namespace
