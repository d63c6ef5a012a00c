// The OTLP agent module's face to the library: the three entry points, the
// library and extension tables, the handle registry, each thread's current
// tracer, and one function per slot. A slot only records what the
// application gave into the tracer's record under one short lock; the record
// becomes a span on the exporter thread (otlp_mapping.cpp, otlp_pipeline.cpp).
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "otlp_context.h"
#include "otlp_pipeline.h"
#include "otlp_text.h"
#include "otlp_tracer.h"
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

#define OTLP_EXPORT extern "C" __attribute__((visibility("default")))

struct vexlin_abi_agent_t {
    std::uint32_t magic;
};

namespace otlp {
namespace {

const char kVersion[] = "vexlin otlp agent " VEXLIN_OTLP_AGENT_VERSION;
vexlin_abi_agent_t g_agent_object = {0x4f544c50u};

enum class SlotType : std::uint8_t { kFree, kTracer, kInfo, kMetric };

struct Slot {
    std::uint32_t generation;
    SlotType type;
    void* object;
};

struct Agent {
    std::mutex mu;  // the registry, every record in it and the counters below
    std::vector<Slot> slots;
    std::vector<std::uint32_t> free_slots;
    unsigned starts = 0;
    unsigned references = 0;
    unsigned fork_epoch = 0;
    std::uint64_t invalid_tags = 0;
    Pipeline* pipeline = nullptr;
};

Agent* g = nullptr;
std::atomic<vexlin_agent_logging_callback_t*> g_logging{nullptr};
std::atomic<vexlin_agent_logging_callback_t*> g_warning{nullptr};
std::atomic<int> g_forked{0};
pthread_once_t g_atfork_once = PTHREAD_ONCE_INIT;
thread_local std::uint64_t t_current = 0;  // handle of the thread's innermost running tracer

void Log(const std::string& message) {
    if (vexlin_agent_logging_callback_t* cb = g_logging.load()) cb(message.c_str());
    if (vexlin_agent_logging_callback_t* cb = g_warning.load()) cb(message.c_str());
}

// ---- Registry (call with g->mu held) ----------------------------------------

std::uint64_t Register(SlotType type, void* object) {
    std::uint32_t index;
    if (!g->free_slots.empty()) {
        index = g->free_slots.back();
        g->free_slots.pop_back();
    } else {
        index = static_cast<std::uint32_t>(g->slots.size());
        g->slots.push_back(Slot{0, SlotType::kFree, nullptr});
    }
    Slot& s = g->slots[index];
    s.type = type;
    s.object = object;
    return (std::uint64_t(s.generation) << 32) | (std::uint64_t(index) + 1);
}

void* Find(std::uint64_t handle, SlotType type) {
    std::uint64_t index = (handle & 0xffffffffu) - 1;
    if (g == nullptr || index >= g->slots.size()) return nullptr;
    const Slot& s = g->slots[index];
    return s.type == type && s.generation == handle >> 32 ? s.object : nullptr;
}

void Unregister(std::uint64_t handle) {
    std::uint32_t index = static_cast<std::uint32_t>((handle & 0xffffffffu) - 1);
    Slot& s = g->slots[index];
    s.type = SlotType::kFree;
    s.object = nullptr;
    ++s.generation;
    g->free_slots.push_back(index);
}

Tracer* FindTracer(std::uint64_t handle) { return static_cast<Tracer*>(Find(handle, SlotType::kTracer)); }

// A tracer of one of `kinds` that has not ended; setters accept no other.
template <typename... Kinds>
Tracer* FindOf(std::uint64_t handle, Kinds... kinds) {
    Tracer* t = FindTracer(handle);
    if (t == nullptr) return nullptr;
    for (TracerKind k : {kinds...})
        if (t->tracer_kind == k) return t;
    return nullptr;
}

// ---- Tracers ------------------------------------------------------------------

Tracer* NewTracer(TracerKind kind) {
    Tracer* t = new Tracer;
    t->tracer_kind = kind;
    return t;
}

// Registers a filled record; the info is looked up and referenced under the
// same lock, so a concurrent delete cannot free it in between.
std::uint64_t AddTracer(Tracer* t, std::uint64_t info_handle = 0) {
    std::lock_guard<std::mutex> guard(g->mu);
    t->fork_epoch = g->fork_epoch;
    t->info = static_cast<Info*>(Find(info_handle, SlotType::kInfo));
    if (t->info != nullptr) t->info->references.fetch_add(1, std::memory_order_relaxed);
    return Register(SlotType::kTracer, t);
}

// The parent: an incoming tag or link, the application's own ids, the given
// parent tracer, or else the thread's current tracer.
bool Start(std::uint64_t handle, std::uint64_t parent_handle, bool explicit_parent, std::uint64_t start_ns) {
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindTracer(handle);
    if (t == nullptr || t->start_ns != 0) return false;
    const Config& config = PipelineConfig(g->pipeline);
    bool has_parent = false, parent_sampled = true, remote = false;
    if (t->has_given_parent) {
        has_parent = true;
        remote = t->given_parent_is_remote;
        parent_sampled = (t->given_flags & kFlagSampled) != 0;
    } else if (t->ids_set) {
        has_parent = t->has_parent;
    } else {
        Tracer* p = FindTracer(explicit_parent ? parent_handle : t_current);
        if (p != nullptr && p->start_ns != 0) {
            std::memcpy(t->trace_id, p->trace_id, 16);
            std::memcpy(t->parent_span_id, p->span_id, 8);
            t->trace_state = p->trace_state;
            has_parent = true;
            parent_sampled = p->sampled;
        } else {
            NewTraceId(t->trace_id);
        }
    }
    t->has_parent = has_parent;
    if (!t->ids_set) NewSpanId(t->span_id);
    t->sampled = ShouldSample(config, has_parent, parent_sampled, t->trace_id);
    t->flags = (t->sampled ? kFlagSampled : 0) | kFlagHasIsRemote | (remote ? kFlagParentIsRemote : 0);
    t->start_ns = start_ns != 0 ? start_ns : WallClockNs();
    t->previous_current = t_current;
    t_current = handle;
    return true;
}

void End(std::uint64_t handle, std::uint64_t end_ns) {
    Tracer* t;
    bool send;
    {
        std::lock_guard<std::mutex> guard(g->mu);
        t = FindTracer(handle);
        if (t == nullptr) return;
        Unregister(handle);
        if (t_current == handle) t_current = t->previous_current;
        send = t->start_ns != 0 && t->sampled && t->fork_epoch == g->fork_epoch;
        t->end_ns = end_ns != 0 ? end_ns : WallClockNs();
        if (t->end_ns < t->start_ns) t->end_ns = t->start_ns;
    }
    if (send) PipelineEnqueue(g->pipeline, t);
    else DestroyTracer(t);
}

// Remote parent from a traceparent text; anything else starts a new trace.
void SetIncomingTag(std::uint64_t handle, const char* text, std::size_t length) {
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindOf(handle, TracerKind::kIncomingWebRequest, TracerKind::kIncomingRemoteCall,
                       TracerKind::kIncomingMessageReceive, TracerKind::kIncomingMessageProcess);
    if (t == nullptr || t->start_ns != 0) return;
    if (ParseTraceparent(text, length, t->trace_id, t->parent_span_id, &t->given_flags)) {
        t->has_given_parent = true;
        t->given_parent_is_remote = true;
    } else if (g->invalid_tags++ == 0) {
        Log("otlp: an incoming tag is not a valid traceparent; its tracer starts a new trace");
    }
}

// Copies `size` bytes when `reported` fit: the library's two-step size query.
vexlin_size_t HandOut(const void* data, vexlin_size_t size, vexlin_size_t reported, void* buffer,
                      vexlin_size_t buffer_size, vexlin_size_t* required) {
    if (required != nullptr) *required = reported;
    bool fits = buffer != nullptr && buffer_size >= reported && reported != 0;
    if (fits) std::memcpy(buffer, data, reported);
    return fits ? size : 0;
}

// The traceparent of a running outgoing tracer, else empty.
std::size_t OutgoingTag(std::uint64_t handle, char text[kTraceparentLength + 1]) {
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindOf(handle, TracerKind::kOutgoingWebRequest, TracerKind::kOutgoingRemoteCall,
                       TracerKind::kOutgoingMessage);
    text[0] = '\0';
    if (t == nullptr || t->start_ns == 0) return 0;
    FormatTraceparent(t->trace_id, t->span_id, static_cast<std::uint8_t>(t->flags & 0xff), text);
    text[kTraceparentLength] = '\0';
    return kTraceparentLength;
}

// In-process links carry the linking span's context: magic, trace id, span id, flags.
const unsigned char kLinkMagic[4] = {'V', 'X', 'O', 'L'};
constexpr std::size_t kLinkSize = 4 + 16 + 8 + 1;

template <typename T>
void SetField(std::uint64_t handle, T Tracer::*field, T value, std::initializer_list<TracerKind> kinds) {
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindTracer(handle);
    if (t == nullptr) return;
    for (TracerKind k : kinds)
        if (t->tracer_kind == k) t->*field = std::move(value);
}

void AddPairs(std::uint64_t handle, Pairs Tracer::*field, const vexlin_string_t* names, const vexlin_string_t* values,
              vexlin_size_t count, std::initializer_list<TracerKind> kinds) {
    if (names == nullptr || values == nullptr) return;
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindTracer(handle);
    bool allowed = false;
    for (TracerKind k : kinds) allowed = allowed || (t != nullptr && t->tracer_kind == k);
    if (!allowed) return;
    for (vexlin_size_t i = 0; i < count; ++i) (t->*field).emplace_back(TextOf(&names[i]), TextOf(&values[i]));
}

// Attributes on `t`: typed values under the application's keys.
template <typename T, typename Set>
void AddAttributes(Tracer* t, const vexlin_string_t* keys, const T* values, vexlin_size_t count, ValueType type,
                   Set set) {
    if (t == nullptr || keys == nullptr || values == nullptr) return;
    for (vexlin_size_t i = 0; i < count; ++i) set(AddAttribute(t->attributes, TextOf(&keys[i]), type).value, values[i]);
}

template <typename T, typename Set>
void AddRequestAttributes(const vexlin_string_t* keys, const T* values, vexlin_size_t count, ValueType type, Set set) {
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindTracer(t_current);
    if (t != nullptr && t->start_ns != 0) AddAttributes(t, keys, values, count, type, set);
}

template <typename T, typename Set>
void AddSpanAttributes(std::uint64_t handle, const vexlin_string_t* keys, const T* values, vexlin_size_t count,
                       ValueType type, Set set) {
    std::lock_guard<std::mutex> guard(g->mu);
    AddAttributes(FindOf(handle, TracerKind::kSpan), keys, values, count, type, set);
}

std::uint64_t CreateInfo(const vexlin_string_t* name, const vexlin_string_t* vendor, const vexlin_string_t* endpoint,
                         std::int32_t number) {
    Info* info = new Info;
    info->name = TextOf(name);
    info->vendor = TextOf(vendor);
    info->endpoint = TextOf(endpoint);
    info->number = number;
    std::lock_guard<std::mutex> guard(g->mu);
    return Register(SlotType::kInfo, info);
}

void DeleteInfo(std::uint64_t handle) {
    Info* info;
    {
        std::lock_guard<std::mutex> guard(g->mu);
        info = static_cast<Info*>(Find(handle, SlotType::kInfo));
        if (info == nullptr) return;
        Unregister(handle);
    }
    ReleaseInfo(info);
}

// ---- Fork -------------------------------------------------------------------

void ForkPrepare() {
    if (g == nullptr) return;
    g->mu.lock();
    PipelineForkPrepare(g->pipeline);
}

void ForkParent() {
    if (g == nullptr) return;
    PipelineForkParent(g->pipeline);
    g->mu.unlock();
}

// Tracers the child inherited are the parent's to send: ending them in the
// child sends nothing.
void ForkChild() {
    g_forked.store(1);
    if (g == nullptr) return;
    ++g->fork_epoch;
    PipelineForkChild(g->pipeline);
    g->mu.unlock();
}

void RegisterForkHandlers() { pthread_atfork(&ForkPrepare, &ForkParent, &ForkChild); }

// ---- The agent function table -------------------------------------------------

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) result slot_##name(vexlin_abi_agent_t* agent);
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) \
    result slot_##name(vexlin_abi_agent_t* agent, VEXLIN_UNPAREN params);
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

void slot_agent_add_ref(vexlin_abi_agent_t*) {
    std::lock_guard<std::mutex> guard(g->mu);
    ++g->references;
}

void slot_agent_release(vexlin_abi_agent_t*) {
    std::lock_guard<std::mutex> guard(g->mu);
    if (g->references > 0) --g->references;
}

vexlin_bool_t slot_internal_dispatch(vexlin_abi_agent_t*, vexlin_int32_t, vexlin_int32_t, void*, vexlin_size_t) {
    return 0;
}

vexlin_int32_t slot_agent_get_current_state(vexlin_abi_agent_t*) { return 0; }

void slot_agent_set_logging_callback(vexlin_abi_agent_t*, vexlin_agent_logging_callback_t* cb) { g_logging.store(cb); }

void slot_tracer_start(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer) { Start(tracer, 0, false, 0); }

void slot_tracer_end(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer) { End(tracer, 0); }

void slot_tracer_error_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer, const vexlin_string_t* error_class,
                         const vexlin_string_t* error_message) {
    std::string type = TextOf(error_class), message = TextOf(error_message);
    std::uint64_t now = WallClockNs();
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindTracer(tracer);
    if (t == nullptr) return;
    t->status = StatusCode::kError;
    t->status_message = message;
    t->events.emplace_back();
    Event& e = t->events.back();
    e.time_ns = now;
    e.name = "exception";
    if (!type.empty()) AddString(e.attributes, "exception.type", type);
    if (!message.empty()) AddString(e.attributes, "exception.message", message);
}

vexlin_size_t slot_tracer_get_outgoing_korvantix_string_tag(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                            char* buffer, vexlin_size_t buffer_size,
                                                            vexlin_size_t* required) {
    char text[kTraceparentLength + 1];
    std::size_t n = OutgoingTag(tracer, text);
    vexlin_size_t written = HandOut(text, n, n + 1, buffer, buffer_size, required);
    if (written == 0 && buffer != nullptr && buffer_size > 0) buffer[0] = '\0';
    return written;
}

vexlin_size_t slot_tracer_get_outgoing_korvantix_byte_tag(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                          unsigned char* buffer, vexlin_size_t buffer_size,
                                                          vexlin_size_t* required) {
    char text[kTraceparentLength + 1];
    std::size_t n = OutgoingTag(tracer, text);
    return HandOut(text, n, n, buffer, buffer_size, required);
}

void slot_tracer_set_incoming_korvantix_string_tag_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                     const vexlin_string_t* tag) {
    std::string text = TextOf(tag);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    SetIncomingTag(tracer, text.data(), text.size());
}

void slot_tracer_set_incoming_korvantix_byte_tag(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                 const unsigned char* tag, vexlin_size_t size) {
    SetIncomingTag(tracer, reinterpret_cast<const char*>(tag), tag != nullptr ? size : 0);
}

vexlin_tracer_handle_t slot_outgoingremotecalltracer_create_p(vexlin_abi_agent_t*, const vexlin_string_t* method,
                                                              const vexlin_string_t* service,
                                                              const vexlin_string_t* service_endpoint,
                                                              vexlin_int32_t, const vexlin_string_t* channel_endpoint) {
    Tracer* t = NewTracer(TracerKind::kOutgoingRemoteCall);
    t->service_method = TextOf(method);
    t->service_name = TextOf(service);
    t->service_endpoint = TextOf(service_endpoint);
    t->channel_endpoint = TextOf(channel_endpoint);
    return AddTracer(t);
}

void slot_outgoingremotecalltracer_set_protocol_name_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                       const vexlin_string_t* protocol) {
    SetField(tracer, &Tracer::protocol, TextOf(protocol), {TracerKind::kOutgoingRemoteCall});
}

vexlin_tracer_handle_t slot_incomingremotecalltracer_create_p(vexlin_abi_agent_t*, const vexlin_string_t* method,
                                                              const vexlin_string_t* service,
                                                              const vexlin_string_t* endpoint) {
    Tracer* t = NewTracer(TracerKind::kIncomingRemoteCall);
    t->service_method = TextOf(method);
    t->service_name = TextOf(service);
    t->service_endpoint = TextOf(endpoint);
    return AddTracer(t);
}

void slot_incomingremotecalltracer_set_protocol_name_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                       const vexlin_string_t* protocol) {
    SetField(tracer, &Tracer::protocol, TextOf(protocol), {TracerKind::kIncomingRemoteCall});
}

vexlin_databaseinfo_handle_t slot_databaseinfo_create_p(vexlin_abi_agent_t*, const vexlin_string_t* name,
                                                        const vexlin_string_t* vendor, vexlin_int32_t channel_type,
                                                        const vexlin_string_t* channel_endpoint) {
    return CreateInfo(name, vendor, channel_endpoint, channel_type);
}

void slot_databaseinfo_delete(vexlin_abi_agent_t*, vexlin_databaseinfo_handle_t info) { DeleteInfo(info); }

vexlin_tracer_handle_t slot_databaserequesttracer_create_sql_p(vexlin_abi_agent_t*, vexlin_databaseinfo_handle_t info,
                                                               const vexlin_string_t* statement) {
    Tracer* t = NewTracer(TracerKind::kDatabaseRequest);
    t->statement = TextOf(statement);
    return AddTracer(t, info);
}

void slot_databaserequesttracer_set_returned_row_count(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                       vexlin_int32_t rows) {
    SetField(tracer, &Tracer::returned_rows, std::int64_t(rows), {TracerKind::kDatabaseRequest});
}

void slot_databaserequesttracer_set_round_trip_count(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                     vexlin_int32_t round_trips) {
    SetField(tracer, &Tracer::round_trips, std::int64_t(round_trips), {TracerKind::kDatabaseRequest});
}

vexlin_webapplicationinfo_handle_t slot_webapplicationinfo_create_p(vexlin_abi_agent_t*,
                                                                    const vexlin_string_t* web_server_name,
                                                                    const vexlin_string_t* application_id,
                                                                    const vexlin_string_t* context_root) {
    return CreateInfo(web_server_name, application_id, context_root, 0);
}

void slot_webapplicationinfo_delete(vexlin_abi_agent_t*, vexlin_webapplicationinfo_handle_t info) { DeleteInfo(info); }

vexlin_tracer_handle_t slot_incomingwebrequesttracer_create_p(vexlin_abi_agent_t*,
                                                              vexlin_webapplicationinfo_handle_t info,
                                                              const vexlin_string_t* url,
                                                              const vexlin_string_t* method) {
    Tracer* t = NewTracer(TracerKind::kIncomingWebRequest);
    t->url = TextOf(url);
    t->method = TextOf(method);
    return AddTracer(t, info);
}

void slot_incomingwebrequesttracer_set_remote_address_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                        const vexlin_string_t* address) {
    SetField(tracer, &Tracer::remote_address, TextOf(address), {TracerKind::kIncomingWebRequest});
}

void slot_incomingwebrequesttracer_add_request_headers_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                         const vexlin_string_t* names, const vexlin_string_t* values,
                                                         vexlin_size_t count) {
    AddPairs(tracer, &Tracer::request_headers, names, values, count, {TracerKind::kIncomingWebRequest});
}

void slot_incomingwebrequesttracer_add_parameters_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                    const vexlin_string_t* names, const vexlin_string_t* values,
                                                    vexlin_size_t count) {
    AddPairs(tracer, &Tracer::parameters, names, values, count, {TracerKind::kIncomingWebRequest});
}

void slot_incomingwebrequesttracer_add_response_headers_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                          const vexlin_string_t* names, const vexlin_string_t* values,
                                                          vexlin_size_t count) {
    AddPairs(tracer, &Tracer::response_headers, names, values, count, {TracerKind::kIncomingWebRequest});
}

void slot_incomingwebrequesttracer_set_status_code(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                   vexlin_int32_t code) {
    SetField(tracer, &Tracer::status_code, code, {TracerKind::kIncomingWebRequest});
}

void slot_customrequestattribute_add_integers_p(vexlin_abi_agent_t*, const vexlin_string_t* keys,
                                                const vexlin_int64_t* values, vexlin_size_t count) {
    AddRequestAttributes(keys, values, count, ValueType::kInt, [](Value& v, vexlin_int64_t x) { v.i = x; });
}

void slot_customrequestattribute_add_floats_p(vexlin_abi_agent_t*, const vexlin_string_t* keys, const double* values,
                                              vexlin_size_t count) {
    AddRequestAttributes(keys, values, count, ValueType::kDouble, [](Value& v, double x) { v.d = x; });
}

void slot_customrequestattribute_add_strings_p(vexlin_abi_agent_t*, const vexlin_string_t* keys,
                                               const vexlin_string_t* values, vexlin_size_t count) {
    AddRequestAttributes(keys, values, count, ValueType::kString,
                         [](Value& v, const vexlin_string_t& x) { v.s = TextOf(&x); });
}

vexlin_size_t slot_inprocesslink_create(vexlin_abi_agent_t*, unsigned char* buffer, vexlin_size_t buffer_size,
                                        vexlin_size_t* required) {
    unsigned char link[kLinkSize];
    std::size_t size = 0;
    {
        std::lock_guard<std::mutex> guard(g->mu);
        Tracer* t = FindTracer(t_current);
        if (t != nullptr && t->start_ns != 0) {
            std::memcpy(link, kLinkMagic, 4);
            std::memcpy(link + 4, t->trace_id, 16);
            std::memcpy(link + 20, t->span_id, 8);
            link[28] = static_cast<unsigned char>(t->flags & 0xff);
            size = kLinkSize;
        }
    }
    return HandOut(link, size, size, buffer, buffer_size, required);
}

vexlin_tracer_handle_t slot_inprocesslinktracer_create(vexlin_abi_agent_t*, const unsigned char* bytes,
                                                       vexlin_size_t size) {
    Tracer* t = NewTracer(TracerKind::kInProcessLink);
    if (bytes != nullptr && size == kLinkSize && std::memcmp(bytes, kLinkMagic, 4) == 0) {
        std::memcpy(t->trace_id, bytes + 4, 16);
        std::memcpy(t->parent_span_id, bytes + 20, 8);
        t->given_flags = bytes[28];
        t->has_given_parent = true;
    }
    return AddTracer(t);
}

vexlin_tracer_handle_t slot_outgoingwebrequesttracer_create_p(vexlin_abi_agent_t*, const vexlin_string_t* url,
                                                              const vexlin_string_t* method) {
    Tracer* t = NewTracer(TracerKind::kOutgoingWebRequest);
    t->url = TextOf(url);
    t->method = TextOf(method);
    return AddTracer(t);
}

void slot_outgoingwebrequesttracer_add_request_headers_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                         const vexlin_string_t* names, const vexlin_string_t* values,
                                                         vexlin_size_t count) {
    AddPairs(tracer, &Tracer::request_headers, names, values, count, {TracerKind::kOutgoingWebRequest});
}

void slot_outgoingwebrequesttracer_add_response_headers_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                          const vexlin_string_t* names, const vexlin_string_t* values,
                                                          vexlin_size_t count) {
    AddPairs(tracer, &Tracer::response_headers, names, values, count, {TracerKind::kOutgoingWebRequest});
}

void slot_outgoingwebrequesttracer_set_status_code(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                   vexlin_int32_t code) {
    SetField(tracer, &Tracer::status_code, code, {TracerKind::kOutgoingWebRequest});
}

vexlin_tracer_handle_t slot_customservicetracer_create_p(vexlin_abi_agent_t*, const vexlin_string_t* method,
                                                         const vexlin_string_t* service) {
    Tracer* t = NewTracer(TracerKind::kCustomService);
    t->service_method = TextOf(method);
    t->service_name = TextOf(service);
    return AddTracer(t);
}

vexlin_messagingsysteminfo_handle_t slot_messagingsysteminfo_create_p(vexlin_abi_agent_t*,
                                                                      const vexlin_string_t* vendor,
                                                                      const vexlin_string_t* destination,
                                                                      vexlin_int32_t destination_type, vexlin_int32_t,
                                                                      const vexlin_string_t* channel_endpoint) {
    return CreateInfo(vendor, destination, channel_endpoint, destination_type);
}

void slot_messagingsysteminfo_delete(vexlin_abi_agent_t*, vexlin_messagingsysteminfo_handle_t info) {
    DeleteInfo(info);
}

vexlin_tracer_handle_t slot_outgoingmessagetracer_create(vexlin_abi_agent_t*, vexlin_messagingsysteminfo_handle_t info) {
    return AddTracer(NewTracer(TracerKind::kOutgoingMessage), info);
}

void slot_outgoingmessagetracer_set_vendor_message_id_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                        const vexlin_string_t* id) {
    SetField(tracer, &Tracer::message_id, TextOf(id), {TracerKind::kOutgoingMessage});
}

void slot_outgoingmessagetracer_set_correlation_id_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                     const vexlin_string_t* id) {
    SetField(tracer, &Tracer::correlation_id, TextOf(id), {TracerKind::kOutgoingMessage});
}

vexlin_tracer_handle_t slot_incomingmessagereceivetracer_create(vexlin_abi_agent_t*,
                                                                vexlin_messagingsysteminfo_handle_t info) {
    return AddTracer(NewTracer(TracerKind::kIncomingMessageReceive), info);
}

vexlin_tracer_handle_t slot_incomingmessageprocesstracer_create(vexlin_abi_agent_t*,
                                                                vexlin_messagingsysteminfo_handle_t info) {
    return AddTracer(NewTracer(TracerKind::kIncomingMessageProcess), info);
}

void slot_incomingmessageprocesstracer_set_vendor_message_id_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                               const vexlin_string_t* id) {
    SetField(tracer, &Tracer::message_id, TextOf(id), {TracerKind::kIncomingMessageProcess});
}

void slot_incomingmessageprocesstracer_set_correlation_id_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                                            const vexlin_string_t* id) {
    SetField(tracer, &Tracer::correlation_id, TextOf(id), {TracerKind::kIncomingMessageProcess});
}

vexlin_int32_t slot_agent_get_fork_state(vexlin_abi_agent_t*) { return g_forked.load(); }

vexlin_result_t slot_agent_set_warning_callback(vexlin_abi_agent_t*, vexlin_agent_logging_callback_t* cb) {
    g_warning.store(cb);
    return VEXLIN_SUCCESS;
}

vexlin_result_t slot_agent_set_verbose_callback(vexlin_abi_agent_t*, vexlin_agent_logging_callback_t*) {
    return VEXLIN_SUCCESS;  // the module has nothing verbose to say
}

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) &slot_##name,
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) &slot_##name,
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) &slot_##name,
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) &slot_##name,
const vexlin_abi_agent_functions_5_t kAgentFunctions = {
#include "vexlin/internal/x-agent_funcs.h"
};
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

// ---- Extension tables ---------------------------------------------------------

std::uint64_t CreateMetric(Instrument instrument, bool is_double, const vexlin_string_t* key,
                           const vexlin_string_t* unit, const vexlin_string_t* dimension_name) {
    std::string k = TextOf(key);
    if (k.empty()) return 0;
    Metric* m = MetricCreate(g->pipeline, instrument, is_double, std::move(k), TextOf(unit), TextOf(dimension_name));
    std::lock_guard<std::mutex> guard(g->mu);
    return Register(SlotType::kMetric, m);
}

// Recorded under the registry lock, so a concurrent delete cannot free the
// metric in between.
void RecordMetric(std::uint64_t handle, std::int64_t int_value, double double_value, const vexlin_string_t* dimension) {
    std::string value;
    bool has_dimension = dimension != nullptr && dimension->data != nullptr;
    if (has_dimension) value = TextOf(dimension);
    std::lock_guard<std::mutex> guard(g->mu);
    Metric* m = static_cast<Metric*>(Find(handle, SlotType::kMetric));
    if (m != nullptr) MetricRecord(g->pipeline, m, int_value, double_value, has_dimension ? &value : nullptr);
}

void slot_metric_delete(vexlin_abi_agent_t*, vexlin_metric_handle_t handle) {
    std::lock_guard<std::mutex> guard(g->mu);
    Metric* m = static_cast<Metric*>(Find(handle, SlotType::kMetric));
    if (m == nullptr) return;
    Unregister(handle);
    MetricDelete(g->pipeline, m);
}

#define OTLP_METRIC_CREATE(field, instrument, is_double)                                                  \
    vexlin_metric_handle_t slot_##field(vexlin_abi_agent_t*, const vexlin_string_t* key,                  \
                                        const vexlin_string_t* unit, const vexlin_string_t* dimension) { \
        return CreateMetric(instrument, is_double, key, unit, dimension);                                 \
    }
OTLP_METRIC_CREATE(integercountermetric_create, Instrument::kCounter, false)
OTLP_METRIC_CREATE(floatcountermetric_create, Instrument::kCounter, true)
OTLP_METRIC_CREATE(integergaugemetric_create, Instrument::kGauge, false)
OTLP_METRIC_CREATE(floatgaugemetric_create, Instrument::kGauge, true)
OTLP_METRIC_CREATE(integerstatisticsmetric_create, Instrument::kStatistics, false)
OTLP_METRIC_CREATE(floatstatisticsmetric_create, Instrument::kStatistics, true)

// A counter only grows: a negative increase is ignored.
void slot_integercountermetric_increase_by(vexlin_abi_agent_t*, vexlin_metric_handle_t m, vexlin_int64_t delta,
                                           const vexlin_string_t* dimension) {
    if (delta >= 0) RecordMetric(m, delta, 0, dimension);
}
void slot_floatcountermetric_increase_by(vexlin_abi_agent_t*, vexlin_metric_handle_t m, double delta,
                                         const vexlin_string_t* dimension) {
    if (delta >= 0) RecordMetric(m, 0, delta, dimension);
}
void slot_integergaugemetric_set_value(vexlin_abi_agent_t*, vexlin_metric_handle_t m, vexlin_int64_t value,
                                       const vexlin_string_t* dimension) {
    RecordMetric(m, value, 0, dimension);
}
void slot_floatgaugemetric_set_value(vexlin_abi_agent_t*, vexlin_metric_handle_t m, double value,
                                     const vexlin_string_t* dimension) {
    RecordMetric(m, 0, value, dimension);
}
void slot_integerstatisticsmetric_add_value(vexlin_abi_agent_t*, vexlin_metric_handle_t m, vexlin_int64_t value,
                                            const vexlin_string_t* dimension) {
    RecordMetric(m, value, 0, dimension);
}
void slot_floatstatisticsmetric_add_value(vexlin_abi_agent_t*, vexlin_metric_handle_t m, double value,
                                          const vexlin_string_t* dimension) {
    RecordMetric(m, 0, value, dimension);
}

vexlin_tracer_handle_t slot_ex_spantracer_create(vexlin_abi_agent_t*, vexlin_int32_t) {
    return AddTracer(NewTracer(TracerKind::kSpan));
}

void slot_ex_spantracer_set_ids_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                  const vexlin_ex_trace_id_t* trace_id, const vexlin_ex_span_id_t* span_id,
                                  const vexlin_ex_span_id_t* parent_span_id) {
    if (trace_id == nullptr || span_id == nullptr) return;
    std::lock_guard<std::mutex> guard(g->mu);
    Tracer* t = FindOf(tracer, TracerKind::kSpan);
    if (t == nullptr || t->start_ns != 0) return;
    std::memcpy(t->trace_id, trace_id->binary_id, 16);
    std::memcpy(t->span_id, span_id->binary_id, 8);
    t->has_parent = parent_span_id != nullptr;
    if (parent_span_id != nullptr) std::memcpy(t->parent_span_id, parent_span_id->binary_id, 8);
    t->ids_set = true;
}

void slot_ex_spantracer_set_integers_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                     const vexlin_int64_t* values, vexlin_size_t count) {
    AddSpanAttributes(tracer, keys, values, count, ValueType::kInt, [](Value& v, vexlin_int64_t x) { v.i = x; });
}
void slot_ex_spantracer_set_doubles_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                    const double* values, vexlin_size_t count) {
    AddSpanAttributes(tracer, keys, values, count, ValueType::kDouble, [](Value& v, double x) { v.d = x; });
}
void slot_ex_spantracer_set_floats_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                   const float* values, vexlin_size_t count) {
    AddSpanAttributes(tracer, keys, values, count, ValueType::kDouble, [](Value& v, float x) { v.d = x; });
}
void slot_ex_spantracer_set_bools_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                  const unsigned char* values, vexlin_size_t count) {
    AddSpanAttributes(tracer, keys, values, count, ValueType::kBool, [](Value& v, unsigned char x) { v.b = x != 0; });
}
void slot_ex_spantracer_set_strings_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                    const vexlin_string_t* values, vexlin_size_t count) {
    AddSpanAttributes(tracer, keys, values, count, ValueType::kString,
                      [](Value& v, const vexlin_string_t& x) { v.s = TextOf(&x); });
}

void slot_ex_spantracer_set_operationname_p(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                          const vexlin_string_t* name) {
    SetField(tracer, &Tracer::operation_name, TextOf(name), {TracerKind::kSpan});
}

void slot_ex_agent_add_process_technology_p(vexlin_abi_agent_t*, vexlin_int32_t type, const vexlin_string_t* edition,
                                          const vexlin_string_t* version) {
    PipelineAddTechnology(g->pipeline, std::to_string(type) + ":" + TextOf(edition) + ":" + TextOf(version));
}

// Times of the timed variants are microseconds since the epoch; 0 means now.
vexlin_bool_t slot_ex_tracer_start_2(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer,
                                     vexlin_tracer_handle_t parent, vexlin_int64_t start_micro) {
    return Start(tracer, parent, parent != 0, start_micro > 0 ? std::uint64_t(start_micro) * 1000 : 0) ? 1 : 0;
}

void slot_ex_tracer_end_timed(vexlin_abi_agent_t*, vexlin_tracer_handle_t tracer, vexlin_int64_t end_micro) {
    End(tracer, end_micro > 0 ? std::uint64_t(end_micro) * 1000 : 0);
}

void slot_ex_agent_force_send_data_now(vexlin_abi_agent_t*) { PipelineForceFlush(g->pipeline); }

#define OTLP_EX_ENTRY(slot, field, exported, result, params, args, neutral) &slot_##field,
#define OTLP_EX_ENTRY0(slot, field, exported, result, neutral) &slot_##field,
const vexlin_abi_library_functions_ex_metrics_t kMetricsTable = {
    VEXLIN_EX_METRICS_FUNCS(OTLP_EX_ENTRY, OTLP_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_span_t kSpanTable = {VEXLIN_EX_SPAN_FUNCS(OTLP_EX_ENTRY, OTLP_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_techtype_t kTechtypeTable = {
    VEXLIN_EX_TECHTYPE_FUNCS(OTLP_EX_ENTRY, OTLP_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_tracer_ext_t kTracerExtTable = {
    VEXLIN_EX_TRACER_EXT_FUNCS(OTLP_EX_ENTRY, OTLP_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_serverless_t kServerlessTable = {
    VEXLIN_EX_SERVERLESS_FUNCS(OTLP_EX_ENTRY, OTLP_EX_ENTRY0)};

// ---- Library tables -----------------------------------------------------------

void CopyMessage(vexlin_xchar_t* buffer, vexlin_size_t length, const char* text) {
    if (buffer != nullptr && length > 0) std::snprintf(buffer, length, "%s", text);
}

const vexlin_xchar_t* GetVersionString() { return kVersion; }

vexlin_result_t GetAgent5(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                          const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message,
                          vexlin_size_t message_length) {
    if (stub_version == nullptr || agent_out == nullptr || functions_out == nullptr) {
        CopyMessage(message, message_length, "otlp agent: get_agent needs the stub version and both out pointers");
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    if (stub_version->version_major != 1) {
        CopyMessage(message, message_length, "otlp agent: only stub major version 1 is supported");
        return VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
    }
    if (g == nullptr) {
        CopyMessage(message, message_length, "otlp agent: get_agent before the module was initialized");
        return VEXLIN_ERROR_NOT_INITIALIZED;
    }
    {
        std::lock_guard<std::mutex> guard(g->mu);
        ++g->references;
    }
    *agent_out = &g_agent_object;
    *functions_out = &kAgentFunctions;
    return VEXLIN_SUCCESS;
}

const vexlin_abi_library_functions_5_t kLibraryTable = {&GetVersionString, &GetAgent5};
const vexlin_abi_library_functions_versiononly_t kVersionOnlyTable = {&GetVersionString};

struct Interface {
    vexlin_uint32_t id;
    vexlin_uint32_t max_level;
    const void* table;
};

const Interface kInterfaces[] = {
    {VEXLIN_ABI_INTERFACE_LIBRARY_5, VEXLIN_ABI_LEVEL_LIBRARY_5, &kLibraryTable},
    {VEXLIN_ABI_INTERFACE_VERSIONONLY, VEXLIN_ABI_LEVEL_VERSIONONLY, &kVersionOnlyTable},
    {VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY, VEXLIN_ABI_LEVEL_VERSIONONLY, &kVersionOnlyTable},
    {VEXLIN_ABI_INTERFACE_EX_METRICS, VEXLIN_ABI_LEVEL_EX, &kMetricsTable},
    {VEXLIN_ABI_INTERFACE_EX_SPAN, VEXLIN_ABI_LEVEL_EX, &kSpanTable},
    {VEXLIN_ABI_INTERFACE_EX_TECHTYPE, VEXLIN_ABI_LEVEL_EX, &kTechtypeTable},
    {VEXLIN_ABI_INTERFACE_EX_TRACER_EXT, VEXLIN_ABI_LEVEL_EX, &kTracerExtTable},
    {VEXLIN_ABI_INTERFACE_EX_SERVERLESS, VEXLIN_ABI_LEVEL_EX, &kServerlessTable},
};

// ---- Module lifecycle -----------------------------------------------------------

vexlin_result_t Initialize(vexlin_size_t count, const vexlin_xchar_t* const* arguments, vexlin_xchar_t* message,
                           vexlin_size_t message_length) {
    if (count > 0 && arguments == nullptr) {
        CopyMessage(message, message_length, "otlp agent: argument list is NULL");
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    if (g != nullptr) {  // started again by the same library: one state serves both
        ++g->starts;
        return VEXLIN_SUCCESS;
    }
    Config* config = new Config;
    LoadConfig(count, arguments, config);
    Agent* agent = new Agent;
    agent->starts = 1;
    agent->pipeline = PipelineCreate(config, SpanHooks{&MapTracer, &DestroyTracer}, &Log);
    delete config;
    pthread_once(&g_atfork_once, &RegisterForkHandlers);
    g_forked.store(0);
    g = agent;
    return VEXLIN_SUCCESS;
}

vexlin_result_t Shutdown() {
    if (g == nullptr) return VEXLIN_ERROR_NOT_INITIALIZED;
    if (--g->starts > 0) return VEXLIN_SUCCESS;
    PipelineDestroy(g->pipeline);  // sends what was ended before shutdown
    Agent* agent = g;
    g = nullptr;
    if (agent->invalid_tags > 0)
        Log("otlp: " + std::to_string(agent->invalid_tags) + " incoming tags were not valid traceparent texts");
    for (const Slot& s : agent->slots) {
        if (s.type == SlotType::kTracer) DestroyTracer(static_cast<Tracer*>(s.object));
        if (s.type == SlotType::kInfo) ReleaseInfo(static_cast<Info*>(s.object));
    }
    delete agent;
    return VEXLIN_SUCCESS;
}

}  // namespace
}  // namespace otlp

// ---- Entry points -------------------------------------------------------------

OTLP_EXPORT vexlin_result_t sdkagent_abi_initialize(vexlin_size_t argument_count,
                                                    const vexlin_xchar_t* const* arguments,
                                                    vexlin_xchar_t* message_buffer,
                                                    vexlin_size_t message_buffer_length) {
    return otlp::Initialize(argument_count, arguments, message_buffer, message_buffer_length);
}

OTLP_EXPORT vexlin_result_t sdkagent_abi_get_library(vexlin_uint32_t interface_id, vexlin_uint32_t level,
                                                     const void** table_out, vexlin_xchar_t* message_buffer,
                                                     vexlin_size_t message_buffer_length) {
    using namespace otlp;
    if (g == nullptr) {
        CopyMessage(message_buffer, message_buffer_length, "otlp agent: get_library before the module was initialized");
        return VEXLIN_ERROR_NOT_INITIALIZED;
    }
    if (table_out == nullptr) return VEXLIN_ERROR_INVALID_ARGUMENT;
    for (const Interface& i : kInterfaces) {
        if (i.id != interface_id) continue;
        if (level > i.max_level) return VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
        *table_out = i.table;
        return VEXLIN_SUCCESS;
    }
    return VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
}

OTLP_EXPORT vexlin_result_t sdkagent_abi_shutdown(void) { return otlp::Shutdown(); }

static_assert(std::is_same<decltype(sdkagent_abi_initialize), sdkagent_abi_initialize_function_t>::value,
              "initialize entry point signature");
static_assert(std::is_same<decltype(sdkagent_abi_get_library), sdkagent_abi_get_library_function_t>::value,
              "get_library entry point signature");
static_assert(std::is_same<decltype(sdkagent_abi_shutdown), sdkagent_abi_shutdown_function_t>::value,
              "shutdown entry point signature");
