/* The physical limit a forwarder is measured against: the shortest possible
 * forwarding (load the table, test it, load the agent, jump) and an empty
 * exported function, both in a shared library of their own so they are
 * called the way the library's functions are. */
#ifndef VEXLIN_BENCH_REFERENCE_H
#define VEXLIN_BENCH_REFERENCE_H

#include "vexlin/internal/vexlin_stub_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

void reference_attach(vexlin_abi_agent_t* agent, const vexlin_abi_agent_functions_5_t* functions);
void reference_tracer_start(vexlin_tracer_handle_t tracer_handle);
vexlin_tracer_handle_t reference_outgoingremotecalltracer_create_p(const vexlin_string_t* service_method,
                                                                   const vexlin_string_t* service_name,
                                                                   const vexlin_string_t* service_endpoint,
                                                                   vexlin_int32_t channel_type,
                                                                   const vexlin_string_t* channel_endpoint);
void reference_empty(void);

#ifdef __cplusplus
}
#endif

#endif
