/* An application in C or C++: without an agent it gets neutral answers and
 * error texts. */
#include <stdio.h>
#include <string.h>

#include <vexlin/vexlin.h>

int main(void) {
    char text[64];
    vexlin_stub_version_t version;
    vexlin_stub_get_version(&version);
    vexlin_string_t name = {"work", 4, VEXLIN_CCSID_UTF8};
    const vexlin_tracer_handle_t tracer = vexlin_customservicetracer_create_p(&name, &name);
    vexlin_tracer_start(tracer);
    vexlin_tracer_end(tracer);
    if (version.version_major != 1 || vexlin_agent_get_current_state() != 3 || tracer != 0) return 1;
    vexlin_stub_xstrerror(VEXLIN_ERROR_AGENT_NOT_ACTIVE, text, sizeof text);
    if (strcmp(text, "Agent not active.") != 0) return 1;
    printf("consumer: %s\n", text);
    return 0;
}
