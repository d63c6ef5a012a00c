// Forwarding, neutral answers, the lifecycle and the user-variable store,
// measured through the shared library beside baselines from the same run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "reference.h"
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/vexlin.h"

namespace {

vexlin_abi_agent_t* g_agent = nullptr;
const vexlin_abi_agent_functions_5_t* g_functions = nullptr;
void* g_agent_module = nullptr;

const vexlin_string_t kMethod = {"call", 4, VEXLIN_CCSID_UTF8};
const vexlin_string_t kService = {"service", 7, VEXLIN_CCSID_UTF8};
const vexlin_string_t kEndpoint = {"endpoint", 8, VEXLIN_CCSID_UTF8};
const vexlin_string_t kChannel = {"localhost:1", 11, VEXLIN_CCSID_UTF8};

void fail(const char* what) {
    fprintf(stderr, "benchmark setup failed: %s\n", what);
    exit(1);
}

// Attaches the quiet test agent through the library, and takes a second agent
// from the same module for the direct and reference baselines.
void attach() {
    if (g_functions != nullptr) {
        return;
    }
    vexlin_stub_set_variable("agentlibrary=" VEXLIN_BENCH_AGENT_PATH, 1);
    if (vexlin_initialize() != VEXLIN_SUCCESS) fail("vexlin_initialize");
    if (vexlin_ex_api_enable_span() != VEXLIN_SUCCESS) fail("enable span");
    g_agent_module = dlopen(VEXLIN_BENCH_AGENT_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (g_agent_module == nullptr) fail("agent module not loaded");
    auto* get_library =
        reinterpret_cast<sdkagent_abi_get_library_function_t*>(dlsym(g_agent_module, VEXLIN_ABI_GET_LIBRARY_SYMBOL));
    const void* table = nullptr;
    char message[VEXLIN_ABI_MESSAGE_BUFFER_LENGTH];
    if (get_library(VEXLIN_ABI_INTERFACE_LIBRARY_5, VEXLIN_ABI_LEVEL_LIBRARY_5, &table, message, sizeof message) != 0)
        fail("library table");
    vexlin_abi_stub_version_t version = {};
    if (static_cast<const vexlin_abi_library_functions_5_t*>(table)->vexlin_abi_get_agent_5(
            &version, &g_agent, &g_functions, message, sizeof message) != 0)
        fail("agent");
    reference_attach(g_agent, g_functions);
}

void detach() {
    if (g_functions == nullptr) {
        return;
    }
    reference_attach(nullptr, nullptr);
    g_functions = nullptr;
    g_agent = nullptr;
    dlclose(g_agent_module);
    g_agent_module = nullptr;
    vexlin_shutdown();
}

void BM_TracerStart_Forwarded(benchmark::State& state) {
    attach();
    vexlin_tracer_handle_t handle = 42;
    for (auto _ : state) {
        benchmark::DoNotOptimize(handle);
        vexlin_tracer_start(handle);
    }
}
BENCHMARK(BM_TracerStart_Forwarded);

void BM_TracerStart_Direct(benchmark::State& state) {
    attach();
    vexlin_tracer_handle_t handle = 42;
    for (auto _ : state) {
        const vexlin_abi_agent_functions_5_t* table = g_functions;
        benchmark::DoNotOptimize(table);
        benchmark::DoNotOptimize(handle);
        table->vexlin_abi_tracer_start(g_agent, handle);
    }
}
BENCHMARK(BM_TracerStart_Direct);

void BM_TracerStart_Reference(benchmark::State& state) {
    attach();
    vexlin_tracer_handle_t handle = 42;
    for (auto _ : state) {
        benchmark::DoNotOptimize(handle);
        reference_tracer_start(handle);
    }
}
BENCHMARK(BM_TracerStart_Reference);

void BM_RemoteCallCreate_Forwarded(benchmark::State& state) {
    attach();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            vexlin_outgoingremotecalltracer_create_p(&kMethod, &kService, &kEndpoint, 1, &kChannel));
    }
}
BENCHMARK(BM_RemoteCallCreate_Forwarded);

void BM_RemoteCallCreate_Direct(benchmark::State& state) {
    attach();
    for (auto _ : state) {
        const vexlin_abi_agent_functions_5_t* table = g_functions;
        benchmark::DoNotOptimize(table);
        benchmark::DoNotOptimize(table->vexlin_abi_outgoingremotecalltracer_create_p(g_agent, &kMethod, &kService,
                                                                                     &kEndpoint, 1, &kChannel));
    }
}
BENCHMARK(BM_RemoteCallCreate_Direct);

void BM_RemoteCallCreate_Reference(benchmark::State& state) {
    attach();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            reference_outgoingremotecalltracer_create_p(&kMethod, &kService, &kEndpoint, 1, &kChannel));
    }
}
BENCHMARK(BM_RemoteCallCreate_Reference);

void BM_SpanCreate_Forwarded(benchmark::State& state) {
    attach();
    vexlin_int32_t type = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(type);
        benchmark::DoNotOptimize(vexlin_ex_spantracer_create(type));
    }
}
BENCHMARK(BM_SpanCreate_Forwarded);

void BM_TracerStart_Neutral(benchmark::State& state) {
    detach();
    vexlin_tracer_handle_t handle = 42;
    for (auto _ : state) {
        benchmark::DoNotOptimize(handle);
        vexlin_tracer_start(handle);
    }
}
BENCHMARK(BM_TracerStart_Neutral);

void BM_SpanCreate_Neutral(benchmark::State& state) {
    detach();
    vexlin_int32_t type = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(type);
        benchmark::DoNotOptimize(vexlin_ex_spantracer_create(type));
    }
}
BENCHMARK(BM_SpanCreate_Neutral);

void BM_EmptyFunction(benchmark::State& state) {
    for (auto _ : state) {
        reference_empty();
    }
}
BENCHMARK(BM_EmptyFunction);

void BM_InitializeShutdown_Cycle(benchmark::State& state) {
    detach();
    vexlin_stub_set_variable("agentlibrary=" VEXLIN_BENCH_AGENT_PATH, 1);
    for (auto _ : state) {
        if (vexlin_initialize() != VEXLIN_SUCCESS) fail("vexlin_initialize in the cycle");
        vexlin_shutdown();
    }
}
BENCHMARK(BM_InitializeShutdown_Cycle);

// What a cycle cannot avoid: asking the loader for the process-provided
// module, then opening, searching and closing the module file.
void BM_InitializeShutdown_LoaderWork(benchmark::State& state) {
    detach();
    for (auto _ : state) {
        void* process_module = dlopen(VEXLIN_ABI_PROCESS_MODULE_NAME, RTLD_NOW);
        if (process_module != nullptr) fail("a process-provided module is present");
        (void)dlerror();
        void* module = dlopen(VEXLIN_BENCH_AGENT_PATH, RTLD_NOW);
        if (module == nullptr) fail("dlopen");
        benchmark::DoNotOptimize(dlsym(module, VEXLIN_ABI_INITIALIZE_SYMBOL));
        benchmark::DoNotOptimize(dlsym(module, VEXLIN_ABI_GET_LIBRARY_SYMBOL));
        benchmark::DoNotOptimize(dlsym(module, VEXLIN_ABI_SHUTDOWN_SYMBOL));
        dlclose(module);
    }
}
BENCHMARK(BM_InitializeShutdown_LoaderWork);

// The store is scanned linearly; replacing the last entry scans it all.
void BM_SetVariable_Replace(benchmark::State& state) {
    vexlin_stub_free_variables();
    const int entries = static_cast<int>(state.range(0));
    for (int i = 0; i < entries; ++i) {
        vexlin_stub_set_variable(("variable_" + std::to_string(i) + "=value").c_str(), 0);
    }
    const std::string last = "variable_" + std::to_string(entries - 1) + "=replaced";
    for (auto _ : state) {
        benchmark::DoNotOptimize(vexlin_stub_set_variable(last.c_str(), 1));
    }
    vexlin_stub_free_variables();
}
BENCHMARK(BM_SetVariable_Replace)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
