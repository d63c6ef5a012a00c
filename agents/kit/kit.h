// The agent kit: everything an agent module shares, behind one sink. The kit
// owns the module contract (entry points, library and extension tables, every
// slot generated from the library's lists), the handle registry, each
// thread's current tracer, the tracer state machine and misuse checks, agent
// references, the application's callbacks and fork state. A module supplies
// a Sink and owns its output alone.
//
// Using it, in the module's one source file:
//     const vexlin_kit::Sink kSink = MakeSink();  // the hooks it has, by name
//     VEXLIN_KIT_ENTRY_POINTS(kSink)
// and link the module with the static library vexlin_agent_kit (see
// agents/CMakeLists.txt, vexlin_add_agent_module).
//
// Threads: the kit takes no process-wide lock on a call. Each handle has a
// small lock of its own, held while a call works on that handle's record and
// while the sink's hooks for it run; the hooks of an object being created run
// without it, as no other call can reach the object before the create
// returns. A sink guards the state its hooks share across handles itself.
// Hooks must be quick (queue work for a thread of their own rather than send
// from a hook), must not call the library and must not call the application:
// Log() below defers a message until the call returns.
// Records handed to a hook are valid only during the call (texts included:
// they live in the record's arena, or in its info's shared block); copy what
// you keep, or keep an ended tracer's whole record (tracer_ended).
//
// What an application callback may do: the logging, warning and verbose
// callbacks run after the call has let go of every kit lock, so a callback
// of a forwarded call may call the library again, vexlin_shutdown included.
// Callbacks of initialize and shutdown (their misuse reports, the failure
// count) run while the library holds its initialization lock: they must not
// call initialize, shutdown or the variable functions. A message Log() hands
// over on the sink's own thread must not lead to vexlin_shutdown either (the
// shutdown would wait for that very thread).
//
// Lifetime: the first initialize pins the module (it is never unmapped, so a
// call racing the last shutdown still finds its code); the last shutdown
// waits for the calls in progress and frees all of the kit's and the sink's
// state, so a later initialize starts clean. Calls after that, or with an
// agent object the module did not hand out, get the neutral answer.
// Every entry point and slot is noexcept: in a slot an exception (std::bad_alloc
// from a hook, say) becomes the neutral answer and is counted, and the last
// shutdown reports the count to the logging callback; initialize and shutdown
// return VEXLIN_ERROR_OUT_OF_MEMORY instead, which the application sees at once. A call whose description or
// misuse report cannot be built still does its work, undescribed, and is
// counted too: an end always ends its tracer.
//
// Fork: the kit's prepare handler waits until no other thread is inside a
// forwarded call (a hook that waits, a flush, is not waited for) and holds
// new ones back. A lifecycle call of another thread is not waited for: the
// library refuses to use a child forked during one. The child starts with
// every kit lock free, and the records of the threads it did not inherit go
// to its next threads.
// The handlers are registered once per process, by the first initialize, and
// stay valid as the module stays mapped.
#ifndef VEXLIN_AGENT_KIT_H
#define VEXLIN_AGENT_KIT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

namespace vexlin_kit {

using Handle = std::uint64_t;  // 0 is no handle; tracers, infos and metrics share one space of slots

// A number the application may leave out (a setter never called).
template <typename T>
struct Opt {
    bool set = false;
    T value{};
};
// Storage for the texts of one record: the first bytes inside the record
// itself, more in blocks of their own. What was stored never moves, so a view
// into it stays valid as long as the record.
struct Arena {
    static constexpr std::size_t kInline = 192;
    Arena() {}  // leaves `bytes` uninitialised: a record costs no clearing
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    char bytes[kInline];
    char* region = nullptr;  // null: `bytes`
    std::size_t room = kInline, used = 0;
    std::vector<std::unique_ptr<char[]>> blocks;
    std::size_t text_limit = SIZE_MAX;  // bytes TextOf keeps of one text
};
// Room for `size` more bytes, to be claimed with Claim; never fails but by
// throwing std::bad_alloc.
char* Room(Arena& arena, std::size_t size);
inline void Claim(Arena& arena, std::size_t size) { arena.used += size; }
std::string_view Keep(Arena& arena, std::string_view text);

// A counted string decoded to UTF-8 (UTF-16 and ISO 8859-1 are converted,
// other encodings taken as they are, so `value` may hold invalid UTF-8),
// cut on a character boundary to the text limit of the arena it is in;
// `set` is false for a NULL string or NULL data. The bytes are in the arena
// of the record that holds it, in an info's shared block for the texts of an
// info, or in the call's arena for what a hook is handed.
struct Str {
    bool set = false;
    std::string_view value;
};
using Bytes = std::vector<unsigned char>;

enum class Kind : std::uint8_t {
    kOutgoingRemoteCall,
    kIncomingRemoteCall,
    kDatabaseRequest,
    kIncomingWebRequest,
    kOutgoingWebRequest,
    kCustomService,
    kOutgoingMessage,
    kIncomingMessageReceive,
    kIncomingMessageProcess,
    kInProcessLink,
    kSpan,
    kDatabaseInfo,
    kWebApplicationInfo,
    kMessagingSystemInfo,
    kIntegerCounter,
    kFloatCounter,
    kIntegerGauge,
    kFloatGauge,
    kIntegerStatistics,
    kFloatStatistics,
};
// "incoming_web_request", "database_info", "integer_counter", ...
const char* KindName(Kind kind);
bool IsTracer(Kind kind);

// An info's block: what the info tells, made once when the info is created
// and never changed after, shared by the info's handle and every tracer
// created with it (kit_core.h). A tracer reads the info through its pointer
// into the block (`database`, ...).
struct SharedInfo;
struct DatabaseInfo {
    Str name, vendor;
    std::int32_t channel_type = 0;
    Str channel_endpoint;
};
struct WebApplicationInfo {
    Str web_server_name, application_id, context_root;
};
struct MessagingSystemInfo {
    Str vendor_name, destination_name;
    std::int32_t destination_type = 0, channel_type = 0;
    Str channel_endpoint;
};

struct StrPair {
    Str name, value;
};

// A span attribute or custom request attribute, in the order given.
struct Attribute {
    enum Type : std::uint8_t { kInteger, kDouble, kFloat, kBool, kString } type = kInteger;
    Str key;
    std::int64_t integer = 0;  // kInteger, kBool (0 or 1)
    double real = 0;           // kDouble, kFloat (a float widened exactly)
    Str text;                  // kString
};

enum class TracerState : std::uint8_t { kCreated, kStarted, kEnded };

constexpr std::size_t kContextSize = 48;  // bytes of Tracer::context

// One tracer and everything the application told about it, in parts by the
// kinds that set them, the lists in a part of their own. Which members mean
// something depends on `kind`; unset ones stay empty. A record reused for a
// new object is reset only in the parts its last object's kind sets, and
// its lists keep their storage (kit_core.cpp), so a create does not rewrite
// every kind's members: hooks write nothing but `context` and `recorded`.
struct TracerBasics {
    Handle handle = 0;
    Kind kind = Kind::kCustomService;
    TracerState state = TracerState::kCreated;
    // False when the sink will send nothing of the tracer (it clears it in
    // tracer_started, or RecordLimits::tracers is false): the kit then keeps
    // only what names a parent (tags, link, ids) and reads no clock for it,
    // unless the sink describes calls.
    bool recorded = true;
    unsigned create_thread = 0, start_thread = 0, end_thread = 0;  // small thread numbers, from 1
    // The thread's current tracer at start, or the parent given to
    // vexlin_ex_tracer_start_2; 0 for none. It may have ended since.
    Handle parent = 0;
    std::int64_t start_us = 0, end_us = 0;  // microseconds since the epoch
    // The same times in nanoseconds, from the same clock read; a time the
    // application gave in microseconds saturates at INT64_MAX.
    std::int64_t start_ns = 0, end_ns = 0;
    Str error_class, error_message;
    Str incoming_string_tag;
    Str incoming_byte_tag;            // raw bytes
    std::uint64_t dropped_items = 0;  // headers and attributes not kept (RecordLimits)
    // The block of the info the tracer was created with, or of the info the
    // record is; null for none. The record holds one share of it, given up
    // when the record is reset or freed: an info deleted early stays whole
    // for its tracers, whichever thread ends or sends them.
    SharedInfo* info = nullptr;
    // The sink's own per-tracer data (the span context it made at start,
    // say), written by tracer_started; the kit only copies it.
    alignas(8) unsigned char context[kContextSize] = {};
};
// Remote calls; custom services use service_method and service_name.
struct RemoteCallMembers {
    Str service_method, service_name, service_endpoint;
    std::int32_t channel_type = 0;
    Str channel_endpoint, protocol_name;
};
// Database requests. `database` points into the info's block (`info`),
// null when the info was not found or the tracer keeps nothing; a database
// info's record points to its own.
struct DatabaseMembers {
    Handle database_info_handle = 0;
    const DatabaseInfo* database = nullptr;
    Str statement;
    Opt<std::int32_t> returned_row_count, round_trip_count;
};
// Web requests (incoming and outgoing); `web_application` as `database` above.
struct WebRequestMembers {
    Handle web_application_info_handle = 0;
    const WebApplicationInfo* web_application = nullptr;
    Str url, method, remote_address;
    Opt<std::int32_t> status_code;
};
// Messaging; `messaging_system` as `database` above.
struct MessagingMembers {
    Handle messaging_system_info_handle = 0;
    const MessagingSystemInfo* messaging_system = nullptr;
    Str vendor_message_id, correlation_id;
};
// Span tracers of the extension table.
struct SpanMembers {
    std::int32_t tracing_system_type = 0;
    Str trace_id, span_id, parent_span_id;  // 16, 8 and 8 bytes
    Str operation_name;
};
// In-process link tracers: the bytes received and the tracer the sink read
// from them (0 when unknown).
struct LinkMembers {
    Str link;
    Handle linked_tracer = 0;
};
// The lists, by the kinds that have them; a reused record keeps their storage.
struct ListMembers {
    std::vector<StrPair> request_headers, response_headers, parameters;  // web requests
    std::vector<Attribute> attributes;                                   // spans
    // Every tracer: custom request attributes while it was the thread's
    // current tracer.
    std::vector<Attribute> request_attributes;
};
struct Tracer : TracerBasics,
                RemoteCallMembers,
                DatabaseMembers,
                WebRequestMembers,
                MessagingMembers,
                SpanMembers,
                LinkMembers,
                ListMembers {
    // Where the texts above are, and an info's or metric's too.
    Arena arena;
};

struct Metric {
    Handle handle = 0;
    Kind kind = Kind::kIntegerCounter;
    Str key, unit, dimension_name;
    void* sink_metric = nullptr;  // the sink's, set by metric_created
};
struct MetricUpdate {
    bool is_float = false;
    std::int64_t integer = 0;
    double real = 0;
    Str dimension;
};

// ---- A call described, for sinks that print every call -------------------
// Members carry the call's arguments, most under the parameter names of the
// public headers and handles under short names (tracer, metric,
// database_info, ...), then what the kit worked out (kind, parent, times, ...).

struct Field;
struct Value {
    enum Type : std::uint8_t { kNull, kInt, kUInt, kDouble, kFloat, kBool, kString, kBytes, kArray, kObject };
    Type type = kNull;
    std::int64_t integer = 0;    // kInt, kBool
    std::uint64_t uinteger = 0;  // kUInt
    double real = 0;             // kDouble, kFloat
    std::string text;            // kString (UTF-8, maybe invalid), kBytes (raw bytes)
    std::vector<Value> items;    // kArray
    std::vector<Field> members;  // kObject, in order
};
struct Field {
    std::string key;
    Value value;
};

struct Misuse {
    std::string problem;     // invalid_handle, wrong_kind, started_twice, ... (agents/console/README.md)
    std::string message;     // readable, without the module's name
    std::string handle_key;  // empty when no handle is concerned
    Handle handle = 0;
    const char* kind = nullptr;  // KindName of the handle, when known
};

struct Call {
    const char* type = "call";  // "call" (a forwarded call) or "lifecycle" (entry points, library tables)
    const char* name = "";      // exported function without "vexlin_", or initialize/get_library/get_agent/shutdown
    std::int64_t time_us = 0;
    unsigned thread = 0;
    std::vector<Field> fields;
    std::vector<Misuse> misuses;  // found in this call, in order
};

// ---- The sink -------------------------------------------------------------
// Every hook may be null. `self` is what `start` made; it is null in the
// lifecycle calls that arrive while the module is not started.
struct Sink {
    const char* name;     // prefix of error and misuse texts, "console agent"
    const char* version;  // the agent version string the library reports

    // The first initialize; later ones only count. `arguments` are the module
    // arguments as given, the user variables among them as name=value (read
    // them with FindArgument). Fields added to `report` go into the
    // initialize call's description. On failure return false with `error`
    // set (the library logs it; begin it with the sink's name).
    bool (*start)(std::size_t count, const char* const* arguments, void** self, std::vector<Field>* report,
                  std::string* error);
    // The last shutdown, after the shutdown call was described; frees self.
    // `unfinished` are the tracers never ended (also reported as misuse).
    void (*stop)(void* self, const std::vector<const Tracer*>& unfinished);

    // Every call and lifecycle call with the misuse it caused. Texts appended
    // to `verbose` go to the application's verbose callback.
    void (*on_call)(void* self, const Call& call, std::vector<std::string>* verbose);

    void (*tracer_created)(void* self, const Tracer& tracer);
    // `parent_context` is the context of the tracer's parent when that one is
    // still started, else null. The sink fills tracer.context and may clear
    // tracer.recorded; the start time is set after it returns.
    void (*tracer_started)(void* self, Tracer& tracer, const unsigned char* parent_context);
    // Also for a tracer ended without a start (state kCreated). Return true to
    // keep the record (hand it to a thread of the sink's own, say) and give it
    // back with ReleaseTracer when done; false drops it.
    bool (*tracer_ended)(void* self, Tracer& tracer);

    // Answers. The kit checks the tracer's kind and does the buffer protocol;
    // return false to hand out nothing. `current` is the thread's current
    // tracer, or null.
    bool (*outgoing_string_tag)(void* self, const Tracer& tracer, std::string* tag);
    bool (*outgoing_byte_tag)(void* self, const Tracer& tracer, Bytes* tag);
    bool (*make_in_process_link)(void* self, const Tracer* current, Bytes* link);
    // True when the bytes are a link this sink made, with the tracer it names
    // (0 if none); false makes the kit report invalid_link.
    bool (*read_in_process_link)(void* self, const unsigned char* bytes, std::size_t size, Handle* linked);

    void (*metric_created)(void* self, Metric& metric);
    void (*metric_updated)(void* self, const Metric& metric, const MetricUpdate& update);
    void (*metric_deleted)(void* self, const Metric& metric);
    void (*process_technology)(void* self, std::int32_t type, const Str& edition, const Str& version);
    void (*force_send_data_now)(void* self);
    // In the child of a fork, before its first call; only the forking thread
    // exists there.
    void (*child_after_fork)(void* self);
    // Around a fork, when no call is inside the kit: the sink takes the
    // locks its own threads take, so that the child finds what they guard
    // whole; after the fork the parent lets go of them and the child (in
    // child_after_fork, which follows) too.
    void (*prepare_fork)(void* self);
    void (*parent_after_fork)(void* self);
};

// The value of user variable `name` (case-insensitive) among the module
// arguments, or null.
const char* FindArgument(std::size_t count, const char* const* arguments, const char* name);

// Hands `message` to the application's logging callback, if one is set: at
// once on a thread of the sink's own, after the call returns when a hook
// logs. What `start` logs (no callback can be set yet) goes to the first
// logging callback the application sets. Callable from any thread; a
// callback on the sink's own thread must not shut the library down (the
// shutdown would wait for that thread).
void Log(const std::string& message);

// Gives back a record that tracer_ended kept; from any thread, before the
// sink's stop returns. The record is reset for reuse on the calling thread,
// which spares the application's threads that work.
void ReleaseTracer(Tracer* tracer);

// Length of the valid UTF-8 sequence at `p` (1 to 4), or 0: overlong forms,
// surrogates and values above U+10FFFF are invalid.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left);
// Writes the bytes as lower-case hex digits, two a byte, from `out`; gives
// the end of what it wrote. For ids and bytes in every module (escapes in
// log texts format their own).
char* WriteHex(char* out, const unsigned char* bytes, std::size_t size);
// Appends the bytes as lower-case hex digits.
void AppendHex(std::string& out, const unsigned char* bytes, std::size_t size);
// Appends `text` as a quoted JSON string; whatever the bytes, the result is
// valid JSON (invalid UTF-8 becomes U+FFFD).
void AppendJsonString(std::string& out, std::string_view text);
// Appends `value` as a JSON number, the shortest text that reads back
// exactly in every locale (a float's shortest as a float); NaN and the
// infinities, which JSON has no number for, as "NaN", "Infinity" and
// "-Infinity".
void AppendJsonReal(std::string& out, double value);
void AppendJsonReal(std::string& out, float value);
// What a tracer's record keeps of what the application gives it, so that a
// record the sink queues costs bounded memory: at most `text_bytes` of each
// text (of its infos' too), and of each list (headers, parameters,
// attributes) at most `list_items` entries, the others never decoded (and,
// but for parameters, counted in dropped_items). No limit unless the sink's
// start sets one.
struct RecordLimits {
    std::size_t text_bytes = SIZE_MAX;
    std::size_t list_items = SIZE_MAX;
    bool tracers = true;  // false: the sink sends no tracer at all, each is made not recorded
};
void SetRecordLimits(const RecordLimits& limits);

// Decoding of the library's counted strings into `arena`, for sinks that
// read them.
Str TextOf(Arena& arena, const vexlin_string_t* s);

// ---- Entry points -----------------------------------------------------------

vexlin_result_t Initialize(const Sink& sink, vexlin_size_t count, const vexlin_xchar_t* const* arguments,
                           vexlin_xchar_t* message, vexlin_size_t message_length) noexcept;
vexlin_result_t GetLibrary(const Sink& sink, vexlin_uint32_t interface_id, vexlin_uint32_t level,
                           const void** table_out, vexlin_xchar_t* message, vexlin_size_t message_length) noexcept;
vexlin_result_t Shutdown(const Sink& sink) noexcept;

}  // namespace vexlin_kit

// The module's three exported entry points, bound to its sink.
#define VEXLIN_KIT_ENTRY_POINTS(sink)                                                                         \
    extern "C" __attribute__((visibility("default"))) vexlin_result_t sdkagent_abi_initialize(                \
        vexlin_size_t count, const vexlin_xchar_t* const* arguments, vexlin_xchar_t* message,                 \
        vexlin_size_t message_length) {                                                                       \
        return vexlin_kit::Initialize(sink, count, arguments, message, message_length);                       \
    }                                                                                                         \
    extern "C" __attribute__((visibility("default"))) vexlin_result_t sdkagent_abi_get_library(               \
        vexlin_uint32_t interface_id, vexlin_uint32_t level, const void** table_out, vexlin_xchar_t* message, \
        vexlin_size_t message_length) {                                                                       \
        return vexlin_kit::GetLibrary(sink, interface_id, level, table_out, message, message_length);         \
    }                                                                                                         \
    extern "C" __attribute__((visibility("default"))) vexlin_result_t sdkagent_abi_shutdown(void) {           \
        return vexlin_kit::Shutdown(sink);                                                                    \
    }

#endif  // VEXLIN_AGENT_KIT_H
