// One OTLP/HTTP client: a libcurl handle kept open between requests, gzip of
// request bodies, and the export of one body with retries within a deadline.
#ifndef VEXLIN_OTLP_HTTP_H
#define VEXLIN_OTLP_HTTP_H

#include <cstdint>
#include <functional>
#include <string>

#include "otlp_config.h"

namespace otlp {

struct HttpClient;

bool HttpGlobalInit();
HttpClient* HttpClientCreate();
void HttpClientDestroy(HttpClient* client);

std::uint64_t MonotonicMs();

// Why `url` cannot be an endpoint (not a URL, or not http or https), or null.
const char* EndpointProblem(const std::string& url);

using LogFunction = std::function<void(const std::string&)>;

enum class ExportResult { kSent, kRejected, kGaveUp };

// Posts `body` to the signal's URL, retrying 429, 502, 503, 504 and connection
// failures with back-off (or the answer's Retry-After, when longer) until
// `deadline_ms` of MonotonicMs(). `what` names the signal in log lines. When
// sent, `rejected` (if given) is how many items the answer's partial_success
// rejected.
ExportResult Export(HttpClient* client, const SignalConfig& signal, const std::string& body, std::uint64_t deadline_ms,
                    const char* what, const LogFunction& log, std::int64_t* rejected = nullptr);

}  // namespace otlp

#endif  // VEXLIN_OTLP_HTTP_H
