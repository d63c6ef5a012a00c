/* A stand-in agent module for the doctor's tests, with two ways to fail that
 * the console agent does not have. The forwarded variable fake_mode selects:
 *   old           refuses the library interface but tells its version
 *   refuse_agent  hands out the library table but refuses to attach an agent */
#include <string.h>

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

#define FAKE_EXPORT __attribute__((visibility("default")))

static int s_old;

static void put_message(vexlin_xchar_t* buffer, vexlin_size_t length, const char* text) {
    if (buffer == NULL || length == 0) return;
    strncpy(buffer, text, length - 1);
    buffer[length - 1] = '\0';
}

static const vexlin_xchar_t* fake_version(void) { return "fake agent 0.9-old"; }

static vexlin_result_t fake_get_agent(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                                      const vexlin_abi_agent_functions_5_t** functions_out,
                                      vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length) {
    (void)stub_version;
    (void)agent_out;
    (void)functions_out;
    put_message(message_buffer, message_buffer_length, "fake agent: will not attach to this stub");
    return VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
}

static const vexlin_abi_library_functions_5_t s_library = {fake_version, fake_get_agent};
static const vexlin_abi_library_functions_versiononly_t s_version_only = {fake_version};
/* Handed out but never called: no agent is ever attached. */
static const vexlin_abi_library_functions_ex_metrics_t s_metrics;

FAKE_EXPORT vexlin_result_t sdkagent_abi_initialize(vexlin_size_t argument_count,
                                                    const vexlin_xchar_t* const* arguments,
                                                    vexlin_xchar_t* message_buffer,
                                                    vexlin_size_t message_buffer_length) {
    vexlin_size_t i;
    (void)message_buffer;
    (void)message_buffer_length;
    s_old = 0;
    for (i = 0; i < argument_count; ++i)
        if (arguments[i] != NULL && strcmp(arguments[i], "fake_mode=old") == 0) s_old = 1;
    return VEXLIN_SUCCESS;
}

FAKE_EXPORT vexlin_result_t sdkagent_abi_get_library(vexlin_uint32_t interface_id, vexlin_uint32_t level,
                                                     const void** table_out, vexlin_xchar_t* message_buffer,
                                                     vexlin_size_t message_buffer_length) {
    (void)level;
    if (interface_id == VEXLIN_ABI_INTERFACE_LIBRARY_5 && !s_old) {
        *table_out = &s_library;
        return VEXLIN_SUCCESS;
    }
    if (interface_id == VEXLIN_ABI_INTERFACE_EX_METRICS && !s_old) {
        *table_out = &s_metrics;
        return VEXLIN_SUCCESS;
    }
    if (interface_id == VEXLIN_ABI_INTERFACE_VERSIONONLY) {
        *table_out = &s_version_only;
        return VEXLIN_SUCCESS;
    }
    put_message(message_buffer, message_buffer_length, "fake agent: this module predates the interface");
    return VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
}

FAKE_EXPORT vexlin_result_t sdkagent_abi_shutdown(void) { return VEXLIN_SUCCESS; }
