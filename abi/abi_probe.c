/* Makes the module contract visible to the ABI check: the agent and library
 * tables and the records are used by no exported function of the library,
 * so this probe exports one that takes them all. Built only for the check. */
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

__attribute__((visibility("default"))) void vexlin_abi_probe(
    const vexlin_abi_agent_functions_5_t* agent_functions_5, const vexlin_abi_agent_functions_1_t* agent_functions_1,
    const vexlin_abi_library_functions_5_t* library_5, const vexlin_abi_library_functions_1_t* library_1,
    const vexlin_abi_library_functions_versiononly_t* version_only, const vexlin_abi_stub_version_t* stub_version,
    const vexlin_abi_library_functions_ex_metrics_t* metrics, const vexlin_abi_library_functions_ex_span_t* span,
    const vexlin_abi_library_functions_ex_techtype_t* techtype,
    const vexlin_abi_library_functions_ex_tracer_ext_t* tracer_ext,
    const vexlin_abi_library_functions_ex_serverless_t* serverless, sdkagent_abi_initialize_function_t* initialize,
    sdkagent_abi_get_library_function_t* get_library, sdkagent_abi_shutdown_function_t* shutdown) {
    (void)agent_functions_5;
    (void)agent_functions_1;
    (void)library_5;
    (void)library_1;
    (void)version_only;
    (void)stub_version;
    (void)metrics;
    (void)span;
    (void)techtype;
    (void)tracer_ext;
    (void)serverless;
    (void)initialize;
    (void)get_library;
    (void)shutdown;
}
