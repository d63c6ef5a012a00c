// OTLP/HTTP over libcurl, which is linked as the system's shared library so an
// application using curl itself shares one copy. One handle serves every
// request of the exporter thread, keeping the connection open.
#include "otlp_http.h"

#include <curl/curl.h>
#include <strings.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace otlp {

struct HttpClient {
    CURL* curl;
};

namespace {

struct Answer {
    long status = 0;
    bool connection_failed = false;
    long retry_after_ms = -1;
    std::string body;
    std::string error;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* answer) {
    std::string& body = static_cast<Answer*>(answer)->body;
    if (body.size() < 65536) body.append(data, size * count);
    return size * count;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* answer) {
    std::size_t n = size * count;
    const char kName[] = "retry-after:";
    if (n > sizeof kName && strncasecmp(data, kName, sizeof kName - 1) == 0) {
        std::string value(data + sizeof kName - 1, n - (sizeof kName - 1));
        char* end = nullptr;
        long seconds = std::strtol(value.c_str(), &end, 10);
        // Only the delay in seconds is understood; a date falls back to back-off.
        // Past a day it is a day: no wait outlasts the export timeout anyway.
        const long kDay = 86400;
        if (end != value.c_str() && seconds >= 0)
            static_cast<Answer*>(answer)->retry_after_ms = std::min(seconds, kDay) * 1000;
    }
    return n;
}

bool Gzip(const std::string& in, std::string* out) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out->resize(deflateBound(&z, in.size()) + 32);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
    z.avail_out = static_cast<uInt>(out->size());
    int rc = deflate(&z, Z_FINISH);
    out->resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END;
}

Answer Post(HttpClient* client, const SignalConfig& signal, const std::string& body, bool gzipped, long timeout_ms) {
    Answer answer;
    CURL* c = client->curl;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, signal.format == Format::kJson ? "Content-Type: application/json"
                                                                        : "Content-Type: application/x-protobuf");
    if (gzipped) headers = curl_slist_append(headers, "Content-Encoding: gzip");
    headers = curl_slist_append(headers, "Expect:");  // no wait for 100-continue
    for (const std::string& h : signal.headers) headers = curl_slist_append(headers, h.c_str());

    curl_easy_setopt(c, CURLOPT_URL, signal.url.c_str());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "vexlin-otlp/" VEXLIN_OTLP_AGENT_VERSION);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Nothing but HTTP, redirects included: another scheme could read the
    // application's standard input or files and send them.
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(c, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
#if LIBCURL_VERSION_NUM >= 0x075700
    // A name lookup still running when the timeout ends is left to finish on
    // its own thread; otherwise libcurl waits for it, however long it takes.
    curl_easy_setopt(c, CURLOPT_QUICK_EXIT, 1L);
#endif
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout_ms > 0 ? timeout_ms : 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms > 0 ? timeout_ms : 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &answer);

    CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(headers);
    if (rc != CURLE_OK) {
        answer.connection_failed = true;
        answer.error = curl_easy_strerror(rc);
        return answer;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
}

bool Retryable(const Answer& a) {
    return a.connection_failed || a.status == 429 || a.status == 502 || a.status == 503 || a.status == 504;
}

// A collector's text as a log line shows it: valid UTF-8 with control
// characters (and backslashes) escaped, so it can neither forge lines nor
// drive a terminal.
std::string Escaped(const std::string& text) {
    const std::string valid = ValidUtf8(text);
    std::string out;
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(valid[i]);
        const unsigned char next = i + 1 < valid.size() ? static_cast<unsigned char>(valid[i + 1]) : 0;
        char escape[8];
        if (c == '\\' || c == '\n' || c == '\r' || c == '\t') {
            out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else if (c == 0xC2 && next >= 0x80 && next < 0xA0) {  // U+0080 to U+009F
            std::snprintf(escape, sizeof escape, "\\u%04x", next);
            out += escape;
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string Describe(const Answer& a) {
    if (a.connection_failed) return a.error;
    std::string text = "HTTP " + std::to_string(a.status);
    if (!a.body.empty() && a.body.size() < 200 && a.body.find('\0') == std::string::npos) text += " " + Escaped(a.body);
    return text;
}

}  // namespace

bool HttpGlobalInit() { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }

HttpClient* HttpClientCreate() {
    CURL* c = curl_easy_init();
    return c != nullptr ? new HttpClient{c} : nullptr;
}

void HttpClientDestroy(HttpClient* client) {
    if (client == nullptr) return;
    curl_easy_cleanup(client->curl);
    delete client;
}

const char* EndpointProblem(const std::string& url) {
    CURLU* parsed = curl_url();
    char* scheme = nullptr;
    const char* problem = nullptr;
    if (parsed == nullptr) return nullptr;  // out of memory: the request will tell
    // libcurl reads "http:/host" as well; the scheme's "://" is asked for here.
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        url.find("://") != url.find(':'))
        problem = "not a valid URL";
    else if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK ||
             (strcasecmp(scheme, "http") != 0 && strcasecmp(scheme, "https") != 0))
        problem = "not an http or https URL";
    curl_free(scheme);
    curl_url_cleanup(parsed);
    return problem;
}

std::uint64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000 + std::uint64_t(ts.tv_nsec) / 1000000;
}

ExportResult Export(HttpClient* client, const SignalConfig& signal, const std::string& body, std::uint64_t deadline_ms,
                    const char* what, const LogFunction& log, std::int64_t* rejected) {
    std::string packed;
    bool gzipped = signal.gzip && Gzip(body, &packed);
    const std::string& sent = gzipped ? packed : body;
    std::minstd_rand jitter(static_cast<unsigned>(MonotonicMs()));
    long backoff_ms = 100;
    for (;;) {
        std::uint64_t now = MonotonicMs();
        if (now >= deadline_ms) {
            log(std::string("otlp: ") + what + " export gave up: the export timeout passed");
            return ExportResult::kGaveUp;
        }
        long left = static_cast<long>(deadline_ms - now);
        Answer a = Post(client, signal, sent, gzipped, signal.timeout_ms < left ? signal.timeout_ms : left);
        if (a.status >= 200 && a.status < 300) {
            std::int64_t refused = 0;
            std::string message;
            if (ReadPartialSuccess(signal.format, a.body, &refused, &message))
                log(std::string("otlp: ") + what + " export partly rejected: " + std::to_string(refused) +
                    " rejected: " + Escaped(message));
            if (rejected != nullptr) *rejected = refused;
            return ExportResult::kSent;
        }
        if (!Retryable(a)) {
            log(std::string("otlp: ") + what + " export failed: " + Describe(a) + "; not retried");
            return ExportResult::kRejected;
        }
        // The back-off is the least wait: a Retry-After of 0 would make a storm of requests.
        long wait_ms = backoff_ms / 2 + static_cast<long>(jitter() % static_cast<unsigned>(backoff_ms));
        backoff_ms = backoff_ms < 2500 ? backoff_ms * 2 : 5000;
        if (a.retry_after_ms > wait_ms) wait_ms = a.retry_after_ms;
        if (MonotonicMs() + static_cast<std::uint64_t>(wait_ms) >= deadline_ms) {
            log(std::string("otlp: ") + what + " export failed: " + Describe(a) +
                "; no time left to retry within the export timeout");
            return ExportResult::kGaveUp;
        }
        log(std::string("otlp: ") + what + " export failed: " + Describe(a) + "; retrying in " +
            std::to_string(wait_ms) + " ms");
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    }
}

}  // namespace otlp
