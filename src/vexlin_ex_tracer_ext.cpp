// Tracers started and ended at times the application gives.
#include <stddef.h>

#include "vexlin_ex_unit.h"

VEXLIN_EX_UNIT(VEXLIN_EX_TRACER_EXT_FUNCS, vexlin_abi_library_functions_ex_tracer_ext_t, "tracer_ext",
               VEXLIN_ABI_INTERFACE_EX_TRACER_EXT, vexlin_ex_api_enable_tracer_ext, vexlin_internal_get_ex_api,
               vexlin_ex_tracer_ext_clear_table)
