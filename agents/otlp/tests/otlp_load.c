/* Test driver for the OTLP module's fault tests: records COUNT custom-service
 * spans, optionally forks (the child records 3 more), then shuts down and
 * prints how long shutdown took. The module's log lines go to stdout as
 * "log: ...".
 *
 *   otlp_load COUNT [--fork] */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "vexlin/vexlin.h"

static void print_log(const char* message) {
    printf("log: %s\n", message);
    fflush(stdout);
}

static vexlin_string_t str(const char* text) {
    vexlin_string_t s;
    s.data = text;
    s.byte_length = strlen(text);
    s.ccsid = VEXLIN_CCSID_UTF8;
    return s;
}

static long now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000L + ts.tv_nsec / 1000L;
}

static long now_ms(void) { return now_us() / 1000L; }

/* The longest any one span took to record: the application's thread must
 * never wait for the collector. */
static long s_slowest_span_us;

static void record(int count, const char* service_name) {
    vexlin_string_t method = str("work"), service = str(service_name);
    int i;
    for (i = 0; i < count; ++i) {
        long started = now_us();
        vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_tracer_start(t);
        vexlin_tracer_end(t);
        if (now_us() - started > s_slowest_span_us) s_slowest_span_us = now_us() - started;
    }
}

int main(int argc, char** argv) {
    int count = argc > 1 ? atoi(argv[1]) : 10;
    int fork_too = argc > 2 && strcmp(argv[2], "--fork") == 0;
    long started;
    pid_t child = 0;

    if (vexlin_initialize() != VEXLIN_SUCCESS) return 2;
    vexlin_agent_set_logging_callback(print_log);
    record(count, "parent");
    if (fork_too) {
        fflush(stdout);
        child = fork();
        if (child == 0) {
            record(3, "child");
            return vexlin_shutdown() == VEXLIN_SUCCESS ? 0 : 1;
        }
        waitpid(child, NULL, 0);
    }
    started = now_ms();
    vexlin_shutdown();
    printf("shutdown_ms=%ld slowest_span_us=%ld\n", now_ms() - started, s_slowest_span_us);
    return 0;
}
