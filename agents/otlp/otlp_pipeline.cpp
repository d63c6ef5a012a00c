// The bounded span queue, the exporter thread, the metric store and fork
// handling. One mutex guards the queue and the thread's bookkeeping, another
// the metrics; the exporter never holds either while it encodes or sends.
#include "otlp_pipeline.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "otlp_encode.h"
#include "otlp_http.h"

namespace otlp {

struct PointState {
    bool has_dimension = false;
    std::string dimension;
    std::uint64_t start_ns = 0;
    bool has_value = false;
    std::int64_t int_value = 0;
    double double_value = 0;
    std::uint64_t count = 0;
    double sum = 0, min = 0, max = 0;
};

struct Metric {
    Instrument instrument;
    bool is_double;
    bool deleted = false;
    std::string key, unit, dimension_name;
    std::vector<PointState> points;
};

struct Pipeline {
    Config config;
    SpanHooks hooks;
    LogSink log;
    Scope scope;

    std::mutex mu;
    std::condition_variable wake;
    std::condition_variable flushed;
    std::vector<SpanData*> ring;
    std::size_t head = 0, count = 0;
    bool running = false;
    pthread_t thread{};
    bool stopping = false;
    std::uint64_t stop_deadline_ms = 0;
    std::uint64_t flush_requested = 0, flush_done = 0;
    bool full_reported = false;  // since the queue last had room
    bool full_to_log = false;    // the exporter logs it: callers may not call the application
    Counts counts{};
    HttpClient* client = nullptr;  // the exporter's alone

    std::mutex metrics_mu;
    std::vector<Metric*> metrics;
    std::vector<std::string> technologies;
};

namespace {}  // namespace

// Runs in a forked child, where only the calling thread exists. The exporter
// thread may have held a lock at the fork: then the lock is made anew and
// what it guarded is dropped unread (it is the parent's to send).
void PipelineForkChild(Pipeline* p) {
    bool queue_whole = p->mu.try_lock();
    bool metrics_whole = p->metrics_mu.try_lock();
    if (!queue_whole) new (&p->mu) std::mutex;
    if (!metrics_whole) {
        new (&p->metrics_mu) std::mutex;
        new (&p->metrics) std::vector<Metric*>;
        new (&p->technologies) std::vector<std::string>;
    }
    new (&p->wake) std::condition_variable;
    new (&p->flushed) std::condition_variable;
    if (!queue_whole) p->mu.lock();
    if (!metrics_whole) p->metrics_mu.lock();
    std::lock_guard<std::mutex> queue(p->mu, std::adopt_lock);
    std::lock_guard<std::mutex> metrics(p->metrics_mu, std::adopt_lock);
    for (std::size_t i = 0; queue_whole && i < p->count; ++i) p->hooks.destroy(p->ring[(p->head + i) % p->ring.size()]);
    p->head = p->count = 0;
    p->running = false;
    p->stopping = false;
    p->flush_requested = p->flush_done = 0;
    p->counts = Counts{};
    p->client = nullptr;  // its connection is the parent's
    for (Attribute& a : p->config.resource)
        if (a.fixed_key != nullptr && std::string(a.fixed_key) == "process.pid") a.value.i = ::getpid();
    std::uint64_t now = WallClockNs();
    for (Metric* m : p->metrics) {
        for (PointState& s : m->points) {
            PointState fresh;
            fresh.has_dimension = s.has_dimension;
            fresh.dimension = std::move(s.dimension);
            fresh.start_ns = now;
            s = std::move(fresh);
        }
    }
}

namespace {

void Log(Pipeline* p, const std::string& message) {
    if (p->log != nullptr) p->log(message);
}

RequestHead Head(Pipeline* p, Attributes* resource) {
    *resource = p->config.resource;
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    if (!p->technologies.empty())
        AddAttribute(*resource, "vexlin.process.technologies", ValueType::kStringArray).value.array = p->technologies;
    return RequestHead{resource, &p->scope};
}

void ExportSpans(Pipeline* p, std::vector<SpanData*>& batch, std::uint64_t deadline_ms) {
    bool sent = false;
    if (MonotonicMs() < deadline_ms) {
        for (SpanData* s : batch) p->hooks.finish(s);
        Attributes resource;
        RequestHead head = Head(p, &resource);
        std::string body = EncodeTraces(p->config.traces.format, head, batch.data(), batch.size());
        if (p->client == nullptr) p->client = HttpClientCreate();
        sent = p->client != nullptr && Export(p->client, p->config.traces, body, deadline_ms, "traces",
                                              [p](const std::string& m) { Log(p, m); }) == ExportResult::kSent;
    }
    {
        std::lock_guard<std::mutex> guard(p->mu);
        (sent ? p->counts.exported : p->counts.dropped_export) += batch.size();
    }
    if (!sent) Log(p, "otlp: " + std::to_string(batch.size()) + " spans could not be sent and were dropped");
    for (SpanData* s : batch) p->hooks.destroy(s);
    batch.clear();
}

std::vector<MetricData> CollectMetrics(Pipeline* p) {
    std::vector<MetricData> out;
    std::uint64_t now = WallClockNs();
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    for (Metric* m : p->metrics) {
        MetricData d;
        d.name = m->key;
        d.unit = m->unit;
        d.type = m->instrument == Instrument::kCounter ? MetricType::kSum
                 : m->instrument == Instrument::kGauge ? MetricType::kGauge
                                                       : MetricType::kSummary;
        for (const PointState& s : m->points) {
            if (!s.has_value) continue;
            DataPoint point;
            if (s.has_dimension && !m->dimension_name.empty())
                AddAttribute(point.attributes, m->dimension_name, ValueType::kString).value.s = s.dimension;
            point.start_ns = s.start_ns;
            point.time_ns = now;
            point.is_double = m->is_double;
            point.as_int = s.int_value;
            point.as_double = s.double_value;
            point.count = s.count;
            point.sum = s.sum;
            point.min = s.min;
            point.max = s.max;
            d.points.push_back(std::move(point));
        }
        if (!d.points.empty()) out.push_back(std::move(d));
    }
    auto gone = std::remove_if(p->metrics.begin(), p->metrics.end(), [](Metric* m) {
        if (!m->deleted) return false;
        delete m;
        return true;
    });
    p->metrics.erase(gone, p->metrics.end());
    return out;
}

void ExportMetrics(Pipeline* p, std::uint64_t deadline_ms) {
    std::vector<MetricData> metrics = CollectMetrics(p);
    if (metrics.empty()) return;
    Attributes resource;
    RequestHead head = Head(p, &resource);
    std::string body = EncodeMetrics(p->config.metrics.format, head, metrics);
    if (p->client == nullptr) p->client = HttpClientCreate();
    if (p->client == nullptr || Export(p->client, p->config.metrics, body, deadline_ms, "metrics",
                                       [p](const std::string& m) { Log(p, m); }) != ExportResult::kSent)
        Log(p, "otlp: " + std::to_string(metrics.size()) + " metrics could not be sent");
}

// The exporter: spans when a batch is full, the schedule delay passed or a
// flush asks; metrics at their interval and on flush; on stop it drains the
// queue within the stop deadline and sends the metrics a last time.
void ExportLoop(Pipeline* p) {
    const Config& c = p->config;
    std::unique_lock<std::mutex> lock(p->mu);
    std::uint64_t next_spans = MonotonicMs() + static_cast<std::uint64_t>(c.schedule_delay_ms);
    std::uint64_t next_metrics = MonotonicMs() + static_cast<std::uint64_t>(c.metric_interval_ms);
    std::vector<SpanData*> batch;
    for (;;) {
        if (p->full_to_log) {
            p->full_to_log = false;
            lock.unlock();
            Log(p, "otlp: the span queue is full (" + std::to_string(p->ring.size()) + " spans); dropping new spans");
            lock.lock();
        }
        std::uint64_t now = MonotonicMs();
        bool flush = p->flush_requested != p->flush_done;
        bool urgent = flush || p->stopping;
        if (p->count >= c.max_batch || (p->count > 0 && (urgent || now >= next_spans))) {
            std::size_t n = std::min(p->count, c.max_batch);
            for (std::size_t i = 0; i < n; ++i) batch.push_back(p->ring[(p->head + i) % p->ring.size()]);
            p->head = (p->head + n) % p->ring.size();
            p->count -= n;
            p->full_reported = false;
            std::uint64_t deadline = p->stopping ? p->stop_deadline_ms : now + c.export_timeout_ms;
            lock.unlock();
            ExportSpans(p, batch, deadline);
            lock.lock();
            if (p->count < c.max_batch) next_spans = MonotonicMs() + static_cast<std::uint64_t>(c.schedule_delay_ms);
            continue;
        }
        if (urgent || now >= next_metrics) {
            std::uint64_t target = p->flush_requested;
            std::uint64_t deadline = p->stopping ? p->stop_deadline_ms : now + c.export_timeout_ms;
            lock.unlock();
            ExportMetrics(p, deadline);
            lock.lock();
            next_metrics = MonotonicMs() + static_cast<std::uint64_t>(c.metric_interval_ms);
            if (p->flush_done != target) {
                p->flush_done = target;
                p->flushed.notify_all();
            }
            if (p->stopping) return;
            continue;
        }
        std::uint64_t until = p->count > 0 ? std::min(next_spans, next_metrics) : next_metrics;
        p->wake.wait_for(lock, std::chrono::milliseconds(until - now));
    }
}

void* ExportThread(void* arg) {
    ExportLoop(static_cast<Pipeline*>(arg));
    return nullptr;
}

// Call with p->mu held.
void StartThread(Pipeline* p) {
    if (p->running || p->stopping || p->config.disabled) return;
    p->running = pthread_create(&p->thread, nullptr, &ExportThread, p) == 0;
    if (!p->running) Log(p, "otlp: could not start the exporter thread; nothing will be sent");
}

}  // namespace

std::uint64_t WallClockNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

Pipeline* PipelineCreate(Config* config, const SpanHooks& hooks, LogSink log) {
    Pipeline* p = new Pipeline;
    p->config = std::move(*config);
    p->hooks = hooks;
    p->log = log;
    p->scope.name = "vexlin";
    p->scope.version = VEXLIN_OTLP_AGENT_VERSION;
    p->ring.resize(p->config.max_queue);
    for (const std::string& w : p->config.warnings) Log(p, w);
    if (!p->config.disabled && !HttpGlobalInit()) {
        Log(p, "otlp: libcurl could not be initialized; nothing will be sent");
        p->config.disabled = true;
    }
    std::lock_guard<std::mutex> guard(p->mu);
    StartThread(p);
    return p;
}

void PipelineDestroy(Pipeline* p) {
    {
        std::lock_guard<std::mutex> guard(p->mu);
        p->stopping = true;
        p->stop_deadline_ms = MonotonicMs() + static_cast<std::uint64_t>(p->config.export_timeout_ms);
    }
    p->wake.notify_all();
    if (p->running) {
        pthread_join(p->thread, nullptr);
    } else if (!p->config.disabled) {
        ExportLoop(p);  // a forked child that never started its thread
    }
    {
        std::lock_guard<std::mutex> guard(p->mu);
        for (std::size_t i = 0; i < p->count; ++i) p->hooks.destroy(p->ring[(p->head + i) % p->ring.size()]);
        p->counts.dropped_export += p->count;
        p->count = 0;
    }
    const Counts& c = p->counts;
    if (!p->config.disabled)
        Log(p, "otlp: shutdown: " + std::to_string(c.exported) + " spans exported, " +
                   std::to_string(c.dropped_queue_full + c.dropped_export) + " dropped (queue full: " +
                   std::to_string(c.dropped_queue_full) + ", not sent: " + std::to_string(c.dropped_export) + ")");
    HttpClientDestroy(p->client);
    for (Metric* m : p->metrics) delete m;
    delete p;
}

const Config& PipelineConfig(const Pipeline* p) { return p->config; }

void PipelineEnqueue(Pipeline* p, SpanData* span) {
    bool notify = false;
    bool dropped = false;
    bool report = false;
    {
        std::lock_guard<std::mutex> guard(p->mu);
        if (p->config.disabled) {
            dropped = true;
        } else if (p->count == p->ring.size()) {
            dropped = true;
            ++p->counts.dropped_queue_full;
            report = !p->full_reported;
            p->full_reported = true;
            p->full_to_log = p->full_to_log || report;
        } else {
            if (!p->running) StartThread(p);
            p->ring[(p->head + p->count) % p->ring.size()] = span;
            notify = ++p->count == p->config.max_batch;
        }
    }
    if (notify || report) p->wake.notify_one();
    if (dropped) p->hooks.destroy(span);
}

void PipelineForceFlush(Pipeline* p) {
    std::unique_lock<std::mutex> lock(p->mu);
    if (!p->running) StartThread(p);
    if (!p->running) return;
    std::uint64_t target = ++p->flush_requested;
    p->wake.notify_all();
    p->flushed.wait_for(lock, std::chrono::milliseconds(p->config.export_timeout_ms),
                        [&] { return p->flush_done >= target || !p->running; });
}

void PipelineAddTechnology(Pipeline* p, const std::string& text) {
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    if (std::find(p->technologies.begin(), p->technologies.end(), text) == p->technologies.end())
        p->technologies.push_back(text);
}

Counts PipelineCounts(Pipeline* p) {
    std::lock_guard<std::mutex> guard(p->mu);
    return p->counts;
}

Metric* MetricCreate(Pipeline* p, Instrument instrument, bool is_double, std::string key, std::string unit,
                     std::string dimension_name) {
    Metric* m = new Metric;
    m->instrument = instrument;
    m->is_double = is_double;
    m->key = std::move(key);
    m->unit = std::move(unit);
    m->dimension_name = std::move(dimension_name);
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    p->metrics.push_back(m);
    return m;
}

void MetricRecord(Pipeline* p, Metric* m, std::int64_t int_value, double double_value, const std::string* dimension) {
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    PointState* s = nullptr;
    for (PointState& candidate : m->points)
        if (candidate.has_dimension == (dimension != nullptr) &&
            (dimension == nullptr || candidate.dimension == *dimension))
            s = &candidate;
    if (s == nullptr) {
        m->points.emplace_back();
        s = &m->points.back();
        s->has_dimension = dimension != nullptr;
        if (dimension != nullptr) s->dimension = *dimension;
        s->start_ns = WallClockNs();
    }
    double v = m->is_double ? double_value : static_cast<double>(int_value);
    switch (m->instrument) {
        case Instrument::kCounter:
            s->int_value += int_value;
            s->double_value += double_value;
            break;
        case Instrument::kGauge:
            s->int_value = int_value;
            s->double_value = double_value;
            break;
        case Instrument::kStatistics:
            s->min = s->count == 0 ? v : std::min(s->min, v);
            s->max = s->count == 0 ? v : std::max(s->max, v);
            s->sum += v;
            ++s->count;
            break;
    }
    s->has_value = true;
}

void MetricDelete(Pipeline* p, Metric* m) {
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    m->deleted = true;
}

}  // namespace otlp
