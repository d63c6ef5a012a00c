// The slots of the agent table and the five extension tables, each function
// generated from the library's lists (x-agent_funcs.h, VEXLIN_EX_*_FUNCS), so
// that an entry added there needs no code here but its Do_<name> below. The
// generated part marks the call (no lock: the lookups lock the one handle
// they find), answers neutrally after the last shutdown and checks the agent
// object.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <iterator>
#include <type_traits>

#include "kit_core.h"

namespace vexlin_kit {
namespace {

#define SINK(hook, ...) \
    if (g_sink->hook != nullptr) g_sink->hook(s.state()->self, __VA_ARGS__)

constexpr KindSet kOutgoingTagKinds =
    Bit(Kind::kOutgoingRemoteCall) | Bit(Kind::kOutgoingWebRequest) | Bit(Kind::kOutgoingMessage);
constexpr KindSet kIncomingTagKinds = Bit(Kind::kIncomingRemoteCall) | Bit(Kind::kIncomingWebRequest) |
                                      Bit(Kind::kIncomingMessageReceive) | Bit(Kind::kIncomingMessageProcess);

// ---- Shared pieces ------------------------------------------------------------

std::string_view AsText(const unsigned char* bytes, std::size_t size) {
    return std::string_view(reinterpret_cast<const char*>(bytes), size);
}

// Decodes into the record of `t`, or the call's scratch arena without one.
Arena& ArenaOf(CallScope& s, Tracer* t) { return t != nullptr ? t->arena : s.scratch(); }

// Whether `t` keeps what the application gives it (see Tracer::recorded).
bool Keeps(CallScope& s, const Tracer* t) { return t == nullptr || t->recorded || s.describing(); }

// Decodes `v` into `*to`, in the record of `t` (or the call's scratch
// arena), and describes it; but for a tracer that does not keep it, which
// leaves `*to` as it is. `always`: kept even by a tracer not recorded, for
// what names its parent. Written in place rather than returned: a text
// returned is stored a member at a time and copied whole, and the processor
// cannot forward such stores to the copy's wider loads.
void Put(CallScope& s, Tracer* t, const char* key, const vexlin_string_t* v, Str* to, bool always = false) {
    if (!always && !Keeps(s, t)) return;
    TextInto(ArenaOf(s, t), v, to);
    s.Add(key, StrValue(*to));
}

std::int32_t Put(CallScope& s, const char* key, std::int32_t v) {
    s.Add(key, Int(v));
    return v;
}

Tracer& NewTracer(CallScope& s, Kind kind) {
    Tracer& t = s.New(kind).tracer;
    // Guarded here and on the other paths every span takes: the compiler
    // builds a description's values before it tests whether to add them.
    if (s.describing()) {
        s.Add("tracer", UInt(t.handle));
        s.Add("kind", Text(KindName(kind)));
    }
    return t;
}

Handle Created(CallScope& s, Tracer& t) {
    SINK(tracer_created, t);
    return t.handle;
}

template <typename T>
void Append(std::vector<T>& to, std::vector<T>& from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

Value ObjectValue(std::vector<Field> members) {
    Value v;
    v.type = Value::kObject;
    v.members = std::move(members);
    return v;
}

Value Details(const DatabaseInfo& i) {
    return ObjectValue({{"name", ValueOf(StrValue(i.name))},
                        {"vendor", ValueOf(StrValue(i.vendor))},
                        {"channel_type", ValueOf(Int(i.channel_type))},
                        {"channel_endpoint", ValueOf(StrValue(i.channel_endpoint))}});
}
Value Details(const WebApplicationInfo& i) {
    return ObjectValue({{"web_server_name", ValueOf(StrValue(i.web_server_name))},
                        {"application_id", ValueOf(StrValue(i.application_id))},
                        {"context_root", ValueOf(StrValue(i.context_root))}});
}
Value Details(const MessagingSystemInfo& i) {
    return ObjectValue({{"vendor_name", ValueOf(StrValue(i.vendor_name))},
                        {"destination_name", ValueOf(StrValue(i.destination_name))},
                        {"destination_type", ValueOf(Int(i.destination_type))},
                        {"channel_type", ValueOf(Int(i.channel_type))},
                        {"channel_endpoint", ValueOf(StrValue(i.channel_endpoint))}});
}

// The texts of an info, for the one mechanism all three kinds share.
std::array<Str*, 3> Texts(DatabaseInfo& i) { return {&i.name, &i.vendor, &i.channel_endpoint}; }
std::array<Str*, 3> Texts(WebApplicationInfo& i) { return {&i.web_server_name, &i.application_id, &i.context_root}; }
std::array<Str*, 3> Texts(MessagingSystemInfo& i) { return {&i.vendor_name, &i.destination_name, &i.channel_endpoint}; }

// An info's block: the count, the info, then its texts, in one allocation
// (which may throw std::bad_alloc; `*holder` is set only once it is made).
// Standard layout: the block starts at its count, which Drop frees it by.
template <typename Info>
struct InfoBlock {
    SharedInfo shared;
    Info info;
};
template <typename Info>
const Info* MakeBlock(Info info, SharedInfo** holder) {
    static_assert(
        std::is_standard_layout<InfoBlock<Info>>::value && std::is_trivially_destructible<InfoBlock<Info>>::value,
        "freed as plain memory from the address of its count");
    std::size_t bytes = 0;
    for (const Str* text : Texts(info)) bytes += text->value.size();
    InfoBlock<Info>* block = new (::operator new(sizeof(InfoBlock<Info>) + bytes)) InfoBlock<Info>{{}, info};
    char* to = reinterpret_cast<char*>(block + 1);
    for (Str* text : Texts(block->info)) {
        const std::size_t size = text->value.size();
        if (size > 0) std::memcpy(to, text->value.data(), size);
        text->value = std::string_view(to, size);
        to += size;
    }
    *holder = &block->shared;
    return &block->info;
}

// `make` decodes the info's texts into the arena it is given (the record's,
// within its text limit); they are then copied to a block that the info's
// handle and the tracers created with it share. `Part` is the part of Tracer
// that points to the info.
template <typename Info, typename Part, typename Make>
Handle NewInfo(CallScope& s, Kind kind, const char* key, const Info* Part::*member, Make make) {
    Tracer& t = s.New(kind).tracer;
    const Info* info = MakeBlock(make(t.arena), &t.info);
    t.*member = info;
    s.Add(key, UInt(t.handle));
    if (s.describing()) s.Add("details", Details(*info));
    return t.handle;
}

// A tracer shares its info's block rather than copying it: the block stays
// whole when the info is deleted early, until the tracer's record lets go.
template <typename Info, typename Part>
void UseInfo(CallScope& s, Tracer& t, Handle info, Kind kind, const char* key, const char* details_key,
             Handle Part::*handle_member, const Info* Part::*member) {
    t.*handle_member = info;
    if (RecentInfo* recent = s.describing() ? nullptr : s.Recent(info, kind)) {
        if (Keeps(s, &t)) {
            t.info = TakeShare(*recent);
            t.*member = static_cast<const Info*>(recent->info);
        }
        return;
    }
    vexlin_kit::Object* o = s.FindInfo(info, kind, key);
    if (s.describing()) s.Add(details_key, o != nullptr ? Details(*(o->tracer.*member)) : Value());
    if (o != nullptr) {  // while the info's lock is held: not deleted meanwhile
        if (!s.describing()) s.Remember(info, kind, o->tracer.info, o->tracer.*member);
        if (Keeps(s, &t)) {
            t.info = Share(o->tracer.info);
            t.*member = o->tracer.*member;
        }
    }
    s.Release();
}

void DeleteInfo(CallScope& s, Handle handle, Kind kind, const char* key) {
    if (s.FindInfo(handle, kind, key) != nullptr) s.Retire();
}

void SetStr(CallScope& s, Handle h, KindSet kinds, const char* key, const vexlin_string_t* v, Str Tracer::*member,
            bool always = false) {
    Tracer* t = s.FindTracer(h, kinds);
    Str ignored;
    Put(s, t, key, v, t != nullptr ? &(t->*member) : &ignored, always);
}

void SetInt(CallScope& s, Handle h, KindSet kinds, const char* key, std::int32_t v, Opt<std::int32_t> Tracer::*member) {
    Tracer* t = s.FindTracer(h, kinds);
    if (s.describing()) s.Add(key, Int(v));
    if (t != nullptr && Keeps(s, t)) t->*member = Opt<std::int32_t>{true, v};
}

// How many of `count` new entries the list `member` of `t` keeps; the others
// are counted as dropped, but for parameters, which nothing makes attributes.
template <typename T>
std::size_t Kept(CallScope& s, Tracer* t, std::vector<T> Tracer::*member, std::size_t count) {
    const std::size_t limit = s.state()->limits.list_items, size = t != nullptr ? (t->*member).size() : 0;
    const std::size_t room = t == nullptr ? count : size < limit ? limit - size : 0;
    if (count <= room) return count;
    if (static_cast<const void*>(&(t->*member)) != &t->parameters) t->dropped_items += count - room;
    return room;
}

void AddPairs(CallScope& s, Handle h, KindSet kinds, const char* key, const vexlin_string_t* names,
              const vexlin_string_t* values, vexlin_size_t count, std::vector<StrPair> Tracer::*member) {
    Tracer* t = s.FindTracer(h, kinds);
    s.Add("count", UInt(count));
    bool missing = s.MissingArray(names, count, "names");
    missing = s.MissingArray(values, count, "values") || missing;
    std::vector<StrPair> pairs;
    Arena& arena = ArenaOf(s, t);
    const std::size_t kept = missing || !Keeps(s, t) ? 0 : Kept(s, t, member, count);
    for (vexlin_size_t i = 0; i < kept; ++i) pairs.push_back({TextOf(arena, names + i), TextOf(arena, values + i)});
    if (s.describing()) s.Add(key, missing ? Value() : Pairs(pairs));
    if (t != nullptr) Append(t->*member, pairs);
}

Attribute MakeAttribute(Arena& arena, const vexlin_string_t& key, std::int64_t v,
                        Attribute::Type type = Attribute::kInteger) {
    Attribute a;
    a.type = type;
    a.key = TextOf(arena, &key);
    a.integer = v;
    return a;
}
Attribute MakeAttribute(Arena& arena, const vexlin_string_t& key, double v) {
    Attribute a = MakeAttribute(arena, key, 0, Attribute::kDouble);
    a.real = v;
    return a;
}
Attribute MakeAttribute(Arena& arena, const vexlin_string_t& key, float v) {
    Attribute a = MakeAttribute(arena, key, double(v));
    a.type = Attribute::kFloat;
    return a;
}
Attribute MakeAttribute(Arena& arena, const vexlin_string_t& key, unsigned char v) {
    return MakeAttribute(arena, key, v != 0 ? 1 : 0, Attribute::kBool);
}
Attribute MakeAttribute(Arena& arena, const vexlin_string_t& key, const vexlin_string_t& v) {
    Attribute a = MakeAttribute(arena, key, 0, Attribute::kString);
    a.text = TextOf(arena, &v);
    return a;
}

// Describes and returns the keys and values that the list `member` of `t`
// keeps; empty when an array is missing.
template <typename T>
std::vector<Attribute> ReadAttributes(CallScope& s, Tracer* t, std::vector<Attribute> Tracer::*member,
                                      const vexlin_string_t* keys, const T* values, vexlin_size_t count) {
    s.Add("count", UInt(count));
    bool missing = s.MissingArray(keys, count, "keys");
    missing = s.MissingArray(values, count, "values") || missing;
    std::vector<Attribute> out;
    Arena& arena = ArenaOf(s, t);
    const std::size_t kept = missing || !Keeps(s, t) ? 0 : Kept(s, t, member, count);
    for (vexlin_size_t i = 0; i < kept; ++i) out.push_back(MakeAttribute(arena, keys[i], values[i]));
    if (s.describing()) s.Add("attributes", missing ? Value() : Attributes(out));
    return out;
}

// The library's 64-bit integer may be another type of the same size.
const std::int64_t* Values(const vexlin_int64_t* values) { return reinterpret_cast<const std::int64_t*>(values); }
template <typename T>
const T* Values(const T* values) {
    return values;
}

template <typename T>
void SpanAttributes(CallScope& s, Handle h, const vexlin_string_t* keys, const T* values, vexlin_size_t count) {
    Tracer* t = s.FindTracer(h, Bit(Kind::kSpan));
    std::vector<Attribute> read = ReadAttributes(s, t, &Tracer::attributes, keys, values, count);
    if (t != nullptr) Append(t->attributes, read);
}

// The tracer that request attributes and in-process links attach to, held.
Tracer* CurrentTracer(CallScope& s) {
    Handle current;
    Object* o = nullptr;
    // Ended by another thread since Current looked: look again.
    while ((current = s.Current()) != 0 && (o = s.Hold(current)) == nullptr) {
    }
    s.Add("tracer", HandleValue(current));
    if (o != nullptr) return &o->tracer;
    s.Misuse("no_active_tracer", "no tracer is started on this thread, so there is nothing to attach to");
    return nullptr;
}

template <typename T>
void RequestAttributes(CallScope& s, const vexlin_string_t* keys, const T* values, vexlin_size_t count) {
    Tracer* t = CurrentTracer(s);
    std::vector<Attribute> read = ReadAttributes(s, t, &Tracer::request_attributes, keys, values, count);
    if (t != nullptr) Append(t->request_attributes, read);
}

// The library's two-step size query: copies `reported` bytes only when they fit.
vexlin_size_t HandOut(CallScope& s, const void* data, vexlin_size_t size, vexlin_size_t reported, void* buffer,
                      vexlin_size_t buffer_size, vexlin_size_t* required) {
    if (required != nullptr) *required = reported;
    const bool fits = buffer != nullptr && buffer_size >= reported;
    if (fits && reported > 0) std::memcpy(buffer, data, reported);
    s.Add("buffer_size", UInt(buffer_size));
    s.Add("required_buffer_size", UInt(reported));
    s.Add("written", BoolValue(fits));
    return fits ? size : 0;
}

Arg BytesOf(const Bytes& b) {
    static const unsigned char kNone = 0;
    return BytesValue(b.empty() ? &kNone : b.data(), b.size());
}

// A tracer's time in both units: the call's one clock read (read only for
// a tracer that keeps it), or the (positive) microseconds the application
// gave.
struct Time {
    std::int64_t us = 0, ns = 0;
    bool now = false;
};
Time Now() { return Time{0, 0, true}; }
Time Given(std::int64_t us) { return Time{us, us > INT64_MAX / 1000 ? INT64_MAX : us * 1000}; }
Time Read(CallScope& s, Time t) { return t.now ? Time{s.now_us(), s.now_ns()} : t; }

bool Start(CallScope& s, Handle h, Handle requested_parent, Time start, bool explicit_parent) {
    // Parents first: the tracer's own lock is then held to the end.
    alignas(8) unsigned char parent_context[kContextSize];
    int parent_state = 0;
    if (explicit_parent && requested_parent != 0) parent_state = s.Peek(requested_parent, parent_context);
    Handle parent = parent_state != 0 ? requested_parent : 0;
    if (parent == 0) {
        parent = s.Current(parent_context);
        parent_state = parent != 0 ? 2 : 0;
    }
    Tracer* t = s.FindTracer(h);
    if (explicit_parent) {
        s.Add("requested_parent", HandleValue(requested_parent));
        if (requested_parent != 0 && parent != requested_parent)
            s.Misuse(
                "invalid_handle",
                "parent tracer " + std::to_string(requested_parent) + " is not a running tracer; starting without it",
                "parent_tracer", requested_parent);
    }
    if (t == nullptr) return false;
    if (t->state != TracerState::kCreated) {
        s.Misuse("started_twice", "tracer " + std::to_string(h) + " (" + KindName(t->kind) + ") was already started",
                 "tracer", h, KindName(t->kind));
        return false;
    }
    s.record().stack.push_back(h);
    t->state = TracerState::kStarted;
    t->start_thread = s.thread();
    t->parent = parent;
    SINK(tracer_started, *t, parent_state == 2 ? parent_context : nullptr);
    if (Keeps(s, t)) {
        start = Read(s, start);
        t->start_us = start.us;
        t->start_ns = start.ns;
    }
    if (s.describing()) {
        s.Add("parent", HandleValue(t->parent));
        s.Add("start_us", Int(start.us));
    }
    return true;
}

void End(CallScope& s, Handle h, Time end) {
    Tracer* t = s.FindTracer(h);
    if (t == nullptr) return;
    if (Keeps(s, t)) end = Read(s, end);
    const std::int64_t end_us = end.us;
    t->end_us = end_us;
    t->end_ns = end.ns;
    t->end_thread = s.thread();
    if (t->state == TracerState::kStarted) {
        if (s.describing()) {
            s.Add("parent", HandleValue(t->parent));
            s.Add("start_us", Int(t->start_us));
            s.Add("end_us", Int(end_us));
            s.Add("duration_us", Int(end_us - t->start_us));
            if (t->start_thread != s.thread()) s.Add("start_thread", UInt(t->start_thread));
        }
        // Other threads' stacks drop it when they next look.
        std::vector<Handle>& stack = s.record().stack;
        if (!stack.empty() && stack.back() == h) stack.pop_back();
        t->state = TracerState::kEnded;
    } else {
        s.Add("end_us", Int(end_us));
        try {
            s.Misuse("end_without_start",
                     "tracer " + std::to_string(h) + " (" + KindName(t->kind) + ") was ended but never started",
                     "tracer", h, KindName(t->kind));
        } catch (...) {
            s.LoseDescription();
        }
    }
    // The application takes an end for done whatever fails here: a tracer
    // left live would stay its thread's current one and parent every later one.
    bool kept = false;
    try {
        kept = g_sink->tracer_ended != nullptr && g_sink->tracer_ended(s.state()->self, *t);
    } catch (...) {
        s.LoseDescription();
    }
    s.Retire(kept);
}

vexlin_result_t SetCallback(CallScope& s, int which, vexlin_agent_logging_callback_t* cb) {
    g_callbacks[which].store(cb, std::memory_order_release);
    State* st = s.state();
    if (which == 0 && cb != nullptr && st != nullptr && !st->start_messages_taken.exchange(true))
        for (const std::string& message : st->start_messages) s.Defer(message);
    s.Add("callback", BoolValue(cb != nullptr));
    return VEXLIN_SUCCESS;
}

vexlin_result_t SetCallbackWithResult(CallScope& s, int which, vexlin_agent_logging_callback_t* cb) {
    SetCallback(s, which, cb);
    s.Add("result", Int(0));
    return VEXLIN_SUCCESS;
}

// ---- Setters ------------------------------------------------------------------
// Setters that differ only in the kind they take, and the member they set
// (whose name is also the key of its description): one line each.
#define KIT_SETTERS(TEXT, NUMBER, PAIRS)                                                                   \
    TEXT(outgoingremotecalltracer_set_protocol_name_p, kOutgoingRemoteCall, protocol_name)                 \
    TEXT(incomingremotecalltracer_set_protocol_name_p, kIncomingRemoteCall, protocol_name)                 \
    NUMBER(databaserequesttracer_set_returned_row_count, kDatabaseRequest, returned_row_count)             \
    NUMBER(databaserequesttracer_set_round_trip_count, kDatabaseRequest, round_trip_count)                 \
    PAIRS(incomingwebrequesttracer_add_request_headers_p, kIncomingWebRequest, request_headers)            \
    PAIRS(incomingwebrequesttracer_add_response_headers_p, kIncomingWebRequest, response_headers)          \
    NUMBER(incomingwebrequesttracer_set_status_code, kIncomingWebRequest, status_code)                     \
    TEXT(incomingwebrequesttracer_set_remote_address_p, kIncomingWebRequest, remote_address)               \
    PAIRS(incomingwebrequesttracer_add_parameters_p, kIncomingWebRequest, parameters)                      \
    PAIRS(outgoingwebrequesttracer_add_request_headers_p, kOutgoingWebRequest, request_headers)            \
    PAIRS(outgoingwebrequesttracer_add_response_headers_p, kOutgoingWebRequest, response_headers)          \
    NUMBER(outgoingwebrequesttracer_set_status_code, kOutgoingWebRequest, status_code)                     \
    TEXT(outgoingmessagetracer_set_vendor_message_id_p, kOutgoingMessage, vendor_message_id)               \
    TEXT(outgoingmessagetracer_set_correlation_id_p, kOutgoingMessage, correlation_id)                     \
    TEXT(incomingmessageprocesstracer_set_vendor_message_id_p, kIncomingMessageProcess, vendor_message_id) \
    TEXT(incomingmessageprocesstracer_set_correlation_id_p, kIncomingMessageProcess, correlation_id)       \
    TEXT(ex_spantracer_set_operationname_p, kSpan, operation_name)

#define KIT_TEXT_SETTER(name, kind, member)                                            \
    void Do_##name(CallScope& s, vexlin_tracer_handle_t h, const vexlin_string_t* v) { \
        SetStr(s, h, Bit(Kind::kind), #member, v, &Tracer::member);                    \
    }
#define KIT_NUMBER_SETTER(name, kind, member)                                  \
    void Do_##name(CallScope& s, vexlin_tracer_handle_t h, vexlin_int32_t v) { \
        SetInt(s, h, Bit(Kind::kind), #member, v, &Tracer::member);            \
    }
#define KIT_PAIRS_SETTER(name, kind, member)                                             \
    void Do_##name(CallScope& s, vexlin_tracer_handle_t h, const vexlin_string_t* names, \
                   const vexlin_string_t* values, vexlin_size_t count) {                 \
        AddPairs(s, h, Bit(Kind::kind), #member, names, values, count, &Tracer::member); \
    }
KIT_SETTERS(KIT_TEXT_SETTER, KIT_NUMBER_SETTER, KIT_PAIRS_SETTER)
#undef KIT_TEXT_SETTER
#undef KIT_NUMBER_SETTER
#undef KIT_PAIRS_SETTER
#undef KIT_SETTERS

// ---- The agent table ---------------------------------------------------------

void Do_agent_add_ref(CallScope& s) { s.Add("references", UInt(s.state()->agent_refs.fetch_add(1) + 1)); }

void Do_agent_release(CallScope& s) {
    std::atomic<unsigned>& refs = s.state()->agent_refs;
    unsigned now = refs.load();
    while (now != 0 && !refs.compare_exchange_weak(now, now - 1)) {
    }
    if (now == 0)
        s.Misuse("release_without_reference", "the agent object was released more often than it was handed out");
    s.Add("references", UInt(now == 0 ? 0 : now - 1));
}

vexlin_bool_t Do_internal_dispatch(CallScope& s, vexlin_int32_t dispatch_id, vexlin_int32_t dispatch_version,
                                   void* data, vexlin_size_t data_size) {
    s.Add("dispatch_id", Int(dispatch_id));
    s.Add("dispatch_version", Int(dispatch_version));
    s.Add("data", BoolValue(data != nullptr));
    s.Add("data_size", UInt(data_size));
    s.Add("result", Int(0));
    return 0;  // no internal requests are handled
}

vexlin_int32_t Do_agent_get_current_state(CallScope& s) {
    s.Add("result", Int(0));
    return 0;  // always active
}

void Do_agent_set_logging_callback(CallScope& s, vexlin_agent_logging_callback_t* cb) { SetCallback(s, 0, cb); }

void Do_tracer_start(CallScope& s, vexlin_tracer_handle_t h) { Start(s, h, 0, Now(), false); }

void Do_tracer_end(CallScope& s, vexlin_tracer_handle_t h) { End(s, h, Now()); }

void Do_tracer_error_p(CallScope& s, vexlin_tracer_handle_t h, const vexlin_string_t* error_class,
                       const vexlin_string_t* error_message) {
    Tracer* t = s.FindTracer(h);
    Str c, m;
    Put(s, t, "error_class", error_class, t != nullptr ? &t->error_class : &c);
    Put(s, t, "error_message", error_message, t != nullptr ? &t->error_message : &m);
}

vexlin_size_t Do_tracer_get_outgoing_korvantix_string_tag(CallScope& s, vexlin_tracer_handle_t h, char* buffer,
                                                          vexlin_size_t buffer_size, vexlin_size_t* required) {
    Tracer* t = s.FindTracer(h, kOutgoingTagKinds);
    std::string tag;
    if (t != nullptr && g_sink->outgoing_string_tag != nullptr &&
        !g_sink->outgoing_string_tag(s.state()->self, *t, &tag))
        tag.clear();
    s.Add("tag", Text(tag));
    vexlin_size_t written = HandOut(s, tag.c_str(), tag.size(), tag.size() + 1, buffer, buffer_size, required);
    if (written == 0 && buffer != nullptr && buffer_size > 0) buffer[0] = '\0';
    return written;
}

vexlin_size_t Do_tracer_get_outgoing_korvantix_byte_tag(CallScope& s, vexlin_tracer_handle_t h, unsigned char* buffer,
                                                        vexlin_size_t buffer_size, vexlin_size_t* required) {
    Tracer* t = s.FindTracer(h, kOutgoingTagKinds);
    Bytes tag;
    if (t != nullptr && g_sink->outgoing_byte_tag != nullptr && !g_sink->outgoing_byte_tag(s.state()->self, *t, &tag))
        tag.clear();
    s.Add("tag", BytesOf(tag));
    return HandOut(s, tag.data(), tag.size(), tag.size(), buffer, buffer_size, required);
}

void Do_tracer_set_incoming_korvantix_string_tag_p(CallScope& s, vexlin_tracer_handle_t h, const vexlin_string_t* tag) {
    SetStr(s, h, kIncomingTagKinds, "tag", tag, &Tracer::incoming_string_tag, true);
}

void Do_tracer_set_incoming_korvantix_byte_tag(CallScope& s, vexlin_tracer_handle_t h, const unsigned char* tag,
                                               vexlin_size_t size) {
    Tracer* t = s.FindTracer(h, kIncomingTagKinds);
    bool missing = s.MissingArray(tag, size, "byte_tag");
    s.Add("tag", missing ? Null() : BytesValue(tag, size));
    if (t != nullptr && !missing && tag != nullptr) t->incoming_byte_tag = Str{true, Keep(t->arena, AsText(tag, size))};
}

vexlin_tracer_handle_t Do_outgoingremotecalltracer_create_p(CallScope& s, const vexlin_string_t* service_method,
                                                            const vexlin_string_t* service_name,
                                                            const vexlin_string_t* service_endpoint,
                                                            vexlin_int32_t channel_type,
                                                            const vexlin_string_t* channel_endpoint) {
    Tracer& t = NewTracer(s, Kind::kOutgoingRemoteCall);
    Put(s, &t, "service_method", service_method, &t.service_method);
    Put(s, &t, "service_name", service_name, &t.service_name);
    Put(s, &t, "service_endpoint", service_endpoint, &t.service_endpoint);
    t.channel_type = Put(s, "channel_type", channel_type);
    Put(s, &t, "channel_endpoint", channel_endpoint, &t.channel_endpoint);
    return Created(s, t);
}

vexlin_tracer_handle_t Do_incomingremotecalltracer_create_p(CallScope& s, const vexlin_string_t* service_method,
                                                            const vexlin_string_t* service_name,
                                                            const vexlin_string_t* service_endpoint) {
    Tracer& t = NewTracer(s, Kind::kIncomingRemoteCall);
    Put(s, &t, "service_method", service_method, &t.service_method);
    Put(s, &t, "service_name", service_name, &t.service_name);
    Put(s, &t, "service_endpoint", service_endpoint, &t.service_endpoint);
    return Created(s, t);
}

vexlin_databaseinfo_handle_t Do_databaseinfo_create_p(CallScope& s, const vexlin_string_t* name,
                                                      const vexlin_string_t* vendor, vexlin_int32_t channel_type,
                                                      const vexlin_string_t* channel_endpoint) {
    return NewInfo(s, Kind::kDatabaseInfo, "database_info", &Tracer::database, [&](Arena& a) {
        return DatabaseInfo{TextOf(a, name), TextOf(a, vendor), channel_type, TextOf(a, channel_endpoint)};
    });
}

void Do_databaseinfo_delete(CallScope& s, vexlin_databaseinfo_handle_t h) {
    DeleteInfo(s, h, Kind::kDatabaseInfo, "database_info");
}

vexlin_tracer_handle_t Do_databaserequesttracer_create_sql_p(CallScope& s, vexlin_databaseinfo_handle_t info,
                                                             const vexlin_string_t* statement) {
    Tracer& t = NewTracer(s, Kind::kDatabaseRequest);
    UseInfo(s, t, info, Kind::kDatabaseInfo, "database_info", "database", &Tracer::database_info_handle,
            &Tracer::database);
    Put(s, &t, "statement", statement, &t.statement);
    return Created(s, t);
}

vexlin_webapplicationinfo_handle_t Do_webapplicationinfo_create_p(CallScope& s, const vexlin_string_t* web_server_name,
                                                                  const vexlin_string_t* application_id,
                                                                  const vexlin_string_t* context_root) {
    return NewInfo(s, Kind::kWebApplicationInfo, "web_application_info", &Tracer::web_application, [&](Arena& a) {
        return WebApplicationInfo{TextOf(a, web_server_name), TextOf(a, application_id), TextOf(a, context_root)};
    });
}

void Do_webapplicationinfo_delete(CallScope& s, vexlin_webapplicationinfo_handle_t h) {
    DeleteInfo(s, h, Kind::kWebApplicationInfo, "web_application_info");
}

vexlin_tracer_handle_t Do_incomingwebrequesttracer_create_p(CallScope& s, vexlin_webapplicationinfo_handle_t info,
                                                            const vexlin_string_t* url, const vexlin_string_t* method) {
    Tracer& t = NewTracer(s, Kind::kIncomingWebRequest);
    UseInfo(s, t, info, Kind::kWebApplicationInfo, "web_application_info", "web_application",
            &Tracer::web_application_info_handle, &Tracer::web_application);
    Put(s, &t, "url", url, &t.url);
    Put(s, &t, "method", method, &t.method);
    return Created(s, t);
}

// The attribute setters differ only in the values' type.
#define KIT_REQUEST_ATTRIBUTES(name, type)                                                                       \
    void Do_customrequestattribute_add_##name##_p(CallScope& s, const vexlin_string_t* keys, const type* values, \
                                                  vexlin_size_t count) {                                         \
        RequestAttributes(s, keys, Values(values), count);                                                       \
    }
KIT_REQUEST_ATTRIBUTES(integers, vexlin_int64_t)
KIT_REQUEST_ATTRIBUTES(floats, double)
KIT_REQUEST_ATTRIBUTES(strings, vexlin_string_t)
#undef KIT_REQUEST_ATTRIBUTES

vexlin_size_t Do_inprocesslink_create(CallScope& s, unsigned char* buffer, vexlin_size_t buffer_size,
                                      vexlin_size_t* required) {
    Tracer* current = CurrentTracer(s);
    Bytes link;
    if (g_sink->make_in_process_link != nullptr && !g_sink->make_in_process_link(s.state()->self, current, &link))
        link.clear();
    s.Add("link", BytesOf(link));
    return HandOut(s, link.data(), link.size(), link.size(), buffer, buffer_size, required);
}

vexlin_tracer_handle_t Do_inprocesslinktracer_create(CallScope& s, const unsigned char* bytes, vexlin_size_t size) {
    Tracer& t = NewTracer(s, Kind::kInProcessLink);
    bool missing = s.MissingArray(bytes, size, "in_process_link_bytes");
    s.Add("link", missing ? Null() : BytesValue(bytes, size));
    if (bytes != nullptr) t.link = Str{true, Keep(t.arena, AsText(bytes, size))};
    if (!missing && bytes != nullptr && g_sink->read_in_process_link != nullptr &&
        g_sink->read_in_process_link(s.state()->self, bytes, size, &t.linked_tracer)) {
        s.Add("linked_tracer", HandleValue(t.linked_tracer));
    } else if (!missing) {
        t.linked_tracer = 0;
        s.Misuse("invalid_link", "the in-process link bytes were not made by inprocesslink_create in this process",
                 "tracer", t.handle, KindName(t.kind));
    }
    return Created(s, t);
}

vexlin_tracer_handle_t Do_outgoingwebrequesttracer_create_p(CallScope& s, const vexlin_string_t* url,
                                                            const vexlin_string_t* method) {
    Tracer& t = NewTracer(s, Kind::kOutgoingWebRequest);
    Put(s, &t, "url", url, &t.url);
    Put(s, &t, "method", method, &t.method);
    return Created(s, t);
}

vexlin_tracer_handle_t Do_customservicetracer_create_p(CallScope& s, const vexlin_string_t* service_method,
                                                       const vexlin_string_t* service_name) {
    Tracer& t = NewTracer(s, Kind::kCustomService);
    Put(s, &t, "service_method", service_method, &t.service_method);
    Put(s, &t, "service_name", service_name, &t.service_name);
    return Created(s, t);
}

vexlin_messagingsysteminfo_handle_t Do_messagingsysteminfo_create_p(CallScope& s, const vexlin_string_t* vendor_name,
                                                                    const vexlin_string_t* destination_name,
                                                                    vexlin_int32_t destination_type,
                                                                    vexlin_int32_t channel_type,
                                                                    const vexlin_string_t* channel_endpoint) {
    return NewInfo(s, Kind::kMessagingSystemInfo, "messaging_system_info", &Tracer::messaging_system, [&](Arena& a) {
        return MessagingSystemInfo{TextOf(a, vendor_name), TextOf(a, destination_name), destination_type, channel_type,
                                   TextOf(a, channel_endpoint)};
    });
}

void Do_messagingsysteminfo_delete(CallScope& s, vexlin_messagingsysteminfo_handle_t h) {
    DeleteInfo(s, h, Kind::kMessagingSystemInfo, "messaging_system_info");
}

vexlin_tracer_handle_t MessageTracer(CallScope& s, Kind kind, vexlin_messagingsysteminfo_handle_t info) {
    Tracer& t = NewTracer(s, kind);
    UseInfo(s, t, info, Kind::kMessagingSystemInfo, "messaging_system_info", "messaging_system",
            &Tracer::messaging_system_info_handle, &Tracer::messaging_system);
    return Created(s, t);
}

vexlin_tracer_handle_t Do_outgoingmessagetracer_create(CallScope& s, vexlin_messagingsysteminfo_handle_t info) {
    return MessageTracer(s, Kind::kOutgoingMessage, info);
}

vexlin_tracer_handle_t Do_incomingmessagereceivetracer_create(CallScope& s, vexlin_messagingsysteminfo_handle_t info) {
    return MessageTracer(s, Kind::kIncomingMessageReceive, info);
}

vexlin_tracer_handle_t Do_incomingmessageprocesstracer_create(CallScope& s, vexlin_messagingsysteminfo_handle_t info) {
    return MessageTracer(s, Kind::kIncomingMessageProcess, info);
}

vexlin_int32_t Do_agent_get_fork_state(CallScope& s) {
    vexlin_int32_t state = s.state()->pid != ::getpid() ? 1 : 0;
    s.Add("result", Int(state));
    return state;
}

vexlin_result_t Do_agent_set_warning_callback(CallScope& s, vexlin_agent_logging_callback_t* cb) {
    return SetCallbackWithResult(s, 1, cb);
}

vexlin_result_t Do_agent_set_verbose_callback(CallScope& s, vexlin_agent_logging_callback_t* cb) {
    return SetCallbackWithResult(s, 2, cb);
}

// ---- Extension tables ----------------------------------------------------------

void Do_metric_delete(CallScope& s, vexlin_metric_handle_t h) {
    Metric* m = s.FindMetric(h, kAnyMetric);
    if (m == nullptr) return;
    SINK(metric_deleted, *m);
    s.Retire();
}

vexlin_metric_handle_t NewMetric(CallScope& s, Kind kind, const vexlin_string_t* key, const vexlin_string_t* unit,
                                 const vexlin_string_t* dimension_name) {
    Object& o = s.New(kind);
    Metric& m = o.metric;
    s.Add("metric", UInt(m.handle));
    s.Add("kind", Text(KindName(kind)));
    Put(s, &o.tracer, "metric_key", key, &m.key);
    Put(s, &o.tracer, "unit", unit, &m.unit);
    Put(s, &o.tracer, "dimension_name", dimension_name, &m.dimension_name);
    SINK(metric_created, m);
    return m.handle;
}

void Update(CallScope& s, vexlin_metric_handle_t h, Kind kind, MetricUpdate u, const vexlin_string_t* dimension) {
    Metric* m = s.FindMetric(h, Bit(kind));
    if (m != nullptr) s.Add("metric_key", StrValue(m->key));
    s.Add("value", u.is_float ? Real(u.real) : Int(u.integer));
    Put(s, nullptr, "dimension", dimension, &u.dimension);
    if (m != nullptr) SINK(metric_updated, *m, u);
}

MetricUpdate Of(std::int64_t v) { return MetricUpdate{false, v, 0, Str()}; }
MetricUpdate Of(double v) { return MetricUpdate{true, 0, v, Str()}; }

#define KIT_METRIC(kind_name, create, update, type)                                                           \
    vexlin_metric_handle_t Do_##create(CallScope& s, const vexlin_string_t* key, const vexlin_string_t* unit, \
                                       const vexlin_string_t* dimension_name) {                               \
        return NewMetric(s, Kind::kind_name, key, unit, dimension_name);                                      \
    }                                                                                                         \
    void Do_##update(CallScope& s, vexlin_metric_handle_t h, type value, const vexlin_string_t* dimension) {  \
        Update(s, h, Kind::kind_name, Of(value), dimension);                                                  \
    }
KIT_METRIC(kIntegerCounter, integercountermetric_create_p, integercountermetric_increase_by_p, std::int64_t)
KIT_METRIC(kFloatCounter, floatcountermetric_create_p, floatcountermetric_increase_by_p, double)
KIT_METRIC(kIntegerGauge, integergaugemetric_create_p, integergaugemetric_set_value_p, std::int64_t)
KIT_METRIC(kFloatGauge, floatgaugemetric_create_p, floatgaugemetric_set_value_p, double)
KIT_METRIC(kIntegerStatistics, integerstatisticsmetric_create_p, integerstatisticsmetric_add_value_p, std::int64_t)
KIT_METRIC(kFloatStatistics, floatstatisticsmetric_create_p, floatstatisticsmetric_add_value_p, double)
#undef KIT_METRIC

vexlin_tracer_handle_t Do_ex_spantracer_create(CallScope& s, vexlin_int32_t tracing_system_type) {
    Tracer& t = NewTracer(s, Kind::kSpan);
    t.tracing_system_type = Put(s, "tracing_system_type", tracing_system_type);
    return Created(s, t);
}

Str Id(CallScope& s, Tracer* t, const char* key, const unsigned char* id, std::size_t size) {
    s.Add(key, id != nullptr ? BytesValue(id, size) : Null());
    return id != nullptr ? Str{true, Keep(ArenaOf(s, t), AsText(id, size))} : Str();
}

void Do_ex_spantracer_set_ids_p(CallScope& s, vexlin_tracer_handle_t h, const vexlin_ex_trace_id_t* trace_id,
                                const vexlin_ex_span_id_t* span_id, const vexlin_ex_span_id_t* parent_span_id) {
    Tracer* t = s.FindTracer(h, Bit(Kind::kSpan));
    Str trace = Id(s, t, "trace_id", trace_id != nullptr ? trace_id->binary_id : nullptr, 16);
    Str span = Id(s, t, "span_id", span_id != nullptr ? span_id->binary_id : nullptr, 8);
    Str parent = Id(s, t, "parent_span_id", parent_span_id != nullptr ? parent_span_id->binary_id : nullptr, 8);
    if (t == nullptr) return;
    t->trace_id = trace;
    t->span_id = span;
    t->parent_span_id = parent;
}

#define KIT_SPAN_ATTRIBUTES(name, type)                                                                       \
    void Do_ex_spantracer_set_##name##_p(CallScope& s, vexlin_tracer_handle_t h, const vexlin_string_t* keys, \
                                         const type* values, vexlin_size_t count) {                           \
        SpanAttributes(s, h, keys, Values(values), count);                                                    \
    }
KIT_SPAN_ATTRIBUTES(integers, vexlin_int64_t)
KIT_SPAN_ATTRIBUTES(doubles, double)
KIT_SPAN_ATTRIBUTES(floats, float)
KIT_SPAN_ATTRIBUTES(bools, unsigned char)
KIT_SPAN_ATTRIBUTES(strings, vexlin_string_t)
#undef KIT_SPAN_ATTRIBUTES

void Do_ex_agent_add_process_technology_p(CallScope& s, vexlin_int32_t type, const vexlin_string_t* edition,
                                          const vexlin_string_t* version) {
    s.Add("tech_type", Int(type));
    Str e, v;
    Put(s, nullptr, "tech_edition", edition, &e);
    Put(s, nullptr, "tech_version", version, &v);
    SINK(process_technology, type, e, v);
}

// Times of the timed variants are microseconds since the epoch; 0 or less
// means now.
vexlin_bool_t Do_ex_tracer_start_2(CallScope& s, vexlin_tracer_handle_t h, vexlin_tracer_handle_t parent,
                                   vexlin_int64_t start_us) {
    return Start(s, h, parent, start_us > 0 ? Given(start_us) : Now(), true) ? 1 : 0;
}

void Do_ex_tracer_end_timed(CallScope& s, vexlin_tracer_handle_t h, vexlin_int64_t end_us) {
    End(s, h, end_us > 0 ? Given(end_us) : Now());
}

void Do_ex_agent_force_send_data_now(CallScope& s) {
    if (g_sink->force_send_data_now != nullptr) s.Wait(g_sink->force_send_data_now, s.state()->self);
}

// ---- Generated slots -----------------------------------------------------------
// Neutral answers after the last shutdown, named by the lists' `neutral` column.

template <typename R, typename... A>
R Neutral_nothing(A...) {
    return R();
}
template <typename R, typename... A>
R Neutral_no_handle(A...) {
    return R();
}
template <typename R, typename... A>
R Neutral_zero(A...) {
    return R();
}
template <typename R>
R Neutral_state_unknown() {
    return 3;
}
template <typename R>
R Neutral_fork_state_unknown() {
    return -1;
}
template <typename R, typename... A>
R Neutral_not_initialized(A...) {
    return VEXLIN_ERROR_NOT_INITIALIZED;
}
template <typename R>
R Neutral_empty_string_tag(vexlin_tracer_handle_t, char* buffer, vexlin_size_t size, vexlin_size_t* required) {
    if (buffer != nullptr && size != 0) buffer[0] = '\0';
    if (required != nullptr) *required = 1;
    return 0;
}
template <typename R>
R Neutral_empty_byte_buffer(unsigned char*, vexlin_size_t, vexlin_size_t* required) {
    if (required != nullptr) *required = 0;
    return 0;
}
template <typename R>
R Neutral_empty_byte_buffer(vexlin_tracer_handle_t, unsigned char* buffer, vexlin_size_t size,
                            vexlin_size_t* required) {
    return Neutral_empty_byte_buffer<R>(buffer, size, required);
}

// Why a call may not go on: after the last shutdown, or with a foreign agent object.
__attribute__((cold, noinline)) bool Refuse(CallScope& s) {
    if (!s.started()) {
        s.Drop();
        return false;
    }
    s.Misuse("foreign_agent", std::string(s.name()) + " was called with an agent object this module did not hand out");
    return false;
}

// Checks the state and the agent object; true when the call may go on.
// A forwarded call sees a state only while the module is started.
inline bool Enter(CallScope& s, vexlin_abi_agent_t* agent) {
    return (s.state() != nullptr && agent == &g_agent) || Refuse(s);
}

// A call that throws (out of memory, say) gets the neutral answer.
#define KIT_SLOT(name, result, params, args, neutral)                               \
    result Slot_##name(vexlin_abi_agent_t* agent, VEXLIN_UNPAREN params) noexcept { \
        CallScope s(CallScope::kForwarded, #name);                                  \
        try {                                                                       \
            if (Enter(s, agent)) return Do_##name(s, VEXLIN_UNPAREN args);          \
        } catch (...) {                                                             \
            s.Failed();                                                             \
        }                                                                           \
        return Neutral_##neutral<result>(VEXLIN_UNPAREN args);                      \
    }
#define KIT_SLOT0(name, result, neutral)                     \
    result Slot_##name(vexlin_abi_agent_t* agent) noexcept { \
        CallScope s(CallScope::kForwarded, #name);           \
        try {                                                \
            if (Enter(s, agent)) return Do_##name(s);        \
        } catch (...) {                                      \
            s.Failed();                                      \
        }                                                    \
        return Neutral_##neutral<result>();                  \
    }

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) KIT_SLOT0(name, result, nothing)
// The list gives no argument names for slots the library never forwards.
#define KIT_ARGS_internal_dispatch (dispatch_id, dispatch_version, data, data_size)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) KIT_SLOT(name, result, params, KIT_ARGS_##name, nothing)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) KIT_SLOT0(name, result, neutral)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    KIT_SLOT(name, result, params, args, neutral)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

#define KIT_EX_SLOT(slot, field, exported, result, params, args, neutral) \
    KIT_SLOT(exported, result, params, args, neutral)
#define KIT_EX_SLOT0(slot, field, exported, result, neutral) KIT_SLOT0(exported, result, neutral)
VEXLIN_EX_METRICS_FUNCS(KIT_EX_SLOT, KIT_EX_SLOT0)
VEXLIN_EX_SPAN_FUNCS(KIT_EX_SLOT, KIT_EX_SLOT0)
VEXLIN_EX_TECHTYPE_FUNCS(KIT_EX_SLOT, KIT_EX_SLOT0)
VEXLIN_EX_TRACER_EXT_FUNCS(KIT_EX_SLOT, KIT_EX_SLOT0)
VEXLIN_EX_SERVERLESS_FUNCS(KIT_EX_SLOT, KIT_EX_SLOT0)

}  // namespace

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) &Slot_##name,
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) &Slot_##name,
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) &Slot_##name,
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) &Slot_##name,
const vexlin_abi_agent_functions_5_t kAgentFunctions = {
#include "vexlin/internal/x-agent_funcs.h"
};
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
static_assert(sizeof(kAgentFunctions) == VEXLIN_ABI_AGENT_FUNCTIONS_5_SLOTS * sizeof(void*), "51 agent slots");

#define KIT_EX_ENTRY(slot, field, exported, result, params, args, neutral) &Slot_##exported,
#define KIT_EX_ENTRY0(slot, field, exported, result, neutral) &Slot_##exported,
const vexlin_abi_library_functions_ex_metrics_t kMetricsTable = {VEXLIN_EX_METRICS_FUNCS(KIT_EX_ENTRY, KIT_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_span_t kSpanTable = {VEXLIN_EX_SPAN_FUNCS(KIT_EX_ENTRY, KIT_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_techtype_t kTechtypeTable = {
    VEXLIN_EX_TECHTYPE_FUNCS(KIT_EX_ENTRY, KIT_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_tracer_ext_t kTracerExtTable = {
    VEXLIN_EX_TRACER_EXT_FUNCS(KIT_EX_ENTRY, KIT_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_serverless_t kServerlessTable = {
    VEXLIN_EX_SERVERLESS_FUNCS(KIT_EX_ENTRY, KIT_EX_ENTRY0)};

}  // namespace vexlin_kit
