// What the units share: the agent attachment that the forwarding functions
// read, the neutral answers they give without it, and the extension request.
#ifndef VEXLIN_INTERNAL_H
#define VEXLIN_INTERNAL_H

#include "vexlin/internal/vexlin_stub_abi.h"

// The attachment: set by the init unit once the module handed out an agent.
// The function table pointer alone decides whether a call is forwarded; it
// is cleared at release and in an unsafe fork child. The agent pointer is
// never cleared, only replaced by the next attach. Only the init unit writes
// them, through vexlin_internal_attach and vexlin_internal_detach.
extern vexlin_abi_agent_t* vexlin_internal_agent_ptr;
extern const vexlin_abi_agent_functions_cur_t* vexlin_internal_agent_functions_ptr;

// The table is published after its agent, and a detach withdraws only the
// table: a forwarder that saw a table, even one withdrawn just after it read
// it, hands the module an agent, never NULL. On x86-64 both loads are plain
// moves: forwarders stay one load, one test, one jump.
inline const vexlin_abi_agent_functions_cur_t* vexlin_internal_attached_functions() {
    return __atomic_load_n(&vexlin_internal_agent_functions_ptr, __ATOMIC_ACQUIRE);
}
inline vexlin_abi_agent_t* vexlin_internal_attached_agent() {
    return __atomic_load_n(&vexlin_internal_agent_ptr, __ATOMIC_RELAXED);
}
inline void vexlin_internal_attach(vexlin_abi_agent_t* agent, const vexlin_abi_agent_functions_cur_t* functions) {
    __atomic_store_n(&vexlin_internal_agent_ptr, agent, __ATOMIC_RELAXED);
    __atomic_store_n(&vexlin_internal_agent_functions_ptr, functions, __ATOMIC_RELEASE);
}
inline void vexlin_internal_detach() {
    __atomic_store_n(&vexlin_internal_agent_functions_ptr, nullptr, __ATOMIC_RELEASE);
}

// Asks the loaded module for an extension table and publishes it into
// *out_ftable, only on success. Under the init lock, like the clearing below:
// an enable racing the last shutdown either ends before the tables are
// cleared or finds nothing loaded, so no table outlives its module. The
// _nolock forms are for initialize, which holds the lock.
vexlin_result_t vexlin_internal_get_ex_api(const vexlin_xchar_t* name, vexlin_uint32_t interface_id,
                                           const void** out_ftable);
vexlin_result_t vexlin_internal_get_ex_api_nolock(const vexlin_xchar_t* name, vexlin_uint32_t interface_id,
                                                  const void** out_ftable);

vexlin_result_t vexlin_ex_api_enable_metrics_nolock(void);

// Extension tables come from the loaded module; the init unit calls this when
// it closes the module, so no group can call into a closed module.
void vexlin_internal_clear_ex_tables(void);

// Neutral answers, named by the `neutral` column of the function lists.
template <typename R, typename... A>
inline R vexlin_neutral_nothing(A...) {
    return R();
}
template <typename R, typename... A>
inline R vexlin_neutral_no_handle(A...) {
    return 0;
}
template <typename R, typename... A>
inline R vexlin_neutral_zero(A...) {
    return 0;
}
template <typename R>
inline R vexlin_neutral_state_unknown() {
    return 3;
}
template <typename R>
inline R vexlin_neutral_fork_state_unknown() {
    return -1;
}
template <typename R, typename... A>
inline R vexlin_neutral_not_initialized(A...) {
    return VEXLIN_ERROR_NOT_INITIALIZED;
}
// An empty tag: just its terminator.
template <typename R>
inline R vexlin_neutral_empty_string_tag(vexlin_tracer_handle_t, char* buffer, vexlin_size_t buffer_size,
                                         vexlin_size_t* required_buffer_size) {
    if (buffer != nullptr && buffer_size != 0) {
        buffer[0] = '\0';
    }
    if (required_buffer_size != nullptr) {
        *required_buffer_size = 1;
    }
    return 0;
}
// Byte buffers (byte tag, in-process link) are left alone; nothing is required.
template <typename R>
inline R vexlin_neutral_empty_byte_buffer(unsigned char*, vexlin_size_t, vexlin_size_t* required_buffer_size) {
    if (required_buffer_size != nullptr) {
        *required_buffer_size = 0;
    }
    return 0;
}
template <typename R>
inline R vexlin_neutral_empty_byte_buffer(vexlin_tracer_handle_t, unsigned char* buffer, vexlin_size_t buffer_size,
                                          vexlin_size_t* required_buffer_size) {
    return vexlin_neutral_empty_byte_buffer<R>(buffer, buffer_size, required_buffer_size);
}

#endif  // VEXLIN_INTERNAL_H
