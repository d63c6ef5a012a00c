// Serverless flushing: ask the agent to send its data now.
#include <stddef.h>

#include "vexlin_ex_unit.h"

VEXLIN_EX_UNIT(VEXLIN_EX_SERVERLESS_FUNCS, vexlin_abi_library_functions_ex_serverless_t, "serverless",
               VEXLIN_ABI_INTERFACE_EX_SERVERLESS, vexlin_ex_api_enable_serverless, vexlin_internal_get_ex_api,
               vexlin_ex_serverless_clear_table)
