// The console agent's state and its line writer: the handles it handed out,
// the tracers started on each thread, the output stream, and `Call`, which
// every slot uses to describe one call as one JSON line and to report misuse
// as lines of their own. One mutex guards all of it.
#ifndef VEXLIN_CONSOLE_CORE_H
#define VEXLIN_CONSOLE_CORE_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "json_text.h"
#include "vexlin/internal/vexlin_stub_abi.h"

// The agent object handed to the library; only this module knows its layout.
struct vexlin_abi_agent_t {
    std::uint32_t magic;
};

namespace console {

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

using KindSet = std::uint32_t;
constexpr KindSet Bit(Kind k) { return KindSet(1) << static_cast<unsigned>(k); }
constexpr KindSet kAnyTracer = Bit(Kind::kSpan) * 2 - 1;  // every kind up to and including spans
constexpr KindSet kAnyMetric = Bit(Kind::kIntegerCounter) | Bit(Kind::kFloatCounter) | Bit(Kind::kIntegerGauge) |
                               Bit(Kind::kFloatGauge) | Bit(Kind::kIntegerStatistics) | Bit(Kind::kFloatStatistics);

const char* KindName(Kind kind);
inline bool IsTracer(Kind kind) { return (Bit(kind) & kAnyTracer) != 0; }

struct Record {
    Kind kind;
    bool started;
    unsigned create_thread;
    unsigned start_thread;
    std::uint64_t parent;
    std::int64_t start_us;
    std::string details;  // JSON object of an info or metric, repeated in the lines that use it
};

// One call as one line. The constructor takes the agent's mutex and stamps
// the line; the destructor writes the line and the misuse lines it collected,
// releases the mutex and only then runs the application's callbacks, which
// may call back into the library.
class Call {
public:
    Call(vexlin_abi_agent_t* agent, const char* name);  // a forwarded call
    Call(const char* type, const char* name);           // "lifecycle" lines of the entry points
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    void Raw(const char* key, const std::string& json);
    void Str(const char* key, const vexlin_string_t* s) { Raw(key, JsonOf(s)); }
    void Text(const char* key, const std::string& text);
    void Int(const char* key, std::int64_t v) { Raw(key, JsonOf(v)); }
    void UInt(const char* key, std::uint64_t v) { Raw(key, JsonOf(v)); }
    void Handle(const char* key, std::uint64_t h) { Raw(key, h == 0 ? std::string("null") : JsonOf(h)); }

    // Lookups: add the handle and, when known, its kind to the line; on
    // misuse report it and return nullptr.
    Record* Tracer(std::uint64_t handle, KindSet allowed = kAnyTracer, const char* key = "tracer");
    Record* Info(std::uint64_t handle, Kind expected, const char* key);
    Record* Metric(std::uint64_t handle, KindSet allowed);

    // True (and a misuse line) when `count` entries are announced but the array is missing.
    bool MissingArray(const void* array, std::size_t count, const char* what);

    void Misuse(const char* problem, const std::string& message, const char* handle_key = nullptr,
                std::uint64_t handle = 0, const char* kind = nullptr);

    std::uint64_t NewHandle(Kind kind, std::string details = std::string());
    void Start(std::uint64_t handle, Record& record, std::uint64_t parent, std::int64_t start_us);
    void End(std::uint64_t handle, Record& record, std::int64_t end_us);
    void Delete(std::uint64_t handle, const Record& record);
    // Innermost started, not yet ended tracer of the calling thread, or 0.
    std::uint64_t Innermost() const;
    bool IsLiveTracer(std::uint64_t handle) const;

    std::int64_t now_us() const { return now_us_; }
    unsigned thread() const { return thread_; }

private:
    struct PendingMisuse {
        std::string fields;
        std::string message;
    };
    void Begin(const char* type, const char* name);
    std::unique_lock<std::mutex> lock_;
    const char* type_;
    const char* name_;
    std::int64_t now_us_;
    unsigned thread_;
    std::string body_;
    std::vector<PendingMisuse> misuses_;
};

// ---- Module lifecycle (called from the entry points) ---------------------

// Identifies the agent object of this module.
std::uint32_t AgentMagic();

vexlin_result_t ModuleInitialize(vexlin_size_t count, const vexlin_xchar_t* const* arguments, vexlin_xchar_t* message,
                                 vexlin_size_t message_length);
vexlin_result_t ModuleShutdown();
// The functions below read or change the state guarded by the mutex: call
// them only while a `Call` is alive on the calling thread.
bool ModuleStarted();
vexlin_abi_agent_t* AcquireAgent(unsigned* references);  // counts one reference
// Records one reference fewer; false when there was none to give up.
bool ReleaseAgent(unsigned* remaining);
void AddAgentReference(unsigned* now);

enum class CallbackKind { kLogging, kWarning, kVerbose };
void SetCallback(CallbackKind kind, vexlin_agent_logging_callback_t* callback);

// 1 in a process forked from the one that started the agent, else 0.
int ForkState();

void CopyMessage(vexlin_xchar_t* buffer, vexlin_size_t length, const std::string& text);

}  // namespace console

#endif  // VEXLIN_CONSOLE_CORE_H
