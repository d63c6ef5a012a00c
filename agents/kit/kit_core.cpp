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
thread_local unsigned t_thread = 0;

constexpr std::size_t kRememberedFinished = 100000;

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

// ---- Scope -------------------------------------------------------------------

Scope::Scope(const char* type, const char* name) : lock_(g_mutex) {
    call_.type = type;
    call_.name = name;
    call_.time_us = NowMicros();
    call_.thread = ThreadIndex();
    describe_ = g_sink->on_call != nullptr;
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

void Scope::Add(const char* key, Value value) {
    if (describe_) call_.fields.push_back(Field{key, std::move(value)});
}

void Scope::Misuse(const char* problem, const std::string& message, const char* handle_key, Handle handle,
                   const char* kind) {
    call_.misuses.push_back(
        vexlin_kit::Misuse{problem, message, handle_key != nullptr ? handle_key : "", handle, kind});
}

Object* Scope::Find(Handle handle, const char* key) {
    if (g == nullptr) return nullptr;
    const std::string h = std::to_string(handle);
    if (handle == 0) {
        Misuse("invalid_handle",
               std::string(name()) + ": " + key + " 0 is not a valid handle (did the create call fail?)", key, handle);
        return nullptr;
    }
    auto live = g->live.find(handle);
    if (live != g->live.end()) return &live->second;
    auto done = g->finished.find(handle);
    if (done != g->finished.end()) {
        const char* kind = KindName(done->second);
        if (IsTracer(done->second))
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
    if (std::strcmp(key, "tracer") == 0) Add("kind", Text(KindName(o->kind)));
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
    Object& o = g->live[handle];
    o.kind = kind;
    o.tracer.handle = o.metric.handle = handle;
    o.tracer.kind = o.metric.kind = kind;
    o.tracer.create_thread = thread();
    return o;
}

void Scope::Retire(Handle handle, Kind kind) {
    g->live.erase(handle);
    g->finished[handle] = kind;
    g->finished_order.push_back(handle);
    if (g->finished_order.size() > kRememberedFinished) {
        g->finished.erase(g->finished_order.front());
        g->finished_order.pop_front();
    }
}

Handle Scope::Current() const {
    auto it = g->stacks.find(thread());
    return it == g->stacks.end() || it->second.empty() ? 0 : it->second.back();
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
        list.items.push_back(arguments[i] == nullptr ? Null() : Text(arguments[i]));
    scope.Add("arguments", std::move(list));
    scope.Add("agent_version", Text(sink.version));

    if (g == nullptr) g = new State;
    std::string error;
    std::vector<Field> report;
    if (g->starts == 0 && sink.start != nullptr && !sink.start(count, arguments, &g->self, &report, &error)) {
        scope.Add("result", Int(VEXLIN_ERROR_INVALID_ARGUMENT));
        scope.Add("error", Text(error));
        CopyMessage(message, message_length, error);
        delete g;  // the description goes to the sink without a state
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
    std::vector<Handle> open;
    std::size_t undeleted = 0;
    for (const auto& entry : g->live) {
        if (IsTracer(entry.second.kind))
            open.push_back(entry.first);
        else
            ++undeleted;
    }
    std::sort(open.begin(), open.end());
    std::vector<const Tracer*> unfinished;
    for (Handle handle : open) {
        const Tracer& t = g->live[handle].tracer;
        unfinished.push_back(&t);
        scope.Misuse("unfinished_at_shutdown",
                     "tracer " + std::to_string(handle) + " (" + KindName(t.kind) + ") was " +
                         (t.state == TracerState::kStarted ? "started" : "created") + " but never ended",
                     "tracer", handle, KindName(t.kind));
    }
    scope.Add("starts", UInt(0));
    scope.Add("unfinished_tracers", UInt(open.size()));
    scope.Add("undeleted_handles", UInt(undeleted));
    scope.Add("agent_references", UInt(g->agent_refs));
    scope.Add("result", Int(0));
    scope.Emit();
    if (sink.stop != nullptr) sink.stop(g->self, unfinished);
    delete g;
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
