// The one-word spin lock and the thread identity used in log lines.
// A zero-filled lock is free; it has no owner, so the fork handlers may take
// it before fork and release it in parent and child.
#ifndef VEXLIN_UTIL_H
#define VEXLIN_UTIL_H

#include "vexlin_atomic.h"

struct vexlin_spinlock_t {
    volatile vexlin_atomic_t locked;
};

void vexlin_spinlock_lock(vexlin_spinlock_t* sl);
void vexlin_spinlock_unlock(vexlin_spinlock_t* sl);

// Waits made so far in this lock call: the first 1000 spin, later ones sleep.
void vexlin_spin_yield(vexlin_size_t k);

vexlin_uint64_t vexlin_get_current_thread_id(void);

#endif  // VEXLIN_UTIL_H
