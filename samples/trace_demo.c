/* A tour of the tracing API in one run: an incoming web request with
 * headers, parameters and a status code; a database request inside it; an
 * outgoing remote call that hands out a string tag; custom request
 * attributes; a counter metric; work on another thread joined through an
 * in-process link; and a span with ids and attributes.
 *
 * Arguments that begin with --kx_ configure the library (for example
 * --kx_agentlibrary=PATH or --kx_loglevelsdk=info) and are removed before the
 * program looks at its own arguments. Without an agent module every call
 * still works and does nothing; scripts/demo runs this against the console
 * agent so that the trace can be read. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "vexlin/vexlin.h"

/* Channel and tracing-system codes are the agent module's to define; the
 * values below are the ones this demo uses throughout. */
enum { DEMO_CHANNEL_TCP_IP = 1, DEMO_TRACING_SYSTEM = 1, DEMO_TECH_TYPE = 1 };

/* A counted string over a NUL-terminated text: the library never needs the
 * terminator, only the length. */
static vexlin_string_t str(const char* text) {
    vexlin_string_t s;
    s.data = text;
    s.byte_length = strlen(text);
    s.ccsid = VEXLIN_CCSID_UTF8;
    return s;
}

struct handoff {
    unsigned char link[256];
    vexlin_size_t link_size;
};

/* Runs on its own thread: the in-process link ties this work to the web
 * request that was running when the link was made. */
static void* render_invoice(void* arg) {
    const struct handoff* h = (const struct handoff*)arg;
    vexlin_tracer_handle_t linked = vexlin_inprocesslinktracer_create(h->link, h->link_size);
    vexlin_string_t method = str("renderInvoice");
    vexlin_string_t service = str("InvoiceRenderer");
    vexlin_tracer_handle_t work;

    vexlin_tracer_start(linked);
    work = vexlin_customservicetracer_create_p(&method, &service);
    vexlin_tracer_start(work);
    vexlin_tracer_end(work);
    vexlin_tracer_end(linked);
    return NULL;
}

static void trace_database_request(void) {
    vexlin_string_t name = str("orders"), vendor = str("PostgreSQL"), endpoint = str("db.internal:5432");
    vexlin_string_t statement = str("SELECT id, total FROM orders WHERE customer = $1");
    vexlin_databaseinfo_handle_t db = vexlin_databaseinfo_create_p(&name, &vendor, DEMO_CHANNEL_TCP_IP, &endpoint);
    vexlin_tracer_handle_t query = vexlin_databaserequesttracer_create_sql_p(db, &statement);

    vexlin_tracer_start(query);
    vexlin_databaserequesttracer_set_returned_row_count(query, 3);
    vexlin_databaserequesttracer_set_round_trip_count(query, 1);
    vexlin_tracer_end(query);
    vexlin_databaseinfo_delete(db);
}

static void trace_remote_call(void) {
    vexlin_string_t method = str("reserveStock"), service = str("InventoryService");
    vexlin_string_t endpoint = str("inventory/v1"), channel = str("inventory.internal:7000");
    vexlin_string_t protocol = str("gRPC");
    vexlin_tracer_handle_t call =
        vexlin_outgoingremotecalltracer_create_p(&method, &service, &endpoint, DEMO_CHANNEL_TCP_IP, &channel);
    char tag[512];
    vexlin_size_t needed = 0;

    vexlin_outgoingremotecalltracer_set_protocol_name_p(call, &protocol);
    vexlin_tracer_start(call);
    /* Ask for the size first, then fetch the tag into a buffer that fits. */
    vexlin_tracer_get_outgoing_korvantix_string_tag(call, NULL, 0, &needed);
    if (needed <= sizeof tag) {
        vexlin_tracer_get_outgoing_korvantix_string_tag(call, tag, sizeof tag, &needed);
        printf("  tag sent along with the remote call: \"%s\"\n", tag);
    }
    vexlin_tracer_end(call);
}

static void record_metric(void) {
    vexlin_string_t key = str("demo.orders.processed"), unit = str("count"), dimension = str("region");
    vexlin_string_t region = str("eu-west");
    vexlin_metric_handle_t orders = vexlin_integercountermetric_create_p(&key, &unit, &dimension);

    vexlin_integercountermetric_increase_by_p(orders, 1, &region);
    vexlin_metric_delete(orders);
}

static void hand_work_to_thread(void) {
    struct handoff h;
    pthread_t worker;
    vexlin_size_t needed = 0;

    h.link_size = vexlin_inprocesslink_create(h.link, sizeof h.link, &needed);
    if (pthread_create(&worker, NULL, render_invoice, &h) == 0) pthread_join(worker, NULL);
    printf("  in-process link of %u bytes handed to a worker thread\n", (unsigned)h.link_size);
}

static void trace_web_request(void) {
    vexlin_string_t server = str("demo-server"), app = str("OrderService"), root = str("/shop");
    vexlin_string_t url = str("/shop/orders?customer=ACME"), get = str("GET"), peer = str("10.0.0.7:51234");
    vexlin_string_t header_names[3], header_values[3], param_names[1], param_values[1];
    vexlin_string_t reply_names[1], reply_values[1];
    vexlin_string_t attr_keys[2], attr_values[1];
    vexlin_int64_t item_count[1] = {3};
    vexlin_webapplicationinfo_handle_t web_app = vexlin_webapplicationinfo_create_p(&server, &app, &root);
    vexlin_tracer_handle_t request = vexlin_incomingwebrequesttracer_create_p(web_app, &url, &get);

    header_names[0] = str("Host");
    header_values[0] = str("shop.example");
    header_names[1] = str("User-Agent");
    header_values[1] = str("trace-demo/1.0");
    header_names[2] = str("Accept");
    header_values[2] = str("application/json");
    param_names[0] = str("customer");
    param_values[0] = str("ACME");
    vexlin_incomingwebrequesttracer_set_remote_address_p(request, &peer);
    vexlin_incomingwebrequesttracer_add_request_headers_p(request, header_names, header_values, 3);
    vexlin_incomingwebrequesttracer_add_parameters_p(request, param_names, param_values, 1);
    vexlin_tracer_start(request);

    attr_keys[0] = str("customer");
    attr_values[0] = str("ACME");
    vexlin_customrequestattribute_add_strings_p(attr_keys, attr_values, 1);
    attr_keys[1] = str("items");
    vexlin_customrequestattribute_add_integers_p(&attr_keys[1], item_count, 1);

    trace_database_request();
    trace_remote_call();
    hand_work_to_thread();
    record_metric();

    reply_names[0] = str("Content-Type");
    reply_values[0] = str("application/json");
    vexlin_incomingwebrequesttracer_add_response_headers_p(request, reply_names, reply_values, 1);
    vexlin_incomingwebrequesttracer_set_status_code(request, 200);
    vexlin_tracer_end(request);
    vexlin_webapplicationinfo_delete(web_app);
}

static void trace_span(void) {
    vexlin_ex_trace_id_t trace_id;
    vexlin_ex_span_id_t span_id, parent_span_id;
    vexlin_string_t operation = str("publish-invoice");
    vexlin_string_t keys[2], values[1];
    vexlin_int64_t sizes[1] = {2048};
    unsigned char flags[1] = {1};
    vexlin_tracer_handle_t span = vexlin_ex_spantracer_create(DEMO_TRACING_SYSTEM);
    int i;

    for (i = 0; i < 16; ++i) trace_id.binary_id[i] = (unsigned char)(0x10 + i);
    for (i = 0; i < 8; ++i) span_id.binary_id[i] = (unsigned char)(0xA0 + i);
    for (i = 0; i < 8; ++i) parent_span_id.binary_id[i] = (unsigned char)(0xB0 + i);
    vexlin_ex_spantracer_set_ids_p(span, &trace_id, &span_id, &parent_span_id);
    vexlin_ex_spantracer_set_operationname_p(span, &operation);
    keys[0] = str("messaging.destination");
    values[0] = str("invoices");
    vexlin_ex_spantracer_set_strings_p(span, keys, values, 1);
    keys[1] = str("messaging.message_size");
    vexlin_ex_spantracer_set_integers_p(span, &keys[1], sizes, 1);
    keys[0] = str("messaging.redelivered");
    flags[0] = 0;
    vexlin_ex_spantracer_set_bools_p(span, keys, flags, 1);
    vexlin_tracer_start(span);
    vexlin_tracer_end(span);
}

static void report(const char* what, vexlin_result_t rc) {
    vexlin_xchar_t text[256];
    printf("  %-34s 0x%08X  %s\n", what, (unsigned)rc, vexlin_stub_xstrerror(rc, text, sizeof text));
}

int main(int argc, char** argv) {
    vexlin_result_t rc_args, rc_strip, rc_init, rc_span, rc_shutdown;
    int i;

    rc_args = vexlin_stub_process_cmdline_args(argc, (const vexlin_xchar_t* const*)argv, 0);
    rc_strip = vexlin_stub_strip_sdk_cmdline_args(&argc, argv);
    for (i = 1; i < argc; ++i) printf("ignoring argument '%s' (this demo takes only --kx_ arguments)\n", argv[i]);

    rc_init = vexlin_initialize();
    rc_span = vexlin_ex_api_enable_span();
    printf("trace_demo: agent module version '%s'\n", vexlin_agent_get_version_string());

    printf("tracing an incoming web request...\n");
    trace_web_request();
    printf("tracing a span...\n");
    trace_span();

    rc_shutdown = vexlin_shutdown();

    printf("result codes:\n");
    report("vexlin_stub_process_cmdline_args", rc_args);
    report("vexlin_stub_strip_sdk_cmdline_args", rc_strip);
    report("vexlin_initialize", rc_init);
    report("vexlin_ex_api_enable_span", rc_span);
    report("vexlin_shutdown", rc_shutdown);
    if (rc_init != VEXLIN_SUCCESS)
        printf("no agent module was attached, so nothing was traced (try --kx_loglevelsdk=info)\n");
    return rc_init == VEXLIN_SUCCESS && rc_shutdown == VEXLIN_SUCCESS ? 0 : 1;
}
