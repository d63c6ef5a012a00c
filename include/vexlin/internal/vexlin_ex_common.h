/* Identifier records of the span extension. */
#ifndef VEXLIN_EX_COMMON_H
#define VEXLIN_EX_COMMON_H

#include "../vexlin_config.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vexlin_ex_trace_id_t {
    unsigned char binary_id[16];
} vexlin_ex_trace_id_t;

typedef struct vexlin_ex_span_id_t {
    unsigned char binary_id[8];
} vexlin_ex_span_id_t;

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_EX_COMMON_H */
