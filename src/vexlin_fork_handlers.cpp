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
void atfork_prepare(void) {
    vexlin_main_atfork_prepare();
    vexlin_args_atfork_prepare();
}

void atfork_parent(void) {
    vexlin_args_atfork_parent();
    vexlin_main_atfork_parent();
}

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

void vexlin_register_fork_handlers(void) {
    if (vexlin_atomic_load_acquire(&s_register_fork_handlers_done) == 0) {
        (void)pthread_once(&s_register_fork_handlers_once_control, register_fork_handlers_once);
    }
}
