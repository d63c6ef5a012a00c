// The allocator seen through a shim this program links in place of malloc:
// every operation that allocates is run with its 1st, 2nd, ... allocation
// failing until it completes, and must give its result, leak nothing and keep
// its state; sizes that would overflow never reach the allocator; the 73
// forwarding functions never allocate or free; and the modules we ship answer
// a traced request neutrally whichever allocation fails, say so once, and
// leave no tracer behind.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "vexlin_test.h"
#include "vexlin_xstr.h"

namespace {

std::atomic<long> g_live{0};  // blocks handed out and not yet freed, by any thread
// Only the armed thread counts and fails its allocations: a module's own
// threads allocate as they please. The rest is touched only by that thread.
thread_local bool t_armed = false;
bool g_fired = false;
long g_fail_at = 0, g_attempts = 0, g_frees = 0, g_hook_at = 0;
size_t g_last_bytes = 0;     // of the latest allocation asked for
void (*g_hook)() = nullptr;  // runs just before allocation g_hook_at is served

// Counts from now; allocation n fails (none when n is 0).
void Arm(long n, void (*hook)() = nullptr, long hook_at = 0) {
    g_attempts = g_frees = 0;
    g_fired = false;
    g_fail_at = n;
    g_hook = hook;
    g_hook_at = hook_at;
    t_armed = true;
}
void Disarm() { t_armed = false; }

template <typename Allocate>
void* ShimAllocate(size_t bytes, Allocate allocate, void* moved) {
    if (t_armed) g_last_bytes = bytes;
    if (t_armed && ++g_attempts == g_hook_at && g_hook != nullptr) g_hook();
    if (t_armed && g_attempts == g_fail_at) {
        g_fired = true;
        errno = ENOMEM;
        return nullptr;
    }
    void* p = allocate();
    if (p != nullptr && moved == nullptr) ++g_live;  // a moved block is not added
    return p;
}
void ShimFree(void* ptr) {
    if (ptr != nullptr) --g_live, g_frees += t_armed;
}

}  // namespace

#include "malloc_shim.h"

namespace {

using Strings = std::vector<std::string>;

void Store(const Strings& variables) {
    vexlin_stub_free_variables();
    for (const std::string& v : variables) ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable(v.c_str(), 0));
}

vexlin_args_t g_args = {-1, 0, nullptr, {nullptr, 0, 0}};
Strings g_stored;  // the store before the operation

vexlin_result_t CommandLine() {
    const char* argv[] = {"prog", "--kx_a=1", "plain", "--kx_b=2", "--kx_c=3"};
    return vexlin_stub_process_cmdline_args(5, argv, 0);
}
void CommandLineStoresTheRest(bool failed, vexlin_result_t) {
    EXPECT_EQ(failed ? 2u : 3u, StoredVariables().size());
    Store({});
}

vexlin_result_t Prepare() { return vexlin_args_prepare(&g_args); }
void PrepareFromHome() {
    setenv("KX_HOME", "/opt/app", 1);
    ASSERT_EQ(VEXLIN_SUCCESS, Prepare());
}
void PreparationEndsReleased(bool failed, vexlin_result_t) {
    EXPECT_EQ(failed ? -1 : 4, g_args.loglevelsdk);
    EXPECT_EQ(failed ? 0 : 1, g_args.agentactive);
    EXPECT_EQ(failed ? 0u : 2u, Entries(g_args.agent_args).size());
    EXPECT_STREQ(failed ? nullptr : "/opt/app/agent/lib/libpelmoranloader.so", g_args.agentlibrary);
    ASSERT_EQ(VEXLIN_SUCCESS, Prepare());
}

// A first cycle stores the init-flags variable and warms the loader.
void InitializeOnce() {
    setenv("KX_HOME", TEST_AGENT_HOME_DIR, 1);
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}
void InitializeFailedCleanly(bool failed, vexlin_result_t rc) {
    if (rc == VEXLIN_SUCCESS) {  // the loader or the module may absorb a failure of its own
        EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
        return;
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(3, vexlin_agent_get_current_state());
    EXPECT_EQ(g_stored, StoredVariables());
    EXPECT_FALSE(test_agent::IsLoaded(TEST_AGENT_HOME_DIR "/agent/lib/libpelmoranloader.so"));
    EXPECT_EQ(VEXLIN_ERROR_NOT_INITIALIZED, vexlin_shutdown());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

struct Operation {
    const char* name;
    long points;                         // allocations it makes; 0 when the loader decides, and so does the result
    Strings store;                       // the store it starts from
    const char* set;                     // a variable to set ('+' replacing), or
    Strings after;                       // the store after a success; a failure leaves it as it was
    vexlin_result_t (*run)() = nullptr;  // an operation
    void (*check)(bool failed, vexlin_result_t rc) = nullptr;  // that judges a run and puts back what `start` made
    void (*start)() = nullptr;
};
void PrintTo(const Operation& o, std::ostream* os) { *os << o.name; }

Operation Set(const char* name, long points, Strings store, const char* set, Strings after) {
    return {name, points, store, set, after};
}
Operation Run(const char* name, long points, Strings store, vexlin_result_t (*run)(),
              void (*check)(bool, vexlin_result_t), void (*start)() = nullptr) {
    return {name, points, store, nullptr, {}, run, check, start};
}

const Operation kOperations[] = {
    Set("NewVariableCopies", 1, {"first=1"}, "second=2", {"first=1", "second=2"}),
    Set("FirstVariableGrowsTheStoreThenCopies", 2, {}, "first=1", {"first=1"}),
    Set("NinthVariableGrowsTheStoreThenCopies", 2, {"1=", "2=", "3=", "4=", "5=", "6=", "7=", "8="},
        "9=", {"1=", "2=", "3=", "4=", "5=", "6=", "7=", "8=", "9="}),
    Set("ReplacingKeepsTheOldText", 1, {"name=old", "x=1"}, "+NAME=new", {"NAME=new", "x=1"}),
    // The store's array and three copies.
    Run("CommandLineStoresWhatItCan", 4, {}, CommandLine, CommandLineStoresTheRest),
    // The empty agentlibrary copy, the default path, the list and two copies.
    Run("PreparationEndsReleased", 5, {"one=1", "agentactive=1", "loglevelsdk=info", "two=2"}, Prepare,
        PreparationEndsReleased, PrepareFromHome),
    Run("InitializeFailsCleanly", 0, {"one=1", "two=2", "three=3"}, vexlin_initialize, InitializeFailedCleanly,
        InitializeOnce),
};

class Allocation : public testing::TestWithParam<Operation> {
protected:
    void SetUp() override {
        ClearLibraryEnvironment();
        vexlin_stub_free_variables();
    }
    void TearDown() override { Disarm(); }
};

TEST_P(Allocation, EachFailingInTurnFailsCleanly) {
    const Operation& o = GetParam();
    Store(o.store);
    if (o.start != nullptr) o.start();
    g_stored = StoredVariables();
    const long baseline = g_live;
    long n = 1;
    for (; n < 10000 && !HasFailure(); ++n) {
        Arm(n);
        const vexlin_result_t rc =
            o.run != nullptr ? o.run() : vexlin_stub_set_variable(o.set + (o.set[0] == '+'), o.set[0] == '+');
        Disarm();
        if (o.points != 0) EXPECT_EQ(g_fired ? VEXLIN_ERROR_OUT_OF_MEMORY : VEXLIN_SUCCESS, rc);
        if (o.check != nullptr) o.check(g_fired, rc);
        if (o.check == nullptr) EXPECT_EQ(g_fired ? g_stored : o.after, StoredVariables());
        if (o.check == nullptr) Store(o.store);
        if (o.points != 0) EXPECT_EQ(baseline, g_live) << "leaked";
        if (HasFailure()) ADD_FAILURE() << "with allocation " << n << " failing";
        if (!g_fired) break;
    }
    EXPECT_TRUE(o.points == 0 ? n > 1 : n == o.points + 1) << n - 1 << " allocations";
}

INSTANTIATE_TEST_SUITE_P(Allocation, Allocation, testing::ValuesIn(kOperations),
                         [](const testing::TestParamInfo<Operation>& info) { return info.param.name; });

TEST(Allocation, SizesThatWouldOverflowNeverReachTheAllocator) {
    const vexlin_size_t pointers = SIZE_MAX / sizeof(char*);
    const std::pair<vexlin_size_t, vexlin_size_t> grows[] = {
        {SIZE_MAX / 2 + 1, SIZE_MAX / 2 + 2},  // doubling would overflow
        {SIZE_MAX / 2, SIZE_MAX},              // the doubled limit exceeds the pointer count
        {pointers / 2 + 1, pointers / 2 + 2},
        {0, pointers + 1},  // the request alone exceeds it
        {0, pointers + 2},  // its byte count would wrap to a small number
    };
    Arm(0);
    EXPECT_EQ(nullptr, vexlin_xstr_alloc(SIZE_MAX - 2));
    for (const auto& g : grows) {
        vexlin_xstr_list_t list = {nullptr, 0, g.first};
        EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_grow(&list, g.second)) << std::hex << g.first;
        EXPECT_EQ(g.first, list.limit);
    }
    vexlin_xstr_list_t full = {nullptr, SIZE_MAX, SIZE_MAX};
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_append(&full, "x")) << "count + 1 would wrap";
    EXPECT_EQ(0, g_attempts);
    // The largest allowed sizes are passed on (and refused by the allocator).
    EXPECT_EQ(nullptr, vexlin_xstr_alloc(SIZE_MAX - 3));
    EXPECT_EQ(SIZE_MAX - 2, g_last_bytes) << "the terminator counted";
    vexlin_xstr_list_t list = {nullptr, 0, 0};
    EXPECT_EQ(VEXLIN_ERROR_OUT_OF_MEMORY, vexlin_xstr_list_grow(&list, pointers));
    Disarm();
    EXPECT_EQ(2, g_attempts);
    EXPECT_EQ(0u, list.limit);
}

// The environment's home lengthens between sizing the default module path and
// allocating it (the second allocation of the preparation, after the empty
// agentlibrary copy). putenv keeps this buffer as the variable's storage.
char g_home[64] = "KX_HOME=/opt/app";

TEST(Allocation, HomeChangingWhileThePathIsBuiltIsAnUnexpectedError) {
    putenv(g_home);
    LogCapture capture;
    vexlin_args_t args = {-1, 0, nullptr, {nullptr, 0, 0}};
    const long live = g_live;
    Arm(
        0, [] { strcpy(g_home, "KX_HOME=/opt/application"); }, 2);
    EXPECT_EQ(VEXLIN_ERROR_UNEXPECTED, vexlin_args_prepare(&args));
    Disarm();
    EXPECT_EQ(nullptr, args.agentlibrary);
    EXPECT_EQ(live + 2, g_live) << "the captured entry and its text only";
    EXPECT_EQ((Log{{VEXLIN_LOGGING_LEVEL_SEVERE, "Environment variables changed while building agent path string."}}),
              LogCapture::Entries());
}

template <typename R, typename... A>
void CallRepeatedly(R (*function)(A...)) {
    for (int i = 0; i < 1000; ++i) function(A{}...);
}

void ExpectNoAllocatorUse() {
    Arm(0);
    EXPECT_EQ(73,
              lifecycle::ForEachFunction([](const lifecycle::Function&, auto function) { CallRepeatedly(function); }));
    Disarm();
    EXPECT_EQ(0, g_attempts) << "allocations on a forwarding path";
    EXPECT_EQ(0, g_frees) << "frees on a forwarding path";
}

TEST(Allocation, ForwardingNeverAllocatesWithOrWithoutAnAgent) {
    ExpectNoAllocatorUse();
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_stub_set_variable("agentlibrary=" TEST_AGENT_PATH, 1));
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    lifecycle::EnableEveryGroup();
    test_agent::Control().slots_unrecorded = 1;
    ExpectNoAllocatorUse();
    EXPECT_GE(test_agent::Control().slot_calls, 73000u) << "the calls did reach the agent";
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
    ExpectNoAllocatorUse();
}

// ---- The modules we ship ---------------------------------------------------------

struct Module {
    const char* name;
    const char* path;
    const char* sink;  // how its texts name it
    // Describes every call, so that each allocation failing in one is
    // reported as a failed call; the OTLP module counts a span its queue
    // cannot grow for as dropped instead, as when the queue is full.
    bool reports_each_failure;
};
void PrintTo(const Module& m, std::ostream* os) { *os << m.name; }

const Module kModules[] = {
#ifdef CONSOLE_AGENT_PATH
    {"Console", CONSOLE_AGENT_PATH, "console agent", true},
#endif
#ifdef OTLP_AGENT_PATH
    {"Otlp", OTLP_AGENT_PATH, "otlp agent", false},
#endif
};

template <size_t N>
constexpr vexlin_string_t Utf8(const char (&text)[N]) {
    return {text, N - 1, VEXLIN_CCSID_UTF8};
}

char g_tag[256];  // the outgoing tag of the last request

// A web request of every part an application reports; gives the outgoing
// tag's size. Called as from C: an exception leaving a call terminates.
size_t TraceOneRequest(vexlin_metric_handle_t requests) noexcept {
    static const vexlin_string_t names[] = {Utf8("Host"), Utf8("Accept")}, values[] = {Utf8("127.0.0.1"), Utf8("*/*")},
                                 server = Utf8("web-1"), app = Utf8("shop"), root = Utf8("/"), url = Utf8("/cart?id=7"),
                                 get = Utf8("GET"), key = Utf8("customer"), tier = Utf8("gold"), db = Utf8("orders"),
                                 vendor = Utf8("PostgreSQL"), db_host = Utf8("127.0.0.1:5432"),
                                 sql = Utf8("SELECT * FROM carts WHERE id = 7"), operation = Utf8("price cart"),
                                 route = Utf8("/cart"), backend = Utf8("http://127.0.0.1:9/stock");
    static const vexlin_int64_t items = 3;
    const vexlin_webapplicationinfo_handle_t app_info = vexlin_webapplicationinfo_create_p(&server, &app, &root);
    const vexlin_tracer_handle_t web = vexlin_incomingwebrequesttracer_create_p(app_info, &url, &get);
    vexlin_incomingwebrequesttracer_add_request_headers_p(web, names, values, 2);
    vexlin_tracer_start(web);
    vexlin_customrequestattribute_add_strings_p(&key, &tier, 1);
    vexlin_integercountermetric_increase_by_p(requests, 1, &route);

    const vexlin_databaseinfo_handle_t db_info = vexlin_databaseinfo_create_p(&db, &vendor, 1, &db_host);
    const vexlin_tracer_handle_t query = vexlin_databaserequesttracer_create_sql_p(db_info, &sql);
    vexlin_tracer_start(query);
    vexlin_databaserequesttracer_set_returned_row_count(query, 1);
    vexlin_tracer_end(query);
    vexlin_tracer_end(query);  // a misuse, which the module reports

    const vexlin_tracer_handle_t span = vexlin_ex_spantracer_create(1);
    vexlin_ex_spantracer_set_operationname_p(span, &operation);
    vexlin_ex_spantracer_set_strings_p(span, &key, &tier, 1);
    vexlin_ex_spantracer_set_integers_p(span, &route, &items, 1);
    vexlin_tracer_start(span);
    vexlin_tracer_end(span);

    const vexlin_tracer_handle_t call = vexlin_outgoingwebrequesttracer_create_p(&backend, &get);
    vexlin_tracer_start(call);
    vexlin_size_t required = 0;
    g_tag[0] = 'x';
    const vexlin_size_t tag_size =
        vexlin_tracer_get_outgoing_korvantix_string_tag(call, g_tag, sizeof g_tag, &required);
    vexlin_tracer_end(call);

    vexlin_incomingwebrequesttracer_set_status_code(web, 200);
    vexlin_tracer_end(web);
    vexlin_databaseinfo_delete(db_info);
    vexlin_webapplicationinfo_delete(app_info);
    return tag_size;
}

// The agent's lines that report failed calls, and tracers the last shutdown
// found never ended. Modules log from threads of their own too, so nothing
// here allocates or keeps more than the last one.
std::atomic<int> g_failure_reports{0}, g_unfinished_reports{0};
char g_failure_report[256];
void OnAgentLog(const char* message) {
    if (strstr(message, " but never ended") != nullptr) ++g_unfinished_reports;
    if (strstr(message, " failed (out of memory") == nullptr) return;
    snprintf(g_failure_report, sizeof g_failure_report, "%s", message);
    ++g_failure_reports;
}

// A first initialize to the last shutdown, running `requests` in between
// with the span group enabled and a request counter.
template <typename Requests>
void Monitored(Requests&& requests) {
    static const vexlin_string_t key = Utf8("shop.requests"), dimension = Utf8("route");
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_initialize());
    vexlin_agent_set_logging_callback(OnAgentLog);
    ASSERT_EQ(VEXLIN_SUCCESS, vexlin_ex_api_enable_span());
    const vexlin_metric_handle_t counter = vexlin_integercountermetric_create_p(&key, nullptr, &dimension);
    requests(counter);
    vexlin_metric_delete(counter);
    EXPECT_EQ(VEXLIN_SUCCESS, vexlin_shutdown());
}

// A port of 127.0.0.1 that refuses connections: bound, never listening, and
// kept so for the rest of the process.
int RefusingPort() {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        ADD_FAILURE() << "no port: " << strerror(errno);
    return ntohs(address.sin_port);
}

class ModuleAllocation : public testing::TestWithParam<Module> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ModuleAllocation);

TEST_P(ModuleAllocation, EachFailingInTurnIsAnsweredNeutrallyAndReportedOnce) {
    const Module& m = GetParam();
    ClearLibraryEnvironment();
    // The console module writes nowhere; the OTLP one sends to a refusing
    // port, briefly, from its exporter thread, which is never armed.
    Store({std::string("agentlibrary=") + m.path, "console_output=/dev/null",
           "otel_exporter_otlp_endpoint=http://127.0.0.1:" + std::to_string(RefusingPort()),
           "otel_exporter_otlp_timeout=100", "otel_bsp_export_timeout=200"});
    // Mapped from here on, as the modules will keep themselves: what loading
    // allocates stays after the first cycle, and every later one ends alike.
    ASSERT_NE(nullptr, dlopen(m.path, RTLD_NOW)) << dlerror();
    // Without a failure, nothing is reported.
    Monitored([](vexlin_metric_handle_t counter) { EXPECT_NE(0u, TraceOneRequest(counter)); });
    EXPECT_EQ(0, g_failure_reports);
    const long live = g_live;

    // Each failure in a cycle of its own, so that what a cycle makes once
    // (handle blocks, the span queue's cells) fails in turn too.
    const std::string prefix = std::string(m.sink) + ": ";
    long n = 0;
    size_t tag_size = 0;
    int cycles_reporting = 0;
    do {
        const int reports = g_failure_reports;
        ++n;
        Monitored([&](vexlin_metric_handle_t counter) {
            Arm(n);
            tag_size = TraceOneRequest(counter);
            Disarm();
        });
        if (tag_size == 0) EXPECT_STREQ("", g_tag) << "a tag answered neutrally is empty";
        EXPECT_EQ(live, g_live) << "leaked with allocation " << n << " failing";
        ASSERT_LE(g_failure_reports, reports + 1) << "reported once at most";
        if (g_failure_reports == reports) {
            EXPECT_FALSE(g_fired && m.reports_each_failure) << "allocation " << n << " failed unreported";
            continue;
        }
        ++cycles_reporting;
        EXPECT_EQ(prefix + "1 call failed (out of memory or an internal error) and was answered neutrally",
                  g_failure_report)
            << "a failing allocation fails one call at most";
    } while (g_fired && n < 100000);
    EXPECT_FALSE(g_fired) << "still failing after " << n << " allocations";
    EXPECT_NE(0u, tag_size) << "the run without a failure is answered fully";
    EXPECT_LE(1, cycles_reporting);
    EXPECT_EQ(0, g_unfinished_reports) << "a failed call left a tracer behind";
}

INSTANTIATE_TEST_SUITE_P(Allocation, ModuleAllocation, testing::ValuesIn(kModules),
                         [](const testing::TestParamInfo<Module>& info) { return info.param.name; });

}  // namespace
