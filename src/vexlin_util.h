// The one-word spin lock and the thread identity used in log lines.
// A zero-filled lock is free; it has no owner, so the fork handlers may take
// it before fork and release it in parent and child.
#ifndef VEXLIN_UTIL_H
#define VEXLIN_UTIL_H

#include "vexlin_atomic.h"

struct vexlin_spinlock_t {
    volatile vexlin_atomic_t locked;
};

// Waits until the lock is free again and takes it.
void vexlin_spinlock_lock_contended(vexlin_spinlock_t* sl);

// The uncontended path, one compare-exchange, is inline.
inline void vexlin_spinlock_lock(vexlin_spinlock_t* sl) {
    vexlin_atomic_t expected = 0;
    if (!vexlin_atomic_compare_exchange_acquire(&sl->locked, &expected, 1)) {
        vexlin_spinlock_lock_contended(sl);
    }
}

inline void vexlin_spinlock_unlock(vexlin_spinlock_t* sl) { vexlin_atomic_store_release(&sl->locked, 0); }

// Waits made so far in this lock call: the first 1000 spin, later ones sleep.
void vexlin_spin_yield(vexlin_size_t k);

vexlin_uint64_t vexlin_get_current_thread_id(void);

#endif  // VEXLIN_UTIL_H
