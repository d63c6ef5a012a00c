// The kit's state and its per-call scope, shared by the entry points
// (kit_core.cpp) and the slots (kit_slots.cpp). Not for modules.
#ifndef VEXLIN_AGENT_KIT_CORE_H
#define VEXLIN_AGENT_KIT_CORE_H

#include <sys/types.h>

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

// A handle's object, by kind: a tracer; an info, kept in the tracer record's
// member for it (database, web_application, messaging_system); or a metric.
struct Object {
    Kind kind;
    Tracer tracer;
    Metric metric;
};

// Handles to their objects, and the kinds of ended and deleted handles still
// remembered. Handles are handed out in sequence, so an entry usually sits at
// its handle modulo the slot count, next to its neighbours; an entry whose
// slot is taken (by a handle kept much longer) goes to the overflow.
struct Registry {
    struct Entry {
        Handle handle = 0;         // 0: a free slot
        Object* object = nullptr;  // null once ended or deleted
        Kind kind = Kind::kSpan;
    };
    std::vector<Entry> slots;
    std::unordered_map<Handle, Entry> overflow;
};

// Lives on the heap from the first initialize to the last shutdown.
struct State {
    void* self = nullptr;  // the sink's
    unsigned starts = 0;
    pid_t pid = 0;
    Handle next_handle = 1;
    unsigned agent_refs = 0;
    Registry registry;
    std::vector<Handle> finished;  // a ring of the ended or deleted handles still remembered, oldest at finished_next
    std::size_t finished_next = 0;
    std::vector<void*> spare;                 // storage of retired objects, reused by the next ones
    std::vector<std::vector<Handle>> stacks;  // started tracers per thread number, innermost last
    vexlin_agent_logging_callback_t* callbacks[3] = {nullptr, nullptr, nullptr};  // logging, warning, verbose
};

// The registry's entry of `handle`, or null.
Registry::Entry* Lookup(Registry& r, Handle handle);
// Live objects, in handle order.
std::vector<Object*> LiveObjects(Registry& r);
// Frees the state with every object it still holds.
void FreeState(State* state);

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

// A value for a call's description, borrowed from the caller: nothing is
// copied unless the sink prints calls. Strings and bytes point into the
// caller's data, which must outlive the Add it is passed to.
struct Arg {
    Value::Type type = Value::kNull;
    std::int64_t integer = 0;    // kInt, kBool
    std::uint64_t uinteger = 0;  // kUInt
    double real = 0;             // kDouble, kFloat
    const char* data = nullptr;  // kString, kBytes
    std::size_t size = 0;        // of data; kUnknownSize for a terminated string
};
constexpr std::size_t kUnknownSize = ~std::size_t(0);

// One call: holds the lock from construction to destruction, builds the
// call's description when the sink prints calls (and only then), hands it to
// the sink in Emit, and runs the application's callbacks after the lock is
// released.
class Scope {
public:
    Scope(const char* type, const char* name);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    bool started() const { return g != nullptr && g->starts > 0; }
    // False for sinks without on_call: build no composite value then.
    bool describing() const { return describe_; }
    void Add(const char* key, const Arg& value) {
        if (describe_) AddValue(key, value);
    }
    void Add(const char* key, Value value) {
        if (describe_) call_.fields.push_back(Field{key, std::move(value)});
    }
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
    // The call's time; read from the clock on first use unless described.
    std::int64_t now_us();
    unsigned thread() const { return call_.thread; }

private:
    void AddValue(const char* key, const Arg& value);

    std::unique_lock<std::mutex> lock_;
    Call call_;
    bool describe_;
    bool emitted_ = false;
    std::vector<std::string> verbose_;
    vexlin_agent_logging_callback_t* callbacks_[3] = {nullptr, nullptr, nullptr};
};

// Builders of description values. The scalar ones only borrow (see Arg) and
// are inline, so an undescribed call pays for a few stores at most.
inline Arg Null() { return Arg(); }
inline Arg Int(std::int64_t v) {
    Arg a;
    a.type = Value::kInt;
    a.integer = v;
    return a;
}
inline Arg UInt(std::uint64_t v) {
    Arg a;
    a.type = Value::kUInt;
    a.uinteger = v;
    return a;
}
inline Arg HandleValue(Handle h) { return h == 0 ? Null() : UInt(h); }
inline Arg BoolValue(bool v) {
    Arg a = Int(v ? 1 : 0);
    a.type = Value::kBool;
    return a;
}
inline Arg Real(double v, bool is_float = false) {
    Arg a;
    a.type = is_float ? Value::kFloat : Value::kDouble;
    a.real = v;
    return a;
}
inline Arg Text(const char* s, std::size_t size = kUnknownSize) {
    Arg a;
    a.type = Value::kString;
    a.data = s;
    a.size = size;
    return a;
}
inline Arg Text(const std::string& s) { return Text(s.data(), s.size()); }
inline Arg StrValue(const Str& s) { return s.set ? Text(s.value) : Null(); }
inline Arg BytesValue(const unsigned char* bytes, std::size_t size) {
    if (bytes == nullptr) return Null();
    Arg a = Text(reinterpret_cast<const char*>(bytes), size);
    a.type = Value::kBytes;
    return a;
}
Value ValueOf(const Arg& a);
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
