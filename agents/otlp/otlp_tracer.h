// An ended tracer on its way out: the kit's record of everything the
// application reported (kept by the sink until the span is sent), which
// MapTracer (otlp_mapping.cpp) turns into name, kind, attributes, events and
// status on the exporter thread.
#ifndef VEXLIN_OTLP_TRACER_H
#define VEXLIN_OTLP_TRACER_H

#include "kit.h"
#include "otlp_config.h"
#include "otlp_model.h"

namespace otlp {

struct Ended : SpanData {
    const vexlin_kit::Tracer* source = nullptr;
};

// Name, kind, attributes, events and status of `span` from its record, with
// what the configuration captures, within its limits.
void MapTracer(Ended& span, const Config& config);

}  // namespace otlp

#endif  // VEXLIN_OTLP_TRACER_H
