/* The smallest program using the library: without an agent every call gives
 * its neutral answer, and any result code has a text. */
#include <stdio.h>

#include "vexlin/vexlin.h"

int main(void) {
    vexlin_xchar_t text[128];
    vexlin_stub_version_t version;
    vexlin_result_t rc;

    vexlin_stub_get_version(&version);
    printf("vexlin %u.%u.%u\n", (unsigned)version.version_major, (unsigned)version.version_minor,
           (unsigned)version.version_patch);

    rc = vexlin_initialize();
    printf("vexlin_initialize: 0x%08X %s\n", (unsigned)rc, vexlin_stub_xstrerror(rc, text, sizeof text));
    printf("agent state: %d, fork state: %d\n", (int)vexlin_agent_get_current_state(),
           (int)vexlin_agent_get_fork_state());
    printf("tracer handle: %llu\n", (unsigned long long)vexlin_customservicetracer_create_p(NULL, NULL));
    rc = vexlin_shutdown();
    printf("vexlin_shutdown: 0x%08X %s\n", (unsigned)rc, vexlin_stub_xstrerror(rc, text, sizeof text));
    return 0;
}
