// The core tracing API: 48 functions generated from the agent table list.
// Each reads the table pointer once, answers neutrally when it is NULL, and
// otherwise calls its slot with the agent object prepended; no lock, no
// allocation, no argument checks.
#include <stddef.h>

#include "vexlin/vexlin_api.h"
#include "vexlin_internal.h"

vexlin_abi_agent_t* vexlin_internal_agent_ptr = nullptr;
const vexlin_abi_agent_functions_cur_t* vexlin_internal_agent_functions_ptr = nullptr;

#define VEXLIN_AGENT_SLOT0(slot, revision, name, result)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral)                             \
    result vexlin_##name(void) {                                                              \
        const vexlin_abi_agent_functions_cur_t* table = vexlin_internal_attached_functions(); \
        if (table == nullptr) {                                                               \
            return vexlin_neutral_##neutral<result>();                                        \
        }                                                                                     \
        return table->vexlin_abi_##name(vexlin_internal_attached_agent());                    \
    }
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral)                  \
    result vexlin_##name params {                                                               \
        const vexlin_abi_agent_functions_cur_t* table = vexlin_internal_attached_functions();   \
        if (table == nullptr) {                                                                 \
            return vexlin_neutral_##neutral<result> args;                                       \
        }                                                                                       \
        return table->vexlin_abi_##name(vexlin_internal_attached_agent(), VEXLIN_UNPAREN args); \
    }
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL

// The list order is the slot order the agent module relies on.
#define VEXLIN_AGENT_SLOT_AT(slot, name)                                                                          \
    static_assert(offsetof(vexlin_abi_agent_functions_5_t, vexlin_abi_##name) == (slot) * sizeof(void (*)(void)), \
                  "agent table slot " #slot " is out of place");
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) VEXLIN_AGENT_SLOT_AT(slot, name)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) VEXLIN_AGENT_SLOT_AT(slot, name)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) VEXLIN_AGENT_SLOT_AT(slot, name)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) VEXLIN_AGENT_SLOT_AT(slot, name)
#include "vexlin/internal/x-agent_funcs.h"
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
#undef VEXLIN_AGENT_SLOT_AT

static_assert(sizeof(vexlin_abi_agent_functions_5_t) == VEXLIN_ABI_AGENT_FUNCTIONS_5_SLOTS * sizeof(void (*)(void)),
              "revision 5 of the agent table has 51 slots");
static_assert(sizeof(vexlin_abi_agent_functions_1_t) == VEXLIN_ABI_AGENT_FUNCTIONS_1_SLOTS * sizeof(void (*)(void)),
              "revision 1 of the agent table has 19 slots");
static_assert(offsetof(vexlin_abi_agent_functions_1_t, vexlin_abi_databaserequesttracer_create_sql_p) ==
                  offsetof(vexlin_abi_agent_functions_5_t, vexlin_abi_databaserequesttracer_create_sql_p),
              "revision 1 is the head of revision 5");

// Layouts shared with the agent module.
static_assert(sizeof(vexlin_result_t) == 4 && sizeof(vexlin_bool_t) == 4 && sizeof(vexlin_int64_t) == 8 &&
                  sizeof(vexlin_handle_t) == 8,
              "scalar widths are fixed");
static_assert(offsetof(vexlin_string_t, data) == 0 && offsetof(vexlin_string_t, byte_length) == sizeof(void*) &&
                  offsetof(vexlin_string_t, ccsid) == sizeof(void*) + sizeof(vexlin_size_t) &&
                  sizeof(vexlin_string_t::ccsid) == 2,
              "vexlin_string_t is data, byte_length, ccsid");
static_assert(sizeof(vexlin_stub_version_t) == 12, "vexlin_stub_version_t is three 32-bit words");
static_assert(sizeof(vexlin_abi_stub_version_t) == 96, "the stub version record has 96 bytes");
static_assert(offsetof(vexlin_abi_stub_version_t, version_build) == 12 &&
                  offsetof(vexlin_abi_stub_version_t, reserved4) == 28 &&
                  offsetof(vexlin_abi_stub_version_t, build_timestamp) == 32 &&
                  offsetof(vexlin_abi_stub_version_t, reserved5) == 64,
              "stub version record offsets");
static_assert(sizeof(vexlin_ex_trace_id_t) == 16 && sizeof(vexlin_ex_span_id_t) == 8, "identifier sizes");
static_assert(sizeof(vexlin_abi_library_functions_5_t) == 2 * sizeof(void (*)(void)) &&
                  sizeof(vexlin_abi_library_functions_versiononly_t) == sizeof(void (*)(void)),
              "library table sizes");
