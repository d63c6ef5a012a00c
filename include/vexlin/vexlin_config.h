/* Scalar types shared by the library, applications and agent modules.
 * Their widths are a fixed contract with the agent module. */
#ifndef VEXLIN_CONFIG_H
#define VEXLIN_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t vexlin_result_t;
typedef int32_t vexlin_bool_t;
typedef int32_t vexlin_int32_t;
typedef int64_t vexlin_int64_t;
typedef uint32_t vexlin_uint32_t;
typedef uint64_t vexlin_uint64_t;
typedef size_t vexlin_size_t;
typedef char vexlin_xchar_t;

#if defined(VEXLIN_BUILDING_LIBRARY) && defined(__GNUC__)
#define VEXLIN_API __attribute__((visibility("default")))
#else
#define VEXLIN_API
#endif

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_CONFIG_H */
