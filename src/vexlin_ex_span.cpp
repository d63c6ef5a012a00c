// Spans: span tracers with trace and span ids and typed attributes.
#include <stddef.h>

#include "vexlin_ex_unit.h"

VEXLIN_EX_UNIT(VEXLIN_EX_SPAN_FUNCS, vexlin_abi_library_functions_ex_span_t, "span", VEXLIN_ABI_INTERFACE_EX_SPAN,
               vexlin_ex_api_enable_span, vexlin_internal_get_ex_api, vexlin_ex_span_clear_table)
