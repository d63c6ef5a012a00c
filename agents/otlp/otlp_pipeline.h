// The export side of the module: the bounded span queue, the one exporter
// thread that sends spans in batches and metrics at intervals, the metric
// store, force flush, shutdown within the export timeout, and the reset of a
// forked child. Application threads queue spans lock-free; only the wake of
// an idle exporter takes its mutex, which it never holds while it sends.
#ifndef VEXLIN_OTLP_PIPELINE_H
#define VEXLIN_OTLP_PIPELINE_H

#include <cstdint>
#include <string>

#include "otlp_config.h"
#include "otlp_model.h"

namespace otlp {

// How queued records become spans and are given back. `finish` runs on the
// exporter thread just before encoding and makes the span of a record as the
// configuration says (limits, what is captured; the application's thread
// only queues the record); `destroy` gives the record back and frees the
// span, which is null for a record never mapped (no endpoint, past the
// deadline, or left over at a fork or stop).
struct SpanHooks {
    SpanData* (*finish)(void* record, const Config& config);
    void (*destroy)(void* record, SpanData* span);
};

using LogSink = void (*)(const std::string& message);

struct Pipeline;

// Takes over `config`. Starts the exporter thread unless export is disabled.
Pipeline* PipelineCreate(Config* config, const SpanHooks& hooks, LogSink log);
// Flushes within the export timeout, stops the thread, logs what could not be
// sent, and frees everything.
void PipelineDestroy(Pipeline* p);

const Config& PipelineConfig(const Pipeline* p);

// Queues the record of a finished, sampled span without waiting for the
// exporter (see above); false when the queue is full (counted as dropped) or export is
// off, and the record stays the caller's.
bool PipelineEnqueue(Pipeline* p, void* record);
// Sends what is queued and the metrics now; waits at most the export timeout.
void PipelineForceFlush(Pipeline* p);
// Process technologies go on the resource of the next requests.
void PipelineAddTechnology(Pipeline* p, const std::string& text);

// Around a fork: the prepare side takes the pipeline's locks, which the
// parent then lets go of. The child, before anything else, lets go of them
// too, with no queue, no thread, no inherited connection, metrics from zero
// and the child's pid on the resource.
void PipelinePrepareFork(Pipeline* p);
void PipelineParentAfterFork(Pipeline* p);
void PipelineForkChild(Pipeline* p);

struct Counts {
    std::uint64_t exported;
    std::uint64_t rejected;  // sent, but refused by the collector's partial_success
    std::uint64_t dropped_queue_full;
    std::uint64_t dropped_export;
};
Counts PipelineCounts(Pipeline* p);

// ---- Metrics ----------------------------------------------------------------

enum class Instrument : std::uint8_t { kCounter, kGauge, kStatistics };
struct MetricStream;

MetricStream* MetricCreate(Pipeline* p, Instrument instrument, bool is_double, std::string key, std::string unit,
                           std::string dimension_name);
// `dimension` may be null (no dimension value).
void MetricRecord(Pipeline* p, MetricStream* m, std::int64_t int_value, double double_value,
                  const std::string* dimension);
// The metric is sent once more with its last values, then forgotten.
void MetricDelete(Pipeline* p, MetricStream* m);

std::uint64_t WallClockNs();

}  // namespace otlp

#endif  // VEXLIN_OTLP_PIPELINE_H
