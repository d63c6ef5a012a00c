// Reading OTEL_* settings from user variables and the environment, and the
// resource: service.name, the process and this module as the telemetry SDK.
#include "otlp_config.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "otlp_http.h"

namespace otlp {
namespace {

struct Source {
    std::size_t count;
    const char* const* arguments;
};

// The user variable first (any case of the name), then the environment.
bool Lookup(const Source& src, const char* name, std::string* value) {
    std::size_t n = std::strlen(name);
    for (std::size_t i = src.count; i-- > 0;) {
        const char* a = src.arguments[i];
        if (a != nullptr && strncasecmp(a, name, n) == 0 && a[n] == '=') {
            *value = a + n + 1;
            return true;
        }
    }
    const char* env = std::getenv(name);
    if (env == nullptr) return false;
    *value = env;
    return true;
}

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// The first setting found among the names, in order.
bool First(const Source& src, std::initializer_list<const char*> names, std::string* value) {
    for (const char* name : names)
        if (Lookup(src, name, value)) return true;
    return false;
}

void Warn(Config* config, const std::string& message) {
    if (std::find(config->warnings.begin(), config->warnings.end(), message) == config->warnings.end())
        config->warnings.push_back(message);
}

// A whole number up to `max`: larger ones (past any integer type too) are
// clamped, with a message; what is not a number gives the fallback.
std::uint64_t Count(const Source& src, std::initializer_list<const char*> names, std::uint64_t fallback,
                    std::uint64_t max, Config* config) {
    std::string text;
    if (!First(src, names, &text)) return fallback;
    const std::string name = *names.begin(), digits = Trim(text);
    std::uint64_t v = 0;
    const char* end = digits.data() + digits.size();
    const std::from_chars_result r = std::from_chars(digits.data(), end, v);
    if (r.ptr != end || digits.empty() || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
        Warn(config, "otlp: ignoring " + name + "='" + text + "': not a number");
        return fallback;
    }
    if (r.ec == std::errc() && v <= max) return v;
    Warn(config,
         "otlp: " + name + "=" + digits + " is more than " + std::to_string(max) + "; using " + std::to_string(max));
    return max;
}

// Milliseconds, at most kMaxMilliseconds, so no deadline or wait overflows.
long Milliseconds(const Source& src, std::initializer_list<const char*> names, long fallback, Config* config) {
    return static_cast<long>(Count(src, names, static_cast<std::uint64_t>(fallback), kMaxMilliseconds, config));
}

// A timeout of 0 is no limit, as OpenTelemetry has it: the longest one.
long Timeout(const Source& src, std::initializer_list<const char*> names, long fallback, Config* config) {
    const long ms = Milliseconds(src, names, fallback, config);
    return ms == 0 ? kMaxMilliseconds : ms;
}

// Header names the request needs as the module writes them (its framing, its
// body's type and encoding, the server it goes to) are refused, and so are
// names that are no HTTP token and values with control characters (a line
// break would start a header line of its own).
const char* HeaderProblem(const std::string& name, const std::string& value) {
    static const char* const kOwn[] = {
        "host",   "content-type", "content-length", "content-encoding", "transfer-encoding", "connection",
        "expect", "te",           "trailer",        "upgrade",          "keep-alive"};
    for (const char* own : kOwn)
        if (strcasecmp(name.c_str(), own) == 0) return "the module's own";
    for (unsigned char c : name)
        if (c <= ' ' || c >= 0x7f || std::strchr("\"(),/:;<=>?@[\\]{}", c) != nullptr) return "not a header name";
    for (unsigned char c : value)
        if ((c < ' ' && c != '\t') || c == 0x7f) return "a control character in its value";
    return nullptr;
}

std::string ExecutableName() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "unknown";
    path[n] = '\0';
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// `url` for a log line: credentials in it stay out.
std::string Redacted(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t at = url.rfind('@', url.find_first_of("/?#", from));
    return at == std::string::npos || at < from ? url : url.substr(0, from) + "REDACTED:REDACTED" + url.substr(at);
}

void LoadSignal(const Source& src, const char* signal, const std::string& base, Config* config, SignalConfig* out) {
    std::string upper = signal;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string per = "OTEL_EXPORTER_OTLP_" + upper + "_";
    std::string text;

    if (Lookup(src, (per + "ENDPOINT").c_str(), &text)) {
        out->url = Trim(text);
    } else {
        std::string b = base;
        while (!b.empty() && b.back() == '/') b.pop_back();
        out->url = b + "/v1/" + signal;
    }
    if (const char* problem = EndpointProblem(out->url)) {
        Warn(config, std::string("otlp: the ") + signal + " endpoint '" + Redacted(out->url) + "' is " + problem +
                         "; no " + signal + " are sent");
        out->url.clear();
    }
    if (First(src, {(per + "PROTOCOL").c_str(), "OTEL_EXPORTER_OTLP_PROTOCOL"}, &text)) {
        text = Lower(Trim(text));
        if (text == "http/json") {
            out->format = Format::kJson;
        } else if (text != "http/protobuf") {
            Warn(config, "otlp: protocol '" + text + "' is not supported; using http/protobuf");
        }
    }
    if (First(src, {(per + "COMPRESSION").c_str(), "OTEL_EXPORTER_OTLP_COMPRESSION"}, &text))
        out->gzip = Lower(Trim(text)) == "gzip";
    out->timeout_ms = Timeout(src, {(per + "TIMEOUT").c_str(), "OTEL_EXPORTER_OTLP_TIMEOUT"}, 10000, config);
    // Headers of both settings are sent, but a per-signal header replaces
    // the general ones of its name: a collector would get both values.
    const std::string own_name = per + "HEADERS";
    const char* const names[] = {"OTEL_EXPORTER_OTLP_HEADERS", own_name.c_str()};
    std::vector<std::pair<std::string, std::string>> general, own;
    for (const char* name : names) {
        if (!Lookup(src, name, &text)) continue;
        for (auto& kv : ParsePairs(text)) {
            if (const char* problem = HeaderProblem(kv.first, kv.second))
                Warn(config, "otlp: ignoring header '" + kv.first + "' of " + name + ": " + problem);
            else
                (name == names[0] ? general : own).push_back(std::move(kv));
        }
    }
    for (const auto& kv : general) {
        const auto same_name = [&](const auto& o) { return Lower(o.first) == Lower(kv.first); };
        if (std::none_of(own.begin(), own.end(), same_name)) out->headers.push_back(kv.first + ": " + kv.second);
    }
    for (const auto& kv : own) out->headers.push_back(kv.first + ": " + kv.second);
}

// "A, b,,c" as {"a", "b", "c"}: header and attribute names, any case.
std::vector<std::string> Names(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t comma = std::min(text.find(',', at), text.size());
        std::string name = Lower(Trim(text.substr(at, comma - at)));
        if (!name.empty()) out.push_back(std::move(name));
        at = comma + 1;
    }
    return out;
}

void LoadCapture(const Source& src, Config* config) {
    Capture& c = config->capture;
    std::string text;
    const struct {
        const char* name;
        std::vector<std::string>* names;
    } kHeaders[] = {{"OTEL_INSTRUMENTATION_HTTP_SERVER_CAPTURE_REQUEST_HEADERS", &c.server_request_headers},
                    {"OTEL_INSTRUMENTATION_HTTP_SERVER_CAPTURE_RESPONSE_HEADERS", &c.server_response_headers},
                    {"OTEL_INSTRUMENTATION_HTTP_CLIENT_CAPTURE_REQUEST_HEADERS", &c.client_request_headers},
                    {"OTEL_INSTRUMENTATION_HTTP_CLIENT_CAPTURE_RESPONSE_HEADERS", &c.client_response_headers}};
    for (const auto& h : kHeaders)
        if (Lookup(src, h.name, &text)) *h.names = Names(text);
    if (Lookup(src, "VEXLIN_OTLP_OPT_IN_ATTRIBUTES", &text)) {
        for (const std::string& name : Names(text)) {
            if (name == "client.port")
                c.client_port = true;
            else if (name == "db.response.returned_rows")
                c.returned_rows = true;
            else
                Warn(config,
                     "otlp: ignoring '" + name + "' of VEXLIN_OTLP_OPT_IN_ATTRIBUTES: not an attribute it adds");
        }
    }
    const char* sanitizer = "OTEL_INSTRUMENTATION_COMMON_DB_STATEMENT_SANITIZER_ENABLED";
    if (Lookup(src, sanitizer, &text)) {
        const std::string flag = Lower(Trim(text));
        if (flag == "true" || flag == "false")
            c.sanitize_queries = flag == "true";
        else
            Warn(config, std::string("otlp: ignoring ") + sanitizer + "='" + text + "': not true or false");
    }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParsePairs(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(at, comma - at);
        std::size_t eq = item.find('=');
        if (eq != std::string::npos && !Trim(item.substr(0, eq)).empty())
            out.emplace_back(Trim(item.substr(0, eq)), PercentDecode(Trim(item.substr(eq + 1))));
        at = comma + 1;
    }
    return out;
}

void LoadConfig(std::size_t argument_count, const char* const* arguments, Config* config) {
    Source src{arguments != nullptr ? argument_count : 0, arguments};
    std::string text;

    config->disabled = Lookup(src, "OTEL_SDK_DISABLED", &text) && Lower(Trim(text)) == "true";

    std::string base = "http://localhost:4318";
    if (Lookup(src, "OTEL_EXPORTER_OTLP_ENDPOINT", &text) && !Trim(text).empty()) base = Trim(text);
    LoadSignal(src, "traces", base, config, &config->traces);
    LoadSignal(src, "metrics", base, config, &config->metrics);

    config->schedule_delay_ms = Milliseconds(src, {"OTEL_BSP_SCHEDULE_DELAY"}, 5000, config);
    config->export_timeout_ms = Timeout(src, {"OTEL_BSP_EXPORT_TIMEOUT"}, 30000, config);
    config->max_queue = static_cast<std::size_t>(Count(src, {"OTEL_BSP_MAX_QUEUE_SIZE"}, 2048, kMaxQueue, config));
    config->max_batch =
        static_cast<std::size_t>(Count(src, {"OTEL_BSP_MAX_EXPORT_BATCH_SIZE"}, 512, kMaxQueue, config));
    if (config->max_queue == 0) config->max_queue = 1;
    if (config->max_batch == 0 || config->max_batch > config->max_queue) config->max_batch = config->max_queue;
    config->metric_interval_ms = Milliseconds(src, {"OTEL_METRIC_EXPORT_INTERVAL"}, 60000, config);
    if (config->metric_interval_ms == 0) config->metric_interval_ms = 60000;

    // A span's or event's own limit wins over the general one; lengths are
    // not limited unless set.
    auto limit = [&](std::initializer_list<const char*> names, long fallback) {
        long v = Milliseconds(src, names, fallback, config);
        return v < 0 ? kNoLimit : static_cast<std::size_t>(v);
    };
    Limits& l = config->limits;
    l.value_length = limit({"OTEL_ATTRIBUTE_VALUE_LENGTH_LIMIT"}, -1);
    l.span_value_length = limit({"OTEL_SPAN_ATTRIBUTE_VALUE_LENGTH_LIMIT", "OTEL_ATTRIBUTE_VALUE_LENGTH_LIMIT"}, -1);
    l.span_attribute_count = limit({"OTEL_SPAN_ATTRIBUTE_COUNT_LIMIT", "OTEL_ATTRIBUTE_COUNT_LIMIT"}, 128);
    l.event_count = limit({"OTEL_SPAN_EVENT_COUNT_LIMIT"}, 128);
    l.event_attribute_count = limit({"OTEL_EVENT_ATTRIBUTE_COUNT_LIMIT", "OTEL_ATTRIBUTE_COUNT_LIMIT"}, 128);
    LoadCapture(src, config);

    if (Lookup(src, "OTEL_TRACES_SAMPLER", &text)) {
        static const struct {
            const char* name;
            Sampler sampler;
        } kSamplers[] = {{"always_on", Sampler::kAlwaysOn},
                         {"always_off", Sampler::kAlwaysOff},
                         {"traceidratio", Sampler::kRatio},
                         {"parentbased_always_on", Sampler::kParentAlwaysOn},
                         {"parentbased_always_off", Sampler::kParentAlwaysOff},
                         {"parentbased_traceidratio", Sampler::kParentRatio}};
        bool known = false;
        for (const auto& s : kSamplers)
            if (Lower(Trim(text)) == s.name) {
                config->sampler = s.sampler;
                known = true;
            }
        if (!known) Warn(config, "otlp: unknown sampler '" + text + "'; using parentbased_always_on");
    }
    if (Lookup(src, "OTEL_TRACES_SAMPLER_ARG", &text)) {
        // Read the same in every locale: a German one would stop at the '.'.
        const std::string number = Trim(text);
        double r = -1;
        const std::from_chars_result read = std::from_chars(number.data(), number.data() + number.size(), r);
        if (read.ec == std::errc() && read.ptr == number.data() + number.size() && r >= 0 && r <= 1)
            config->ratio = r;
        else
            Warn(config, "otlp: sampler argument '" + text + "' is not a ratio in [0, 1]");
    }

    // service.name: OTEL_SERVICE_NAME, else the resource list, else the executable.
    std::string service;
    std::string executable = ExecutableName();
    Lookup(src, "OTEL_SERVICE_NAME", &service);
    service = Trim(service);
    Attributes& r = config->resource;
    r.clear();
    std::vector<std::pair<std::string, std::string>> listed;
    if (Lookup(src, "OTEL_RESOURCE_ATTRIBUTES", &text)) listed = ParsePairs(text);
    for (const auto& kv : listed)
        if (kv.first == "service.name" && service.empty()) service = kv.second;
    AddString(r, "service.name", service.empty() ? "unknown_service:" + executable : service);
    for (const auto& kv : listed)
        if (kv.first != "service.name") AddAttribute(r, kv.first, ValueType::kString).value.s = kv.second;
    AddInt(r, "process.pid", ::getpid());
    AddString(r, "process.executable.name", executable);
    AddString(r, "telemetry.sdk.name", "vexlin");
    AddString(r, "telemetry.sdk.language", "cpp");
    AddString(r, "telemetry.sdk.version", VEXLIN_OTLP_AGENT_VERSION);
}

}  // namespace otlp
