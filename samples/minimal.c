/* The smallest real integration: configure from the command line, start,
 * trace one piece of work, stop. README.md shows this file. */
#include <stdio.h>
#include <string.h>

#include "vexlin/vexlin.h"

int main(int argc, char** argv) {
    vexlin_string_t method = {"handleJob", 9, VEXLIN_CCSID_UTF8};
    vexlin_string_t service = {"JobRunner", 9, VEXLIN_CCSID_UTF8};
    vexlin_tracer_handle_t tracer;
    vexlin_xchar_t text[128];
    vexlin_result_t rc;

    /* --kx_NAME=VALUE arguments configure the library; then they are removed. */
    vexlin_stub_process_cmdline_args(argc, (const vexlin_xchar_t* const*)argv, 0);
    vexlin_stub_strip_sdk_cmdline_args(&argc, argv);

    rc = vexlin_initialize();
    if (rc != VEXLIN_SUCCESS) {
        /* Not fatal: every call below still works and does nothing. */
        fprintf(stderr, "not monitored: %s\n", vexlin_stub_xstrerror(rc, text, sizeof text));
    }

    tracer = vexlin_customservicetracer_create_p(&method, &service);
    vexlin_tracer_start(tracer);
    /* ... the application's own work ... */
    vexlin_tracer_end(tracer);

    if (rc == VEXLIN_SUCCESS) {
        vexlin_shutdown();
    }
    return 0;
}
