// The kit's state and its per-call scope, shared by the entry points
// (kit_core.cpp) and the slots (kit_slots.cpp). Not for modules.
#ifndef VEXLIN_AGENT_KIT_CORE_H
#define VEXLIN_AGENT_KIT_CORE_H

#include <sys/types.h>

#include <deque>
#include <mutex>
#include <unordered_map>

#include "kit.h"

struct vexlin_abi_agent_t {
    std::uint32_t magic;
};

namespace vexlin_kit {

using KindSet = std::uint32_t;
constexpr KindSet Bit(Kind k) { return KindSet(1) << static_cast<unsigned>(k); }
constexpr KindSet kAnyTracer = Bit(Kind::kSpan) * 2 - 1;  // every kind up to and including spans
constexpr KindSet kAnyMetric = Bit(Kind::kIntegerCounter) | Bit(Kind::kFloatCounter) | Bit(Kind::kIntegerGauge) |
                               Bit(Kind::kFloatGauge) | Bit(Kind::kIntegerStatistics) | Bit(Kind::kFloatStatistics);

// A handle's object: a tracer, an info or a metric, by kind.
struct Object {
    Kind kind;
    Tracer tracer;
    Metric metric;
    DatabaseInfo database;
    WebApplicationInfo web_application;
    MessagingSystemInfo messaging_system;
};

// Lives on the heap from the first initialize to the last shutdown.
struct State {
    void* self = nullptr;  // the sink's
    unsigned starts = 0;
    pid_t pid = 0;
    Handle next_handle = 1;
    unsigned agent_refs = 0;
    std::unordered_map<Handle, Object> live;
    std::unordered_map<Handle, Kind> finished;  // ended or deleted, remembered up to a bound
    std::deque<Handle> finished_order;
    std::unordered_map<unsigned, std::vector<Handle>> stacks;  // started tracers per thread, innermost last
    vexlin_agent_logging_callback_t* callbacks[3] = {nullptr, nullptr, nullptr};  // logging, warning, verbose
};

extern State* g;  // null while not started

// Counts the slot calls running in the module. The library unloads the module
// right after the last shutdown, so that shutdown waits for them to leave.
struct InFlight {
    InFlight();
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};
extern const Sink* g_sink;

// One call: holds the lock from construction to destruction, builds the
// call's description (when the sink prints calls), hands it to the sink in
// Emit, and runs the application's callbacks after the lock is released.
class Scope {
public:
    Scope(const char* type, const char* name);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    bool started() const { return g != nullptr && g->starts > 0; }
    void Add(const char* key, Value value);
    void Misuse(const char* problem, const std::string& message, const char* handle_key = nullptr, Handle handle = 0,
                const char* kind = nullptr);
    void Emit();                      // the description goes to the sink; once
    void Drop() { emitted_ = true; }  // a call answered neutrally is not described

    // Lookups: describe the handle (and a tracer's or metric's kind); on
    // misuse report it and return null.
    Object* Find(Handle handle, const char* key);
    Tracer* FindTracer(Handle handle, KindSet allowed = kAnyTracer, const char* key = "tracer");
    Object* FindInfo(Handle handle, Kind expected, const char* key);
    Metric* FindMetric(Handle handle, KindSet allowed);
    bool MissingArray(const void* array, std::size_t count, const char* what);

    Object& New(Kind kind);
    void Retire(Handle handle, Kind kind);
    Handle Current() const;  // the thread's innermost started, not ended tracer

    const char* name() const { return call_.name; }
    std::int64_t now_us() const { return call_.time_us; }
    unsigned thread() const { return call_.thread; }

private:
    std::unique_lock<std::mutex> lock_;
    Call call_;
    bool describe_;
    bool emitted_ = false;
    std::vector<std::string> verbose_;
    vexlin_agent_logging_callback_t* callbacks_[3] = {nullptr, nullptr, nullptr};
};

// Value builders for descriptions.
Value Null();
Value Int(std::int64_t v);
Value UInt(std::uint64_t v);
Value HandleValue(Handle h);  // null for 0
Value BoolValue(bool v);
Value Real(double v, bool is_float = false);
Value StrValue(const Str& s);
Value Text(const std::string& s);
Value BytesValue(const unsigned char* bytes, std::size_t size);  // null for a NULL pointer
Value Pairs(const std::vector<StrPair>& pairs);
Value Attributes(const std::vector<Attribute>& attributes, std::size_t from = 0);

void CopyMessage(vexlin_xchar_t* buffer, vexlin_size_t length, const std::string& text);

extern const vexlin_abi_agent_functions_5_t kAgentFunctions;
extern const vexlin_abi_library_functions_ex_metrics_t kMetricsTable;
extern const vexlin_abi_library_functions_ex_span_t kSpanTable;
extern const vexlin_abi_library_functions_ex_techtype_t kTechtypeTable;
extern const vexlin_abi_library_functions_ex_tracer_ext_t kTracerExtTable;
extern const vexlin_abi_library_functions_ex_serverless_t kServerlessTable;
extern vexlin_abi_agent_t g_agent;

}  // namespace vexlin_kit

#endif  // VEXLIN_AGENT_KIT_CORE_H
