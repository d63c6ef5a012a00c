// From the kit's record of a tracer to OpenTelemetry's semantic conventions:
// span kind, name, attributes, events and status per kind of tracer. Private
// by default: no credentials of URLs, only the headers the configuration
// names, no literals of query texts. Runs on the exporter thread, never on
// the application's.
#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "otlp_tracer.h"

namespace otlp {
namespace {

using vexlin_kit::Kind;
using vexlin_kit::Str;
using vexlin_kit::Tracer;
using Pairs = std::vector<vexlin_kit::StrPair>;
constexpr std::size_t kNone = std::string_view::npos;

// ---- Facts of the conventions, each in one table --------------------------

constexpr const char* kHttpMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"};
// Query keys whose values are credentials (signed URLs of cloud storage).
constexpr const char* kSecretQueryKeys[] = {"AWSAccessKeyId", "Signature", "sig", "X-Goog-Signature"};

// A well-known value and the other names applications give the same system,
// space separated. Names compare on their letters and digits in lower case
// (Folded), so "Microsoft SQL Server" is `microsoft.sql_server` itself.
struct WellKnown {
    const char* value;
    const char* aliases;
};
constexpr WellKnown kDatabases[] = {{"postgresql", "postgres"},
                                    {"mysql", ""},
                                    {"mariadb", ""},
                                    {"microsoft.sql_server", "sqlserver mssql"},
                                    {"oracle.db", "oracle oracledatabase"},
                                    {"ibm.db2", "db2"},
                                    {"sap.hana", "hana"},
                                    {"sap.maxdb", "maxdb"},
                                    {"sqlite", "sqlite3"},
                                    {"mongodb", "mongo"},
                                    {"redis", ""},
                                    {"cassandra", "apachecassandra"},
                                    {"clickhouse", ""},
                                    {"cockroachdb", "cockroach"},
                                    {"h2database", "h2"},
                                    {"derby", "apachederby"},
                                    {"hsqldb", "hypersql"},
                                    {"ibm.informix", "informix"},
                                    {"teradata", ""},
                                    {"trino", ""},
                                    {"aws.dynamodb", "dynamodb amazondynamodb"},
                                    {"azure.cosmosdb", "cosmosdb"},
                                    {"elasticsearch", ""},
                                    {"opensearch", ""},
                                    {"couchbase", ""},
                                    {"couchdb", "apachecouchdb"},
                                    {"neo4j", ""},
                                    {"hive", "apachehive"},
                                    {"hbase", "apachehbase"},
                                    {"memcached", ""},
                                    {"firebirdsql", "firebird"},
                                    {"actian.ingres", "ingres"},
                                    {"intersystems.cache", "caché intersystemscaché"},
                                    {"softwareag.adabas", "adabas"}};
constexpr WellKnown kMessagingSystems[] = {{"kafka", "apachekafka"},
                                           {"rabbitmq", ""},
                                           {"activemq", "apacheactivemq artemis activemqartemis"},
                                           {"aws_sqs", "sqs amazonsqs"},
                                           {"aws.sns", "sns amazonsns"},
                                           {"servicebus", "azureservicebus"},
                                           {"eventhubs", "azureeventhubs"},
                                           {"gcp_pubsub", "pubsub googlepubsub googlecloudpubsub"},
                                           {"jms", "javamessageservice"},
                                           {"pulsar", "apachepulsar"},
                                           {"rocketmq", "apacherocketmq"}};
constexpr WellKnown kRpcSystems[] = {
    {"grpc", ""}, {"dubbo", "apachedubbo"}, {"connectrpc", "connect"}, {"jsonrpc", ""}};

// The destination_type codes of a messaging system info, as this module
// defines them; a temporary destination's name names nothing lasting.
enum DestinationType : std::int32_t { kQueue = 1, kTopic = 2, kTemporaryQueue = 3, kTemporaryTopic = 4 };

// ---- Texts ------------------------------------------------------------------
// ASCII only, whatever the application's locale: a single-byte locale's
// tolower would change bytes of UTF-8.

constexpr bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr bool IsLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
constexpr bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string Text(const Str& s) { return s.set ? ValidUtf8(s.value) : std::string(); }

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), LowerAscii);
    return s;
}

std::string Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return std::string(s);
}

template <std::size_t N>
bool Listed(const char* const (&table)[N], std::string_view text) {
    return std::any_of(std::begin(table), std::end(table), [&](const char* entry) { return text == entry; });
}

std::string Folded(std::string_view name) {
    std::string out;
    for (char c : name)
        if (IsLetter(c) || IsDigit(c) || static_cast<unsigned char>(c) >= 0x80) out += LowerAscii(c);
    return out;
}

// The well-known value of a system the application names; null when unknown.
template <std::size_t N>
const char* WellKnownValue(const WellKnown (&table)[N], const std::string& name) {
    const std::string folded = Folded(name);
    for (const WellKnown& w : table) {
        if (!folded.empty() && Folded(w.value) == folded) return w.value;
        for (std::string_view aliases = w.aliases; !aliases.empty();) {
            const std::size_t space = std::min(aliases.find(' '), aliases.size());
            if (aliases.substr(0, space) == folded) return w.value;
            aliases.remove_prefix(std::min(space + 1, aliases.size()));
        }
    }
    return nullptr;
}

// "a" and "b" as "a/b", either alone when the other is empty.
std::string Joined(const std::string& a, const std::string& b) { return a.empty() || b.empty() ? a + b : a + "/" + b; }

void AddIfSet(Attributes& a, const char* key, const std::string& value) {
    if (!value.empty()) AddString(a, key, value);
}

// ---- URLs, read by libcurl --------------------------------------------------

using Url = std::unique_ptr<CURLU, void (*)(CURLU*)>;

// Null when `text` is no URL libcurl can read (an application's URL may have
// spaces; its path is taken as written).
Url ParseUrl(const std::string& text, unsigned flags = 0) {
    Url url(curl_url(), curl_url_cleanup);
    flags |= CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS;
    if (url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK) url.reset();
    return url;
}

std::string Part(const Url& url, CURLUPart part, unsigned flags = 0) {
    char* value = nullptr;
    std::string out;
    if (curl_url_get(url.get(), part, &value, flags) == CURLUE_OK && value != nullptr) out = value;
    curl_free(value);
    return out;
}

// The host (without brackets) and port of a URL under the given keys; the
// port as written, else the scheme's default when `default_port`; no port
// without a `port_key`. The user name never passes for the host.
void AddAddress(Attributes& a, const Url& url, const char* address_key, const char* port_key, bool default_port) {
    std::string host = Part(url, CURLUPART_HOST);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) return;
    AddString(a, address_key, host);
    const std::string port =
        port_key == nullptr ? std::string() : Part(url, CURLUPART_PORT, default_port ? CURLU_DEFAULT_PORT : 0);
    if (!port.empty()) AddInt(a, port_key, std::strtol(port.c_str(), nullptr, 10));
}

// An endpoint as applications give it: "host", "host:port", "[v6]:port",
// a bare IPv6 address, a URL, or a socket's path (the address itself).
void AddEndpoint(Attributes& a, const std::string& endpoint, const char* address_key, const char* port_key) {
    if (endpoint.empty()) return;
    if (endpoint.front() == '/') return AddString(a, address_key, endpoint);
    const bool bare_v6 =
        endpoint.find(':') != endpoint.rfind(':') && endpoint.front() != '[' && endpoint.find('@') == kNone;
    const std::string url = endpoint.find("://") != kNone ? endpoint
                            : bare_v6                     ? "endpoint://[" + endpoint + "]"
                                                          : "endpoint://" + endpoint;
    if (Url parsed = ParseUrl(url)) AddAddress(a, parsed, address_key, port_key, false);
}

// A query with the values of credential keys as REDACTED.
std::string RedactedQuery(std::string_view query) {
    std::string out;
    for (std::size_t at = 0; at <= query.size();) {
        const std::size_t amp = std::min(query.find('&', at), query.size());
        const std::string_view item = query.substr(at, amp - at);
        const std::size_t eq = item.find('=');
        if (eq != kNone && Listed(kSecretQueryKeys, item.substr(0, eq)))
            out.append(item.substr(0, eq + 1)).append("REDACTED");
        else
            out.append(item);
        if (amp < query.size()) out += '&';
        at = amp + 1;
    }
    return out;
}

// url.full without credentials (userinfo as REDACTED:REDACTED), and the
// server it names, its port defaulting to the scheme's. A text libcurl
// cannot read goes out only when it is a path: anything else may hold an
// authority with a password.
void AddFullUrl(Attributes& a, const std::string& text) {
    Url url = ParseUrl(text, CURLU_GUESS_SCHEME);
    if (!url) {
        if (text.rfind('/', 0) == 0 && text.rfind("//", 0) != 0) {
            const std::size_t query = text.find('?');
            AddString(a, "url.full",
                      query == kNone ? text : text.substr(0, query + 1) + RedactedQuery(text.substr(query + 1)));
        }
        return;
    }
    if (!Part(url, CURLUPART_USER).empty() || !Part(url, CURLUPART_PASSWORD).empty()) {
        curl_url_set(url.get(), CURLUPART_USER, "REDACTED", 0);
        curl_url_set(url.get(), CURLUPART_PASSWORD, "REDACTED", 0);
        curl_url_set(url.get(), CURLUPART_OPTIONS, nullptr, 0);
    }
    const std::string query = Part(url, CURLUPART_QUERY);
    if (!query.empty()) curl_url_set(url.get(), CURLUPART_QUERY, RedactedQuery(query).c_str(), 0);
    AddIfSet(a, "url.full", Part(url, CURLUPART_URL));
    AddAddress(a, url, "server.address", "server.port", true);
}

// ---- HTTP -------------------------------------------------------------------

std::string HeaderValue(const Pairs& headers, const char* lower_name) {
    for (const auto& h : headers)
        if (Lower(Text(h.name)) == lower_name) return Text(h.value);
    return std::string();
}

// What the first proxy says of the request: `key` ("for", "proto") of the
// first element of Forwarded, else the first entry of `x_header`.
std::string Forwarded(const Pairs& headers, const char* key, const char* x_header) {
    const std::string forwarded = HeaderValue(headers, "forwarded");
    std::string_view first(forwarded);
    first = first.substr(0, first.find(','));
    while (!first.empty()) {
        const std::size_t semicolon = std::min(first.find(';'), first.size());
        const std::string pair = Trim(first.substr(0, semicolon));
        const std::size_t eq = pair.find('=');
        if (eq != kNone && Lower(Trim(pair.substr(0, eq))) == key) {
            std::string value = Trim(pair.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return value;
        }
        first.remove_prefix(std::min(semicolon + 1, first.size()));
    }
    const std::string x = HeaderValue(headers, x_header);
    return Trim(std::string_view(x).substr(0, x.find(',')));
}

// Only the headers the configuration names, as string arrays under
// <prefix><lower-case name>; repeated names gather. A name new when the span
// has `limit` attributes is dropped unread.
void AddHeaders(Ended& e, const char* prefix, const Pairs& headers, const std::vector<std::string>& captured,
                std::size_t limit) {
    if (captured.empty()) return;
    Attributes& a = e.attributes;
    std::unordered_map<std::string, std::size_t> arrays;  // key -> its place in `a`
    for (const auto& h : headers) {
        if (!h.name.set || h.name.value.empty()) continue;
        std::string name = Lower(Text(h.name));
        if (std::find(captured.begin(), captured.end(), name) == captured.end()) continue;
        std::string key = prefix + name;
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

// The status code of a web request that failed by it (5xx on a server, 4xx
// and 5xx on a client), else 0.
std::int32_t FailedStatus(const Tracer& t) {
    const bool server = t.kind == Kind::kIncomingWebRequest;
    if (!t.status_code.set || (!server && t.kind != Kind::kOutgoingWebRequest)) return 0;
    return t.status_code.value >= (server ? 500 : 400) ? t.status_code.value : 0;
}

// The request target: path and query of an absolute URL, else of the
// origin form ("/path?query"); the scheme from the URL, else the proxy's
// word, else http; the server from the URL, else the Host header.
void AddServerUrl(Attributes& a, const Tracer& t) {
    const std::string target = Text(t.url);
    std::string scheme, path, query;
    Url url(nullptr, curl_url_cleanup);
    if (target.find("://") != kNone) {
        if ((url = ParseUrl(target))) {
            scheme = Lower(Part(url, CURLUPART_SCHEME));
            path = Part(url, CURLUPART_PATH);
            query = Part(url, CURLUPART_QUERY);
        }
    } else {
        const std::string_view rest = std::string_view(target).substr(0, target.find('#'));
        const std::size_t mark = rest.find('?');
        path = std::string(rest.substr(0, mark));
        if (mark != kNone) query = std::string(rest.substr(mark + 1));
    }
    if (scheme.empty()) scheme = Lower(Forwarded(t.request_headers, "proto", "x-forwarded-proto"));
    if (scheme.empty()) scheme = "http";
    AddString(a, "url.scheme", scheme);
    AddIfSet(a, "url.path", path);
    if (!query.empty()) AddString(a, "url.query", RedactedQuery(query));
    const std::string host = HeaderValue(t.request_headers, "host");
    if (!url && !host.empty()) url = ParseUrl(scheme + "://" + host);
    if (url) AddAddress(a, url, "server.address", "server.port", true);
}

void MapWebRequest(Ended& e, const Tracer& t, const Capture& capture, std::size_t limit) {
    Attributes& a = e.attributes;
    const bool server = t.kind == Kind::kIncomingWebRequest;
    const std::string method = Text(t.method);
    const bool standard = Listed(kHttpMethods, method);
    AddString(a, "http.request.method", standard ? method : "_OTHER");
    if (!standard) AddIfSet(a, "http.request.method_original", method);
    if (server) {
        AddServerUrl(a, t);
        // The socket's peer, and the client a proxy names (without one, the peer is the client).
        const std::string peer = Text(t.remote_address),
                          client = Forwarded(t.request_headers, "for", "x-forwarded-for");
        AddEndpoint(a, peer, "network.peer.address", "network.peer.port");
        AddEndpoint(a, client.empty() ? peer : client, "client.address", capture.client_port ? "client.port" : nullptr);
        AddIfSet(a, "user_agent.original", HeaderValue(t.request_headers, "user-agent"));
        if (t.web_application != nullptr) {
            AddIfSet(a, "vexlin.web_server.name", Text(t.web_application->web_server_name));
            AddIfSet(a, "vexlin.web_application.id", Text(t.web_application->application_id));
            AddIfSet(a, "vexlin.web_application.context_root", Text(t.web_application->context_root));
        }
    } else {
        AddFullUrl(a, Text(t.url));
    }
    AddHeaders(e, "http.request.header.", t.request_headers,
               server ? capture.server_request_headers : capture.client_request_headers, limit);
    AddHeaders(e, "http.response.header.", t.response_headers,
               server ? capture.server_response_headers : capture.client_response_headers, limit);
    if (t.status_code.set) AddInt(a, "http.response.status_code", t.status_code.value);
    e.kind = server ? SpanKind::kServer : SpanKind::kClient;
    e.name = standard ? method : "HTTP";
}

// ---- RPC, databases, messaging ---------------------------------------------

void MapRemoteCall(Ended& e, const Tracer& t, bool incoming) {
    Attributes& a = e.attributes;
    const std::string protocol = Text(t.protocol_name), method = Text(t.service_method);
    const char* known = WellKnownValue(kRpcSystems, protocol);
    const std::string system = known != nullptr ? known : Lower(protocol);
    // Fully qualified; a service without its method is no method.
    const std::string qualified = method.empty() ? std::string() : Joined(Text(t.service_name), method);
    AddIfSet(a, "rpc.system.name", system);
    AddIfSet(a, "rpc.method", qualified);
    if (!incoming) AddEndpoint(a, Text(t.channel_endpoint), "server.address", "server.port");
    AddIfSet(a, "vexlin.rpc.service_endpoint", Text(t.service_endpoint));
    e.kind = incoming ? SpanKind::kServer : SpanKind::kClient;
    e.name = !qualified.empty() ? qualified : system;
}

// Where the quoted text opening at `at` ends (past its closing quote), a
// doubled quote (and, in strings, a backslash) escaping one; kNone when it
// does not end.
std::size_t QuotedEnd(std::string_view q, std::size_t at, bool backslash) {
    for (std::size_t i = at + 1; i < q.size(); ++i) {
        if (backslash && q[i] == '\\')
            ++i;
        else if (q[i] == q[at] && i + 1 < q.size() && q[i + 1] == q[at])
            ++i;
        else if (q[i] == q[at])
            return i + 1;
    }
    return kNone;
}

// A query text read once: with `?` for each string, number and dollar-quoted
// literal (a text that does not end is one) and without comments, which may
// say anything; its first keyword as written; whether it is one statement.
// Quoted identifiers stay.
struct Query {
    std::string sanitized, operation;
    bool single = true;
};

Query ReadQuery(std::string_view q) {
    Query r;
    bool ended = false;  // by a ';'
    auto word = [](unsigned char c) { return IsLetter(c) || IsDigit(c) || c == '_' || c == '$' || c >= 0x80; };
    for (std::size_t i = 0, n = q.size(); i < n;) {
        const unsigned char c = q[i], next = i + 1 < n ? q[i + 1] : 0;
        std::size_t end = i + 1;
        bool literal = false, comment = false;
        if ((c == '-' && next == '-') || (c == '/' && next == '*')) {
            comment = true;
            end = c == '-' ? q.find('\n', i) : q.find("*/", i + 2);
            if (end != kNone && c == '/') end += 2;
        } else if (c == '\'' || c == '"' || c == '`') {
            end = QuotedEnd(q, i, c == '\'');
            literal = c == '\'' || end == kNone;
        } else if (c == '$' && !IsDigit(next)) {  // $tag$...$tag$ ($1 is a parameter)
            std::size_t tag = i + 1;
            while (tag < n && (IsLetter(q[tag]) || IsDigit(q[tag]) || q[tag] == '_')) ++tag;
            if (tag < n && q[tag] == '$') {
                const std::size_t close = q.find(q.substr(i, tag + 1 - i), tag + 1);
                end = close == kNone ? kNone : close + tag + 1 - i;
                literal = true;
            }
        } else if (IsDigit(c) || (c == '.' && IsDigit(next))) {
            literal = true;
            while (end < n && (word(q[end]) || q[end] == '.' ||
                               ((q[end] == '+' || q[end] == '-') && LowerAscii(q[end - 1]) == 'e')))
                ++end;
        }
        if (word(c) && !literal && !comment) {
            while (end < n && word(q[end])) ++end;
            // N'...', E'...', X'...', B'...': the letter belongs to the literal.
            if (end == i + 1 && end < n && q[end] == '\'' && std::strchr("NnEeXxBb", c) != nullptr) comment = true;
            if (r.operation.empty() && IsLetter(c) && !comment) r.operation = std::string(q.substr(i, end - i));
        }
        if (end == kNone) end = n;
        if (c == ';')
            ended = true;
        else if (ended && !comment && !IsSpace(c))
            r.single = false;
        if (literal)
            r.sanitized += '?';
        else if (!comment)
            r.sanitized.append(q.substr(i, end - i));
        else if (!r.sanitized.empty() && !IsSpace(r.sanitized.back()) && end - i > 1)
            r.sanitized += ' ';  // SELECT/**/a stays two words
        i = end;
    }
    return r;
}

void MapDatabaseRequest(Ended& e, const Tracer& t, const Capture& capture) {
    Attributes& a = e.attributes;
    const char* known = t.database != nullptr ? WellKnownValue(kDatabases, Text(t.database->vendor)) : nullptr;
    const std::string system = known != nullptr ? known : "other_sql";
    const std::string target = t.database != nullptr ? Text(t.database->name) : std::string();
    const std::string statement = Text(t.statement);
    const Query query = ReadQuery(statement);
    const std::string operation = query.single ? query.operation : std::string();
    AddString(a, "db.system.name", system);
    AddIfSet(a, "db.namespace", target);
    AddIfSet(a, "db.operation.name", operation);
    if (t.database != nullptr) AddEndpoint(a, Text(t.database->channel_endpoint), "server.address", "server.port");
    AddIfSet(a, "db.query.text", capture.sanitize_queries ? query.sanitized : statement);
    if (t.returned_row_count.set && capture.returned_rows)
        AddInt(a, "db.response.returned_rows", t.returned_row_count.value);
    if (t.round_trip_count.set) AddInt(a, "vexlin.db.round_trip_count", t.round_trip_count.value);
    // No collection is read from the text: the operation goes with the namespace.
    e.name = !operation.empty() && !target.empty() ? operation + " " + target : !target.empty() ? target : system;
    e.kind = SpanKind::kClient;
}

void MapMessage(Ended& e, const Tracer& t, const char* operation, SpanKind kind) {
    Attributes& a = e.attributes;
    std::string destination;
    bool temporary = false;
    if (t.messaging_system != nullptr) {
        const vexlin_kit::MessagingSystemInfo& m = *t.messaging_system;
        const std::string vendor = Text(m.vendor_name);
        const char* known = WellKnownValue(kMessagingSystems, vendor);
        destination = Text(m.destination_name);
        temporary = m.destination_type == kTemporaryQueue || m.destination_type == kTemporaryTopic;
        AddIfSet(a, "messaging.system", known != nullptr ? known : Lower(vendor));
        AddIfSet(a, "messaging.destination.name", destination);
        if (temporary) AddAttribute(a, "messaging.destination.temporary", ValueType::kBool).value.b = true;
        AddEndpoint(a, Text(m.channel_endpoint), "server.address", "server.port");
    }
    AddString(a, "messaging.operation.name", operation);
    AddString(a, "messaging.operation.type", operation);
    AddIfSet(a, "messaging.message.id", Text(t.vendor_message_id));
    AddIfSet(a, "messaging.message.conversation_id", Text(t.correlation_id));
    e.kind = kind;
    e.name = destination.empty() || temporary ? std::string(operation) : std::string(operation) + " " + destination;
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

void MapTracer(Ended& e, const Config& config) {
    const Tracer& t = *e.source;
    const Limits& limits = config.limits;
    switch (t.kind) {
        case Kind::kIncomingWebRequest:
        case Kind::kOutgoingWebRequest:
            MapWebRequest(e, t, config.capture, limits.span_attribute_count);
            break;
        case Kind::kIncomingRemoteCall:
        case Kind::kOutgoingRemoteCall:
            MapRemoteCall(e, t, t.kind == Kind::kIncomingRemoteCall);
            break;
        case Kind::kDatabaseRequest:
            MapDatabaseRequest(e, t, config.capture);
            break;
        case Kind::kOutgoingMessage:
            MapMessage(e, t, "send", SpanKind::kProducer);
            break;
        case Kind::kIncomingMessageReceive:  // a pull: the application asks
            MapMessage(e, t, "receive", SpanKind::kClient);
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
            e.name = Text(t.operation_name);
            break;
        default:  // custom services
            AddIfSet(e.attributes, "vexlin.service.name", Text(t.service_name));
            AddIfSet(e.attributes, "vexlin.service.method", Text(t.service_method));
            e.kind = SpanKind::kServer;
            e.name = Joined(Text(t.service_name), Text(t.service_method));
            break;
    }
    if (e.name.empty()) e.name = vexlin_kit::KindName(t.kind);  // the record names nothing
    AddApplicationAttributes(e.attributes, t.attributes);
    AddApplicationAttributes(e.attributes, t.request_attributes);
    const std::string error_class = Text(t.error_class);
    const std::int32_t failed_status = FailedStatus(t);
    const bool exception = t.error_class.set || t.error_message.set;
    if (exception) {
        e.status_message = Text(t.error_message);
        e.events.emplace_back();
        Event& ev = e.events.back();
        ev.time_ns = e.end_ns;  // the record does not say when; the error ended the work
        ev.name = "exception";
        AddIfSet(ev.attributes, "exception.type", error_class);
        AddIfSet(ev.attributes, "exception.message", Text(t.error_message));
    }
    // A status code says itself: it is no status message.
    if (failed_status != 0 || exception) {
        e.status = StatusCode::kError;
        AddString(e.attributes, "error.type",
                  !error_class.empty() ? error_class
                  : failed_status != 0 ? std::to_string(failed_status)
                                       : "_OTHER");
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
