// The console agent driven through the real library: an application's calls
// go through libvexlin_shared into the module, and every line the module
// writes must be one JSON object that describes the call faithfully.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console_test_support.h"
#include "log_capture.h"
#include "vexlin/vexlin.h"

using console_test::About;
using console_test::Misuses;
using console_test::WithCall;
using jsonlite::Value;

namespace {

vexlin_string_t U8(const char* text) {
    vexlin_string_t s;
    s.data = text;
    s.byte_length = std::strlen(text);
    s.ccsid = VEXLIN_CCSID_UTF8;
    return s;
}

vexlin_string_t Bytes(const void* data, std::size_t length, vexlin_ccsid_t ccsid) {
    vexlin_string_t s;
    s.data = data;
    s.byte_length = length;
    s.ccsid = ccsid;
    return s;
}

class ConsoleAgent : public ::testing::Test {
protected:
    void SetUp() override { console_test::ClearLibraryEnvironment(); }

    // Loads the agent through the agentlibrary user variable, writing to our file.
    void Start() {
        SetOutput();
        ASSERT_EQ(vexlin_stub_set_variable(("agentlibrary=" + std::string(CONSOLE_AGENT_PATH)).c_str(), 1), 0);
        ASSERT_EQ(vexlin_initialize(), 0);
    }
    void SetOutput() { ASSERT_EQ(vexlin_stub_set_variable(("console_output=" + output_.path()).c_str(), 1), 0); }

    std::vector<Value> StopAndRead() {
        EXPECT_EQ(vexlin_shutdown(), 0);
        return Read();
    }
    std::vector<Value> Read() { return console_test::ParseTrace(console_test::ReadFile(output_.path())); }

    console_test::TempPath output_{"console-trace"};
};

TEST_F(ConsoleAgent, LifecycleLinesDescribeTheLoadAndEveryLineIsStamped) {
    LogCapture log(VEXLIN_LOGGING_LEVEL_INFO);
    Start();
    const std::string version = vexlin_agent_get_version_string();
    std::vector<Value> trace = StopAndRead();

    EXPECT_EQ(version.rfind("vexlin console agent ", 0), 0u) << version;
    EXPECT_TRUE(LogCapture::Contains(VEXLIN_LOGGING_LEVEL_INFO, "Loaded agent module version: " + version));

    ASSERT_GE(trace.size(), 6u);
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const Value& line = trace[i];
        EXPECT_EQ(line["seq"].Int(), std::int64_t(i + 1));
        EXPECT_GT(line["time_us"].Int(), 0);
        EXPECT_EQ(line["pid"].Int(), getpid());
        EXPECT_EQ(line["thread"].Int(), 1);
        EXPECT_TRUE(line["type"].Str() == "lifecycle" || line["type"].Str() == "call") << line["type"].Str();
    }

    const Value& init = trace.front();
    EXPECT_EQ(init["call"].Str(), "initialize");
    EXPECT_EQ(init["result"].Int(), 0);
    EXPECT_EQ(init["output"].Str(), output_.path());
    EXPECT_EQ(init["agent_version"].Str(), version);
    std::vector<std::string> arguments;
    for (const Value& a : init["arguments"].items) arguments.push_back(a.Str());
    // The library keeps agentlibrary to itself and adds its init flags.
    EXPECT_EQ(arguments, (std::vector<std::string>{"console_output=" + output_.path(),
                                                   "VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=0"}));

    auto libraries = WithCall(trace, "get_library", "lifecycle");
    ASSERT_EQ(libraries.size(), 2u);
    EXPECT_EQ((*libraries[0])["interface"].Int(), 1730002);
    EXPECT_EQ((*libraries[0])["level"].Int(), 6);
    EXPECT_EQ((*libraries[0])["name"].Str(), "library");
    EXPECT_EQ((*libraries[1])["interface"].Int(), 91680001);
    EXPECT_EQ((*libraries[1])["name"].Str(), "metrics");
    EXPECT_EQ((*libraries[1])["result"].Int(), 0);

    auto agent = WithCall(trace, "get_agent", "lifecycle");
    ASSERT_EQ(agent.size(), 1u);
    EXPECT_EQ((*agent[0])["stub_version"].Str(), "1.6.1.0");
    EXPECT_EQ((*agent[0])["stub_build_timestamp"].Str(), "20210121-101835");
    EXPECT_EQ((*agent[0])["references"].Int(), 1);

    const Value& release = trace[trace.size() - 2];
    EXPECT_EQ(release["call"].Str(), "agent_release");
    EXPECT_EQ(release["references"].Int(), 0);
    const Value& shutdown = trace.back();
    EXPECT_EQ(shutdown["call"].Str(), "shutdown");
    EXPECT_EQ(shutdown["type"].Str(), "lifecycle");
    EXPECT_EQ(shutdown["unfinished_tracers"].Int(), 0);
    EXPECT_EQ(shutdown["result"].Int(), 0);
}

TEST_F(ConsoleAgent, IsFoundThroughKxAgentLibraryAndThroughTheKxHomeLayout) {
    LogCapture log(VEXLIN_LOGGING_LEVEL_CONFIG);
    SetOutput();

    setenv("KX_AGENTLIBRARY", CONSOLE_AGENT_PATH, 1);
    ASSERT_EQ(vexlin_initialize(), 0);
    vexlin_bool_t found = 0, compatible = 0;
    vexlin_stub_get_agent_load_info(&found, &compatible);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(compatible, 1);
    ASSERT_EQ(vexlin_shutdown(), 0);

    unsetenv("KX_AGENTLIBRARY");
    setenv("KX_HOME", CONSOLE_HOME_PATH, 1);
    ASSERT_EQ(vexlin_initialize(), 0);
    ASSERT_EQ(vexlin_shutdown(), 0);

    EXPECT_TRUE(LogCapture::Contains(VEXLIN_LOGGING_LEVEL_CONFIG,
                                     std::string("    Agent module:  '") + CONSOLE_AGENT_PATH + "'"));
    EXPECT_TRUE(LogCapture::Contains(
        VEXLIN_LOGGING_LEVEL_CONFIG,
        std::string("    Agent module:  '") + CONSOLE_HOME_PATH + "/agent/lib/libpelmoranloader.so'"));
    std::vector<Value> trace = Read();
    auto starts = WithCall(trace, "initialize", "lifecycle");
    ASSERT_EQ(starts.size(), 2u);  // the second load appends to the same file
    EXPECT_EQ((*starts[0])["result"].Int(), 0);
    EXPECT_EQ((*starts[1])["result"].Int(), 0);
    EXPECT_EQ(WithCall(trace, "shutdown", "lifecycle").size(), 2u);
}

TEST_F(ConsoleAgent, WebRequestWithADatabaseRequestInsideIsDescribedInFull) {
    Start();
    vexlin_string_t server = U8("srv"), app = U8("Shop"), root = U8("/shop");
    vexlin_string_t url = U8("/shop/cart?id=7"), method = U8("POST"), peer = U8("192.0.2.1:4000");
    vexlin_webapplicationinfo_handle_t info = vexlin_webapplicationinfo_create_p(&server, &app, &root);
    vexlin_tracer_handle_t web = vexlin_incomingwebrequesttracer_create_p(info, &url, &method);
    vexlin_string_t names[2] = {U8("Host"), U8("X-Trace")}, values[2] = {U8("shop"), U8("on")};
    vexlin_incomingwebrequesttracer_set_remote_address_p(web, &peer);
    vexlin_incomingwebrequesttracer_add_request_headers_p(web, names, values, 2);
    vexlin_incomingwebrequesttracer_add_parameters_p(web, names + 1, values + 1, 1);
    vexlin_tracer_start(web);

    vexlin_string_t db_name = U8("cartdb"), vendor = U8("SQLite"), endpoint = U8("/var/cart.db");
    vexlin_string_t sql = U8("UPDATE cart SET n = n + 1");
    vexlin_databaseinfo_handle_t db = vexlin_databaseinfo_create_p(&db_name, &vendor, 4, &endpoint);
    vexlin_tracer_handle_t query = vexlin_databaserequesttracer_create_sql_p(db, &sql);
    vexlin_tracer_start(query);
    vexlin_databaserequesttracer_set_returned_row_count(query, 7);
    vexlin_databaserequesttracer_set_round_trip_count(query, 2);
    vexlin_tracer_error_p(query, &vendor, &sql);
    vexlin_tracer_end(query);

    vexlin_incomingwebrequesttracer_add_response_headers_p(web, names, values, 1);
    vexlin_incomingwebrequesttracer_set_status_code(web, 404);
    vexlin_tracer_end(web);
    vexlin_databaseinfo_delete(db);
    vexlin_webapplicationinfo_delete(info);
    std::vector<Value> trace = StopAndRead();

    EXPECT_TRUE(Misuses(trace).empty());
    const Value& created = About(trace, "incomingwebrequesttracer_create_p", web);
    EXPECT_EQ(created["kind"].Str(), "incoming_web_request");
    EXPECT_EQ(created["url"].Str(), "/shop/cart?id=7");
    EXPECT_EQ(created["method"].Str(), "POST");
    EXPECT_EQ(created["web_application_info"].Int(), std::int64_t(info));
    EXPECT_EQ(created["web_application"]["application_id"].Str(), "Shop");
    EXPECT_EQ(created["web_application"]["context_root"].Str(), "/shop");
    EXPECT_EQ(About(trace, "incomingwebrequesttracer_set_remote_address_p", web)["remote_address"].Str(),
              "192.0.2.1:4000");
    const Value& headers = About(trace, "incomingwebrequesttracer_add_request_headers_p", web)["request_headers"];
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers[0][0].Str(), "Host");
    EXPECT_EQ(headers[0][1].Str(), "shop");
    EXPECT_EQ(headers[1][0].Str(), "X-Trace");
    const Value& params = About(trace, "incomingwebrequesttracer_add_parameters_p", web)["parameters"];
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0][1].Str(), "on");
    EXPECT_EQ(About(trace, "incomingwebrequesttracer_add_response_headers_p", web)["response_headers"].size(), 1u);
    EXPECT_EQ(About(trace, "incomingwebrequesttracer_set_status_code", web)["status_code"].Int(), 404);

    const Value& query_created = About(trace, "databaserequesttracer_create_sql_p", query);
    EXPECT_EQ(query_created["statement"].Str(), "UPDATE cart SET n = n + 1");
    EXPECT_EQ(query_created["database"]["vendor"].Str(), "SQLite");
    EXPECT_EQ(query_created["database"]["channel_type"].Int(), 4);
    EXPECT_EQ(About(trace, "databaserequesttracer_set_returned_row_count", query)["returned_row_count"].Int(), 7);
    EXPECT_EQ(About(trace, "databaserequesttracer_set_round_trip_count", query)["round_trip_count"].Int(), 2);
    EXPECT_EQ(About(trace, "tracer_error_p", query)["error_class"].Str(), "SQLite");

    EXPECT_TRUE(About(trace, "tracer_start", web)["parent"].is_null());
    EXPECT_EQ(About(trace, "tracer_start", query)["parent"].Int(), std::int64_t(web));
    for (vexlin_tracer_handle_t t : {web, query}) {
        const Value& end = About(trace, "tracer_end", t);
        EXPECT_EQ(end["start_us"].Int(), About(trace, "tracer_start", t)["start_us"].Int());
        EXPECT_EQ(end["duration_us"].Int(), end["end_us"].Int() - end["start_us"].Int());
        EXPECT_GE(end["duration_us"].Int(), 0);
    }
    EXPECT_EQ(About(trace, "tracer_end", query)["parent"].Int(), std::int64_t(web));
    EXPECT_LT(About(trace, "tracer_end", query)["seq"].Int(), About(trace, "tracer_end", web)["seq"].Int());
}

TEST_F(ConsoleAgent, StringsAreDecodedByTheirLengthAndEncodingAndEscaped) {
    Start();
    const char escapes[] = "q\"b\\n\nt\tc\x01 end";
    const char longer[] = "abcdef";
    const unsigned char utf16le[] = {'G', 0, 0xFC, 0, 0x3D, 0xD8, 0x00, 0xDE};  // "Gü" and U+1F600
    const unsigned char utf16be[] = {0, 'h', 0, 'i'};
    const char latin1[] = "\xE9t\xE9";
    const char broken[] =
        "a\xFF"
        "b";
    vexlin_string_t cases[][2] = {
        {Bytes(escapes, sizeof escapes - 1, VEXLIN_CCSID_UTF8), Bytes(longer, 3, VEXLIN_CCSID_ASCII)},
        {Bytes(utf16le, sizeof utf16le, VEXLIN_CCSID_UTF16_LE), Bytes(utf16be, sizeof utf16be, VEXLIN_CCSID_UTF16_BE)},
        {Bytes(latin1, 3, VEXLIN_CCSID_ISO8859_1), Bytes(broken, 3, VEXLIN_CCSID_UTF8)},
        {Bytes(nullptr, 5, VEXLIN_CCSID_UTF8), Bytes("", 0, VEXLIN_CCSID_UTF8)},
    };
    std::vector<vexlin_tracer_handle_t> tracers;
    for (auto& c : cases) tracers.push_back(vexlin_customservicetracer_create_p(&c[0], &c[1]));
    tracers.push_back(vexlin_customservicetracer_create_p(nullptr, nullptr));
    for (vexlin_tracer_handle_t t : tracers) {
        vexlin_tracer_start(t);
        vexlin_tracer_end(t);
    }
    std::vector<Value> trace = StopAndRead();

    auto created = [&](std::size_t i) -> const Value& {
        return About(trace, "customservicetracer_create_p", tracers[i]);
    };
    EXPECT_EQ(created(0)["service_method"].Str(), std::string(escapes));
    EXPECT_EQ(created(0)["service_name"].Str(), "abc");
    EXPECT_EQ(created(1)["service_method"].Str(), "G\xC3\xBC\xF0\x9F\x98\x80");
    EXPECT_EQ(created(1)["service_name"].Str(), "hi");
    EXPECT_EQ(created(2)["service_method"].Str(), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(created(2)["service_name"].Str(),
              "a\xEF\xBF\xBD"
              "b");  // U+FFFD for the stray byte
    EXPECT_TRUE(created(3)["service_method"].is_null());
    EXPECT_EQ(created(3)["service_name"].type, Value::kString);
    EXPECT_EQ(created(3)["service_name"].Str(), "");
    EXPECT_TRUE(created(4)["service_method"].is_null());
    EXPECT_TRUE(Misuses(trace).empty());
}

TEST_F(ConsoleAgent, StringAndByteTagsAreHandedOutInTwoStepsAndNameTheirOrigin) {
    Start();
    vexlin_string_t m = U8("call"), s = U8("Svc"), e = U8("ep"), ch = U8("host:1");
    vexlin_tracer_handle_t out = vexlin_outgoingremotecalltracer_create_p(&m, &s, &e, 1, &ch);
    vexlin_tracer_start(out);

    vexlin_size_t required = 0;
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(out, nullptr, 0, &required), 0u);
    ASSERT_GT(required, 1u);
    char small[4] = "xyz";
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(out, small, sizeof small, nullptr), 0u);
    EXPECT_EQ(small[0], '\0');
    std::vector<char> tag(required);
    vexlin_size_t written = vexlin_tracer_get_outgoing_korvantix_string_tag(out, tag.data(), tag.size(), &required);
    EXPECT_EQ(written, std::strlen(tag.data()));
    EXPECT_EQ(written + 1, required);

    vexlin_size_t byte_size = 0;
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_byte_tag(out, nullptr, 0, &byte_size), 0u);
    std::vector<unsigned char> byte_tag(byte_size);
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_byte_tag(out, byte_tag.data(), byte_tag.size(), nullptr), byte_size);
    vexlin_tracer_end(out);

    vexlin_tracer_handle_t in = vexlin_incomingremotecalltracer_create_p(&m, &s, &e);
    vexlin_string_t received = U8(tag.data());
    vexlin_tracer_set_incoming_korvantix_string_tag_p(in, &received);
    vexlin_tracer_handle_t in_bytes = vexlin_incomingremotecalltracer_create_p(&m, &s, &e);
    vexlin_tracer_set_incoming_korvantix_byte_tag(in_bytes, byte_tag.data(), byte_tag.size());
    vexlin_string_t foreign = U8("someone-else's-tag");
    vexlin_tracer_set_incoming_korvantix_string_tag_p(in_bytes, &foreign);

    // Tags belong to outgoing tracers; asking an incoming one gets an empty tag.
    char wrong[16] = "unchanged";
    EXPECT_EQ(vexlin_tracer_get_outgoing_korvantix_string_tag(in, wrong, sizeof wrong, nullptr), 0u);
    EXPECT_STREQ(wrong, "");
    for (vexlin_tracer_handle_t t : {in, in_bytes}) {
        vexlin_tracer_start(t);
        vexlin_tracer_end(t);
    }
    std::vector<Value> trace = StopAndRead();

    auto tag_lines = WithCall(trace, "tracer_get_outgoing_korvantix_string_tag");
    ASSERT_EQ(tag_lines.size(), 4u);
    EXPECT_EQ((*tag_lines[2])["tag"].Str(), std::string(tag.data()));
    EXPECT_TRUE((*tag_lines[2])["written"].boolean);
    EXPECT_FALSE((*tag_lines[0])["written"].boolean);
    EXPECT_EQ((*tag_lines[0])["required_buffer_size"].Int(), std::int64_t(required));

    const Value& set = About(trace, "tracer_set_incoming_korvantix_string_tag_p", in);
    EXPECT_EQ(set["tag"].Str(), std::string(tag.data()));
    EXPECT_EQ(set["origin"]["tracer"].Int(), std::int64_t(out));
    EXPECT_EQ(set["origin"]["pid"].Int(), getpid());
    const Value& set_bytes = About(trace, "tracer_set_incoming_korvantix_byte_tag", in_bytes);
    EXPECT_EQ(set_bytes["tag"].Str().size(), 2 * byte_size);
    EXPECT_EQ(set_bytes["origin"]["tracer"].Int(), std::int64_t(out));
    auto string_sets = WithCall(trace, "tracer_set_incoming_korvantix_string_tag_p");
    ASSERT_EQ(string_sets.size(), 2u);
    EXPECT_FALSE(string_sets[1]->Has("origin"));

    auto wrong_kind = Misuses(trace, "wrong_kind");
    ASSERT_EQ(wrong_kind.size(), 1u);
    EXPECT_EQ((*wrong_kind[0])["call"].Str(), "tracer_get_outgoing_korvantix_string_tag");
    EXPECT_EQ((*wrong_kind[0])["tracer"].Int(), std::int64_t(in));
    EXPECT_EQ(Misuses(trace).size(), 1u);
}

TEST_F(ConsoleAgent, InProcessLinkJoinsWorkOnAnotherThreadToItsOrigin) {
    Start();
    vexlin_string_t m = U8("handle"), s = U8("Main");
    vexlin_tracer_handle_t origin = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_tracer_start(origin);
    unsigned char link[64];
    vexlin_size_t required = 0;
    vexlin_size_t size = vexlin_inprocesslink_create(link, sizeof link, &required);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(size, required);

    vexlin_tracer_handle_t linked = 0, inner = 0;
    std::thread worker([&] {
        linked = vexlin_inprocesslinktracer_create(link, size);
        vexlin_tracer_start(linked);
        inner = vexlin_customservicetracer_create_p(&m, &s);
        vexlin_tracer_start(inner);
        vexlin_tracer_end(inner);
        vexlin_tracer_end(linked);
    });
    worker.join();
    vexlin_tracer_end(origin);

    // A link made with nothing running, and bytes that are no link at all.
    EXPECT_EQ(vexlin_inprocesslink_create(link, sizeof link, &required), size);
    const unsigned char junk[3] = {1, 2, 3};
    vexlin_tracer_handle_t bogus = vexlin_inprocesslinktracer_create(junk, sizeof junk);
    vexlin_tracer_start(bogus);
    vexlin_tracer_end(bogus);
    std::vector<Value> trace = StopAndRead();

    const Value& made = *WithCall(trace, "inprocesslink_create").front();
    EXPECT_EQ(made["tracer"].Int(), std::int64_t(origin));
    EXPECT_EQ(made["link"].Str().size(), 2 * size);
    const Value& created = About(trace, "inprocesslinktracer_create", linked);
    EXPECT_EQ(created["kind"].Str(), "in_process_link");
    EXPECT_EQ(created["linked_tracer"].Int(), std::int64_t(origin));
    EXPECT_EQ(created["link"].Str(), made["link"].Str());
    EXPECT_NE(created["thread"].Int(), About(trace, "tracer_start", origin)["thread"].Int());
    EXPECT_TRUE(About(trace, "tracer_start", linked)["parent"].is_null());  // nothing runs on the worker before it
    EXPECT_EQ(About(trace, "tracer_start", inner)["parent"].Int(), std::int64_t(linked));

    ASSERT_EQ(Misuses(trace, "no_active_tracer").size(), 1u);
    EXPECT_EQ((*Misuses(trace, "no_active_tracer")[0])["call"].Str(), "inprocesslink_create");
    auto invalid = Misuses(trace, "invalid_link");
    ASSERT_EQ(invalid.size(), 1u);
    EXPECT_EQ((*invalid[0])["tracer"].Int(), std::int64_t(bogus));
    EXPECT_EQ(Misuses(trace).size(), 2u);
}

TEST_F(ConsoleAgent, CustomRequestAttributesAttachToTheInnermostRunningTracer) {
    Start();
    vexlin_string_t m = U8("m"), s = U8("s");
    vexlin_tracer_handle_t outer = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_tracer_handle_t inner = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_string_t keys[3] = {U8("a"), U8("b"), U8("c")};
    vexlin_string_t texts[1] = {U8("x")};
    const vexlin_int64_t ints[2] = {-5, INT64_MAX};
    const double floats[3] = {0.5, 1e300, std::nan("")};

    vexlin_tracer_start(outer);
    vexlin_tracer_start(inner);
    vexlin_customrequestattribute_add_integers_p(keys, ints, 2);
    vexlin_customrequestattribute_add_floats_p(keys, floats, 3);
    vexlin_tracer_end(inner);
    vexlin_customrequestattribute_add_strings_p(keys, texts, 1);
    vexlin_tracer_end(outer);
    vexlin_customrequestattribute_add_strings_p(keys, texts, 1);
    std::vector<Value> trace = StopAndRead();

    const Value& integers = *WithCall(trace, "customrequestattribute_add_integers_p").at(0);
    EXPECT_EQ(integers["tracer"].Int(), std::int64_t(inner));
    EXPECT_EQ(integers["attributes"][0][1].Int(), -5);
    EXPECT_EQ(integers["attributes"][1][1].Str(), "9223372036854775807");
    const Value& doubles = *WithCall(trace, "customrequestattribute_add_floats_p").at(0);
    EXPECT_EQ(doubles["attributes"][0][1].Double(), 0.5);
    EXPECT_EQ(doubles["attributes"][1][1].Double(), 1e300);
    EXPECT_EQ(doubles["attributes"][2][1].Str(), "NaN");
    EXPECT_EQ(doubles["attributes"][2][1].type, Value::kString);
    auto strings = WithCall(trace, "customrequestattribute_add_strings_p");
    ASSERT_EQ(strings.size(), 2u);
    EXPECT_EQ((*strings[0])["tracer"].Int(), std::int64_t(outer));
    EXPECT_EQ((*strings[0])["attributes"][0][0].Str(), "a");
    EXPECT_EQ((*strings[0])["attributes"][0][1].Str(), "x");
    EXPECT_TRUE((*strings[1])["tracer"].is_null());
    auto none = Misuses(trace, "no_active_tracer");
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ((*none[0])["seq"].Int(), (*strings[1])["seq"].Int() + 1);  // right after its call
}

TEST_F(ConsoleAgent, MetricsNameTheirKeyInEveryUpdateAndRejectTheWrongUpdate) {
    Start();
    vexlin_string_t key = U8("jobs"), unit = U8("1"), dim = U8("queue"), q = U8("fast");
    vexlin_metric_handle_t ic = vexlin_integercountermetric_create_p(&key, &unit, &dim);
    vexlin_metric_handle_t fc = vexlin_floatcountermetric_create_p(&key, &unit, &dim);
    vexlin_metric_handle_t ig = vexlin_integergaugemetric_create_p(&key, &unit, &dim);
    vexlin_metric_handle_t fg = vexlin_floatgaugemetric_create_p(&key, &unit, nullptr);
    vexlin_metric_handle_t is = vexlin_integerstatisticsmetric_create_p(&key, &unit, &dim);
    vexlin_metric_handle_t fs = vexlin_floatstatisticsmetric_create_p(&key, &unit, &dim);
    vexlin_integercountermetric_increase_by_p(ic, 5, &q);
    vexlin_floatcountermetric_increase_by_p(fc, 0.25, &q);
    vexlin_integergaugemetric_set_value_p(ig, -3, &q);
    vexlin_floatgaugemetric_set_value_p(fg, 2.5, nullptr);
    vexlin_integerstatisticsmetric_add_value_p(is, 9, &q);
    vexlin_floatstatisticsmetric_add_value_p(fs, 1.5, &q);
    vexlin_integergaugemetric_set_value_p(ic, 1, &q);  // a counter is no gauge
    vexlin_metric_delete(ic);
    vexlin_integercountermetric_increase_by_p(ic, 1, &q);
    std::vector<Value> trace = StopAndRead();

    const Value& created = *WithCall(trace, "integercountermetric_create_p").at(0);
    EXPECT_EQ(created["metric"].Int(), std::int64_t(ic));
    EXPECT_EQ(created["kind"].Str(), "integer_counter");
    EXPECT_EQ(created["metric_key"].Str(), "jobs");
    EXPECT_EQ(created["unit"].Str(), "1");
    EXPECT_EQ(created["dimension_name"].Str(), "queue");
    EXPECT_TRUE((*WithCall(trace, "floatgaugemetric_create_p").at(0))["dimension_name"].is_null());

    const Value& increase = *WithCall(trace, "integercountermetric_increase_by_p").at(0);
    EXPECT_EQ(increase["value"].Int(), 5);
    EXPECT_EQ(increase["dimension"].Str(), "fast");
    EXPECT_EQ(increase["metric_key"].Str(), "jobs");
    EXPECT_EQ((*WithCall(trace, "floatcountermetric_increase_by_p").at(0))["value"].Double(), 0.25);
    EXPECT_EQ((*WithCall(trace, "floatgaugemetric_set_value_p").at(0))["kind"].Str(), "float_gauge");
    EXPECT_EQ((*WithCall(trace, "integerstatisticsmetric_add_value_p").at(0))["value"].Int(), 9);
    EXPECT_EQ((*WithCall(trace, "floatstatisticsmetric_add_value_p").at(0))["value"].Double(), 1.5);

    auto wrong = Misuses(trace, "wrong_kind");
    ASSERT_EQ(wrong.size(), 1u);
    EXPECT_EQ((*wrong[0])["metric"].Int(), std::int64_t(ic));
    EXPECT_NE((*wrong[0])["message"].Str().find("integer_counter"), std::string::npos);
    auto deleted = Misuses(trace, "used_after_delete");
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ((*deleted[0])["call"].Str(), "integercountermetric_increase_by_p");
    EXPECT_EQ(Misuses(trace).size(), 2u);
}

TEST_F(ConsoleAgent, ExtensionGroupsSpanTechnologyTimedTracersAndServerless) {
    Start();
    ASSERT_EQ(vexlin_ex_api_enable_span(), 0);
    ASSERT_EQ(vexlin_ex_api_enable_techtype(), 0);
    ASSERT_EQ(vexlin_ex_api_enable_tracer_ext(), 0);
    ASSERT_EQ(vexlin_ex_api_enable_serverless(), 0);

    vexlin_tracer_handle_t span = vexlin_ex_spantracer_create(3);
    vexlin_ex_trace_id_t trace_id;
    vexlin_ex_span_id_t span_id;
    for (int i = 0; i < 16; ++i) trace_id.binary_id[i] = static_cast<unsigned char>(i * 17);
    for (int i = 0; i < 8; ++i) span_id.binary_id[i] = static_cast<unsigned char>(0xF0 + i);
    vexlin_ex_spantracer_set_ids_p(span, &trace_id, &span_id, nullptr);
    vexlin_string_t keys[2] = {U8("k1"), U8("k2")}, texts[2] = {U8("v1"), U8("v2")};
    const vexlin_int64_t ints[1] = {42};
    const double doubles[1] = {-0.125};
    const float floats[1] = {0.1f};
    const unsigned char bools[2] = {0, 7};
    vexlin_ex_spantracer_set_strings_p(span, keys, texts, 2);
    vexlin_ex_spantracer_set_integers_p(span, keys, ints, 1);
    vexlin_ex_spantracer_set_doubles_p(span, keys, doubles, 1);
    vexlin_ex_spantracer_set_floats_p(span, keys, floats, 1);
    vexlin_ex_spantracer_set_bools_p(span, keys, bools, 2);
    vexlin_string_t op = U8("consume");
    vexlin_ex_spantracer_set_operationname_p(span, &op);
    vexlin_tracer_start(span);
    vexlin_tracer_end(span);

    vexlin_string_t edition = U8("Community"), version = U8("3.2");
    vexlin_ex_agent_add_process_technology_p(12, &edition, &version);

    vexlin_string_t m = U8("m"), s = U8("s");
    vexlin_tracer_handle_t parent = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_tracer_handle_t timed = vexlin_customservicetracer_create_p(&m, &s);
    EXPECT_EQ(vexlin_ex_tracer_start_2(parent, 0, 0), 1);
    EXPECT_EQ(vexlin_ex_tracer_start_2(timed, parent, 1000000), 1);
    EXPECT_EQ(vexlin_ex_tracer_start_2(timed, parent, 1000000), 0);  // already running
    vexlin_ex_tracer_end_timed(timed, 1250000);
    vexlin_ex_tracer_end_timed(parent, 0);
    vexlin_ex_agent_force_send_data_now();
    std::vector<Value> trace = StopAndRead();

    std::vector<std::string> groups;
    for (const Value* l : WithCall(trace, "get_library", "lifecycle")) groups.push_back((*l)["name"].Str());
    EXPECT_EQ(groups, (std::vector<std::string>{"library", "metrics", "span", "techtype", "tracer_ext", "serverless"}));

    EXPECT_EQ(About(trace, "ex_spantracer_create", span)["kind"].Str(), "span");
    EXPECT_EQ(About(trace, "ex_spantracer_create", span)["tracing_system_type"].Int(), 3);
    const Value& ids = About(trace, "ex_spantracer_set_ids_p", span);
    EXPECT_EQ(ids["trace_id"].Str(), "00112233445566778899aabbccddeeff");
    EXPECT_EQ(ids["span_id"].Str(), "f0f1f2f3f4f5f6f7");
    EXPECT_TRUE(ids["parent_span_id"].is_null());
    const Value& strings = About(trace, "ex_spantracer_set_strings_p", span)["attributes"];
    ASSERT_EQ(strings.size(), 2u);
    EXPECT_EQ(strings[1][0].Str(), "k2");
    EXPECT_EQ(strings[1][1].Str(), "v2");
    EXPECT_EQ(About(trace, "ex_spantracer_set_integers_p", span)["attributes"][0][1].Int(), 42);
    EXPECT_EQ(About(trace, "ex_spantracer_set_doubles_p", span)["attributes"][0][1].Str(), "-0.125");
    EXPECT_EQ(About(trace, "ex_spantracer_set_floats_p", span)["attributes"][0][1].Str(), "0.1");
    const Value& flags = About(trace, "ex_spantracer_set_bools_p", span)["attributes"];
    EXPECT_FALSE(flags[0][1].boolean);
    EXPECT_TRUE(flags[1][1].boolean);
    EXPECT_EQ(flags[1][1].type, Value::kBool);
    EXPECT_EQ(About(trace, "ex_spantracer_set_operationname_p", span)["operation_name"].Str(), "consume");

    const Value& tech = *WithCall(trace, "ex_agent_add_process_technology_p").at(0);
    EXPECT_EQ(tech["tech_type"].Int(), 12);
    EXPECT_EQ(tech["tech_edition"].Str(), "Community");
    EXPECT_EQ(tech["tech_version"].Str(), "3.2");

    const Value& timed_start = About(trace, "ex_tracer_start_2", timed);
    EXPECT_EQ(timed_start["requested_parent"].Int(), std::int64_t(parent));
    EXPECT_EQ(timed_start["parent"].Int(), std::int64_t(parent));
    EXPECT_EQ(timed_start["start_us"].Int(), 1000000);
    const Value& timed_end = About(trace, "ex_tracer_end_timed", timed);
    EXPECT_EQ(timed_end["end_us"].Int(), 1250000);
    EXPECT_EQ(timed_end["duration_us"].Int(), 250000);
    EXPECT_GT(About(trace, "ex_tracer_start_2", parent)["start_us"].Int(), 1000000);  // 0 means now
    EXPECT_EQ(Misuses(trace, "started_twice").size(), 1u);
    EXPECT_EQ(WithCall(trace, "ex_agent_force_send_data_now").size(), 1u);
    EXPECT_EQ(Misuses(trace).size(), 1u);
}

TEST_F(ConsoleAgent, MessagingTracersCarryTheirSystemAndMessageIds) {
    Start();
    vexlin_string_t vendor = U8("RabbitMQ"), dest = U8("orders"), ep = U8("mq:5672");
    vexlin_messagingsysteminfo_handle_t info = vexlin_messagingsysteminfo_create_p(&vendor, &dest, 1, 2, &ep);
    vexlin_tracer_handle_t send = vexlin_outgoingmessagetracer_create(info);
    vexlin_string_t id = U8("msg-1"), corr = U8("c-9");
    vexlin_outgoingmessagetracer_set_vendor_message_id_p(send, &id);
    vexlin_outgoingmessagetracer_set_correlation_id_p(send, &corr);
    vexlin_tracer_handle_t receive = vexlin_incomingmessagereceivetracer_create(info);
    vexlin_tracer_handle_t process = vexlin_incomingmessageprocesstracer_create(info);
    vexlin_incomingmessageprocesstracer_set_vendor_message_id_p(process, &id);
    vexlin_incomingmessageprocesstracer_set_correlation_id_p(process, &corr);
    vexlin_messagingsysteminfo_delete(info);
    vexlin_tracer_handle_t late = vexlin_outgoingmessagetracer_create(info);
    for (vexlin_tracer_handle_t t : {send, receive, process, late}) {
        vexlin_tracer_start(t);
        vexlin_tracer_end(t);
    }
    std::vector<Value> trace = StopAndRead();

    const Value& sent = About(trace, "outgoingmessagetracer_create", send);
    EXPECT_EQ(sent["kind"].Str(), "outgoing_message");
    EXPECT_EQ(sent["messaging_system"]["vendor_name"].Str(), "RabbitMQ");
    EXPECT_EQ(sent["messaging_system"]["destination_type"].Int(), 1);
    EXPECT_EQ(sent["messaging_system"]["channel_type"].Int(), 2);
    EXPECT_EQ(About(trace, "outgoingmessagetracer_set_vendor_message_id_p", send)["vendor_message_id"].Str(), "msg-1");
    EXPECT_EQ(About(trace, "outgoingmessagetracer_set_correlation_id_p", send)["correlation_id"].Str(), "c-9");
    EXPECT_EQ(About(trace, "incomingmessagereceivetracer_create", receive)["kind"].Str(), "incoming_message_receive");
    EXPECT_EQ(About(trace, "incomingmessageprocesstracer_set_vendor_message_id_p", process)["vendor_message_id"].Str(),
              "msg-1");
    EXPECT_EQ(About(trace, "incomingmessageprocesstracer_set_correlation_id_p", process)["correlation_id"].Str(),
              "c-9");
    // A tracer on a deleted info is still traced, without the info.
    EXPECT_TRUE(About(trace, "outgoingmessagetracer_create", late)["messaging_system"].is_null());
    auto deleted = Misuses(trace, "used_after_delete");
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ((*deleted[0])["messaging_system_info"].Int(), std::int64_t(info));
    EXPECT_EQ(Misuses(trace).size(), 1u);
}

TEST_F(ConsoleAgent, MisuseIsReportedOnLinesOfItsOwnRightAfterTheCall) {
    Start();
    vexlin_string_t m = U8("m"), s = U8("s"), sql = U8("SELECT 1");
    vexlin_string_t server = U8("w"), app = U8("a"), root = U8("/");
    vexlin_webapplicationinfo_handle_t web_info = vexlin_webapplicationinfo_create_p(&server, &app, &root);
    vexlin_tracer_handle_t never_started = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_tracer_end(never_started);                                                              // end_without_start
    vexlin_tracer_handle_t db_tracer = vexlin_databaserequesttracer_create_sql_p(web_info, &sql);  // wrong_kind (info)
    vexlin_tracer_start(db_tracer);
    vexlin_tracer_start(db_tracer);                                                         // started_twice
    vexlin_incomingwebrequesttracer_set_status_code(db_tracer, 500);                        // wrong_kind
    vexlin_incomingwebrequesttracer_add_request_headers_p(db_tracer, nullptr, nullptr, 2);  // wrong_kind, null_array x2
    vexlin_tracer_end(db_tracer);
    vexlin_databaserequesttracer_set_returned_row_count(db_tracer, 1);  // used_after_end
    vexlin_tracer_start(987654321);                                     // invalid_handle
    vexlin_tracer_start(0);                                             // invalid_handle
    vexlin_tracer_handle_t left_created = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_tracer_handle_t left_running = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_tracer_start(left_running);
    std::vector<Value> trace = StopAndRead();

    auto only = [&](const char* problem) -> const Value& {
        auto found = Misuses(trace, problem);
        EXPECT_EQ(found.size(), 1u) << problem;
        return found.empty() ? Value::Null() : *found[0];
    };
    EXPECT_EQ(only("end_without_start")["tracer"].Int(), std::int64_t(never_started));
    EXPECT_EQ(only("started_twice")["tracer"].Int(), std::int64_t(db_tracer));
    const Value& after_end = only("used_after_end");
    EXPECT_EQ(after_end["call"].Str(), "databaserequesttracer_set_returned_row_count");
    EXPECT_EQ(after_end["kind"].Str(), "database_request");
    EXPECT_EQ(Misuses(trace, "null_array").size(), 2u);
    EXPECT_EQ(Misuses(trace, "invalid_handle").size(), 2u);

    auto wrong = Misuses(trace, "wrong_kind");
    ASSERT_EQ(wrong.size(), 3u);
    EXPECT_EQ((*wrong[0])["call"].Str(), "databaserequesttracer_create_sql_p");
    EXPECT_EQ((*wrong[0])["database_info"].Int(), std::int64_t(web_info));
    EXPECT_EQ((*wrong[1])["call"].Str(), "incomingwebrequesttracer_set_status_code");
    EXPECT_NE((*wrong[1])["message"].Str().find("incoming_web_request"), std::string::npos);
    EXPECT_NE((*wrong[1])["message"].Str().find("database_request"), std::string::npos);

    auto unfinished = Misuses(trace, "unfinished_at_shutdown");
    ASSERT_EQ(unfinished.size(), 2u);
    EXPECT_EQ((*unfinished[0])["tracer"].Int(), std::int64_t(left_created));
    EXPECT_NE((*unfinished[0])["message"].Str().find("created"), std::string::npos);
    EXPECT_EQ((*unfinished[1])["tracer"].Int(), std::int64_t(left_running));
    EXPECT_NE((*unfinished[1])["message"].Str().find("started"), std::string::npos);
    const Value& shutdown = *WithCall(trace, "shutdown", "lifecycle").at(0);
    EXPECT_EQ(shutdown["unfinished_tracers"].Int(), 2);
    EXPECT_EQ(shutdown["undeleted_handles"].Int(), 1);  // the web application info

    // Every misuse line follows the line of the call that caused it.
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (trace[i]["type"].Str() != "misuse") continue;
        EXPECT_FALSE(trace[i]["message"].Str().empty());
        ASSERT_GT(i, 0u);
        std::size_t j = i - 1;
        while (j > 0 && trace[j]["type"].Str() == "misuse") --j;
        EXPECT_EQ(trace[j]["call"].Str(), trace[i]["call"].Str()) << "misuse line " << trace[i]["seq"].Int();
    }
}

std::mutex g_messages_mutex;
std::vector<std::string> g_warnings;
std::vector<std::string> g_verbose;
void OnWarning(const char* message) {
    std::lock_guard<std::mutex> guard(g_messages_mutex);
    g_warnings.push_back(message);
}
void OnVerbose(const char* message) {
    std::lock_guard<std::mutex> guard(g_messages_mutex);
    g_verbose.push_back(message);
}

TEST_F(ConsoleAgent, CallbacksReceiveMisuseMessagesAndEveryLine) {
    Start();
    ASSERT_EQ(vexlin_agent_set_warning_callback(&OnWarning), 0);
    ASSERT_EQ(vexlin_agent_set_verbose_callback(&OnVerbose), 0);
    vexlin_string_t m = U8("m"), s = U8("s");
    vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&m, &s);
    vexlin_tracer_end(t);
    vexlin_agent_set_verbose_callback(nullptr);
    vexlin_agent_set_warning_callback(nullptr);
    std::vector<Value> trace = StopAndRead();

    ASSERT_EQ(g_warnings.size(), 1u);
    EXPECT_NE(g_warnings[0].find("never started"), std::string::npos) << g_warnings[0];
    // The verbose callback saw every line from the one that set it up to the
    // one that removed it, which was written after it was gone.
    ASSERT_EQ(g_verbose.size(), 4u);
    std::vector<Value> seen = console_test::ParseTrace([] {
        std::string all;
        for (const std::string& line : g_verbose) all += line + "\n";
        return all;
    }());
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0]["call"].Str(), "agent_set_verbose_callback");
    EXPECT_TRUE(seen[0]["callback"].boolean);
    EXPECT_EQ(seen[2]["call"].Str(), "tracer_end");
    EXPECT_EQ(seen[3]["type"].Str(), "misuse");
    // The same lines as in the file.
    EXPECT_EQ(seen[3]["message"].Str(), trace.at(std::size_t(seen[3]["seq"].Int() - 1))["message"].Str());
}

TEST_F(ConsoleAgent, ConcurrentThreadsGetWholeLinesAndParentsFromTheirOwnThread) {
    Start();
    constexpr int kThreads = 4, kRounds = 100;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([] {
            vexlin_string_t m = U8("work"), s = U8("Pool");
            for (int r = 0; r < kRounds; ++r) {
                vexlin_tracer_handle_t outer = vexlin_customservicetracer_create_p(&m, &s);
                vexlin_tracer_start(outer);
                vexlin_tracer_handle_t inner = vexlin_customservicetracer_create_p(&m, &s);
                vexlin_tracer_start(inner);
                vexlin_tracer_end(inner);
                vexlin_tracer_end(outer);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::vector<Value> trace = StopAndRead();

    for (std::size_t i = 0; i < trace.size(); ++i) ASSERT_EQ(trace[i]["seq"].Int(), std::int64_t(i + 1));
    EXPECT_TRUE(Misuses(trace).empty());
    std::map<std::int64_t, std::int64_t> start_thread;
    auto starts = WithCall(trace, "tracer_start");
    ASSERT_EQ(starts.size(), std::size_t(2 * kThreads * kRounds));
    int nested = 0;
    for (const Value* s : starts) {
        start_thread[(*s)["tracer"].Int()] = (*s)["thread"].Int();
        if ((*s)["parent"].is_null()) continue;
        ++nested;
        EXPECT_EQ(start_thread.at((*s)["parent"].Int()), (*s)["thread"].Int());
    }
    EXPECT_EQ(nested, kThreads * kRounds);
    EXPECT_EQ(WithCall(trace, "tracer_end").size(), std::size_t(2 * kThreads * kRounds));
}

TEST_F(ConsoleAgent, RefusesToStartWhenItsOutputCannotBeOpened) {
    LogCapture log(VEXLIN_LOGGING_LEVEL_SEVERE);
    ASSERT_EQ(vexlin_stub_set_variable("console_output=/nonexistent-vexlin-dir/trace.jsonl", 1), 0);
    ASSERT_EQ(vexlin_stub_set_variable(("agentlibrary=" + std::string(CONSOLE_AGENT_PATH)).c_str(), 1), 0);
    EXPECT_EQ(vexlin_initialize(), VEXLIN_ERROR_INVALID_ARGUMENT);
    vexlin_bool_t found = 0, compatible = 1;
    vexlin_stub_get_agent_load_info(&found, &compatible);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(compatible, 0);
    auto severe = LogCapture::AtLeast(VEXLIN_LOGGING_LEVEL_SEVERE);
    ASSERT_EQ(severe.size(), 1u);
    EXPECT_NE(severe[0].message.find("console agent: cannot open console_output '/nonexistent-vexlin-dir/trace.jsonl'"),
              std::string::npos)
        << severe[0].message;
}

TEST_F(ConsoleAgent, ReportsItsStateAndAForkedChildAsSuch) {
    Start();
    EXPECT_EQ(vexlin_agent_get_current_state(), 0);
    EXPECT_EQ(vexlin_agent_get_fork_state(), 0);
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(vexlin_agent_get_fork_state() == 1 ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<Value> trace = StopAndRead();

    auto forks = WithCall(trace, "agent_get_fork_state");
    ASSERT_EQ(forks.size(), 2u);  // both processes append to the same file
    EXPECT_NE((*forks[0])["pid"].Int(), (*forks[1])["pid"].Int());
    for (const Value* f : forks) EXPECT_EQ((*f)["result"].Int(), (*f)["pid"].Int() == getpid() ? 0 : 1);
    const Value& in_child = (*forks[0])["pid"].Int() == getpid() ? *forks[1] : *forks[0];
    EXPECT_EQ(in_child["seq"].Int(), 1);
}

TEST_F(ConsoleAgent, IsUnloadedByTheLastShutdown) {
    Start();
    ASSERT_EQ(vexlin_shutdown(), 0);
    // A module that stayed mapped would keep its counters into the next load.
    void* still_loaded = dlopen(CONSOLE_AGENT_PATH, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still_loaded, nullptr);
    if (still_loaded != nullptr) dlclose(still_loaded);
}

TEST(ConsoleAgentAtExit, ShutdownFromAnAtexitHandlerWhileAThreadTracesRunsClean) {
    const int runs = getenv("VEXLIN_TEST_SLOW") != nullptr ? 3 : 20;
    for (int i = 0; i < runs; ++i) {
        console_test::TempPath output("exit-trace");
        auto run = console_test::RunProcess({EXIT_WHILE_TRACING_PATH, "--kx_console_output=" + output.path()},
                                            {std::string("KX_AGENTLIBRARY=") + CONSOLE_AGENT_PATH});
        ASSERT_EQ(run.exit_code, 0) << "run " << i << ": " << run.err;
        std::vector<Value> trace = console_test::ParseTrace(console_test::ReadFile(output.path()));
        auto shutdowns = WithCall(trace, "shutdown", "lifecycle");
        ASSERT_EQ(shutdowns.size(), 1u) << "run " << i;
        // The tracer of main and the worker's outer one at least; perhaps an inner one.
        const std::int64_t unfinished = (*shutdowns[0])["unfinished_tracers"].Int();
        EXPECT_GE(unfinished, 2) << "run " << i;
        EXPECT_EQ(std::int64_t(Misuses(trace, "unfinished_at_shutdown").size()), unfinished) << "run " << i;
    }
}

}  // namespace
