// The module's configuration: the OTEL_* environment variables, each also
// settable by a user variable of the same name in lower case that the library
// hands over among the initialize arguments (those win), and the resource
// built from them.
#ifndef VEXLIN_OTLP_CONFIG_H
#define VEXLIN_OTLP_CONFIG_H

#include <cstddef>
#include <string>
#include <vector>

#include "otlp_encode.h"
#include "otlp_model.h"

namespace otlp {

struct SignalConfig {
    std::string url;
    Format format = Format::kProtobuf;
    std::vector<std::string> headers;  // "Name: value"
    long timeout_ms = 10000;
    bool gzip = false;
};

// The longest duration any setting gives (about 24.8 days), so that no
// deadline or wait computed from one overflows; and the most spans queued.
constexpr long kMaxMilliseconds = 2147483647;
constexpr std::size_t kMaxQueue = 1048576;

// What the mapping exports beyond the default, and how it cleans what it
// does: header names (lower case) to capture per side and direction, the
// Opt-In attributes named in VEXLIN_OTLP_OPT_IN_ATTRIBUTES, and whether
// literals leave query texts.
struct Capture {
    std::vector<std::string> server_request_headers, server_response_headers;
    std::vector<std::string> client_request_headers, client_response_headers;
    bool client_port = false;
    bool returned_rows = false;
    bool sanitize_queries = true;
};

enum class Sampler { kAlwaysOn, kAlwaysOff, kRatio, kParentAlwaysOn, kParentAlwaysOff, kParentRatio };

struct Config {
    bool disabled = false;
    Attributes resource;
    SignalConfig traces;
    SignalConfig metrics;
    long schedule_delay_ms = 5000;
    long export_timeout_ms = 30000;
    std::size_t max_queue = 2048;
    std::size_t max_batch = 512;
    long metric_interval_ms = 60000;
    Sampler sampler = Sampler::kParentAlwaysOn;
    double ratio = 1.0;
    Limits limits;
    Capture capture;
    std::vector<std::string> warnings;  // values that were not understood
};

void LoadConfig(std::size_t argument_count, const char* const* arguments, Config* config);

// "a=b%2Cc,d=e" into pairs, values percent-decoded.
std::vector<std::pair<std::string, std::string>> ParsePairs(const std::string& text);

}  // namespace otlp

#endif  // VEXLIN_OTLP_CONFIG_H
