// A minimal agent module for benchmarks: every slot returns at once, so a
// measurement shows the cost of getting there, not of the agent's work.
#include <string.h>

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

#define BENCH_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct vexlin_abi_agent_t_impl {
    int unused;
} g_agent_object;

vexlin_abi_agent_t* agent_object() { return reinterpret_cast<vexlin_abi_agent_t*>(&g_agent_object); }

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) \
    result bench_##name(vexlin_abi_agent_t*) { return result(); }
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) \
    result bench_##name(vexlin_abi_agent_t*, VEXLIN_UNPAREN params) { return result(); }
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "vexlin/internal/x-agent_funcs.h"
#pragma GCC diagnostic pop
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) bench_##name,
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) bench_##name,
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) bench_##name,
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) bench_##name,
const vexlin_abi_agent_functions_5_t g_agent_functions = {
#include "vexlin/internal/x-agent_funcs.h"
};
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

#define BENCH_EX_SLOT(slot, field, exported, result, params, args, neutral) \
    result bench_ex_##field(vexlin_abi_agent_t*, VEXLIN_UNPAREN params) { return result(); }
#define BENCH_EX_SLOT0(slot, field, exported, result, neutral) \
    result bench_ex_##field(vexlin_abi_agent_t*) { return result(); }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
VEXLIN_EX_METRICS_FUNCS(BENCH_EX_SLOT, BENCH_EX_SLOT0)
VEXLIN_EX_SPAN_FUNCS(BENCH_EX_SLOT, BENCH_EX_SLOT0)
#pragma GCC diagnostic pop
#define BENCH_EX_ENTRY(slot, field, exported, result, params, args, neutral) bench_ex_##field,
#define BENCH_EX_ENTRY0(slot, field, exported, result, neutral) bench_ex_##field,
const vexlin_abi_library_functions_ex_metrics_t g_metrics = {VEXLIN_EX_METRICS_FUNCS(BENCH_EX_ENTRY, BENCH_EX_ENTRY0)};
const vexlin_abi_library_functions_ex_span_t g_span = {VEXLIN_EX_SPAN_FUNCS(BENCH_EX_ENTRY, BENCH_EX_ENTRY0)};

const vexlin_xchar_t* get_version_string() { return "bench 1.0"; }

vexlin_result_t get_agent_5(const vexlin_abi_stub_version_t*, vexlin_abi_agent_t** agent_out,
                            const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t*, vexlin_size_t) {
    *agent_out = agent_object();
    *functions_out = &g_agent_functions;
    return VEXLIN_SUCCESS;
}

const vexlin_abi_library_functions_5_t g_library = {get_version_string, get_agent_5};

}  // namespace

BENCH_EXPORT vexlin_result_t sdkagent_abi_initialize(vexlin_size_t, const vexlin_xchar_t* const*, vexlin_xchar_t*,
                                                     vexlin_size_t) {
    return VEXLIN_SUCCESS;
}

BENCH_EXPORT vexlin_result_t sdkagent_abi_get_library(vexlin_uint32_t interface_id, vexlin_uint32_t,
                                                      const void** table_out, vexlin_xchar_t*, vexlin_size_t) {
    switch (interface_id) {
        case VEXLIN_ABI_INTERFACE_LIBRARY_5:
            *table_out = &g_library;
            return VEXLIN_SUCCESS;
        case VEXLIN_ABI_INTERFACE_EX_METRICS:
            *table_out = &g_metrics;
            return VEXLIN_SUCCESS;
        case VEXLIN_ABI_INTERFACE_EX_SPAN:
            *table_out = &g_span;
            return VEXLIN_SUCCESS;
        default:
            return VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
    }
}

BENCH_EXPORT vexlin_result_t sdkagent_abi_shutdown(void) { return VEXLIN_SUCCESS; }
