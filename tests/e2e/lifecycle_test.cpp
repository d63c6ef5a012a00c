// Loading, initialize and shutdown through the real library and the test
// agent module: a clean load, every way a load fails (one table), where each
// setting comes from and which module file is opened (one table), the
// user-variable store as the module receives it, reference counting, and
// initialize racing other threads.
#include <errno.h>

#include <iterator>
#include <sstream>

#include "vexlin_test.h"

namespace {

using namespace lifecycle;
using Strings = std::vector<std::string>;

std::string VersionText() { return vexlin_agent_get_version_string(); }

class Lifecycle : public LifecycleTest {};

// ---- A clean load -----------------------------------------------------------------

// No agent is attached while the module starts; its version text is cut to
// 63 characters. The initializing thread, cancelled while its sink waits (a
// cancellation point), acts on it only once initialize has returned.
TEST_F(Lifecycle, LoadLogsEveryStepAndAsksForTheLibraryMetricsAndAgentInTurn) {
    UseTestAgent();
    const std::string version = "testagent_version=" + std::string(100, 'v');
    SetVariable(version);
    HeldInitialize initialize("Initializing agent module...");
    EXPECT_EQ(std::make_pair(1, 0), LoadInfo()) << "found, not yet compatible";
    EXPECT_EQ(3, vexlin_agent_get_current_state());
    ASSERT_EQ(0, pthread_cancel(initialize.thread));
    ASSERT_EQ(VEXLIN_SUCCESS, initialize.Release());
    EXPECT_EQ(PTHREAD_CANCELED, initialize.exit_value) << "cancelled once initialize had returned";

    EXPECT_EQ(LoadPrologue(TEST_AGENT_PATH, {version, InitFlags(0)}) + ModuleStartedLog(std::string(63, 'v')) +
                  AgentStartedLog(),
              LogCapture::Entries());
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo());
    EXPECT_EQ(std::string(63, 'v'), VersionText());
    std::vector<test_agent_event_kind_t> kinds;
    for (const test_agent_event_t& e : test_agent::Events()) kinds.push_back(e.kind);
    EXPECT_EQ((std::vector<test_agent_event_kind_t>{TEST_AGENT_EVENT_INITIALIZE, TEST_AGENT_EVENT_GET_LIBRARY,
                                                    TEST_AGENT_EVENT_GET_VERSION_STRING, TEST_AGENT_EVENT_GET_LIBRARY,
                                                    TEST_AGENT_EVENT_GET_AGENT}),
              kinds);
    EXPECT_EQ((Strings{"1730002/6", "91680001/6"}), test_agent::LibraryRequests());
    for (const test_agent_event_t& e : test_agent::Events())  // each message buffer emptied before the call
        if (e.kind != TEST_AGENT_EVENT_GET_VERSION_STRING)
            EXPECT_EQ(test_agent::BufferSeen(1800, 1), test_agent::Buffer(e));

    // The stub version record, in native byte order: 1.6.1.0, four reserved
    // words, the build time stamp and zero bytes to the end.
    uint32_t numbers[8];
    memcpy(numbers, test_agent::Control().stub_version, sizeof numbers);
    EXPECT_EQ((std::vector<uint32_t>{1, 6, 1, 0, 0, 0, 0, 0}), std::vector<uint32_t>(numbers, numbers + 8));
    unsigned char tail[64] = {0};
    memcpy(tail, "20210121-101835", 15);
    EXPECT_EQ(0, memcmp(tail, test_agent::Control().stub_version + 32, 64));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown()) << "the init lock is free again";
}

// A text stays where it was published: the same text comes back at the same
// address, and only a 17th distinct one takes a buffer, the least recently
// published one's.
TEST_F(Lifecycle, VersionTextsKeepTheirAddresses) {
    UseTestAgent();
    std::vector<const char*> at;
    for (int v : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 16}) {
        SetVariable("testagent_version=v" + std::to_string(v));
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
        at.push_back(vexlin_agent_get_version_string());
        ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    }
    EXPECT_EQ(at[0], at[16]);
    EXPECT_EQ(at[1], at[17]);
    for (int v = 0; v < 16; ++v) EXPECT_EQ(v == 1 ? "v16" : "v" + std::to_string(v), at[v]);
}

// ---- Every failed load --------------------------------------------------------------

enum Reached { kNotCalled, kFailedToStart, kStarted };

struct LoadFailure {
    const char* name;
    const char* settings;  // for the test agent
    vexlin_result_t result;
    Log tail;  // the log after the prologue
    std::pair<int, int> load_info;
    std::string version;
    Reached module;
    Strings requests;  // library requests, when checked
    std::string path;
    void (*also)();
};
void PrintTo(const LoadFailure& c, std::ostream* os) { *os << c.name; }

const std::string kNoSuchFile = TEST_AGENT_HOME_DIR "/no/such/module.so";

Log Failed(const std::string& prefix, const std::string& text) { return {{kSevere, prefix + text}}; }
Log Filled(const std::string& prefix) {
    return Failed(prefix, std::string(VEXLIN_ABI_MESSAGE_BUFFER_LENGTH - 1 - prefix.size(), 'x'));
}
Log MissingSymbol(const char* module, const char* symbol) {
    return Failed(kLoadFailure, std::string(module) + ": undefined symbol: " + symbol);
}

LoadFailure F(const char* name, const char* settings, vexlin_result_t result, Log tail, std::pair<int, int> load_info,
              std::string version, Reached module, Strings requests = {}, std::string path = TEST_AGENT_PATH,
              void (*also)() = nullptr) {
    return {name, settings, result, tail, load_info, version, module, requests, path, also};
}

std::vector<LoadFailure> LoadFailureRows() {
    errno = 0;
    dlopen(kNoSuchFile.c_str(), RTLD_NOW);
    const int loader_errno = errno != 0 ? errno : VEXLIN_ERROR_LOAD_AGENT;
    const std::string loader_message = dlerror();
    const std::string unsupported = "Interface not supported.", invalid = "Invalid agent binary.",
                      version = TEST_AGENT_DEFAULT_VERSION, metrics_failed = "Failed to load extension API metrics: ",
                      undetermined = "Agent module version could not be determined: ";
    const Strings versions = {"1730002/6", "1560001/5", "1330002/5"}, agent_level = {"1730002/6", "91680001/6"};
    const Log init_module = {{kFine, "Initializing agent module..."}},
              started = ModuleStartedLog() + Log{{kFine, "Initializing agent..."}},
              metrics_loaded = {{kInfo, "Loaded extension API metrics."}};
    const auto legacy_tried = [](const std::string& text) {
        return Log{{kFinest, "Could not get agent module version: '" + text + "'. Trying legacy method."}};
    };
    const auto incompatible = [&](const std::string& text, const std::string& with = TEST_AGENT_DEFAULT_VERSION,
                                  const Log& tried = {}) {
        return init_module + tried + Log{{kInfo, "Agent module version is " + with + "; probably incompatible"}} +
               Failed(kLoadFailure, text);
    };
    return {
        F("AgentNotActive", "", VEXLIN_ERROR_AGENT_NOT_ACTIVE,
          Log{{kConfig, "Agent not active."}} + Failed(kLoadFailure, "Agent not active."), {0, 0}, "", kNotCalled),
        F("NoProcessModuleAndNoPath", "", VEXLIN_ERROR_LOAD_AGENT,
          {{kInfo, kLoadFailure + "Loading via the process module failed and no fallback path was provided."}}, {0, 0},
          "", kNotCalled, {}, ""),
        F("MissingFile", "", loader_errno, {{kInfo, kLoadFailure + loader_message}}, {0, 0}, "", kNotCalled, {},
          kNoSuchFile),
        F("WithoutInitializeEntryPoint", "", ENOENT,
          MissingSymbol(TEST_AGENT_NO_INITIALIZE_PATH, VEXLIN_ABI_INITIALIZE_SYMBOL), {1, 0}, "", kNotCalled, {},
          TEST_AGENT_NO_INITIALIZE_PATH),
        F("WithoutGetLibraryEntryPoint", "", ENOENT,
          MissingSymbol(TEST_AGENT_NO_GET_LIBRARY_PATH, VEXLIN_ABI_GET_LIBRARY_SYMBOL), {1, 0}, "", kNotCalled, {},
          TEST_AGENT_NO_GET_LIBRARY_PATH),
        F("WithoutShutdownEntryPoint", "", ENOENT,
          MissingSymbol(TEST_AGENT_NO_SHUTDOWN_PATH, VEXLIN_ABI_SHUTDOWN_SYMBOL), {1, 0}, "", kNotCalled, {},
          TEST_AGENT_NO_SHUTDOWN_PATH),
        F("ModuleInitializeFailsWithAMessage", "init_fail=0xAFFE0009:cannot start here", VEXLIN_ERROR_UNEXPECTED,
          init_module + Failed(kInitFailure, "cannot start here"), {1, 0}, "", kFailedToStart),
        F("ModuleInitializeFailsWithoutAMessage", "init_fail=0xAFFE0003", VEXLIN_ERROR_NOT_IMPLEMENTED,
          init_module + Failed(kLoadFailure, "Function not implemented."), {1, 0}, "", kFailedToStart),
        F("LibraryTableRefusedVersionFromTheVersionOnlyTable", "refuse=1730002;version_1560001=5",
          VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, incompatible(unsupported, "5"), {1, 0}, "5", kStarted,
          {"1730002/6", "1560001/5"}),
        F("LibraryTableRefusedVersionFromTheLegacyTable", "refuse=1730002,1560001;version_1330002=1.2.3-legacy",
          VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, incompatible(unsupported, "1.2.3-legacy", legacy_tried(unsupported)),
          {1, 0}, "1.2.3-legacy", kStarted, versions),
        // Junk in the out parameter of a refused request must not be used.
        F("EveryVersionRefusedWithAMessageAndJunk",
          "refuse=1730002,1560001,1330002;refuse_result=0xAFFE000B:level 6 is too new;junk_on_refuse=1",
          VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED,
          init_module + Failed(kInitFailure, "level 6 is too new") + legacy_tried("level 6 is too new") +
              Log{{kInfo, undetermined + "level 6 is too new"}},
          {1, 0}, "", kStarted, versions, TEST_AGENT_PATH,
          [] { EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_GET_VERSION_STRING)); }),
        // The legacy request gets the buffer as the module left it, not the
        // text the library logged for the first refusal.
        F("EveryVersionRefusedWithoutAMessage", "refuse=1730002,1560001,1330002", VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED,
          init_module + legacy_tried(unsupported) + Log{{kInfo, undetermined + unsupported}} +
              Failed(kLoadFailure, unsupported),
          {1, 0}, "", kStarted, versions, TEST_AGENT_PATH,
          [] { EXPECT_EQ(1u, test_agent::Buffer(test_agent::Events(TEST_AGENT_EVENT_GET_LIBRARY)[2]).second); }),
        F("VersionTablesAnsweredWithoutATable", "refuse=1730002;null_table=1560001,1330002",
          VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED,
          init_module + legacy_tried("The operation completed successfully.") +
              Log{{kInfo, undetermined + "The operation completed successfully."}} + Failed(kLoadFailure, unsupported),
          {1, 0}, "", kStarted, versions),
        // Success with nothing usable is an invalid binary, undone like a refusal.
        F("InvalidBinaryNoLibraryTable", "null_table=1730002", VEXLIN_ERROR_INVALID_AGENT_BINARY, incompatible(invalid),
          {1, 0}, version, kStarted),
        F("InvalidBinaryLibraryTableWithoutAgentRequest", "null_get_agent=1", VEXLIN_ERROR_INVALID_AGENT_BINARY,
          incompatible(invalid), {1, 0}, version, kStarted),
        F("InvalidBinaryAgentWithoutFunctionTable", "null_agent_functions=1", VEXLIN_ERROR_INVALID_AGENT_BINARY,
          started + metrics_loaded + Failed(kAgentFailure, invalid), {1, 1}, version, kStarted),
        // Junk in the out parameters of the failed request must not be used.
        F("AgentRequestFailsWithAMessageAndJunk", "get_agent_fail=0xAFFE0009:no agent today;junk_on_refuse=1",
          VEXLIN_ERROR_UNEXPECTED, started + metrics_loaded + Failed(kAgentFailure, "no agent today"), {1, 1}, version,
          kStarted, agent_level),
        F("MetricsRefusedWithAMessage", "refuse=91680001;refuse_result=0xAFFE0009:metrics are switched off",
          VEXLIN_ERROR_UNEXPECTED,
          started + Failed(metrics_failed, "metrics are switched off") + Failed(kAgentFailure, "Unexpected error."),
          {1, 1}, version, kStarted, agent_level, TEST_AGENT_PATH,
          [] { EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_GET_AGENT)) << "no agent without metrics"; }),
        // A module may fill a message buffer to its last character without a
        // terminator; the library logs what fits and reads nothing beyond.
        F("UnterminatedInitializeText", "init_fail=0xAFFE0009;unterminated=1", VEXLIN_ERROR_UNEXPECTED,
          init_module + Filled(kInitFailure), {1, 0}, "", kFailedToStart),
        F("UnterminatedLibraryRequestText", "refuse=1730002;unterminated=1", VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED,
          init_module + Filled(kInitFailure) +
              Log{{kInfo, "Agent module version is " + version + "; probably incompatible"}},
          {1, 0}, version, kStarted),
        F("UnterminatedAgentRequestText", "get_agent_fail=0xAFFE0009;unterminated=1", VEXLIN_ERROR_UNEXPECTED,
          started + metrics_loaded + Filled(kAgentFailure), {1, 1}, version, kStarted),
    };
}

class LoadFailures : public LifecycleTest, public testing::WithParamInterface<LoadFailure> {};

TEST_P(LoadFailures, GiveTheResultLogAndLoadInfoAndUndoTheLoad) {
    const LoadFailure& c = GetParam();
    const bool active = c.result != VEXLIN_ERROR_AGENT_NOT_ACTIVE;
    if (!active) setenv("KX_AGENTACTIVE", "false", 1);
    SetVariable("agentlibrary=" + c.path);
    Strings forwarded = TestAgentSettings(c.settings);
    for (const std::string& v : forwarded) SetVariable(v);
    forwarded.push_back(InitFlags(0));

    EXPECT_EQ(c.result, vexlin_initialize());

    EXPECT_EQ(LoadPrologue(c.path, forwarded, active) + c.tail, LogCapture::Entries());
    EXPECT_EQ(c.load_info, LoadInfo());
    EXPECT_EQ(c.version, VersionText()) << "the version stays readable after the failure";
    // A started module is shut down once, last; one that did not start is asked nothing more.
    const std::vector<test_agent_event_t> events = test_agent::Events();
    EXPECT_EQ(c.module == kNotCalled ? 0u : 1u, test_agent::Count(TEST_AGENT_EVENT_INITIALIZE));
    EXPECT_EQ(c.module == kStarted ? 1u : 0u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));
    if (c.module == kStarted) EXPECT_EQ(TEST_AGENT_EVENT_SHUTDOWN, events.back().kind);
    if (c.module != kStarted) EXPECT_EQ(c.module == kNotCalled ? 0u : 1u, events.size());
    if (!c.requests.empty()) EXPECT_EQ(c.requests, test_agent::LibraryRequests());
    if (c.also != nullptr) c.also();
    // Nothing stays attached or open.
    EXPECT_FALSE(!c.path.empty() && test_agent::IsLoaded(c.path.c_str()));
    EXPECT_EQ(3, vexlin_agent_get_current_state());
    EXPECT_EQ(0u, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_AGENT_SLOT) + test_agent::Count(TEST_AGENT_EVENT_EX_SLOT));
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown()) << "nothing is left to shut down";

    // Nothing of the failed attempt lingers: a new load forgets it.
    unsetenv("KX_AGENTACTIVE");
    vexlin_stub_free_variables();
    SetVariable("agentlibrary=" + kNoSuchFile);
    EXPECT_NE(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(std::make_pair(0, 0), LoadInfo());
    EXPECT_EQ("", VersionText());
    UseTestAgent();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(2001, vexlin_integercountermetric_create_p(nullptr, nullptr, nullptr));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, LoadFailures, testing::ValuesIn(LoadFailureRows()),
                         [](const testing::TestParamInfo<LoadFailure>& info) { return info.param.name; });

TEST_F(Lifecycle, ProcessProvidedModuleIsPreferredOverTheConfiguredPath) {
    void* provided = dlopen(TEST_AGENT_PROCESS_PATH, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(nullptr, provided) << dlerror();
    UseTestAgent();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ((LoadPrologue(TEST_AGENT_PATH, {InitFlags(0)}) +
               Log{{kFine, "Loaded agent module provided by process agent."}} + ModuleStartedLog() + AgentStartedLog()),
              LogCapture::Entries());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH)) << "the configured file is not opened";
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN)) << "the process's module is shut down";
    dlclose(provided);
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH)) << "the library closed its own reference";
}

// ---- The configuration, the user-variable store and the module file ----------------------
// Each setting comes from the user variable, else the KX_ environment
// variable, else the default; a source that is set hides the ones below, even
// when empty. The home gives the module path when no path is set. The store
// keeps insertion order, matches whole names ignoring case and forwards all
// but the private names. The options block of the load shows all of it.

constexpr vexlin_result_t kOk = VEXLIN_SUCCESS, kExists = VEXLIN_ERROR_ENTRY_EXISTS,
                          kInvalid = VEXLIN_ERROR_INVALID_ARGUMENT;

// A user variable to set ('+' replacing), an environment variable ('$'), a
// command line ('>' and the arguments separated by blanks), one argument
// ('1 ' and the argument, '+1 ' replacing), freeing the store ('!') or the
// application's log level ('#'), with its result.
struct Step {
    Step(const char* text, vexlin_result_t result = kOk) : text(text), result(result) {}
    std::string text;
    vexlin_result_t result;
};

struct Configuration {
    const char* name;
    std::vector<Step> steps;
    Strings forwarded;  // what the module receives, before the init-flags variable
    std::string module = "";
    const char* active = "true";
    const char* level = "finest ";
};
void PrintTo(const Configuration& c, std::ostream* os) { *os << c.name; }
Configuration C(const char* name, std::vector<Step> steps, Strings forwarded, std::string module = "",
                const char* active = "true", const char* level = "finest ") {
    return {name, steps, forwarded, module, active, level};
}

const std::string kHomeModule = TEST_AGENT_HOME_DIR "/agent/lib/libpelmoranloader.so",
                  kLoader = "/agent/lib/libpelmoranloader.so";
const Configuration kConfigurations[] = {
    // A trailing separator does not double.
    C("HomeLeadsToItsLoaderFile", {"$KX_HOME=" TEST_AGENT_HOME_DIR "/"}, {}, kHomeModule),
    C("HomeIsTheRoot", {"$KX_HOME=/"}, {}, kLoader),
    C("EnvironmentPathWinsOverHome", {"$KX_HOME=" TEST_AGENT_HOME_DIR, "$KX_AGENTLIBRARY=" TEST_AGENT_PATH}, {},
      TEST_AGENT_PATH),
    C("VariableWinsOverEnvironment", {"$KX_AGENTLIBRARY=/no/such/module.so", "AgentLibrary=" TEST_AGENT_PATH}, {},
      TEST_AGENT_PATH),
    C("EmptyVariableLeavesItToHome",
      {"$KX_HOME=" TEST_AGENT_HOME_DIR, "$KX_AGENTLIBRARY=" TEST_AGENT_PATH, "AgentLibrary="}, {}, kHomeModule),
    C("EmptyEnvironmentPathFallsBackToHome", {"$KX_HOME=/home", "$KX_AGENTLIBRARY="}, {}, "/home" + kLoader),
    C("EnvironmentNamesAreExact", {"$kx_agentactive=0", "$Kx_AgentLibrary=/x.so", "$KX_LOGLEVELSDK=Config"}, {}, "",
      "true", "config "),
    C("VariablesWin", {"$KX_AGENTACTIVE=1", "$KX_LOGLEVELSDK=severe", "AgentActive=no", "LogLevelSdk=fine"}, {}, "",
      "false", "fine   "),
    C("EmptyVariablesHide", {"$KX_AGENTACTIVE=0", "$KX_LOGLEVELSDK=severe", "agentactive=", "loglevelsdk="}, {}),
    C("HomeVariableIsForwarded", {"$KX_HOME=/e", "HOME=/u"}, {"HOME=/u"}, "/u" + kLoader),
    C("EmptyHomeVariableHidesTheEnvironment", {"$KX_HOME=/e", "home="}, {"home="}),
    C("WholeNamesArePrivate", {"agentactivex=", "AGENTLIBRARY=/a", "agent="}, {"agentactivex=", "agent="}, "/a"),
    C("StoreKeepsInsertionOrderWithoutThePrivateNames",
      {"c=3", "AgentActive=yes", "a=1", "LogLevelSdk=finest", "home=/x", "AgentLibrary=" TEST_AGENT_PATH},
      {"c=3", "a=1", "home=/x"}, TEST_AGENT_PATH),
    C("StoreNamesMatchWholeIgnoringCase",
      {"agentx=1", {"AGENTX=2", kExists}, "agent=3", "+AgentX=4", "+x=5", {"x=6", kExists}},
      {"AgentX=4", "agent=3", "x=5"}),
    C("OddButValidVariables",
      {"a=b=c", {"A=other", kExists}, "=", {"=", kExists}, {"=y", kExists}, "+=y", "name=", " spaced = v "},
      {"a=b=c", "=y", "name=", " spaced = v "}),
    C("InvalidAndEmptyInputStoreNothing", {{"name", kInvalid}, {"+name", kInvalid}, "", "+"}, {}),
    C("CommandLineFirstErrorWinsAndTheRestIsStored",
      {{"> prog --kx_b --kx_a=1 --kx_a=2 --kx_ --KX_c=1 plain x=y --kx_d==", kInvalid}}, {"a=1", "d=="}),
    C("CommandLineRealErrorWinsOverAnExistingEntry", {{"> prog --kx_a=1 --kx_a=1 --kx_b --kx_c=3", kInvalid}},
      {"a=1", "c=3"}),
    C("CommandLineExistingEntry", {"home=/set", {"> prog --kx_home=/cmd --kx_loglevelsdk=config", kExists}},
      {"home=/set"}, "/set" + kLoader, "true", "config "),
    C("CommandLineReplacingLastWins", {"+> prog --kx_a=1 other --kx_b=x --kx_A=2"}, {"A=2", "b=x"}),
    C("ProgramNameIsNeverInterpreted", {"> --kx_zero=0 --kx_one=1"}, {"one=1"}),
    C("SingleArguments",
      {"1 --kx_k=v", {"1 --kx_k=w", kExists}, "1 k=w", {"1 --kx_q", kInvalid}, "1 --KX_c=1", "+1 --kx_K=w"}, {"K=w"}),
    C("FreeingEmptiesTheStore", {"one=1", "!", "two=2", "!", "!", "one=3"}, {"one=3"}),
    C("FinestLevelGovernsTheLoadFromItsFirstMessage", {"#8", "LogLevelSdk=finest"}, {}),
};

vexlin_result_t Apply(const std::string& text) {
    if (text[0] == '$') return putenv(const_cast<char*>(text.c_str() + 1)), kOk;
    if (text[0] == '#') return vexlin_stub_set_logging_level(atoi(text.c_str() + 1)), kOk;
    const bool replace = !text.empty() && text[0] == '+';
    const std::string step = text.substr(replace ? 1 : 0);
    if (step == "!") return vexlin_stub_free_variables(), kOk;
    if (step.empty() || (step[0] != '>' && step[0] != '1')) return vexlin_stub_set_variable(step.c_str(), replace);
    if (step[0] == '1') return vexlin_stub_process_cmdline_arg(step.c_str() + 2, replace);
    std::istringstream line(step.substr(2));
    Strings words{std::istream_iterator<std::string>(line), {}};
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    return vexlin_stub_process_cmdline_args(static_cast<int>(argv.size()), argv.data(), replace);
}

class Configurations : public LifecycleTest, public testing::WithParamInterface<Configuration> {};

TEST_P(Configurations, GiveTheOptionsTheModuleAndWhatItReceives) {
    const Configuration& c = GetParam();
    for (const Step& step : c.steps) EXPECT_EQ(step.result, Apply(step.text)) << step.text;
    const vexlin_result_t rc = vexlin_initialize_2(7);
    Strings options, forwarded = c.forwarded;
    forwarded.push_back(InitFlags(7));
    Strings expected = {"  Options:", std::string("    Agent active:  ") + c.active,
                        "    Agent module:  '" + c.module + "'", std::string("    SDK log level: ") + c.level,
                        "  Additional options:"};
    for (const std::string& f : forwarded) expected.push_back("    " + f);
    const Log log = LogCapture::Entries();
    for (const auto& [level, message] : log)
        if (level == kConfig && message.rfind("  ", 0) == 0) options.push_back(message);
    EXPECT_EQ(expected, options);
    EXPECT_EQ("Initializing Korvantix Pelmoran SDK for C/C++ ...", log.empty() ? "" : log[0].second)
        << "the configured level governs the load's first message";
    EXPECT_EQ(rc == VEXLIN_SUCCESS, c.module == TEST_AGENT_PATH || c.module == kHomeModule);
    if (rc != VEXLIN_SUCCESS) return;
    EXPECT_EQ(forwarded, test_agent::Arguments());
    EXPECT_TRUE(test_agent::IsLoaded(c.module.c_str()));
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_FALSE(test_agent::IsLoaded(c.module.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, Configurations, testing::ValuesIn(kConfigurations),
                         [](const testing::TestParamInfo<Configuration>& info) { return info.param.name; });

TEST_F(Lifecycle, CommandLineArgumentsAreRecognisedAndStripped) {
    for (const char* no : {"--kx", "-kx_a=1", " --kx_a"}) EXPECT_EQ(0, vexlin_stub_is_sdk_cmdline_arg(no));
    EXPECT_EQ(kInvalid, vexlin_stub_process_cmdline_args(3, nullptr, 0));
    EXPECT_EQ(kOk, vexlin_stub_process_cmdline_args(0, nullptr, 0));

    char prog[] = "--kx_prog=1", a[] = "--kx_a=1", x[] = "x", b[] = "--kx_b", end[] = "after-end";
    char* argv[] = {prog, a, x, nullptr, b, end};
    int argc = 5;
    EXPECT_EQ(kOk, vexlin_stub_strip_sdk_cmdline_args(&argc, argv));
    EXPECT_EQ(3, argc);
    EXPECT_EQ((std::vector<char*>{prog, x, nullptr}), (std::vector<char*>(argv, argv + 3))) << "order kept";
    EXPECT_STREQ("", argv[3]);
    EXPECT_EQ(argv[3], argv[4]) << "vacated slots share one empty string";
    EXPECT_EQ(end, argv[5]) << "the slot at the old count is not touched";
    EXPECT_STREQ("--kx_a=1", a) << "only pointers move";
    argc = 2;
    EXPECT_EQ(kInvalid, vexlin_stub_strip_sdk_cmdline_args(&argc, nullptr));
    EXPECT_EQ(kInvalid, vexlin_stub_strip_sdk_cmdline_args(nullptr, argv));
    argc = 0;
    EXPECT_EQ(kOk, vexlin_stub_strip_sdk_cmdline_args(&argc, nullptr));
}

// ---- Reference counts ------------------------------------------------------------------

TEST_F(Lifecycle, InitializationsShareOneModuleUntilTheLastShutdown) {
    const Log not_loaded = {{kInfo,
                             "Cannot uninitialize Korvantix Pelmoran SDK for C/C++ because it has not been "
                             "initialized. (the agent module is not loaded)"}};
    UseTestAgent();
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    LogCapture::Clear();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize_2(3));
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_GET_AGENT)) << "a further initialization only counts";
    EXPECT_EQ(InitFlags(0), test_agent::Arguments().back()) << "the running module keeps its arguments";
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_EQ(0u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN) + test_agent::Count(TEST_AGENT_EVENT_AGENT_SLOT));
    EXPECT_EQ(1003, vexlin_agent_get_current_state()) << "still attached";
    EXPECT_EQ(std::make_pair(1, 1), LoadInfo());
    EXPECT_TRUE(LogCapture::Entries().empty()) << "counting logs nothing";

    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_PATH));
    const std::vector<test_agent_event_t> events = test_agent::Events();
    ASSERT_EQ(TEST_AGENT_EVENT_SHUTDOWN, events.back().kind);
    EXPECT_EQ(1, events[events.size() - 2].slot) << "the agent is released, then the module shut down";
    EXPECT_EQ(test_agent::Control().agent, events[events.size() - 2].agent);
    EXPECT_EQ(std::make_pair(0, 0), LoadInfo());
    EXPECT_EQ("", VersionText());
    EXPECT_TRUE(LogCapture::Entries().empty()) << "a clean shutdown logs nothing";
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());
    EXPECT_EQ(not_loaded, LogCapture::Entries());
    EXPECT_EQ(1u, test_agent::Count(TEST_AGENT_EVENT_SHUTDOWN));

    // Loaded afresh, with the new flags.
    LogCapture::Clear();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize_2(5));
    EXPECT_EQ(LoadPrologue(TEST_AGENT_PATH, {InitFlags(5)}) + ModuleStartedLog() + AgentStartedLog(),
              LogCapture::Entries());
    EXPECT_EQ(1038u, vexlin_customservicetracer_create_p(nullptr, nullptr));
}

// ---- Other threads -----------------------------------------------------------------------

// The module writes the table first and waits for a call before it writes the
// agent; forwarders must not see either before both are there.
TEST_F(Lifecycle, ForwardersNeverSeeATableWithoutItsAgent) {
    UseTestAgent();
    SetVariable("testagent_table_before_agent=1");
    test_agent::Control().slots_unrecorded = 1;
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        while (!stop.load()) vexlin_tracer_start(1);
    });
    const vexlin_result_t rc = vexlin_initialize();
    while (rc == VEXLIN_SUCCESS && __atomic_load_n(&test_agent::Control().slot_calls, __ATOMIC_ACQUIRE) == 0)
        std::this_thread::yield();
    stop = true;
    caller.join();
    EXPECT_EQ(VEXLIN_SUCCESS, rc);
    EXPECT_EQ(0u, __atomic_load_n(&test_agent::Control().slot_calls_without_agent, __ATOMIC_ACQUIRE));
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

}  // namespace
