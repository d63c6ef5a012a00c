// The OTLP agent module under load: what recording costs the application's
// thread (a web request with a database request inside, two spans), beside a
// baseline of the least any recorder does for the same two spans, with one
// thread and two at once, for spans nobody will send, and for the first spans
// after a start; how many allocations the application's thread makes; a
// metric update against the number of dimension values it has; and how many
// spans a second the exporter sends to a receiver on the loopback
// interface.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vexlin/vexlin.h"

// Allocations of each thread, counted through the C library's own allocator.
namespace {
thread_local long t_allocations = 0;
template <typename Allocate>
void* ShimAllocate(size_t, Allocate allocate, void*) {
    ++t_allocations;
    return allocate();
}
void ShimFree(void*) {}
}  // namespace
#include "malloc_shim.h"

namespace {

vexlin_string_t Str(const char* text) { return vexlin_string_t{text, std::strlen(text), VEXLIN_CCSID_UTF8}; }

// A minimal OTLP receiver: one connection at a time, keep-alive, 200 to
// every request.
struct Receiver {
    int listener = -1;
    int port = 0;
    std::atomic<long> requests{0};
    std::thread thread;
};

void Serve(Receiver* r) {
    for (;;) {
        int c = accept(r->listener, nullptr, nullptr);
        if (c < 0) return;
        std::string buffer;
        char chunk[65536];
        for (;;) {
            std::size_t head_end;
            while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
                ssize_t n = read(c, chunk, sizeof chunk);
                if (n <= 0) goto closed;
                buffer.append(chunk, static_cast<std::size_t>(n));
            }
            std::size_t length = 0;
            for (std::size_t at = 0; at < head_end;) {
                std::size_t eol = buffer.find("\r\n", at);
                if (strncasecmp(buffer.c_str() + at, "content-length:", 15) == 0)
                    length = std::strtoul(buffer.c_str() + at + 15, nullptr, 10);
                at = eol + 2;
            }
            while (buffer.size() < head_end + 4 + length) {
                ssize_t n = read(c, chunk, sizeof chunk);
                if (n <= 0) goto closed;
                buffer.append(chunk, static_cast<std::size_t>(n));
            }
            buffer.erase(0, head_end + 4 + length);
            static const char kAnswer[] =
                "HTTP/1.1 200 OK\r\nContent-Type: application/x-protobuf\r\nContent-Length: 0\r\n\r\n";
            if (write(c, kAnswer, sizeof kAnswer - 1) < 0) break;
            r->requests.fetch_add(1);
        }
    closed:
        close(c);
    }
}

bool StartReceiver(Receiver* r) {
    r->listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (bind(r->listener, reinterpret_cast<sockaddr*>(&a), size) != 0 || listen(r->listener, 4) != 0 ||
        getsockname(r->listener, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return false;
    r->port = ntohs(a.sin_port);
    r->thread = std::thread(Serve, r);
    return true;
}

void RecordWebRequestWithDatabase(vexlin_webapplicationinfo_handle_t app, vexlin_databaseinfo_handle_t db) {
    static const vexlin_string_t url = Str("/shop/orders?customer=ACME"), get = Str("GET");
    static const vexlin_string_t statement = Str("SELECT id, total FROM orders WHERE customer = $1");
    vexlin_tracer_handle_t request = vexlin_incomingwebrequesttracer_create_p(app, &url, &get);
    vexlin_tracer_start(request);
    vexlin_tracer_handle_t query = vexlin_databaserequesttracer_create_sql_p(db, &statement);
    vexlin_tracer_start(query);
    vexlin_databaserequesttracer_set_returned_row_count(query, 3);
    vexlin_tracer_end(query);
    vexlin_incomingwebrequesttracer_set_status_code(request, 200);
    vexlin_tracer_end(request);
}

// Where the recording threads of a run meet, each thread's clock stopped:
// each runs as many iterations, so each arrives as often. A round is the time
// from one meeting to the next, on the wall clock, so two threads count as
// two only while both record; the last to arrive measures it. The others
// spin: a thread that yields its core while it waits starts the next round
// late (tens of microseconds a round, measured), and the round counts it.
struct Meeting {
    std::atomic<int> arrived{0};
    std::atomic<long> round{0};
    std::chrono::steady_clock::time_point round_start;
    double round_seconds = 0;
};
Meeting g_meeting;

void Meet(int threads, bool ends_round) {
    const long round = g_meeting.round.load(std::memory_order_acquire);
    if (g_meeting.arrived.fetch_add(1, std::memory_order_acq_rel) + 1 == threads) {
        const auto now = std::chrono::steady_clock::now();
        if (ends_round)
            g_meeting.round_seconds = std::chrono::duration<double>(now - g_meeting.round_start).count();
        else
            g_meeting.round_start = now;
        g_meeting.arrived.store(0, std::memory_order_relaxed);
        g_meeting.round.fetch_add(1, std::memory_order_release);
        return;
    }
    for (unsigned spins = 0; g_meeting.round.load(std::memory_order_acquire) == round; ++spins) {
        if (spins >= (1u << 16)) std::this_thread::yield();  // a flush that takes long
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

// While a flush waits, a thread of the benchmark's own keeps the cores busy
// at the lowest priority, which takes nothing from the exporter: a virtual
// machine puts an idle core to sleep, and the core wakes with cold caches,
// which the next round would pay for (flushing every 100 us made recording
// 1.7 times as slow unpinned as pinned to one core, which never idles). No
// application recording without pause idles like that.
struct Waker {
    std::mutex mu;
    std::condition_variable cv;
    std::atomic<bool> flushing{false};
    bool stop = false;
    std::thread thread;
};
Waker g_waker;

void KeepAwake() {
    sched_param lowest{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest);
    std::unique_lock<std::mutex> lock(g_waker.mu);
    for (;;) {
        g_waker.cv.wait(lock, [] { return g_waker.stop || g_waker.flushing.load(); });
        if (g_waker.stop) return;
        while (g_waker.flushing.load(std::memory_order_relaxed)) {
        }
    }
}

void FlushAwake() {
    {
        std::lock_guard<std::mutex> guard(g_waker.mu);
        g_waker.flushing.store(true);
    }
    g_waker.cv.notify_one();
    vexlin_ex_agent_force_send_data_now();
    g_waker.flushing.store(false);
}

// Two spans per iteration, timed by rounds (the benchmarks use manual time).
// After every 200 iterations of all threads together, and after the last,
// the threads meet and the queue is flushed between rounds: 400 spans stay
// below an export batch (512), which would wake the exporter thread during a
// round, and its work would take a core from the recording threads and be
// counted here (BM_Otlp_ExportThroughput measures it). No span is dropped for
// want of room either. `skip` requests are made first, untimed. Reports the
// application thread's allocations per span.
void RecordRequests(benchmark::State& state, long skip) {
    vexlin_string_t server = Str("bench"), app_id = Str("Shop"), root = Str("/shop");
    vexlin_string_t name = Str("orders"), vendor = Str("PostgreSQL"), endpoint = Str("db.internal:5432");
    vexlin_webapplicationinfo_handle_t app = vexlin_webapplicationinfo_create_p(&server, &app_id, &root);
    vexlin_databaseinfo_handle_t db = vexlin_databaseinfo_create_p(&name, &vendor, 1, &endpoint);
    for (long i = 1; i <= skip; ++i) {
        RecordWebRequestWithDatabase(app, db);
        if (i % 200 == 0) vexlin_ex_agent_force_send_data_now();
    }
    const int threads = state.threads();
    const long per_round = 200 / threads;
    long n = 0, allocations = 0;
    Meet(threads, false);
    for (auto _ : state) {
        const long before = t_allocations;
        RecordWebRequestWithDatabase(app, db);
        allocations += t_allocations - before;
        if (++n % per_round == 0 || n == static_cast<long>(state.max_iterations)) {
            Meet(threads, true);
            state.SetIterationTime(g_meeting.round_seconds);
            if (state.thread_index() == 0) FlushAwake();
            Meet(threads, false);
        }
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.counters["allocs_per_span"] = benchmark::Counter(double(allocations) / double(2 * n));
    vexlin_databaseinfo_delete(db);
    vexlin_webapplicationinfo_delete(app);
}

void BM_Otlp_WebRequestWithDatabase(benchmark::State& state) { RecordRequests(state, 0); }
BENCHMARK(BM_Otlp_WebRequestWithDatabase)->UseManualTime();
// Runs `body` with the calling benchmark thread on a core of its own (the
// thread's index, modulo the cores), and lets it go on every core after.
template <typename Body>
void OnOwnCore(benchmark::State& state, Body body) {
    cpu_set_t before, own;
    pthread_getaffinity_np(pthread_self(), sizeof before, &before);
    CPU_ZERO(&own);
    CPU_SET(state.thread_index() % std::max(1u, std::thread::hardware_concurrency()), &own);
    pthread_setaffinity_np(pthread_self(), sizeof own, &own);
    body();
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
}

// The same by one thread and by two at once, for spans a second: recording
// takes no lock another thread holds. Each recording thread has a core of
// its own; scripts/bench runs it with every core: pinned to one, two threads
// cannot show what two cores do.
void BM_Otlp_RecordingThreads(benchmark::State& state) {
    OnOwnCore(state, [&] { RecordRequests(state, 0); });
}
BENCHMARK(BM_Otlp_RecordingThreads)->ThreadRange(1, 2)->UseManualTime();

// The module started afresh with `name`=`value` (null: unset) in the
// environment.
void Restart(const char* name, const char* value) {
    vexlin_shutdown();
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
    if (vexlin_initialize() != VEXLIN_SUCCESS || vexlin_ex_api_enable_serverless() != VEXLIN_SUCCESS) std::abort();
}

// The first 100,000 spans after a start (range 0) against 100,000 later
// ones (range 100,000).
void BM_Otlp_SpansAfterStart(benchmark::State& state) {
    Restart("OTEL_BSP_SCHEDULE_DELAY", "100");
    RecordRequests(state, state.range(0) / 2);
}
BENCHMARK(BM_Otlp_SpansAfterStart)->Arg(0)->Arg(100000)->Iterations(50000)->UseManualTime();

// Spans nobody will send: sampled out (range 0) or the module disabled
// (range 1).
void BM_Otlp_SpanNotSent(benchmark::State& state) {
    const char* name = state.range(0) == 0 ? "OTEL_TRACES_SAMPLER" : "OTEL_SDK_DISABLED";
    Restart(name, state.range(0) == 0 ? "always_off" : "true");
    RecordRequests(state, 0);
    Restart(name, nullptr);
}
BENCHMARK(BM_Otlp_SpanNotSent)->Arg(0)->Arg(1)->UseManualTime();

// One update of a counter that already has N dimension values (range 0),
// cycling through them: the cost must not grow with N. Past the cardinality
// limit (2,000) the values go to the overflow point, found as fast.
void BM_Otlp_MetricUpdate(benchmark::State& state) {
    std::vector<std::string> values;
    for (long i = 0; i < state.range(0); ++i) values.push_back("value-" + std::to_string(i));
    vexlin_string_t key = Str("bench.updates"), unit = Str("1"), dimension = Str("value");
    vexlin_metric_handle_t m = vexlin_integercountermetric_create_p(&key, &unit, &dimension);
    auto update = [&](std::size_t i) {
        vexlin_string_t d{values[i].data(), values[i].size(), VEXLIN_CCSID_UTF8};
        vexlin_integercountermetric_increase_by_p(m, 1, &d);
    };
    for (std::size_t i = 0; i < values.size(); ++i) update(i);
    std::size_t i = 0;
    for (auto _ : state) update(i = i + 1 == values.size() ? 0 : i + 1);
    vexlin_metric_delete(m);
}
BENCHMARK(BM_Otlp_MetricUpdate)->Arg(10)->Arg(2000)->Arg(200000);

// The least a recorder does for the same two spans: a record on the heap with
// the application's strings copied in, two clock reads each, and a handoff to
// a queue under an uncontended lock.
struct PlainRecord {
    std::string url, method, statement;
    std::int64_t start_ns, end_ns, value;
};

void BM_Otlp_Baseline_RecordCopy(benchmark::State& state) {
    std::mutex mu;
    std::vector<PlainRecord*> queue;
    queue.reserve(4096);
    auto now = [] { return std::chrono::system_clock::now().time_since_epoch().count(); };
    for (auto _ : state) {
        for (int span = 0; span < 2; ++span) {
            PlainRecord* r = new PlainRecord;
            r->url = "/shop/orders?customer=ACME";
            r->method = "GET";
            r->statement = "SELECT id, total FROM orders WHERE customer = $1";
            r->start_ns = now();
            r->value = 200;
            r->end_ns = now();
            std::lock_guard<std::mutex> guard(mu);
            queue.push_back(r);
        }
        if (queue.size() >= 4096) {
            for (PlainRecord* r : queue) delete r;
            queue.clear();
        }
    }
    for (PlainRecord* r : queue) delete r;
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_Otlp_Baseline_RecordCopy);
// What two threads that share nothing reach on this machine at the time,
// each on a core of its own as the recording threads: on a virtual machine
// whose cores the host also gives to others, less than twice one thread.
void BM_Otlp_Baseline_RecordCopyThreads(benchmark::State& state) {
    OnOwnCore(state, [&] { BM_Otlp_Baseline_RecordCopy(state); });
}
BENCHMARK(BM_Otlp_Baseline_RecordCopyThreads)->ThreadRange(1, 2)->UseRealTime();

// Spans a second through the whole export: each iteration records 4096 spans
// and waits until they were sent.
void BM_Otlp_ExportThroughput(benchmark::State& state) {
    vexlin_string_t method = Str("work"), service = Str("Bench");
    for (auto _ : state) {
        for (int i = 0; i < 4096; ++i) {
            vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
            vexlin_tracer_start(t);
            vexlin_tracer_end(t);
        }
        vexlin_ex_agent_force_send_data_now();
    }
    state.SetItemsProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_Otlp_ExportThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    static Receiver receiver;
    if (!StartReceiver(&receiver)) return 2;
    std::string endpoint = "http://127.0.0.1:" + std::to_string(receiver.port);
    setenv("KX_AGENTLIBRARY", VEXLIN_BENCH_OTLP_AGENT_PATH, 1);
    setenv("OTEL_EXPORTER_OTLP_ENDPOINT", endpoint.c_str(), 1);
    setenv("OTEL_BSP_MAX_QUEUE_SIZE", "8192", 0);
    setenv("OTEL_BSP_SCHEDULE_DELAY", "100", 0);
    if (vexlin_initialize() != VEXLIN_SUCCESS || vexlin_ex_api_enable_serverless() != VEXLIN_SUCCESS) return 2;
    g_waker.thread = std::thread(KeepAwake);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    {
        std::lock_guard<std::mutex> guard(g_waker.mu);
        g_waker.stop = true;
    }
    g_waker.cv.notify_one();
    g_waker.thread.join();
    vexlin_shutdown();
    shutdown(receiver.listener, SHUT_RDWR);
    close(receiver.listener);
    receiver.thread.join();
    return 0;
}
