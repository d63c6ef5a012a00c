// The OTLP agent module: a sink of the agent kit. At start a tracer gets its
// span context (from an incoming traceparent, an in-process link, the ids the
// application set, or its parent tracer); at end the kit's record itself is
// queued, nothing copied on the application's thread, and the exporter thread
// maps and sends it and gives the record back. Outgoing tags are the span's
// traceparent. A tracer's span context lives in the kit's record of it
// (guarded by that handle's lock), a metric's pipeline entry in the kit's
// metric record; what the hooks share across handles is atomic or the
// pipeline's.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "kit.h"
#include "otlp_context.h"
#include "otlp_pipeline.h"
#include "otlp_tracer.h"

namespace otlp {
namespace {

using vexlin_kit::Bytes;
using vexlin_kit::Handle;
using vexlin_kit::Kind;
using vexlin_kit::Tracer;

// What a tracer's context holds (in vexlin_kit::Tracer::context).
struct Context {
    std::uint8_t trace_id[16];
    std::uint8_t span_id[8];
    std::uint8_t parent_span_id[8];
    bool has_parent;
    bool sampled;
    bool parent_is_remote;
    unsigned fork_epoch;
};
static_assert(sizeof(Context) <= vexlin_kit::kContextSize, "a span context fits the kit's record");
static_assert(alignof(Context) <= 8, "the kit's record aligns it");

Context& ContextOf(Tracer& t) { return *reinterpret_cast<Context*>(t.context); }
const Context& ContextOf(const Tracer& t) { return *reinterpret_cast<const Context*>(t.context); }

// The module's state from start to stop, handed to every hook as `self`.
struct ModuleState {
    Pipeline* pipeline;
    unsigned fork_epoch = 0;  // written only in a forked child, where no other thread runs
    std::atomic<unsigned long> invalid_tags{0};
};

ModuleState* Self(void* self) { return static_cast<ModuleState*>(self); }

// In-process links: magic, trace id, span id, flags, tracer handle.
const unsigned char kLinkMagic[4] = {'V', 'X', 'O', 'L'};
constexpr std::size_t kLinkSize = 4 + 16 + 8 + 1 + 8;

bool ReadLink(const unsigned char* bytes, std::size_t size, Context* c, Handle* handle) {
    if (bytes == nullptr || size != kLinkSize || std::memcmp(bytes, kLinkMagic, 4) != 0 || AllZero(bytes + 4, 16) ||
        AllZero(bytes + 20, 8))
        return false;
    std::memcpy(c->trace_id, bytes + 4, 16);
    std::memcpy(c->parent_span_id, bytes + 20, 8);
    c->sampled = (bytes[28] & kFlagSampled) != 0;
    *handle = 0;
    for (int i = 0; i < 8; ++i) *handle = *handle << 8 | bytes[29 + i];
    return true;
}

// The remote parent named by an incoming tag, if it is a valid traceparent.
bool ReadIncomingTag(ModuleState* s, const Tracer& t, Context* c) {
    std::string_view text;
    if (t.incoming_string_tag.set)
        text = t.incoming_string_tag.value;
    else if (t.incoming_byte_tag.set)
        text = t.incoming_byte_tag.value;
    else
        return false;
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    std::uint8_t flags = 0;
    if (ParseTraceparent(text.data(), text.size(), c->trace_id, c->parent_span_id, &flags)) {
        c->sampled = (flags & kFlagSampled) != 0;
        return true;
    }
    if (s->invalid_tags.fetch_add(1, std::memory_order_relaxed) == 0)
        vexlin_kit::Log("otlp: an incoming tag is not a valid traceparent; it is ignored");
    return false;
}

void TracerStarted(void* self, Tracer& t, const unsigned char* parent_context) {
    ModuleState* s = Self(self);
    const Config& config = PipelineConfig(s->pipeline);
    // Made in place: a copy of a context made bytewise would wait for those stores.
    Context& c = ContextOf(t);
    c = Context{};
    c.sampled = true;
    c.fork_epoch = s->fork_epoch;
    Handle linked = 0;
    bool span_id_made = false;
    bool own_ids = t.kind == Kind::kSpan && t.trace_id.set && t.span_id.set && t.trace_id.value.size() == 16 &&
                   t.span_id.value.size() == 8 && !AllZero(t.trace_id.value.data(), 16) &&
                   !AllZero(t.span_id.value.data(), 8);
    if (own_ids) {
        std::memcpy(c.trace_id, t.trace_id.value.data(), 16);
        std::memcpy(c.span_id, t.span_id.value.data(), 8);
        c.has_parent =
            t.parent_span_id.set && t.parent_span_id.value.size() == 8 && !AllZero(t.parent_span_id.value.data(), 8);
        if (c.has_parent) std::memcpy(c.parent_span_id, t.parent_span_id.value.data(), 8);
    } else if (ReadIncomingTag(s, t, &c)) {
        c.has_parent = c.parent_is_remote = true;
    } else if (t.kind == Kind::kInProcessLink && t.link.set &&
               ReadLink(reinterpret_cast<const unsigned char*>(t.link.value.data()), t.link.value.size(), &c,
                        &linked)) {
        c.has_parent = true;
    } else {
        if (parent_context != nullptr) {
            const Context& parent = *reinterpret_cast<const Context*>(parent_context);
            std::memcpy(c.trace_id, parent.trace_id, 16);
            std::memcpy(c.parent_span_id, parent.span_id, 8);
            c.sampled = parent.sampled;
            c.has_parent = true;
        } else {
            NewTraceAndSpanIds(c.trace_id, c.span_id);
            span_id_made = true;
        }
    }
    if (!own_ids && !span_id_made) NewSpanId(c.span_id);
    c.sampled = ShouldSample(config, c.has_parent, c.sampled, c.trace_id);
    t.recorded = t.recorded && c.sampled;  // what it is told from now on is not kept
}

// Queues the record itself; tracers a forked child inherited are the
// parent's to send.
bool TracerEnded(void* self, Tracer& t) {
    ModuleState* s = Self(self);
    if (t.state != vexlin_kit::TracerState::kEnded) return false;  // never started
    const Context& c = ContextOf(t);
    if (!c.sampled || c.fork_epoch != s->fork_epoch) return false;
    return PipelineEnqueue(s->pipeline, &t);
}

// On the exporter thread: the span of a queued record.
SpanData* FinishSpan(void* record, const Config& config) {
    Ended* e = new Ended;
    e->source = static_cast<const Tracer*>(record);
    const Tracer& t = *e->source;
    const Context& c = ContextOf(t);
    std::memcpy(e->trace_id, c.trace_id, 16);
    std::memcpy(e->span_id, c.span_id, 8);
    std::memcpy(e->parent_span_id, c.parent_span_id, 8);
    e->has_parent = c.has_parent;
    e->flags = kFlagSampled | kFlagHasIsRemote | (c.parent_is_remote ? kFlagParentIsRemote : 0);
    e->start_ns = static_cast<std::uint64_t>(t.start_ns);
    e->end_ns = static_cast<std::uint64_t>(t.end_ns < t.start_ns ? t.start_ns : t.end_ns);
    MapTracer(*e, config);
    return e;
}

void DestroySpan(void* record, SpanData* span) {
    delete static_cast<Ended*>(span);
    vexlin_kit::ReleaseTracer(static_cast<Tracer*>(record));
}

void Traceparent(const Tracer& t, std::string* text) {
    const Context& c = ContextOf(t);
    char buffer[kTraceparentLength];
    FormatTraceparent(c.trace_id, c.span_id, c.sampled ? kFlagSampled : 0, buffer);
    text->assign(buffer, kTraceparentLength);
}

// Tags and links come from started tracers only: a created one has no span yet.
bool OutgoingStringTag(void*, const Tracer& t, std::string* tag) {
    if (t.state != vexlin_kit::TracerState::kStarted) return false;
    Traceparent(t, tag);
    return true;
}

bool OutgoingByteTag(void*, const Tracer& t, Bytes* tag) {
    if (t.state != vexlin_kit::TracerState::kStarted) return false;
    std::string text;
    Traceparent(t, &text);
    tag->assign(text.begin(), text.end());
    return true;
}

bool MakeInProcessLink(void*, const Tracer* current, Bytes* link) {
    if (current == nullptr || current->state != vexlin_kit::TracerState::kStarted) return false;
    const Context& c = ContextOf(*current);
    link->assign(kLinkMagic, kLinkMagic + 4);
    link->insert(link->end(), c.trace_id, c.trace_id + 16);
    link->insert(link->end(), c.span_id, c.span_id + 8);
    link->push_back(c.sampled ? kFlagSampled : 0);
    for (int i = 7; i >= 0; --i) link->push_back(static_cast<unsigned char>(current->handle >> (8 * i)));
    return true;
}

bool ReadInProcessLink(void*, const unsigned char* bytes, std::size_t size, Handle* linked) {
    Context c{};
    return ReadLink(bytes, size, &c, linked);
}

void MetricCreated(void* self, vexlin_kit::Metric& m) {
    Instrument instrument = m.kind == Kind::kIntegerCounter || m.kind == Kind::kFloatCounter ? Instrument::kCounter
                            : m.kind == Kind::kIntegerGauge || m.kind == Kind::kFloatGauge   ? Instrument::kGauge
                                                                                             : Instrument::kStatistics;
    bool is_double = m.kind == Kind::kFloatCounter || m.kind == Kind::kFloatGauge || m.kind == Kind::kFloatStatistics;
    if (!m.key.set || m.key.value.empty()) return;
    m.sink_metric = MetricCreate(Self(self)->pipeline, instrument, is_double, ValidUtf8(m.key.value),
                                 ValidUtf8(m.unit.value), ValidUtf8(m.dimension_name.value));
}

void MetricUpdated(void* self, const vexlin_kit::Metric& m, const vexlin_kit::MetricUpdate& u) {
    if (m.sink_metric == nullptr) return;
    bool counter = m.kind == Kind::kIntegerCounter || m.kind == Kind::kFloatCounter;
    if (counter && (u.is_float ? u.real < 0 : u.integer < 0)) return;  // a counter only grows
    std::string dimension = u.dimension.set ? ValidUtf8(u.dimension.value) : std::string();
    Truncate(dimension, PipelineConfig(Self(self)->pipeline).limits.value_length);
    MetricRecord(Self(self)->pipeline, static_cast<MetricStream*>(m.sink_metric), u.integer, u.real,
                 u.dimension.set ? &dimension : nullptr);
}

void MetricDeleted(void* self, const vexlin_kit::Metric& m) {
    if (m.sink_metric != nullptr) MetricDelete(Self(self)->pipeline, static_cast<MetricStream*>(m.sink_metric));
}

void ProcessTechnology(void* self, std::int32_t type, const vexlin_kit::Str& edition, const vexlin_kit::Str& version) {
    PipelineAddTechnology(Self(self)->pipeline,
                          std::to_string(type) + ":" + ValidUtf8(edition.value) + ":" + ValidUtf8(version.value));
}

void ForceSend(void* self) { PipelineForceFlush(Self(self)->pipeline); }

void PrepareFork(void* self) { PipelinePrepareFork(Self(self)->pipeline); }
void ParentAfterFork(void* self) { PipelineParentAfterFork(Self(self)->pipeline); }

void ChildAfterFork(void* self) {
    ++Self(self)->fork_epoch;
    PipelineForkChild(Self(self)->pipeline);
}

bool Start(std::size_t count, const char* const* arguments, void** self, std::vector<vexlin_kit::Field>*,
           std::string*) {
    Config config;
    LoadConfig(count, arguments, &config);
    // A record keeps what the span limits can use, so a queued span costs
    // bounded memory: four bytes a character (at least 4 KiB, for the texts
    // the mapping parses), and twice the attribute limit of each list, for
    // keys set twice.
    const Limits& l = config.limits;
    vexlin_kit::RecordLimits record;
    if (l.span_value_length != kNoLimit)
        record.text_bytes =
            std::max<std::size_t>(4096, l.span_value_length < SIZE_MAX / 4 ? 4 * l.span_value_length : SIZE_MAX);
    record.list_items = l.span_attribute_count < SIZE_MAX / 2 ? 2 * l.span_attribute_count : SIZE_MAX;
    // Nothing will be sent: tracers keep only their ids, for the tags.
    record.tracers = !config.disabled && config.sampler != Sampler::kAlwaysOff;
    vexlin_kit::SetRecordLimits(record);
    ModuleState* s = new ModuleState;
    s->pipeline = PipelineCreate(&config, SpanHooks{&FinishSpan, &DestroySpan}, &vexlin_kit::Log);
    *self = s;
    return true;
}

void Stop(void* self, const std::vector<const Tracer*>&) {
    ModuleState* s = Self(self);
    PipelineDestroy(s->pipeline);  // sends what ended before shutdown, within the export timeout
    if (s->invalid_tags > 0)
        vexlin_kit::Log("otlp: " + std::to_string(s->invalid_tags.load()) +
                        " incoming tags were not valid traceparent texts");
    delete s;
}

vexlin_kit::Sink OtlpSink() {
    vexlin_kit::Sink sink = {};  // no on_call: no description of every call
    sink.name = "otlp agent";
    sink.version = "vexlin otlp agent " VEXLIN_OTLP_AGENT_VERSION;
    sink.start = Start;
    sink.stop = Stop;
    sink.tracer_started = TracerStarted;
    sink.tracer_ended = TracerEnded;
    sink.outgoing_string_tag = OutgoingStringTag;
    sink.outgoing_byte_tag = OutgoingByteTag;
    sink.make_in_process_link = MakeInProcessLink;
    sink.read_in_process_link = ReadInProcessLink;
    sink.metric_created = MetricCreated;
    sink.metric_updated = MetricUpdated;
    sink.metric_deleted = MetricDeleted;
    sink.process_technology = ProcessTechnology;
    sink.force_send_data_now = ForceSend;
    sink.child_after_fork = ChildAfterFork;
    sink.prepare_fork = PrepareFork;
    sink.parent_after_fork = ParentAfterFork;
    return sink;
}
const vexlin_kit::Sink kOtlpSink = OtlpSink();

}  // namespace
}  // namespace otlp

VEXLIN_KIT_ENTRY_POINTS(otlp::kOtlpSink)
