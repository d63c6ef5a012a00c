// samples/trace_demo run as a program against the console agent: what a
// newcomer sees through scripts/demo must be a complete, well-formed trace.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "console_test_support.h"

using console_test::About;
using console_test::Misuses;
using console_test::RunProcess;
using console_test::WithCall;
using jsonlite::Value;

namespace {

TEST(TraceDemo, TracesEveryKindOfWorkThroughTheKxHomeLayout) {
    console_test::TempPath output("demo-trace");
    auto run = RunProcess({TRACE_DEMO_PATH, "--kx_console_output=" + output.path(), "leftover"},
                          {std::string("KX_HOME=") + CONSOLE_HOME_PATH});
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("ignoring argument 'leftover'"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("console_output"), std::string::npos) << "the --kx_ argument was not stripped";
    for (const char* call : {"vexlin_initialize ", "vexlin_ex_api_enable_span ", "vexlin_shutdown "}) {
        std::size_t at = run.out.find(call);
        ASSERT_NE(at, std::string::npos) << call;
        EXPECT_NE(run.out.find("0x00000000", at), std::string::npos) << call;
    }

    std::vector<Value> trace = console_test::ParseTrace(console_test::ReadFile(output.path()));
    ASSERT_FALSE(trace.empty());
    EXPECT_TRUE(Misuses(trace).empty());
    EXPECT_EQ((*WithCall(trace, "shutdown", "lifecycle").at(0))["unfinished_tracers"].Int(), 0);

    const Value& web = *WithCall(trace, "incomingwebrequesttracer_create_p").at(0);
    const std::uint64_t web_id = std::uint64_t(web["tracer"].Int());
    EXPECT_GT(About(trace, "incomingwebrequesttracer_add_request_headers_p", web_id)["request_headers"].size(), 0u);
    EXPECT_EQ(About(trace, "incomingwebrequesttracer_add_parameters_p", web_id)["parameters"].size(), 1u);
    EXPECT_EQ(About(trace, "incomingwebrequesttracer_set_status_code", web_id)["status_code"].Int(), 200);

    const Value& db = *WithCall(trace, "databaserequesttracer_create_sql_p").at(0);
    const std::uint64_t db_id = std::uint64_t(db["tracer"].Int());
    EXPECT_EQ(About(trace, "tracer_start", db_id)["parent"].Int(), std::int64_t(web_id));
    EXPECT_GT(About(trace, "databaserequesttracer_set_returned_row_count", db_id)["returned_row_count"].Int(), 0);

    const Value& remote = *WithCall(trace, "outgoingremotecalltracer_create_p").at(0);
    const std::uint64_t remote_id = std::uint64_t(remote["tracer"].Int());
    EXPECT_EQ(About(trace, "tracer_start", remote_id)["parent"].Int(), std::int64_t(web_id));
    auto tags = WithCall(trace, "tracer_get_outgoing_korvantix_string_tag");
    ASSERT_FALSE(tags.empty());
    EXPECT_TRUE((*tags.back())["written"].boolean);
    EXPECT_NE(run.out.find((*tags.back())["tag"].Str()), std::string::npos);

    for (const Value* a : WithCall(trace, "customrequestattribute_add_strings_p"))
        EXPECT_EQ((*a)["tracer"].Int(), std::int64_t(web_id));
    EXPECT_EQ(WithCall(trace, "integercountermetric_increase_by_p").size(), 1u);

    const Value& linked = *WithCall(trace, "inprocesslinktracer_create").at(0);
    EXPECT_EQ(linked["linked_tracer"].Int(), std::int64_t(web_id));
    EXPECT_NE(linked["thread"].Int(), web["thread"].Int());

    const Value& ids = *WithCall(trace, "ex_spantracer_set_ids_p").at(0);
    EXPECT_EQ(ids["trace_id"].Str().size(), 32u);
    EXPECT_EQ(ids["span_id"].Str().size(), 16u);
    EXPECT_FALSE(WithCall(trace, "ex_spantracer_set_strings_p").empty());

    // Every tracer that was started was also ended.
    std::set<std::int64_t> started, ended;
    for (const Value* s : WithCall(trace, "tracer_start")) started.insert((*s)["tracer"].Int());
    for (const Value* e : WithCall(trace, "tracer_end")) ended.insert((*e)["tracer"].Int());
    EXPECT_EQ(started, ended);
    EXPECT_EQ(started.size(), 6u);  // web, database, remote call, link, work on the thread, span
}

TEST(TraceDemo, WritesTheTraceToStandardErrorWithoutAnOutputFile) {
    auto run = RunProcess({TRACE_DEMO_PATH}, {std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    std::vector<Value> trace = console_test::ParseTrace(run.err);
    ASSERT_GT(trace.size(), 40u);
    EXPECT_EQ(trace.front()["output"].Str(), "stderr");
    EXPECT_EQ(trace.back()["call"].Str(), "shutdown");
}

TEST(TraceDemo, RunsWithoutAnAgentAndSaysSo) {
    auto run =
        RunProcess({TRACE_DEMO_PATH, "--kx_agentactive=false"}, {std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("0xAFFE0006  Agent not active."), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("nothing was traced"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
}

}  // namespace
