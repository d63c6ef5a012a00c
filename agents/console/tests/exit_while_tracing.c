/* A program that ends while a worker thread still traces: main returns with
 * a tracer of its own running, and an atexit handler registered before the
 * library started shuts it down, as applications commonly do. */
#include <pthread.h>
#include <stdlib.h>

#include "vexlin/vexlin.h"

static int rounds;

#define TEXT(literal) \
    { literal, sizeof literal - 1, VEXLIN_CCSID_UTF8 }

static void* work(void* arg) {
    vexlin_string_t method = TEXT("poll"), service = TEXT("Worker");
    vexlin_tracer_handle_t outer = vexlin_customservicetracer_create_p(&method, &service);
    (void)arg;
    vexlin_tracer_start(outer);
    for (;;) {
        vexlin_tracer_handle_t inner = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_tracer_start(inner);
        vexlin_tracer_end(inner);
        __atomic_add_fetch(&rounds, 1, __ATOMIC_RELEASE);
    }
    return NULL;
}

static void stop(void) { vexlin_shutdown(); }

int main(int argc, char** argv) {
    vexlin_string_t method = TEXT("main"), service = TEXT("Exit");
    pthread_t worker;
    atexit(stop);
    vexlin_stub_process_cmdline_args(argc, (const vexlin_xchar_t* const*)argv, 0);
    if (vexlin_initialize() != VEXLIN_SUCCESS) return 2;
    vexlin_tracer_start(vexlin_customservicetracer_create_p(&method, &service));
    if (pthread_create(&worker, NULL, work, NULL) != 0) return 3;
    while (__atomic_load_n(&rounds, __ATOMIC_ACQUIRE) < 20) {
    }
    return 0;
}
