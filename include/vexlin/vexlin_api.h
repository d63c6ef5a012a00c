/* The tracing API. Every function forwards to the attached agent module;
 * while none is attached it gives a neutral answer (handle 0, nothing done),
 * so an application never has to test whether monitoring is on. */
#ifndef VEXLIN_API_H
#define VEXLIN_API_H

#include "vexlin_common.h"
#include "vexlin_string.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Agent ------------------------------------------------------------ */

/** Agent-defined state code; 3 while no agent is attached. */
VEXLIN_API vexlin_int32_t vexlin_agent_get_current_state(void);
/** Agent-defined fork state code; -1 while no agent is attached. */
VEXLIN_API vexlin_int32_t vexlin_agent_get_fork_state(void);
VEXLIN_API void vexlin_agent_set_logging_callback(vexlin_agent_logging_callback_t* agent_logging_callback);
/** 0xAFFE0004 while no agent is attached. */
VEXLIN_API vexlin_result_t vexlin_agent_set_warning_callback(vexlin_agent_logging_callback_t* agent_logging_callback);
/** 0xAFFE0004 while no agent is attached. */
VEXLIN_API vexlin_result_t vexlin_agent_set_verbose_callback(vexlin_agent_logging_callback_t* agent_logging_callback);

/* ---- Any tracer ------------------------------------------------------- */

VEXLIN_API void vexlin_tracer_start(vexlin_tracer_handle_t tracer_handle);
VEXLIN_API void vexlin_tracer_end(vexlin_tracer_handle_t tracer_handle);
VEXLIN_API void vexlin_tracer_error_p(vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* error_class,
                                      const vexlin_string_t* error_message);
/** Writes the tag for an outgoing call into `buffer`. Without an agent the
 * buffer (when usable) receives an empty string, *required_buffer_size 1,
 * and the result is 0. */
VEXLIN_API vexlin_size_t vexlin_tracer_get_outgoing_korvantix_string_tag(vexlin_tracer_handle_t tracer_handle,
                                                                         char* buffer, vexlin_size_t buffer_size,
                                                                         vexlin_size_t* required_buffer_size);
/** Without an agent *required_buffer_size is 0, the buffer is untouched, the result is 0. */
VEXLIN_API vexlin_size_t vexlin_tracer_get_outgoing_korvantix_byte_tag(vexlin_tracer_handle_t tracer_handle,
                                                                       unsigned char* buffer, vexlin_size_t buffer_size,
                                                                       vexlin_size_t* required_buffer_size);
VEXLIN_API void vexlin_tracer_set_incoming_korvantix_string_tag_p(vexlin_tracer_handle_t tracer_handle,
                                                                  const vexlin_string_t* string_tag);
VEXLIN_API void vexlin_tracer_set_incoming_korvantix_byte_tag(vexlin_tracer_handle_t tracer_handle,
                                                              const unsigned char* byte_tag,
                                                              vexlin_size_t byte_tag_size);

/* ---- Remote calls ----------------------------------------------------- */

VEXLIN_API vexlin_tracer_handle_t vexlin_outgoingremotecalltracer_create_p(const vexlin_string_t* service_method,
                                                                           const vexlin_string_t* service_name,
                                                                           const vexlin_string_t* service_endpoint,
                                                                           vexlin_int32_t channel_type,
                                                                           const vexlin_string_t* channel_endpoint);
VEXLIN_API void vexlin_outgoingremotecalltracer_set_protocol_name_p(vexlin_tracer_handle_t tracer_handle,
                                                                    const vexlin_string_t* protocol_name);
VEXLIN_API vexlin_tracer_handle_t vexlin_incomingremotecalltracer_create_p(const vexlin_string_t* service_method,
                                                                           const vexlin_string_t* service_name,
                                                                           const vexlin_string_t* service_endpoint);
VEXLIN_API void vexlin_incomingremotecalltracer_set_protocol_name_p(vexlin_tracer_handle_t tracer_handle,
                                                                    const vexlin_string_t* protocol_name);

/* ---- Databases -------------------------------------------------------- */

VEXLIN_API vexlin_databaseinfo_handle_t vexlin_databaseinfo_create_p(const vexlin_string_t* name,
                                                                     const vexlin_string_t* vendor,
                                                                     vexlin_int32_t channel_type,
                                                                     const vexlin_string_t* channel_endpoint);
VEXLIN_API void vexlin_databaseinfo_delete(vexlin_databaseinfo_handle_t databaseinfo_handle);
VEXLIN_API vexlin_tracer_handle_t vexlin_databaserequesttracer_create_sql_p(
    vexlin_databaseinfo_handle_t databaseinfo_handle, const vexlin_string_t* statement);
VEXLIN_API void vexlin_databaserequesttracer_set_returned_row_count(vexlin_tracer_handle_t tracer_handle,
                                                                    vexlin_int32_t returned_row_count);
VEXLIN_API void vexlin_databaserequesttracer_set_round_trip_count(vexlin_tracer_handle_t tracer_handle,
                                                                  vexlin_int32_t round_trip_count);

/* ---- Incoming web requests -------------------------------------------- */

VEXLIN_API vexlin_webapplicationinfo_handle_t vexlin_webapplicationinfo_create_p(const vexlin_string_t* web_server_name,
                                                                                 const vexlin_string_t* application_id,
                                                                                 const vexlin_string_t* context_root);
VEXLIN_API void vexlin_webapplicationinfo_delete(vexlin_webapplicationinfo_handle_t webapplicationinfo_handle);
VEXLIN_API vexlin_tracer_handle_t
vexlin_incomingwebrequesttracer_create_p(vexlin_webapplicationinfo_handle_t webapplicationinfo_handle,
                                         const vexlin_string_t* url, const vexlin_string_t* method);
VEXLIN_API void vexlin_incomingwebrequesttracer_set_remote_address_p(vexlin_tracer_handle_t tracer_handle,
                                                                     const vexlin_string_t* remote_address);
/* names and values point at `count` consecutive strings each. */
VEXLIN_API void vexlin_incomingwebrequesttracer_add_request_headers_p(vexlin_tracer_handle_t tracer_handle,
                                                                      const vexlin_string_t* names,
                                                                      const vexlin_string_t* values,
                                                                      vexlin_size_t count);
VEXLIN_API void vexlin_incomingwebrequesttracer_add_parameters_p(vexlin_tracer_handle_t tracer_handle,
                                                                 const vexlin_string_t* names,
                                                                 const vexlin_string_t* values, vexlin_size_t count);
VEXLIN_API void vexlin_incomingwebrequesttracer_add_response_headers_p(vexlin_tracer_handle_t tracer_handle,
                                                                       const vexlin_string_t* names,
                                                                       const vexlin_string_t* values,
                                                                       vexlin_size_t count);
VEXLIN_API void vexlin_incomingwebrequesttracer_set_status_code(vexlin_tracer_handle_t tracer_handle,
                                                                vexlin_int32_t status_code);

/* ---- Outgoing web requests -------------------------------------------- */

VEXLIN_API vexlin_tracer_handle_t vexlin_outgoingwebrequesttracer_create_p(const vexlin_string_t* url,
                                                                           const vexlin_string_t* method);
VEXLIN_API void vexlin_outgoingwebrequesttracer_add_request_headers_p(vexlin_tracer_handle_t tracer_handle,
                                                                      const vexlin_string_t* names,
                                                                      const vexlin_string_t* values,
                                                                      vexlin_size_t count);
VEXLIN_API void vexlin_outgoingwebrequesttracer_add_response_headers_p(vexlin_tracer_handle_t tracer_handle,
                                                                       const vexlin_string_t* names,
                                                                       const vexlin_string_t* values,
                                                                       vexlin_size_t count);
VEXLIN_API void vexlin_outgoingwebrequesttracer_set_status_code(vexlin_tracer_handle_t tracer_handle,
                                                                vexlin_int32_t status_code);

/* ---- Custom request attributes ---------------------------------------- */

VEXLIN_API void vexlin_customrequestattribute_add_integers_p(const vexlin_string_t* keys, const vexlin_int64_t* values,
                                                             vexlin_size_t count);
VEXLIN_API void vexlin_customrequestattribute_add_floats_p(const vexlin_string_t* keys, const double* values,
                                                           vexlin_size_t count);
VEXLIN_API void vexlin_customrequestattribute_add_strings_p(const vexlin_string_t* keys, const vexlin_string_t* values,
                                                            vexlin_size_t count);

/* ---- In-process links ------------------------------------------------- */

/** Without an agent *required_buffer_size is 0, the buffer is untouched, the result is 0. */
VEXLIN_API vexlin_size_t vexlin_inprocesslink_create(unsigned char* buffer, vexlin_size_t buffer_size,
                                                     vexlin_size_t* required_buffer_size);
VEXLIN_API vexlin_tracer_handle_t vexlin_inprocesslinktracer_create(const unsigned char* in_process_link_bytes,
                                                                    vexlin_size_t in_process_link_size);

/* ---- Custom services -------------------------------------------------- */

VEXLIN_API vexlin_tracer_handle_t vexlin_customservicetracer_create_p(const vexlin_string_t* service_method,
                                                                      const vexlin_string_t* service_name);

/* ---- Messaging -------------------------------------------------------- */

VEXLIN_API vexlin_messagingsysteminfo_handle_t vexlin_messagingsysteminfo_create_p(
    const vexlin_string_t* vendor_name, const vexlin_string_t* destination_name, vexlin_int32_t destination_type,
    vexlin_int32_t channel_type, const vexlin_string_t* channel_endpoint);
VEXLIN_API void vexlin_messagingsysteminfo_delete(vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle);
VEXLIN_API vexlin_tracer_handle_t
vexlin_outgoingmessagetracer_create(vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle);
VEXLIN_API void vexlin_outgoingmessagetracer_set_vendor_message_id_p(vexlin_tracer_handle_t tracer_handle,
                                                                     const vexlin_string_t* vendor_message_id);
VEXLIN_API void vexlin_outgoingmessagetracer_set_correlation_id_p(vexlin_tracer_handle_t tracer_handle,
                                                                  const vexlin_string_t* correlation_id);
VEXLIN_API vexlin_tracer_handle_t
vexlin_incomingmessagereceivetracer_create(vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle);
VEXLIN_API vexlin_tracer_handle_t
vexlin_incomingmessageprocesstracer_create(vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle);
VEXLIN_API void vexlin_incomingmessageprocesstracer_set_vendor_message_id_p(vexlin_tracer_handle_t tracer_handle,
                                                                            const vexlin_string_t* vendor_message_id);
VEXLIN_API void vexlin_incomingmessageprocesstracer_set_correlation_id_p(vexlin_tracer_handle_t tracer_handle,
                                                                         const vexlin_string_t* correlation_id);

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_API_H */
