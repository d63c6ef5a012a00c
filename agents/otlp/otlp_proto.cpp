// Binary protobuf by hand, after proto/*.proto: varints, fixed-width numbers
// and length-delimited fields. A nested message gets a one-byte length slot
// that is widened in place once its size is known. No protobuf runtime is
// linked, so none can clash with the application's own.
#include <cstring>

#include "otlp_encode.h"

namespace otlp {
namespace {

enum Wire { kVarint = 0, kFixed64 = 1, kLen = 2, kFixed32 = 5 };

struct Writer {
    std::string out;

    void Varint(std::uint64_t v) {
        while (v >= 0x80) {
            out.push_back(static_cast<char>(v | 0x80));
            v >>= 7;
        }
        out.push_back(static_cast<char>(v));
    }
    void Tag(unsigned field, Wire wire) { Varint((std::uint64_t(field) << 3) | wire); }
    void Bytes(unsigned field, const void* data, std::size_t size) {
        Tag(field, kLen);
        Varint(size);
        out.append(static_cast<const char*>(data), size);
    }
    // Every string goes out valid UTF-8, whatever its source.
    void Text(unsigned field, std::string_view s) {
        if (IsValidUtf8(s)) return Bytes(field, s.data(), s.size());
        const std::string valid = ValidUtf8(s);
        Bytes(field, valid.data(), valid.size());
    }
    // proto3 leaves default values out.
    void String(unsigned field, const std::string& s) {
        if (!s.empty()) Text(field, s);
    }
    void Uint(unsigned field, std::uint64_t v) {
        if (v == 0) return;
        Tag(field, kVarint);
        Varint(v);
    }
    void Fixed64(unsigned field, std::uint64_t v) {
        Tag(field, kFixed64);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    }
    void Fixed32(unsigned field, std::uint32_t v) {
        Tag(field, kFixed32);
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
    }
    void Double(unsigned field, double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        Fixed64(field, bits);
    }
    std::size_t Begin(unsigned field) {
        Tag(field, kLen);
        out.push_back(0);
        return out.size();
    }
    void End(std::size_t body) {
        std::size_t size = out.size() - body;
        unsigned extra = 0;
        for (std::size_t v = size >> 7; v != 0; v >>= 7) ++extra;
        if (extra != 0) out.insert(body, extra, '\0');
        std::size_t at = body - 1;
        for (unsigned i = 0; i < extra; ++i, size >>= 7) out[at++] = static_cast<char>(size | 0x80);
        out[at] = static_cast<char>(size);
    }
};

void WriteAnyValue(Writer& w, const AnyValue& v) {
    switch (v.type) {
        case ValueType::kString:
            w.Text(1, v.s);  // an empty string is still a value
            break;
        case ValueType::kBool:
            w.Tag(2, kVarint);
            w.Varint(v.b ? 1 : 0);
            break;
        case ValueType::kInt:
            w.Tag(3, kVarint);
            w.Varint(static_cast<std::uint64_t>(v.i));
            break;
        case ValueType::kDouble:
            w.Double(4, v.d);
            break;
        case ValueType::kStringArray: {
            std::size_t array = w.Begin(5);
            for (const std::string& s : v.array) {
                std::size_t any = w.Begin(1);
                w.Text(1, s);
                w.End(any);
            }
            w.End(array);
            break;
        }
    }
}

void WriteAttributes(Writer& w, unsigned field, const Attributes& list) {
    for (const KeyValue& a : list) {
        std::size_t kv = w.Begin(field);
        w.Text(1, std::string_view(a.Key(), a.KeyLength()));
        std::size_t any = w.Begin(2);
        WriteAnyValue(w, a.value);
        w.End(any);
        w.End(kv);
    }
}

// Resource (field 1) and the opening of the scope message (field 2), whose
// scope (field 1) is written here; the caller adds the items and closes it.
std::size_t WriteHead(Writer& w, const RequestHead& head) {
    std::size_t resource = w.Begin(1);
    WriteAttributes(w, 1, *head.resource);
    w.End(resource);
    std::size_t scoped = w.Begin(2);
    std::size_t scope = w.Begin(1);
    w.String(1, head.scope->name);
    w.String(2, head.scope->version);
    w.End(scope);
    return scoped;
}

void WriteSpan(Writer& w, const SpanData& s) {
    std::size_t span = w.Begin(2);
    w.Bytes(1, s.trace_id, 16);
    w.Bytes(2, s.span_id, 8);
    w.String(3, s.trace_state);
    if (s.has_parent) w.Bytes(4, s.parent_span_id, 8);
    w.String(5, s.name);
    w.Uint(6, static_cast<unsigned>(s.kind));
    w.Fixed64(7, s.start_ns);
    w.Fixed64(8, s.end_ns);
    WriteAttributes(w, 9, s.attributes);
    w.Uint(10, s.dropped_attributes_count);
    for (const Event& e : s.events) {
        std::size_t event = w.Begin(11);
        w.Fixed64(1, e.time_ns);
        w.String(2, e.name);
        WriteAttributes(w, 3, e.attributes);
        w.Uint(4, e.dropped_attributes_count);
        w.End(event);
    }
    w.Uint(12, s.dropped_events_count);
    if (s.status != StatusCode::kUnset || !s.status_message.empty()) {
        std::size_t status = w.Begin(15);
        w.String(2, s.status_message);
        w.Uint(3, static_cast<unsigned>(s.status));
        w.End(status);
    }
    w.Fixed32(16, s.flags);
    w.End(span);
}

void WritePoint(Writer& w, const DataPoint& p, MetricType type) {
    WriteAttributes(w, 7, p.attributes);
    w.Fixed64(2, p.start_ns);
    w.Fixed64(3, p.time_ns);
    if (type == MetricType::kSummary) {
        w.Fixed64(4, p.count);
        w.Double(5, p.sum);
        const double quantiles[2][2] = {{0.0, p.min}, {1.0, p.max}};
        for (const auto& q : quantiles) {
            std::size_t at = w.Begin(6);
            w.Double(1, q[0]);
            w.Double(2, q[1]);
            w.End(at);
        }
    } else if (p.is_double) {
        w.Double(4, p.as_double);
    } else {
        w.Fixed64(6, static_cast<std::uint64_t>(p.as_int));  // sfixed64
    }
}

void WriteMetric(Writer& w, const MetricData& m) {
    std::size_t metric = w.Begin(2);
    w.String(1, m.name);
    w.String(3, m.unit);
    unsigned data_field = m.type == MetricType::kSum ? 7 : m.type == MetricType::kGauge ? 5 : 11;
    std::size_t data = w.Begin(data_field);
    for (const DataPoint& p : m.points) {
        std::size_t point = w.Begin(1);
        WritePoint(w, p, m.type);
        w.End(point);
    }
    if (m.type == MetricType::kSum) {
        w.Uint(2, 2);  // cumulative
        w.Uint(3, 1);  // monotonic
    }
    w.End(data);
    w.End(metric);
}

bool ReadVarint(const unsigned char*& p, const unsigned char* end, std::uint64_t* v) {
    *v = 0;
    for (unsigned shift = 0; p < end && shift < 64; shift += 7) {
        unsigned char b = *p++;
        *v |= std::uint64_t(b & 0x7f) << shift;
        if ((b & 0x80) == 0) return true;
    }
    return false;
}

// Visits the fields of one message; false on a malformed body.
template <typename F>
bool ForEachField(const unsigned char* p, const unsigned char* end, F f) {
    while (p < end) {
        std::uint64_t key, v = 0;
        if (!ReadVarint(p, end, &key)) return false;
        const unsigned char* data = nullptr;
        switch (key & 7) {
            case kVarint:
                if (!ReadVarint(p, end, &v)) return false;
                break;
            case kFixed64:
            case kFixed32: {
                std::size_t n = (key & 7) == kFixed64 ? 8 : 4;
                if (std::size_t(end - p) < n) return false;
                p += n;
                break;
            }
            case kLen:
                if (!ReadVarint(p, end, &v) || v > std::uint64_t(end - p)) return false;
                data = p;
                p += v;
                break;
            default:
                return false;
        }
        f(unsigned(key >> 3), v, data);
    }
    return true;
}

}  // namespace

std::string ProtoTraces(const RequestHead& head, SpanData* const* spans, std::size_t count) {
    Writer w;
    w.out.reserve(256 + count * 256);
    std::size_t resource_spans = w.Begin(1);
    std::size_t scope_spans = WriteHead(w, head);
    for (std::size_t i = 0; i < count; ++i) WriteSpan(w, *spans[i]);
    w.End(scope_spans);
    w.End(resource_spans);
    return std::move(w.out);
}

std::string ProtoMetrics(const RequestHead& head, const std::vector<MetricData>& metrics) {
    Writer w;
    std::size_t resource_metrics = w.Begin(1);
    std::size_t scope_metrics = WriteHead(w, head);
    for (const MetricData& m : metrics) WriteMetric(w, m);
    w.End(scope_metrics);
    w.End(resource_metrics);
    return std::move(w.out);
}

bool ProtoPartialSuccess(const std::string& body, std::int64_t* rejected, std::string* message) {
    *rejected = 0;
    message->clear();
    auto begin = reinterpret_cast<const unsigned char*>(body.data());
    ForEachField(begin, begin + body.size(), [&](unsigned field, std::uint64_t v, const unsigned char* data) {
        if (field != 1 || data == nullptr) return;
        ForEachField(data, data + v, [&](unsigned inner, std::uint64_t iv, const unsigned char* idata) {
            if (inner == 1 && idata == nullptr) *rejected = static_cast<std::int64_t>(iv);
            if (inner == 2 && idata != nullptr) message->assign(reinterpret_cast<const char*>(idata), iv);
        });
    });
    return *rejected != 0 || !message->empty();
}

}  // namespace otlp
