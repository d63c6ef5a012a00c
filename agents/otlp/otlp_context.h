// Trace context: random trace and span ids, the W3C traceparent text in both
// directions, and the sampling decision.
#ifndef VEXLIN_OTLP_CONTEXT_H
#define VEXLIN_OTLP_CONTEXT_H

#include <cstddef>
#include <cstdint>

#include "otlp_config.h"

namespace otlp {

// An all-zero id is invalid: it is never sent.
bool AllZero(const void* id, std::size_t n);
// Random, per thread; a forked child's differ from its parent's.
void NewTraceId(std::uint8_t id[16]);
void NewSpanId(std::uint8_t id[8]);
// Both at once, as NewTraceId and then NewSpanId would make them.
void NewTraceAndSpanIds(std::uint8_t trace_id[16], std::uint8_t span_id[8]);

// "00-<32 hex>-<16 hex>-<2 hex>": 55 characters.
constexpr std::size_t kTraceparentLength = 55;
void FormatTraceparent(const std::uint8_t trace_id[16], const std::uint8_t span_id[8], std::uint8_t flags,
                       char out[kTraceparentLength]);
// False for anything a receiver must ignore; later versions may append fields.
bool ParseTraceparent(const char* text, std::size_t length, std::uint8_t trace_id[16], std::uint8_t span_id[8],
                      std::uint8_t* flags);

bool ShouldSample(const Config& config, bool has_parent, bool parent_sampled, const std::uint8_t trace_id[16]);

}  // namespace otlp

#endif  // VEXLIN_OTLP_CONTEXT_H
