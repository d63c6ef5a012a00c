// Both modules we ship, through the real library, where threads, forks, callbacks and repeated starts meet: children
// forked while another thread calls in, calls racing initialize/shutdown cycles, callbacks that call the library, a
// collector that never answers, short-lived threads, eight threads recording at once, and what the last shutdown
// leaves behind. The OTLP module sends to ports of this process on 127.0.0.1.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"
#include "vexlin_test.h"  // gtest, the library's header, the POSIX headers and forking::

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const vexlin_string_t kWord = {"w", 1, VEXLIN_CCSID_UTF8}, *const w = &kWord;
vexlin_tracer_handle_t Custom() { return vexlin_customservicetracer_create_p(w, w); }
void StartEnd(vexlin_tracer_handle_t t) { vexlin_tracer_start(t), vexlin_tracer_end(t); }
// Fewer rounds and more time under valgrind or a thread sanitizer.
int Scaled(int n, int slow) { return forking::Slow() ? slow : n; }
long long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

template <typename Done>
bool WaitFor(Done done, std::chrono::seconds limit = 10s) {
    for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(1ms))
        if (Clock::now() > end) return false;
    return true;
}

// Runs `work` over and over on a thread of its own until destroyed.
struct Busy {
    template <typename Work>
    explicit Busy(Work work)
        : thread([this, work] {
              while (!stop) work();
          }) {}
    ~Busy() { stop = true, thread.join(); }
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Where a collector would be, on 127.0.0.1: connections to a listening port are accepted (by the kernel, or by
// Accept) and never answered; to the other kind they are refused.
struct Port {
    explicit Port(bool listening) {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        EXPECT_TRUE(bind(fd, reinterpret_cast<sockaddr*>(&a), size) == 0 && (!listening || listen(fd, 64) == 0) &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0);
        endpoint = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    ~Port() { close(fd); }
    // True once a connection came; it is left open, never answered or closed.
    bool Accept() { return accept(fd, nullptr, nullptr) >= 0; }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    std::string endpoint;
};

struct Module {
    const char* name;
    const char* path;
    const char* fresh;  // in the output of a start that traced one span, only when the start began from nothing
};
const Module kModules[] = {
    {"console", CONSOLE_AGENT_PATH, "{\"seq\":1,"},  // its first line
#ifdef OTLP_AGENT_PATH
    {"otlp", OTLP_AGENT_PATH, "otlp: shutdown: 0 spans exported, 0 rejected, 1 dropped"},
#endif
};
void PrintTo(const Module& m, std::ostream* os) { *os << m.name; }
bool IsOtlp(const Module& m) { return strcmp(m.name, "otlp") == 0; }

// The lines of the module's logging callback. Never destroyed: a module's own
// thread may still log while the process exits.
std::mutex& g_log_mutex = *new std::mutex;
std::string& g_log = *new std::string;
void Keep(const char* line) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log += std::string(line) + "\n";
}

long Rss() {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

std::size_t Entries(const char* directory) {
    return std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator());
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Modules : public testing::TestWithParam<Module> {
protected:
    void TearDown() override { unlink(output_.c_str()); }

    // The module writes to a file of this process (console) or tries to send to a refused port, once per batch
    // (OTLP); `extra` user variables ("name=value") win.
    void Start(const std::vector<std::string>& extra = {}) {
        ClearLibraryEnvironment();
        unlink(output_.c_str());  // an earlier process of the same pid may have left it
        std::vector<std::string> variables = {
            std::string("agentlibrary=") + GetParam().path, "console_output=" + output_,
            "otel_exporter_otlp_endpoint=" + refused_.endpoint, "otel_bsp_export_timeout=50"};
        variables.insert(variables.end(), extra.begin(), extra.end());
        for (const std::string& v : variables) ASSERT_EQ(vexlin_stub_set_variable(v.c_str(), 1), 0) << v;
        Initialize();
    }
    static void Initialize() {
        ASSERT_EQ(vexlin_initialize(), 0);
        vexlin_agent_set_logging_callback(Keep);
    }
    // What the module wrote since the last call: the console module's lines, the OTLP module's log lines. The
    // console module's log lines are let go.
    std::string TakeOutput() {
        std::string log;
        {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            log.swap(g_log);
        }
        if (IsOtlp(GetParam())) return log;
        std::ostringstream text;
        text << std::ifstream(output_).rdbuf();
        unlink(output_.c_str());
        return text.str();
    }
    static void ExpectMapped(const char* path) {
        void* module = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        EXPECT_NE(module, nullptr) << "unmapped after the last shutdown";
        if (module != nullptr) dlclose(module);
    }

    const std::string output_ = testing::TempDir() + "vexlin-modules-" + std::to_string(getpid()) + ".jsonl";
    Port refused_{false};
};

// A thread that waited to call in when the process forked does not exist in the child; the child shuts down all the
// same, and forks a child of its own without waiting for that thread. (forking::InChild: a child that hangs is killed
// by its alarm, signal 14.)
TEST_P(Modules, ChildrenForkedWhileAThreadTracesShutDown) {
    Start({"otel_traces_sampler=always_off"});  // no export: valgrind would find its memory lost in a child
    Busy tracing([] { StartEnd(Custom()); });
    const auto child = [] {
        CHILD_CHECK(vexlin_agent_get_fork_state() == 1);  // a forked child
        StartEnd(Custom());
        CHILD_CHECK(forking::InChild([] { StartEnd(Custom()), CHILD_CHECK(vexlin_shutdown() == 0); }).empty());
        CHILD_CHECK(vexlin_shutdown() == 0);
    };
    EXPECT_EQ(vexlin_agent_get_fork_state(), 0);
    for (int i = 0; i < 8; ++i) ASSERT_EQ("", forking::InChild(child)) << "child " << i;
}

// The in-process link of the calling thread's current tracer, as the module makes it.
std::string Link() {
    unsigned char bytes[64];
    return std::string(reinterpret_cast<char*>(bytes), vexlin_inprocesslink_create(bytes, sizeof bytes, nullptr));
}

// A child's new thread takes over the record of a parent's thread that did not come along, but none of its tracers:
// one that thread left started is no one's current tracer in the child.
TEST_P(Modules, AChildsThreadsTakeNoTracerOfTheParentsThreads) {
    if (!MODULES_TEST_CHILD_THREADS) GTEST_SKIP() << "no thread can start in a child here";
    Start({"console_output=/dev/null", "otel_traces_sampler=always_off"});
    std::atomic<int> step{0};
    std::thread other([&] {
        const vexlin_tracer_handle_t t = Custom();
        vexlin_tracer_start(t);
        step = 1;
        WaitFor([&] { return step == 2; });
        vexlin_tracer_end(t);
    });
    WaitFor([&] { return step == 1; });
    EXPECT_EQ("", forking::InChild([] {
                  const std::string none = Link();
                  std::string seen;
                  std::thread([&] { seen = Link(); }).join();
                  CHILD_CHECK(seen == none);
                  CHILD_CHECK(vexlin_shutdown() == 0);
              }));
    step = 2;
    other.join();
    EXPECT_EQ(vexlin_shutdown(), 0);
}

// The traceparent tag of one started tracer, from a start of the module
// of its own; empty when there is none.
std::string FirstTag() {
    if (vexlin_initialize() != 0) return "";
    const vexlin_tracer_handle_t t = vexlin_outgoingwebrequesttracer_create_p(w, w);
    vexlin_tracer_start(t);
    char tag[64] = {};
    vexlin_tracer_get_outgoing_korvantix_string_tag(t, tag, sizeof tag, nullptr);
    vexlin_tracer_end(t);
    vexlin_shutdown();
    return tag;
}

// Ids come from a generator of each thread; a child forked while the module
// was stopped must not repeat its parent's ids from the same state.
TEST_P(Modules, AChildForkedWhileStoppedMakesOtherIdsThanItsParent) {
    if (!IsOtlp(GetParam())) GTEST_SKIP() << "the console module's tags are no random ids";
    Start({"otel_traces_sampler=always_off"});  // nothing to export
    StartEnd(Custom());                         // this thread's generator is seeded
    ASSERT_EQ(vexlin_shutdown(), 0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_EQ(
        "", forking::InChild([&] {
            const std::string tag = FirstTag();
            CHILD_CHECK(!tag.empty() && write(ends[1], tag.data(), tag.size()) == static_cast<ssize_t>(tag.size()));
        }));
    close(ends[1]);
    char child[64] = {};
    const ssize_t got = read(ends[0], child, sizeof child - 1);
    close(ends[0]);
    const std::string parent = FirstTag();
    EXPECT_TRUE(parent.size() > 3 && parent.compare(parent.size() - 3, 3, "-00") == 0)
        << "sampled out, and so told downstream: " << parent;
    EXPECT_EQ(got, static_cast<ssize_t>(parent.size()));
    EXPECT_NE(parent, child);
}

// A call may have read the module's table just before the last shutdown. To widen that moment, each round pauses
// the calling threads wherever they are (a signal whose handler sleeps) just before the shutdown, and resumes them
// while the module would be unmapped: it stays mapped, and the calls find no freed state.
TEST_P(Modules, CallsRacingInitializeAndShutdownCyclesRunClean) {
    struct sigaction pause = {};
    pause.sa_handler = [](int) {
        const timespec moment = {0, 100000};
        nanosleep(&moment, nullptr);
    };
    pause.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGUSR1, &pause, nullptr), 0);
    Start({"console_output=/dev/null"});
    {
        Busy state([] { vexlin_agent_get_current_state(); }), tracing([] { StartEnd(Custom()); });
        for (int i = Scaled(2000, 50); i > 0; --i) {
            for (Busy* b : {&state, &tracing})  // not when Slow: a thread sanitizer's runtime deadlocks on it
                if (!forking::Slow()) pthread_kill(b->thread.native_handle(), SIGUSR1);
            ASSERT_EQ(vexlin_shutdown(), 0);
            std::this_thread::sleep_for(200us);
            ASSERT_EQ(vexlin_initialize(), 0);
        }
    }
    ASSERT_EQ(vexlin_shutdown(), 0);
    ExpectMapped(GetParam().path);
}

std::atomic<int> g_called{0};

// The application's callbacks may call the library: a logging callback that traces, and a warning callback that shuts
// down (an application reacting to a misuse report). Each is called for an incoming tag that is no traceparent (the
// OTLP module logs it) and for a handle never handed out (a misuse report).
TEST_P(Modules, CallbacksMayCallTheLibrary) {
    for (const bool warning : {false, true}) {
        const auto application = [this, warning] {
            Start();
            if (warning) {
                vexlin_agent_set_warning_callback([](const char*) {
                    if (g_called++ == 0) CHILD_CHECK(vexlin_shutdown() == 0);
                });
            } else {
                vexlin_agent_set_logging_callback(
                    [](const char*) { ++g_called, StartEnd(Custom()), vexlin_agent_get_current_state(); });
            }
            const vexlin_tracer_handle_t web =
                vexlin_incomingwebrequesttracer_create_p(vexlin_webapplicationinfo_create_p(w, w, w), w, w);
            vexlin_tracer_set_incoming_korvantix_string_tag_p(web, w);
            StartEnd(web);
            vexlin_tracer_end(12345);
            CHILD_CHECK(g_called > 0);
            CHILD_CHECK(vexlin_shutdown() == (warning ? VEXLIN_ERROR_NOT_INITIALIZED : VEXLIN_SUCCESS));
        };
        EXPECT_EQ("", forking::InChild(application))
            << (warning ? "a warning callback that shuts down" : "a logging callback");
    }
}

// An info a thread used before is checked on each use as on its first: deleted, or of another kind, it is reported
// and the tracer is made without it; more tracers than the module takes ahead for at once share it meanwhile.
TEST_P(Modules, AnInfoUsedBeforeIsCheckedOnEachUse) {
    static std::string warnings;
    Start();
    vexlin_agent_set_warning_callback([](const char* m) { warnings += std::string(m) + "\n"; });
    const vexlin_databaseinfo_handle_t db = vexlin_databaseinfo_create_p(w, w, 1, w);
    const vexlin_webapplicationinfo_handle_t app = vexlin_webapplicationinfo_create_p(w, w, w);
    for (int i = 0; i < 200; ++i)
        StartEnd(vexlin_databaserequesttracer_create_sql_p(db, w)),
            StartEnd(vexlin_incomingwebrequesttracer_create_p(app, w, w));
    EXPECT_EQ(warnings, "");
    StartEnd(vexlin_databaserequesttracer_create_sql_p(app, w));
    vexlin_databaseinfo_delete(db);
    StartEnd(vexlin_databaserequesttracer_create_sql_p(db, w));
    vexlin_webapplicationinfo_delete(app);
    ASSERT_EQ(vexlin_shutdown(), 0);
    EXPECT_EQ(Occurrences(warnings, "misuse: "), 2u) << warnings;
    EXPECT_NE(warnings.find("needs a database_info, but handle " + std::to_string(app) + " is a web_application_info"),
              std::string::npos)
        << warnings;
    EXPECT_NE(warnings.find("handle " + std::to_string(db) + " (database_info) was already deleted"), std::string::npos)
        << warnings;
}

// A host other than the library is held to the same rules: a count without an argument list and an interface the
// module does not offer are refused and told why, and an agent object released more often than it was handed out, or
// one the module never handed out, is reported (the first not counted below zero, the second not used).
TEST_P(Modules, AHostThatBreaksTheRulesIsToldWhy) {
    void* module = dlopen(GetParam().path, RTLD_NOW);
    ASSERT_NE(module, nullptr) << dlerror();
    auto* initialize =
        reinterpret_cast<sdkagent_abi_initialize_function_t*>(dlsym(module, VEXLIN_ABI_INITIALIZE_SYMBOL));
    auto* get_library =
        reinterpret_cast<sdkagent_abi_get_library_function_t*>(dlsym(module, VEXLIN_ABI_GET_LIBRARY_SYMBOL));
    auto* shutdown = reinterpret_cast<sdkagent_abi_shutdown_function_t*>(dlsym(module, VEXLIN_ABI_SHUTDOWN_SYMBOL));
    ASSERT_TRUE(initialize != nullptr && get_library != nullptr && shutdown != nullptr);
    char message[256] = "";
    EXPECT_EQ(initialize(1, nullptr, message, sizeof message), VEXLIN_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(strstr(message, "argument list is NULL"), nullptr) << message;

    const std::string output = "console_output=" + output_;
    const char* const arguments[] = {output.c_str(), "otel_sdk_disabled=true"};
    ASSERT_EQ(initialize(2, arguments, message, sizeof message), VEXLIN_SUCCESS) << message;
    const void* table = nullptr;
    EXPECT_EQ(get_library(999, 1, &table, message, sizeof message), VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED);
    EXPECT_NE(strstr(message, "interface 999 is not supported"), nullptr) << message;
    ASSERT_EQ(get_library(VEXLIN_ABI_INTERFACE_LIBRARY_5, VEXLIN_ABI_LEVEL_LIBRARY_5, &table, message, sizeof message),
              VEXLIN_SUCCESS);
    const vexlin_abi_stub_version_t version = {1, 6, 1, 0, 0, 0, 0, 0, "20210121-101835", ""};
    vexlin_abi_agent_t* agent = nullptr;
    const vexlin_abi_agent_functions_5_t* functions = nullptr;
    ASSERT_EQ(static_cast<const vexlin_abi_library_functions_5_t*>(table)->vexlin_abi_get_agent_5(
                  &version, &agent, &functions, message, sizeof message),
              VEXLIN_SUCCESS);
    static std::string warnings;
    functions->vexlin_abi_agent_set_warning_callback(agent, [](const char* m) { warnings += m; });
    functions->vexlin_abi_agent_release(agent);
    EXPECT_EQ(warnings, "");
    functions->vexlin_abi_agent_release(agent);
    EXPECT_NE(warnings.find("released more often than it was handed out"), std::string::npos) << warnings;
    static unsigned char not_an_agent[64];
    functions->vexlin_abi_tracer_start(reinterpret_cast<vexlin_abi_agent_t*>(not_an_agent), 1);
    EXPECT_NE(warnings.find("tracer_start was called with an agent object this module did not hand out"),
              std::string::npos)
        << warnings;
    EXPECT_EQ(shutdown(), VEXLIN_SUCCESS);
    // Calls that raced the last shutdown get the neutral answers: an empty text, no bytes.
    char tag[8] = "junk";
    unsigned char link[8];
    vexlin_size_t required[2] = {0, 9};
    EXPECT_EQ(functions->vexlin_abi_tracer_get_outgoing_korvantix_string_tag(agent, 1, tag, sizeof tag, &required[0]) +
                  functions->vexlin_abi_inprocesslink_create(agent, link, sizeof link, &required[1]),
              0u);
    EXPECT_EQ(std::string(tag) + "/" + std::to_string(required[0]) + "/" + std::to_string(required[1]), "/1/0");
    dlclose(module);
    // The console's line of the refused request says why, as the caller was told.
    if (!IsOtlp(GetParam())) {
        EXPECT_NE(TakeOutput().find(R"("error":"console agent: interface 999 is not supported")"), std::string::npos);
    }
}

// A handle ended on another thread goes back to the thread that made it, which hands its slot out again (once 1024
// were handed out), never while another handle holds it.
TEST_P(Modules, HandlesEndedOnAnotherThreadComeBackWhole) {
    Start({"console_output=/dev/null"});
    std::thread([] {
        std::vector<vexlin_tracer_handle_t> made(2048);
        std::set<vexlin_tracer_handle_t> live;
        for (vexlin_tracer_handle_t& t : made) t = Custom();
        std::thread([&] {
            for (std::size_t i = 0; i < made.size(); i += 3) StartEnd(made[i]);
        }).join();
        for (std::size_t i = 0; i < made.size(); ++i)
            if (i % 3 != 0) live.insert(made[i]);
        for (int i = 0; i < 700; ++i) {
            const vexlin_tracer_handle_t t = Custom();
            EXPECT_TRUE(live.insert(t).second) << "handle " << t << " handed out twice";
        }
    }).join();
    EXPECT_EQ(vexlin_shutdown(), 0);
}

// A collector that never answers (timeouts 3 s) holds up only the thread that waits for it: while a force flush and
// then the last shutdown wait, another thread records and the main thread forks without waiting along.
TEST_P(Modules, ACollectorThatNeverAnswersHoldsUpOnlyTheWaitingThread) {
    if (!IsOtlp(GetParam())) GTEST_SKIP() << "only the OTLP module waits for anything";
    if (!MODULES_TEST_WAITS) GTEST_SKIP() << "one thread at a time: the exporter starves";
    const int timeout_ms = Scaled(3000, 10000);
    Port silent(true);
    // A flush sends spans, then metrics: each request gets half of the flush's
    // time, so that the exporter is free again when the shutdown's time starts.
    Start({"otel_exporter_otlp_endpoint=" + silent.endpoint,
           "otel_exporter_otlp_timeout=" + std::to_string(timeout_ms / 2),
           "otel_bsp_export_timeout=" + std::to_string(timeout_ms)});
    ASSERT_EQ(vexlin_ex_api_enable_serverless(), 0);
    std::atomic<long> slowest_us{0};  // a word: lock-free on 32-bit targets too
    Busy recording([&] {
        const auto start = Clock::now();
        StartEnd(Custom());
        const long took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        if (took > slowest_us) slowest_us = took;
    });
    for (void (*wait)() : {vexlin_ex_agent_force_send_data_now, +[] { vexlin_shutdown(); }}) {
        slowest_us = 0;
        std::thread waiting(wait);
        EXPECT_TRUE(WaitFor([&] { return silent.Accept(); }, std::chrono::seconds(10 + timeout_ms / 1000)))
            << "nothing sent";
        std::this_thread::sleep_for(200ms);  // the call is waiting (the connection may be an earlier one)
        const auto fork_start = Clock::now();
        const pid_t child = fork();
        if (child == 0) raise(SIGKILL);  // at once: no exit handlers, no leak check of what the exporter held
        EXPECT_LT(Ms(Clock::now() - fork_start), timeout_ms / 3) << "a fork waited for the collector";
        waitpid(child, nullptr, 0);
        waiting.join();
        EXPECT_LT(slowest_us / 1000, timeout_ms / 3) << "a recording thread waited for the collector";
    }
}

// Each thread's state is given back when it exits: after 100,000 short-lived threads that traced a span each, RSS is
// what it was after the first 10,000. As many spans traced first bring what is kept per span to its bound.
// Sanitizers, valgrind and an emulator keep memory of their own: fewer threads, no measure there.
TEST_P(Modules, ShortLivedThreadsLeaveMemoryFlat) {
    Start({"console_output=/dev/null"});
    const int threads = MODULES_TEST_RSS ? 100000 : 1000;
    for (int i = 0; i < threads; ++i) StartEnd(Custom());
    long first = 0;
    for (int i = 1; i <= threads; ++i) {
        std::thread([] { StartEnd(Custom()); }).join();
        if (i == threads / 10) first = Rss();
    }
    if (MODULES_TEST_RSS) {
        EXPECT_LT(Rss() - first, 2 << 20) << "bytes more after " << threads << " threads";
    }
    EXPECT_EQ(vexlin_shutdown(), 0);
}

// Eight threads record at once (the thread sanitizer's case): nothing is lost or doubled.
TEST_P(Modules, EightThreadsRecordingAtOnceLoseNothing) {
    constexpr int kThreads = 8, kSetupCalls = 6, kCallsPerRequest = 9;
    const int requests = Scaled(1000, 100);
    Start();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([requests] {
            const auto app = vexlin_webapplicationinfo_create_p(w, w, w);
            const auto db = vexlin_databaseinfo_create_p(w, w, 1, w);
            const auto metric = vexlin_integercountermetric_create_p(w, w, w);
            for (int r = 0; r < requests; ++r) {
                const vexlin_tracer_handle_t web = vexlin_incomingwebrequesttracer_create_p(app, w, w);
                vexlin_tracer_start(web);
                vexlin_customrequestattribute_add_strings_p(w, w, 1);
                StartEnd(vexlin_databaserequesttracer_create_sql_p(db, w));
                vexlin_incomingwebrequesttracer_set_status_code(web, 200);
                vexlin_tracer_end(web);
                vexlin_integercountermetric_increase_by_p(metric, 1, w);
            }
            vexlin_metric_delete(metric), vexlin_databaseinfo_delete(db), vexlin_webapplicationinfo_delete(app);
        });
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(vexlin_shutdown(), 0);
    const std::string output = TakeOutput();
    if (IsOtlp(GetParam())) {  // none reaches the refused port: each is dropped once
        const std::string counts = std::to_string(kThreads * requests * 2) + " dropped";
        EXPECT_NE(output.find("otlp: shutdown: 0 spans exported, 0 rejected, " + counts), std::string::npos) << output;
    } else {  // one line per call of the recording threads (the main thread is thread 1)
        EXPECT_EQ(Occurrences(output, "\"type\":\"call\"") - Occurrences(output, "\"thread\":1,\"type\":\"call\""),
                  std::size_t(kThreads * (kSetupCalls + requests * kCallsPerRequest)));
        EXPECT_EQ(Occurrences(output, "\"type\":\"misuse\""), 0u);
    }
}

// After the last shutdown the module stays mapped but keeps nothing: no thread, no descriptor, no memory (with 3,000
// tracers left started, over three blocks of handles, and 2,000 infos used in turn), and the next start begins as in a
// fresh process.
TEST_P(Modules, TheLastShutdownLeavesNothingBehind) {
    std::thread([] {}).join();  // a thread sanitizer starts a thread of its own with the first one
    const std::size_t threads = Entries("/proc/self/task"), descriptors = Entries("/proc/self/fd");
    for (int round = 1; round <= 2; ++round) {
        round == 1 ? Start() : Initialize();
        const vexlin_tracer_handle_t first = Custom();
        EXPECT_EQ(first, 1u) << "round " << round;
        StartEnd(first);
        ASSERT_EQ(vexlin_shutdown(), 0);
        ExpectMapped(GetParam().path);
        if (MODULES_TEST_THREADS) {
            EXPECT_TRUE(WaitFor([&] { return Entries("/proc/self/task") == threads; }, 2s)) << "round " << round;
        }
        EXPECT_EQ(Entries("/proc/self/fd"), descriptors) << "round " << round;
        EXPECT_NE(TakeOutput().find(GetParam().fresh), std::string::npos) << "round " << round;
    }
    if (MODULES_TEST_RSS) {
        const std::size_t heap = mallinfo2().uordblks;
        Initialize();
        for (int i = 0; i < 3000; ++i) vexlin_tracer_start(Custom());
        for (int i = 0; i < 2000; ++i) {  // far more infos than a thread keeps at hand
            const vexlin_databaseinfo_handle_t db = vexlin_databaseinfo_create_p(w, w, 1, w);
            StartEnd(vexlin_databaserequesttracer_create_sql_p(db, w));
            vexlin_databaseinfo_delete(db);
        }
        ASSERT_EQ(vexlin_shutdown(), 0);
        TakeOutput();
        EXPECT_LT(mallinfo2().uordblks, heap + (64 << 10)) << "bytes in use before: " << heap;
    }
}

INSTANTIATE_TEST_SUITE_P(Each, Modules, testing::ValuesIn(kModules),
                         [](const testing::TestParamInfo<Module>& info) { return std::string(info.param.name); });

}  // namespace
