/* Driver of the OTLP module's fault and data-limit tests: in the environment's locale (as applications set it),
 * records COUNT custom-service spans and a float gauge of 0.75 (one of 0.5 with an empty name, never sent), shuts down
 * and prints how long that took and the most memory the process held. The module's log lines go to stdout as
 * "log: ...", and each process that shuts down prints "recorded=N", its spans. With OTLP_LOAD_QUIET_MS set it waits
 * that long before the spans; with OTLP_LOAD_IDLE_MS, before the shutdown, and prints the CPU time the process used
 * meanwhile.
 *   otlp_load COUNT [--fork] [DATA...]   --fork: a child records 3 more spans
 *   otlp_load COUNT --fork-metrics N MS P  P thousand metric points and a counter child.count, then N children one
 *                                        after another, each adds 1 to the counter, waits MS ms, adds 1 again and
 *                                        shuts down
 *   otlp_load 0 --churn N                a thread initializes and shuts down N times while the main thread forks
 * DATA, each for every span unless it says one:
 *   --attrs=N,BYTES  N request attributes a0, a1, ... of BYTES bytes of "é"   --attr=KEY=VALUE  one more (in order)
 *   --error          an exception       --headers=N  one outgoing web request more, with N request headers (then a null
 *                                       array of values, a misuse, and an empty list at a page nothing may read)
 *   --counter=N,A,B  a counter with N dimension values (0: none), each increased by A, then by B
 *   --float-counter=A,B  a float counter load.count increased by A, then by B
 *   --timed=START,END  one timed span more (microseconds)             --zero-ids  one span more with all-zero ids
 *   --long-name=BYTES  the spans' name is BYTES bytes of "a", and the byte after it in memory continues a character
 *   --tracer=KIND|ARG|...  one tracer more (again and again), its info deleted as soon as it is made, and used by
 *                          a tracer before it, as an application's infos mostly are; an empty ARG is a NULL string.
 *                          KIND and its ARGs:
 *     web-in|URL|METHOD|PEER  web-out|URL|METHOD  rpc|SERVICE|METHOD|PROTOCOL|CHANNEL (outgoing)
 *     sql|VENDOR|DATABASE|STATEMENT|ROWS  send|receive|process|VENDOR|DESTINATION|DESTINATION_TYPE
 *   then any of: Name:value (a request header), >Name:value (a response header), =STATUS, !CLASS:MESSAGE (an error),
 *   @KEY=VALUE (a custom request attribute), ~TAG (an incoming string tag given one byte shorter: its last character
 *   follows it in memory)
 *   --tracer=flush  sends what was recorded so far, and waits for it
 *   --tracer=exit   ends the process at once, with no shutdown to send what is left */
#define _POSIX_C_SOURCE 200809L
#define _DEFAULT_SOURCE /* MAP_ANONYMOUS */

#include <locale.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
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

static vexlin_string_t text_of(const char* s, size_t length) {
    vexlin_string_t t = {s, length, VEXLIN_CCSID_UTF8};
    return t;
}
static vexlin_string_t text(const char* s) { return text_of(s, strlen(s)); }

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
    const char* sizes = option("--attrs");
    for (long i = 0, count = sizes ? atol(sizes) : 0, bytes = sizes ? atol(strchr(sizes, ',') + 1) : 0; i < count;
         ++i) {
        static char* value;
        char key[32];
        if (value == NULL && (value = malloc((size_t)bytes + 2)) != NULL)
            for (long b = 0; b < bytes; b += 2) memcpy(value + b, "\xC3\xA9", 2);
        vexlin_string_t k = text_of(key, (size_t)snprintf(key, sizeof key, "a%ld", i)),
                        v = text_of(value, (size_t)bytes);
        vexlin_customrequestattribute_add_strings_p(&k, &v, 1);
    }
    const char* kv;
    for (int from = 2; (kv = next_option("--attr", &from)) != NULL;) {
        const char* eq = strchr(kv, '=');
        vexlin_string_t k = text_of(kv, (size_t)(eq - kv)), v = text_of(eq + 1, strlen(eq + 1));
        vexlin_customrequestattribute_add_strings_p(&k, &v, 1);
    }
}

static void record(int count, const char* service_name) {
    vexlin_string_t method = text("work"), service = text(service_name);
    const char* long_name = option("--long-name");
    const size_t name_bytes = long_name != NULL ? (size_t)atol(long_name) : 0;
    char* name = long_name != NULL ? malloc(name_bytes + 1) : NULL;
    if (name != NULL) {
        memset(name, 'a', name_bytes);
        name[name_bytes] = (char)0x80; /* continues a character, but is not the text's */
        method = text_of(name, name_bytes);
    }
    vexlin_string_t error = text("Failure"), message = text("it failed");
    for (int i = 0; i < count; ++i) {
        long started = now_us();
        vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_tracer_start(t);
        add_attributes();
        if (option("--error")) vexlin_tracer_error_p(t, &error, &message);
        vexlin_tracer_end(t);
        if (now_us() - started > slowest_span_us) slowest_span_us = now_us() - started;
    }
    free(name);
}

static void record_tracer(char* line) {
    char* f[16];
    vexlin_string_t v[16], web[3] = {text("demo-server"), text("Shop"), text("/")};
    const vexlin_string_t* a[16];
    int n = 0, first = 16;
    for (char* p = line; p != NULL && n < 16; ++n)
        if ((p = strchr(f[n] = p, '|')) != NULL) *p++ = '\0';
    for (int i = 0; i < 16; ++i) a[i] = (v[i] = text(i < n ? f[i] : "")).byte_length > 0 ? &v[i] : NULL;
    vexlin_tracer_handle_t t = 0;
    int in = strcmp(f[0], "web-in") == 0;
    if (strcmp(f[0], "flush") == 0) {
        if (vexlin_ex_api_enable_serverless() == VEXLIN_SUCCESS) vexlin_ex_agent_force_send_data_now();
        return;
    }
    if (strcmp(f[0], "exit") == 0) _exit(0);
    /* The span must carry its info all the same. The tracer before it is ended unstarted, a misuse that sends nothing
     * (the warnings are not printed). */
    if (in) {
        vexlin_webapplicationinfo_handle_t app = vexlin_webapplicationinfo_create_p(&web[0], &web[1], &web[2]);
        vexlin_tracer_end(vexlin_incomingwebrequesttracer_create_p(app, a[1], a[2]));
        t = vexlin_incomingwebrequesttracer_create_p(app, a[1], a[2]), first = 4;
        vexlin_webapplicationinfo_delete(app);
    }
    if (strcmp(f[0], "web-out") == 0) t = vexlin_outgoingwebrequesttracer_create_p(a[1], a[2]), first = 3;
    if (strcmp(f[0], "rpc") == 0) {
        t = vexlin_outgoingremotecalltracer_create_p(a[2], a[1], NULL, 1, a[4]);
        vexlin_outgoingremotecalltracer_set_protocol_name_p(t, a[3]), first = 5;
    }
    if (strcmp(f[0], "sql") == 0) {
        vexlin_databaseinfo_handle_t db = vexlin_databaseinfo_create_p(a[2], a[1], 1, NULL);
        vexlin_tracer_end(vexlin_databaserequesttracer_create_sql_p(db, a[3]));
        t = vexlin_databaserequesttracer_create_sql_p(db, a[3]);
        vexlin_databaseinfo_delete(db);
        if (a[4] != NULL) vexlin_databaserequesttracer_set_returned_row_count(t, atoi(f[4]));
        first = 5;
    }
    if (strstr("send receive process", f[0]) != NULL && n > 3) {
        vexlin_messagingsysteminfo_handle_t queue =
            vexlin_messagingsysteminfo_create_p(a[1], a[2], atoi(f[3]), 1, NULL);
        vexlin_tracer_end(vexlin_outgoingmessagetracer_create(queue));
        t = f[0][0] == 's'   ? vexlin_outgoingmessagetracer_create(queue)
            : f[0][0] == 'r' ? vexlin_incomingmessagereceivetracer_create(queue)
                             : vexlin_incomingmessageprocesstracer_create(queue);
        vexlin_messagingsysteminfo_delete(queue), first = 4;
    }
    if (in && a[3] != NULL) vexlin_incomingwebrequesttracer_set_remote_address_p(t, a[3]);
    for (int i = first; i < n; ++i)
        if (f[i][0] == '~' && f[i][1] != '\0') {
            vexlin_string_t tag = text_of(f[i] + 1, strlen(f[i] + 1) - 1);
            vexlin_tracer_set_incoming_korvantix_string_tag_p(t, &tag);
        }
    vexlin_tracer_start(t);
    for (int i = first; i < n; ++i) {
        if (f[i][0] == '~') continue;
        if (f[i][0] == '@' && strchr(f[i], '=') != NULL) {
            const char* eq = strchr(f[i], '=');
            vexlin_string_t key = text_of(f[i] + 1, (size_t)(eq - f[i] - 1)), value = text(eq + 1);
            vexlin_customrequestattribute_add_strings_p(&key, &value, 1);
            continue;
        }
        const char mark = f[i][0] != '\0' && strchr(">!=", f[i][0]) != NULL ? f[i][0] : 0;
        const char *body = f[i] + (mark != 0), *colon = strchr(body, ':');
        vexlin_string_t name = text_of(body, colon ? (size_t)(colon - body) : strlen(body)),
                        value = text(colon ? colon + 1 : "");
        if (mark == '=')
            (in ? vexlin_incomingwebrequesttracer_set_status_code : vexlin_outgoingwebrequesttracer_set_status_code)(
                t, atoi(body));
        else if (mark == '!')
            vexlin_tracer_error_p(t, name.byte_length > 0 ? &name : NULL, &value);
        else if (in)
            (mark ? vexlin_incomingwebrequesttracer_add_response_headers_p
                  : vexlin_incomingwebrequesttracer_add_request_headers_p)(t, &name, &value, 1);
        else
            (mark ? vexlin_outgoingwebrequesttracer_add_response_headers_p
                  : vexlin_outgoingwebrequesttracer_add_request_headers_p)(t, &name, &value, 1);
    }
    vexlin_tracer_end(t);
}

/* The data that comes once. */
static void record_more(void) {
    const char* v;
    if ((v = option("--headers")) != NULL) {
        long n = atol(v);
        vexlin_string_t url = text_of("http://127.0.0.1/", 17), get = text_of("GET", 3);
        vexlin_string_t* names = calloc((size_t)n + 1, sizeof *names);
        vexlin_string_t* values = calloc((size_t)n + 1, sizeof *values);
        char* text = malloc((size_t)n * 16 + 1);
        for (long i = 0; i < n && names && values && text; ++i) {
            names[i] = text_of(text + i * 16, (size_t)snprintf(text + i * 16, 16, "x-h%ld", i));
            values[i] = text_of("v", 1);
        }
        vexlin_tracer_handle_t t = vexlin_outgoingwebrequesttracer_create_p(&url, &get);
        vexlin_tracer_start(t);
        vexlin_outgoingwebrequesttracer_add_request_headers_p(t, names, values, (vexlin_size_t)n);
        vexlin_outgoingwebrequesttracer_add_request_headers_p(t, &get, NULL, 1);
        /* An empty list's arrays may end where readable memory ends, as an empty vector's do. */
        size_t page = (size_t)sysconf(_SC_PAGESIZE);
        vexlin_string_t* unreadable = mmap(NULL, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (unreadable != MAP_FAILED) {
            vexlin_outgoingwebrequesttracer_add_request_headers_p(t, unreadable, unreadable, 0);
            munmap(unreadable, page);
        }
        vexlin_tracer_end(t);
        free(names), free(values), free(text);
    }
    vexlin_string_t key = text_of("load.count", 10), unit = text_of("1", 1), dimension = text_of("value", 5);
    if ((v = option("--counter")) != NULL) {
        char* end;
        long n = atol(v);
        long long increase[2] = {strtoll(strchr(v, ',') + 1, &end, 10), strtoll(end + 1, NULL, 10)};
        vexlin_metric_handle_t m = vexlin_integercountermetric_create_p(&key, &unit, n > 0 ? &dimension : NULL);
        for (long i = 0; i < n || (n == 0 && i == 0); ++i) {
            char text[32];
            vexlin_string_t d = text_of(text, (size_t)snprintf(text, sizeof text, "d%ld", i));
            for (int k = 0; k < 2; ++k) vexlin_integercountermetric_increase_by_p(m, increase[k], n > 0 ? &d : NULL);
        }
    }
    if ((v = option("--float-counter")) != NULL) {
        vexlin_metric_handle_t m = vexlin_floatcountermetric_create_p(&key, &unit, NULL);
        vexlin_floatcountermetric_increase_by_p(m, atof(v), NULL);
        vexlin_floatcountermetric_increase_by_p(m, atof(strchr(v, ',') + 1), NULL);
    }
    vexlin_string_t method = text_of("once", 4), service = text_of("more", 4);
    if ((v = option("--timed")) != NULL && vexlin_ex_api_enable_tracer_ext() == VEXLIN_SUCCESS) {
        vexlin_tracer_handle_t t = vexlin_customservicetracer_create_p(&method, &service);
        vexlin_ex_tracer_start_2(t, 0, strtoll(v, NULL, 10));
        vexlin_ex_tracer_end_timed(t, strtoll(strchr(v, ',') + 1, NULL, 10));
    }
    char* line;
    for (int from = 2; (line = (char*)next_option("--tracer", &from)) != NULL;) record_tracer(line);
    if (option("--zero-ids") && vexlin_ex_api_enable_span() == VEXLIN_SUCCESS) {
        vexlin_ex_trace_id_t trace = {{0}};
        vexlin_ex_span_id_t span = {{0}};
        vexlin_tracer_handle_t t = vexlin_ex_spantracer_create(1);
        vexlin_ex_spantracer_set_ids_p(t, &trace, &span, &span);
        vexlin_tracer_start(t), vexlin_tracer_end(t);
    }
}

/* The counter was made before the fork, the parent's export may have been reading the metrics then. */
static void child_metrics(vexlin_metric_handle_t counter, int wait_ms) {
    vexlin_integercountermetric_increase_by_p(counter, 1, NULL);
    nap(wait_ms);
    vexlin_integercountermetric_increase_by_p(counter, 1, NULL);
    /* _exit: a sanitizer's leak check at exit would wait for allocator locks the parent's exporter held at the fork. */
    _exit(vexlin_shutdown() == VEXLIN_SUCCESS && printf("recorded=0\n") > 0 ? 0 : 1);
}

static void* churn(void* rounds) {
    for (long i = 0; i < (long)rounds; ++i) vexlin_initialize(), vexlin_shutdown();
    return NULL;
}

/* Forks while another thread loads and unloads the module; every child must end normally. */
static int fork_while_churning(long rounds) {
    pthread_t thread;
    int crashed = 0, status;
    pthread_create(&thread, NULL, churn, (void*)rounds);
    for (long i = 0; i < rounds; ++i) {
        pid_t pid = fork();
        if (pid == 0) _exit(0);
        crashed += pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status);
    }
    pthread_join(thread, NULL);
    printf("crashed=%d shutdown_ms=0 slowest_span_us=0 max_rss_kb=0 idle_cpu_ms=0\n", crashed);
    return 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0); /* the test reacts to each log line; a fork copies no pending output */
    setlocale(LC_ALL, "");
    argc_ = argc, argv_ = argv;
    if (argc > 3 && strcmp(argv[2], "--churn") == 0) return fork_while_churning(atol(argv[3]));
    if (argc < 2 || vexlin_initialize() != VEXLIN_SUCCESS) return 2;
    vexlin_agent_set_logging_callback(print_log);
    vexlin_string_t fill = text("load.fill"), ratio = text("1"), points = text("load.points"), dimension = text("key"),
                    count = text("child.count"), none = text("");
    vexlin_floatgaugemetric_set_value_p(vexlin_floatgaugemetric_create_p(&fill, &ratio, NULL), 0.75, NULL);
    vexlin_floatgaugemetric_set_value_p(vexlin_floatgaugemetric_create_p(&none, &ratio, NULL), 0.5, NULL);
    if (getenv("OTLP_LOAD_QUIET_MS") != NULL) nap(atoi(getenv("OTLP_LOAD_QUIET_MS")));
    record(atoi(argv[1]), "parent");
    record_more();
    if (argc > 5 && strcmp(argv[2], "--fork-metrics") == 0) {
        vexlin_metric_handle_t counter = vexlin_integercountermetric_create_p(&count, &ratio, NULL);
        for (int m = 0; m < atoi(argv[5]); ++m) {
            vexlin_metric_handle_t many = vexlin_integergaugemetric_create_p(&points, &ratio, &dimension);
            for (int i = 0; i < 1000; ++i) {
                char value[16];
                snprintf(value, sizeof value, "%d", i);
                vexlin_string_t v = text(value);
                vexlin_integergaugemetric_set_value_p(many, i, &v);
            }
        }
        for (int i = 0; i < atoi(argv[3]); ++i) {
            if (fork() == 0) child_metrics(counter, atoi(argv[4]));
            wait(NULL);
        }
    } else if (option("--fork")) {
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
