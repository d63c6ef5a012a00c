// Both modules we ship, through the real library, where threads, forks, callbacks and repeated starts meet: children
// forked while another thread calls in, calls racing initialize/shutdown cycles and callbacks that call the library.
// The OTLP module sends to ports of this process on 127.0.0.1.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "vexlin_test.h"  // gtest, the library's header, the POSIX headers and forking::

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const vexlin_string_t kWord = {"w", 1, VEXLIN_CCSID_UTF8}, *const w = &kWord;
vexlin_tracer_handle_t Custom() { return vexlin_customservicetracer_create_p(w, w); }
void StartEnd(vexlin_tracer_handle_t t) { vexlin_tracer_start(t), vexlin_tracer_end(t); }
// Fewer rounds and more time under valgrind or a thread sanitizer.
int Scaled(int n, int slow) { return forking::Slow() ? slow : n; }

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

// Where a collector would be, on 127.0.0.1: connections to a listening port are accepted (by the kernel) and
// never answered; to the other kind they are refused.
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
    {"otlp", OTLP_AGENT_PATH, "otlp: shutdown: 0 spans exported, 1 dropped"},
#endif
};
void PrintTo(const Module& m, std::ostream* os) { *os << m.name; }

std::mutex g_log_mutex;
std::string g_log;  // the lines of the module's logging callback
void Keep(const char* line) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log += std::string(line) + "\n";
}

class Modules : public testing::TestWithParam<Module> {
protected:
    void TearDown() override { unlink(output_.c_str()); }

    // The module writes to a file of this process (console) or tries to send to a refused port, once per batch
    // (OTLP); `extra` user variables ("name=value") win.
    void Start(const std::vector<std::string>& extra = {}) {
        ClearLibraryEnvironment();
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
    static void ExpectMapped(const char* path) {
        void* module = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        EXPECT_NE(module, nullptr) << "unmapped after the last shutdown";
        if (module != nullptr) dlclose(module);
    }

    const std::string output_ = testing::TempDir() + "vexlin-modules-" + std::to_string(getpid()) + ".jsonl";
    Port refused_{false};
};

// A thread that waited to call in when the process forked does not exist in the child; the child shuts down all the
// same. (forking::InChild: a child that hangs is killed by its alarm, signal 14.)
TEST_P(Modules, ChildrenForkedWhileAThreadTracesShutDown) {
    Start();
    Busy tracing([] { StartEnd(Custom()); });
    const auto child = [] { StartEnd(Custom()), CHILD_CHECK(vexlin_shutdown() == 0); };
    for (int i = 0; i < 8; ++i) ASSERT_EQ("", forking::InChild(child)) << "child " << i;
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
            pthread_kill(state.thread.native_handle(), SIGUSR1), pthread_kill(tracing.thread.native_handle(), SIGUSR1);
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

INSTANTIATE_TEST_SUITE_P(Each, Modules, testing::ValuesIn(kModules),
                         [](const testing::TestParamInfo<Module>& info) { return std::string(info.param.name); });

}  // namespace
