// Spin lock and thread identity. The lock spins for a while, then sleeps
// with select(), which is async-signal-safe, so it may be taken in a fork
// handler.
#include "vexlin_util.h"

#include <pthread.h>
#include <sys/select.h>

namespace {

constexpr vexlin_size_t kSpinsBeforeSleeping = 1000;

void async_signal_safe_short_sleep(void) {
    struct timeval duration;
    duration.tv_sec = 0;
    duration.tv_usec = 1000;
    (void)select(0, nullptr, nullptr, nullptr, &duration);
}

}  // namespace

void vexlin_spin_yield(vexlin_size_t k) {
    if (k >= kSpinsBeforeSleeping) {
        async_signal_safe_short_sleep();
    }
}

void vexlin_spinlock_lock_contended(vexlin_spinlock_t* sl) {
    vexlin_size_t k = 0;
    for (;;) {
        do {
            vexlin_spin_yield(k);
            ++k;
        } while (vexlin_atomic_load_relaxed(&sl->locked) != 0);
        vexlin_atomic_t expected = 0;
        if (vexlin_atomic_compare_exchange_acquire(&sl->locked, &expected, 1)) {
            return;
        }
    }
}

vexlin_uint64_t vexlin_get_current_thread_id(void) {
    // pthread_t is an integer on the platforms we build for; where it is 32
    // bits wide the value is zero-extended.
    static_assert(sizeof(pthread_t) <= sizeof(vexlin_uint64_t), "thread id must fit 64 bits");
    return (vexlin_uint64_t)pthread_self();
}
