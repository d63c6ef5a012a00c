// The shape every extension unit shares: one table pointer, set by enabling
// the group and cleared when the module that gave it is closed, both under
// the init lock, and one forwarding function per slot that needs both the
// table and an attached agent. Forwarders read the pointer without a lock, so
// it is published atomically.
#ifndef VEXLIN_EX_UNIT_H
#define VEXLIN_EX_UNIT_H

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/vexlin_ex_api.h"
#include "vexlin_internal.h"

#define VEXLIN_EX_FORWARD(slot, field, exported, result, params, args, neutral)                  \
    result vexlin_##exported params {                                                            \
        const vexlin_ex_table_t* table = enabled_table();                                        \
        if (table == nullptr || vexlin_internal_attached_functions() == nullptr) {               \
            return vexlin_neutral_##neutral<result> args;                                        \
        }                                                                                        \
        return table->vexlin_abi_##field(vexlin_internal_attached_agent(), VEXLIN_UNPAREN args); \
    }

#define VEXLIN_EX_FORWARD0(slot, field, exported, result, neutral)                 \
    result vexlin_##exported(void) {                                               \
        const vexlin_ex_table_t* table = enabled_table();                          \
        if (table == nullptr || vexlin_internal_attached_functions() == nullptr) { \
            return vexlin_neutral_##neutral<result>();                             \
        }                                                                          \
        return table->vexlin_abi_##field(vexlin_internal_attached_agent());        \
    }

#define VEXLIN_EX_SLOT_AT(slot, field, exported, result, params, args, neutral)                       \
    static_assert(offsetof(vexlin_ex_table_t, vexlin_abi_##field) == (slot) * sizeof(void (*)(void)), \
                  "extension slot " #slot " is out of place");
#define VEXLIN_EX_SLOT0_AT(slot, field, exported, result, neutral)                                    \
    static_assert(offsetof(vexlin_ex_table_t, vexlin_abi_##field) == (slot) * sizeof(void (*)(void)), \
                  "extension slot " #slot " is out of place");

// Defines the unit: its table pointer, enable and clear functions, and the
// forwarding functions of `list`. `request` is vexlin_internal_get_ex_api, or
// its _nolock form for the group that initialize enables.
#define VEXLIN_EX_UNIT(list, table_type, group_name, interface_id, enable_function, request, clear_function) \
    namespace {                                                                                              \
    typedef table_type vexlin_ex_table_t;                                                                    \
    const void* s_ftbl = nullptr;                                                                            \
    inline const vexlin_ex_table_t* enabled_table() {                                                        \
        return static_cast<const vexlin_ex_table_t*>(__atomic_load_n(&s_ftbl, __ATOMIC_ACQUIRE));            \
    }                                                                                                        \
    list(VEXLIN_EX_SLOT_AT, VEXLIN_EX_SLOT0_AT)                                                              \
    }                                                                                                        \
    vexlin_result_t enable_function(void) { return request(group_name, interface_id, &s_ftbl); }             \
    void clear_function(void) { __atomic_store_n(&s_ftbl, nullptr, __ATOMIC_RELEASE); }                      \
    list(VEXLIN_EX_FORWARD, VEXLIN_EX_FORWARD0)

void vexlin_ex_metrics_clear_table(void);
void vexlin_ex_span_clear_table(void);
void vexlin_ex_techtype_clear_table(void);
void vexlin_ex_tracer_ext_clear_table(void);
void vexlin_ex_serverless_clear_table(void);

#endif  // VEXLIN_EX_UNIT_H
