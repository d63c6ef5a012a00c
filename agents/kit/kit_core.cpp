// The kit's state, its per-call scope and the handle registry, and the three
// entry points with the library tables. Handles come from one counter for
// every kind; ended and deleted ones are remembered (up to a bound) to tell
// "used after end" from "never valid".
#include "kit_core.h"

#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

namespace vexlin_kit {

State* g = nullptr;
const Sink* g_sink = nullptr;
vexlin_abi_agent_t g_agent = {0x56584341u};

namespace {

// No static destructors in a module: exit() would run them while an atexit
// handler or another thread may still call in.
std::mutex g_mutex;
static_assert(std::is_trivially_destructible<std::mutex>::value, "the kit's lock has no destructor");
bool g_atfork_registered = false;
std::atomic<unsigned> g_thread_count{0};
std::atomic<unsigned> g_in_flight{0};
// Static TLS: a dynamic TLS block of an unloaded module is left dangling in
// the threads that used it, and LeakSanitizer crashes on it at exit.
thread_local unsigned t_thread __attribute__((tls_model("initial-exec"))) = 0;

constexpr std::size_t kRememberedFinished = 100000;
constexpr std::size_t kFirstSlots = 1024;  // a power of two, as every later count
constexpr std::size_t kSpareObjects = 64;  // storage kept for reuse; more tracers at once allocate

unsigned ThreadIndex() {
    if (t_thread == 0) t_thread = ++g_thread_count;
    return t_thread;
}

std::int64_t NowMicros() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string Prefixed(const std::string& text) { return std::string(g_sink->name) + ": " + text; }

std::string WithArticle(const char* word) {
    return std::string(std::strchr("aeiou", word[0]) != nullptr ? "an " : "a ") + word;
}

std::string KindList(KindSet set, const char* noun) {
    if (set == kAnyTracer) return std::string("a ") + noun;
    std::string out;
    for (unsigned k = 0; k <= static_cast<unsigned>(Kind::kFloatStatistics); ++k) {
        if ((set & (KindSet(1) << k)) == 0) continue;
        const char* name = KindName(static_cast<Kind>(k));
        out += out.empty() ? WithArticle(name) : std::string(" or ") + name;
    }
    return out + " " + noun;
}

void PrepareFork() { g_mutex.lock(); }
void AfterForkInParent() { g_mutex.unlock(); }
void AfterForkInChild() {
    if (g != nullptr && g_sink->child_after_fork != nullptr) g_sink->child_after_fork(g->self);
    g_mutex.unlock();
}

}  // namespace

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

InFlight::InFlight() { g_in_flight.fetch_add(1, std::memory_order_acquire); }
InFlight::~InFlight() { g_in_flight.fetch_sub(1, std::memory_order_release); }

// ---- Registry -----------------------------------------------------------------

namespace {

Registry::Entry& Slot(Registry& r, Handle handle) { return r.slots[handle & (r.slots.size() - 1)]; }

// Doubles the slots when a fair share of entries had to overflow.
void Grow(Registry& r) {
    std::vector<Registry::Entry> entries;
    for (const Registry::Entry& e : r.slots)
        if (e.handle != 0) entries.push_back(e);
    for (const auto& e : r.overflow) entries.push_back(e.second);
    r.slots.assign(r.slots.empty() ? kFirstSlots : r.slots.size() * 2, Registry::Entry());
    r.overflow.clear();
    for (const Registry::Entry& e : entries) {
        Registry::Entry& slot = Slot(r, e.handle);
        if (slot.handle == 0)
            slot = e;
        else
            r.overflow[e.handle] = e;
    }
}

void Insert(Registry& r, Handle handle, Object* object) {
    if (r.slots.empty() || r.overflow.size() * 8 > r.slots.size()) Grow(r);
    Registry::Entry& slot = Slot(r, handle);
    Registry::Entry& entry = slot.handle == 0 ? slot : r.overflow[handle];
    entry.handle = handle;
    entry.object = object;
    entry.kind = object->kind;
}

void Erase(Registry& r, Handle handle) {
    Registry::Entry& slot = Slot(r, handle);
    if (slot.handle == handle)
        slot = Registry::Entry();
    else
        r.overflow.erase(handle);
}

}  // namespace

Registry::Entry* Lookup(Registry& r, Handle handle) {
    if (r.slots.empty() || handle == 0) return nullptr;
    Registry::Entry& slot = Slot(r, handle);
    if (slot.handle == handle) return &slot;
    if (r.overflow.empty()) return nullptr;
    auto it = r.overflow.find(handle);
    return it == r.overflow.end() ? nullptr : &it->second;
}

std::vector<Object*> LiveObjects(Registry& r) {
    std::vector<Object*> live;
    for (const Registry::Entry& e : r.slots)
        if (e.object != nullptr) live.push_back(e.object);
    for (const auto& e : r.overflow)
        if (e.second.object != nullptr) live.push_back(e.second.object);
    std::sort(live.begin(), live.end(),
              [](const Object* a, const Object* b) { return a->tracer.handle < b->tracer.handle; });
    return live;
}

void FreeState(State* state) {
    for (Object* o : LiveObjects(state->registry)) delete o;
    for (void* memory : state->spare) ::operator delete(memory);
    delete state;
}

// ---- Scope -------------------------------------------------------------------

Scope::Scope(const char* type, const char* name) : lock_(g_mutex) {
    call_.type = type;
    call_.name = name;
    call_.thread = ThreadIndex();
    describe_ = g_sink->on_call != nullptr;
    if (describe_) call_.time_us = NowMicros();
}

std::int64_t Scope::now_us() {
    if (call_.time_us == 0) call_.time_us = NowMicros();
    return call_.time_us;
}

void Scope::Emit() {
    if (emitted_) return;
    emitted_ = true;
    if (describe_) g_sink->on_call(g != nullptr ? g->self : nullptr, call_, &verbose_);
    if (g != nullptr) std::copy(g->callbacks, g->callbacks + 3, callbacks_);
}

Scope::~Scope() {
    Emit();
    lock_.unlock();
    // The application's callbacks may call the library again.
    for (const vexlin_kit::Misuse& m : call_.misuses) {
        std::string text = Prefixed("misuse: " + m.message);
        for (int i = 0; i < 2; ++i)
            if (callbacks_[i] != nullptr) callbacks_[i](text.c_str());
    }
    if (callbacks_[2] != nullptr)
        for (const std::string& line : verbose_) callbacks_[2](line.c_str());
}

void Scope::AddValue(const char* key, const Arg& value) { call_.fields.push_back(Field{key, ValueOf(value)}); }

void Scope::Misuse(const char* problem, const std::string& message, const char* handle_key, Handle handle,
                   const char* kind) {
    call_.misuses.push_back(
        vexlin_kit::Misuse{problem, message, handle_key != nullptr ? handle_key : "", handle, kind});
}

Object* Scope::Find(Handle handle, const char* key) {
    if (g == nullptr) return nullptr;
    if (handle == 0) {
        Misuse("invalid_handle",
               std::string(name()) + ": " + key + " 0 is not a valid handle (did the create call fail?)", key, handle);
        return nullptr;
    }
    const Registry::Entry* entry = Lookup(g->registry, handle);
    if (entry != nullptr && entry->object != nullptr) return entry->object;
    const std::string h = std::to_string(handle);
    if (entry != nullptr) {
        const char* kind = KindName(entry->kind);
        if (IsTracer(entry->kind))
            Misuse("used_after_end", std::string(name()) + ": tracer " + h + " (" + kind + ") was already ended", key,
                   handle, kind);
        else
            Misuse("used_after_delete", std::string(name()) + ": handle " + h + " (" + kind + ") was already deleted",
                   key, handle, kind);
    } else if (handle < g->next_handle) {
        Misuse("stale_handle", std::string(name()) + ": handle " + h + " was ended or deleted long ago", key, handle);
    } else {
        Misuse("invalid_handle", std::string(name()) + ": handle " + h + " was never handed out by the agent", key,
               handle);
    }
    return nullptr;
}

Tracer* Scope::FindTracer(Handle handle, KindSet allowed, const char* key) {
    Add(key, HandleValue(handle));
    Object* o = Find(handle, key);
    if (o == nullptr) return nullptr;
    if (describe_ && std::strcmp(key, "tracer") == 0) Add("kind", Text(KindName(o->kind)));
    if ((Bit(o->kind) & allowed) == 0) {
        Misuse("wrong_kind",
               std::string(name()) + " needs " + KindList(allowed, "tracer") + ", but handle " +
                   std::to_string(handle) + " is " + WithArticle(KindName(o->kind)) +
                   (IsTracer(o->kind) ? " tracer" : ""),
               key, handle, KindName(o->kind));
        return nullptr;
    }
    return &o->tracer;
}

Object* Scope::FindInfo(Handle handle, Kind expected, const char* key) {
    Add(key, HandleValue(handle));
    Object* o = Find(handle, key);
    if (o == nullptr || o->kind == expected) return o;
    Misuse("wrong_kind",
           std::string(name()) + " needs " + WithArticle(KindName(expected)) + ", but handle " +
               std::to_string(handle) + " is " + WithArticle(KindName(o->kind)),
           key, handle, KindName(o->kind));
    return nullptr;
}

Metric* Scope::FindMetric(Handle handle, KindSet allowed) {
    Add("metric", HandleValue(handle));
    Object* o = Find(handle, "metric");
    if (o == nullptr) return nullptr;
    Add("kind", Text(KindName(o->kind)));
    if ((Bit(o->kind) & allowed) == 0) {
        Misuse("wrong_kind",
               std::string(name()) + " needs " + KindList(allowed, "metric") + ", but handle " +
                   std::to_string(handle) + " is " + WithArticle(KindName(o->kind)),
               "metric", handle, KindName(o->kind));
        return nullptr;
    }
    return &o->metric;
}

bool Scope::MissingArray(const void* array, std::size_t count, const char* what) {
    if (array != nullptr || count == 0) return false;
    Misuse("null_array", std::string(name()) + ": " + what + " is NULL but count is " + std::to_string(count));
    return true;
}

Object& Scope::New(Kind kind) {
    Handle handle = g->next_handle++;
    void* memory = nullptr;
    if (!g->spare.empty()) {
        memory = g->spare.back();
        g->spare.pop_back();
    } else {
        memory = ::operator new(sizeof(Object));
    }
    Object* o = new (memory) Object;
    o->kind = kind;
    o->tracer.handle = o->metric.handle = handle;
    o->tracer.kind = o->metric.kind = kind;
    o->tracer.create_thread = thread();
    Insert(g->registry, handle, o);
    return *o;
}

void Scope::Retire(Handle handle, Kind kind) {
    Registry::Entry* entry = Lookup(g->registry, handle);
    Object* o = entry->object;
    entry->object = nullptr;
    entry->kind = kind;
    o->~Object();
    if (g->spare.size() < kSpareObjects)
        g->spare.push_back(o);
    else
        ::operator delete(o);
    if (g->finished.size() < kRememberedFinished) {
        g->finished.push_back(handle);
        return;
    }
    Handle& oldest = g->finished[g->finished_next];
    Erase(g->registry, oldest);
    oldest = handle;
    g->finished_next = (g->finished_next + 1) % kRememberedFinished;
}

Handle Scope::Current() const {
    const unsigned t = thread();
    return t < g->stacks.size() && !g->stacks[t].empty() ? g->stacks[t].back() : 0;
}

// ---- Lifecycle -----------------------------------------------------------------

vexlin_result_t Initialize(const Sink& sink, vexlin_size_t count, const vexlin_xchar_t* const* arguments,
                           vexlin_xchar_t* message, vexlin_size_t message_length) {
    g_sink = &sink;
    if (count > 0 && arguments == nullptr) {
        CopyMessage(message, message_length, Prefixed("argument list is NULL"));
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    Scope scope("lifecycle", "initialize");
    if (!g_atfork_registered) {
        // A child must not inherit the lock held by another thread.
        pthread_atfork(PrepareFork, AfterForkInParent, AfterForkInChild);
        g_atfork_registered = true;
    }
    Value list;
    list.type = Value::kArray;
    for (vexlin_size_t i = 0; i < count; ++i)
        list.items.push_back(ValueOf(arguments[i] == nullptr ? Null() : Text(arguments[i])));
    scope.Add("arguments", std::move(list));
    scope.Add("agent_version", Text(sink.version));

    if (g == nullptr) g = new State;
    std::string error;
    std::vector<Field> report;
    if (g->starts == 0 && sink.start != nullptr && !sink.start(count, arguments, &g->self, &report, &error)) {
        scope.Add("result", Int(VEXLIN_ERROR_INVALID_ARGUMENT));
        scope.Add("error", Text(error));
        CopyMessage(message, message_length, error);
        FreeState(g);  // the description goes to the sink without a state
        g = nullptr;
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    if (g->starts++ == 0) g->pid = ::getpid();
    for (Field& f : report) scope.Add(f.key.c_str(), std::move(f.value));
    scope.Add("starts", UInt(g->starts));
    scope.Add("result", Int(0));
    return VEXLIN_SUCCESS;
}

namespace {

vexlin_result_t ShutdownOnce(const Sink& sink) {
    g_sink = &sink;
    Scope scope("lifecycle", "shutdown");
    if (!scope.started()) {
        scope.Misuse("shutdown_without_start", "shutdown was called but the agent module was not started");
        scope.Add("result", Int(VEXLIN_ERROR_NOT_INITIALIZED));
        return VEXLIN_ERROR_NOT_INITIALIZED;
    }
    if (--g->starts > 0) {
        scope.Add("starts", UInt(g->starts));
        scope.Add("result", Int(0));
        return VEXLIN_SUCCESS;
    }
    std::vector<const Tracer*> unfinished;
    std::size_t undeleted = 0;
    for (const Object* o : LiveObjects(g->registry)) {
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
    scope.Add("agent_references", UInt(g->agent_refs));
    scope.Add("result", Int(0));
    scope.Emit();
    if (sink.stop != nullptr) sink.stop(g->self, unfinished);
    FreeState(g);
    g = nullptr;
    return VEXLIN_SUCCESS;
}

}  // namespace

vexlin_result_t Shutdown(const Sink& sink) {
    vexlin_result_t result = ShutdownOnce(sink);
    // Calls that waited for the lock now answer neutrally; let them leave the
    // module's code before the library unmaps it.
    bool stopped;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        stopped = g == nullptr;
    }
    while (stopped && g_in_flight.load(std::memory_order_acquire) != 0) sched_yield();
    return result;
}

namespace {

const vexlin_xchar_t* GetVersionString() { return g_sink->version; }

vexlin_result_t GetAgent5(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                          const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message,
                          vexlin_size_t message_length) {
    Scope scope("lifecycle", "get_agent");
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
            scope.Add("references", UInt(++g->agent_refs));
        }
    }
    if (!error.empty()) {
        scope.Add("error", Text(Prefixed(error)));
        CopyMessage(message, message_length, Prefixed(error));
    }
    scope.Add("result", Int(result));
    return result;
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

vexlin_result_t GetLibrary(const Sink& sink, vexlin_uint32_t interface_id, vexlin_uint32_t level,
                           const void** table_out, vexlin_xchar_t* message, vexlin_size_t message_length) {
    g_sink = &sink;
    Scope scope("lifecycle", "get_library");
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

}  // namespace vexlin_kit
