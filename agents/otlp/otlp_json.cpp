// Protobuf JSON as OTLP/HTTP wants it: lowerCamelCase names, ids as lower-case
// hex, enums as integers, 64-bit integers as decimal strings. Default values
// are left out, as in the binary encoding.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kit.h"
#include "otlp_encode.h"

namespace otlp {
namespace {

struct Json {
    std::string out;

    void Raw(const char* text) { out += text; }
    void Key(const char* key) {
        if (!out.empty() && out.back() != '{' && out.back() != '[') out.push_back(',');
        out.push_back('"');
        out += key;
        out += "\":";
    }
    void Str(const char* s, std::size_t n) { vexlin_kit::AppendJsonString(out, std::string_view(s, n)); }
    void Str(const std::string& s) { Str(s.data(), s.size()); }
    void Field(const char* key, const std::string& s) {
        if (s.empty()) return;
        Key(key);
        Str(s);
    }
    void Hex(const char* key, const std::uint8_t* id, std::size_t n) {
        Key(key);
        out.push_back('"');
        vexlin_kit::AppendHex(out, id, n);
        out.push_back('"');
    }
    void U64(const char* key, std::uint64_t v) {
        char text[32];
        std::snprintf(text, sizeof text, "\"%" PRIu64 "\"", v);
        Key(key);
        out += text;
    }
    void I64(const char* key, std::int64_t v) {
        char text[32];
        std::snprintf(text, sizeof text, "\"%" PRId64 "\"", v);
        Key(key);
        out += text;
    }
    void Number(const char* key, std::uint64_t v) {
        if (v == 0) return;
        char text[32];
        std::snprintf(text, sizeof text, "%" PRIu64, v);
        Key(key);
        out += text;
    }
    void Double(const char* key, double d) {
        Key(key);
        vexlin_kit::AppendJsonReal(out, d);
    }
    void Open(const char* key, char bracket) {
        if (key != nullptr)
            Key(key);
        else if (!out.empty() && out.back() != '{' && out.back() != '[')
            out.push_back(',');
        out.push_back(bracket);
    }
    void Close(char bracket) { out.push_back(bracket); }
};

void WriteValue(Json& j, const AnyValue& v) {
    j.Open("value", '{');
    switch (v.type) {
        case ValueType::kString:
            j.Key("stringValue");
            j.Str(v.s);
            break;
        case ValueType::kBool:
            j.Key("boolValue");
            j.Raw(v.b ? "true" : "false");
            break;
        case ValueType::kInt:
            j.I64("intValue", v.i);
            break;
        case ValueType::kDouble:
            j.Double("doubleValue", v.d);
            break;
        case ValueType::kStringArray:
            j.Open("arrayValue", '{');
            j.Open("values", '[');
            for (const std::string& s : v.array) {
                j.Open(nullptr, '{');
                j.Key("stringValue");
                j.Str(s);
                j.Close('}');
            }
            j.Close(']');
            j.Close('}');
            break;
    }
    j.Close('}');
}

void WriteAttributes(Json& j, const Attributes& list) {
    if (list.empty()) return;
    j.Open("attributes", '[');
    for (const KeyValue& a : list) {
        j.Open(nullptr, '{');
        j.Key("key");
        j.Str(a.Key(), a.KeyLength());
        WriteValue(j, a.value);
        j.Close('}');
    }
    j.Close(']');
}

void OpenHead(Json& j, const char* outer, const char* scoped, const RequestHead& head) {
    j.Open(nullptr, '{');
    j.Open(outer, '[');
    j.Open(nullptr, '{');
    j.Open("resource", '{');
    WriteAttributes(j, *head.resource);
    j.Close('}');
    j.Open(scoped, '[');
    j.Open(nullptr, '{');
    j.Open("scope", '{');
    j.Field("name", head.scope->name);
    j.Field("version", head.scope->version);
    j.Close('}');
}

void CloseHead(Json& j) { j.Raw("}]}]}"); }

void WriteSpan(Json& j, const SpanData& s) {
    j.Open(nullptr, '{');
    j.Hex("traceId", s.trace_id, 16);
    j.Hex("spanId", s.span_id, 8);
    j.Field("traceState", s.trace_state);
    if (s.has_parent) j.Hex("parentSpanId", s.parent_span_id, 8);
    j.Number("flags", s.flags);
    j.Field("name", s.name);
    j.Number("kind", static_cast<unsigned>(s.kind));
    j.U64("startTimeUnixNano", s.start_ns);
    j.U64("endTimeUnixNano", s.end_ns);
    WriteAttributes(j, s.attributes);
    j.Number("droppedAttributesCount", s.dropped_attributes_count);
    if (!s.events.empty()) {
        j.Open("events", '[');
        for (const Event& e : s.events) {
            j.Open(nullptr, '{');
            j.U64("timeUnixNano", e.time_ns);
            j.Field("name", e.name);
            WriteAttributes(j, e.attributes);
            j.Number("droppedAttributesCount", e.dropped_attributes_count);
            j.Close('}');
        }
        j.Close(']');
    }
    j.Number("droppedEventsCount", s.dropped_events_count);
    if (s.status != StatusCode::kUnset || !s.status_message.empty()) {
        j.Open("status", '{');
        j.Field("message", s.status_message);
        j.Number("code", static_cast<unsigned>(s.status));
        j.Close('}');
    }
    j.Close('}');
}

void WritePoint(Json& j, const DataPoint& p, MetricType type) {
    j.Open(nullptr, '{');
    WriteAttributes(j, p.attributes);
    j.U64("startTimeUnixNano", p.start_ns);
    j.U64("timeUnixNano", p.time_ns);
    if (type == MetricType::kSummary) {
        j.U64("count", p.count);
        j.Double("sum", p.sum);
        j.Open("quantileValues", '[');
        j.Open(nullptr, '{');
        j.Double("quantile", 0.0);
        j.Double("value", p.min);
        j.Close('}');
        j.Open(nullptr, '{');
        j.Double("quantile", 1.0);
        j.Double("value", p.max);
        j.Close('}');
        j.Close(']');
    } else if (p.is_double) {
        j.Double("asDouble", p.as_double);
    } else {
        j.I64("asInt", p.as_int);
    }
    j.Close('}');
}

// The number or decimal string after "key": in an answer; 0 when absent.
std::int64_t FindInteger(const std::string& body, const char* key) {
    std::size_t at = body.find(std::string("\"") + key + "\"");
    if (at == std::string::npos) return 0;
    at = body.find(':', at);
    if (at == std::string::npos) return 0;
    const char* p = body.c_str() + at + 1;
    while (*p == ' ' || *p == '"' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    return std::strtoll(p, nullptr, 10);
}

// The string after "key": in an answer, its escapes decoded.
const char kEscapeNames[] = "bfnrt";
std::string FindString(const std::string& body, const char* key) {
    std::size_t at = body.find(std::string("\"") + key + "\"");
    if (at == std::string::npos) return std::string();
    at = body.find('"', body.find(':', at));
    std::string out;
    for (std::size_t i = at + 1; at != std::string::npos && i < body.size() && body[i] != '"'; ++i) {
        char c = body[i];
        if (c == '\\' && i + 1 < body.size()) {
            c = body[++i];
            if (c == 'u' && i + 4 < body.size()) {  // a unit of the basic plane; a surrogate stays invalid
                const unsigned long u = std::strtoul(body.substr(i + 1, 4).c_str(), nullptr, 16);
                i += 4;
                if (u >= 0x80) {
                    if (u >= 0x800) out.push_back(static_cast<char>(0xE0 | (u >> 12)));
                    out.push_back(static_cast<char>(u >= 0x800 ? 0x80 | ((u >> 6) & 0x3F) : 0xC0 | (u >> 6)));
                    c = static_cast<char>(0x80 | (u & 0x3F));
                } else {
                    c = static_cast<char>(u);
                }
            } else if (const char* name = c != '\0' ? std::strchr(kEscapeNames, c) : nullptr) {
                c = "\b\f\n\r\t"[name - kEscapeNames];
            }
        }
        out.push_back(c);
    }
    return out;
}

}  // namespace

std::string JsonTraces(const RequestHead& head, SpanData* const* spans, std::size_t count) {
    Json j;
    j.out.reserve(512 + count * 512);
    OpenHead(j, "resourceSpans", "scopeSpans", head);
    j.Open("spans", '[');
    for (std::size_t i = 0; i < count; ++i) WriteSpan(j, *spans[i]);
    j.Close(']');
    CloseHead(j);
    return std::move(j.out);
}

std::string JsonMetrics(const RequestHead& head, const std::vector<MetricData>& metrics) {
    Json j;
    OpenHead(j, "resourceMetrics", "scopeMetrics", head);
    j.Open("metrics", '[');
    for (const MetricData& m : metrics) {
        j.Open(nullptr, '{');
        j.Field("name", m.name);
        j.Field("unit", m.unit);
        j.Open(m.type == MetricType::kSum ? "sum" : m.type == MetricType::kGauge ? "gauge" : "summary", '{');
        j.Open("dataPoints", '[');
        for (const DataPoint& p : m.points) WritePoint(j, p, m.type);
        j.Close(']');
        if (m.type == MetricType::kSum) {
            j.Number("aggregationTemporality", 2);
            j.Key("isMonotonic");
            j.Raw("true");
        }
        j.Close('}');
        j.Close('}');
    }
    j.Close(']');
    CloseHead(j);
    return std::move(j.out);
}

bool JsonPartialSuccess(const std::string& body, std::int64_t* rejected, std::string* message) {
    *rejected = FindInteger(body, "rejectedSpans") + FindInteger(body, "rejectedDataPoints");
    *message = FindString(body, "errorMessage");
    return *rejected != 0 || !message->empty();
}

}  // namespace otlp
