// Process technologies reported to the agent.
#include <stddef.h>

#include "vexlin_ex_unit.h"

VEXLIN_EX_UNIT(VEXLIN_EX_TECHTYPE_FUNCS, vexlin_abi_library_functions_ex_techtype_t, "techtype",
               VEXLIN_ABI_INTERFACE_EX_TECHTYPE, vexlin_ex_api_enable_techtype, vexlin_internal_get_ex_api,
               vexlin_ex_techtype_clear_table)
