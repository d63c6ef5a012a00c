// The kit's process-wide part and its per-call scope: thread records, the
// handle slots, the state of one initialize-to-shutdown span, fork handling,
// and the three entry points with the library tables. A forwarded call takes
// no process-wide lock: it marks its thread busy, finds the state, and locks
// only the handle it works on.
#include "kit_core.h"

#include <dlfcn.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

namespace vexlin_kit {

const Sink* g_sink = nullptr;
vexlin_abi_agent_t g_agent = {0x56584341u};
std::atomic<vexlin_agent_logging_callback_t*> g_callbacks[3] = {};

// No static destructors in a module: exit() would run them while an atexit
// handler or another thread may still call in.
std::atomic<State*> g_state{nullptr};
__thread ThreadRecord* t_record = nullptr;
__thread CallScope* t_scope = nullptr;
std::atomic<bool> g_asymmetric{false};
std::atomic<bool> g_fork_gate{false};

namespace {

std::mutex g_lifecycle;  // initialize, the library tables, shutdown
static_assert(std::is_trivially_destructible<std::mutex>::value, "the kit's lock has no destructor");
std::atomic<ThreadRecord*> g_records{nullptr};
unsigned g_epoch = 0;  // of the last state made; under g_lifecycle
pthread_once_t g_process_once = PTHREAD_ONCE_INIT;
bool g_process_ready = false;  // pinned, fork handlers and thread key registered
pthread_key_t g_thread_key;    // gives a record back when its thread exits
// Kept records given back, reset, a list through `next`. The sink's thread
// writes it for every record: a cache line of its own, away from what every
// call reads.
struct alignas(64) ReturnedRecords {
    std::atomic<Object*> head{nullptr};
};
ReturnedRecords g_returned;

std::int64_t NowNanos() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string Prefixed(const std::string& text) { return std::string(g_sink->name) + ": " + text; }

std::string WithArticle(const char* word) {
    return std::string(std::strchr("aeiou", word[0]) != nullptr ? "an " : "a ") + word;
}

// "an incoming_web_request or outgoing_web_request tracer"; without a noun
// for a null one.
std::string KindList(KindSet set, const char* noun) {
    if (set == kAnyTracer) return std::string("a ") + noun;
    std::string out;
    for (unsigned k = 0; k <= static_cast<unsigned>(Kind::kFloatStatistics); ++k) {
        if ((set & (KindSet(1) << k)) == 0) continue;
        const char* name = KindName(static_cast<Kind>(k));
        out += out.empty() ? WithArticle(name) : std::string(" or ") + name;
    }
    return noun != nullptr ? out + " " + noun : out;
}

// The rare side of the calls' flags (Fence in kit_core.h).
void RegisterBarrier() {
    g_asymmetric.store(syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0,
                       std::memory_order_relaxed);
}

// After a store of the rare side: every thread's earlier stores are seen.
void Barrier() {
    if (!g_asymmetric.load(std::memory_order_relaxed) ||
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)
        std::atomic_thread_fence(std::memory_order_seq_cst);
}

void WaitWhile(const std::atomic<bool>& flag) {
    while (flag.load(std::memory_order_acquire)) sched_yield();
}

constexpr Handle HandleOf(std::uint32_t index, std::uint32_t generation) {
    return Handle(generation) << 32 | (Handle(index) + 1);
}

void GiveBackRecord(void* record) {
    static_cast<ThreadRecord*>(record)->claimed.store(false, std::memory_order_release);
    t_record = nullptr;
}

}  // namespace

void WaitForFork(ThreadRecord* r) {
    do {
        r->busy.store(false, std::memory_order_release);
        while (g_fork_gate.load(std::memory_order_acquire)) sched_yield();
        r->busy.store(true, std::memory_order_relaxed);
        Fence();
    } while (g_fork_gate.load(std::memory_order_relaxed));
}

// ---- Thread records ---------------------------------------------------------------

ThreadRecord* ClaimRecord() {
    ThreadRecord* r = g_records.load(std::memory_order_acquire);
    for (; r != nullptr; r = r->next) {
        bool free = false;
        if (!r->claimed.load(std::memory_order_relaxed) &&
            r->claimed.compare_exchange_strong(free, true, std::memory_order_acquire))
            break;
    }
    if (r == nullptr) {
        r = new (std::nothrow) ThreadRecord;
        if (r == nullptr) return nullptr;
        r->claimed.store(true, std::memory_order_relaxed);
        r->next = g_records.load(std::memory_order_relaxed);
        while (!g_records.compare_exchange_weak(r->next, r, std::memory_order_release, std::memory_order_relaxed)) {
        }
    }
    if (g_process_ready) pthread_setspecific(g_thread_key, r);
    t_record = r;
    return r;
}

void Adopt(ThreadRecord* r, State* st) {
    r->epoch = st->epoch;
    r->number = st->thread_count.fetch_add(1, std::memory_order_relaxed) + 1;
    r->stack.clear();
    r->free_slots.clear();
    r->fresh_next = r->fresh_end = 0;
    r->remote_free.store(0, std::memory_order_relaxed);
}

namespace {

void FreeList(Object* list) {
    while (list != nullptr) {
        Object* next = list->next;
        delete list;
        list = next;
    }
}

constexpr std::size_t kSharesAhead = 64;

void Forget(RecentInfo& recent) {
    if (recent.handle != 0) Drop(recent.block, recent.spare);
    recent = RecentInfo();
}

// Frees what a record keeps for the state; its thread is not inside a call.
void Clear(ThreadRecord* r) {
    for (RecentInfo& recent : r->recent_infos) Forget(recent);
    FreeList(r->returned);
    r->returned = nullptr;
    for (std::uint32_t i = 0; i < r->spare_count; ++i) delete r->spare[i];
    r->spare_count = 0;
    std::vector<Handle>().swap(r->stack);
    std::vector<std::uint32_t>().swap(r->free_slots);
    r->fresh_next = r->fresh_end = 0;
    r->remote_free.store(0, std::memory_order_relaxed);
    r->epoch = 0;
}

// ---- Slots --------------------------------------------------------------------------

// A slot index for a new object: the first chunk's slots are used in order
// (a small program's handles count 1, 2, 3, ...), then the thread reuses
// what it gave back, or what other threads gave back to it.
bool TakeIndex(State* st, ThreadRecord* r, std::uint32_t* index) {
    if (r->free_slots.empty()) {
        for (std::uint32_t i = r->remote_free.exchange(0, std::memory_order_acquire); i != 0;) {
            r->free_slots.push_back(i - 1);
            i = SlotAt(st, i - 1)->next_free.load(std::memory_order_relaxed);
        }
    }
    if (!r->free_slots.empty() && st->next_index.load(std::memory_order_relaxed) >= kSlotsPerChunk) {
        *index = r->free_slots.back();
        r->free_slots.pop_back();
        return true;
    }
    if (r->fresh_next == r->fresh_end) {
        // Fresh slots in runs of a thread's own, so that threads do not share
        // the cache lines of the slots they lock.
        const std::uint32_t base = st->next_index.fetch_add(kFreshRun, std::memory_order_relaxed);
        const std::uint32_t chunk = base / kSlotsPerChunk;
        if (chunk >= kMaxChunks) return false;
        if (st->chunks[chunk].load(std::memory_order_acquire) == nullptr) {
            Slot* fresh = new (std::nothrow) Slot[kSlotsPerChunk];
            if (fresh == nullptr) return false;
            Slot* none = nullptr;
            if (!st->chunks[chunk].compare_exchange_strong(none, fresh, std::memory_order_acq_rel)) delete[] fresh;
        }
        r->fresh_next = base;
        r->fresh_end = base + kFreshRun;
    }
    *index = r->fresh_next++;
    return true;
}

// Back to the free list of the thread record that took it.
void GiveBackIndex(ThreadRecord* self, Slot* slot, std::uint32_t index) {
    ThreadRecord* owner = slot->owner != nullptr ? slot->owner : self;
    if (owner == self) {
        self->free_slots.push_back(index);
        return;
    }
    std::uint32_t head = owner->remote_free.load(std::memory_order_relaxed);
    do {
        slot->next_free.store(head, std::memory_order_relaxed);
    } while (!owner->remote_free.compare_exchange_weak(head, index + 1, std::memory_order_release,
                                                       std::memory_order_relaxed));
}

// A new object to reset retired ones from, made by the first initialize and
// never freed. Copying its parts is cheaper than clearing them: compilers
// clear a few hundred bytes with a string instruction that is slow to start.
const Object* g_new_object = nullptr;

template <typename T>
void ResetToNew(T& part, const T& fresh) {
    static_assert(std::is_trivially_copyable<T>::value, "lists go to ListMembers, which keeps their storage");
    part = fresh;
}
template <typename Part>
void ResetToNew(Tracer& t) {
    ResetToNew<Part>(t, g_new_object->tracer);
}

void ResetLists(ListMembers& l) {
    static_assert(sizeof(ListMembers) == 5 * sizeof(std::vector<Attribute>), "every list is emptied");
    l.request_headers.clear();
    l.response_headers.clear();
    l.parameters.clear();
    l.attributes.clear();
    l.request_attributes.clear();
}

// Back to a new object's state, only in the parts that an object of its
// kind sets: the slots check the kind before they write, and hooks write
// only the basics. A record of every kind's members costs a create no more
// than its own kind's.
void Reset(Object* o) {
    Tracer& t = o->tracer;
    switch (o->kind) {
        case Kind::kOutgoingRemoteCall:
        case Kind::kIncomingRemoteCall:
        case Kind::kCustomService:
            ResetToNew<RemoteCallMembers>(t);
            break;
        case Kind::kDatabaseRequest:
        case Kind::kDatabaseInfo:
            ResetToNew<DatabaseMembers>(t);
            break;
        case Kind::kIncomingWebRequest:
        case Kind::kOutgoingWebRequest:
        case Kind::kWebApplicationInfo:
            ResetToNew<WebRequestMembers>(t);
            break;
        case Kind::kOutgoingMessage:
        case Kind::kIncomingMessageReceive:
        case Kind::kIncomingMessageProcess:
        case Kind::kMessagingSystemInfo:
            ResetToNew<MessagingMembers>(t);
            break;
        case Kind::kInProcessLink:
            ResetToNew<LinkMembers>(t);
            break;
        case Kind::kSpan:
            ResetToNew<SpanMembers>(t);
            break;
        default:  // metrics
            ResetToNew(o->metric, g_new_object->metric);
            break;
    }
    if (t.info != nullptr) Drop(t.info);
    ResetToNew<TracerBasics>(t);
    if (o->keeping) ResetLists(t);
    Reset(t.arena);
}

void Recycle(ThreadRecord* r, Object* o) {
    Reset(o);  // a record freed gives up its info's share too
    if (r != nullptr && r->spare_count < kSpareObjects) {
        r->spare[r->spare_count++] = o;
        return;
    }
    delete o;
}

std::uint32_t ChunksInUse(State* st) {
    const std::uint32_t n = st->next_index.load(std::memory_order_acquire);
    return std::min(kMaxChunks, (n + kSlotsPerChunk - 1) / kSlotsPerChunk);
}

// Live objects, in slot order.
std::vector<Object*> LiveObjects(State* st) {
    std::vector<Object*> live;
    for (std::uint32_t c = 0; c < ChunksInUse(st); ++c) {
        Slot* chunk = st->chunks[c].load(std::memory_order_acquire);
        for (std::uint32_t i = 0; chunk != nullptr && i < kSlotsPerChunk; ++i)
            if (chunk[i].live) live.push_back(chunk[i].object);
    }
    return live;
}

void FreeState(State* st) {
    for (std::uint32_t c = 0; c < kMaxChunks; ++c) {
        Slot* chunk = st->chunks[c].load(std::memory_order_relaxed);
        if (chunk == nullptr) continue;
        for (std::uint32_t i = 0; i < kSlotsPerChunk; ++i)
            if (chunk[i].live) Recycle(nullptr, chunk[i].object);
        delete[] chunk;
    }
    for (ThreadRecord* r = g_records.load(std::memory_order_acquire); r != nullptr; r = r->next) Clear(r);
    FreeList(g_returned.head.exchange(nullptr, std::memory_order_acquire));
    delete st;
}

// ---- Fork -----------------------------------------------------------------------------
// The prepare handler waits until no other thread is busy in a call (and
// holds new calls back), so the fork happens with no call inside the kit;
// the child forgets the other threads, whatever they were doing.

// The sink's self when the prepare handler found it started (fork runs the
// handlers of one fork at a time). The forking thread then counts as inside a
// call until the fork is done, so the last shutdown cannot free it meanwhile.
void* g_forking_self = nullptr;

void PrepareFork() {
    g_fork_gate.store(true, std::memory_order_seq_cst);
    Barrier();
    for (ThreadRecord* r = g_records.load(std::memory_order_acquire); r != nullptr; r = r->next)
        if (r != t_record) WaitWhile(r->busy);
    g_forking_self = nullptr;
    ThreadRecord* me = OwnRecord();
    if (me == nullptr) return;
    me->in_call.store(true, std::memory_order_relaxed);
    Fence();
    if (State* st = g_state.load(std::memory_order_acquire)) {
        g_forking_self = st->self;
        if (g_sink->prepare_fork != nullptr) g_sink->prepare_fork(st->self);
    }
}

void AfterForkInParent() {
    if (g_forking_self != nullptr && g_sink->parent_after_fork != nullptr) g_sink->parent_after_fork(g_forking_self);
    if (t_record != nullptr) t_record->in_call.store(false, std::memory_order_release);
    g_fork_gate.store(false, std::memory_order_release);
}

void AfterForkInChild() {
    RegisterBarrier();  // the child is a process of its own
    if (t_record != nullptr) t_record->in_call.store(false, std::memory_order_relaxed);
    g_fork_gate.store(false, std::memory_order_relaxed);
    // A lifecycle call of another thread is cut short: the library refuses to
    // use such a child, and the lock must not stay taken.
    new (&g_lifecycle) std::mutex;
    // The other threads are gone. None was busy in the kit at the fork (the
    // prepare handler saw to that), so their records are whole: they go to
    // the child's next threads, which start them afresh.
    for (ThreadRecord* r = g_records.load(std::memory_order_relaxed); r != nullptr; r = r->next) {
        if (r == t_record) continue;
        r->busy.store(false, std::memory_order_relaxed);
        r->in_call.store(false, std::memory_order_relaxed);
        r->claimed.store(false, std::memory_order_relaxed);
        r->epoch = 0;
    }
    if (g_forking_self != nullptr && g_sink->child_after_fork != nullptr) g_sink->child_after_fork(g_forking_self);
}

// Once per process, by the first initialize: the module stays mapped from
// now on, so fork handlers and thread-exit destructors stay valid.
void PrepareProcess() {
    Dl_info info;
    RegisterBarrier();
    g_new_object = new (std::nothrow) Object;
    if (g_new_object == nullptr || dladdr(reinterpret_cast<void*>(&PrepareProcess), &info) == 0 ||
        info.dli_fname == nullptr || dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) == nullptr ||
        pthread_key_create(&g_thread_key, &GiveBackRecord) != 0)
        return;
    pthread_atfork(PrepareFork, AfterForkInParent, AfterForkInChild);
    g_process_ready = true;
}

}  // namespace

// Reset here, on the sink's thread, so that the application's thread that
// reuses it has nothing left to do.
void ReleaseTracer(Tracer* tracer) {
    Object* o = reinterpret_cast<Object*>(tracer);
    Reset(o);
    Object* head = g_returned.head.load(std::memory_order_relaxed);
    do {
        o->next = head;
    } while (!g_returned.head.compare_exchange_weak(head, o, std::memory_order_release, std::memory_order_relaxed));
}

void SetRecordLimits(const RecordLimits& limits) {
    if (t_scope != nullptr && t_scope->state() != nullptr) t_scope->state()->limits = limits;
}

void Log(const std::string& message) {
    if (t_scope != nullptr) {
        t_scope->Defer(message);
    } else if (vexlin_agent_logging_callback_t* cb = g_callbacks[0].load(std::memory_order_acquire)) {
        cb(message.c_str());
    }
}

const char* KindName(Kind kind) {
    static const char* const kNames[] = {"outgoing_remote_call",
                                         "incoming_remote_call",
                                         "database_request",
                                         "incoming_web_request",
                                         "outgoing_web_request",
                                         "custom_service",
                                         "outgoing_message",
                                         "incoming_message_receive",
                                         "incoming_message_process",
                                         "in_process_link",
                                         "span",
                                         "database_info",
                                         "web_application_info",
                                         "messaging_system_info",
                                         "integer_counter",
                                         "float_counter",
                                         "integer_gauge",
                                         "float_gauge",
                                         "integer_statistics",
                                         "float_statistics"};
    return kNames[static_cast<unsigned>(kind)];
}

bool IsTracer(Kind kind) { return (Bit(kind) & kAnyTracer) != 0; }

const char* FindArgument(std::size_t count, const char* const* arguments, const char* name) {
    const std::size_t n = std::strlen(name);
    const char* found = nullptr;
    for (std::size_t i = 0; arguments != nullptr && i < count; ++i)
        if (arguments[i] != nullptr && strncasecmp(arguments[i], name, n) == 0 && arguments[i][n] == '=')
            found = arguments[i] + n + 1;  // the last one wins
    return found;
}

void CopyMessage(vexlin_xchar_t* buffer, vexlin_size_t length, const std::string& text) {
    if (buffer == nullptr || length == 0) return;
    std::size_t n = std::min<std::size_t>(text.size(), length - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// ---- CallScope -------------------------------------------------------------------

void CallScope::EnterLifecycle() {
    g_lifecycle.lock();
    st_ = g_state.load(std::memory_order_acquire);
}
void CallScope::LeaveLifecycle() { g_lifecycle.unlock(); }

void CallScope::Describe() { extra().call.time_us = now_us(); }

CallScope::Extra& CallScope::extra() {
    if (extra_ == nullptr) {
        extra_ = new (extra_space_) Extra;
        extra_->call.type = lifecycle_ ? "lifecycle" : "call";
        extra_->call.name = name_;
    }
    return *extra_;
}

std::int64_t CallScope::now_ns() {
    if (time_ns_ == 0) time_ns_ = NowNanos();
    return time_ns_;
}

void CallScope::Emit() {
    if (emitted_) return;
    emitted_ = true;
    if (describe_ && !description_lost_) {
        extra_->call.thread = thread_;
        g_sink->on_call(st_ != nullptr ? st_->self : nullptr, extra_->call, &extra_->verbose);
    }
}

void CallScope::Failed() {
    failed_ = true;
    if (st_ != nullptr) st_->failures.fetch_add(1, std::memory_order_relaxed);
}

// Hands the call's new object out, or frees it when the call failed.
void CallScope::Publish() {
    const std::uint32_t index = pending_index_ - 1;
    Slot* slot = SlotAt(st_, index);
    if (failed_ || pending_ == nullptr) {
        Abandon(index);
        return;
    }
    Lock(slot);
    slot->object = pending_;
    slot->kind = pending_->kind;
    slot->owner = record_;
    slot->live = true;
    Unlock(slot);
}

void CallScope::Abandon(std::uint32_t index) {
    if (pending_ != nullptr) Recycle(record_, pending_);
    try {
        GiveBackIndex(record_, SlotAt(st_, index), index);
    } catch (...) {  // the index is lost, nothing else
    }
}

void CallScope::LeaveSlowly() {
    // A call that describes itself has its extra part from the start.
    if (extra_ == nullptr) {
        Leave();
        return;
    }
    Finish();
    extra_->~Extra();
}

void CallScope::Finish() {
    try {
        Emit();
    } catch (...) {
        Failed();
    }
    // Built and read while the call still counts: a report that cannot be
    // built counts the call as failed, and the last shutdown clears the
    // callbacks and the failures.
    std::vector<std::string> reports;
    try {
        for (const vexlin_kit::Misuse& m : extra_->call.misuses) reports.push_back(Prefixed("misuse: " + m.message));
    } catch (...) {
        if (!failed_) LoseDescription();
    }
    vexlin_agent_logging_callback_t* callbacks[3];
    for (int i = 0; i < 3; ++i) callbacks[i] = g_callbacks[i].load(std::memory_order_acquire);
    Leave();
    // The application's callbacks may call the library again.
    try {
        for (const std::string& text : reports)
            for (int i = 0; i < 2; ++i)
                if (callbacks[i] != nullptr) callbacks[i](text.c_str());
        if (callbacks[2] != nullptr)
            for (const std::string& line : extra_->verbose) callbacks[2](line.c_str());
        if (callbacks[0] != nullptr)
            for (const std::string& message : extra_->deferred) callbacks[0](message.c_str());
    } catch (...) {  // a callback that throws does not reach the application's call
    }
}

void CallScope::Wait(void (*hook)(void*), void* self) {
    Release();
    LeaveBusy(record_);
    hook(self);
    EnterBusy(record_);
}

void CallScope::LoseDescription() noexcept {
    if (description_lost_) return;
    description_lost_ = true;
    if (st_ != nullptr) st_->failures.fetch_add(1, std::memory_order_relaxed);
}

void CallScope::AddValue(const char* key, const Arg& value) {
    try {
        extra_->call.fields.push_back(Field{key, ValueOf(value)});
    } catch (...) {
        LoseDescription();
    }
}

void CallScope::Misuse(const char* problem, const std::string& message, const char* handle_key, Handle handle,
                       const char* kind) {
    try {
        extra().call.misuses.push_back(
            vexlin_kit::Misuse{problem, message, handle_key != nullptr ? handle_key : "", handle, kind});
    } catch (...) {
        LoseDescription();
    }
}

void WaitForLock(Slot* slot) {
    unsigned spins = 0;
    do
        while (slot->lock.load(std::memory_order_relaxed))
            if (++spins > 64) sched_yield();
    while (slot->lock.exchange(true, std::memory_order_acquire));
}

void CallScope::Missed(Slot* slot, SlotView* view) {
    if (view != nullptr)
        *view = SlotView{true, slot->live, slot->generation.load(std::memory_order_relaxed), slot->kind};
    Unlock(slot);
}

Object* CallScope::Find(Handle handle, const char* key) {
    if (st_ == nullptr) return nullptr;
    SlotView view;
    Object* o = handle != 0 ? Hold(handle, &view) : nullptr;
    if (o == nullptr) NotFound(handle, key, view);
    return o;
}

void CallScope::NotFound(Handle handle, const char* key, const SlotView& view) {
    if (handle == 0) {
        Misuse("invalid_handle",
               std::string(name()) + ": " + key + " 0 is not a valid handle (did the create call fail?)", key, handle);
        return;
    }
    const std::string h = std::to_string(handle);
    const std::uint32_t generation = GenerationOf(handle);
    if (view.exists && !view.live && generation + 1 == view.generation) {
        const char* kind = KindName(view.kind);
        if (IsTracer(view.kind))
            Misuse("used_after_end", std::string(name()) + ": tracer " + h + " (" + kind + ") was already ended", key,
                   handle, kind);
        else
            Misuse("used_after_delete", std::string(name()) + ": handle " + h + " (" + kind + ") was already deleted",
                   key, handle, kind);
    } else if (view.exists && generation < view.generation) {
        Misuse("stale_handle", std::string(name()) + ": handle " + h + " was ended or deleted long ago", key, handle);
    } else {
        Misuse("invalid_handle", std::string(name()) + ": handle " + h + " was never handed out by the agent", key,
               handle);
    }
}

void CallScope::WrongKind(Handle handle, const char* key, Kind found, KindSet allowed, const char* noun) {
    const bool tracer = noun != nullptr && std::strcmp(noun, "tracer") == 0 && IsTracer(found);
    Misuse("wrong_kind",
           std::string(name()) + " needs " + KindList(allowed, noun) + ", but handle " + std::to_string(handle) +
               " is " + WithArticle(KindName(found)) + (tracer ? " tracer" : ""),
           key, handle, KindName(found));
    Release();
}

Tracer* CallScope::LookUpTracer(Handle handle, KindSet allowed, const char* key) {
    Add(key, HandleValue(handle));
    Object* o = Find(handle, key);
    if (o == nullptr) return nullptr;
    if (describe_ && std::strcmp(key, "tracer") == 0) Add("kind", Text(KindName(o->kind)));
    if ((Bit(o->kind) & allowed) != 0) return &o->tracer;
    WrongKind(handle, key, o->kind, allowed, "tracer");
    return nullptr;
}

Object* CallScope::FindInfo(Handle handle, Kind expected, const char* key) {
    Add(key, HandleValue(handle));
    Object* o = Find(handle, key);
    if (o == nullptr || o->kind == expected) return o;
    WrongKind(handle, key, o->kind, Bit(expected), nullptr);
    return nullptr;
}

RecentInfo* CallScope::Recent(Handle handle, Kind kind) {
    if (handle == 0 || record_ == nullptr || st_ == nullptr) return nullptr;
    for (RecentInfo& recent : record_->recent_infos) {
        if (recent.handle != handle || recent.kind != kind) continue;
        // Deleting the info moves its slot on to the next generation. Read
        // without the lock, it may be deleted meanwhile: the tracer is then
        // made before the delete, and the spare shares keep the block.
        if (SlotAt(st_, IndexOf(handle))->generation.load(std::memory_order_acquire) == GenerationOf(handle))
            return &recent;
        Forget(recent);
        return nullptr;
    }
    return nullptr;
}

void CallScope::Remember(Handle handle, Kind kind, SharedInfo* block, const void* info) {
    RecentInfo& recent = record_->recent_infos[record_->next_recent++ % std::size(record_->recent_infos)];
    Forget(recent);
    block->holders.fetch_add(kSharesAhead, std::memory_order_relaxed);
    recent = RecentInfo{handle, kind, block, info, kSharesAhead};
}

SharedInfo* TakeShare(RecentInfo& recent) {
    if (recent.spare == 1) {  // the last spare share keeps the block while more are taken
        recent.block->holders.fetch_add(kSharesAhead, std::memory_order_relaxed);
        recent.spare += kSharesAhead;
    }
    --recent.spare;
    return recent.block;
}

Metric* CallScope::FindMetric(Handle handle, KindSet allowed) {
    Add("metric", HandleValue(handle));
    Object* o = Find(handle, "metric");
    if (o == nullptr) return nullptr;
    Add("kind", Text(KindName(o->kind)));
    if ((Bit(o->kind) & allowed) != 0) return &o->metric;
    WrongKind(handle, "metric", o->kind, allowed, "metric");
    return nullptr;
}

bool CallScope::MissingArray(const void* array, std::size_t count, const char* what) {
    if (array != nullptr || count == 0) return false;
    Misuse("null_array", std::string(name()) + ": " + what + " is NULL but count is " + std::to_string(count));
    return true;
}

Object& CallScope::New(Kind kind) {
    std::uint32_t index = 0;
    if (!TakeIndex(st_, record_, &index)) throw std::bad_alloc();
    pending_ = nullptr;
    pending_index_ = index + 1;
    Object* o = nullptr;
    if (record_->spare_count != 0) {
        o = record_->spare[--record_->spare_count];
    } else {
        // Records the sink kept come back on its threads; the application's
        // threads take them all at once.
        if (record_->returned == nullptr)
            record_->returned = g_returned.head.exchange(nullptr, std::memory_order_acquire);
        o = record_->returned;
        if (o != nullptr)
            record_->returned = o->next;
        else
            o = new Object;
    }
    pending_ = o;
    const Handle handle = HandleOf(index, SlotAt(st_, index)->generation.load(std::memory_order_relaxed));
    o->kind = kind;
    o->tracer.handle = o->metric.handle = handle;
    o->tracer.kind = o->metric.kind = kind;
    o->tracer.create_thread = thread();
    if ((Bit(kind) & kAnyMetric) == 0) o->tracer.arena.text_limit = st_->limits.text_bytes;
    // Only a tracer's lists are ever added to (the slots check the kind).
    bool keeping = false;
    if ((Bit(kind) & kAnyTracer) != 0) {
        const bool recorded = st_->limits.tracers;
        o->tracer.recorded = recorded;
        keeping = recorded || describe_;
    }
    o->keeping = keeping;
    return *o;
}

void CallScope::Retire(bool kept) {
    Slot* slot = held_;
    Object* o = slot->object;
    const std::uint32_t index = held_index_;
    slot->live = false;
    slot->object = nullptr;
    // Written only under the slot's lock: no read-modify-write needed.
    slot->generation.store(slot->generation.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    Release();
    if (!kept) Recycle(record_, o);
    GiveBackIndex(record_, slot, index);
}

int CallScope::Peek(Handle handle, unsigned char* context) {
    Release();
    Slot* slot = handle == 0 || st_ == nullptr ? nullptr : SlotAt(st_, IndexOf(handle));
    if (slot == nullptr) return 0;
    Lock(slot);
    int answer = 0;
    if (slot->live && slot->generation.load(std::memory_order_relaxed) == GenerationOf(handle) &&
        IsTracer(slot->object->kind))
        answer = slot->object->tracer.state == TracerState::kStarted ? 2 : 1;
    if (answer == 2 && context != nullptr) std::memcpy(context, slot->object->tracer.context, kContextSize);
    Unlock(slot);
    return answer;
}

Handle CallScope::Current(unsigned char* context) {
    std::vector<Handle>& stack = record_->stack;
    while (!stack.empty() && Peek(stack.back(), context) != 2) stack.pop_back();
    return stack.empty() ? 0 : stack.back();
}

// ---- Lifecycle -----------------------------------------------------------------

namespace {

vexlin_result_t InitializeOnce(const Sink& sink, vexlin_size_t count, const vexlin_xchar_t* const* arguments,
                               vexlin_xchar_t* message, vexlin_size_t message_length) {
    CallScope scope(CallScope::kLifecycle, "initialize");
    Value list;
    list.type = Value::kArray;
    for (vexlin_size_t i = 0; i < count; ++i)
        list.items.push_back(ValueOf(arguments[i] == nullptr ? Null() : Text(arguments[i])));
    scope.Add("arguments", std::move(list));
    scope.Add("agent_version", Text(sink.version));

    std::string error;
    State* st = scope.state();
    if (!g_process_ready) {
        error = Prefixed("cannot keep the module loaded or create its thread key");
        scope.Add("result", Int(VEXLIN_ERROR_INVALID_ARGUMENT));
        scope.Add("error", Text(error));
        CopyMessage(message, message_length, error);
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    if (st == nullptr) {
        st = new State;
        st->epoch = ++g_epoch;
        scope.Bind(st);
    }
    std::vector<Field> report;
    if (st->starts == 0 && sink.start != nullptr && !sink.start(count, arguments, &st->self, &report, &error)) {
        scope.Add("result", Int(VEXLIN_ERROR_INVALID_ARGUMENT));
        scope.Add("error", Text(error));
        CopyMessage(message, message_length, error);
        scope.Emit();  // the description goes to the sink without a state
        FreeState(st);
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    if (st->starts++ == 0) {
        st->pid = ::getpid();
        st->start_messages = scope.TakeDeferred();
        g_state.store(st, std::memory_order_release);
    }
    for (Field& f : report) scope.Add(f.key.c_str(), std::move(f.value));
    scope.Add("starts", UInt(st->starts));
    scope.Add("result", Int(0));
    return VEXLIN_SUCCESS;
}

// Waits until no other thread is inside a call that may have found the
// state, waiting in a hook included.
void WaitForCalls() {
    Barrier();
    for (ThreadRecord* r = g_records.load(std::memory_order_acquire); r != nullptr; r = r->next)
        if (r != t_record) WaitWhile(r->in_call);
}

vexlin_result_t ShutdownOnce() {
    CallScope scope(CallScope::kLifecycle, "shutdown");
    State* st = scope.state();
    if (!scope.started()) {
        scope.Misuse("shutdown_without_start", "shutdown was called but the agent module was not started");
        scope.Add("result", Int(VEXLIN_ERROR_NOT_INITIALIZED));
        return VEXLIN_ERROR_NOT_INITIALIZED;
    }
    if (--st->starts > 0) {
        scope.Add("starts", UInt(st->starts));
        scope.Add("result", Int(0));
        return VEXLIN_SUCCESS;
    }
    g_state.store(nullptr, std::memory_order_seq_cst);
    WaitForCalls();
    std::vector<const Tracer*> unfinished;
    std::size_t undeleted = 0;
    for (const Object* o : LiveObjects(st)) {
        if (!IsTracer(o->kind)) {
            ++undeleted;
            continue;
        }
        const Tracer& t = o->tracer;
        unfinished.push_back(&t);
        scope.Misuse("unfinished_at_shutdown",
                     "tracer " + std::to_string(t.handle) + " (" + KindName(t.kind) + ") was " +
                         (t.state == TracerState::kStarted ? "started" : "created") + " but never ended",
                     "tracer", t.handle, KindName(t.kind));
    }
    scope.Add("starts", UInt(0));
    scope.Add("unfinished_tracers", UInt(unfinished.size()));
    scope.Add("undeleted_handles", UInt(undeleted));
    scope.Add("agent_references", UInt(st->agent_refs.load()));
    scope.Add("result", Int(0));
    scope.Emit();
    if (g_sink->stop != nullptr) g_sink->stop(st->self, unfinished);
    const std::uint64_t failures = st->failures.load();
    if (failures > 0)
        scope.Defer(Prefixed(std::to_string(failures) + (failures == 1 ? " call failed" : " calls failed") +
                             " (out of memory or an internal error) and " + (failures == 1 ? "was" : "were") +
                             " answered neutrally"));
    FreeState(st);
    return VEXLIN_SUCCESS;
}

}  // namespace

vexlin_result_t Initialize(const Sink& sink, vexlin_size_t count, const vexlin_xchar_t* const* arguments,
                           vexlin_xchar_t* message, vexlin_size_t message_length) noexcept {
    if (g_sink != &sink) g_sink = &sink;  // before any call can read it
    if (count > 0 && arguments == nullptr) {
        CopyMessage(message, message_length, Prefixed("argument list is NULL"));
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    pthread_once(&g_process_once, &PrepareProcess);
    try {
        return InitializeOnce(sink, count, arguments, message, message_length);
    } catch (...) {
        CopyMessage(message, message_length, std::string(sink.name) + ": out of memory");
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
}

vexlin_result_t Shutdown(const Sink& sink) noexcept {
    if (g_sink != &sink) g_sink = &sink;
    vexlin_result_t result;
    try {
        result = ShutdownOnce();
    } catch (...) {
        result = VEXLIN_ERROR_OUT_OF_MEMORY;
    }
    if (g_state.load(std::memory_order_acquire) == nullptr)
        for (auto& cb : g_callbacks) cb.store(nullptr, std::memory_order_release);
    return result;
}

namespace {

const vexlin_xchar_t* GetVersionString() { return g_sink->version; }

vexlin_result_t GetAgentOnce(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                             const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message,
                             vexlin_size_t message_length) {
    CallScope scope(CallScope::kLifecycle, "get_agent");
    vexlin_result_t result = VEXLIN_SUCCESS;
    std::string error;
    if (stub_version == nullptr || agent_out == nullptr || functions_out == nullptr) {
        result = VEXLIN_ERROR_INVALID_ARGUMENT;
        error = "get_agent needs the stub version and both out pointers";
    } else {
        char version[64];
        std::snprintf(version, sizeof version, "%" PRIu32 ".%" PRIu32 ".%" PRIu32 ".%" PRIu32,
                      stub_version->version_major, stub_version->version_minor, stub_version->version_patch,
                      stub_version->version_build);
        scope.Add("stub_version", Text(version));
        scope.Add("stub_build_timestamp",
                  Text(std::string(stub_version->build_timestamp,
                                   strnlen(stub_version->build_timestamp, sizeof stub_version->build_timestamp))));
        if (stub_version->version_major != 1) {
            result = VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
            error = std::string("stub version ") + version + " is not supported (major version 1 is)";
        } else if (!scope.started()) {
            result = VEXLIN_ERROR_NOT_INITIALIZED;
            error = "get_agent before the module was initialized";
        } else {
            *agent_out = &g_agent;
            *functions_out = &kAgentFunctions;
            scope.Add("references", UInt(scope.state()->agent_refs.fetch_add(1) + 1));
        }
    }
    if (!error.empty()) {
        scope.Add("error", Text(Prefixed(error)));
        CopyMessage(message, message_length, Prefixed(error));
    }
    scope.Add("result", Int(result));
    return result;
}

vexlin_result_t GetAgent5(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                          const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message,
                          vexlin_size_t message_length) noexcept {
    try {
        return GetAgentOnce(stub_version, agent_out, functions_out, message, message_length);
    } catch (...) {
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
}

const vexlin_abi_library_functions_5_t kLibraryTable = {&GetVersionString, &GetAgent5};
const vexlin_abi_library_functions_versiononly_t kVersionOnlyTable = {&GetVersionString};

struct Interface {
    vexlin_uint32_t id;
    vexlin_uint32_t max_level;
    const char* name;
    const void* table;
};

const Interface kInterfaces[] = {
    {VEXLIN_ABI_INTERFACE_LIBRARY_5, VEXLIN_ABI_LEVEL_LIBRARY_5, "library", &kLibraryTable},
    {VEXLIN_ABI_INTERFACE_VERSIONONLY, VEXLIN_ABI_LEVEL_VERSIONONLY, "version", &kVersionOnlyTable},
    {VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY, VEXLIN_ABI_LEVEL_VERSIONONLY, "version_legacy", &kVersionOnlyTable},
    {VEXLIN_ABI_INTERFACE_EX_METRICS, VEXLIN_ABI_LEVEL_EX, "metrics", &kMetricsTable},
    {VEXLIN_ABI_INTERFACE_EX_SPAN, VEXLIN_ABI_LEVEL_EX, "span", &kSpanTable},
    {VEXLIN_ABI_INTERFACE_EX_TECHTYPE, VEXLIN_ABI_LEVEL_EX, "techtype", &kTechtypeTable},
    {VEXLIN_ABI_INTERFACE_EX_TRACER_EXT, VEXLIN_ABI_LEVEL_EX, "tracer_ext", &kTracerExtTable},
    {VEXLIN_ABI_INTERFACE_EX_SERVERLESS, VEXLIN_ABI_LEVEL_EX, "serverless", &kServerlessTable},
};

}  // namespace

namespace {

vexlin_result_t GetLibraryOnce(vexlin_uint32_t interface_id, vexlin_uint32_t level, const void** table_out,
                               vexlin_xchar_t* message, vexlin_size_t message_length) {
    CallScope scope(CallScope::kLifecycle, "get_library");
    scope.Add("interface", UInt(interface_id));
    scope.Add("level", UInt(level));
    const Interface* found = nullptr;
    for (const Interface& i : kInterfaces)
        if (i.id == interface_id) found = &i;
    if (found != nullptr) scope.Add("name", Text(found->name));

    vexlin_result_t result = VEXLIN_SUCCESS;
    std::string error;
    if (!scope.started()) {
        result = VEXLIN_ERROR_NOT_INITIALIZED;
        error = "get_library before the module was initialized";
    } else if (table_out == nullptr) {
        result = VEXLIN_ERROR_INVALID_ARGUMENT;
        error = "get_library without an out pointer";
    } else if (found == nullptr) {
        result = VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
        error = "interface " + std::to_string(interface_id) + " is not supported";
    } else if (level > found->max_level) {
        result = VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
        error = "interface " + std::to_string(interface_id) + " is supported up to level " +
                std::to_string(found->max_level) + ", not " + std::to_string(level);
    } else {
        *table_out = found->table;
    }
    if (!error.empty()) {
        scope.Add("error", Text(Prefixed(error)));
        CopyMessage(message, message_length, Prefixed(error));
    }
    scope.Add("result", Int(result));
    return result;
}

}  // namespace

vexlin_result_t GetLibrary(const Sink& sink, vexlin_uint32_t interface_id, vexlin_uint32_t level,
                           const void** table_out, vexlin_xchar_t* message, vexlin_size_t message_length) noexcept {
    if (g_sink != &sink) g_sink = &sink;
    try {
        return GetLibraryOnce(interface_id, level, table_out, message, message_length);
    } catch (...) {
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
}

}  // namespace vexlin_kit
