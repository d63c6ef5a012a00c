/* One request of every kind, for the OTLP agent module: an incoming web
 * request (optionally continuing a W3C traceparent given as --incoming=TEXT)
 * with a database request, an outgoing web request, an outgoing remote call,
 * a message sent, work on another thread joined through an in-process link,
 * an error, custom request attributes; then a remote call served with the
 * byte tag of the outgoing one, messages received and processed, a failing
 * health check, a timed tracer, a span with the application's own ids, and
 * metrics of each type. Outgoing tags are printed as "tag <kind> <text>".
 *
 *   otlp_demo [--incoming=TRACEPARENT] [--kx_NAME=VALUE ...]
 *
 * scripts/demo otlp runs it against a local receiver and prints the trace. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "vexlin/vexlin.h"

enum { DEMO_CHANNEL_TCP_IP = 1, DEMO_TRACING_SYSTEM = 1, DEMO_TECH_TYPE = 7, DEMO_QUEUE = 1 };

/* Text may come in other encodings too; the agent converts it. */
static vexlin_string_t encoded(const void* bytes, vexlin_size_t length, vexlin_ccsid_t ccsid) {
    vexlin_string_t s;
    s.data = bytes;
    s.byte_length = length;
    s.ccsid = ccsid;
    return s;
}

static vexlin_string_t str(const char* text) { return encoded(text, strlen(text), VEXLIN_CCSID_UTF8); }

static void print_log(const char* message) { fprintf(stderr, "otlp_demo: agent: %s\n", message); }

struct handoff {
    unsigned char link[64];
    vexlin_size_t link_size;
};

static void* render_invoice(void* arg) {
    const struct handoff* h = (const struct handoff*)arg;
    vexlin_tracer_handle_t linked = vexlin_inprocesslinktracer_create(h->link, h->link_size);
    vexlin_string_t method = str("renderInvoice"), service = str("InvoiceRenderer");
    vexlin_tracer_handle_t work;

    vexlin_tracer_start(linked);
    work = vexlin_customservicetracer_create_p(&method, &service);
    vexlin_tracer_start(work);
    vexlin_tracer_end(work);
    vexlin_tracer_end(linked);
    return NULL;
}

static void query_orders(void) {
    vexlin_string_t name = str("orders"), vendor = str("PostgreSQL"), endpoint = str("db.internal:5432");
    vexlin_string_t statement = str("SELECT id, total FROM orders WHERE customer = $1");
    vexlin_databaseinfo_handle_t db = vexlin_databaseinfo_create_p(&name, &vendor, DEMO_CHANNEL_TCP_IP, &endpoint);
    vexlin_tracer_handle_t query = vexlin_databaserequesttracer_create_sql_p(db, &statement);

    vexlin_databaseinfo_delete(db); /* the tracer keeps what it needs */
    vexlin_tracer_start(query);
    vexlin_databaserequesttracer_set_returned_row_count(query, 3);
    vexlin_databaserequesttracer_set_round_trip_count(query, 1);
    vexlin_tracer_end(query);
}

static void charge_payment(void) {
    vexlin_string_t url = str("http://payments.internal:8080/charge?order=7"), post = str("POST");
    vexlin_string_t names[1], values[1];
    vexlin_tracer_handle_t call = vexlin_outgoingwebrequesttracer_create_p(&url, &post);
    char tag[128];
    vexlin_size_t needed = 0;

    names[0] = str("Content-Type");
    values[0] = str("application/json");
    vexlin_outgoingwebrequesttracer_add_request_headers_p(call, names, values, 1);
    vexlin_tracer_start(call);
    vexlin_tracer_get_outgoing_korvantix_string_tag(call, NULL, 0, &needed);
    if (needed <= sizeof tag && vexlin_tracer_get_outgoing_korvantix_string_tag(call, tag, sizeof tag, &needed) > 0)
        printf("tag web %s\n", tag);
    names[0] = str("Retry-After");
    values[0] = str("3");
    vexlin_outgoingwebrequesttracer_add_response_headers_p(call, names, values, 1);
    vexlin_outgoingwebrequesttracer_set_status_code(call, 503);
    vexlin_tracer_end(call);
}

/* Returns the byte tag handed to the remote side. */
static vexlin_size_t reserve_stock(unsigned char* tag, vexlin_size_t size) {
    vexlin_string_t method = str("reserveStock"), service = str("InventoryService");
    vexlin_string_t endpoint = str("inventory/v1"), channel = str("inventory.internal:7000"), grpc = str("gRPC");
    vexlin_tracer_handle_t call =
        vexlin_outgoingremotecalltracer_create_p(&method, &service, &endpoint, DEMO_CHANNEL_TCP_IP, &channel);
    vexlin_size_t needed = 0, written;

    vexlin_outgoingremotecalltracer_set_protocol_name_p(call, &grpc);
    vexlin_tracer_start(call);
    written = vexlin_tracer_get_outgoing_korvantix_byte_tag(call, tag, size, &needed);
    vexlin_tracer_end(call);
    return written;
}

static vexlin_messagingsysteminfo_handle_t invoice_queue(void) {
    vexlin_string_t vendor = str("Kafka"), destination = str("invoices"), endpoint = str("kafka.internal:9092");
    return vexlin_messagingsysteminfo_create_p(&vendor, &destination, DEMO_QUEUE, DEMO_CHANNEL_TCP_IP, &endpoint);
}

static void publish_invoice(void) {
    vexlin_messagingsysteminfo_handle_t queue = invoice_queue();
    vexlin_tracer_handle_t send = vexlin_outgoingmessagetracer_create(queue);
    vexlin_string_t id = str("msg-1"), correlation = str("order-7");

    vexlin_tracer_start(send);
    vexlin_outgoingmessagetracer_set_vendor_message_id_p(send, &id);
    vexlin_outgoingmessagetracer_set_correlation_id_p(send, &correlation);
    vexlin_tracer_end(send);
    vexlin_messagingsysteminfo_delete(queue);
}

static void validate_coupon(void) {
    vexlin_string_t method = str("validateCoupon"), service = str("Coupons");
    vexlin_string_t error_class = str("CouponExpired"),
                    message = encoded("coupon \xABSPRING\xBB expired", 23, VEXLIN_CCSID_ISO8859_1);
    vexlin_tracer_handle_t check = vexlin_customservicetracer_create_p(&method, &service);

    vexlin_tracer_start(check);
    vexlin_tracer_error_p(check, &error_class, &message);
    vexlin_tracer_end(check);
}

static vexlin_size_t handle_checkout(const char* incoming, unsigned char* stock_tag, vexlin_size_t stock_tag_size) {
    vexlin_string_t server = str("demo-server"), app = str("Shop"), root = str("/shop");
    vexlin_string_t url = str("/shop/orders?customer=ACME"), get = str("GET"), peer = str("10.0.0.7:51234");
    vexlin_string_t names[3], values[3], keys[1], text[1], tag;
    vexlin_int64_t items[1] = {3};
    double total[1] = {42.5};
    vexlin_webapplicationinfo_handle_t web_app = vexlin_webapplicationinfo_create_p(&server, &app, &root);
    vexlin_tracer_handle_t request = vexlin_incomingwebrequesttracer_create_p(web_app, &url, &get);
    struct handoff h;
    pthread_t worker;
    vexlin_size_t needed = 0, stock_tag_length;

    names[0] = str("Host");
    values[0] = str("shop.example:8443");
    names[1] = str("User-Agent");
    values[1] = str("otlp-demo/1.0");
    names[2] = str("Accept");
    values[2] = str("application/json");
    vexlin_incomingwebrequesttracer_set_remote_address_p(request, &peer);
    vexlin_incomingwebrequesttracer_add_request_headers_p(request, names, values, 3);
    if (incoming != NULL) {
        tag = str(incoming);
        vexlin_tracer_set_incoming_korvantix_string_tag_p(request, &tag);
    }
    vexlin_tracer_start(request);

    static const unsigned char customer[] = {'M', 0,   0xFC, 0,    'l',  0,    'l',  0, 'e',
                                             0,   'r', 0,    0x3D, 0xD8, 0x00, 0xDE, 0};
    keys[0] = str("customer");
    text[0] = encoded(customer, sizeof customer - 1, VEXLIN_CCSID_UTF16_LE); /* "Müller😀" */
    vexlin_customrequestattribute_add_strings_p(keys, text, 1);
    keys[0] = str("items");
    vexlin_customrequestattribute_add_integers_p(keys, items, 1);
    keys[0] = str("total");
    vexlin_customrequestattribute_add_floats_p(keys, total, 1);

    query_orders();
    charge_payment();
    stock_tag_length = reserve_stock(stock_tag, stock_tag_size);
    publish_invoice();
    h.link_size = vexlin_inprocesslink_create(h.link, sizeof h.link, &needed);
    if (pthread_create(&worker, NULL, render_invoice, &h) == 0) pthread_join(worker, NULL);
    validate_coupon();

    names[0] = str("Content-Type");
    values[0] = str("application/json");
    vexlin_incomingwebrequesttracer_add_response_headers_p(request, names, values, 1);
    vexlin_incomingwebrequesttracer_set_status_code(request, 200);
    vexlin_tracer_end(request);
    vexlin_webapplicationinfo_delete(web_app);
    return stock_tag_length;
}

/* The inventory side of reserve_stock, continuing its byte tag. */
static void serve_stock(const unsigned char* tag, vexlin_size_t size) {
    vexlin_string_t method = str("reserveStock"), service = str("InventoryService"), endpoint = str("inventory/v1");
    vexlin_string_t grpc = str("gRPC");
    vexlin_tracer_handle_t served = vexlin_incomingremotecalltracer_create_p(&method, &service, &endpoint);

    vexlin_incomingremotecalltracer_set_protocol_name_p(served, &grpc);
    vexlin_tracer_set_incoming_korvantix_byte_tag(served, tag, size);
    vexlin_tracer_start(served);
    vexlin_tracer_end(served);
}

static void consume_invoice(void) {
    vexlin_messagingsysteminfo_handle_t queue = invoice_queue();
    vexlin_tracer_handle_t receive = vexlin_incomingmessagereceivetracer_create(queue);
    vexlin_tracer_handle_t process;
    vexlin_string_t id = str("msg-1");

    vexlin_tracer_start(receive);
    process = vexlin_incomingmessageprocesstracer_create(queue);
    vexlin_incomingmessageprocesstracer_set_vendor_message_id_p(process, &id);
    vexlin_tracer_start(process);
    vexlin_tracer_end(process);
    vexlin_tracer_end(receive);
    vexlin_messagingsysteminfo_delete(queue);
}

static void failing_health_check(void) {
    vexlin_string_t server = str("demo-server"), app = str("Shop"), root = str("/");
    vexlin_string_t url = str("https://shop.example/health"), get = str("GET");
    vexlin_webapplicationinfo_handle_t web_app = vexlin_webapplicationinfo_create_p(&server, &app, &root);
    vexlin_tracer_handle_t request = vexlin_incomingwebrequesttracer_create_p(web_app, &url, &get);

    vexlin_tracer_start(request);
    vexlin_incomingwebrequesttracer_set_status_code(request, 503);
    vexlin_tracer_end(request);
    vexlin_webapplicationinfo_delete(web_app);
}

/* A report that ran earlier, recorded with its own times (microseconds). */
static void timed_report(void) {
    vexlin_string_t method = str("nightly"), service = str("Reports");
    vexlin_tracer_handle_t report = vexlin_customservicetracer_create_p(&method, &service);

    vexlin_ex_tracer_start_2(report, 0, 1700000000000000);
    vexlin_ex_tracer_end_timed(report, 1700000000250000);
}

static void own_span(void) {
    vexlin_ex_trace_id_t trace_id;
    vexlin_ex_span_id_t span_id, parent_span_id;
    vexlin_string_t operation = str("publish-invoice");
    vexlin_string_t keys[1], values[1];
    vexlin_int64_t sizes[1] = {2048};
    unsigned char flags[1] = {1};
    vexlin_tracer_handle_t span = vexlin_ex_spantracer_create(DEMO_TRACING_SYSTEM);
    int i;

    for (i = 0; i < 16; ++i) trace_id.binary_id[i] = (unsigned char)(0x10 + i);
    for (i = 0; i < 8; ++i) span_id.binary_id[i] = (unsigned char)(0xA0 + i);
    for (i = 0; i < 8; ++i) parent_span_id.binary_id[i] = (unsigned char)(0xB0 + i);
    vexlin_ex_spantracer_set_ids_p(span, &trace_id, &span_id, &parent_span_id);
    vexlin_ex_spantracer_set_operationname_p(span, &operation);
    keys[0] = str("destination");
    values[0] = str("invoices");
    vexlin_ex_spantracer_set_strings_p(span, keys, values, 1);
    keys[0] = str("size");
    vexlin_ex_spantracer_set_integers_p(span, keys, sizes, 1);
    keys[0] = str("redelivered");
    vexlin_ex_spantracer_set_bools_p(span, keys, flags, 1);
    vexlin_tracer_start(span);
    vexlin_tracer_end(span);
}

static void record_metrics(void) {
    vexlin_string_t orders = str("demo.orders"), count = str("1"), region = str("region");
    vexlin_string_t eu = str("eu-west"), us = str("us-east");
    vexlin_string_t fill = str("demo.queue.fill"), ratio = str("1"), latency = str("demo.latency"), ms = str("ms");
    vexlin_metric_handle_t counter = vexlin_integercountermetric_create_p(&orders, &count, &region);
    vexlin_metric_handle_t gauge = vexlin_floatgaugemetric_create_p(&fill, &ratio, NULL);
    vexlin_metric_handle_t stats = vexlin_integerstatisticsmetric_create_p(&latency, &ms, NULL);

    vexlin_integercountermetric_increase_by_p(counter, 2, &eu);
    vexlin_integercountermetric_increase_by_p(counter, 1, &eu);
    vexlin_integercountermetric_increase_by_p(counter, 5, &us);
    vexlin_floatgaugemetric_set_value_p(gauge, 0.5, NULL);
    vexlin_floatgaugemetric_set_value_p(gauge, 0.75, NULL);
    vexlin_integerstatisticsmetric_add_value_p(stats, 10, NULL);
    vexlin_integerstatisticsmetric_add_value_p(stats, 30, NULL);
    vexlin_integerstatisticsmetric_add_value_p(stats, 20, NULL);
    vexlin_metric_delete(counter);
    vexlin_metric_delete(gauge);
    vexlin_metric_delete(stats);
}

int main(int argc, char** argv) {
    const char* incoming = NULL;
    unsigned char stock_tag[128];
    vexlin_size_t stock_tag_size;
    vexlin_string_t edition = str("demo-runtime"), version = str("1.2");
    vexlin_result_t rc;
    int i;

    vexlin_stub_process_cmdline_args(argc, (const vexlin_xchar_t* const*)argv, 0);
    vexlin_stub_strip_sdk_cmdline_args(&argc, argv);
    for (i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--incoming=", 11) == 0)
            incoming = argv[i] + 11;
        else
            fprintf(stderr, "otlp_demo: ignoring argument '%s'\n", argv[i]);
    }

    rc = vexlin_initialize();
    if (rc != VEXLIN_SUCCESS) {
        fprintf(stderr, "otlp_demo: no agent module attached (0x%08X); try --kx_loglevelsdk=info\n", (unsigned)rc);
        return 1;
    }
    vexlin_agent_set_logging_callback(print_log);
    vexlin_ex_api_enable_span();
    vexlin_ex_api_enable_techtype();
    vexlin_ex_api_enable_tracer_ext();
    vexlin_ex_api_enable_serverless();
    vexlin_ex_agent_add_process_technology_p(DEMO_TECH_TYPE, &edition, &version);

    stock_tag_size = handle_checkout(incoming, stock_tag, sizeof stock_tag);
    serve_stock(stock_tag, stock_tag_size);
    consume_invoice();
    failing_health_check();
    timed_report();
    own_span();
    record_metrics();

    vexlin_ex_agent_force_send_data_now();
    rc = vexlin_shutdown();
    return rc == VEXLIN_SUCCESS ? 0 : 1;
}
