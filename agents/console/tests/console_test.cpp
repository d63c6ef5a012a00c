// The console module through the real library: the trace of samples/trace_demo against a committed golden file,
// real attribute values, tracers ended out of order or given a parent, a tag's origin, the output streams and an output
// that fails, the misuse it reports (with the callbacks), and a shutdown from an atexit handler while a thread still
// traces. What the last shutdown leaves behind is checked with the other module in agents/tests.
#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "console_test_support.h"  // with gtest, the library's header and the POSIX and standard headers

namespace {

using Json = nlohmann::ordered_json;  // keeps the members in the order written

const vexlin_string_t kWord = {"w", 1, VEXLIN_CCSID_UTF8}, *const w = &kWord;

vexlin_tracer_handle_t Custom() { return vexlin_customservicetracer_create_p(w, w); }

void StartEnd(vexlin_tracer_handle_t t) { vexlin_tracer_start(t), vexlin_tracer_end(t); }

// A fresh file name per process: several builds share the temporary directory.
// Removed first: a file an earlier process of the same pid left behind would be appended to.
std::string TempName(const char* stem) {
    std::string path = testing::TempDir() + "vexlin-" + stem + "-" + std::to_string(getpid()) + ".jsonl";
    unlink(path.c_str());
    return path;
}

// Reads and removes the trace; every line must be a terminated JSON object.
std::vector<Json> TakeTrace(const std::string& path) {
    const std::string text = console_test::ReadFile(path);
    unlink(path.c_str());
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is not terminated";
    std::vector<Json> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(out.emplace_back(Json::parse(line, nullptr, false)).is_object()) << line;
    return out;
}

// Times, process ids and paths change from run to run; nothing else may.
std::string Mask(std::string text) {
    const char* const rules[][2] = {
        {R"x("(time_us|start_us|end_us|duration_us|pid)":[0-9]+)x", R"x("\1":0)x"},
        {R"x((output[=":]+)[^"]*")x", R"x(\1<masked>")x"},
        {R"x(pid=[0-9]+)x", "pid=<pid>"},
        {R"x((pid=<pid>".*"required_buffer_size":)[0-9]+)x", R"x(\10)x"},  // the tag's length follows the pid's
        {R"x(("link":"[0-9a-f]{26})[0-9a-f]{8}")x", R"x(\1<pid>")x"},      // the pid closes a 17-byte link
    };
    for (const auto& rule : rules)
        text = std::regex_replace(text, std::regex(rule[0]), rule[1], std::regex_constants::format_sed);
    return text;
}

TEST(ConsoleGolden, TraceDemoWritesTheCommittedTrace) {
    const std::string output = TempName("demo");
    auto run =
        console_test::RunProcess({TRACE_DEMO_PATH, "--kx_console_output=" + output}, {"KX_HOME=" CONSOLE_HOME_PATH});
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    const std::string masked = Mask(console_test::ReadFile(output));
    TakeTrace(output);
    // VEXLIN_UPDATE_GOLDEN=1 rewrites the file after a deliberate change of format.
    if (getenv("VEXLIN_UPDATE_GOLDEN") != nullptr) std::ofstream(GOLDEN_PATH, std::ios::binary) << masked;
    EXPECT_EQ(masked, console_test::ReadFile(GOLDEN_PATH));
}

void Configure(const std::string& output) {
    ASSERT_EQ(vexlin_stub_set_variable(("console_output=" + output).c_str(), 1), 0);
    ASSERT_EQ(vexlin_stub_set_variable("agentlibrary=" CONSOLE_AGENT_PATH, 1), 0);
    ASSERT_EQ(vexlin_initialize(), 0);
}

std::atomic<int> g_rounds{0};

// main returns with a tracer of its own running and a worker still tracing (inside an outer tracer it never ends); an
// atexit handler registered before the library started shuts it down.
[[noreturn]] void ExitWhileAThreadTraces(const std::string& output) {
    atexit([] { vexlin_shutdown(); });
    Configure(output);
    vexlin_tracer_start(Custom());
    std::thread([] {
        for (vexlin_tracer_start(Custom());; ++g_rounds) StartEnd(Custom());
    }).detach();
    while (g_rounds < 20) std::this_thread::yield();
    exit(0);
}

TEST(ConsoleAtExit, ShutdownFromAnAtexitHandlerWhileAThreadTracesRunsClean) {
    for (int i = 0; i < (forking::Slow() ? 3 : 20); ++i) {
        const std::string output = TempName("exit");
        fflush(nullptr);  // the child's exit flushes what it inherited
        ASSERT_EQ("", forking::InChild([&] { ExitWhileAThreadTraces(output); })) << "run " << i;
        // The shutdown line and its misuse lines close the trace: the tracer of main and the worker's outer one at
        // least; perhaps an inner one.
        std::vector<Json> trace = TakeTrace(output);
        std::size_t unfinished = 0;
        for (; !trace.empty() && trace.back()["problem"] == "unfinished_at_shutdown"; trace.pop_back()) ++unfinished;
        for (const Json& line : trace) ASSERT_NE(line["type"], "misuse") << "run " << i << ": " << line.dump();
        ASSERT_TRUE(unfinished >= 2 && !trace.empty()) << "run " << i;
        EXPECT_EQ(trace.back()["call"], "shutdown") << "run " << i;
        EXPECT_EQ(trace.back()["unfinished_tracers"], unfinished) << "run " << i;
    }
}

// The line of a call that answers tells what it answered, and a callback's line whether one was set.
TEST(ConsoleAnswers, ALineTellsWhatItsCallAnswered) {
    const std::string output = TempName("answers");
    Configure(output);
    const std::map<std::string, long> answered = {
        {"agent_get_current_state", vexlin_agent_get_current_state()},
        {"agent_get_fork_state", vexlin_agent_get_fork_state()},
        {"agent_set_warning_callback", vexlin_agent_set_warning_callback(nullptr)},
        {"agent_set_verbose_callback", vexlin_agent_set_verbose_callback([](const char*) {})},
    };
    ASSERT_EQ(vexlin_shutdown(), 0);
    std::map<std::string, long> told;
    std::map<std::string, bool> callbacks;
    for (const Json& line : TakeTrace(output)) {
        if (answered.count(line.value("call", "")) == 0) continue;
        told[line["call"]] = line.value("result", -1L);
        if (line.contains("callback")) callbacks[line["call"]] = line["callback"];
    }
    EXPECT_EQ(told, answered);
    const std::map<std::string, bool> set = {{"agent_set_warning_callback", false},
                                             {"agent_set_verbose_callback", true}};
    EXPECT_EQ(callbacks, set);
}

// Real attribute values reach the line, a float's as the shortest text that reads back as that float.
TEST(ConsoleAttributes, RealValuesAreWrittenWithTheirKeys) {
    const std::string output = TempName("reals");
    Configure(output);
    ASSERT_EQ(vexlin_ex_api_enable_span(), 0);
    const vexlin_tracer_handle_t span = vexlin_ex_spantracer_create(0);
    const double real = 2.5;
    const float single = 0.1f;
    vexlin_tracer_start(span);
    vexlin_ex_spantracer_set_doubles_p(span, w, &real, 1);
    vexlin_ex_spantracer_set_floats_p(span, w, &single, 1);
    vexlin_customrequestattribute_add_floats_p(w, &real, 1);
    vexlin_tracer_end(span);
    ASSERT_EQ(vexlin_shutdown(), 0);
    std::map<std::string, Json> written;
    for (const Json& line : TakeTrace(output))
        if (line.contains("attributes")) written[line["call"]] = line["attributes"];
    EXPECT_EQ(written,
              (std::map<std::string, Json>{{"ex_spantracer_set_doubles_p", Json::parse(R"([["w",2.5]])")},
                                           {"ex_spantracer_set_floats_p", Json::parse(R"([["w",0.1]])")},
                                           {"customrequestattribute_add_floats_p", Json::parse(R"([["w",2.5]])")}}));
}

// Tracers may end out of order: an outer one ended first leaves the one started inside it the thread's current tracer.
// A parent given explicitly wins over the current tracer, and the line tells which was asked for.
TEST(ConsoleParents, AnOuterTracerEndedFirstLeavesTheInnerOneCurrent) {
    const std::string output = TempName("parents");
    Configure(output);
    ASSERT_EQ(vexlin_ex_api_enable_tracer_ext(), 0);
    const vexlin_tracer_handle_t outer = Custom(), inner = Custom(), next = Custom(), adopted = Custom();
    vexlin_tracer_start(outer), vexlin_tracer_start(inner), vexlin_tracer_end(outer);
    vexlin_tracer_start(next), vexlin_ex_tracer_start_2(adopted, inner, 0);
    vexlin_tracer_end(adopted), vexlin_tracer_end(next), vexlin_tracer_end(inner);
    ASSERT_EQ(vexlin_shutdown(), 0);
    std::map<vexlin_tracer_handle_t, Json> starts;
    for (const Json& line : TakeTrace(output))
        if (line.value("call", "") == "tracer_start" || line.value("call", "") == "ex_tracer_start_2")
            starts[line["tracer"]] = {line["parent"], line.value("requested_parent", Json())};
    EXPECT_EQ(starts[next], Json({inner, nullptr}));
    EXPECT_EQ(starts[adopted], Json({inner, inner}));
}

// A byte or string tag made by this module tells the receiving side's line which tracer of which process sent it,
// whatever the process's number; a buffer too small for a string tag is left empty.
TEST(ConsoleTags, ATagNamesTheTracerThatSentIt) {
    const std::string output = TempName("tags");
    Configure(output);
    const vexlin_tracer_handle_t call = vexlin_outgoingremotecalltracer_create_p(w, w, w, 1, w);
    vexlin_tracer_start(call);
    char small[8] = "junk", text[64];
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(call, small, sizeof small, nullptr), 0u);
    EXPECT_STREQ(small, "");
    const vexlin_string_t string_tag = {
        text, vexlin_tracer_get_outgoing_korvantix_string_tag(call, text, sizeof text, nullptr), VEXLIN_CCSID_UTF8};
    unsigned char tag[64];
    const vexlin_size_t size = vexlin_tracer_get_outgoing_korvantix_byte_tag(call, tag, sizeof tag, nullptr);
    vexlin_tracer_end(call);
    unsigned char far[64];  // the same tracer's tag from a process numbered past 24 bits
    std::memcpy(far, tag, size);
    std::memcpy(far + size - 4, "\x12\x34\x56\x78", 4);
    vexlin_tracer_handle_t served[3];
    for (vexlin_tracer_handle_t& s : served) s = vexlin_incomingremotecalltracer_create_p(w, w, w);
    vexlin_tracer_set_incoming_korvantix_byte_tag(served[0], tag, size);
    vexlin_tracer_set_incoming_korvantix_string_tag_p(served[1], &string_tag);
    vexlin_tracer_set_incoming_korvantix_byte_tag(served[2], far, size);
    for (vexlin_tracer_handle_t s : served) StartEnd(s);
    ASSERT_EQ(vexlin_shutdown(), 0);
    std::vector<std::pair<std::string, Json>> origins;
    for (const Json& line : TakeTrace(output))
        if (line.value("call", "").rfind("tracer_set_incoming_", 0) == 0)
            origins.emplace_back(line["call"], line["origin"]);
    const Json sender = {{"tracer", call}, {"pid", getpid()}}, far_sender = {{"tracer", call}, {"pid", 0x12345678}};
    EXPECT_EQ(origins,
              (std::vector<std::pair<std::string, Json>>{{"tracer_set_incoming_korvantix_byte_tag", sender},
                                                         {"tracer_set_incoming_korvantix_string_tag_p", sender},
                                                         {"tracer_set_incoming_korvantix_byte_tag", far_sender}}));
}

// "stdout" and "stderr" name the process's streams, not files; an output that cannot be opened keeps the module from
// starting, and its line, the first the module writes while not started, says why on standard error. Each stream's
// expected texts, or none of the trace's lines when there are none.
TEST(ConsoleOutput, StreamsByNameAndAFileThatCannotBeOpened) {
    const std::string missing = testing::TempDir() + "vexlin-no-such-directory/trace.jsonl";
    using Texts = std::vector<std::string>;
    const struct {
        std::string output;
        int exit_code;
        Texts out, err;
    } rows[] = {
        {"stdout", 0, {R"("call":"shutdown")"}, {}},
        {"stderr", 0, {}, {R"("call":"shutdown")"}},
        {missing,
         1,
         {},
         {R"({"seq":1,)", "console agent: cannot open console_output '" + missing + "': No such file or directory"}}};
    for (const auto& row : rows) {
        auto run = console_test::RunProcess({TRACE_DEMO_PATH, "--kx_console_output=" + row.output},
                                            {"KX_HOME=" CONSOLE_HOME_PATH});
        EXPECT_EQ(run.exit_code, row.exit_code) << row.output;
        for (const auto& [text, expected] : {std::pair(run.out, row.out), std::pair(run.err, row.err)}) {
            if (expected.empty()) {
                EXPECT_EQ(text.find(R"("call":)"), std::string::npos) << row.output << ": " << text;
            }
            for (const std::string& part : expected)
                EXPECT_NE(text.find(part), std::string::npos) << row.output << ": " << text;
        }
    }
}

// An output that fails every write (a full disk) loses the lines, and holds up nothing.
TEST(ConsoleOutput, AnOutputThatFailsIsGivenUp) {
    Configure("/dev/full");
    StartEnd(Custom());
    EXPECT_EQ(vexlin_shutdown(), 0);
}

struct MisuseCase {
    const char *name, *problem;
    std::size_t count;
    void (*act)();
    const char* says = "";  // in the row's warnings, one after the other
};

// The row's custom-service tracer, created on first use.
vexlin_tracer_handle_t g_custom;
vexlin_tracer_handle_t t() { return g_custom != 0 ? g_custom : (g_custom = Custom()); }
void DeleteTwice(vexlin_databaseinfo_handle_t i) { vexlin_databaseinfo_delete(i), vexlin_databaseinfo_delete(i); }
const vexlin_int64_t kOne = 1;
const unsigned char kForeignLink[] = {1, 2, 3};
char g_tag[64];

const MisuseCase kMisuse[] = {
    {"EndWithoutStart", "end_without_start", 1, [] { vexlin_tracer_end(t()); }},
    {"StartTwice", "started_twice", 1,
     [] {
         vexlin_tracer_start(t());
         EXPECT_EQ(0, vexlin_ex_tracer_start_2(t(), 0, 0)) << "a second start fails";
         vexlin_tracer_end(t());
     }},
    {"SetterOfAnotherKind", "wrong_kind", 1,
     [] { vexlin_incomingwebrequesttracer_set_status_code(t(), 500), StartEnd(t()); }},
    {"InfoOfAnotherKind", "wrong_kind", 1,
     [] { StartEnd(vexlin_databaserequesttracer_create_sql_p(vexlin_webapplicationinfo_create_p(w, w, w), w)); }},
    {"TagOfAnIncomingKind", "wrong_kind", 1,
     [] { vexlin_tracer_get_outgoing_korvantix_string_tag(t(), g_tag, sizeof g_tag, nullptr), StartEnd(t()); }},
    {"MetricOfAnotherKind", "wrong_kind", 1,
     [] { vexlin_floatstatisticsmetric_add_value_p(vexlin_integercountermetric_create_p(w, w, w), 1.5, w); },
     "needs a float_statistics metric, but handle 1 is an integer_counter"},
    {"UseAfterEnd", "used_after_end", 1, [] { StartEnd(t()), vexlin_tracer_error_p(t(), nullptr, nullptr); }},
    {"UseAfterDelete", "used_after_delete", 1, [] { DeleteTwice(vexlin_databaseinfo_create_p(w, w, 1, w)); }},
    {"HandleOfAnEarlierUseOfItsSlot", "stale_handle", 1,  // freed slots are used again once 1024 were handed out
     [] {
         const vexlin_databaseinfo_handle_t i = vexlin_databaseinfo_create_p(w, w, 1, w);
         vexlin_databaseinfo_delete(i);
         for (int n = 0; n < 1024; ++n) vexlin_databaseinfo_create_p(w, w, 1, w);
         vexlin_databaseinfo_delete(i);
     }},
    {"HandleZeroAndNeverHandedOut", "invalid_handle", 3,  // the last one's slot is in a block already in use
     [] { StartEnd(t()), vexlin_tracer_start(0), vexlin_tracer_start(987654321), vexlin_tracer_start(100); }},
    {"UnknownParent", "invalid_handle", 1, [] { vexlin_ex_tracer_start_2(t(), 424242, 0), vexlin_tracer_end(t()); }},
    {"NullArrays", "null_array", 2,
     [] {
         vexlin_tracer_start(t()), vexlin_customrequestattribute_add_strings_p(nullptr, w, 1),
             vexlin_customrequestattribute_add_integers_p(w, nullptr, 1), vexlin_tracer_end(t());
     }},
    {"AttributeWithoutATracer", "no_active_tracer", 1,
     [] { vexlin_customrequestattribute_add_integers_p(w, &kOne, 1); }},
    {"ForeignLink", "invalid_link", 1,
     [] { StartEnd(vexlin_inprocesslinktracer_create(kForeignLink, sizeof kForeignLink)); }},
    {"TracersLeftAtShutdown", "unfinished_at_shutdown", 2, [] { t(), vexlin_tracer_start(Custom()); },
     "tracer 1 (custom_service) was created but never ended"
     "console agent: misuse: tracer 2 (custom_service) was started but never ended"},
};

// Named by the row: gtest would otherwise print the rows' padding bytes.
void PrintTo(const MisuseCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> g_warnings;
std::vector<Json> g_verbose;

class ConsoleMisuse : public testing::TestWithParam<MisuseCase> {};

// Each misuse line follows the line of its call, reaches the warning callback, and nothing else is reported. Every row
// runs in a process of its own: the globals start empty.
TEST_P(ConsoleMisuse, IsReportedRightAfterTheCallAndNothingElseIs) {
    const std::string output = TempName("misuse");
    Configure(output);
    ASSERT_EQ(vexlin_ex_api_enable_span(), 0);
    ASSERT_EQ(vexlin_ex_api_enable_tracer_ext(), 0);
    ASSERT_EQ(vexlin_agent_set_warning_callback([](const char* m) { g_warnings.push_back(m); }), 0);
    ASSERT_EQ(vexlin_agent_set_verbose_callback([](const char* m) { g_verbose.push_back(Json::parse(m)); }), 0);
    GetParam().act();
    ASSERT_EQ(vexlin_shutdown(), 0);
    const std::vector<Json> trace = TakeTrace(output);
    std::vector<std::string> warnings;  // the warning each misuse line makes
    for (std::size_t i = 1, call; i < trace.size(); ++i) {
        if (trace[i]["type"] != "misuse") continue;
        EXPECT_EQ(trace[i]["problem"], GetParam().problem);
        warnings.push_back("console agent: misuse: " + trace[i]["message"].get<std::string>());
        for (call = i - 1; call > 0 && trace[call]["type"] == "misuse";) --call;
        EXPECT_EQ(trace[call]["call"], trace[i]["call"]) << trace[i].dump();
    }
    EXPECT_EQ(warnings.size(), GetParam().count);
    EXPECT_EQ(g_warnings, warnings);
    std::string all;
    for (const std::string& warning : warnings) all += warning;
    EXPECT_NE(all.find(GetParam().says), std::string::npos) << all;
    // The verbose callback saw every line from the one that set it on, shutdown included.
    ASSERT_TRUE(!g_verbose.empty() && g_verbose.size() <= trace.size());
    EXPECT_EQ(g_verbose[0]["call"], "agent_set_verbose_callback");
    EXPECT_EQ(g_verbose, std::vector<Json>(trace.end() - g_verbose.size(), trace.end()));
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleMisuse, testing::ValuesIn(kMisuse), testing::PrintToStringParamName());

}  // namespace
