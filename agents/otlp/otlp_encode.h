// The two encodings of an export request: binary protobuf (otlp_proto.cpp)
// and protobuf JSON (otlp_json.cpp), and the reading of the partial_success
// of an answer in either.
#ifndef VEXLIN_OTLP_ENCODE_H
#define VEXLIN_OTLP_ENCODE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "otlp_model.h"

namespace otlp {

enum class Format : std::uint8_t { kProtobuf, kJson };

struct RequestHead {
    const Attributes* resource;
    const Scope* scope;
};

std::string ProtoTraces(const RequestHead& head, SpanData* const* spans, std::size_t count);
std::string ProtoMetrics(const RequestHead& head, const std::vector<MetricData>& metrics);
bool ProtoPartialSuccess(const std::string& body, std::int64_t* rejected, std::string* message);

std::string JsonTraces(const RequestHead& head, SpanData* const* spans, std::size_t count);
std::string JsonMetrics(const RequestHead& head, const std::vector<MetricData>& metrics);
bool JsonPartialSuccess(const std::string& body, std::int64_t* rejected, std::string* message);

inline std::string EncodeTraces(Format f, const RequestHead& head, SpanData* const* spans, std::size_t count) {
    return f == Format::kJson ? JsonTraces(head, spans, count) : ProtoTraces(head, spans, count);
}
inline std::string EncodeMetrics(Format f, const RequestHead& head, const std::vector<MetricData>& metrics) {
    return f == Format::kJson ? JsonMetrics(head, metrics) : ProtoMetrics(head, metrics);
}
// False when the answer carries no partial_success, or one that says nothing
// (nothing rejected, no message): a message alone is a warning worth logging.
inline bool ReadPartialSuccess(Format f, const std::string& body, std::int64_t* rejected, std::string* message) {
    return f == Format::kJson ? JsonPartialSuccess(body, rejected, message)
                              : ProtoPartialSuccess(body, rejected, message);
}

}  // namespace otlp

#endif  // VEXLIN_OTLP_ENCODE_H
