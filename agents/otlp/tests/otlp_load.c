/* Driver of the OTLP module's fault tests: in the environment's locale (as applications set it), records COUNT
 * custom-service spans and a float gauge of 0.75, shuts down and prints how long that took. The module's log lines go
 * to stdout as "log: ...", and each process that shuts down prints "recorded=N", its spans. With OTLP_LOAD_IDLE_MS
 * set it waits that long before the shutdown and prints the CPU time the process used meanwhile.
 *   otlp_load COUNT [--fork]             a child records 3 more spans */
#define _POSIX_C_SOURCE 200809L

#include <locale.h>
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

static vexlin_string_t text(const char* s) {
    vexlin_string_t t = {s, strlen(s), VEXLIN_CCSID_UTF8};
    return t;
}

/* The peak of this program alone: getrusage's counts what exec replaced too (the test's runtime). */
static long peak_rss_kb(void) {
    char line[128];
    long kb = 0;
    FILE* status = fopen("/proc/self/status", "r");
    while (status != NULL && fgets(line, sizeof line, status) != NULL) sscanf(line, "VmHWM: %ld", &kb);
    if (status != NULL) fclose(status);
    return kb;
}

static void nap(int ms) { nanosleep(&(struct timespec){ms / 1000, ms % 1000 * 1000000L}, NULL); }

/* The application's thread must never wait for the collector. */
static long slowest_span_us;

static void record(int count, const char* service_name) {
    vexlin_string_t method = text("work"), service = text(service_name);
    for (int i = 0; i < count; ++i) {
        long started = now_us();
        vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_tracer_start(t), vexlin_tracer_end(t);
        if (now_us() - started > slowest_span_us) slowest_span_us = now_us() - started;
    }
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0); /* the test reacts to each log line; a fork copies no pending output */
    setlocale(LC_ALL, "");
    if (argc < 2 || vexlin_initialize() != VEXLIN_SUCCESS) return 2;
    vexlin_agent_set_logging_callback(print_log);
    vexlin_string_t fill = text("load.fill"), ratio = text("1");
    vexlin_floatgaugemetric_set_value_p(vexlin_floatgaugemetric_create_p(&fill, &ratio, NULL), 0.75, NULL);
    record(atoi(argv[1]), "parent");
    if (argc > 2 && strcmp(argv[2], "--fork") == 0) {
        if (fork() == 0) {
            record(3, "child");
            return vexlin_shutdown() == VEXLIN_SUCCESS && printf("recorded=3\n") > 0 ? 0 : 1;
        }
        wait(NULL);
    }
    clock_t busy = clock(); /* of every thread */
    if (getenv("OTLP_LOAD_IDLE_MS") != NULL) nap(atoi(getenv("OTLP_LOAD_IDLE_MS")));
    long idle_cpu_ms = (long)((clock() - busy) * 1000 / CLOCKS_PER_SEC);
    long started = now_us();
    vexlin_shutdown();
    printf("recorded=%s\nshutdown_ms=%ld slowest_span_us=%ld max_rss_kb=%ld idle_cpu_ms=%ld\n", argv[1],
           (now_us() - started) / 1000, slowest_span_us, peak_rss_kb(), idle_cpu_ms);
    return 0;
}
