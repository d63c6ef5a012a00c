// State and line writing of the console agent. Handles come from one counter
// for every kind, so a handle never names two objects; ended and deleted ones
// are remembered (up to a bound) to tell "used after end" from "never valid".
#include "console_core.h"

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <type_traits>
#include <unordered_map>

#ifndef VEXLIN_CONSOLE_AGENT_VERSION
#define VEXLIN_CONSOLE_AGENT_VERSION "0.0.0"
#endif

namespace console {
namespace {

// How many ended or deleted handles are remembered; older ones are reported
// as stale rather than with their kind, so a long run does not grow forever.
constexpr std::size_t kRememberedFinished = 100000;

// Lives on the heap from the first initialize to the last shutdown: a static
// object would be destroyed by exit() while an atexit handler or another
// thread may still call in.
struct State {
    int fd = STDERR_FILENO;
    bool own_fd = false;
    std::string output_name = "stderr";
    unsigned starts = 0;
    pid_t pid = 0;
    std::uint64_t seq = 0;
    std::uint64_t next_handle = 1;
    unsigned agent_refs = 0;
    bool atfork_registered = false;
    std::unordered_map<std::uint64_t, Record> live;
    std::unordered_map<std::uint64_t, Kind> finished;
    std::deque<std::uint64_t> finished_order;
    std::unordered_map<unsigned, std::vector<std::uint64_t>> stacks;  // started tracers per thread, innermost last
    vexlin_agent_logging_callback_t* callbacks[3] = {nullptr, nullptr, nullptr};
};

State* g = nullptr;
// Not destroyed at exit either: std::mutex has no destructor to run.
std::mutex g_mutex;
static_assert(std::is_trivially_destructible<std::mutex>::value, "the module has no static destructors");
bool g_atfork_registered = false;
std::atomic<unsigned> g_thread_count{0};
thread_local unsigned t_thread = 0;

unsigned ThreadIndex() {
    if (t_thread == 0) t_thread = ++g_thread_count;
    return t_thread;
}

std::int64_t NowMicros() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a broken output must not break the application
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void Retire(std::uint64_t handle, Kind kind) {
    g->live.erase(handle);
    g->finished[handle] = kind;
    g->finished_order.push_back(handle);
    if (g->finished_order.size() > kRememberedFinished) {
        g->finished.erase(g->finished_order.front());
        g->finished_order.pop_front();
    }
}

std::string WithArticle(const char* word) {
    return std::string(std::strchr("aeiou", word[0]) != nullptr ? "an " : "a ") + word;
}

std::string KindList(KindSet set, const char* noun) {
    std::string out;
    for (unsigned k = 0; k <= static_cast<unsigned>(Kind::kFloatStatistics); ++k) {
        if ((set & (KindSet(1) << k)) == 0) continue;
        out += out.empty() ? WithArticle(KindName(static_cast<Kind>(k)))
                           : std::string(" or ") + KindName(static_cast<Kind>(k));
    }
    if (set == kAnyTracer) return std::string("a ") + noun;
    return out + " " + noun;
}

void PrepareFork() { g_mutex.lock(); }
void AfterForkInParent() { g_mutex.unlock(); }
void AfterForkInChild() {
    if (g != nullptr) g->seq = 0;  // a child numbers its own lines
    g_mutex.unlock();
}

}  // namespace

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::kOutgoingRemoteCall:
            return "outgoing_remote_call";
        case Kind::kIncomingRemoteCall:
            return "incoming_remote_call";
        case Kind::kDatabaseRequest:
            return "database_request";
        case Kind::kIncomingWebRequest:
            return "incoming_web_request";
        case Kind::kOutgoingWebRequest:
            return "outgoing_web_request";
        case Kind::kCustomService:
            return "custom_service";
        case Kind::kOutgoingMessage:
            return "outgoing_message";
        case Kind::kIncomingMessageReceive:
            return "incoming_message_receive";
        case Kind::kIncomingMessageProcess:
            return "incoming_message_process";
        case Kind::kInProcessLink:
            return "in_process_link";
        case Kind::kSpan:
            return "span";
        case Kind::kDatabaseInfo:
            return "database_info";
        case Kind::kWebApplicationInfo:
            return "web_application_info";
        case Kind::kMessagingSystemInfo:
            return "messaging_system_info";
        case Kind::kIntegerCounter:
            return "integer_counter";
        case Kind::kFloatCounter:
            return "float_counter";
        case Kind::kIntegerGauge:
            return "integer_gauge";
        case Kind::kFloatGauge:
            return "float_gauge";
        case Kind::kIntegerStatistics:
            return "integer_statistics";
        case Kind::kFloatStatistics:
            return "float_statistics";
    }
    return "unknown";
}

// ---- Call ------------------------------------------------------------------

Call::Call(vexlin_abi_agent_t* agent, const char* name) {
    Begin("call", name);
    if (agent == nullptr || agent->magic != AgentMagic()) {
        Misuse("foreign_agent", std::string(name) + " was called with an agent object this module did not hand out");
    }
}

Call::Call(const char* type, const char* name) { Begin(type, name); }

void Call::Begin(const char* type, const char* name) {
    lock_ = std::unique_lock<std::mutex>(g_mutex);
    type_ = type;
    name_ = name;
    now_us_ = NowMicros();
    thread_ = ThreadIndex();
}

Call::~Call() {
    if (g == nullptr) return;  // after the last shutdown calls are answered without a line
    std::string head_tail = ",\"time_us\":" + JsonOf(std::int64_t(now_us_)) +
                            ",\"pid\":" + JsonOf(std::int64_t(::getpid())) +
                            ",\"thread\":" + JsonOf(std::uint64_t(thread_));
    std::string call_name;
    AppendJsonString(call_name, name_, std::strlen(name_));

    std::vector<std::string> lines;
    lines.push_back("{\"seq\":" + JsonOf(++g->seq) + head_tail + ",\"type\":\"" + type_ + "\",\"call\":" + call_name +
                    body_ + "}");
    for (const PendingMisuse& m : misuses_) {
        lines.push_back("{\"seq\":" + JsonOf(++g->seq) + head_tail + ",\"type\":\"misuse\",\"call\":" + call_name +
                        m.fields + "}");
    }
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    // One write keeps a call and its misuse lines together, also when several
    // processes append to the same file.
    WriteAll(g->fd, out);

    vexlin_agent_logging_callback_t* logging = g->callbacks[0];
    vexlin_agent_logging_callback_t* warning = g->callbacks[1];
    vexlin_agent_logging_callback_t* verbose = g->callbacks[2];
    lock_.unlock();

    for (const PendingMisuse& m : misuses_) {
        std::string text = "console agent: misuse: " + m.message;
        if (logging != nullptr) logging(text.c_str());
        if (warning != nullptr) warning(text.c_str());
    }
    if (verbose != nullptr)
        for (const std::string& line : lines) verbose(line.c_str());
}

void Call::Raw(const char* key, const std::string& json) {
    body_ += ',';
    AppendJsonString(body_, key, std::strlen(key));
    body_ += ':';
    body_ += json;
}

void Call::Text(const char* key, const std::string& text) {
    std::string json;
    AppendJsonString(json, text);
    Raw(key, json);
}

void Call::Misuse(const char* problem, const std::string& message, const char* handle_key, std::uint64_t handle,
                  const char* kind) {
    PendingMisuse m;
    m.fields = ",\"problem\":\"" + std::string(problem) + "\",\"message\":";
    AppendJsonString(m.fields, message);
    if (handle_key != nullptr) {
        m.fields += ",";
        AppendJsonString(m.fields, handle_key, std::strlen(handle_key));
        m.fields += ":" + JsonOf(handle);
    }
    if (kind != nullptr) m.fields += ",\"kind\":\"" + std::string(kind) + "\"";
    m.message = message;
    misuses_.push_back(std::move(m));
}

namespace {
// Finds a live handle or reports why it is not one.
Record* Find(Call& call, const char* call_name, std::uint64_t handle, const char* key) {
    if (g == nullptr) return nullptr;
    const std::string h = std::to_string(handle);
    if (handle == 0) {
        call.Misuse("invalid_handle",
                    std::string(call_name) + ": " + key + " 0 is not a valid handle (did the create call fail?)", key,
                    handle);
        return nullptr;
    }
    auto live = g->live.find(handle);
    if (live != g->live.end()) return &live->second;
    auto done = g->finished.find(handle);
    if (done != g->finished.end()) {
        const char* kind = KindName(done->second);
        if (IsTracer(done->second)) {
            call.Misuse("used_after_end",
                        std::string(call_name) + ": tracer " + h + " (" + kind + ") was already ended", key, handle,
                        kind);
        } else {
            call.Misuse("used_after_delete",
                        std::string(call_name) + ": handle " + h + " (" + kind + ") was already deleted", key, handle,
                        kind);
        }
        return nullptr;
    }
    if (handle < g->next_handle) {
        call.Misuse("stale_handle", std::string(call_name) + ": handle " + h + " was ended or deleted long ago", key,
                    handle);
    } else {
        call.Misuse("invalid_handle", std::string(call_name) + ": handle " + h + " was never handed out by the agent",
                    key, handle);
    }
    return nullptr;
}
}  // namespace

Record* Call::Tracer(std::uint64_t handle, KindSet allowed, const char* key) {
    Handle(key, handle);
    Record* r = Find(*this, name_, handle, key);
    if (r == nullptr) return nullptr;
    const bool is_tracer_key = std::strcmp(key, "tracer") == 0;
    if (is_tracer_key) Raw("kind", std::string("\"") + KindName(r->kind) + "\"");
    if ((Bit(r->kind) & allowed) == 0) {
        Misuse("wrong_kind",
               std::string(name_) + " needs " + KindList(allowed, "tracer") + ", but handle " + std::to_string(handle) +
                   " is " + WithArticle(KindName(r->kind)) + (IsTracer(r->kind) ? " tracer" : ""),
               key, handle, KindName(r->kind));
        return nullptr;
    }
    return r;
}

Record* Call::Info(std::uint64_t handle, Kind expected, const char* key) {
    Handle(key, handle);
    Record* r = Find(*this, name_, handle, key);
    if (r == nullptr) return nullptr;
    if (r->kind != expected) {
        Misuse("wrong_kind",
               std::string(name_) + " needs " + WithArticle(KindName(expected)) + ", but handle " +
                   std::to_string(handle) + " is " + WithArticle(KindName(r->kind)),
               key, handle, KindName(r->kind));
        return nullptr;
    }
    return r;
}

Record* Call::Metric(std::uint64_t handle, KindSet allowed) {
    Handle("metric", handle);
    Record* r = Find(*this, name_, handle, "metric");
    if (r == nullptr) return nullptr;
    Raw("kind", std::string("\"") + KindName(r->kind) + "\"");
    if ((Bit(r->kind) & allowed) == 0) {
        Misuse("wrong_kind",
               std::string(name_) + " needs " + KindList(allowed, "metric") + ", but handle " + std::to_string(handle) +
                   " is " + WithArticle(KindName(r->kind)),
               "metric", handle, KindName(r->kind));
        return nullptr;
    }
    return r;
}

bool Call::MissingArray(const void* array, std::size_t count, const char* what) {
    if (array != nullptr || count == 0) return false;
    Misuse("null_array", std::string(name_) + ": " + what + " is NULL but count is " + std::to_string(count));
    return true;
}

std::uint64_t Call::NewHandle(Kind kind, std::string details) {
    if (g == nullptr) return 0;
    std::uint64_t handle = g->next_handle++;
    g->live.emplace(handle, Record{kind, false, thread_, 0, 0, 0, std::move(details)});
    return handle;
}

void Call::Start(std::uint64_t handle, Record& record, std::uint64_t parent, std::int64_t start_us) {
    record.started = true;
    record.start_thread = thread_;
    record.parent = parent;
    record.start_us = start_us;
    g->stacks[thread_].push_back(handle);
}

void Call::End(std::uint64_t handle, Record& record, std::int64_t /*end_us*/) {
    if (record.started) {
        std::vector<std::uint64_t>& stack = g->stacks[record.start_thread];
        auto it = std::find(stack.rbegin(), stack.rend(), handle);
        if (it != stack.rend()) stack.erase(std::next(it).base());
    }
    Retire(handle, record.kind);
}

void Call::Delete(std::uint64_t handle, const Record& record) { Retire(handle, record.kind); }

std::uint64_t Call::Innermost() const {
    if (g == nullptr) return 0;
    auto it = g->stacks.find(thread_);
    if (it == g->stacks.end() || it->second.empty()) return 0;
    return it->second.back();
}

bool Call::IsLiveTracer(std::uint64_t handle) const {
    if (g == nullptr) return false;
    auto it = g->live.find(handle);
    return it != g->live.end() && IsTracer(it->second.kind);
}

// ---- Lifecycle -------------------------------------------------------------

namespace {

bool NameIs(const char* argument, const char* name) {
    std::size_t n = std::strlen(name);
    return strncasecmp(argument, name, n) == 0 && argument[n] == '=';
}

// Opens the output named by console_output; the caller holds the mutex.
bool OpenOutput(const char* path, std::string* error) {
    if (path == nullptr || *path == '\0' || std::strcmp(path, "-") == 0 || std::strcmp(path, "stderr") == 0) {
        g->fd = STDERR_FILENO;
        g->own_fd = false;
        g->output_name = "stderr";
        return true;
    }
    if (std::strcmp(path, "stdout") == 0) {
        g->fd = STDOUT_FILENO;
        g->own_fd = false;
        g->output_name = "stdout";
        return true;
    }
    // Append, so that forked children and later runs add to the same file
    // without tearing each other's lines.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = std::string("console agent: cannot open console_output '") + path + "': " + std::strerror(errno);
        return false;
    }
    g->fd = fd;
    g->own_fd = true;
    g->output_name = path;
    return true;
}

// After the last shutdown, or a failed first start; a start that came in
// between keeps the state.
void DropStateIfStopped() {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g == nullptr || g->starts > 0) return;
    if (g->own_fd) ::close(g->fd);
    delete g;
    g = nullptr;
}

}  // namespace

std::uint32_t AgentMagic() { return 0x56584341u; }

void CopyMessage(vexlin_xchar_t* buffer, vexlin_size_t length, const std::string& text) {
    if (buffer == nullptr || length == 0) return;
    std::size_t n = std::min<std::size_t>(text.size(), length - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

vexlin_result_t ModuleInitialize(vexlin_size_t count, const vexlin_xchar_t* const* arguments, vexlin_xchar_t* message,
                                 vexlin_size_t message_length) {
    if (count > 0 && arguments == nullptr) {
        CopyMessage(message, message_length, "console agent: argument list is NULL");
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    const char* output = nullptr;
    for (vexlin_size_t i = 0; i < count; ++i)
        if (arguments[i] != nullptr && NameIs(arguments[i], "console_output")) output = arguments[i] + 15;

    std::string error;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (!g_atfork_registered) {
            // A child must not inherit the mutex held by another thread.
            pthread_atfork(PrepareFork, AfterForkInParent, AfterForkInChild);
            g_atfork_registered = true;
        }
        if (g == nullptr) g = new State;
        if (g->starts > 0) {  // another user of the module in this process; the output stays
            ++g->starts;
        } else if (OpenOutput(output, &error)) {
            g->starts = 1;
            g->pid = ::getpid();
        }
    }

    {
        Call call("lifecycle", "initialize");
        std::string list = "[";
        for (vexlin_size_t i = 0; i < count; ++i) {
            if (i != 0) list += ',';
            if (arguments[i] == nullptr)
                list += "null";
            else
                AppendJsonString(list, arguments[i], std::strlen(arguments[i]));
        }
        list += "]";
        call.Raw("arguments", list);
        call.Text("agent_version", "vexlin console agent " VEXLIN_CONSOLE_AGENT_VERSION);
        if (error.empty()) {
            call.Text("output", g->output_name);
            call.UInt("starts", g->starts);
            call.Int("result", 0);
            return VEXLIN_SUCCESS;
        }
        call.Int("result", VEXLIN_ERROR_INVALID_ARGUMENT);
        call.Text("error", error);
        CopyMessage(message, message_length, error);
    }
    DropStateIfStopped();
    return VEXLIN_ERROR_INVALID_ARGUMENT;
}

vexlin_result_t ModuleShutdown() {
    bool close_now = false;
    vexlin_result_t result = VEXLIN_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (g == nullptr) g = new State;  // only to report the misuse below
    }
    {
        Call call("lifecycle", "shutdown");
        if (g->starts == 0) {
            call.Misuse("shutdown_without_start", "shutdown was called but the agent module was not started");
            result = VEXLIN_ERROR_NOT_INITIALIZED;
        } else if (--g->starts > 0) {
            call.UInt("starts", g->starts);
        } else {
            std::vector<std::uint64_t> open;
            std::size_t undeleted = 0;
            for (const auto& entry : g->live) {
                if (IsTracer(entry.second.kind))
                    open.push_back(entry.first);
                else
                    ++undeleted;
            }
            std::sort(open.begin(), open.end());
            for (std::uint64_t handle : open) {
                const Record& r = g->live[handle];
                call.Misuse("unfinished_at_shutdown",
                            std::string("tracer ") + std::to_string(handle) + " (" + KindName(r.kind) + ") was " +
                                (r.started ? "started" : "created") + " but never ended",
                            "tracer", handle, KindName(r.kind));
            }
            call.UInt("starts", 0);
            call.UInt("unfinished_tracers", open.size());
            call.UInt("undeleted_handles", undeleted);
            call.UInt("agent_references", g->agent_refs);
        }
        close_now = g->starts == 0;
        call.Int("result", result);
    }
    if (close_now) DropStateIfStopped();
    return result;
}

bool ModuleStarted() { return g != nullptr && g->starts > 0; }

vexlin_abi_agent_t* AcquireAgent(unsigned* references) {
    static vexlin_abi_agent_t agent = {AgentMagic()};
    *references = ++g->agent_refs;
    return &agent;
}

bool ReleaseAgent(unsigned* remaining) {
    if (g == nullptr || g->agent_refs == 0) {
        *remaining = 0;
        return false;
    }
    *remaining = --g->agent_refs;
    return true;
}

void AddAgentReference(unsigned* now) { *now = g != nullptr ? ++g->agent_refs : 0; }

void SetCallback(CallbackKind kind, vexlin_agent_logging_callback_t* callback) {
    if (g == nullptr) return;
    g->callbacks[static_cast<int>(kind)] = callback;
}

int ForkState() { return (g != nullptr && g->pid != 0 && g->pid != ::getpid()) ? 1 : 0; }

}  // namespace console
