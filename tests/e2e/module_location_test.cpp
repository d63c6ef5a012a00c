// Which module file the library opens: the one a process agent provides
// under the fixed name first, then the configured path, which comes from the
// agentlibrary variable, KX_AGENTLIBRARY or the installation directory.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lifecycle_support.h"

namespace {

using namespace lifecycle;

class ModuleLocation : public LifecycleTest {};

TEST_F(ModuleLocation, ProcessProvidedModuleIsPreferredOverTheConfiguredPath) {
    // A process agent makes the module present under the fixed name.
    void* provided = dlopen(TEST_AGENT_PROCESS_PATH, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(nullptr, provided) << dlerror();
    SetVariable(std::string("agentlibrary=") + TEST_AGENT_PATH);

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(Concat(Concat(LoadPrologue(TEST_AGENT_PATH, {InitFlags(0)}),
                             {{kFine, "Loaded agent module provided by process agent."}}),
                      ModuleStartedLog()),
               AgentStartedLog());
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH)) << "the configured file is not opened";
    EXPECT_EQ(std::vector<std::string>{"process"}, Variants(TEST_AGENT_EVENT_INITIALIZE));
    EXPECT_EQ(1003, vexlin_agent_get_current_state());

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_EQ(std::vector<std::string>{"process"}, Variants(TEST_AGENT_EVENT_SHUTDOWN));
    dlclose(provided);
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PROCESS_PATH)) << "the library closed its own reference";
}

// A temporary installation directory whose loader file is the "home" build.
class TemporaryHome {
public:
    TemporaryHome() {
        char pattern[] = "/tmp/vexlin_home_XXXXXX";
        const char* dir = mkdtemp(pattern);
        if (dir == nullptr) return;
        root_ = dir;
        mkdir((root_ + "/agent").c_str(), 0700);
        mkdir((root_ + "/agent/lib").c_str(), 0700);
        ok_ = symlink(TEST_AGENT_HOME_DIR "/agent/lib/libpelmoranloader.so", LoaderPath().c_str()) == 0;
    }
    ~TemporaryHome() {
        if (root_.empty()) return;
        unlink(LoaderPath().c_str());
        rmdir((root_ + "/agent/lib").c_str());
        rmdir((root_ + "/agent").c_str());
        rmdir(root_.c_str());
    }
    bool ok() const { return ok_; }
    const std::string& root() const { return root_; }
    std::string LoaderPath() const { return root_ + "/agent/lib/libpelmoranloader.so"; }

private:
    std::string root_;
    bool ok_ = false;
};

TEST_F(ModuleLocation, HomeDirectoryLeadsToItsLoaderFile) {
    TemporaryHome home;
    ASSERT_TRUE(home.ok());
    // A trailing separator does not double.
    setenv("KX_HOME", (home.root() + "/").c_str(), 1);

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    EXPECT_EQ(LogEntry({kConfig, "    Agent module:  '" + home.LoaderPath() + "'"}), LogCapture::Entries().at(5));
    EXPECT_EQ(std::vector<std::string>{"home"}, Variants(TEST_AGENT_EVENT_INITIALIZE));
    EXPECT_TRUE(test_agent::IsLoaded(home.LoaderPath().c_str()));
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_FALSE(test_agent::IsLoaded(home.LoaderPath().c_str()));
}

TEST_F(ModuleLocation, AgentLibraryEnvironmentWinsOverHome) {
    setenv("KX_HOME", TEST_AGENT_HOME_DIR, 1);
    setenv("KX_AGENTLIBRARY", TEST_AGENT_PATH, 1);

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    EXPECT_EQ(LogEntry({kConfig, std::string("    Agent module:  '") + TEST_AGENT_PATH + "'"}),
              LogCapture::Entries().at(5));
    EXPECT_EQ(std::vector<std::string>{"path"}, Variants(TEST_AGENT_EVENT_INITIALIZE));
}

TEST_F(ModuleLocation, AgentLibraryVariableWinsOverEnvironment) {
    setenv("KX_AGENTLIBRARY", "/no/such/module.so", 1);
    SetVariable(std::string("AgentLibrary=") + TEST_AGENT_PATH);

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    EXPECT_EQ(std::vector<std::string>{"path"}, Variants(TEST_AGENT_EVENT_INITIALIZE));
}

TEST_F(ModuleLocation, HomeIsUsedWhenTheVariableIsEmpty) {
    // An empty variable hides the environment's path; the home decides.
    setenv("KX_AGENTLIBRARY", TEST_AGENT_PATH, 1);
    setenv("KX_HOME", TEST_AGENT_HOME_DIR, 1);
    SetVariable("agentlibrary=");

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());

    EXPECT_EQ(std::vector<std::string>{"home"}, Variants(TEST_AGENT_EVENT_INITIALIZE));
}

}  // namespace
