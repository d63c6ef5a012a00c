// From what the application reported to OpenTelemetry's semantic
// conventions: span kind, name, attributes and status per kind of tracer.
// Runs on the exporter thread, never on the application's.
#include <cctype>
#include <cstdlib>

#include "otlp_tracer.h"

namespace otlp {
namespace {

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

// Headers as string arrays under <prefix><lower-case name>; repeated names gather.
void AddHeaders(Attributes& a, const char* prefix, const Pairs& headers) {
    for (const auto& h : headers) {
        std::string key = prefix + Lower(h.first);
        Attribute* found = nullptr;
        for (Attribute& existing : a)
            if (existing.fixed_key == nullptr && existing.owned_key == key) found = &existing;
        if (found == nullptr) found = &AddAttribute(a, key, ValueType::kStringArray);
        found->value.array.push_back(h.second);
    }
}

std::string HeaderValue(const Pairs& headers, const char* lower_name) {
    for (const auto& h : headers)
        if (Lower(h.first) == lower_name) return h.second;
    return std::string();
}

void MapWebRequest(Tracer& t, bool incoming) {
    Attributes& a = t.attributes;
    std::string method = t.method.empty() ? "_OTHER" : t.method;
    AddString(a, "http.request.method", method);
    std::size_t scheme_end = t.url.find("://");
    if (incoming) {
        std::string rest = t.url;
        if (scheme_end != std::string::npos) {
            AddString(a, "url.scheme", Lower(t.url.substr(0, scheme_end)));
            AddServer(a, t.url, "server.address", "server.port");
            std::size_t path = t.url.find('/', scheme_end + 3);
            rest = path == std::string::npos ? "/" : t.url.substr(path);
        } else {
            AddServer(a, HeaderValue(t.request_headers, "host"), "server.address", "server.port");
        }
        rest = rest.substr(0, rest.find('#'));
        std::size_t query = rest.find('?');
        AddString(a, "url.path", rest.substr(0, query));
        if (query != std::string::npos) AddString(a, "url.query", rest.substr(query + 1));
        AddServer(t.attributes, t.remote_address, "client.address", "client.port");
        if (t.info != nullptr) {
            AddIfSet(a, "vexlin.web_server.name", t.info->name);
            AddIfSet(a, "vexlin.web_application.id", t.info->vendor);
            AddIfSet(a, "vexlin.web_application.context_root", t.info->endpoint);
        }
    } else {
        AddString(a, "url.full", t.url);
        if (scheme_end != std::string::npos) AddServer(a, t.url, "server.address", "server.port");
    }
    AddIfSet(a, "user_agent.original", HeaderValue(t.request_headers, "user-agent"));
    AddHeaders(a, "http.request.header.", t.request_headers);
    AddHeaders(a, "http.response.header.", t.response_headers);
    if (t.status_code >= 0) AddInt(a, "http.response.status_code", t.status_code);
    if (t.status_code >= (incoming ? 500 : 400)) {
        t.status = StatusCode::kError;
        if (t.status_message.empty()) t.status_message = "HTTP " + std::to_string(t.status_code);
    }
    t.kind = incoming ? SpanKind::kServer : SpanKind::kClient;
    t.name = method;
}

void MapRemoteCall(Tracer& t, bool incoming) {
    Attributes& a = t.attributes;
    if (!t.protocol.empty()) AddString(a, "rpc.system", Lower(t.protocol));
    AddIfSet(a, "rpc.service", t.service_name);
    AddIfSet(a, "rpc.method", t.service_method);
    if (!incoming) AddServer(a, t.channel_endpoint, "server.address", "server.port");
    AddIfSet(a, "vexlin.rpc.service_endpoint", t.service_endpoint);
    t.kind = incoming ? SpanKind::kServer : SpanKind::kClient;
    t.name = t.service_name + "/" + t.service_method;
}

void MapDatabaseRequest(Tracer& t) {
    Attributes& a = t.attributes;
    std::string system = t.info != nullptr ? Lower(t.info->vendor) : std::string();
    for (char& c : system)
        if (c == ' ') c = '_';
    AddIfSet(a, "db.system.name", system);
    if (t.info != nullptr) {
        AddIfSet(a, "db.namespace", t.info->name);
        AddServer(a, t.info->endpoint, "server.address", "server.port");
    }
    AddIfSet(a, "db.query.text", t.statement);
    if (t.returned_rows >= 0) AddInt(a, "db.response.returned_rows", t.returned_rows);
    if (t.round_trips >= 0) AddInt(a, "vexlin.db.round_trip_count", t.round_trips);
    // "<first keyword> <database>", e.g. "SELECT orders".
    std::size_t b = t.statement.find_first_not_of(" \t\r\n(");
    std::size_t e = b == std::string::npos ? b : t.statement.find_first_of(" \t\r\n(;", b);
    std::string operation = b == std::string::npos ? std::string() : t.statement.substr(b, e - b);
    for (char& c : operation) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string target = t.info != nullptr ? t.info->name : std::string();
    t.name = operation.empty() ? (system.empty() ? std::string("database") : system)
                               : target.empty() ? operation : operation + " " + target;
    t.kind = SpanKind::kClient;
}

void MapMessage(Tracer& t, const char* operation, SpanKind kind) {
    Attributes& a = t.attributes;
    std::string destination = t.info != nullptr ? t.info->vendor : std::string();
    if (t.info != nullptr) {
        AddIfSet(a, "messaging.system", Lower(t.info->name));
        AddIfSet(a, "messaging.destination.name", destination);
        AddServer(a, t.info->endpoint, "server.address", "server.port");
    }
    AddString(a, "messaging.operation.type", operation);
    AddIfSet(a, "messaging.message.id", t.message_id);
    AddIfSet(a, "messaging.message.conversation_id", t.correlation_id);
    t.kind = kind;
    t.name = destination.empty() ? std::string(operation) : std::string(operation) + " " + destination;
}

}  // namespace

void ReleaseInfo(Info* info) {
    if (info != nullptr && info->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete info;
}

void MapTracer(SpanData* span) {
    Tracer& t = *static_cast<Tracer*>(span);
    switch (t.tracer_kind) {
        case TracerKind::kIncomingWebRequest:
            MapWebRequest(t, true);
            break;
        case TracerKind::kOutgoingWebRequest:
            MapWebRequest(t, false);
            break;
        case TracerKind::kIncomingRemoteCall:
            MapRemoteCall(t, true);
            break;
        case TracerKind::kOutgoingRemoteCall:
            MapRemoteCall(t, false);
            break;
        case TracerKind::kDatabaseRequest:
            MapDatabaseRequest(t);
            break;
        case TracerKind::kCustomService:
            AddIfSet(t.attributes, "vexlin.service.name", t.service_name);
            AddIfSet(t.attributes, "vexlin.service.method", t.service_method);
            t.kind = SpanKind::kServer;
            t.name = t.service_name + "/" + t.service_method;
            break;
        case TracerKind::kOutgoingMessage:
            MapMessage(t, "send", SpanKind::kProducer);
            break;
        case TracerKind::kIncomingMessageReceive:
            MapMessage(t, "receive", SpanKind::kConsumer);
            break;
        case TracerKind::kIncomingMessageProcess:
            MapMessage(t, "process", SpanKind::kConsumer);
            break;
        case TracerKind::kInProcessLink:
            t.kind = SpanKind::kInternal;
            t.name = "in-process link";
            break;
        case TracerKind::kSpan:
            t.kind = SpanKind::kInternal;
            t.name = t.operation_name.empty() ? std::string("span") : t.operation_name;
            break;
    }
}

void DestroyTracer(SpanData* span) {
    Tracer* t = static_cast<Tracer*>(span);
    ReleaseInfo(t->info);
    delete t;
}

}  // namespace otlp
