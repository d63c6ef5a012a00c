// The kit's state and its per-call scope, shared by the entry points
// (kit_core.cpp) and the slots (kit_slots.cpp). Not for modules.
#ifndef VEXLIN_AGENT_KIT_CORE_H
#define VEXLIN_AGENT_KIT_CORE_H

#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

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

// A handle's object, by kind: a tracer; an info, whose record holds its
// block (Tracer::info) and points into it from the member a tracer reads
// (database, web_application, messaging_system); or a metric.
// The tracer comes first: a kept record's storage is found from it. Retired
// objects are kept for reuse, reset to a new one's state.
struct Object {
    Tracer tracer;
    Metric metric;
    Kind kind;
    // Made keeping what it is told (a tracer recorded, or a call described):
    // without that no list of the record was ever added to.
    bool keeping = false;
    Object* next = nullptr;  // in a list of objects to reuse
};

// The head of an info's block (kit_slots.cpp has the rest). The block is
// only read once made, so its holders share it without a lock; each holds
// one count, a plain atomic, so that a forked child inherits the counts as
// they are and no fork can leave a lock taken.
struct SharedInfo {
    std::atomic<std::size_t> holders{1};
};
// Another share for a holder, from one that holds a share and keeps it
// meanwhile (the info's record, under its handle's lock): the block cannot
// go, and what it holds was published with the handle, so no order is
// needed here.
inline SharedInfo* Share(SharedInfo* info) {
    info->holders.fetch_add(1, std::memory_order_relaxed);
    return info;
}
// Gives up `shares`; the last holder frees the block, on whatever thread.
// Each holder's reads of the block happen before its count goes (release),
// and all of them before the free (acquire).
inline void Drop(SharedInfo* info, std::size_t shares = 1) {
    if (info->holders.fetch_sub(shares, std::memory_order_acq_rel) == shares) ::operator delete(info);
}

// An info a thread made tracers with lately, with shares of its block taken
// ahead, at least one while `handle` is set: a tracer made with it takes a
// share without locking the info's handle or writing to what other threads
// write (the handle's lock, the block's count).
struct RecentInfo {
    Handle handle = 0;
    Kind kind = Kind::kSpan;
    SharedInfo* block = nullptr;
    const void* info = nullptr;  // in the block
    std::size_t spare = 0;
};
// A share of a recent info's block for a tracer.
SharedInfo* TakeShare(RecentInfo& recent);

// Empties `arena` as new: its blocks are freed. An arena has blocks just
// when its region is one of them, and room for the inline bytes otherwise.
inline void Reset(Arena& arena) {
    if (arena.region != nullptr) {
        arena.blocks.clear();
        arena.region = nullptr;
        arena.room = Arena::kInline;
    }
    arena.used = 0;
    arena.text_limit = SIZE_MAX;
}
// TextOf, written to `*out` in place (see Put in kit_slots.cpp).
void TextInto(Arena& arena, const vexlin_string_t* s, Str* out);

struct ThreadRecord;

// One handle's place. A handle is the slot's index plus one in its low 32
// bits and the slot's generation in the high ones, so a stale or foreign
// handle is told apart in O(1) and an ended one keeps its kind until the slot
// is used again. `lock` guards everything but the atomics.
struct Slot {
    std::atomic<bool> lock{false};
    std::atomic<std::uint32_t> generation{0};  // of the live object or the last one
    std::atomic<std::uint32_t> next_free{0};   // index + 1, in a free list
    bool live = false;                         // handed out and not yet ended or deleted
    Kind kind = Kind::kSpan;                   // of the live object, or of the last one
    Object* object = nullptr;
    ThreadRecord* owner = nullptr;  // the thread record whose free list takes the slot back
};

// The lock of one slot: uncontended, one atomic exchange.
__attribute__((noinline)) void WaitForLock(Slot* slot);
__attribute__((always_inline)) inline void Lock(Slot* slot) {
    if (slot->lock.exchange(true, std::memory_order_acquire)) WaitForLock(slot);
}
inline void Unlock(Slot* slot) { slot->lock.store(false, std::memory_order_release); }

constexpr std::uint32_t kSlotsPerChunk = 1024;
constexpr std::uint32_t kMaxChunks = 16384;  // 16 million objects at once
constexpr std::uint32_t kFreshRun = 64;      // unused slots a thread takes at once; divides kSlotsPerChunk
constexpr std::uint32_t kSpareObjects = 64;  // retired objects kept per thread for reuse

// Each thread's part: whether it is inside a call (the last shutdown waits
// for that), its started tracers and what it reuses. Records are never freed
// (the module stays mapped), and a thread's record passes to a later thread
// when it exits, so their number follows the threads alive at once. Each on
// a cache line of its own: a call writes another thread's record only to
// give a slot back to it (remote_free).
struct alignas(64) ThreadRecord {
    std::atomic<bool> in_call{false};  // for the whole of each call: the last shutdown waits for it
    std::atomic<bool> busy{false};     // the same but while a hook waits: a fork waits for it
    std::atomic<bool> claimed{false};
    ThreadRecord* next = nullptr;  // every record, newest first
    // The rest belongs to the state of `epoch` and is reset for a new one.
    unsigned epoch = 0;
    unsigned number = 0;                          // small thread number, from 1
    std::vector<Handle> stack;                    // started tracers, innermost last; ended ones are skipped
    std::vector<std::uint32_t> free_slots;        // indices to reuse
    std::uint32_t fresh_next = 0, fresh_end = 0;  // unused slots taken for this thread
    std::atomic<std::uint32_t> remote_free{0};    // index + 1 of slots ended on other threads, through next_free
    Object* spare[kSpareObjects];                 // retired objects, reset: the first spare_count
    std::uint32_t spare_count = 0;
    Object* returned = nullptr;  // kept records given back, reset, a list through `next`
    // A deleted info's block stays until its entry is next looked up or
    // replaced, or the state ends.
    RecentInfo recent_infos[4];
    unsigned next_recent = 0;
};

// Lives on the heap from the first initialize to the last shutdown.
struct State {
    void* self = nullptr;  // the sink's
    unsigned starts = 0;   // under the lifecycle lock; forwarded calls see a state only while it is not 0
    unsigned epoch = 0;
    pid_t pid = 0;
    std::atomic<unsigned> agent_refs{0};
    std::atomic<unsigned> thread_count{0};
    std::atomic<std::uint32_t> next_index{0};  // slots never used yet start here
    std::atomic<Slot*> chunks[kMaxChunks] = {};
    std::atomic<unsigned long> failures{
        0};               // calls answered neutrally after an exception (a word: lock-free everywhere)
    RecordLimits limits;  // set by the sink's start
    // What the sink logged while it started, before the application could
    // set a logging callback: the first callback set gets it.
    std::vector<std::string> start_messages;
    std::atomic<bool> start_messages_taken{false};
};

// What every forwarded call reads (defined in kit_core.cpp).
extern std::atomic<State*> g_state;  // null while not started
// Membarrier registered for this process. Atomic because a fork's prepare
// handler reads it on another thread than the first initialize, which wrote
// it before registering the handler: ordered by the C library's own lock,
// which race detectors do not see.
extern std::atomic<bool> g_asymmetric;
extern std::atomic<bool> g_fork_gate;  // a fork is being prepared: calls wait
// Static TLS: a dynamic TLS block of an unloaded module is left dangling in
// the threads that used it, and LeakSanitizer crashes on it at exit. Plain
// __thread: no initializer to check for on every read.
extern __thread ThreadRecord* t_record __attribute__((tls_model("initial-exec")));
class CallScope;
extern __thread CallScope* t_scope __attribute__((tls_model("initial-exec")));

// The calling thread's record; a thread's first call claims one (null when
// out of memory).
ThreadRecord* ClaimRecord();
inline ThreadRecord* OwnRecord() { return t_record != nullptr ? t_record : ClaimRecord(); }
// A record's part of the state: reset when it meets a new state.
void Adopt(ThreadRecord* r, State* st);

// Each call marks its thread in_call and busy with plain stores; the rare
// side (the last shutdown, a fork) makes them visible with one process-wide
// barrier (membarrier) and then waits for the flags to clear. Without that
// system call, each call pays a full fence instead. This is the calling
// thread's side, after its flag stores.
inline void Fence() {
    if (g_asymmetric.load(std::memory_order_relaxed))
        std::atomic_signal_fence(std::memory_order_seq_cst);
    else
        std::atomic_thread_fence(std::memory_order_seq_cst);
}
// busy: not while a fork is prepared.
__attribute__((cold, noinline)) void WaitForFork(ThreadRecord* r);
__attribute__((always_inline)) inline void EnterBusy(ThreadRecord* r) {
    r->busy.store(true, std::memory_order_relaxed);
    Fence();
    if (g_fork_gate.load(std::memory_order_relaxed)) WaitForFork(r);
}
inline void LeaveBusy(ThreadRecord* r) { r->busy.store(false, std::memory_order_release); }
// The end of a forwarded call: not busy, then not in it.
inline void LeaveCall(ThreadRecord* r) {
    LeaveBusy(r);
    r->in_call.store(false, std::memory_order_release);
}

constexpr std::uint32_t IndexOf(Handle h) { return static_cast<std::uint32_t>(h) - 1; }
constexpr std::uint32_t GenerationOf(Handle h) { return static_cast<std::uint32_t>(h >> 32); }

extern const Sink* g_sink;
// The application's logging, warning and verbose callbacks.
extern std::atomic<vexlin_agent_logging_callback_t*> g_callbacks[3];

// The slot of a handle's index, or null when its chunk was never made (a
// slot never handed out in a chunk that was is simply not live).
inline Slot* SlotAt(State* st, std::uint32_t index) {
    if (index / kSlotsPerChunk >= kMaxChunks) return nullptr;
    Slot* chunk = st->chunks[index / kSlotsPerChunk].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : chunk + index % kSlotsPerChunk;
}
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

// One call. A forwarded call marks its thread busy and finds the state; a
// lifecycle call holds the lifecycle lock instead. The call builds its
// description only when the sink prints calls, holds at most one handle's
// lock at a time, and on leaving lets go of it, hands the description to the
// sink, and then runs the application's callbacks with no kit lock held.
// What only some calls need (the description, misuse, deferred messages,
// verbose lines, scratch texts) is built on first use, so an ordinary call
// of a sink that prints no calls costs a handful of stores.
class CallScope {
public:
    enum Entry : bool { kForwarded, kLifecycle };
    CallScope(Entry entry, const char* name);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    State* state() const { return st_; }
    bool started() const { return st_ != nullptr && (!lifecycle_ || st_->starts > 0); }
    // False for sinks without on_call: build no composite value then.
    bool describing() const { return describe_; }
    // By value: an undescribed call then builds no Arg in memory.
    void Add(const char* key, Arg value) {
        if (describe_) AddValue(key, value);
    }
    void Add(const char* key, Value value) {
        if (describe_) extra_->call.fields.push_back(Field{key, std::move(value)});
    }
    void Misuse(const char* problem, const std::string& message, const char* handle_key = nullptr, Handle handle = 0,
                const char* kind = nullptr);
    void Emit();                      // the description goes to the sink; once
    void Drop() { emitted_ = true; }  // a call refused after the last shutdown is not described
    void Failed();                    // an exception ended the call: neutral answer, counted
    // Describing the call ran out of memory: the call still does its work
    // (an end still ends), undescribed, and is counted as failed.
    void LoseDescription() noexcept;
    void Defer(const std::string& message) { extra().deferred.push_back(message); }
    std::vector<std::string> TakeDeferred() {
        return extra_ ? std::exchange(extra_->deferred, {}) : std::vector<std::string>();
    }
    // Runs a hook that may wait long (a flush) without this thread counting as
    // busy, so that a fork need not wait for it; the last shutdown still does.
    void Wait(void (*hook)(void*), void* self);

    // Lookups: describe the handle (and a tracer's or metric's kind); on
    // misuse report it and return null. A found object's lock is held until
    // the next lookup or the end of the call.
    Object* Find(Handle handle, const char* key);
    Tracer* FindTracer(Handle handle, KindSet allowed = kAnyTracer, const char* key = "tracer");
    Object* FindInfo(Handle handle, Kind expected, const char* key);
    // An info of `kind` this thread used lately and still live, or null:
    // then FindInfo, and Remember what it found (its lock held).
    RecentInfo* Recent(Handle handle, Kind kind);
    void Remember(Handle handle, Kind kind, SharedInfo* block, const void* info);
    Metric* FindMetric(Handle handle, KindSet allowed);
    bool MissingArray(const void* array, std::size_t count, const char* what);
    void Release() {  // lets go of the found object's lock
        if (held_ != nullptr) Unlock(held_);
        held_ = nullptr;
    }
    struct SlotView {  // what a lookup that found no live object saw
        bool exists = false, live = false;
        std::uint32_t generation = 0;
        Kind kind = Kind::kSpan;
    };
    // Finds and holds the live object of `handle` without describing it, or
    // tells what its slot holds.
    Object* Hold(Handle handle, SlotView* view = nullptr);

    // A new object: its handle is handed out (and other calls see it) once
    // the call returns; a call that fails frees it again.
    Object& New(Kind kind);
    // Ends or deletes the found object, whose lock is held; a kept record
    // is the sink's until ReleaseTracer.
    void Retire(bool kept = false);
    // The thread's innermost started, not ended tracer, or 0; with its
    // context copied to `context` when given.
    Handle Current(unsigned char* context = nullptr);
    // 0 when `handle` is no live tracer, 1 for a tracer not started yet, 2
    // for a started one, whose context is copied when `context` is given.
    // Holds nothing afterwards, so a parent is looked up before the call's
    // own tracer.
    int Peek(Handle handle, unsigned char* context);
    ThreadRecord& record() { return *record_; }
    // For what the call decodes but keeps in no record.
    Arena& scratch() { return extra().scratch; }
    // The state a lifecycle call made or found.
    void Bind(State* st);

    const char* name() const { return name_; }
    // The call's time, in nanoseconds since the epoch; read from the clock
    // on first use unless described.
    std::int64_t now_ns();
    std::int64_t now_us() { return now_ns() / 1000; }
    unsigned thread() const { return thread_; }

private:
    struct Extra {
        Call call;
        Arena scratch;
        std::vector<std::string> verbose, deferred;
    };
    Extra& extra();  // built on first use
    void EnterLifecycle();
    void LeaveLifecycle();
    void Describe();  // the description's start
    void Publish();
    __attribute__((cold, noinline)) void Abandon(std::uint32_t index);
    void Leave();                                  // lets go of the call's thread mark or the lifecycle lock
    __attribute__((noinline)) void LeaveSlowly();  // Leave, or Finish, and the extra part goes
    // The description, then the reports to the application's callbacks.
    __attribute__((noinline)) void Finish();
    void AddValue(const char* key, const Arg& value);
    // Hold's end for a slot without the live object: what it holds, unlocked.
    __attribute__((cold, noinline)) void Missed(Slot* slot, SlotView* view);
    // FindTracer, for a handle that is not a live tracer of the kinds
    // allowed or a call that describes itself.
    __attribute__((noinline)) Tracer* LookUpTracer(Handle handle, KindSet allowed, const char* key);
    // The misuse reports of the lookups, kept out of their way.
    __attribute__((cold, noinline)) void NotFound(Handle handle, const char* key, const SlotView& view);
    // `noun`: "tracer" or "metric" after the kinds `allowed`, or null (an info).
    __attribute__((cold, noinline)) void WrongKind(Handle handle, const char* key, Kind found, KindSet allowed,
                                                   const char* noun);

    // Every call writes these; members without an initializer are set when
    // they come to matter, so an ordinary call stores no more than it needs.
    ThreadRecord* record_;  // null only when the thread's record could not be made
    State* st_ = nullptr;
    Slot* held_ = nullptr;
    std::uint32_t held_index_;  // of held_, set with it: a kept record may be gone once the hook returns
    std::uint32_t pending_index_ = 0;
    Object* pending_;  // made by this call, not yet handed out; set before pending_index_
    const char* name_;
    std::int64_t time_ns_ = 0;
    unsigned thread_ = 0;
    // Together, so that one store clears them.
    bool lifecycle_;
    bool emitted_ = false;
    bool failed_ = false;
    bool description_lost_ = false;
    bool describe_;
    Extra* extra_ = nullptr;  // in extra_space_ once made; from the start when describing
    alignas(Extra) unsigned char extra_space_[sizeof(Extra)];
};

// Inline: every forwarded call enters and leaves a scope, and most find one
// tracer.
inline void CallScope::Bind(State* st) {
    st_ = st;
    if (record_ == nullptr) return;
    if (record_->epoch != st->epoch) Adopt(record_, st);
    thread_ = record_->number;
}

// Works on locals: the stores to the thread's flags would make the
// compiler read members back.
__attribute__((always_inline)) inline CallScope::CallScope(Entry entry, const char* name) : name_(name) {
    ThreadRecord* r = OwnRecord();
    record_ = r;
    lifecycle_ = entry == kLifecycle;
    describe_ = g_sink->on_call != nullptr;
    if (lifecycle_) {
        EnterLifecycle();
        if (st_ != nullptr && r != nullptr) Bind(st_);
    } else if (r != nullptr) {
        // The last shutdown clears the state, then waits for every thread
        // in a call: either it waits for this one, or this one sees no state.
        r->in_call.store(true, std::memory_order_relaxed);
        EnterBusy(r);
        State* st = g_state.load(std::memory_order_acquire);
        st_ = st;
        if (st != nullptr) {
            if (r->epoch != st->epoch) Adopt(r, st);
            thread_ = r->number;
        }
    }
    t_scope = this;
    if (describe_) Describe();
}

__attribute__((always_inline)) inline void CallScope::Leave() {
    t_scope = nullptr;
    if (lifecycle_) {
        LeaveLifecycle();
    } else if (record_ != nullptr) {
        LeaveCall(record_);
    }
}

__attribute__((always_inline)) inline CallScope::~CallScope() {
    if (held_ != nullptr) Unlock(held_);
    if (pending_index_ != 0) Publish();
    // Leaving takes more than clearing the thread's marks for a lifecycle
    // call, a thread without a record, or a call with its extra part.
    if (lifecycle_ || record_ == nullptr || extra_ != nullptr) {
        LeaveSlowly();
    } else {
        ThreadRecord* r = record_;  // read once: the flag stores would make it read again
        t_scope = nullptr;
        LeaveCall(r);
    }
}

__attribute__((always_inline)) inline Object* CallScope::Hold(Handle handle, SlotView* view) {
    Release();
    Slot* slot = handle == 0 || st_ == nullptr ? nullptr : SlotAt(st_, IndexOf(handle));
    if (slot == nullptr) return nullptr;
    Lock(slot);
    if (slot->live && slot->generation.load(std::memory_order_relaxed) == GenerationOf(handle)) {
        held_ = slot;
        held_index_ = IndexOf(handle);
        return slot->object;
    }
    Missed(slot, view);
    return nullptr;
}

// Without a description to build, a live tracer of the right kind is all a
// lookup has to find.
__attribute__((always_inline)) inline Tracer* CallScope::FindTracer(Handle handle, KindSet allowed, const char* key) {
    if (!describe_) {
        Object* o = Hold(handle);
        if (o != nullptr && (Bit(o->kind) & allowed) != 0) return &o->tracer;
    }
    return LookUpTracer(handle, allowed, key);
}

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
inline Arg Text(std::string_view s) { return Text(s.data(), s.size()); }
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
