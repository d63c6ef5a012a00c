/* Driver of the OTLP module's fault and data-limit tests: records COUNT custom-service spans, with --fork forks (the
 * child records 3 more), shuts down and prints how long that took and the most memory the process held. The module's
 * log lines go to stdout as "log: ...".
 *   otlp_load COUNT [--fork] [DATA...]
 * DATA, each for every span unless it says one:
 *   --attrs=N,BYTES  N request attributes a0, a1, ... of BYTES bytes of "é"   --attr=KEY=VALUE  one more (in order)
 *   --error          an exception                 --headers=N  one outgoing web request more, with N request headers
 *   --counter=N,A,B  a counter with N dimension values (0: none), each increased by A, then by B
 *   --timed=START,END  one timed span more (microseconds)             --zero-ids  one span more with all-zero ids */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
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

static vexlin_string_t str(const char* text, size_t length) {
    vexlin_string_t s = {text, length, VEXLIN_CCSID_UTF8};
    return s;
}

/* The application's thread must never wait for the collector. */
static long slowest_span_us;
static int argc_;
static char** argv_;

/* The text after "NAME=" (or "" after a bare NAME) among the arguments from `*from` on, which moves past it; null
 * when absent. */
static const char* next_option(const char* name, int* from) {
    for (size_t n = strlen(name); *from < argc_;) {
        const char* arg = argv_[(*from)++];
        if (strncmp(arg, name, n) == 0 && (arg[n] == '=' || arg[n] == '\0')) return arg + n + (arg[n] == '=');
    }
    return NULL;
}
static const char* option(const char* name) {
    int from = 2;
    return next_option(name, &from);
}

static void add_attributes(void) {
    const char* spec = option("--attrs");
    for (long i = 0, count = spec ? atol(spec) : 0, bytes = spec ? atol(strchr(spec, ',') + 1) : 0; i < count; ++i) {
        static char* value;
        char key[32];
        if (value == NULL && (value = malloc((size_t)bytes + 2)) != NULL)
            for (long b = 0; b < bytes; b += 2) memcpy(value + b, "\xC3\xA9", 2);
        vexlin_string_t k = str(key, (size_t)snprintf(key, sizeof key, "a%ld", i)), v = str(value, (size_t)bytes);
        vexlin_customrequestattribute_add_strings_p(&k, &v, 1);
    }
    const char* kv;
    for (int from = 2; (kv = next_option("--attr", &from)) != NULL;) {
        const char* eq = strchr(kv, '=');
        vexlin_string_t k = str(kv, (size_t)(eq - kv)), v = str(eq + 1, strlen(eq + 1));
        vexlin_customrequestattribute_add_strings_p(&k, &v, 1);
    }
}

static void record(int count, const char* service_name) {
    vexlin_string_t method = str("work", 4), service = str(service_name, strlen(service_name));
    vexlin_string_t error = str("Failure", 7), message = str("it failed", 9);
    for (int i = 0; i < count; ++i) {
        long started = now_us();
        vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_tracer_start(t);
        add_attributes();
        if (option("--error")) vexlin_tracer_error_p(t, &error, &message);
        vexlin_tracer_end(t);
        if (now_us() - started > slowest_span_us) slowest_span_us = now_us() - started;
    }
}

/* The data that comes once. */
static void record_more(void) {
    const char* v;
    if ((v = option("--headers")) != NULL) {
        long n = atol(v);
        vexlin_string_t url = str("http://127.0.0.1/", 17), get = str("GET", 3);
        vexlin_string_t* names = calloc((size_t)n + 1, sizeof *names);
        vexlin_string_t* values = calloc((size_t)n + 1, sizeof *values);
        char* text = malloc((size_t)n * 16 + 1);
        for (long i = 0; i < n && names && values && text; ++i) {
            names[i] = str(text + i * 16, (size_t)snprintf(text + i * 16, 16, "x-h%ld", i));
            values[i] = str("v", 1);
        }
        vexlin_tracer_handle_t t = vexlin_outgoingwebrequesttracer_create_p(&url, &get);
        vexlin_tracer_start(t);
        vexlin_outgoingwebrequesttracer_add_request_headers_p(t, names, values, (vexlin_size_t)n);
        vexlin_tracer_end(t);
        free(names), free(values), free(text);
    }
    vexlin_string_t key = str("load.count", 10), unit = str("1", 1), dimension = str("value", 5);
    if ((v = option("--counter")) != NULL) {
        char* end;
        long n = atol(v);
        long long increase[2] = {strtoll(strchr(v, ',') + 1, &end, 10), strtoll(end + 1, NULL, 10)};
        vexlin_metric_handle_t m = vexlin_integercountermetric_create_p(&key, &unit, n > 0 ? &dimension : NULL);
        for (long i = 0; i < n || (n == 0 && i == 0); ++i) {
            char text[32];
            vexlin_string_t d = str(text, (size_t)snprintf(text, sizeof text, "d%ld", i));
            for (int k = 0; k < 2; ++k) vexlin_integercountermetric_increase_by_p(m, increase[k], n > 0 ? &d : NULL);
        }
    }
    vexlin_string_t method = str("once", 4), service = str("more", 4);
    if ((v = option("--timed")) != NULL && vexlin_ex_api_enable_tracer_ext() == VEXLIN_SUCCESS) {
        vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_ex_tracer_start_2(t, 0, strtoll(v, NULL, 10));
        vexlin_ex_tracer_end_timed(t, strtoll(strchr(v, ',') + 1, NULL, 10));
    }
    if (option("--zero-ids") && vexlin_ex_api_enable_span() == VEXLIN_SUCCESS) {
        vexlin_ex_trace_id_t trace = {{0}};
        vexlin_ex_span_id_t span = {{0}};
        vexlin_tracer_handle_t t = vexlin_ex_spantracer_create(1);
        vexlin_ex_spantracer_set_ids_p(t, &trace, &span, &span);
        vexlin_tracer_start(t), vexlin_tracer_end(t);
    }
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0); /* the test reacts to each log line; a fork copies no pending output */
    argc_ = argc, argv_ = argv;
    if (argc < 2 || vexlin_initialize() != VEXLIN_SUCCESS) return 2;
    vexlin_agent_set_logging_callback(print_log);
    record(atoi(argv[1]), "parent");
    record_more();
    if (option("--fork")) {
        if (fork() == 0) {
            record(3, "child");
            return vexlin_shutdown() == VEXLIN_SUCCESS ? 0 : 1;
        }
        wait(NULL);
    }
    long started = now_us();
    vexlin_shutdown();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("shutdown_ms=%ld slowest_span_us=%ld maxrss_kb=%ld\n", (now_us() - started) / 1000, slowest_span_us,
           usage.ru_maxrss);
    return 0;
}
