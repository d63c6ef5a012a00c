/* Handles, result codes, log levels, callbacks and the version record. */
#ifndef VEXLIN_COMMON_H
#define VEXLIN_COMMON_H

#include "vexlin_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles owned by the agent module; 0 means no object. */
typedef vexlin_uint64_t vexlin_handle_t;
typedef vexlin_handle_t vexlin_tracer_handle_t;
typedef vexlin_handle_t vexlin_databaseinfo_handle_t;
typedef vexlin_handle_t vexlin_webapplicationinfo_handle_t;
typedef vexlin_handle_t vexlin_messagingsysteminfo_handle_t;
typedef vexlin_handle_t vexlin_metric_handle_t;

/* Result codes. Values outside the 0xAFFE0000 block are platform errno
 * values passed through unchanged. Compare for equality only. */
#define VEXLIN_SUCCESS ((vexlin_result_t)0)
#define VEXLIN_ERROR_BASE ((vexlin_result_t)0xAFFE0000u)
#define VEXLIN_ERROR_GENERIC ((vexlin_result_t)0xAFFE0001u)
#define VEXLIN_ERROR_INVALID_ARGUMENT ((vexlin_result_t)0xAFFE0002u)
#define VEXLIN_ERROR_NOT_IMPLEMENTED ((vexlin_result_t)0xAFFE0003u)
#define VEXLIN_ERROR_NOT_INITIALIZED ((vexlin_result_t)0xAFFE0004u)
#define VEXLIN_ERROR_OUT_OF_MEMORY ((vexlin_result_t)0xAFFE0005u)
#define VEXLIN_ERROR_AGENT_NOT_ACTIVE ((vexlin_result_t)0xAFFE0006u)
#define VEXLIN_ERROR_LOAD_AGENT ((vexlin_result_t)0xAFFE0007u)
#define VEXLIN_ERROR_INVALID_AGENT_BINARY ((vexlin_result_t)0xAFFE0008u)
#define VEXLIN_ERROR_UNEXPECTED ((vexlin_result_t)0xAFFE0009u)
#define VEXLIN_ERROR_ENTRY_EXISTS ((vexlin_result_t)0xAFFE000Au)
#define VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED ((vexlin_result_t)0xAFFE000Bu)
#define VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED ((vexlin_result_t)0xAFFE000Cu)
#define VEXLIN_ERROR_FORK_CHILD ((vexlin_result_t)0xAFFE000Du)

/* Levels of the library's own log; a message passes when its level is at
 * least the current one. */
typedef vexlin_int32_t vexlin_logging_level_t;
#define VEXLIN_LOGGING_LEVEL_FINEST ((vexlin_logging_level_t)0)
#define VEXLIN_LOGGING_LEVEL_FINER ((vexlin_logging_level_t)1)
#define VEXLIN_LOGGING_LEVEL_FINE ((vexlin_logging_level_t)2)
#define VEXLIN_LOGGING_LEVEL_CONFIG ((vexlin_logging_level_t)3)
#define VEXLIN_LOGGING_LEVEL_INFO ((vexlin_logging_level_t)4)
#define VEXLIN_LOGGING_LEVEL_WARNING ((vexlin_logging_level_t)5)
#define VEXLIN_LOGGING_LEVEL_SEVERE ((vexlin_logging_level_t)6)
#define VEXLIN_LOGGING_LEVEL_DEBUG ((vexlin_logging_level_t)7)
#define VEXLIN_LOGGING_LEVEL_NONE ((vexlin_logging_level_t)8)

/** Receives the agent module's own log messages. */
typedef void vexlin_agent_logging_callback_t(const char* message);

/** Receives the library's log messages; `message` is valid for the call only.
 * It may run on several threads at once and must not call initialize,
 * shutdown, the enable functions or the variable functions. */
typedef void vexlin_stub_logging_callback_t(vexlin_logging_level_t level, const vexlin_xchar_t* message);

typedef struct vexlin_stub_version_t {
    vexlin_uint32_t version_major;
    vexlin_uint32_t version_minor;
    vexlin_uint32_t version_patch;
} vexlin_stub_version_t;

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_COMMON_H */
