/* Tables and records exchanged with the agent module: the agent function
 * table (built from x-agent_funcs.h), the library tables, the extension
 * tables and the stub version record. Layouts are a fixed contract. */
#ifndef VEXLIN_STUB_ABI_H
#define VEXLIN_STUB_ABI_H

#include "../vexlin_common.h"
#include "../vexlin_string.h"
#include "vexlin_ex_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VEXLIN_UNPAREN(...) __VA_ARGS__

/** The agent object; only the agent module knows its layout. */
typedef struct vexlin_abi_agent_t vexlin_abi_agent_t;

/* ---- Agent function tables -------------------------------------------- */

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) result (*vexlin_abi_##name)(vexlin_abi_agent_t * agent);
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) \
    result (*vexlin_abi_##name)(vexlin_abi_agent_t * agent, VEXLIN_UNPAREN params);
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_SLOT(slot, revision, name, result, params)

/** Revision 5: 51 slots. */
typedef struct vexlin_abi_agent_functions_5_t {
#include "x-agent_funcs.h"
} vexlin_abi_agent_functions_5_t;

#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

/* Revision 1 keeps the slots that revision 1 introduced (0 to 18). */
#define VEXLIN_ABI_IN_REVISION_1_1(...) __VA_ARGS__
#define VEXLIN_ABI_IN_REVISION_1_5(...)
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) \
    VEXLIN_ABI_IN_REVISION_1_##revision(result (*vexlin_abi_##name)(vexlin_abi_agent_t * agent);)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) \
    VEXLIN_ABI_IN_REVISION_1_##revision(result (*vexlin_abi_##name)(vexlin_abi_agent_t * agent, VEXLIN_UNPAREN params);)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) \
    VEXLIN_AGENT_SLOT(slot, revision, name, result, params)

typedef struct vexlin_abi_agent_functions_1_t {
#include "x-agent_funcs.h"
} vexlin_abi_agent_functions_1_t;

#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

typedef vexlin_abi_agent_functions_5_t vexlin_abi_agent_functions_cur_t;

#define VEXLIN_ABI_AGENT_FUNCTIONS_5_SLOTS 51
#define VEXLIN_ABI_AGENT_FUNCTIONS_1_SLOTS 19

/* ---- Stub version record ---------------------------------------------- */

/** Handed to vexlin_abi_get_agent_5; 96 bytes in native byte order. */
typedef struct vexlin_abi_stub_version_t {
    vexlin_uint32_t version_major;
    vexlin_uint32_t version_minor;
    vexlin_uint32_t version_patch;
    vexlin_uint32_t version_build;
    vexlin_uint32_t reserved1;
    vexlin_uint32_t reserved2;
    vexlin_uint32_t reserved3;
    vexlin_uint32_t reserved4;
    vexlin_xchar_t build_timestamp[32];
    vexlin_xchar_t reserved5[32];
} vexlin_abi_stub_version_t;

/* ---- Library tables --------------------------------------------------- */

typedef const vexlin_xchar_t* vexlin_abi_agent_get_version_string_function_t(void);

/** Interface 1730002, level 6. */
typedef struct vexlin_abi_library_functions_5_t {
    vexlin_abi_agent_get_version_string_function_t* vexlin_abi_agent_get_version_string;
    vexlin_result_t (*vexlin_abi_get_agent_5)(const vexlin_abi_stub_version_t* stub_version,
                                              vexlin_abi_agent_t** agent_out,
                                              const vexlin_abi_agent_functions_5_t** functions_out,
                                              vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length);
} vexlin_abi_library_functions_5_t;

typedef vexlin_abi_library_functions_5_t vexlin_abi_library_functions_cur_t;

/** Interfaces 1560001 and 1330002, level 5. */
typedef struct vexlin_abi_library_functions_versiononly_t {
    vexlin_abi_agent_get_version_string_function_t* vexlin_abi_agent_get_version_string;
} vexlin_abi_library_functions_versiononly_t;

/** Revision 1; never requested by the library. */
typedef struct vexlin_abi_library_functions_1_t {
    vexlin_abi_agent_get_version_string_function_t* vexlin_abi_agent_get_version_string;
    vexlin_result_t (*vexlin_abi_get_agent)(vexlin_abi_agent_t** agent_out,
                                            const vexlin_abi_agent_functions_1_t** functions_out);
} vexlin_abi_library_functions_1_t;

/* ---- Extension tables ------------------------------------------------- */
/* One list per group, one slot per line:
 *   X(slot, table field suffix, exported function suffix, result, (parameters), (arguments), neutral)
 *   X0(slot, table field suffix, exported function suffix, result, neutral)   no parameters
 * Every slot takes the agent object first. */

/* clang-format off */
#define VEXLIN_EX_METRICS_FUNCS(X, X0) \
    X(0, metric_delete, metric_delete, void, (vexlin_metric_handle_t metric_handle), (metric_handle), nothing) \
    X(1, integercountermetric_create, integercountermetric_create_p, vexlin_metric_handle_t, (const vexlin_string_t* metric_key, const vexlin_string_t* unit, const vexlin_string_t* dimension_name), (metric_key, unit, dimension_name), no_handle) \
    X(2, floatcountermetric_create, floatcountermetric_create_p, vexlin_metric_handle_t, (const vexlin_string_t* metric_key, const vexlin_string_t* unit, const vexlin_string_t* dimension_name), (metric_key, unit, dimension_name), no_handle) \
    X(3, integergaugemetric_create, integergaugemetric_create_p, vexlin_metric_handle_t, (const vexlin_string_t* metric_key, const vexlin_string_t* unit, const vexlin_string_t* dimension_name), (metric_key, unit, dimension_name), no_handle) \
    X(4, floatgaugemetric_create, floatgaugemetric_create_p, vexlin_metric_handle_t, (const vexlin_string_t* metric_key, const vexlin_string_t* unit, const vexlin_string_t* dimension_name), (metric_key, unit, dimension_name), no_handle) \
    X(5, integerstatisticsmetric_create, integerstatisticsmetric_create_p, vexlin_metric_handle_t, (const vexlin_string_t* metric_key, const vexlin_string_t* unit, const vexlin_string_t* dimension_name), (metric_key, unit, dimension_name), no_handle) \
    X(6, floatstatisticsmetric_create, floatstatisticsmetric_create_p, vexlin_metric_handle_t, (const vexlin_string_t* metric_key, const vexlin_string_t* unit, const vexlin_string_t* dimension_name), (metric_key, unit, dimension_name), no_handle) \
    X(7, integercountermetric_increase_by, integercountermetric_increase_by_p, void, (vexlin_metric_handle_t metric_handle, vexlin_int64_t delta, const vexlin_string_t* dimension), (metric_handle, delta, dimension), nothing) \
    X(8, floatcountermetric_increase_by, floatcountermetric_increase_by_p, void, (vexlin_metric_handle_t metric_handle, double delta, const vexlin_string_t* dimension), (metric_handle, delta, dimension), nothing) \
    X(9, integergaugemetric_set_value, integergaugemetric_set_value_p, void, (vexlin_metric_handle_t metric_handle, vexlin_int64_t value, const vexlin_string_t* dimension), (metric_handle, value, dimension), nothing) \
    X(10, floatgaugemetric_set_value, floatgaugemetric_set_value_p, void, (vexlin_metric_handle_t metric_handle, double value, const vexlin_string_t* dimension), (metric_handle, value, dimension), nothing) \
    X(11, integerstatisticsmetric_add_value, integerstatisticsmetric_add_value_p, void, (vexlin_metric_handle_t metric_handle, vexlin_int64_t value, const vexlin_string_t* dimension), (metric_handle, value, dimension), nothing) \
    X(12, floatstatisticsmetric_add_value, floatstatisticsmetric_add_value_p, void, (vexlin_metric_handle_t metric_handle, double value, const vexlin_string_t* dimension), (metric_handle, value, dimension), nothing)

#define VEXLIN_EX_SPAN_FUNCS(X, X0) \
    X(0, ex_spantracer_create, ex_spantracer_create, vexlin_tracer_handle_t, (vexlin_int32_t tracing_system_type), (tracing_system_type), no_handle) \
    X(1, ex_spantracer_set_ids_p, ex_spantracer_set_ids_p, void, (vexlin_tracer_handle_t tracer, const vexlin_ex_trace_id_t* trace_id, const vexlin_ex_span_id_t* span_id, const vexlin_ex_span_id_t* parent_span_id), (tracer, trace_id, span_id, parent_span_id), nothing) \
    X(2, ex_spantracer_set_integers_p, ex_spantracer_set_integers_p, void, (vexlin_tracer_handle_t tracer, const vexlin_string_t* keys, const vexlin_int64_t* values, vexlin_size_t count), (tracer, keys, values, count), nothing) \
    X(3, ex_spantracer_set_doubles_p, ex_spantracer_set_doubles_p, void, (vexlin_tracer_handle_t tracer, const vexlin_string_t* keys, const double* values, vexlin_size_t count), (tracer, keys, values, count), nothing) \
    X(4, ex_spantracer_set_floats_p, ex_spantracer_set_floats_p, void, (vexlin_tracer_handle_t tracer, const vexlin_string_t* keys, const float* values, vexlin_size_t count), (tracer, keys, values, count), nothing) \
    X(5, ex_spantracer_set_bools_p, ex_spantracer_set_bools_p, void, (vexlin_tracer_handle_t tracer, const vexlin_string_t* keys, const unsigned char* values, vexlin_size_t count), (tracer, keys, values, count), nothing) \
    X(6, ex_spantracer_set_strings_p, ex_spantracer_set_strings_p, void, (vexlin_tracer_handle_t tracer, const vexlin_string_t* keys, const vexlin_string_t* values, vexlin_size_t count), (tracer, keys, values, count), nothing) \
    X(7, ex_spantracer_set_operationname_p, ex_spantracer_set_operationname_p, void, (vexlin_tracer_handle_t tracer, const vexlin_string_t* operation_name), (tracer, operation_name), nothing)

#define VEXLIN_EX_TECHTYPE_FUNCS(X, X0) \
    X(0, ex_agent_add_process_technology_p, ex_agent_add_process_technology_p, void, (vexlin_int32_t tech_type, const vexlin_string_t* tech_edition, const vexlin_string_t* tech_version), (tech_type, tech_edition, tech_version), nothing)

#define VEXLIN_EX_TRACER_EXT_FUNCS(X, X0) \
    X(0, ex_tracer_start_2, ex_tracer_start_2, vexlin_bool_t, (vexlin_tracer_handle_t tracer_handle, vexlin_tracer_handle_t parent_tracer_handle, vexlin_int64_t start_time_micro), (tracer_handle, parent_tracer_handle, start_time_micro), zero) \
    X(1, ex_tracer_end_timed, ex_tracer_end_timed, void, (vexlin_tracer_handle_t tracer_handle, vexlin_int64_t end_time_micro), (tracer_handle, end_time_micro), nothing)

#define VEXLIN_EX_SERVERLESS_FUNCS(X, X0) \
    X0(0, ex_agent_force_send_data_now, ex_agent_force_send_data_now, void, nothing)

/* clang-format on */

#define VEXLIN_EX_TABLE_FIELD(slot, field, exported, result, params, args, neutral) \
    result (*vexlin_abi_##field)(vexlin_abi_agent_t * agent, VEXLIN_UNPAREN params);
#define VEXLIN_EX_TABLE_FIELD0(slot, field, exported, result, neutral) \
    result (*vexlin_abi_##field)(vexlin_abi_agent_t * agent);

/** Interface 91680001. */
typedef struct vexlin_abi_library_functions_ex_metrics_t {
    VEXLIN_EX_METRICS_FUNCS(VEXLIN_EX_TABLE_FIELD, VEXLIN_EX_TABLE_FIELD0)
} vexlin_abi_library_functions_ex_metrics_t;

/** Interface 91620005. */
typedef struct vexlin_abi_library_functions_ex_span_t {
    VEXLIN_EX_SPAN_FUNCS(VEXLIN_EX_TABLE_FIELD, VEXLIN_EX_TABLE_FIELD0)
} vexlin_abi_library_functions_ex_span_t;

/** Interface 91730001. */
typedef struct vexlin_abi_library_functions_ex_techtype_t {
    VEXLIN_EX_TECHTYPE_FUNCS(VEXLIN_EX_TABLE_FIELD, VEXLIN_EX_TABLE_FIELD0)
} vexlin_abi_library_functions_ex_techtype_t;

/** Interface 91620003. */
typedef struct vexlin_abi_library_functions_ex_tracer_ext_t {
    VEXLIN_EX_TRACER_EXT_FUNCS(VEXLIN_EX_TABLE_FIELD, VEXLIN_EX_TABLE_FIELD0)
} vexlin_abi_library_functions_ex_tracer_ext_t;

/** Interface 91790001. */
typedef struct vexlin_abi_library_functions_ex_serverless_t {
    VEXLIN_EX_SERVERLESS_FUNCS(VEXLIN_EX_TABLE_FIELD, VEXLIN_EX_TABLE_FIELD0)
} vexlin_abi_library_functions_ex_serverless_t;

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_STUB_ABI_H */
