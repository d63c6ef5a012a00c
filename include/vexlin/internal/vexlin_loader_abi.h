/* The agent module's entry points: names, signatures, and the interface
 * identifiers and levels the library asks the module for. */
#ifndef VEXLIN_LOADER_ABI_H
#define VEXLIN_LOADER_ABI_H

#include "../vexlin_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A module that a process agent already put in the process, asked for by name only. */
#define VEXLIN_ABI_PROCESS_MODULE_NAME "kx_agent_3bef2c2a0679493ea9440fba66a92b95"
/* The module file below an installation directory. */
#define VEXLIN_ABI_DEFAULT_MODULE_FILE "libpelmoranloader.so"

#define VEXLIN_ABI_INITIALIZE_SYMBOL "sdkagent_abi_initialize"
#define VEXLIN_ABI_GET_LIBRARY_SYMBOL "sdkagent_abi_get_library"
#define VEXLIN_ABI_SHUTDOWN_SYMBOL "sdkagent_abi_shutdown"

/* Message buffers handed to a module always have this many characters. */
#define VEXLIN_ABI_MESSAGE_BUFFER_LENGTH 1800

/* Interfaces and the levels at which the library requests them. */
#define VEXLIN_ABI_INTERFACE_LIBRARY_5 1730002u
#define VEXLIN_ABI_LEVEL_LIBRARY_5 6u
#define VEXLIN_ABI_INTERFACE_VERSIONONLY 1560001u
#define VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY 1330002u
#define VEXLIN_ABI_LEVEL_VERSIONONLY 5u
#define VEXLIN_ABI_INTERFACE_EX_METRICS 91680001u
#define VEXLIN_ABI_INTERFACE_EX_SPAN 91620005u
#define VEXLIN_ABI_INTERFACE_EX_TECHTYPE 91730001u
#define VEXLIN_ABI_INTERFACE_EX_TRACER_EXT 91620003u
#define VEXLIN_ABI_INTERFACE_EX_SERVERLESS 91790001u
#define VEXLIN_ABI_LEVEL_EX 6u

/** Starts the module. A success obliges the caller to call the shutdown entry
 * point exactly once before closing the module. On failure the module may
 * write a terminated explanation into `message_buffer`. */
typedef vexlin_result_t sdkagent_abi_initialize_function_t(vexlin_size_t argument_count,
                                                           const vexlin_xchar_t* const* arguments,
                                                           vexlin_xchar_t* message_buffer,
                                                           vexlin_size_t message_buffer_length);

/** Hands out the table of `interface_id` at `level` through `table_out`. */
typedef vexlin_result_t sdkagent_abi_get_library_function_t(vexlin_uint32_t interface_id, vexlin_uint32_t level,
                                                            const void** table_out, vexlin_xchar_t* message_buffer,
                                                            vexlin_size_t message_buffer_length);

/** Stops the module; its result is ignored. */
typedef vexlin_result_t sdkagent_abi_shutdown_function_t(void);

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_LOADER_ABI_H */
