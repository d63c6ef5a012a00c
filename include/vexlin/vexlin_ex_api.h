/* Extension groups: metrics, spans, process technologies, timed tracers and
 * serverless flushing. Enable a group after every successful
 * vexlin_initialize(), then call its functions; until then, and whenever no
 * agent is attached, they give neutral answers. Metrics are enabled by
 * vexlin_initialize() itself. */
#ifndef VEXLIN_EX_API_H
#define VEXLIN_EX_API_H

#include "internal/vexlin_ex_common.h"
#include "vexlin_common.h"
#include "vexlin_string.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Enabling --------------------------------------------------------- */

/** 0 on success; 0xAFFE0004 before initialization; else the module's refusal.
 * Serialized with initialize and shutdown: a group enabled while the last
 * shutdown runs is either cleared by it or finds nothing initialized. */
VEXLIN_API vexlin_result_t vexlin_ex_api_enable_span(void);
VEXLIN_API vexlin_result_t vexlin_ex_api_enable_techtype(void);
VEXLIN_API vexlin_result_t vexlin_ex_api_enable_tracer_ext(void);
VEXLIN_API vexlin_result_t vexlin_ex_api_enable_serverless(void);

/* ---- Metrics ---------------------------------------------------------- */

VEXLIN_API void vexlin_metric_delete(vexlin_metric_handle_t metric_handle);
VEXLIN_API vexlin_metric_handle_t vexlin_integercountermetric_create_p(const vexlin_string_t* metric_key,
                                                                       const vexlin_string_t* unit,
                                                                       const vexlin_string_t* dimension_name);
VEXLIN_API vexlin_metric_handle_t vexlin_floatcountermetric_create_p(const vexlin_string_t* metric_key,
                                                                     const vexlin_string_t* unit,
                                                                     const vexlin_string_t* dimension_name);
VEXLIN_API vexlin_metric_handle_t vexlin_integergaugemetric_create_p(const vexlin_string_t* metric_key,
                                                                     const vexlin_string_t* unit,
                                                                     const vexlin_string_t* dimension_name);
VEXLIN_API vexlin_metric_handle_t vexlin_floatgaugemetric_create_p(const vexlin_string_t* metric_key,
                                                                   const vexlin_string_t* unit,
                                                                   const vexlin_string_t* dimension_name);
VEXLIN_API vexlin_metric_handle_t vexlin_integerstatisticsmetric_create_p(const vexlin_string_t* metric_key,
                                                                          const vexlin_string_t* unit,
                                                                          const vexlin_string_t* dimension_name);
VEXLIN_API vexlin_metric_handle_t vexlin_floatstatisticsmetric_create_p(const vexlin_string_t* metric_key,
                                                                        const vexlin_string_t* unit,
                                                                        const vexlin_string_t* dimension_name);
VEXLIN_API void vexlin_integercountermetric_increase_by_p(vexlin_metric_handle_t metric_handle, vexlin_int64_t delta,
                                                          const vexlin_string_t* dimension);
VEXLIN_API void vexlin_floatcountermetric_increase_by_p(vexlin_metric_handle_t metric_handle, double delta,
                                                        const vexlin_string_t* dimension);
VEXLIN_API void vexlin_integergaugemetric_set_value_p(vexlin_metric_handle_t metric_handle, vexlin_int64_t value,
                                                      const vexlin_string_t* dimension);
VEXLIN_API void vexlin_floatgaugemetric_set_value_p(vexlin_metric_handle_t metric_handle, double value,
                                                    const vexlin_string_t* dimension);
VEXLIN_API void vexlin_integerstatisticsmetric_add_value_p(vexlin_metric_handle_t metric_handle, vexlin_int64_t value,
                                                           const vexlin_string_t* dimension);
VEXLIN_API void vexlin_floatstatisticsmetric_add_value_p(vexlin_metric_handle_t metric_handle, double value,
                                                         const vexlin_string_t* dimension);

/* ---- Spans ------------------------------------------------------------ */

VEXLIN_API vexlin_tracer_handle_t vexlin_ex_spantracer_create(vexlin_int32_t tracing_system_type);
VEXLIN_API void vexlin_ex_spantracer_set_ids_p(vexlin_tracer_handle_t tracer, const vexlin_ex_trace_id_t* trace_id,
                                               const vexlin_ex_span_id_t* span_id,
                                               const vexlin_ex_span_id_t* parent_span_id);
/* keys and values point at `count` consecutive entries each. */
VEXLIN_API void vexlin_ex_spantracer_set_integers_p(vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                                    const vexlin_int64_t* values, vexlin_size_t count);
VEXLIN_API void vexlin_ex_spantracer_set_doubles_p(vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                                   const double* values, vexlin_size_t count);
VEXLIN_API void vexlin_ex_spantracer_set_floats_p(vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                                  const float* values, vexlin_size_t count);
VEXLIN_API void vexlin_ex_spantracer_set_bools_p(vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                                 const unsigned char* values, vexlin_size_t count);
VEXLIN_API void vexlin_ex_spantracer_set_strings_p(vexlin_tracer_handle_t tracer, const vexlin_string_t* keys,
                                                   const vexlin_string_t* values, vexlin_size_t count);
VEXLIN_API void vexlin_ex_spantracer_set_operationname_p(vexlin_tracer_handle_t tracer,
                                                         const vexlin_string_t* operation_name);

/* ---- Process technologies --------------------------------------------- */

VEXLIN_API void vexlin_ex_agent_add_process_technology_p(vexlin_int32_t tech_type, const vexlin_string_t* tech_edition,
                                                         const vexlin_string_t* tech_version);

/* ---- Timed tracers ---------------------------------------------------- */

/** Times are microseconds, interpreted by the agent; 0 while not enabled. */
VEXLIN_API vexlin_bool_t vexlin_ex_tracer_start_2(vexlin_tracer_handle_t tracer_handle,
                                                  vexlin_tracer_handle_t parent_tracer_handle,
                                                  vexlin_int64_t start_time_micro);
VEXLIN_API void vexlin_ex_tracer_end_timed(vexlin_tracer_handle_t tracer_handle, vexlin_int64_t end_time_micro);

/* ---- Serverless ------------------------------------------------------- */

VEXLIN_API void vexlin_ex_agent_force_send_data_now(void);

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_EX_API_H */
