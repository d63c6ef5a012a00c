// The console module through the real library: the trace of samples/trace_demo
// against a committed golden file, the misuse it reports, how strings and
// numbers are written, the application's callbacks, fork state, unloading,
// and a shutdown from an atexit handler while a thread still traces.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "console_test_support.h"
#include "vexlin/vexlin.h"

namespace {

using Json = nlohmann::ordered_json;  // keeps the members in the order written

vexlin_string_t S(const char* text, vexlin_ccsid_t ccsid = VEXLIN_CCSID_UTF8, std::size_t length = SIZE_MAX) {
    return vexlin_string_t{text, length == SIZE_MAX ? std::strlen(text) : length, ccsid};
}

std::vector<Json> ParseLines(const std::string& text) {
    std::vector<Json> out;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is not terminated";
    for (const std::string& line : console_test::Lines(text)) {
        Json parsed = Json::parse(line, nullptr, false);
        EXPECT_TRUE(parsed.is_object()) << line;
        out.push_back(parsed);
    }
    return out;
}

std::vector<Json> WithProblem(const std::vector<Json>& trace, const std::string& problem) {
    std::vector<Json> out;
    for (const Json& line : trace)
        if (line["type"] == "misuse" && (problem.empty() || line["problem"] == problem)) out.push_back(line);
    return out;
}

const Json& FirstCall(const std::vector<Json>& trace, const std::string& call) {
    for (const Json& line : trace)
        if (line["call"] == call && line["type"] == "call") return line;
    static const Json kNone;
    ADD_FAILURE() << "no line of " << call;
    return kNone;
}

// ---- The golden trace ----------------------------------------------------------

// Times, process ids and paths change from run to run; nothing else may.
void Mask(Json& line) {
    for (const char* key : {"time_us", "start_us", "end_us", "duration_us", "pid"})
        if (line.contains(key)) line[key] = 0;
    for (const char* key : {"arguments", "output"})
        if (line.contains(key)) line[key] = "<masked>";
    if (line.contains("origin")) line["origin"]["pid"] = 0;
    for (const char* key : {"tag", "link"}) {
        if (!line.contains(key) || !line[key].is_string()) continue;
        std::string text = line[key];
        std::string masked = std::regex_replace(text, std::regex("pid=[0-9]+"), "pid=<pid>");
        if (masked != text && line.contains("required_buffer_size")) line["required_buffer_size"] = 0;
        text = masked;
        if (text.size() == 34) text.replace(26, 8, "<pid>");  // the pid closes a 17-byte token
        line[key] = text;
    }
}

TEST(ConsoleGolden, TraceDemoWritesTheCommittedTrace) {
    console_test::TempPath output("demo-trace");
    auto run = console_test::RunProcess({TRACE_DEMO_PATH, "--kx_console_output=" + output.path()},
                                        {std::string("KX_HOME=") + CONSOLE_HOME_PATH});
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    std::string normalized;
    for (Json& line : ParseLines(console_test::ReadFile(output.path()))) {
        Mask(line);
        normalized += line.dump() + "\n";
    }
    // VEXLIN_UPDATE_GOLDEN=1 rewrites the file after a deliberate change of format.
    if (getenv("VEXLIN_UPDATE_GOLDEN") != nullptr) console_test::WriteFile(GOLDEN_PATH, normalized);
    EXPECT_EQ(normalized, console_test::ReadFile(GOLDEN_PATH));
}

// ---- In-process tests --------------------------------------------------------------

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        console_test::ClearLibraryEnvironment();
        ASSERT_EQ(vexlin_stub_set_variable(("console_output=" + output_.path()).c_str(), 1), 0);
        ASSERT_EQ(vexlin_stub_set_variable(("agentlibrary=" + std::string(CONSOLE_AGENT_PATH)).c_str(), 1), 0);
        ASSERT_EQ(vexlin_initialize(), 0);
        ASSERT_EQ(vexlin_ex_api_enable_span(), 0);
        ASSERT_EQ(vexlin_ex_api_enable_tracer_ext(), 0);
    }
    std::vector<Json> StopAndRead() {
        EXPECT_EQ(vexlin_shutdown(), 0);
        return ParseLines(console_test::ReadFile(output_.path()));
    }
    console_test::TempPath output_{"console-trace"};
};

vexlin_tracer_handle_t Custom() {
    vexlin_string_t m = S("m"), s = S("s");
    return vexlin_customservicetracer_create_p(&m, &s);
}

void StartEnd(vexlin_tracer_handle_t t) {
    vexlin_tracer_start(t);
    vexlin_tracer_end(t);
}

struct MisuseCase {
    const char* name;
    void (*act)();
    const char* problem;
    std::size_t count;
};

const MisuseCase kMisuse[] = {
    {"EndWithoutStart", [] { vexlin_tracer_end(Custom()); }, "end_without_start", 1},
    {"StartTwice",
     [] {
         vexlin_tracer_handle_t t = Custom();
         vexlin_tracer_start(t);
         StartEnd(t);
     },
     "started_twice", 1},
    {"SetterOfAnotherKind",
     [] {
         vexlin_tracer_handle_t t = Custom();
         vexlin_incomingwebrequesttracer_set_status_code(t, 500);
         StartEnd(t);
     },
     "wrong_kind", 1},
    {"InfoOfAnotherKind",
     [] {
         vexlin_string_t w = S("w"), sql = S("SELECT 1");
         vexlin_webapplicationinfo_handle_t info = vexlin_webapplicationinfo_create_p(&w, &w, &w);
         StartEnd(vexlin_databaserequesttracer_create_sql_p(info, &sql));
         vexlin_webapplicationinfo_delete(info);
     },
     "wrong_kind", 1},
    {"TagOfAnIncomingKind",
     [] {
         vexlin_tracer_handle_t t = Custom();
         char tag[64];
         vexlin_tracer_get_outgoing_korvantix_string_tag(t, tag, sizeof tag, nullptr);
         StartEnd(t);
     },
     "wrong_kind", 1},
    {"MetricOfAnotherKind",
     [] {
         vexlin_string_t key = S("k");
         vexlin_metric_handle_t m = vexlin_integercountermetric_create_p(&key, nullptr, nullptr);
         vexlin_floatgaugemetric_set_value_p(m, 1.5, nullptr);
         vexlin_metric_delete(m);
     },
     "wrong_kind", 1},
    {"UseAfterEnd",
     [] {
         vexlin_tracer_handle_t t = Custom();
         StartEnd(t);
         vexlin_tracer_error_p(t, nullptr, nullptr);
     },
     "used_after_end", 1},
    {"UseAfterDelete",
     [] {
         vexlin_string_t d = S("d");
         vexlin_databaseinfo_handle_t info = vexlin_databaseinfo_create_p(&d, &d, 1, &d);
         vexlin_databaseinfo_delete(info);
         vexlin_databaseinfo_delete(info);
     },
     "used_after_delete", 1},
    {"HandleZeroAndNeverHandedOut",
     [] {
         vexlin_tracer_start(0);
         vexlin_tracer_start(987654321);
     },
     "invalid_handle", 2},
    {"UnknownParent",
     [] {
         vexlin_tracer_handle_t t = Custom();
         vexlin_ex_tracer_start_2(t, 424242, 0);
         vexlin_tracer_end(t);
     },
     "invalid_handle", 1},
    {"NullArrays",
     [] {
         vexlin_tracer_handle_t t = Custom();
         vexlin_tracer_start(t);
         vexlin_customrequestattribute_add_strings_p(nullptr, nullptr, 2);
         vexlin_tracer_end(t);
     },
     "null_array", 2},
    {"AttributeWithoutATracer",
     [] {
         vexlin_string_t key = S("k");
         vexlin_int64_t value = 1;
         vexlin_customrequestattribute_add_integers_p(&key, &value, 1);
     },
     "no_active_tracer", 1},
    {"ForeignLink",
     [] {
         const unsigned char bytes[] = {1, 2, 3};
         StartEnd(vexlin_inprocesslinktracer_create(bytes, sizeof bytes));
     },
     "invalid_link", 1},
    {"TracersLeftAtShutdown",
     [] {
         Custom();
         vexlin_tracer_start(Custom());
     },
     "unfinished_at_shutdown", 2},
};

// Named by the row: gtest would otherwise print the rows' padding bytes.
void PrintTo(const MisuseCase& c, std::ostream* os) { *os << c.name; }

class ConsoleMisuse : public Console, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(ConsoleMisuse, IsReportedRightAfterTheCallAndNothingElseIs) {
    GetParam().act();
    std::vector<Json> trace = StopAndRead();
    EXPECT_EQ(WithProblem(trace, GetParam().problem).size(), GetParam().count);
    EXPECT_EQ(WithProblem(trace, "").size(), GetParam().count);
    for (std::size_t i = 1; i < trace.size(); ++i) {
        if (trace[i]["type"] != "misuse") continue;
        EXPECT_FALSE(trace[i]["message"].get<std::string>().empty());
        std::size_t j = i - 1;
        while (j > 0 && trace[j]["type"] == "misuse") --j;
        EXPECT_EQ(trace[j]["call"], trace[i]["call"]) << trace[i].dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleMisuse, ::testing::ValuesIn(kMisuse),
                         [](const ::testing::TestParamInfo<MisuseCase>& info) { return info.param.name; });

struct TextCase {
    const char* name;
    vexlin_string_t input;
    Json expected;
};

const unsigned char kUtf16Le[] = {'G', 0, 0xFC, 0, 0x3D, 0xD8, 0x00, 0xDE};  // "Gü" and U+1F600
const unsigned char kUtf16Be[] = {0, 'h', 0, 'i'};

const TextCase kTexts[] = {
    {"Escapes", S("q\"b\\n\nt\tc\x01"), "q\"b\\n\nt\tc\x01"},
    {"ByLengthNotTerminator", S("abcdef", VEXLIN_CCSID_ASCII, 3), "abc"},
    {"Utf16LittleEndianWithASurrogatePair",
     {kUtf16Le, sizeof kUtf16Le, VEXLIN_CCSID_UTF16_LE},
     "G\xC3\xBC\xF0\x9F\x98\x80"},
    {"Utf16BigEndian", {kUtf16Be, sizeof kUtf16Be, VEXLIN_CCSID_UTF16_BE}, "hi"},
    {"Latin1", S("\xE9t\xE9", VEXLIN_CCSID_ISO8859_1), "\xC3\xA9t\xC3\xA9"},
    {"InvalidUtf8BecomesReplacement",
     S("a\xFF"
       "b"),
     "a\xEF\xBF\xBD"
     "b"},
    {"Empty", S(""), ""},
    {"NullData", {nullptr, 5, VEXLIN_CCSID_UTF8}, nullptr},
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class ConsoleText : public Console, public ::testing::WithParamInterface<TextCase> {};

TEST_P(ConsoleText, IsDecodedAndWrittenAsJson) {
    vexlin_string_t name = S("n");
    StartEnd(vexlin_customservicetracer_create_p(&GetParam().input, &name));
    EXPECT_EQ(FirstCall(StopAndRead(), "customservicetracer_create_p")["service_method"], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleText, ::testing::ValuesIn(kTexts),
                         [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST_F(Console, NumbersReadBackExactly) {
    vexlin_tracer_handle_t span = vexlin_ex_spantracer_create(1);
    vexlin_string_t keys[3] = {S("a"), S("b"), S("c")};
    const double doubles[3] = {-0.125, 1e300, NAN};
    const float floats[1] = {0.1f};
    vexlin_ex_spantracer_set_doubles_p(span, keys, doubles, 3);
    vexlin_ex_spantracer_set_floats_p(span, keys, floats, 1);
    StartEnd(span);
    std::vector<Json> trace = StopAndRead();
    EXPECT_EQ(FirstCall(trace, "ex_spantracer_set_doubles_p")["attributes"].dump(),
              R"([["a",-0.125],["b",1e+300],["c","NaN"]])");
    EXPECT_EQ(FirstCall(trace, "ex_spantracer_set_floats_p")["attributes"][0][1].dump(), "0.1");
}

std::vector<std::string> g_warnings, g_verbose;

TEST_F(Console, CallbacksGetMisuseMessagesAndEveryLine) {
    ASSERT_EQ(vexlin_agent_set_warning_callback([](const char* m) { g_warnings.push_back(m); }), 0);
    ASSERT_EQ(vexlin_agent_set_verbose_callback([](const char* m) { g_verbose.push_back(m); }), 0);
    vexlin_tracer_end(Custom());
    vexlin_agent_set_verbose_callback(nullptr);
    std::vector<Json> trace = StopAndRead();
    ASSERT_EQ(g_warnings.size(), 1u);
    EXPECT_EQ(g_warnings[0].rfind("console agent: misuse: tracer ", 0), 0u) << g_warnings[0];
    // From the line that set the verbose callback to the one that removed it.
    ASSERT_EQ(g_verbose.size(), 4u);
    for (const std::string& line : g_verbose) {
        Json parsed = Json::parse(line);
        EXPECT_EQ(parsed, trace.at(parsed["seq"].get<std::size_t>() - 1));
    }
}

TEST_F(Console, AForkedChildKnowsItAndNumbersItsOwnLines) {
    EXPECT_EQ(vexlin_agent_get_fork_state(), 0);
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(vexlin_agent_get_fork_state() == 1 ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<Json> trace = StopAndRead();
    std::size_t in_child = 0;
    for (const Json& line : trace)
        if (line["pid"] != getpid()) in_child = line["seq"];
    EXPECT_EQ(in_child, 1u);
}

TEST_F(Console, IsUnloadedByTheLastShutdown) {
    ASSERT_EQ(vexlin_shutdown(), 0);
    // A module that stayed mapped would keep its counters into the next load.
    void* still_loaded = dlopen(CONSOLE_AGENT_PATH, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still_loaded, nullptr);
    if (still_loaded != nullptr) dlclose(still_loaded);
}

TEST(ConsoleAtExit, ShutdownFromAnAtexitHandlerWhileAThreadTracesRunsClean) {
    const int runs = getenv("VEXLIN_TEST_SLOW") != nullptr ? 3 : 20;
    for (int i = 0; i < runs; ++i) {
        console_test::TempPath output("exit-trace");
        auto run = console_test::RunProcess({EXIT_WHILE_TRACING_PATH, "--kx_console_output=" + output.path()},
                                            {std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
        ASSERT_EQ(run.exit_code, 0) << "run " << i << ": " << run.err;
        std::vector<Json> trace = ParseLines(console_test::ReadFile(output.path()));
        ASSERT_FALSE(trace.empty());
        // The shutdown line and its misuse lines close the trace.
        std::size_t last = trace.size() - 1;
        while (last > 0 && trace[last]["type"] == "misuse") --last;
        ASSERT_EQ(trace[last]["call"], "shutdown") << "run " << i;
        // The tracer of main and the worker's outer one at least; perhaps an inner one.
        const std::size_t unfinished = trace[last]["unfinished_tracers"];
        EXPECT_GE(unfinished, 2u) << "run " << i;
        EXPECT_EQ(WithProblem(trace, "unfinished_at_shutdown").size(), unfinished) << "run " << i;
    }
}

}  // namespace
