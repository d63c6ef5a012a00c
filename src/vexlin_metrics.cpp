// Custom metrics: counters, gauges and statistics. Enabled by every first-level initialization.
#include <stddef.h>

#include "vexlin_ex_unit.h"

VEXLIN_EX_UNIT(VEXLIN_EX_METRICS_FUNCS, vexlin_abi_library_functions_ex_metrics_t, "metrics",
               VEXLIN_ABI_INTERFACE_EX_METRICS, vexlin_ex_api_enable_metrics_nolock, vexlin_internal_get_ex_api_nolock,
               vexlin_ex_metrics_clear_table)
