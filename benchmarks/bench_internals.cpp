// The library's internals on their hot paths: a message dropped by the log
// filter, and the uncontended spin lock, beside their baselines.
#include <benchmark/benchmark.h>

#include "reference.h"
#include "vexlin_stub_log.h"
#include "vexlin_util.h"

namespace {

void BM_Log_Dropped(benchmark::State& state) {
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
    for (auto _ : state) {
        vexlin_stub_log(VEXLIN_LOGGING_LEVEL_INFO, "a message nobody reads");
    }
}
BENCHMARK(BM_Log_Dropped);

void BM_Logf_Dropped(benchmark::State& state) {
    vexlin_stub_set_logging_level(VEXLIN_LOGGING_LEVEL_NONE);
    int value = 42;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s: %d (%s)", "a message nobody reads", value, "really");
    }
}
BENCHMARK(BM_Logf_Dropped);

void BM_EmptyFunction(benchmark::State& state) {
    for (auto _ : state) {
        reference_empty();
    }
}
BENCHMARK(BM_EmptyFunction);

vexlin_spinlock_t g_lock = {0};

void BM_Spinlock_LockUnlock(benchmark::State& state) {
    for (auto _ : state) {
        vexlin_spinlock_lock(&g_lock);
        vexlin_spinlock_unlock(&g_lock);
    }
}
BENCHMARK(BM_Spinlock_LockUnlock);

volatile int g_word = 0;

void BM_Spinlock_BareCompareExchange(benchmark::State& state) {
    for (auto _ : state) {
        int expected = 0;
        benchmark::DoNotOptimize(
            __atomic_compare_exchange_n(&g_word, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_ACQUIRE));
        __atomic_store_n(&g_word, 0, __ATOMIC_RELEASE);
    }
}
BENCHMARK(BM_Spinlock_BareCompareExchange);

}  // namespace

BENCHMARK_MAIN();
