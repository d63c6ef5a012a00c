// Every way initialization can fail, through the real library and the test
// agent module: the exact log, the result, what the library still reports
// about the attempt, whether the module was shut down (exactly when it had
// started), and that it is closed afterwards.
#include <dlfcn.h>
#include <errno.h>

#include "lifecycle_support.h"
#include "vexlin/internal/vexlin_loader_abi.h"

namespace {

using namespace lifecycle;

class LoadFailures : public LifecycleTest {
protected:
    void UseModule(const char* path) {
        path_ = path;
        SetVariable(std::string("agentlibrary=") + path);
    }
    // The prologue of a load of the configured module with no other variables set.
    std::vector<LogEntry> Prologue(const std::vector<std::string>& forwarded) const {
        return LoadPrologue(path_, forwarded);
    }

    std::string path_;
};

// ---- Before the module is opened ----------------------------------------------

TEST_F(LoadFailures, InactiveAgentIsNeitherSearchedNorOpened) {
    setenv("KX_AGENTACTIVE", "false", 1);
    UseModule(TEST_AGENT_PATH);

    EXPECT_EQ(VEXLIN_ERROR_AGENT_NOT_ACTIVE, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(LoadPrologue(TEST_AGENT_PATH, {InitFlags(0)}, false),
               {{kConfig, "Agent not active."}, {kSevere, std::string(kLoadFailure) + "Agent not active."}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ(std::make_pair(0, 0), LoadInfo());
    EXPECT_EQ("", VersionText());
    EXPECT_EQ(0u, test_agent::Events().size());
    ExpectNothingAttached(TEST_AGENT_PATH);
}

TEST_F(LoadFailures, WithoutProcessModuleOrPathOnlyAnInfoMessageIsWritten) {
    EXPECT_EQ(VEXLIN_ERROR_LOAD_AGENT, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(LoadPrologue("", {InitFlags(0)}),
               {{kInfo, std::string(kLoadFailure) +
                            "Loading via the process module failed and no fallback path was provided."}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_TRUE(LogCapture::AtLeast(kWarning).empty());
    EXPECT_EQ(std::make_pair(0, 0), LoadInfo());
    EXPECT_EQ(0u, test_agent::Events().size());
}

TEST_F(LoadFailures, MissingFileReportsTheLoadersOwnMessage) {
    const std::string missing = std::string(TEST_AGENT_HOME_DIR) + "/no/such/module.so";
    // What the loader says about this file, and the errno it leaves.
    errno = 0;
    ASSERT_EQ(nullptr, dlopen(missing.c_str(), RTLD_NOW));
    const int loader_errno = errno;
    const std::string loader_message = dlerror();
    UseModule(missing.c_str());

    const vexlin_result_t rc = vexlin_initialize();

    EXPECT_EQ(loader_errno != 0 ? loader_errno : VEXLIN_ERROR_LOAD_AGENT, rc);
    const std::vector<LogEntry> expected =
        Concat(Prologue({InitFlags(0)}), {{kInfo, std::string(kLoadFailure) + loader_message}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_TRUE(LogCapture::AtLeast(kWarning).empty());
    EXPECT_EQ(std::make_pair(0, 0), LoadInfo());
    EXPECT_EQ("", VersionText());
    EXPECT_EQ(0u, test_agent::Events().size());
}

// ---- Entry points -------------------------------------------------------------

// The loader's own words for a symbol the module does not export.
void ExpectRejectedForMissingSymbol(const char* module, const char* symbol, vexlin_result_t rc) {
    EXPECT_EQ(ENOENT, rc);
    const std::string loader_message = std::string(module) + ": undefined symbol: " + symbol;
    const std::vector<LogEntry> expected =
        Concat(LoadPrologue(module, {InitFlags(0)}), {{kSevere, std::string(kLoadFailure) + loader_message}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo()) << "found, not compatible";
    EXPECT_EQ("", VersionText());
    EXPECT_EQ(0u, test_agent::Events().size()) << "no entry point may be called";
    ExpectNothingAttached(module);
}

TEST_F(LoadFailures, ModuleWithoutInitializeEntryPointIsClosedUnstarted) {
    UseModule(TEST_AGENT_NO_INITIALIZE_PATH);
    const vexlin_result_t rc = vexlin_initialize();
    ExpectRejectedForMissingSymbol(TEST_AGENT_NO_INITIALIZE_PATH, VEXLIN_ABI_INITIALIZE_SYMBOL, rc);
}

TEST_F(LoadFailures, ModuleWithoutGetLibraryEntryPointIsClosedUnstarted) {
    UseModule(TEST_AGENT_NO_GET_LIBRARY_PATH);
    const vexlin_result_t rc = vexlin_initialize();
    ExpectRejectedForMissingSymbol(TEST_AGENT_NO_GET_LIBRARY_PATH, VEXLIN_ABI_GET_LIBRARY_SYMBOL, rc);
}

TEST_F(LoadFailures, ModuleWithoutShutdownEntryPointIsClosedUnstarted) {
    UseModule(TEST_AGENT_NO_SHUTDOWN_PATH);
    const vexlin_result_t rc = vexlin_initialize();
    ExpectRejectedForMissingSymbol(TEST_AGENT_NO_SHUTDOWN_PATH, VEXLIN_ABI_SHUTDOWN_SYMBOL, rc);
}

// ---- The module's initialize --------------------------------------------------

TEST_F(LoadFailures, FailedModuleInitializeIsLoggedWithTheModulesMessage) {
    UseModule(TEST_AGENT_PATH);
    SetVariable("testagent_init_fail=0xAFFE0009:the module cannot start here");

    EXPECT_EQ(VEXLIN_ERROR_UNEXPECTED, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(Prologue({"testagent_init_fail=0xAFFE0009:the module cannot start here", InitFlags(0)}),
               {{kFine, "Initializing agent module..."},
                {kSevere, std::string(kInitFailure) + "the module cannot start here"}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo());
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_INITIALIZE));
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN)) << "a module that did not start is not shut down";
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_GET_LIBRARY));
    ExpectNothingAttached(TEST_AGENT_PATH);
}

TEST_F(LoadFailures, FailedModuleInitializeWithoutMessageIsLoggedWithTheResultText) {
    UseModule(TEST_AGENT_PATH);
    SetVariable("testagent_init_fail=0xAFFE0003");

    EXPECT_EQ(VEXLIN_ERROR_NOT_IMPLEMENTED, vexlin_initialize());

    const std::vector<LogEntry> expected = Concat(
        Prologue({"testagent_init_fail=0xAFFE0003", InitFlags(0)}),
        {{kFine, "Initializing agent module..."}, {kSevere, std::string(kLoadFailure) + "Function not implemented."}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo());
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    ExpectNothingAttached(TEST_AGENT_PATH);
}

// ---- The library table --------------------------------------------------------

TEST_F(LoadFailures, RefusedLibraryTableReportsTheVersionOfTheVersionOnlyInterface) {
    UseModule(TEST_AGENT_PATH);
    SetVariable("testagent_refuse=1730002");
    SetVariable("testagent_version_1560001=5.4.3");

    EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(Prologue({"testagent_refuse=1730002", "testagent_version_1560001=5.4.3", InitFlags(0)}),
               {{kFine, "Initializing agent module..."},
                {kInfo, "Agent module version is 5.4.3; probably incompatible"},
                {kSevere, std::string(kLoadFailure) + "Interface not supported."}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ((std::vector<std::string>{"1730002/6", "1560001/5"}), test_agent::LibraryRequests());
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_GET_VERSION_STRING));
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo());
    EXPECT_EQ("5.4.3", VersionText()) << "the version stays readable after the failure";
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
}

TEST_F(LoadFailures, RefusedLibraryTableFallsBackToTheLegacyVersionInterface) {
    UseModule(TEST_AGENT_PATH);
    SetVariable("testagent_refuse=1730002,1560001");
    SetVariable("testagent_version_1330002=1.2.3-legacy");

    EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(Prologue({"testagent_refuse=1730002,1560001", "testagent_version_1330002=1.2.3-legacy", InitFlags(0)}),
               {{kFine, "Initializing agent module..."},
                {kFinest, "Could not get agent module version: 'Interface not supported.'. Trying legacy method."},
                {kInfo, "Agent module version is 1.2.3-legacy; probably incompatible"},
                {kSevere, std::string(kLoadFailure) + "Interface not supported."}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ((std::vector<std::string>{"1730002/6", "1560001/5", "1330002/5"}), test_agent::LibraryRequests());
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo());
    EXPECT_EQ("1.2.3-legacy", VersionText());
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
}

TEST_F(LoadFailures, ModuleRefusingEveryVersionInterfaceLeavesTheVersionUnknown) {
    UseModule(TEST_AGENT_PATH);
    // Junk in the out parameter of a refused request must not be used.
    SetVariable("testagent_refuse=1730002,1560001,1330002");
    SetVariable("testagent_refuse_result=0xAFFE000B:level 6 is too new");
    SetVariable("testagent_junk_on_refuse=1");

    EXPECT_EQ(VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED, vexlin_initialize());

    const std::vector<LogEntry> expected = Concat(
        Prologue({"testagent_refuse=1730002,1560001,1330002", "testagent_refuse_result=0xAFFE000B:level 6 is too new",
                  "testagent_junk_on_refuse=1", InitFlags(0)}),
        {{kFine, "Initializing agent module..."},
         {kSevere, std::string(kInitFailure) + "level 6 is too new"},
         {kFinest, "Could not get agent module version: 'level 6 is too new'. Trying legacy method."},
         {kInfo, "Agent module version could not be determined: level 6 is too new"}});
    EXPECT_EQ(expected, LogCapture::Entries()) << "one severe message, from the module";
    EXPECT_EQ((std::vector<std::string>{"1730002/6", "1560001/5", "1330002/5"}), test_agent::LibraryRequests());
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_GET_VERSION_STRING));
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo());
    EXPECT_EQ("", VersionText());
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
}

TEST_F(LoadFailures, RefusalWithoutVersionOrMessageLogsTheResultTexts) {
    UseModule(TEST_AGENT_PATH);
    SetVariable("testagent_refuse=1730002,1560001,1330002");

    EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, vexlin_initialize());

    const std::vector<LogEntry> expected =
        Concat(Prologue({"testagent_refuse=1730002,1560001,1330002", InitFlags(0)}),
               {{kFine, "Initializing agent module..."},
                {kFinest, "Could not get agent module version: 'Interface not supported.'. Trying legacy method."},
                {kInfo, "Agent module version could not be determined: Interface not supported."},
                {kSevere, std::string(kLoadFailure) + "Interface not supported."}});
    EXPECT_EQ(expected, LogCapture::Entries());
    // The legacy request gets the buffer as the module left it, not the text
    // the library logged for the first refusal.
    const auto requests = test_agent::Events(TEST_AGENT_EVENT_GET_LIBRARY);
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(1u, requests[2].values[2]) << "buffer empty on entry";
    EXPECT_EQ("", VersionText());
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
}

// A module that answers success but hands back nothing usable: no library
// table, a library table without the agent request, an agent without its
// function table, no metrics table. Each is an invalid binary, undone like
// any refusal.
struct InvalidBinaryCase {
    const char* name;
    const char* variable;
    bool agent_level;  // the library level loaded and the agent request failed
    std::vector<LogEntry> tail;
};

const InvalidBinaryCase kInvalidBinaries[] = {
    {"NoLibraryTable", "testagent_null_table=1730002", false, {}},
    {"LibraryTableWithoutAgentRequest", "testagent_null_get_agent=1", false, {}},
    {"AgentWithoutFunctionTable",
     "testagent_null_agent_functions=1",
     true,
     {{kInfo, "Loaded extension API metrics."}, {kSevere, std::string(kAgentFailure) + "Invalid agent binary."}}},
    {"NoMetricsTable",
     "testagent_null_table=91680001",
     true,
     {{kSevere, "Failed to load extension API metrics: Invalid agent binary."},
      {kSevere, std::string(kAgentFailure) + "Invalid agent binary."}}},
};

void PrintTo(const InvalidBinaryCase& c, std::ostream* os) { *os << c.name; }

class InvalidBinaries : public LoadFailures, public testing::WithParamInterface<InvalidBinaryCase> {};

TEST_P(InvalidBinaries, AreRefusedAndUndone) {
    const InvalidBinaryCase& c = GetParam();
    UseModule(TEST_AGENT_PATH);
    SetVariable(c.variable);

    EXPECT_EQ(VEXLIN_ERROR_INVALID_AGENT_BINARY, vexlin_initialize());

    std::vector<LogEntry> expected = Prologue({c.variable, InitFlags(0)});
    if (c.agent_level) {
        expected = Concat(Concat(expected, ModuleStartedLog()), {{kFine, "Initializing agent..."}});
        EXPECT_EQ(std::make_pair(1, 1), LoadInfo());
    } else {
        expected = Concat(expected, {{kFine, "Initializing agent module..."},
                                     {kInfo, std::string("Agent module version is ") + TEST_AGENT_DEFAULT_VERSION +
                                                 "; probably incompatible"},
                                     {kSevere, std::string(kLoadFailure) + "Invalid agent binary."}});
        EXPECT_EQ(std::make_pair(1, 0), LoadInfo()) << "found, never compatible";
    }
    EXPECT_EQ(Concat(expected, c.tail), LogCapture::Entries());
    EXPECT_EQ(TEST_AGENT_DEFAULT_VERSION, VersionText());
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
}

INSTANTIATE_TEST_SUITE_P(LoadFailures, InvalidBinaries, testing::ValuesIn(kInvalidBinaries),
                         [](const testing::TestParamInfo<InvalidBinaryCase>& info) { return info.param.name; });

// A module may fill a message buffer to its last character without a
// terminator; the library logs what fits and reads nothing beyond.
struct UnterminatedCase {
    const char* name;
    const char* variable;  // empty: the refusal comes from enabling the span group
    const char* prefix;
};

const UnterminatedCase kUnterminated[] = {
    {"ModuleInitialize", "testagent_init_fail=0xAFFE0009", kInitFailure},
    {"LibraryRequest", "testagent_refuse=1730002", kInitFailure},
    {"AgentRequest", "testagent_get_agent_fail=0xAFFE0009", kAgentFailure},
    {"ExtensionRequest", "", "Failed to load extension API span: "},
};

void PrintTo(const UnterminatedCase& c, std::ostream* os) { *os << c.name; }

class UnterminatedTexts : public LoadFailures, public testing::WithParamInterface<UnterminatedCase> {};

TEST_P(UnterminatedTexts, AreLoggedUpToTheBufferEnd) {
    const UnterminatedCase& c = GetParam();
    const bool at_enable = c.variable[0] == '\0';
    UseModule(TEST_AGENT_PATH);
    SetVariable("testagent_unterminated=1");
    if (!at_enable) SetVariable(c.variable);
    ASSERT_EQ(at_enable, vexlin_initialize() == VEXLIN_SUCCESS);
    if (at_enable) {
        test_agent::Control().refuse_interface(VEXLIN_ABI_INTERFACE_EX_SPAN);
        EXPECT_EQ(VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, vexlin_ex_api_enable_span());
        EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    }
    const std::string message = (c.prefix + std::string(VEXLIN_ABI_MESSAGE_BUFFER_LENGTH - 1, 'x'))
                                    .substr(0, VEXLIN_ABI_MESSAGE_BUFFER_LENGTH - 1);
    ASSERT_FALSE(LogCapture::AtLeast(kSevere).empty());
    EXPECT_EQ(message, LogCapture::AtLeast(kSevere)[0].message);
}

INSTANTIATE_TEST_SUITE_P(LoadFailures, UnterminatedTexts, testing::ValuesIn(kUnterminated),
                         [](const testing::TestParamInfo<UnterminatedCase>& info) { return info.param.name; });

// ---- The agent ----------------------------------------------------------------

TEST_F(LoadFailures, FailedAgentRequestIsLoggedWithTheModulesMessageAndUndoesTheLoad) {
    UseModule(TEST_AGENT_PATH);
    // Junk in the out parameters of the failed request must not be used.
    SetVariable("testagent_get_agent_fail=0xAFFE0009:no agent today");
    SetVariable("testagent_junk_on_refuse=1");

    EXPECT_EQ(VEXLIN_ERROR_UNEXPECTED, vexlin_initialize());

    const std::vector<LogEntry> expected = Concat(Concat(Prologue({"testagent_get_agent_fail=0xAFFE0009:no agent today",
                                                                   "testagent_junk_on_refuse=1", InitFlags(0)}),
                                                         ModuleStartedLog()),
                                                  {{kFine, "Initializing agent..."},
                                                   {kInfo, "Loaded extension API metrics."},
                                                   {kSevere, std::string(kAgentFailure) + "no agent today"}});
    EXPECT_EQ(expected, LogCapture::Entries());
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_GET_AGENT));
    // The load itself had succeeded: the attempt reached a compatible module.
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo());
    EXPECT_EQ(TEST_AGENT_DEFAULT_VERSION, VersionText());
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown()) << "nothing is left to shut down";
}

TEST_F(LoadFailures, FailedAgentRequestWithoutMessageIsLoggedWithTheResultText) {
    UseModule(TEST_AGENT_PATH);
    SetVariable("testagent_get_agent_fail=0xAFFE0005");

    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_initialize());

    const std::vector<LogEntry> severe = {{kSevere, std::string(kAgentFailure) + "Out of memory."}};
    EXPECT_EQ(severe, LogCapture::AtLeast(kWarning));
    EXPECT_EQ(LogEntry({kSevere, std::string(kAgentFailure) + "Out of memory."}), LogCapture::Entries().back());
    ExpectStartedAndShutDown();
    ExpectNothingAttached(TEST_AGENT_PATH);
}

}  // namespace
