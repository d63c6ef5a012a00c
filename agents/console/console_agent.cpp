// The console agent module: its three entry points, the library tables it
// hands out, and one implementation per slot of the agent function table and
// of the five extension tables. Each slot describes its call as one JSON line
// (see README.md) and checks the handles it receives.
#include <arpa/inet.h>
#include <unistd.h>

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "console_core.h"
#include "vexlin/internal/vexlin_loader_abi.h"

#define CONSOLE_EXPORT extern "C" __attribute__((visibility("default")))

namespace console {
namespace {

const char kVersion[] = "vexlin console agent " VEXLIN_CONSOLE_AGENT_VERSION;

// Every slot function is named slot_<exported function name without vexlin_>,
// so the line can name the call the application made.
#define CONSOLE_CALL Call call(agent, __func__ + 5)

constexpr KindSet kOutgoingTagKinds =
    Bit(Kind::kOutgoingRemoteCall) | Bit(Kind::kOutgoingWebRequest) | Bit(Kind::kOutgoingMessage);
constexpr KindSet kIncomingTagKinds = Bit(Kind::kIncomingRemoteCall) | Bit(Kind::kIncomingWebRequest) |
                                      Bit(Kind::kIncomingMessageReceive) | Bit(Kind::kIncomingMessageProcess);

// ---- Tags and links --------------------------------------------------------
// Tags and in-process links name the tracer and process they came from, so a
// receiving side in the same output can be matched with its origin.

const unsigned char kByteTagMagic[4] = {'V', 'X', 'C', 'T'};
const unsigned char kLinkMagic[4] = {'V', 'X', 'C', 'L'};
constexpr std::size_t kTokenSize = 17;  // magic, format 1, tracer (8, big endian), pid (4, big endian)

void MakeToken(unsigned char* out, const unsigned char* magic, std::uint64_t tracer) {
    std::memcpy(out, magic, 4);
    out[4] = 1;
    for (int i = 0; i < 8; ++i) out[5 + i] = static_cast<unsigned char>(tracer >> (56 - 8 * i));
    std::uint32_t pid = htonl(static_cast<std::uint32_t>(::getpid()));
    std::memcpy(out + 13, &pid, 4);
}

bool ReadToken(const unsigned char* in, std::size_t size, const unsigned char* magic, std::uint64_t* tracer,
               std::uint32_t* pid) {
    if (in == nullptr || size != kTokenSize || std::memcmp(in, magic, 4) != 0 || in[4] != 1) return false;
    *tracer = 0;
    for (int i = 0; i < 8; ++i) *tracer = (*tracer << 8) | in[5 + i];
    std::uint32_t be;
    std::memcpy(&be, in + 13, 4);
    *pid = ntohl(be);
    return true;
}

std::string OriginJson(std::uint64_t tracer, std::uint32_t pid) {
    return "{\"tracer\":" + JsonOf(tracer) + ",\"pid\":" + JsonOf(std::uint64_t(pid)) + "}";
}

std::string StringTag(std::uint64_t tracer) {
    return "console;tracer=" + std::to_string(tracer) + ";pid=" + std::to_string(::getpid());
}

bool ReadStringTag(const std::string& tag, std::uint64_t* tracer, std::uint32_t* pid) {
    unsigned long long t = 0;
    unsigned long p = 0;
    int used = 0;
    if (std::sscanf(tag.c_str(), "console;tracer=%llu;pid=%lu%n", &t, &p, &used) != 2) return false;
    if (static_cast<std::size_t>(used) != tag.size()) return false;
    *tracer = t;
    *pid = static_cast<std::uint32_t>(p);
    return true;
}

// Copies `size` bytes when they fit; the library's two-step size query.
vexlin_size_t HandOut(Call& call, const void* data, vexlin_size_t size, vexlin_size_t reported_size, void* buffer,
                      vexlin_size_t buffer_size, vexlin_size_t* required) {
    if (required != nullptr) *required = reported_size;
    bool fits = buffer != nullptr && buffer_size >= reported_size;
    if (fits && reported_size > 0) std::memcpy(buffer, data, reported_size);
    call.UInt("buffer_size", buffer_size);
    call.UInt("required_buffer_size", reported_size);
    call.Raw("written", JsonOf(fits));
    return fits ? size : 0;
}

// ---- Shared pieces of the slots -------------------------------------------

std::uint64_t CreateTracer(Call& call, Kind kind) {
    std::uint64_t handle = call.NewHandle(kind);
    call.UInt("tracer", handle);
    call.Raw("kind", std::string("\"") + KindName(kind) + "\"");
    return handle;
}

// A tracer built on an info object copies its description, so the tracer's
// line is readable on its own and the info may be deleted early.
void UseInfo(Call& call, std::uint64_t info, Kind expected, const char* key, const char* details_key) {
    Record* r = call.Info(info, expected, key);
    call.Raw(details_key, r != nullptr ? r->details : std::string("null"));
}

std::uint64_t CreateInfo(Call& call, Kind kind, const char* key, const std::string& fields) {
    std::string details = "{" + fields.substr(1) + "}";
    std::uint64_t handle = call.NewHandle(kind, details);
    call.UInt(key, handle);
    call.Raw("details", details);
    return handle;
}

std::string Field(const char* key, const std::string& json) {
    std::string out = ",";
    AppendJsonString(out, key, std::strlen(key));
    return out + ":" + json;
}

void DeleteInfo(Call& call, std::uint64_t handle, Kind kind, const char* key) {
    Record* r = call.Info(handle, kind, key);
    if (r != nullptr) call.Delete(handle, *r);
}

void SetString(Call& call, vexlin_tracer_handle_t tracer, KindSet kinds, const char* key, const vexlin_string_t* s) {
    call.Tracer(tracer, kinds);
    call.Str(key, s);
}

void SetInt(Call& call, vexlin_tracer_handle_t tracer, KindSet kinds, const char* key, std::int64_t value) {
    call.Tracer(tracer, kinds);
    call.Int(key, value);
}

void AddPairs(Call& call, vexlin_tracer_handle_t tracer, KindSet kinds, const char* key, const vexlin_string_t* names,
              const vexlin_string_t* values, vexlin_size_t count) {
    call.Tracer(tracer, kinds);
    call.UInt("count", count);
    bool missing = call.MissingArray(names, count, "names");
    missing = call.MissingArray(values, count, "values") || missing;
    call.Raw(key, missing ? std::string("null") : PairsJsonOf(names, values, count));
}

bool Start(Call& call, vexlin_tracer_handle_t tracer, std::uint64_t requested_parent, std::int64_t start_us,
           bool explicit_parent) {
    Record* r = call.Tracer(tracer);
    if (explicit_parent) {
        call.Handle("requested_parent", requested_parent);
        if (requested_parent != 0 && !call.IsLiveTracer(requested_parent)) {
            call.Misuse("invalid_handle",
                        std::string("parent tracer ") + std::to_string(requested_parent) +
                            " is not a running tracer; starting without it",
                        "parent_tracer", requested_parent);
            requested_parent = 0;
        }
    }
    if (r == nullptr) return false;
    if (r->started) {
        call.Misuse("started_twice",
                    "tracer " + std::to_string(tracer) + " (" + KindName(r->kind) + ") was already started", "tracer",
                    tracer, KindName(r->kind));
        return false;
    }
    std::uint64_t parent = requested_parent != 0 ? requested_parent : call.Innermost();
    call.Start(tracer, *r, parent, start_us);
    call.Handle("parent", parent);
    call.Int("start_us", start_us);
    return true;
}

void End(Call& call, vexlin_tracer_handle_t tracer, std::int64_t end_us) {
    Record* r = call.Tracer(tracer);
    if (r == nullptr) return;
    if (r->started) {
        call.Handle("parent", r->parent);
        call.Int("start_us", r->start_us);
        call.Int("end_us", end_us);
        call.Int("duration_us", end_us - r->start_us);
        if (r->start_thread != call.thread()) call.UInt("start_thread", r->start_thread);
    } else {
        call.Int("end_us", end_us);
        call.Misuse("end_without_start",
                    "tracer " + std::to_string(tracer) + " (" + KindName(r->kind) + ") was ended but never started",
                    "tracer", tracer, KindName(r->kind));
    }
    call.End(tracer, *r, end_us);
}

// The tracer that custom request attributes and in-process links attach to.
std::uint64_t CurrentTracer(Call& call) {
    std::uint64_t current = call.Innermost();
    call.Handle("tracer", current);
    if (current == 0)
        call.Misuse("no_active_tracer", "no tracer is started on this thread, so there is nothing to attach to");
    return current;
}

// ---- The agent function table ---------------------------------------------

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) result slot_##name(vexlin_abi_agent_t* agent);
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) \
    result slot_##name(vexlin_abi_agent_t* agent, VEXLIN_UNPAREN params);
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

void slot_agent_add_ref(vexlin_abi_agent_t* agent) {
    CONSOLE_CALL;
    unsigned now = 0;
    AddAgentReference(&now);
    call.UInt("references", now);
}

void slot_agent_release(vexlin_abi_agent_t* agent) {
    CONSOLE_CALL;
    unsigned remaining = 0;
    if (!ReleaseAgent(&remaining))
        call.Misuse("release_without_reference", "the agent object was released more often than it was handed out");
    call.UInt("references", remaining);
}

vexlin_bool_t slot_internal_dispatch(vexlin_abi_agent_t* agent, vexlin_int32_t dispatch_id,
                                     vexlin_int32_t dispatch_version, void* data, vexlin_size_t data_size) {
    CONSOLE_CALL;
    call.Int("dispatch_id", dispatch_id);
    call.Int("dispatch_version", dispatch_version);
    call.Raw("data", JsonOf(data != nullptr));
    call.UInt("data_size", data_size);
    call.Int("result", 0);
    return 0;  // the console agent handles no internal requests
}

vexlin_int32_t slot_agent_get_current_state(vexlin_abi_agent_t* agent) {
    CONSOLE_CALL;
    call.Int("result", 0);
    return 0;  // always active
}

void slot_agent_set_logging_callback(vexlin_abi_agent_t* agent, vexlin_agent_logging_callback_t* cb) {
    CONSOLE_CALL;
    SetCallback(CallbackKind::kLogging, cb);
    call.Raw("callback", JsonOf(cb != nullptr));
}

void slot_tracer_start(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle) {
    CONSOLE_CALL;
    Start(call, tracer_handle, 0, call.now_us(), false);
}

void slot_tracer_end(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle) {
    CONSOLE_CALL;
    End(call, tracer_handle, call.now_us());
}

void slot_tracer_error_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                         const vexlin_string_t* error_class, const vexlin_string_t* error_message) {
    CONSOLE_CALL;
    call.Tracer(tracer_handle);
    call.Str("error_class", error_class);
    call.Str("error_message", error_message);
}

vexlin_size_t slot_tracer_get_outgoing_korvantix_string_tag(vexlin_abi_agent_t* agent,
                                                            vexlin_tracer_handle_t tracer_handle, char* buffer,
                                                            vexlin_size_t buffer_size,
                                                            vexlin_size_t* required_buffer_size) {
    CONSOLE_CALL;
    Record* r = call.Tracer(tracer_handle, kOutgoingTagKinds);
    std::string tag = r != nullptr ? StringTag(tracer_handle) : std::string();
    call.Text("tag", tag);
    vexlin_size_t written =
        HandOut(call, tag.c_str(), tag.size(), tag.size() + 1, buffer, buffer_size, required_buffer_size);
    if (written == 0 && buffer != nullptr && buffer_size > 0) buffer[0] = '\0';
    return written;
}

vexlin_size_t slot_tracer_get_outgoing_korvantix_byte_tag(vexlin_abi_agent_t* agent,
                                                          vexlin_tracer_handle_t tracer_handle, unsigned char* buffer,
                                                          vexlin_size_t buffer_size,
                                                          vexlin_size_t* required_buffer_size) {
    CONSOLE_CALL;
    Record* r = call.Tracer(tracer_handle, kOutgoingTagKinds);
    unsigned char tag[kTokenSize];
    vexlin_size_t size = 0;
    if (r != nullptr) {
        MakeToken(tag, kByteTagMagic, tracer_handle);
        size = kTokenSize;
    }
    call.Raw("tag", HexJsonOf(tag, size));
    return HandOut(call, tag, size, size, buffer, buffer_size, required_buffer_size);
}

void slot_tracer_set_incoming_korvantix_string_tag_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                     const vexlin_string_t* string_tag) {
    CONSOLE_CALL;
    call.Tracer(tracer_handle, kIncomingTagKinds);
    call.Str("tag", string_tag);
    std::uint64_t origin = 0;
    std::uint32_t pid = 0;
    if (string_tag != nullptr && ReadStringTag(TextOf(string_tag), &origin, &pid))
        call.Raw("origin", OriginJson(origin, pid));
}

void slot_tracer_set_incoming_korvantix_byte_tag(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                 const unsigned char* byte_tag, vexlin_size_t byte_tag_size) {
    CONSOLE_CALL;
    call.Tracer(tracer_handle, kIncomingTagKinds);
    bool missing = call.MissingArray(byte_tag, byte_tag_size, "byte_tag");
    call.Raw("tag", missing ? std::string("null") : HexJsonOf(byte_tag, byte_tag_size));
    std::uint64_t origin = 0;
    std::uint32_t pid = 0;
    if (!missing && ReadToken(byte_tag, byte_tag_size, kByteTagMagic, &origin, &pid))
        call.Raw("origin", OriginJson(origin, pid));
}

vexlin_tracer_handle_t slot_outgoingremotecalltracer_create_p(
    vexlin_abi_agent_t* agent, const vexlin_string_t* service_method, const vexlin_string_t* service_name,
    const vexlin_string_t* service_endpoint, vexlin_int32_t channel_type, const vexlin_string_t* channel_endpoint) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kOutgoingRemoteCall);
    call.Str("service_method", service_method);
    call.Str("service_name", service_name);
    call.Str("service_endpoint", service_endpoint);
    call.Int("channel_type", channel_type);
    call.Str("channel_endpoint", channel_endpoint);
    return handle;
}

void slot_outgoingremotecalltracer_set_protocol_name_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                       const vexlin_string_t* protocol_name) {
    CONSOLE_CALL;
    SetString(call, tracer_handle, Bit(Kind::kOutgoingRemoteCall), "protocol_name", protocol_name);
}

vexlin_tracer_handle_t slot_incomingremotecalltracer_create_p(vexlin_abi_agent_t* agent,
                                                              const vexlin_string_t* service_method,
                                                              const vexlin_string_t* service_name,
                                                              const vexlin_string_t* service_endpoint) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kIncomingRemoteCall);
    call.Str("service_method", service_method);
    call.Str("service_name", service_name);
    call.Str("service_endpoint", service_endpoint);
    return handle;
}

void slot_incomingremotecalltracer_set_protocol_name_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                       const vexlin_string_t* protocol_name) {
    CONSOLE_CALL;
    SetString(call, tracer_handle, Bit(Kind::kIncomingRemoteCall), "protocol_name", protocol_name);
}

vexlin_databaseinfo_handle_t slot_databaseinfo_create_p(vexlin_abi_agent_t* agent, const vexlin_string_t* name,
                                                        const vexlin_string_t* vendor, vexlin_int32_t channel_type,
                                                        const vexlin_string_t* channel_endpoint) {
    CONSOLE_CALL;
    return CreateInfo(call, Kind::kDatabaseInfo, "database_info",
                      Field("name", JsonOf(name)) + Field("vendor", JsonOf(vendor)) +
                          Field("channel_type", JsonOf(std::int64_t(channel_type))) +
                          Field("channel_endpoint", JsonOf(channel_endpoint)));
}

void slot_databaseinfo_delete(vexlin_abi_agent_t* agent, vexlin_databaseinfo_handle_t databaseinfo_handle) {
    CONSOLE_CALL;
    DeleteInfo(call, databaseinfo_handle, Kind::kDatabaseInfo, "database_info");
}

vexlin_tracer_handle_t slot_databaserequesttracer_create_sql_p(vexlin_abi_agent_t* agent,
                                                               vexlin_databaseinfo_handle_t databaseinfo_handle,
                                                               const vexlin_string_t* statement) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kDatabaseRequest);
    UseInfo(call, databaseinfo_handle, Kind::kDatabaseInfo, "database_info", "database");
    call.Str("statement", statement);
    return handle;
}

void slot_databaserequesttracer_set_returned_row_count(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                       vexlin_int32_t returned_row_count) {
    CONSOLE_CALL;
    SetInt(call, tracer_handle, Bit(Kind::kDatabaseRequest), "returned_row_count", returned_row_count);
}

void slot_databaserequesttracer_set_round_trip_count(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                     vexlin_int32_t round_trip_count) {
    CONSOLE_CALL;
    SetInt(call, tracer_handle, Bit(Kind::kDatabaseRequest), "round_trip_count", round_trip_count);
}

vexlin_webapplicationinfo_handle_t slot_webapplicationinfo_create_p(vexlin_abi_agent_t* agent,
                                                                    const vexlin_string_t* web_server_name,
                                                                    const vexlin_string_t* application_id,
                                                                    const vexlin_string_t* context_root) {
    CONSOLE_CALL;
    return CreateInfo(call, Kind::kWebApplicationInfo, "web_application_info",
                      Field("web_server_name", JsonOf(web_server_name)) +
                          Field("application_id", JsonOf(application_id)) +
                          Field("context_root", JsonOf(context_root)));
}

void slot_webapplicationinfo_delete(vexlin_abi_agent_t* agent,
                                    vexlin_webapplicationinfo_handle_t webapplicationinfo_handle) {
    CONSOLE_CALL;
    DeleteInfo(call, webapplicationinfo_handle, Kind::kWebApplicationInfo, "web_application_info");
}

vexlin_tracer_handle_t slot_incomingwebrequesttracer_create_p(
    vexlin_abi_agent_t* agent, vexlin_webapplicationinfo_handle_t webapplicationinfo_handle, const vexlin_string_t* url,
    const vexlin_string_t* method) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kIncomingWebRequest);
    UseInfo(call, webapplicationinfo_handle, Kind::kWebApplicationInfo, "web_application_info", "web_application");
    call.Str("url", url);
    call.Str("method", method);
    return handle;
}

void slot_incomingwebrequesttracer_set_remote_address_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                        const vexlin_string_t* remote_address) {
    CONSOLE_CALL;
    SetString(call, tracer_handle, Bit(Kind::kIncomingWebRequest), "remote_address", remote_address);
}

void slot_incomingwebrequesttracer_add_request_headers_p(vexlin_abi_agent_t* agent,
                                                         vexlin_tracer_handle_t tracer_handle,
                                                         const vexlin_string_t* names, const vexlin_string_t* values,
                                                         vexlin_size_t count) {
    CONSOLE_CALL;
    AddPairs(call, tracer_handle, Bit(Kind::kIncomingWebRequest), "request_headers", names, values, count);
}

void slot_incomingwebrequesttracer_add_parameters_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                    const vexlin_string_t* names, const vexlin_string_t* values,
                                                    vexlin_size_t count) {
    CONSOLE_CALL;
    AddPairs(call, tracer_handle, Bit(Kind::kIncomingWebRequest), "parameters", names, values, count);
}

void slot_incomingwebrequesttracer_add_response_headers_p(vexlin_abi_agent_t* agent,
                                                          vexlin_tracer_handle_t tracer_handle,
                                                          const vexlin_string_t* names, const vexlin_string_t* values,
                                                          vexlin_size_t count) {
    CONSOLE_CALL;
    AddPairs(call, tracer_handle, Bit(Kind::kIncomingWebRequest), "response_headers", names, values, count);
}

void slot_incomingwebrequesttracer_set_status_code(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                   vexlin_int32_t status_code) {
    CONSOLE_CALL;
    SetInt(call, tracer_handle, Bit(Kind::kIncomingWebRequest), "status_code", status_code);
}

template <typename T, typename Render>
void AddAttributes(Call& call, const vexlin_string_t* keys, const T* values, vexlin_size_t count, Render render) {
    CurrentTracer(call);
    call.UInt("count", count);
    bool missing = call.MissingArray(keys, count, "keys");
    missing = call.MissingArray(values, count, "values") || missing;
    call.Raw("attributes", missing ? std::string("null") : PairsJsonOf(keys, values, count, render));
}

void slot_customrequestattribute_add_integers_p(vexlin_abi_agent_t* agent, const vexlin_string_t* keys,
                                                const vexlin_int64_t* values, vexlin_size_t count) {
    CONSOLE_CALL;
    AddAttributes(call, keys, values, count, [](vexlin_int64_t v) { return JsonOf(std::int64_t(v)); });
}

void slot_customrequestattribute_add_floats_p(vexlin_abi_agent_t* agent, const vexlin_string_t* keys,
                                              const double* values, vexlin_size_t count) {
    CONSOLE_CALL;
    AddAttributes(call, keys, values, count, [](double v) { return JsonOf(v); });
}

void slot_customrequestattribute_add_strings_p(vexlin_abi_agent_t* agent, const vexlin_string_t* keys,
                                               const vexlin_string_t* values, vexlin_size_t count) {
    CONSOLE_CALL;
    AddAttributes(call, keys, values, count, [](const vexlin_string_t& v) { return JsonOf(&v); });
}

vexlin_size_t slot_inprocesslink_create(vexlin_abi_agent_t* agent, unsigned char* buffer, vexlin_size_t buffer_size,
                                        vexlin_size_t* required_buffer_size) {
    CONSOLE_CALL;
    if (!ModuleStarted()) return HandOut(call, nullptr, 0, 0, buffer, buffer_size, required_buffer_size);
    std::uint64_t current = CurrentTracer(call);
    unsigned char link[kTokenSize];
    MakeToken(link, kLinkMagic, current);
    call.Raw("link", HexJsonOf(link, kTokenSize));
    return HandOut(call, link, kTokenSize, kTokenSize, buffer, buffer_size, required_buffer_size);
}

vexlin_tracer_handle_t slot_inprocesslinktracer_create(vexlin_abi_agent_t* agent,
                                                       const unsigned char* in_process_link_bytes,
                                                       vexlin_size_t in_process_link_size) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kInProcessLink);
    bool missing = call.MissingArray(in_process_link_bytes, in_process_link_size, "in_process_link_bytes");
    call.Raw("link", missing ? std::string("null") : HexJsonOf(in_process_link_bytes, in_process_link_size));
    std::uint64_t origin = 0;
    std::uint32_t pid = 0;
    if (ReadToken(in_process_link_bytes, in_process_link_size, kLinkMagic, &origin, &pid) &&
        pid == static_cast<std::uint32_t>(::getpid())) {
        call.Handle("linked_tracer", origin);
    } else if (!missing) {
        call.Misuse("invalid_link", "the in-process link bytes were not made by inprocesslink_create in this process",
                    "tracer", handle, KindName(Kind::kInProcessLink));
    }
    return handle;
}

vexlin_tracer_handle_t slot_outgoingwebrequesttracer_create_p(vexlin_abi_agent_t* agent, const vexlin_string_t* url,
                                                              const vexlin_string_t* method) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kOutgoingWebRequest);
    call.Str("url", url);
    call.Str("method", method);
    return handle;
}

void slot_outgoingwebrequesttracer_add_request_headers_p(vexlin_abi_agent_t* agent,
                                                         vexlin_tracer_handle_t tracer_handle,
                                                         const vexlin_string_t* names, const vexlin_string_t* values,
                                                         vexlin_size_t count) {
    CONSOLE_CALL;
    AddPairs(call, tracer_handle, Bit(Kind::kOutgoingWebRequest), "request_headers", names, values, count);
}

void slot_outgoingwebrequesttracer_add_response_headers_p(vexlin_abi_agent_t* agent,
                                                          vexlin_tracer_handle_t tracer_handle,
                                                          const vexlin_string_t* names, const vexlin_string_t* values,
                                                          vexlin_size_t count) {
    CONSOLE_CALL;
    AddPairs(call, tracer_handle, Bit(Kind::kOutgoingWebRequest), "response_headers", names, values, count);
}

void slot_outgoingwebrequesttracer_set_status_code(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                   vexlin_int32_t status_code) {
    CONSOLE_CALL;
    SetInt(call, tracer_handle, Bit(Kind::kOutgoingWebRequest), "status_code", status_code);
}

vexlin_tracer_handle_t slot_customservicetracer_create_p(vexlin_abi_agent_t* agent,
                                                         const vexlin_string_t* service_method,
                                                         const vexlin_string_t* service_name) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kCustomService);
    call.Str("service_method", service_method);
    call.Str("service_name", service_name);
    return handle;
}

vexlin_messagingsysteminfo_handle_t slot_messagingsysteminfo_create_p(
    vexlin_abi_agent_t* agent, const vexlin_string_t* vendor_name, const vexlin_string_t* destination_name,
    vexlin_int32_t destination_type, vexlin_int32_t channel_type, const vexlin_string_t* channel_endpoint) {
    CONSOLE_CALL;
    return CreateInfo(call, Kind::kMessagingSystemInfo, "messaging_system_info",
                      Field("vendor_name", JsonOf(vendor_name)) + Field("destination_name", JsonOf(destination_name)) +
                          Field("destination_type", JsonOf(std::int64_t(destination_type))) +
                          Field("channel_type", JsonOf(std::int64_t(channel_type))) +
                          Field("channel_endpoint", JsonOf(channel_endpoint)));
}

void slot_messagingsysteminfo_delete(vexlin_abi_agent_t* agent,
                                     vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle) {
    CONSOLE_CALL;
    DeleteInfo(call, messagingsysteminfo_handle, Kind::kMessagingSystemInfo, "messaging_system_info");
}

std::uint64_t CreateMessageTracer(Call& call, Kind kind, vexlin_messagingsysteminfo_handle_t info) {
    std::uint64_t handle = CreateTracer(call, kind);
    UseInfo(call, info, Kind::kMessagingSystemInfo, "messaging_system_info", "messaging_system");
    return handle;
}

vexlin_tracer_handle_t slot_outgoingmessagetracer_create(
    vexlin_abi_agent_t* agent, vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle) {
    CONSOLE_CALL;
    return CreateMessageTracer(call, Kind::kOutgoingMessage, messagingsysteminfo_handle);
}

void slot_outgoingmessagetracer_set_vendor_message_id_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                        const vexlin_string_t* vendor_message_id) {
    CONSOLE_CALL;
    SetString(call, tracer_handle, Bit(Kind::kOutgoingMessage), "vendor_message_id", vendor_message_id);
}

void slot_outgoingmessagetracer_set_correlation_id_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                                     const vexlin_string_t* correlation_id) {
    CONSOLE_CALL;
    SetString(call, tracer_handle, Bit(Kind::kOutgoingMessage), "correlation_id", correlation_id);
}

vexlin_tracer_handle_t slot_incomingmessagereceivetracer_create(
    vexlin_abi_agent_t* agent, vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle) {
    CONSOLE_CALL;
    return CreateMessageTracer(call, Kind::kIncomingMessageReceive, messagingsysteminfo_handle);
}

vexlin_tracer_handle_t slot_incomingmessageprocesstracer_create(
    vexlin_abi_agent_t* agent, vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle) {
    CONSOLE_CALL;
    return CreateMessageTracer(call, Kind::kIncomingMessageProcess, messagingsysteminfo_handle);
}

void slot_incomingmessageprocesstracer_set_vendor_message_id_p(vexlin_abi_agent_t* agent,
                                                               vexlin_tracer_handle_t tracer_handle,
                                                               const vexlin_string_t* vendor_message_id) {
    CONSOLE_CALL;
    SetString(call, tracer_handle, Bit(Kind::kIncomingMessageProcess), "vendor_message_id", vendor_message_id);
}

void slot_incomingmessageprocesstracer_set_correlation_id_p(vexlin_abi_agent_t* agent,
                                                            vexlin_tracer_handle_t tracer_handle,
                                                            const vexlin_string_t* correlation_id) {
    CONSOLE_CALL;
    SetString(call, tracer_handle, Bit(Kind::kIncomingMessageProcess), "correlation_id", correlation_id);
}

vexlin_int32_t slot_agent_get_fork_state(vexlin_abi_agent_t* agent) {
    CONSOLE_CALL;
    vexlin_int32_t state = ForkState();
    call.Int("result", state);
    return state;
}

vexlin_result_t slot_agent_set_warning_callback(vexlin_abi_agent_t* agent, vexlin_agent_logging_callback_t* cb) {
    CONSOLE_CALL;
    SetCallback(CallbackKind::kWarning, cb);
    call.Raw("callback", JsonOf(cb != nullptr));
    call.Int("result", 0);
    return VEXLIN_SUCCESS;
}

vexlin_result_t slot_agent_set_verbose_callback(vexlin_abi_agent_t* agent, vexlin_agent_logging_callback_t* cb) {
    CONSOLE_CALL;
    SetCallback(CallbackKind::kVerbose, cb);
    call.Raw("callback", JsonOf(cb != nullptr));
    call.Int("result", 0);
    return VEXLIN_SUCCESS;
}

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) &slot_##name,
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) &slot_##name,
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) &slot_##name,
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) &slot_##name,
const vexlin_abi_agent_functions_5_t kAgentFunctions = {
#include "vexlin/internal/x-agent_funcs.h"
};
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

// The list fixes the slot order; these catch a table that drifted from it.
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)                                                 \
    static_assert(offsetof(vexlin_abi_agent_functions_5_t, vexlin_abi_##name) == (slot) * sizeof(void*), \
                  "slot " #slot " out of place");
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
static_assert(sizeof(vexlin_abi_agent_functions_5_t) == VEXLIN_ABI_AGENT_FUNCTIONS_5_SLOTS * sizeof(void*),
              "the agent table has 51 slots");

// ---- Extension tables -------------------------------------------------------

#define CONSOLE_EX_DECLARE(slot, field, exported, result, params, args, neutral) \
    result slot_##exported(vexlin_abi_agent_t* agent, VEXLIN_UNPAREN params);
#define CONSOLE_EX_DECLARE0(slot, field, exported, result, neutral) result slot_##exported(vexlin_abi_agent_t* agent);
VEXLIN_EX_METRICS_FUNCS(CONSOLE_EX_DECLARE, CONSOLE_EX_DECLARE0)
VEXLIN_EX_SPAN_FUNCS(CONSOLE_EX_DECLARE, CONSOLE_EX_DECLARE0)
VEXLIN_EX_TECHTYPE_FUNCS(CONSOLE_EX_DECLARE, CONSOLE_EX_DECLARE0)
VEXLIN_EX_TRACER_EXT_FUNCS(CONSOLE_EX_DECLARE, CONSOLE_EX_DECLARE0)
VEXLIN_EX_SERVERLESS_FUNCS(CONSOLE_EX_DECLARE, CONSOLE_EX_DECLARE0)

// Metrics keep their key as details, so every update line names the metric.
vexlin_metric_handle_t CreateMetric(Call& call, Kind kind, const vexlin_string_t* metric_key,
                                    const vexlin_string_t* unit, const vexlin_string_t* dimension_name) {
    std::uint64_t handle = call.NewHandle(kind, JsonOf(metric_key));
    call.UInt("metric", handle);
    call.Raw("kind", std::string("\"") + KindName(kind) + "\"");
    call.Str("metric_key", metric_key);
    call.Str("unit", unit);
    call.Str("dimension_name", dimension_name);
    return handle;
}

void UpdateMetric(Call& call, vexlin_metric_handle_t metric, Kind kind, const std::string& value,
                  const vexlin_string_t* dimension) {
    Record* r = call.Metric(metric, Bit(kind));
    if (r != nullptr) call.Raw("metric_key", r->details);
    call.Raw("value", value);
    call.Str("dimension", dimension);
}

void slot_metric_delete(vexlin_abi_agent_t* agent, vexlin_metric_handle_t metric_handle) {
    CONSOLE_CALL;
    Record* r = call.Metric(metric_handle, kAnyMetric);
    if (r != nullptr) call.Delete(metric_handle, *r);
}

#define CONSOLE_METRIC_CREATE(exported, kind)                                                                    \
    vexlin_metric_handle_t slot_##exported(vexlin_abi_agent_t* agent, const vexlin_string_t* metric_key,         \
                                           const vexlin_string_t* unit, const vexlin_string_t* dimension_name) { \
        CONSOLE_CALL;                                                                                            \
        return CreateMetric(call, kind, metric_key, unit, dimension_name);                                       \
    }
CONSOLE_METRIC_CREATE(integercountermetric_create_p, Kind::kIntegerCounter)
CONSOLE_METRIC_CREATE(floatcountermetric_create_p, Kind::kFloatCounter)
CONSOLE_METRIC_CREATE(integergaugemetric_create_p, Kind::kIntegerGauge)
CONSOLE_METRIC_CREATE(floatgaugemetric_create_p, Kind::kFloatGauge)
CONSOLE_METRIC_CREATE(integerstatisticsmetric_create_p, Kind::kIntegerStatistics)
CONSOLE_METRIC_CREATE(floatstatisticsmetric_create_p, Kind::kFloatStatistics)

#define CONSOLE_METRIC_UPDATE(exported, kind, type)                                                   \
    void slot_##exported(vexlin_abi_agent_t* agent, vexlin_metric_handle_t metric_handle, type value, \
                         const vexlin_string_t* dimension) {                                          \
        CONSOLE_CALL;                                                                                 \
        UpdateMetric(call, metric_handle, kind, JsonOf(value), dimension);                            \
    }
CONSOLE_METRIC_UPDATE(integercountermetric_increase_by_p, Kind::kIntegerCounter, vexlin_int64_t)
CONSOLE_METRIC_UPDATE(floatcountermetric_increase_by_p, Kind::kFloatCounter, double)
CONSOLE_METRIC_UPDATE(integergaugemetric_set_value_p, Kind::kIntegerGauge, vexlin_int64_t)
CONSOLE_METRIC_UPDATE(floatgaugemetric_set_value_p, Kind::kFloatGauge, double)
CONSOLE_METRIC_UPDATE(integerstatisticsmetric_add_value_p, Kind::kIntegerStatistics, vexlin_int64_t)
CONSOLE_METRIC_UPDATE(floatstatisticsmetric_add_value_p, Kind::kFloatStatistics, double)

vexlin_tracer_handle_t slot_ex_spantracer_create(vexlin_abi_agent_t* agent, vexlin_int32_t tracing_system_type) {
    CONSOLE_CALL;
    std::uint64_t handle = CreateTracer(call, Kind::kSpan);
    call.Int("tracing_system_type", tracing_system_type);
    return handle;
}

void slot_ex_spantracer_set_ids_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer,
                                  const vexlin_ex_trace_id_t* trace_id, const vexlin_ex_span_id_t* span_id,
                                  const vexlin_ex_span_id_t* parent_span_id) {
    CONSOLE_CALL;
    call.Tracer(tracer, Bit(Kind::kSpan));
    call.Raw("trace_id", trace_id != nullptr ? HexJsonOf(trace_id->binary_id, 16) : std::string("null"));
    call.Raw("span_id", span_id != nullptr ? HexJsonOf(span_id->binary_id, 8) : std::string("null"));
    call.Raw("parent_span_id",
             parent_span_id != nullptr ? HexJsonOf(parent_span_id->binary_id, 8) : std::string("null"));
}

template <typename T, typename Render>
void SetSpanAttributes(Call& call, vexlin_tracer_handle_t tracer, const vexlin_string_t* keys, const T* values,
                       vexlin_size_t count, Render render) {
    call.Tracer(tracer, Bit(Kind::kSpan));
    call.UInt("count", count);
    bool missing = call.MissingArray(keys, count, "keys");
    missing = call.MissingArray(values, count, "values") || missing;
    call.Raw("attributes", missing ? std::string("null") : PairsJsonOf(keys, values, count, render));
}

void slot_ex_spantracer_set_integers_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer,
                                       const vexlin_string_t* keys, const vexlin_int64_t* values, vexlin_size_t count) {
    CONSOLE_CALL;
    SetSpanAttributes(call, tracer, keys, values, count, [](vexlin_int64_t v) { return JsonOf(std::int64_t(v)); });
}

void slot_ex_spantracer_set_doubles_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer,
                                      const vexlin_string_t* keys, const double* values, vexlin_size_t count) {
    CONSOLE_CALL;
    SetSpanAttributes(call, tracer, keys, values, count, [](double v) { return JsonOf(v); });
}

void slot_ex_spantracer_set_floats_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer,
                                     const vexlin_string_t* keys, const float* values, vexlin_size_t count) {
    CONSOLE_CALL;
    SetSpanAttributes(call, tracer, keys, values, count, [](float v) { return JsonOf(v); });
}

void slot_ex_spantracer_set_bools_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer,
                                    const vexlin_string_t* keys, const unsigned char* values, vexlin_size_t count) {
    CONSOLE_CALL;
    SetSpanAttributes(call, tracer, keys, values, count, [](unsigned char v) { return JsonOf(v != 0); });
}

void slot_ex_spantracer_set_strings_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer,
                                      const vexlin_string_t* keys, const vexlin_string_t* values, vexlin_size_t count) {
    CONSOLE_CALL;
    SetSpanAttributes(call, tracer, keys, values, count, [](const vexlin_string_t& v) { return JsonOf(&v); });
}

void slot_ex_spantracer_set_operationname_p(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer,
                                            const vexlin_string_t* operation_name) {
    CONSOLE_CALL;
    SetString(call, tracer, Bit(Kind::kSpan), "operation_name", operation_name);
}

void slot_ex_agent_add_process_technology_p(vexlin_abi_agent_t* agent, vexlin_int32_t tech_type,
                                            const vexlin_string_t* tech_edition, const vexlin_string_t* tech_version) {
    CONSOLE_CALL;
    call.Int("tech_type", tech_type);
    call.Str("tech_edition", tech_edition);
    call.Str("tech_version", tech_version);
}

// Times of the timed variants are microseconds since the epoch; 0 means now.
vexlin_bool_t slot_ex_tracer_start_2(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                                     vexlin_tracer_handle_t parent_tracer_handle, vexlin_int64_t start_time_micro) {
    CONSOLE_CALL;
    return Start(call, tracer_handle, parent_tracer_handle, start_time_micro > 0 ? start_time_micro : call.now_us(),
                 true)
               ? 1
               : 0;
}

void slot_ex_tracer_end_timed(vexlin_abi_agent_t* agent, vexlin_tracer_handle_t tracer_handle,
                              vexlin_int64_t end_time_micro) {
    CONSOLE_CALL;
    End(call, tracer_handle, end_time_micro > 0 ? end_time_micro : call.now_us());
}

void slot_ex_agent_force_send_data_now(vexlin_abi_agent_t* agent) {
    CONSOLE_CALL;
    (void)call;  // the line is all there is to send
}

#define CONSOLE_EX_ENTRY(slot, field, exported, result, params, args, neutral) &slot_##exported,
#define CONSOLE_EX_ENTRY0(slot, field, exported, result, neutral) &slot_##exported,
const vexlin_abi_library_functions_ex_metrics_t kMetricsTable = {
    VEXLIN_EX_METRICS_FUNCS(CONSOLE_EX_ENTRY, CONSOLE_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_span_t kSpanTable = {VEXLIN_EX_SPAN_FUNCS(CONSOLE_EX_ENTRY, CONSOLE_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_techtype_t kTechtypeTable = {
    VEXLIN_EX_TECHTYPE_FUNCS(CONSOLE_EX_ENTRY, CONSOLE_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_tracer_ext_t kTracerExtTable = {
    VEXLIN_EX_TRACER_EXT_FUNCS(CONSOLE_EX_ENTRY, CONSOLE_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_serverless_t kServerlessTable = {
    VEXLIN_EX_SERVERLESS_FUNCS(CONSOLE_EX_ENTRY, CONSOLE_EX_ENTRY0)};

// ---- Library tables ----------------------------------------------------------

const vexlin_xchar_t* GetVersionString() { return kVersion; }

vexlin_result_t GetAgent5(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                          const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message_buffer,
                          vexlin_size_t message_buffer_length) {
    Call call("lifecycle", "get_agent");
    vexlin_result_t result = VEXLIN_SUCCESS;
    std::string error;
    if (stub_version == nullptr || agent_out == nullptr || functions_out == nullptr) {
        result = VEXLIN_ERROR_INVALID_ARGUMENT;
        error = "console agent: get_agent needs the stub version and both out pointers";
    } else {
        char version[64];
        std::snprintf(version, sizeof version, "%" PRIu32 ".%" PRIu32 ".%" PRIu32 ".%" PRIu32,
                      stub_version->version_major, stub_version->version_minor, stub_version->version_patch,
                      stub_version->version_build);
        call.Text("stub_version", version);
        call.Text("stub_build_timestamp",
                  std::string(stub_version->build_timestamp,
                              strnlen(stub_version->build_timestamp, sizeof stub_version->build_timestamp)));
        if (stub_version->version_major != 1) {
            result = VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
            error = std::string("console agent: stub version ") + version + " is not supported (major version 1 is)";
        } else if (!ModuleStarted()) {
            result = VEXLIN_ERROR_NOT_INITIALIZED;
            error = "console agent: get_agent before the module was initialized";
        } else {
            unsigned references = 0;
            *agent_out = AcquireAgent(&references);
            *functions_out = &kAgentFunctions;
            call.UInt("references", references);
        }
    }
    if (!error.empty()) {
        call.Text("error", error);
        CopyMessage(message_buffer, message_buffer_length, error);
    }
    call.Int("result", result);
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
}  // namespace console

// ---- Entry points -------------------------------------------------------------

CONSOLE_EXPORT vexlin_result_t sdkagent_abi_initialize(vexlin_size_t argument_count,
                                                       const vexlin_xchar_t* const* arguments,
                                                       vexlin_xchar_t* message_buffer,
                                                       vexlin_size_t message_buffer_length) {
    return console::ModuleInitialize(argument_count, arguments, message_buffer, message_buffer_length);
}

CONSOLE_EXPORT vexlin_result_t sdkagent_abi_get_library(vexlin_uint32_t interface_id, vexlin_uint32_t level,
                                                        const void** table_out, vexlin_xchar_t* message_buffer,
                                                        vexlin_size_t message_buffer_length) {
    using namespace console;
    Call call("lifecycle", "get_library");
    call.UInt("interface", interface_id);
    call.UInt("level", level);
    const Interface* found = nullptr;
    for (const Interface& i : kInterfaces)
        if (i.id == interface_id) found = &i;
    if (found != nullptr) call.Text("name", found->name);

    vexlin_result_t result = VEXLIN_SUCCESS;
    std::string error;
    if (!ModuleStarted()) {
        result = VEXLIN_ERROR_NOT_INITIALIZED;
        error = "console agent: get_library before the module was initialized";
    } else if (table_out == nullptr) {
        result = VEXLIN_ERROR_INVALID_ARGUMENT;
        error = "console agent: get_library without an out pointer";
    } else if (found == nullptr) {
        result = VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
        error = "console agent: interface " + std::to_string(interface_id) + " is not supported";
    } else if (level > found->max_level) {
        result = VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
        error = "console agent: interface " + std::to_string(interface_id) + " is supported up to level " +
                std::to_string(found->max_level) + ", not " + std::to_string(level);
    } else {
        *table_out = found->table;
    }
    if (!error.empty()) {
        call.Text("error", error);
        CopyMessage(message_buffer, message_buffer_length, error);
    }
    call.Int("result", result);
    return result;
}

CONSOLE_EXPORT vexlin_result_t sdkagent_abi_shutdown(void) { return console::ModuleShutdown(); }

static_assert(std::is_same<decltype(sdkagent_abi_initialize), sdkagent_abi_initialize_function_t>::value,
              "initialize entry point signature");
static_assert(std::is_same<decltype(sdkagent_abi_get_library), sdkagent_abi_get_library_function_t>::value,
              "get_library entry point signature");
static_assert(std::is_same<decltype(sdkagent_abi_shutdown), sdkagent_abi_shutdown_function_t>::value,
              "shutdown entry point signature");
