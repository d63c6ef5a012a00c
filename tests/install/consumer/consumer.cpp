// A C++ application: the same headers, used from C++.
#include <vexlin/vexlin.h>

#include <cstdio>

int main() {
    vexlin_string_t name = {"work", 4, VEXLIN_CCSID_UTF8};
    const vexlin_tracer_handle_t tracer = vexlin_customservicetracer_create_p(&name, &name);
    vexlin_tracer_start(tracer);
    vexlin_tracer_end(tracer);
    if (tracer != 0 || vexlin_shutdown() != VEXLIN_ERROR_NOT_INITIALIZED) return 1;
    std::printf("c++ consumer: neutral tracer %llu\n", static_cast<unsigned long long>(tracer));
    return 0;
}
