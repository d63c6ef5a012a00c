// An ended tracer on its way out: the span context the sink gave it at start
// and a copy of the kit's record of everything the application reported,
// which MapTracer (otlp_mapping.cpp) turns into name, kind, attributes,
// events and status on the exporter thread.
#ifndef VEXLIN_OTLP_TRACER_H
#define VEXLIN_OTLP_TRACER_H

#include "kit.h"
#include "otlp_model.h"

namespace otlp {

struct Ended : SpanData {
    vexlin_kit::Tracer source;
};

// The exporter thread's hooks: build the span from the record, then free it.
void MapTracer(SpanData* span);
void DestroyTracer(SpanData* span);

// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD:
// OTLP strings must be valid UTF-8.
std::string ValidUtf8(const std::string& text);

}  // namespace otlp

#endif  // VEXLIN_OTLP_TRACER_H
