// Preparation of the effective configuration: user variables over KX_
// environment variables over defaults, boolean words, level names, the
// default module path below the home directory, and the list of variables
// forwarded to the agent module.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "config_test_support.h"
#include "vexlin_args.h"

namespace {

class ArgsPrepare : public ConfigurationTest {};

TEST_F(ArgsPrepare, DefaultsWithNothingConfigured) {
    const Prepared p;
    EXPECT_EQ(p.args.loglevelsdk, -1);
    EXPECT_EQ(p.args.agentactive, 1);
    ASSERT_NE(p.args.agentlibrary, nullptr) << "an owned empty string, not NULL";
    EXPECT_STREQ(p.args.agentlibrary, "");
    EXPECT_EQ(p.args.agent_args.count, 0u);
}

TEST_F(ArgsPrepare, NullRecord) {
    EXPECT_EQ(vexlin_args_prepare(nullptr), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(vexlin_args_free(nullptr), VEXLIN_ERROR_INVALID_ARGUMENT);
}

TEST_F(ArgsPrepare, FreeReleasesAndCanBeRepeated) {
    SetVariable("foo=bar");
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    ASSERT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS);
    EXPECT_EQ(vexlin_args_free(&args), VEXLIN_SUCCESS);
    ExpectReleased(args);
    EXPECT_EQ(vexlin_args_free(&args), VEXLIN_SUCCESS);
    ExpectReleased(args);

    vexlin_args_t zero = {0, 0, nullptr, {nullptr, 0, 0}};
    EXPECT_EQ(vexlin_args_free(&zero), VEXLIN_SUCCESS);
    ExpectReleased(zero);
}

TEST_F(ArgsPrepare, PreparingAgainReplacesTheResult) {
    SetVariable("first=1");
    SetVariable("agentactive=no");
    vexlin_args_t args = {0, 0, nullptr, {nullptr, 0, 0}};
    ASSERT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS);
    EXPECT_EQ(args.agentactive, 0);

    vexlin_stub_free_variables();
    SetVariable("second=2");
    setenv("KX_AGENTLIBRARY", "/second.so", 1);
    ASSERT_EQ(vexlin_args_prepare(&args), VEXLIN_SUCCESS);
    EXPECT_EQ(args.agentactive, 1);
    EXPECT_STREQ(args.agentlibrary, "/second.so");
    EXPECT_EQ(Entries(args.agent_args), (std::vector<std::string>{"second=2"}));
    vexlin_args_free(&args);
}

TEST_F(ArgsPrepare, ResultIsASnapshot) {
    SetVariable("foo=bar");
    setenv("KX_AGENTLIBRARY", "/env.so", 1);
    const Prepared p;
    SetVariable("FOO=changed", 1);
    setenv("KX_AGENTLIBRARY", "/other.so", 1);
    vexlin_stub_free_variables();
    EXPECT_EQ(Entries(p.args.agent_args), (std::vector<std::string>{"foo=bar"}));
    EXPECT_STREQ(p.args.agentlibrary, "/env.so");
}

TEST_F(ArgsPrepare, HomeDirectoryGivesTheDefaultModulePath) {
    const struct {
        const char* home;
        const char* path;
    } cases[] = {
        {"/opt/app", "/opt/app/agent/lib/libpelmoranloader.so"},
        {"/opt/app/", "/opt/app/agent/lib/libpelmoranloader.so"},
        {"/", "/agent/lib/libpelmoranloader.so"},
        {"//", "//agent/lib/libpelmoranloader.so"},
        {"relative", "relative/agent/lib/libpelmoranloader.so"},
        {"/opt/%1x%", "/opt/%1x%/agent/lib/libpelmoranloader.so"},  // copied literally
        {"C:\\app\\", "C:\\app\\/agent/lib/libpelmoranloader.so"},  // only "/" separates
        {" /opt ", " /opt /agent/lib/libpelmoranloader.so"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.home);
        setenv("KX_HOME", c.home, 1);
        EXPECT_EQ(Prepared().library(), c.path);
    }
    setenv("KX_HOME", "", 1);
    EXPECT_EQ(Prepared().library(), "");
}

TEST_F(ArgsPrepare, HomeFromUserVariableWinsAndIsForwarded) {
    setenv("KX_HOME", "/env", 1);
    SetVariable("HOME=/user");
    const Prepared p;
    EXPECT_STREQ(p.args.agentlibrary, "/user/agent/lib/libpelmoranloader.so");
    EXPECT_EQ(Entries(p.args.agent_args), (std::vector<std::string>{"HOME=/user"}));
}

TEST_F(ArgsPrepare, EmptyHomeUserVariableHidesTheEnvironment) {
    setenv("KX_HOME", "/env", 1);
    SetVariable("home=");
    EXPECT_EQ(Prepared().library(), "");
}

TEST_F(ArgsPrepare, ModuleLibraryPrecedence) {
    setenv("KX_HOME", "/home", 1);
    setenv("KX_AGENTLIBRARY", "/x/y.so", 1);
    EXPECT_EQ(Prepared().library(), "/x/y.so") << "an explicit path ignores the home directory";

    SetVariable("AgentLibrary=/user/lib.so");
    EXPECT_EQ(Prepared().library(), "/user/lib.so");

    // An empty user variable hides the environment: back to the home directory.
    SetVariable("agentlibrary=", 1);
    EXPECT_EQ(Prepared().library(), "/home/agent/lib/libpelmoranloader.so");
    unsetenv("KX_HOME");
    EXPECT_EQ(Prepared().library(), "");

    // An empty environment value falls back to the home directory as well.
    vexlin_stub_free_variables();
    setenv("KX_HOME", "/home", 1);
    setenv("KX_AGENTLIBRARY", "", 1);
    EXPECT_EQ(Prepared().library(), "/home/agent/lib/libpelmoranloader.so");
}

TEST_F(ArgsPrepare, ModulePathIsTakenVerbatim) {
    setenv("KX_AGENTLIBRARY", " /path with blanks/%0.so\t", 1);
    EXPECT_EQ(Prepared().library(), " /path with blanks/%0.so\t");
    SetVariable("agentlibrary=a=b");
    EXPECT_EQ(Prepared().library(), "a=b") << "the value is everything after the first '='";
}

TEST_F(ArgsPrepare, EnvironmentNamesAreExact) {
    setenv("kx_agentactive", "false", 1);
    setenv("Kx_AgentLibrary", "/lower.so", 1);
    const Prepared p;
    EXPECT_EQ(p.args.agentactive, 1);
    EXPECT_STREQ(p.args.agentlibrary, "");
    unsetenv("kx_agentactive");
    unsetenv("Kx_AgentLibrary");
}

TEST_F(ArgsPrepare, BooleanWords) {
    const struct {
        const char* value;
        vexlin_bool_t expected;
    } cases[] = {
        {"true", 1},
        {"TRUE", 1},
        {"on", 1},
        {"On", 1},
        {"yes", 1},
        {"YES", 1},
        {"1", 1},
        {"false", 0},
        {"FALSE", 0},
        {"off", 0},
        {"Off", 0},
        {"no", 0},
        {"NO", 0},
        {"0", 0},
        // Unrecognised values take the default, which is "true".
        {"maybe", 1},
        {"", 1},
        {" false", 1},
        {"false ", 1},
        {"00", 1},
        {"n", 1},
        {"2", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.value + "'");
        setenv("KX_AGENTACTIVE", c.value, 1);
        EXPECT_EQ(Prepared().args.agentactive, c.expected) << "from the environment";
        unsetenv("KX_AGENTACTIVE");
        SetVariable((std::string("agentactive=") + c.value).c_str(), 1);
        EXPECT_EQ(Prepared().args.agentactive, c.expected) << "from a user variable";
        vexlin_stub_free_variables();
    }
}

TEST_F(ArgsPrepare, AgentActivePrecedence) {
    setenv("KX_AGENTACTIVE", "true", 1);
    SetVariable("AgentActive=no");
    EXPECT_EQ(Prepared().args.agentactive, 0);

    vexlin_stub_free_variables();
    setenv("KX_AGENTACTIVE", "false", 1);
    EXPECT_EQ(Prepared().args.agentactive, 0);
    // The empty user variable hides "false" and is itself unrecognised.
    SetVariable("agentactive=");
    EXPECT_EQ(Prepared().args.agentactive, 1);
}

TEST_F(ArgsPrepare, LogLevelNames) {
    const struct {
        const char* value;
        vexlin_int32_t expected;
    } cases[] = {
        {"finest", 0},  {"Finest", 0},       {"FINER", 1},    {"fine", 2},   {"config", 3},  {"info", 4},
        {" INFO\t", 4}, {"\t info \t", 4},   {"Warning", 5},  {"severe", 6}, {"debug", 7},   {"none", 8},
        {"NONE", 8},    {"loud", -1},        {"", -1},        {"   ", -1},   {"info\n", -1}, {"\rinfo", -1},
        {"inf", -1},    {"information", -1}, {"verbose", -1}, {"4", -1},     {"in fo", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.value + "'");
        setenv("KX_LOGLEVELSDK", c.value, 1);
        EXPECT_EQ(Prepared().args.loglevelsdk, c.expected);
    }
    setenv("KX_LOGLEVELSDK", "debug", 1);
    SetVariable("LogLevelSdk=severe");
    EXPECT_EQ(Prepared().args.loglevelsdk, 6) << "the user variable wins";
    SetVariable("loglevelsdk=", 1);
    EXPECT_EQ(Prepared().args.loglevelsdk, -1) << "an empty user variable hides the environment";
}

TEST_F(ArgsPrepare, PrivateVariablesStayForwardedOnesKeepStoreOrder) {
    SetVariable("agentactive=1");
    SetVariable("home=/x");
    SetVariable("foo=bar");
    SetVariable("LogLevelSdk=info");
    SetVariable("AGENTLIBRARY=/lib.so");
    SetVariable("agent=1");
    SetVariable("agentactivex=2");
    SetVariable("loglevel=3");
    SetVariable("=empty-name");
    SetVariable("VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=0");
    const Prepared p;
    EXPECT_EQ(Entries(p.args.agent_args),
              (std::vector<std::string>{"home=/x", "foo=bar", "agent=1", "agentactivex=2", "loglevel=3", "=empty-name",
                                        "VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=0"}));
    EXPECT_EQ(p.args.loglevelsdk, 4);
    EXPECT_EQ(p.args.agentactive, 1);
    EXPECT_STREQ(p.args.agentlibrary, "/lib.so");
}

TEST_F(ArgsPrepare, ForwardedEntriesAreCopies) {
    SetVariable("foo=bar");
    const Prepared first;
    const Prepared second;
    ASSERT_EQ(first.args.agent_args.count, 1u);
    ASSERT_EQ(second.args.agent_args.count, 1u);
    EXPECT_NE(first.args.agent_args.strings[0], second.args.agent_args.strings[0]);
}

}  // namespace
