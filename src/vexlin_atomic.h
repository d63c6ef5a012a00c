// Atomic operations on single words, with the orders the library relies on:
// relaxed for polling, acquire to take a lock or read a flag, release to
// hand a lock or flag over.
#ifndef VEXLIN_ATOMIC_H
#define VEXLIN_ATOMIC_H

#include "vexlin/vexlin_config.h"

typedef int vexlin_atomic_t;

inline vexlin_atomic_t vexlin_atomic_load_relaxed(volatile vexlin_atomic_t* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

inline vexlin_atomic_t vexlin_atomic_load_acquire(volatile vexlin_atomic_t* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

inline void vexlin_atomic_store_release(volatile vexlin_atomic_t* p, vexlin_atomic_t value) {
    __atomic_store_n(p, value, __ATOMIC_RELEASE);
}

// On failure the value found is stored into *expected.
inline vexlin_bool_t vexlin_atomic_compare_exchange_acquire(volatile vexlin_atomic_t* p, vexlin_atomic_t* expected,
                                                            vexlin_atomic_t desired) {
    return __atomic_compare_exchange_n(p, expected, desired, false, __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE) ? 1 : 0;
}

#endif  // VEXLIN_ATOMIC_H
