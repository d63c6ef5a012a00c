// The effective configuration of one agent load: computed from user
// variables, then KX_ environment variables, then defaults.
#ifndef VEXLIN_ARGS_H
#define VEXLIN_ARGS_H

#include "vexlin_xstr.h"

struct vexlin_args_t {
    vexlin_int32_t loglevelsdk;  // 0 .. 8, or -1 when none is configured
    vexlin_bool_t agentactive;
    vexlin_xchar_t* agentlibrary;   // owned; never NULL after a successful preparation
    vexlin_xstr_list_t agent_args;  // forwarded user variables, in store order
};

// Frees whatever the record held first; a failure leaves it released
// (loglevelsdk -1, everything else zero).
vexlin_result_t vexlin_args_prepare(vexlin_args_t* args);
vexlin_result_t vexlin_args_free(vexlin_args_t* args);

// Keep the user-variable store consistent across fork.
void vexlin_args_atfork_prepare(void);
void vexlin_args_atfork_parent(void);
void vexlin_args_atfork_child(void);

#endif  // VEXLIN_ARGS_H
