/* The whole public API of the library. */
#ifndef VEXLIN_H
#define VEXLIN_H

#include "vexlin_api.h"
#include "vexlin_common.h"
#include "vexlin_config.h"
#include "vexlin_ex_api.h"
#include "vexlin_init.h"
#include "vexlin_string.h"

#endif /* VEXLIN_H */
