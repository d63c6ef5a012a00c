/* A C application: without an agent it gets neutral answers and error texts. */
#include <stdio.h>
#include <string.h>

#include <vexlin/vexlin.h>

int main(void) {
    char text[64];
    vexlin_stub_version_t version;
    vexlin_stub_get_version(&version);
    if (version.version_major != 1 || vexlin_agent_get_current_state() != 3) return 1;
    vexlin_stub_xstrerror(VEXLIN_ERROR_AGENT_NOT_ACTIVE, text, sizeof text);
    if (strcmp(text, "Agent not active.") != 0) return 1;
    printf("c consumer: %s\n", text);
    return 0;
}
