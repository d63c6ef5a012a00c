// The plain records the exporter works on: attribute values, spans with their
// events and status, metric data points, and the resource. Nothing here knows
// the library's tables or the wire formats.
#ifndef VEXLIN_OTLP_MODEL_H
#define VEXLIN_OTLP_MODEL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace otlp {

enum class ValueType : std::uint8_t { kString, kInt, kDouble, kBool, kStringArray };

struct AnyValue {
    ValueType type = ValueType::kString;
    bool b = false;
    std::int64_t i = 0;
    double d = 0;
    std::string s;
    std::vector<std::string> array;
};

// Keys of the semantic conventions are literals and cost no copy; keys the
// application chose are owned.
struct KeyValue {
    const char* fixed_key = nullptr;
    std::string owned_key;
    AnyValue value;
    const char* Key() const { return fixed_key != nullptr ? fixed_key : owned_key.c_str(); }
    std::size_t KeyLength() const;
};

using Attributes = std::vector<KeyValue>;

KeyValue& AddAttribute(Attributes& list, const char* fixed_key, ValueType type);
KeyValue& AddAttribute(Attributes& list, std::string key, ValueType type);
void AddString(Attributes& list, const char* key, std::string value);
void AddInt(Attributes& list, const char* key, std::int64_t value);

constexpr std::size_t kNoLimit = SIZE_MAX;

// Attribute and event limits as OpenTelemetry's settings give them; lengths
// count characters.
struct Limits {
    std::size_t span_attribute_count = 128;
    std::size_t span_value_length = kNoLimit;
    std::size_t event_count = 128;
    std::size_t event_attribute_count = 128;
    std::size_t value_length = kNoLimit;  // of metric dimension values
};

// OpenTelemetry's attribute limits on a list in the order it was set: a key
// set again keeps its place and takes the last value, an empty key and a new
// key past `count` are dropped, and strings are cut to `length` characters.
// Returns how many were dropped.
std::uint32_t ApplyLimits(Attributes& list, std::size_t count, std::size_t length);
// Cuts valid UTF-8 to at most `chars` characters.
void Truncate(std::string& text, std::size_t chars);

// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD:
// OTLP strings must be valid UTF-8 (otlp_utf8.cpp).
std::string ValidUtf8(std::string_view text);
bool IsValidUtf8(std::string_view text);

enum class SpanKind : std::uint8_t { kUnspecified, kInternal, kServer, kClient, kProducer, kConsumer };
enum class StatusCode : std::uint8_t { kUnset, kOk, kError };

// Span flags: the W3C trace flags in bits 0-7, then whether the parent's
// remoteness is known and whether it is remote.
constexpr std::uint32_t kFlagSampled = 0x01;
constexpr std::uint32_t kFlagHasIsRemote = 0x100;
constexpr std::uint32_t kFlagParentIsRemote = 0x200;

struct Event {
    std::uint64_t time_ns = 0;
    std::string name;
    Attributes attributes;
    std::uint32_t dropped_attributes_count = 0;
};

struct SpanData {
    std::uint8_t trace_id[16] = {};
    std::uint8_t span_id[8] = {};
    std::uint8_t parent_span_id[8] = {};
    bool has_parent = false;
    std::string trace_state;
    std::uint32_t flags = 0;
    std::string name;
    SpanKind kind = SpanKind::kInternal;
    std::uint64_t start_ns = 0;
    std::uint64_t end_ns = 0;
    Attributes attributes;
    std::vector<Event> events;
    std::uint32_t dropped_attributes_count = 0;
    std::uint32_t dropped_events_count = 0;
    StatusCode status = StatusCode::kUnset;
    std::string status_message;
};

enum class MetricType : std::uint8_t { kSum, kGauge, kSummary };

struct DataPoint {
    Attributes attributes;
    std::uint64_t start_ns = 0;
    std::uint64_t time_ns = 0;
    bool is_double = false;  // sums and gauges
    std::int64_t as_int = 0;
    double as_double = 0;
    std::uint64_t count = 0;  // summaries
    double sum = 0, min = 0, max = 0;
};

struct MetricData {
    std::string name;
    std::string unit;
    MetricType type = MetricType::kSum;
    std::vector<DataPoint> points;
};

struct Scope {
    std::string name;
    std::string version;
};

}  // namespace otlp

#endif  // VEXLIN_OTLP_MODEL_H
