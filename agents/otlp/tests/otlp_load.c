/* Driver of the OTLP module's fault tests: records COUNT custom-service spans, with --fork forks (the child records
 * 3 more), shuts down and prints how long that took. The module's log lines go to stdout as "log: ...".
 *   otlp_load COUNT [--fork] */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "vexlin/vexlin.h"

static void print_log(const char* message) { printf("log: %s\n", message); }

static long now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000L + ts.tv_nsec / 1000L;
}

/* The application's thread must never wait for the collector. */
static long slowest_span_us;

static void record(int count, const char* service_name) {
    vexlin_string_t method = {"work", 4, VEXLIN_CCSID_UTF8},
                    service = {service_name, strlen(service_name), VEXLIN_CCSID_UTF8};
    for (int i = 0; i < count; ++i) {
        long started = now_us();
        vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_tracer_start(t), vexlin_tracer_end(t);
        if (now_us() - started > slowest_span_us) slowest_span_us = now_us() - started;
    }
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0); /* the test reacts to each log line; a fork copies no pending output */
    if (argc < 2 || vexlin_initialize() != VEXLIN_SUCCESS) return 2;
    vexlin_agent_set_logging_callback(print_log);
    record(atoi(argv[1]), "parent");
    if (argc > 2 && strcmp(argv[2], "--fork") == 0) {
        if (fork() == 0) {
            record(3, "child");
            return vexlin_shutdown() == VEXLIN_SUCCESS ? 0 : 1;
        }
        wait(NULL);
    }
    long started = now_us();
    vexlin_shutdown();
    printf("shutdown_ms=%ld slowest_span_us=%ld\n", (now_us() - started) / 1000, slowest_span_us);
    return 0;
}
