// The bounded span queue, the exporter thread, the metric store and fork
// handling. The queue takes records from any thread without a lock; one
// mutex guards the exporter's bookkeeping, another the metrics; the exporter
// never holds either while it encodes or sends.
#include "otlp_pipeline.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "otlp_encode.h"
#include "otlp_http.h"

namespace otlp {

struct PointState {
    bool has_dimension = false;
    bool overflow = false;  // the values past the cardinality limit
    std::string dimension;
    std::uint64_t start_ns = 0;
    bool has_value = false;
    std::int64_t int_value = 0;
    double double_value = 0;
    std::uint64_t count = 0;
    double sum = 0, min = 0, max = 0;
};

// Each metric has at most kCardinalityLimit dimension values of its own; the
// values after them share one overflow point.
constexpr std::size_t kCardinalityLimit = 2000;
constexpr std::size_t kNoPoint = SIZE_MAX;

struct MetricStream {
    Instrument instrument;
    bool is_double;
    bool deleted = false;
    std::string key, unit, dimension_name;
    std::vector<PointState> points;
    std::unordered_map<std::string, std::size_t> by_dimension;  // the place of a value's point
    std::size_t plain = kNoPoint, overflow = kNoPoint;          // without a dimension value, past the limit
};

struct Pipeline {
    Config config;
    SpanHooks hooks;
    LogSink log;
    Scope scope;

    // A bounded queue of many producers and one consumer (the exporter): a
    // producer claims a position at the tail, a cell's sequence says whether
    // it is free for that position or holds its record. Cells come in blocks
    // made when a producer first needs one, so the queue's memory follows the
    // most spans ever waiting, not its capacity.
    struct Cell {
        std::atomic<std::size_t> sequence{0};
        void* record = nullptr;
    };
    static constexpr std::size_t kBlock = 256;  // cells
    std::unique_ptr<std::atomic<Cell*>[]> blocks;
    std::size_t capacity = 0;
    std::atomic<std::size_t> tail{0};
    std::atomic<std::size_t> head{0};  // written by the consumer only

    std::mutex mu;
    std::condition_variable wake;
    std::condition_variable flushed;
    std::atomic<bool> running{false};
    pthread_t thread{};
    bool stopping = false;
    std::uint64_t stop_deadline_ms = 0;
    std::uint64_t flush_requested = 0, flush_done = 0;
    std::atomic<bool> full_reported{false};            // since the queue last had room; the exporter logs it
    std::atomic<unsigned long> dropped_queue_full{0};  // a word: lock-free on 32-bit targets too
    Counts counts{};
    HttpClient* client = nullptr;  // the exporter's alone

    std::mutex metrics_mu;
    std::vector<MetricStream*> metrics;
    std::vector<std::string> technologies;
};

namespace {

std::size_t QueueSize(const Pipeline* p) {
    return p->tail.load(std::memory_order_acquire) - p->head.load(std::memory_order_acquire);
}

std::size_t BlockCount(const Pipeline* p) { return (p->capacity + Pipeline::kBlock - 1) / Pipeline::kBlock; }

// A block's cells start free for their positions of the first lap.
void ResetBlock(Pipeline::Cell* block, std::size_t first) {
    for (std::size_t i = 0; i < Pipeline::kBlock; ++i) block[i].sequence.store(first + i, std::memory_order_relaxed);
}

// The cell of a position; a producer makes its block when there is none yet
// (null when that fails), the consumer finds none then.
Pipeline::Cell* CellAt(Pipeline* p, std::size_t position, bool make) {
    const std::size_t index = position % p->capacity;
    std::atomic<Pipeline::Cell*>& slot = p->blocks[index / Pipeline::kBlock];
    Pipeline::Cell* block = slot.load(std::memory_order_acquire);
    if (block == nullptr && make) {
        Pipeline::Cell* fresh = new (std::nothrow) Pipeline::Cell[Pipeline::kBlock];
        if (fresh == nullptr) return nullptr;
        ResetBlock(fresh, index - index % Pipeline::kBlock);
        if (slot.compare_exchange_strong(block, fresh, std::memory_order_acq_rel))
            block = fresh;
        else
            delete[] fresh;
    }
    return block == nullptr ? nullptr : block + index % Pipeline::kBlock;
}

// The position after the record's, or 0 when the queue is full.
std::size_t Push(Pipeline* p, void* record) {
    std::size_t position = p->tail.load(std::memory_order_relaxed);
    for (;;) {
        Pipeline::Cell* at = CellAt(p, position, true);
        if (at == nullptr) return 0;  // out of memory: dropped as if full
        Pipeline::Cell& cell = *at;
        const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
        const std::ptrdiff_t lag = static_cast<std::ptrdiff_t>(sequence - position);
        if (lag == 0) {
            if (p->tail.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                cell.record = record;
                cell.sequence.store(position + 1, std::memory_order_release);
                return position + 1;
            }
        } else if (lag < 0) {
            return 0;  // the cell still holds the record of a lap ago: full
        } else {
            position = p->tail.load(std::memory_order_relaxed);
        }
    }
}

// The exporter's side; null when the next record is not there yet.
void* Pop(Pipeline* p) {
    const std::size_t position = p->head.load(std::memory_order_relaxed);
    Pipeline::Cell* at = CellAt(p, position, false);
    if (at == nullptr) return nullptr;
    Pipeline::Cell& cell = *at;
    if (cell.sequence.load(std::memory_order_acquire) != position + 1) return nullptr;
    void* record = cell.record;
    cell.sequence.store(position + p->capacity, std::memory_order_release);
    p->head.store(position + 1, std::memory_order_release);
    return record;
}

void ResetQueue(Pipeline* p) {
    for (std::size_t b = 0; b < BlockCount(p); ++b)
        if (Pipeline::Cell* block = p->blocks[b].load(std::memory_order_relaxed))
            ResetBlock(block, b * Pipeline::kBlock);
    p->head.store(0, std::memory_order_relaxed);
    p->tail.store(0, std::memory_order_relaxed);
}

}  // namespace

// Before a fork no application thread is inside a call; the exporter may be,
// and holds one of these locks only briefly. Taking both makes the child's
// copy of what they guard whole.
void PipelinePrepareFork(Pipeline* p) {
    p->mu.lock();
    p->metrics_mu.lock();
}

void PipelineParentAfterFork(Pipeline* p) {
    p->metrics_mu.unlock();
    p->mu.unlock();
}

// Runs in a forked child, where only the calling thread exists, holding the
// locks PipelinePrepareFork took.
void PipelineForkChild(Pipeline* p) {
    new (&p->wake) std::condition_variable;  // the exporter may have waited on them
    new (&p->flushed) std::condition_variable;
    std::lock_guard<std::mutex> queue(p->mu, std::adopt_lock);
    std::lock_guard<std::mutex> metrics(p->metrics_mu, std::adopt_lock);
    // No application thread is inside a call at a fork, so the queue is whole.
    while (void* record = Pop(p)) p->hooks.destroy(record, nullptr);
    ResetQueue(p);
    p->running = false;
    p->stopping = false;
    p->flush_requested = p->flush_done = 0;
    p->counts = Counts{};
    p->dropped_queue_full = 0;
    p->full_reported = false;
    p->client = nullptr;  // its connection is the parent's
    for (KeyValue& a : p->config.resource)
        if (a.fixed_key != nullptr && std::string(a.fixed_key) == "process.pid") a.value.i = ::getpid();
    std::uint64_t now = WallClockNs();
    for (MetricStream* m : p->metrics) {
        for (PointState& s : m->points) {
            PointState fresh;
            fresh.has_dimension = s.has_dimension;
            fresh.overflow = s.overflow;
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

void ExportSpans(Pipeline* p, std::vector<void*>& batch, std::uint64_t deadline_ms) {
    bool sent = false;
    std::int64_t rejected = 0;
    std::vector<SpanData*> spans;
    const bool reachable = !p->config.traces.url.empty();  // else told once, at start
    if (reachable && MonotonicMs() < deadline_ms) {
        for (void* record : batch) spans.push_back(p->hooks.finish(record, p->config));
        Attributes resource;
        RequestHead head = Head(p, &resource);
        std::string body = EncodeTraces(p->config.traces.format, head, spans.data(), spans.size());
        if (p->client == nullptr) p->client = HttpClientCreate();
        sent = p->client != nullptr && Export(
                                           p->client, p->config.traces, body, deadline_ms, "traces",
                                           [p](const std::string& m) { Log(p, m); }, &rejected) == ExportResult::kSent;
    }
    {
        std::lock_guard<std::mutex> guard(p->mu);
        if (sent) {
            const std::uint64_t refused = std::min<std::uint64_t>(rejected > 0 ? rejected : 0, batch.size());
            p->counts.rejected += refused;
            p->counts.exported += batch.size() - refused;
        } else {
            p->counts.dropped_export += batch.size();
        }
    }
    if (!sent && reachable)
        Log(p, "otlp: " + std::to_string(batch.size()) + " spans could not be sent and were dropped");
    for (std::size_t i = 0; i < batch.size(); ++i) p->hooks.destroy(batch[i], i < spans.size() ? spans[i] : nullptr);
    batch.clear();
}

std::vector<MetricData> CollectMetrics(Pipeline* p) {
    std::vector<MetricData> out;
    std::uint64_t now = WallClockNs();
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    for (MetricStream* m : p->metrics) {
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
            if (s.overflow) AddAttribute(point.attributes, "otel.metric.overflow", ValueType::kBool).value.b = true;
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
    auto gone = std::remove_if(p->metrics.begin(), p->metrics.end(), [](MetricStream* m) {
        if (!m->deleted) return false;
        delete m;
        return true;
    });
    p->metrics.erase(gone, p->metrics.end());
    return out;
}

void ExportMetrics(Pipeline* p, std::uint64_t deadline_ms) {
    std::vector<MetricData> metrics = CollectMetrics(p);
    if (metrics.empty() || p->config.metrics.url.empty()) return;
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
    std::vector<void*> batch;
    std::uint64_t full_logged = 0;
    for (;;) {
        const std::uint64_t dropped = p->dropped_queue_full.load(std::memory_order_relaxed);
        if (p->full_reported.load(std::memory_order_relaxed) && dropped != full_logged) {
            full_logged = dropped;
            lock.unlock();
            Log(p, "otlp: the span queue is full (" + std::to_string(p->capacity) + " spans); dropping new spans");
            lock.lock();
        }
        std::uint64_t now = MonotonicMs();
        bool flush = p->flush_requested != p->flush_done;
        bool urgent = flush || p->stopping;
        const std::size_t queued = QueueSize(p);
        if (queued >= c.max_batch || (queued > 0 && (urgent || now >= next_spans))) {
            for (void* record; batch.size() < c.max_batch && (record = Pop(p)) != nullptr;) batch.push_back(record);
            p->full_reported.store(false, std::memory_order_relaxed);
            std::uint64_t deadline = p->stopping ? p->stop_deadline_ms : now + c.export_timeout_ms;
            lock.unlock();
            ExportSpans(p, batch, deadline);
            lock.lock();
            if (QueueSize(p) < c.max_batch)
                next_spans = MonotonicMs() + static_cast<std::uint64_t>(c.schedule_delay_ms);
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
        std::uint64_t until = queued > 0 ? std::min(next_spans, next_metrics) : next_metrics;
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

// A forked child starts its exporter with its first span or metric value.
void StartInChild(Pipeline* p) {
    if (p->running.load(std::memory_order_acquire) || p->config.disabled) return;
    std::lock_guard<std::mutex> guard(p->mu);
    StartThread(p);
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
    ApplyLimits(p->config.resource, kNoLimit, kNoLimit);  // a key listed twice keeps its last value
    p->hooks = hooks;
    p->log = log;
    p->scope.name = "vexlin";
    p->scope.version = VEXLIN_OTLP_AGENT_VERSION;
    p->capacity = std::max<std::size_t>(p->config.max_queue, 1);
    p->blocks.reset(new std::atomic<Pipeline::Cell*>[BlockCount(p)]());
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
        for (void* record; (record = Pop(p)) != nullptr; ++p->counts.dropped_export) p->hooks.destroy(record, nullptr);
        p->counts.dropped_queue_full = p->dropped_queue_full.load();
    }
    const Counts& c = p->counts;
    if (!p->config.disabled)
        Log(p, "otlp: shutdown: " + std::to_string(c.exported) + " spans exported, " + std::to_string(c.rejected) +
                   " rejected, " + std::to_string(c.dropped_queue_full + c.dropped_export) + " dropped (queue full: " +
                   std::to_string(c.dropped_queue_full) + ", not sent: " + std::to_string(c.dropped_export) + ")");
    HttpClientDestroy(p->client);
    for (MetricStream* m : p->metrics) delete m;
    for (std::size_t b = 0; b < BlockCount(p); ++b) delete[] p->blocks[b].load(std::memory_order_relaxed);
    delete p;
}

const Config& PipelineConfig(const Pipeline* p) { return p->config; }

bool PipelineEnqueue(Pipeline* p, void* record) {
    if (p->config.disabled) return false;
    StartInChild(p);
    const std::size_t end = Push(p, record);
    if (end == 0) {
        p->dropped_queue_full.fetch_add(1, std::memory_order_relaxed);
        if (!p->full_reported.exchange(true, std::memory_order_relaxed)) p->wake.notify_one();
        return false;
    }
    // The first span in an empty queue wakes the exporter, which waits for
    // metrics only then, and so does a full batch. Taking its lock first makes
    // sure it is either waiting already or will see the span before it waits.
    const std::size_t waiting = end - p->head.load(std::memory_order_acquire);
    if (waiting == 1 || waiting == p->config.max_batch) {
        { std::lock_guard<std::mutex> guard(p->mu); }
        p->wake.notify_one();
    }
    return true;
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
    Counts c = p->counts;
    c.dropped_queue_full = p->dropped_queue_full.load();
    return c;
}

MetricStream* MetricCreate(Pipeline* p, Instrument instrument, bool is_double, std::string key, std::string unit,
                           std::string dimension_name) {
    MetricStream* m = new MetricStream;
    m->instrument = instrument;
    m->is_double = is_double;
    m->key = std::move(key);
    m->unit = std::move(unit);
    m->dimension_name = std::move(dimension_name);
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    p->metrics.push_back(m);
    return m;
}

void MetricRecord(Pipeline* p, MetricStream* m, std::int64_t int_value, double double_value,
                  const std::string* dimension) {
    StartInChild(p);
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    std::size_t* place = &m->plain;
    if (dimension != nullptr) {
        auto found = m->by_dimension.find(*dimension);
        if (found != m->by_dimension.end())
            place = &found->second;
        else if (m->by_dimension.size() < kCardinalityLimit)
            place = &m->by_dimension.emplace(*dimension, kNoPoint).first->second;
        else
            place = &m->overflow;
    }
    if (*place == kNoPoint) {
        *place = m->points.size();
        m->points.emplace_back();
        PointState& fresh = m->points.back();
        fresh.overflow = place == &m->overflow;
        fresh.has_dimension = dimension != nullptr && !fresh.overflow;
        if (fresh.has_dimension) fresh.dimension = *dimension;
        fresh.start_ns = WallClockNs();
    }
    PointState* s = &m->points[*place];
    double v = m->is_double ? double_value : static_cast<double>(int_value);
    switch (m->instrument) {
        case Instrument::kCounter:  // saturates: a counter never goes back
            s->int_value = int_value > INT64_MAX - s->int_value ? INT64_MAX : s->int_value + int_value;
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

void MetricDelete(Pipeline* p, MetricStream* m) {
    std::lock_guard<std::mutex> guard(p->metrics_mu);
    m->deleted = true;
}

}  // namespace otlp
