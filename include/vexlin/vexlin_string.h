/* The counted string every tracing call takes. The library passes the
 * pointer on unchanged and never reads the record. */
#ifndef VEXLIN_STRING_H
#define VEXLIN_STRING_H

#include "vexlin_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Coded character set identifier naming the encoding of a string. */
typedef uint16_t vexlin_ccsid_t;

#define VEXLIN_CCSID_NULL ((vexlin_ccsid_t)0)
#define VEXLIN_CCSID_ASCII ((vexlin_ccsid_t)367)
#define VEXLIN_CCSID_ISO8859_1 ((vexlin_ccsid_t)819)
#define VEXLIN_CCSID_UTF8 ((vexlin_ccsid_t)1209)
#define VEXLIN_CCSID_UTF16_BE ((vexlin_ccsid_t)1201)
#define VEXLIN_CCSID_UTF16_LE ((vexlin_ccsid_t)1203)

/** Bytes in the encoding named by `ccsid`; no terminator required. */
typedef struct vexlin_string_t {
    const void* data;
    vexlin_size_t byte_length;
    vexlin_ccsid_t ccsid;
} vexlin_string_t;

#ifdef __cplusplus
}
#endif

#endif /* VEXLIN_STRING_H */
