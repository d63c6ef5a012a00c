/* Reference forwarder and empty function; see reference.h. */
#include "reference.h"

#include <stddef.h>

static vexlin_abi_agent_t* s_agent;
static const vexlin_abi_agent_functions_5_t* s_functions;

void reference_attach(vexlin_abi_agent_t* agent, const vexlin_abi_agent_functions_5_t* functions) {
    s_agent = agent;
    s_functions = functions;
}

void reference_tracer_start(vexlin_tracer_handle_t tracer_handle) {
    const vexlin_abi_agent_functions_5_t* table = s_functions;
    if (table != NULL) {
        table->vexlin_abi_tracer_start(s_agent, tracer_handle);
    }
}

vexlin_tracer_handle_t reference_outgoingremotecalltracer_create_p(const vexlin_string_t* service_method,
                                                                   const vexlin_string_t* service_name,
                                                                   const vexlin_string_t* service_endpoint,
                                                                   vexlin_int32_t channel_type,
                                                                   const vexlin_string_t* channel_endpoint) {
    const vexlin_abi_agent_functions_5_t* table = s_functions;
    if (table == NULL) {
        return 0;
    }
    return table->vexlin_abi_outgoingremotecalltracer_create_p(s_agent, service_method, service_name, service_endpoint,
                                                               channel_type, channel_endpoint);
}

void reference_empty(void) {}
