// Fork handling: the user-variable lock is held across fork so a child never
// inherits the store mid-change, and a child forked while initialize or
// shutdown ran refuses further initialization instead of deadlocking.
#include "vexlin_fork_handlers.h"

#include <pthread.h>

#include "vexlin_args.h"
#include "vexlin_atomic.h"
#include "vexlin_init_internal.h"
#include "vexlin_stub_log.h"

namespace {

volatile vexlin_atomic_t s_register_fork_handlers_done = 0;
pthread_once_t s_register_fork_handlers_once_control = PTHREAD_ONCE_INIT;

// Lock order is the init lock, then the user-variable lock; the handlers take
// only the latter.
void atfork_prepare(void) { vexlin_args_atfork_prepare(); }

void atfork_parent(void) { vexlin_args_atfork_parent(); }

// Runs only in fork children, which leave with _exit and so never write
// their coverage; the fork tests check what it does.
// GCOVR_EXCL_START
void atfork_child(void) {
    vexlin_atomic_store_release(&s_register_fork_handlers_done, 1);
    vexlin_args_atfork_child();
    vexlin_main_atfork_child();
}
// GCOVR_EXCL_STOP

void register_fork_handlers_once(void) {
    const int rc = pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
    // pthread_atfork fails only when memory runs out.
    if (rc != 0) {  // GCOVR_EXCL_START
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_WARNING, "Could not register fork handlers (error %d).", rc);
    }  // GCOVR_EXCL_STOP
    vexlin_atomic_store_release(&s_register_fork_handlers_done, 1);
}

}  // namespace

int vexlin_locked_section_enter(vexlin_spinlock_t* lock) {
    if (vexlin_atomic_load_acquire(&s_register_fork_handlers_done) == 0) {
        (void)pthread_once(&s_register_fork_handlers_once_control, register_fork_handlers_once);
    }
    int cancel_state = PTHREAD_CANCEL_ENABLE;
    (void)pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    vexlin_spinlock_lock(lock);
    return cancel_state;
}

void vexlin_locked_section_leave(vexlin_spinlock_t* lock, int cancel_state) {
    vexlin_spinlock_unlock(lock);
    (void)pthread_setcancelstate(cancel_state, nullptr);
}
