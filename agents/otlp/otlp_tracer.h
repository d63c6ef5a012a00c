// What one tracer collects between create and end: the span it becomes, and
// the application's raw values, which MapTracer (otlp_mapping.cpp) turns into
// name, kind, attributes and status on the exporter thread. Info objects are
// shared with the tracers built on them and live until the last one is gone.
#ifndef VEXLIN_OTLP_TRACER_H
#define VEXLIN_OTLP_TRACER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "otlp_model.h"

namespace otlp {

enum class TracerKind : std::uint8_t {
    kIncomingWebRequest,
    kOutgoingWebRequest,
    kIncomingRemoteCall,
    kOutgoingRemoteCall,
    kDatabaseRequest,
    kCustomService,
    kOutgoingMessage,
    kIncomingMessageReceive,
    kIncomingMessageProcess,
    kInProcessLink,
    kSpan,
};

struct Info {
    std::atomic<int> references{1};
    std::string name;         // database name, web server name, messaging vendor
    std::string vendor;       // database vendor, web application id, destination name
    std::string endpoint;     // channel endpoint, context root
    std::int32_t number = 0;  // channel type, destination type
};

void ReleaseInfo(Info* info);

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct Tracer : SpanData {
    TracerKind tracer_kind = TracerKind::kSpan;
    bool sampled = true;
    bool ids_set = false;                // extension span ids given by the application
    bool has_given_parent = false;       // incoming tag or in-process link
    bool given_parent_is_remote = false;
    std::uint8_t given_flags = 0;
    unsigned fork_epoch = 0;
    std::uint64_t previous_current = 0;  // the thread's current tracer before this one started

    Info* info = nullptr;
    std::string url, method, remote_address;
    std::string service_method, service_name, service_endpoint, channel_endpoint, protocol;
    std::string statement, message_id, correlation_id, operation_name;
    std::int32_t status_code = -1;
    std::int64_t returned_rows = -1, round_trips = -1;
    Pairs request_headers, response_headers, parameters;
};

// The exporter thread's hooks: build the span from the raw values, then free.
void MapTracer(SpanData* span);
void DestroyTracer(SpanData* span);

}  // namespace otlp

#endif  // VEXLIN_OTLP_TRACER_H
