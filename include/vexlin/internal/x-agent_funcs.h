/* The agent function table, one slot per line, in slot order.
 *
 * Deliberately without include guard: the includer defines the four entry
 * macros, includes this file, and gets one expansion per slot.
 *
 *   VEXLIN_AGENT_SLOT0(slot, revision, name, result)
 *   VEXLIN_AGENT_SLOT(slot, revision, name, result, (parameters))
 *       slots the library never forwards
 *   VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral)
 *   VEXLIN_AGENT_CALL(slot, revision, name, result, (parameters), (arguments), neutral)
 *       slots forwarded by the exported function vexlin_<name>
 *
 * The table field is vexlin_abi_<name>; every slot takes the agent object
 * first, then the parameters listed. `revision` is the table revision that
 * introduced the slot; `neutral` names the answer given while no agent is
 * attached. */

/* clang-format off */
VEXLIN_AGENT_SLOT0(0, 1, agent_add_ref, void)
VEXLIN_AGENT_SLOT0(1, 1, agent_release, void)
VEXLIN_AGENT_SLOT(2, 1, internal_dispatch, vexlin_bool_t, (vexlin_int32_t dispatch_id, vexlin_int32_t dispatch_version, void* data, vexlin_size_t data_size))
VEXLIN_AGENT_CALL0(3, 1, agent_get_current_state, vexlin_int32_t, state_unknown)
VEXLIN_AGENT_CALL(4, 1, agent_set_logging_callback, void, (vexlin_agent_logging_callback_t* agent_logging_callback), (agent_logging_callback), nothing)
VEXLIN_AGENT_CALL(5, 1, tracer_start, void, (vexlin_tracer_handle_t tracer_handle), (tracer_handle), nothing)
VEXLIN_AGENT_CALL(6, 1, tracer_end, void, (vexlin_tracer_handle_t tracer_handle), (tracer_handle), nothing)
VEXLIN_AGENT_CALL(7, 1, tracer_error_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* error_class, const vexlin_string_t* error_message), (tracer_handle, error_class, error_message), nothing)
VEXLIN_AGENT_CALL(8, 1, tracer_get_outgoing_korvantix_string_tag, vexlin_size_t, (vexlin_tracer_handle_t tracer_handle, char* buffer, vexlin_size_t buffer_size, vexlin_size_t* required_buffer_size), (tracer_handle, buffer, buffer_size, required_buffer_size), empty_string_tag)
VEXLIN_AGENT_CALL(9, 1, tracer_get_outgoing_korvantix_byte_tag, vexlin_size_t, (vexlin_tracer_handle_t tracer_handle, unsigned char* buffer, vexlin_size_t buffer_size, vexlin_size_t* required_buffer_size), (tracer_handle, buffer, buffer_size, required_buffer_size), empty_byte_buffer)
VEXLIN_AGENT_CALL(10, 1, tracer_set_incoming_korvantix_string_tag_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* string_tag), (tracer_handle, string_tag), nothing)
VEXLIN_AGENT_CALL(11, 1, tracer_set_incoming_korvantix_byte_tag, void, (vexlin_tracer_handle_t tracer_handle, const unsigned char* byte_tag, vexlin_size_t byte_tag_size), (tracer_handle, byte_tag, byte_tag_size), nothing)
VEXLIN_AGENT_CALL(12, 1, outgoingremotecalltracer_create_p, vexlin_tracer_handle_t, (const vexlin_string_t* service_method, const vexlin_string_t* service_name, const vexlin_string_t* service_endpoint, vexlin_int32_t channel_type, const vexlin_string_t* channel_endpoint), (service_method, service_name, service_endpoint, channel_type, channel_endpoint), no_handle)
VEXLIN_AGENT_CALL(13, 1, outgoingremotecalltracer_set_protocol_name_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* protocol_name), (tracer_handle, protocol_name), nothing)
VEXLIN_AGENT_CALL(14, 1, incomingremotecalltracer_create_p, vexlin_tracer_handle_t, (const vexlin_string_t* service_method, const vexlin_string_t* service_name, const vexlin_string_t* service_endpoint), (service_method, service_name, service_endpoint), no_handle)
VEXLIN_AGENT_CALL(15, 1, incomingremotecalltracer_set_protocol_name_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* protocol_name), (tracer_handle, protocol_name), nothing)
VEXLIN_AGENT_CALL(16, 1, databaseinfo_create_p, vexlin_databaseinfo_handle_t, (const vexlin_string_t* name, const vexlin_string_t* vendor, vexlin_int32_t channel_type, const vexlin_string_t* channel_endpoint), (name, vendor, channel_type, channel_endpoint), no_handle)
VEXLIN_AGENT_CALL(17, 1, databaseinfo_delete, void, (vexlin_databaseinfo_handle_t databaseinfo_handle), (databaseinfo_handle), nothing)
VEXLIN_AGENT_CALL(18, 1, databaserequesttracer_create_sql_p, vexlin_tracer_handle_t, (vexlin_databaseinfo_handle_t databaseinfo_handle, const vexlin_string_t* statement), (databaseinfo_handle, statement), no_handle)
VEXLIN_AGENT_CALL(19, 5, databaserequesttracer_set_returned_row_count, void, (vexlin_tracer_handle_t tracer_handle, vexlin_int32_t returned_row_count), (tracer_handle, returned_row_count), nothing)
VEXLIN_AGENT_CALL(20, 5, databaserequesttracer_set_round_trip_count, void, (vexlin_tracer_handle_t tracer_handle, vexlin_int32_t round_trip_count), (tracer_handle, round_trip_count), nothing)
VEXLIN_AGENT_CALL(21, 5, webapplicationinfo_create_p, vexlin_webapplicationinfo_handle_t, (const vexlin_string_t* web_server_name, const vexlin_string_t* application_id, const vexlin_string_t* context_root), (web_server_name, application_id, context_root), no_handle)
VEXLIN_AGENT_CALL(22, 5, webapplicationinfo_delete, void, (vexlin_webapplicationinfo_handle_t webapplicationinfo_handle), (webapplicationinfo_handle), nothing)
VEXLIN_AGENT_CALL(23, 5, incomingwebrequesttracer_create_p, vexlin_tracer_handle_t, (vexlin_webapplicationinfo_handle_t webapplicationinfo_handle, const vexlin_string_t* url, const vexlin_string_t* method), (webapplicationinfo_handle, url, method), no_handle)
VEXLIN_AGENT_CALL(24, 5, incomingwebrequesttracer_set_remote_address_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* remote_address), (tracer_handle, remote_address), nothing)
VEXLIN_AGENT_CALL(25, 5, incomingwebrequesttracer_add_request_headers_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* names, const vexlin_string_t* values, vexlin_size_t count), (tracer_handle, names, values, count), nothing)
VEXLIN_AGENT_CALL(26, 5, incomingwebrequesttracer_add_parameters_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* names, const vexlin_string_t* values, vexlin_size_t count), (tracer_handle, names, values, count), nothing)
VEXLIN_AGENT_CALL(27, 5, incomingwebrequesttracer_add_response_headers_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* names, const vexlin_string_t* values, vexlin_size_t count), (tracer_handle, names, values, count), nothing)
VEXLIN_AGENT_CALL(28, 5, incomingwebrequesttracer_set_status_code, void, (vexlin_tracer_handle_t tracer_handle, vexlin_int32_t status_code), (tracer_handle, status_code), nothing)
VEXLIN_AGENT_CALL(29, 5, customrequestattribute_add_integers_p, void, (const vexlin_string_t* keys, const vexlin_int64_t* values, vexlin_size_t count), (keys, values, count), nothing)
VEXLIN_AGENT_CALL(30, 5, customrequestattribute_add_floats_p, void, (const vexlin_string_t* keys, const double* values, vexlin_size_t count), (keys, values, count), nothing)
VEXLIN_AGENT_CALL(31, 5, customrequestattribute_add_strings_p, void, (const vexlin_string_t* keys, const vexlin_string_t* values, vexlin_size_t count), (keys, values, count), nothing)
VEXLIN_AGENT_CALL(32, 5, inprocesslink_create, vexlin_size_t, (unsigned char* buffer, vexlin_size_t buffer_size, vexlin_size_t* required_buffer_size), (buffer, buffer_size, required_buffer_size), empty_byte_buffer)
VEXLIN_AGENT_CALL(33, 5, inprocesslinktracer_create, vexlin_tracer_handle_t, (const unsigned char* in_process_link_bytes, vexlin_size_t in_process_link_size), (in_process_link_bytes, in_process_link_size), no_handle)
VEXLIN_AGENT_CALL(34, 5, outgoingwebrequesttracer_create_p, vexlin_tracer_handle_t, (const vexlin_string_t* url, const vexlin_string_t* method), (url, method), no_handle)
VEXLIN_AGENT_CALL(35, 5, outgoingwebrequesttracer_add_request_headers_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* names, const vexlin_string_t* values, vexlin_size_t count), (tracer_handle, names, values, count), nothing)
VEXLIN_AGENT_CALL(36, 5, outgoingwebrequesttracer_add_response_headers_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* names, const vexlin_string_t* values, vexlin_size_t count), (tracer_handle, names, values, count), nothing)
VEXLIN_AGENT_CALL(37, 5, outgoingwebrequesttracer_set_status_code, void, (vexlin_tracer_handle_t tracer_handle, vexlin_int32_t status_code), (tracer_handle, status_code), nothing)
VEXLIN_AGENT_CALL(38, 5, customservicetracer_create_p, vexlin_tracer_handle_t, (const vexlin_string_t* service_method, const vexlin_string_t* service_name), (service_method, service_name), no_handle)
VEXLIN_AGENT_CALL(39, 5, messagingsysteminfo_create_p, vexlin_messagingsysteminfo_handle_t, (const vexlin_string_t* vendor_name, const vexlin_string_t* destination_name, vexlin_int32_t destination_type, vexlin_int32_t channel_type, const vexlin_string_t* channel_endpoint), (vendor_name, destination_name, destination_type, channel_type, channel_endpoint), no_handle)
VEXLIN_AGENT_CALL(40, 5, messagingsysteminfo_delete, void, (vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle), (messagingsysteminfo_handle), nothing)
VEXLIN_AGENT_CALL(41, 5, outgoingmessagetracer_create, vexlin_tracer_handle_t, (vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle), (messagingsysteminfo_handle), no_handle)
VEXLIN_AGENT_CALL(42, 5, outgoingmessagetracer_set_vendor_message_id_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* vendor_message_id), (tracer_handle, vendor_message_id), nothing)
VEXLIN_AGENT_CALL(43, 5, outgoingmessagetracer_set_correlation_id_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* correlation_id), (tracer_handle, correlation_id), nothing)
VEXLIN_AGENT_CALL(44, 5, incomingmessagereceivetracer_create, vexlin_tracer_handle_t, (vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle), (messagingsysteminfo_handle), no_handle)
VEXLIN_AGENT_CALL(45, 5, incomingmessageprocesstracer_create, vexlin_tracer_handle_t, (vexlin_messagingsysteminfo_handle_t messagingsysteminfo_handle), (messagingsysteminfo_handle), no_handle)
VEXLIN_AGENT_CALL(46, 5, incomingmessageprocesstracer_set_vendor_message_id_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* vendor_message_id), (tracer_handle, vendor_message_id), nothing)
VEXLIN_AGENT_CALL(47, 5, incomingmessageprocesstracer_set_correlation_id_p, void, (vexlin_tracer_handle_t tracer_handle, const vexlin_string_t* correlation_id), (tracer_handle, correlation_id), nothing)
VEXLIN_AGENT_CALL0(48, 5, agent_get_fork_state, vexlin_int32_t, fork_state_unknown)
VEXLIN_AGENT_CALL(49, 5, agent_set_warning_callback, vexlin_result_t, (vexlin_agent_logging_callback_t* agent_logging_callback), (agent_logging_callback), not_initialized)
VEXLIN_AGENT_CALL(50, 5, agent_set_verbose_callback, vexlin_result_t, (vexlin_agent_logging_callback_t* agent_logging_callback), (agent_logging_callback), not_initialized)
/* clang-format on */
