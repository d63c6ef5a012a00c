// From the kit's record of a tracer to OpenTelemetry's semantic conventions:
// span kind, name, attributes, events and status per kind of tracer. Runs on
// the exporter thread, never on the application's.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <unordered_map>

#include "otlp_tracer.h"

namespace otlp {
namespace {

using vexlin_kit::Kind;
using vexlin_kit::Str;
using vexlin_kit::Tracer;
using Pairs = std::vector<vexlin_kit::StrPair>;

std::string Text(const Str& s) { return s.set ? ValidUtf8(s.value) : std::string(); }

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "host", "host:port", "[v6]:port" or "scheme://host:port/..." into host and port.
void SplitHostPort(const std::string& text, std::string* host, long* port) {
    std::string s = text;
    std::size_t scheme = s.find("://");
    if (scheme != std::string::npos) s = s.substr(scheme + 3);
    s = s.substr(0, s.find_first_of("/?#"));
    *port = -1;
    std::size_t colon = s.rfind(':');
    bool bracketed = !s.empty() && s[0] == '[';
    if (colon != std::string::npos && (bracketed ? colon > s.find(']') : s.find(':') == colon)) {
        char* end = nullptr;
        long p = std::strtol(s.c_str() + colon + 1, &end, 10);
        if (end != s.c_str() + colon + 1 && *end == '\0') *port = p;
        s = s.substr(0, colon);
    }
    if (bracketed && s.size() >= 2 && s.back() == ']') s = s.substr(1, s.size() - 2);
    *host = s;
}

void AddServer(Attributes& a, const std::string& endpoint, const char* address_key, const char* port_key) {
    if (endpoint.empty()) return;
    std::string host;
    long port;
    SplitHostPort(endpoint, &host, &port);
    if (!host.empty()) AddString(a, address_key, host);
    if (port >= 0) AddInt(a, port_key, port);
}

void AddIfSet(Attributes& a, const char* key, const std::string& value) {
    if (!value.empty()) AddString(a, key, value);
}

// Headers as string arrays under <prefix><lower-case name>; repeated names
// gather. A name new when the span has `limit` attributes is dropped unread.
void AddHeaders(Ended& e, const char* prefix, const Pairs& headers, std::size_t limit) {
    Attributes& a = e.attributes;
    std::unordered_map<std::string, std::size_t> arrays;  // key -> its place in `a`
    for (const auto& h : headers) {
        if (!h.name.set || h.name.value.empty()) continue;
        std::string key = prefix + Lower(Text(h.name));
        auto found = arrays.find(key);
        if (found == arrays.end()) {
            if (a.size() >= limit) {
                ++e.dropped_attributes_count;
                continue;
            }
            AddAttribute(a, key, ValueType::kStringArray);
            found = arrays.emplace(std::move(key), a.size() - 1).first;
        }
        a[found->second].value.array.push_back(Text(h.value));
    }
}

std::string HeaderValue(const Pairs& headers, const char* lower_name) {
    for (const auto& h : headers)
        if (Lower(Text(h.name)) == lower_name) return Text(h.value);
    return std::string();
}

void MarkError(Ended& e, std::string message) {
    e.status = StatusCode::kError;
    if (e.status_message.empty()) e.status_message = std::move(message);
}

void MapWebRequest(Ended& e, const Tracer& t, bool incoming, std::size_t limit) {
    Attributes& a = e.attributes;
    std::string url = Text(t.url);
    std::string method = t.method.set && !t.method.value.empty() ? Text(t.method) : std::string("_OTHER");
    AddString(a, "http.request.method", method);
    std::size_t scheme_end = url.find("://");
    if (incoming) {
        std::string rest = url;
        if (scheme_end != std::string::npos) {
            AddString(a, "url.scheme", Lower(url.substr(0, scheme_end)));
            AddServer(a, url, "server.address", "server.port");
            std::size_t path = url.find('/', scheme_end + 3);
            rest = path == std::string::npos ? "/" : url.substr(path);
        } else {
            AddServer(a, HeaderValue(t.request_headers, "host"), "server.address", "server.port");
        }
        rest = rest.substr(0, rest.find('#'));
        std::size_t query = rest.find('?');
        AddString(a, "url.path", rest.substr(0, query));
        if (query != std::string::npos) AddString(a, "url.query", rest.substr(query + 1));
        AddServer(a, Text(t.remote_address), "client.address", "client.port");
        if (t.web_application.set) {
            AddIfSet(a, "vexlin.web_server.name", Text(t.web_application.value.web_server_name));
            AddIfSet(a, "vexlin.web_application.id", Text(t.web_application.value.application_id));
            AddIfSet(a, "vexlin.web_application.context_root", Text(t.web_application.value.context_root));
        }
    } else {
        AddString(a, "url.full", url);
        if (scheme_end != std::string::npos) AddServer(a, url, "server.address", "server.port");
    }
    AddIfSet(a, "user_agent.original", HeaderValue(t.request_headers, "user-agent"));
    AddHeaders(e, "http.request.header.", t.request_headers, limit);
    AddHeaders(e, "http.response.header.", t.response_headers, limit);
    if (t.status_code.set) {
        AddInt(a, "http.response.status_code", t.status_code.value);
        if (t.status_code.value >= (incoming ? 500 : 400)) MarkError(e, "HTTP " + std::to_string(t.status_code.value));
    }
    e.kind = incoming ? SpanKind::kServer : SpanKind::kClient;
    e.name = method;
}

void MapRemoteCall(Ended& e, const Tracer& t, bool incoming) {
    Attributes& a = e.attributes;
    AddIfSet(a, "rpc.system", Lower(Text(t.protocol_name)));
    AddIfSet(a, "rpc.service", Text(t.service_name));
    AddIfSet(a, "rpc.method", Text(t.service_method));
    if (!incoming) AddServer(a, Text(t.channel_endpoint), "server.address", "server.port");
    AddIfSet(a, "vexlin.rpc.service_endpoint", Text(t.service_endpoint));
    e.kind = incoming ? SpanKind::kServer : SpanKind::kClient;
    e.name = Text(t.service_name) + "/" + Text(t.service_method);
}

void MapDatabaseRequest(Ended& e, const Tracer& t) {
    Attributes& a = e.attributes;
    std::string system = t.database.set ? Lower(Text(t.database.value.vendor)) : std::string();
    for (char& c : system)
        if (c == ' ') c = '_';
    std::string target = t.database.set ? Text(t.database.value.name) : std::string();
    std::string statement = Text(t.statement);
    AddIfSet(a, "db.system.name", system);
    AddIfSet(a, "db.namespace", target);
    if (t.database.set) AddServer(a, Text(t.database.value.channel_endpoint), "server.address", "server.port");
    AddIfSet(a, "db.query.text", statement);
    if (t.returned_row_count.set) AddInt(a, "db.response.returned_rows", t.returned_row_count.value);
    if (t.round_trip_count.set) AddInt(a, "vexlin.db.round_trip_count", t.round_trip_count.value);
    // "<first keyword> <database>", e.g. "SELECT orders".
    std::size_t b = statement.find_first_not_of(" \t\r\n(");
    std::size_t end = b == std::string::npos ? b : statement.find_first_of(" \t\r\n(;", b);
    std::string operation = b == std::string::npos ? std::string() : statement.substr(b, end - b);
    for (char& c : operation) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    e.name = operation.empty() ? (system.empty() ? std::string("database") : system)
             : target.empty()  ? operation
                               : operation + " " + target;
    e.kind = SpanKind::kClient;
}

void MapMessage(Ended& e, const Tracer& t, const char* operation, SpanKind kind) {
    Attributes& a = e.attributes;
    std::string destination;
    if (t.messaging_system.set) {
        const vexlin_kit::MessagingSystemInfo& m = t.messaging_system.value;
        destination = Text(m.destination_name);
        AddIfSet(a, "messaging.system", Lower(Text(m.vendor_name)));
        AddIfSet(a, "messaging.destination.name", destination);
        AddServer(a, Text(m.channel_endpoint), "server.address", "server.port");
    }
    AddString(a, "messaging.operation.type", operation);
    AddIfSet(a, "messaging.message.id", Text(t.vendor_message_id));
    AddIfSet(a, "messaging.message.conversation_id", Text(t.correlation_id));
    e.kind = kind;
    e.name = destination.empty() ? std::string(operation) : std::string(operation) + " " + destination;
}

// Span attributes and custom request attributes under the application's keys.
void AddApplicationAttributes(Attributes& a, const std::vector<vexlin_kit::Attribute>& list) {
    using K = vexlin_kit::Attribute;
    for (const K& x : list) {
        if (!x.key.set) continue;
        switch (x.type) {
            case K::kInteger:
                AddAttribute(a, Text(x.key), ValueType::kInt).value.i = x.integer;
                break;
            case K::kDouble:
            case K::kFloat:
                AddAttribute(a, Text(x.key), ValueType::kDouble).value.d = x.real;
                break;
            case K::kBool:
                AddAttribute(a, Text(x.key), ValueType::kBool).value.b = x.integer != 0;
                break;
            case K::kString:
                AddAttribute(a, Text(x.key), ValueType::kString).value.s = Text(x.text);
                break;
        }
    }
}

}  // namespace

void MapTracer(Ended& e, const Limits& limits) {
    const Tracer& t = *e.source;
    switch (t.kind) {
        case Kind::kIncomingWebRequest:
        case Kind::kOutgoingWebRequest:
            MapWebRequest(e, t, t.kind == Kind::kIncomingWebRequest, limits.span_attribute_count);
            break;
        case Kind::kIncomingRemoteCall:
        case Kind::kOutgoingRemoteCall:
            MapRemoteCall(e, t, t.kind == Kind::kIncomingRemoteCall);
            break;
        case Kind::kDatabaseRequest:
            MapDatabaseRequest(e, t);
            break;
        case Kind::kOutgoingMessage:
            MapMessage(e, t, "send", SpanKind::kProducer);
            break;
        case Kind::kIncomingMessageReceive:
            MapMessage(e, t, "receive", SpanKind::kConsumer);
            break;
        case Kind::kIncomingMessageProcess:
            MapMessage(e, t, "process", SpanKind::kConsumer);
            break;
        case Kind::kInProcessLink:
            e.kind = SpanKind::kInternal;
            e.name = "in-process link";
            break;
        case Kind::kSpan:
            e.kind = SpanKind::kInternal;
            e.name = t.operation_name.set && !t.operation_name.value.empty() ? Text(t.operation_name) : "span";
            break;
        default:  // custom services
            AddIfSet(e.attributes, "vexlin.service.name", Text(t.service_name));
            AddIfSet(e.attributes, "vexlin.service.method", Text(t.service_method));
            e.kind = SpanKind::kServer;
            e.name = Text(t.service_name) + "/" + Text(t.service_method);
            break;
    }
    AddApplicationAttributes(e.attributes, t.attributes);
    AddApplicationAttributes(e.attributes, t.request_attributes);
    if (t.error_class.set || t.error_message.set) {
        e.status = StatusCode::kError;
        e.status_message = Text(t.error_message);
        e.events.emplace_back();
        Event& ev = e.events.back();
        ev.time_ns = e.end_ns;  // the record does not say when; the error ended the work
        ev.name = "exception";
        AddIfSet(ev.attributes, "exception.type", Text(t.error_class));
        AddIfSet(ev.attributes, "exception.message", Text(t.error_message));
    }
    e.dropped_attributes_count += ApplyLimits(e.attributes, limits.span_attribute_count, limits.span_value_length);
    e.dropped_attributes_count = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(e.dropped_attributes_count + t.dropped_items, UINT32_MAX));  // the record's too
    if (e.events.size() > limits.event_count) {
        e.dropped_events_count = static_cast<std::uint32_t>(e.events.size() - limits.event_count);
        e.events.resize(limits.event_count);
    }
    for (Event& ev : e.events)
        ev.dropped_attributes_count =
            ApplyLimits(ev.attributes, limits.event_attribute_count, limits.span_value_length);
}

}  // namespace otlp
