/* Lifecycle, configuration, the library's own log and error texts. */
#ifndef VEXLIN_INIT_H
#define VEXLIN_INIT_H

#include "vexlin_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Lifecycle and information ---------------------------------------- */

/** Same as vexlin_initialize_2(0). */
VEXLIN_API vexlin_result_t vexlin_initialize(void);

/** Loads, starts and attaches the agent module; reference counted. Every
 * successful call must be matched by one vexlin_shutdown(). */
VEXLIN_API vexlin_result_t vexlin_initialize_2(vexlin_uint32_t init_flags);

/** Undoes one successful initialization; the last one releases the agent and
 * closes the module. Returns 0xAFFE0004 when nothing is initialized. */
VEXLIN_API vexlin_result_t vexlin_shutdown(void);

/** Version text of the last agent module found; empty when unknown. Never
 * NULL. The text at the returned address never changes, so it may be read
 * while other threads initialize or shut down; a later call gives the text
 * current then. Only a process meeting more than 16 distinct texts has the
 * storage of the least recently reported one reused. */
VEXLIN_API const vexlin_xchar_t* vexlin_agent_get_version_string(void);

/** Whether the last load attempt found a module, and whether it was compatible.
 * Either pointer may be NULL. */
VEXLIN_API void vexlin_stub_get_agent_load_info(vexlin_bool_t* agent_found, vexlin_bool_t* agent_compatible);

/** The version of this library (1.6.1). */
VEXLIN_API void vexlin_stub_get_version(vexlin_stub_version_t* out_stub_version);

/* ---- Configuration ---------------------------------------------------- */

/** Stores a user variable "name=value"; names match ignoring case. An existing
 * name is replaced in place when replace_existing is non-zero, else the call
 * returns 0xAFFE000A. NULL or "" stores nothing and returns 0; text without
 * "=" returns 0xAFFE0002. */
VEXLIN_API vexlin_result_t vexlin_stub_set_variable(const vexlin_xchar_t* var, vexlin_bool_t replace_existing);

/** Discards every user variable; the store can be used again afterwards. */
VEXLIN_API void vexlin_stub_free_variables(void);

/** 1 when `arg` starts with "--kx_" (case-sensitive), else 0. */
VEXLIN_API vexlin_bool_t vexlin_stub_is_sdk_cmdline_arg(const vexlin_xchar_t* arg);

/** Stores the variable of one "--kx_name=value" argument; other arguments are ignored. */
VEXLIN_API vexlin_result_t vexlin_stub_process_cmdline_arg(const vexlin_xchar_t* arg, vexlin_bool_t replace_existing);

/** Processes argv[1] .. argv[argc-1]; argv[0] is never interpreted. Returns 0,
 * or the first error other than 0xAFFE000A, or 0xAFFE000A when that was the
 * only kind of error. Every argument is processed. */
VEXLIN_API vexlin_result_t vexlin_stub_process_cmdline_args(int argc, const vexlin_xchar_t* const* argv,
                                                            vexlin_bool_t replace_existing);

/** Removes every "--kx_" argument from argv, keeping the others in order, and
 * lowers *argc. Vacated slots point at an empty string; argv[old argc] is not
 * touched. */
VEXLIN_API vexlin_result_t vexlin_stub_strip_sdk_cmdline_args(int* argc, vexlin_xchar_t** argv);

/* ---- The library's own log -------------------------------------------- */

/** Messages below `level` are dropped; the initial level is NONE (8). */
VEXLIN_API void vexlin_stub_set_logging_level(vexlin_logging_level_t level);

/** Replaces the sink; NULL discards every message. */
VEXLIN_API void vexlin_stub_set_logging_callback(vexlin_stub_logging_callback_t* stub_logging_callback);

/** The default sink: one time-stamped line on standard error. */
VEXLIN_API void vexlin_stub_default_logging_function(vexlin_logging_level_t level, const vexlin_xchar_t* message);

/* ---- Error texts ------------------------------------------------------ */

/** Writes the English text of `error_code` into `buffer` (truncated and always
 * terminated) and returns `buffer`. */
VEXLIN_API const vexlin_xchar_t* vexlin_stub_xstrerror(vexlin_result_t error_code, vexlin_xchar_t* buffer,
                                                       vexlin_size_t buffer_length);

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_INIT_H */
