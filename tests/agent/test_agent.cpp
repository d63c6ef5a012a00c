// A stand-in agent module, written only against the module contract: the
// three entry points, the library tables, the agent table and the extension
// tables. Every call is recorded and every slot answers a value that tells
// which slot it was; testagent_* user variables steer its failures
// (test_agent_control.h). TEST_AGENT_VARIANT names the build.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <chrono>
#include <thread>
#include <type_traits>

#include "test_agent_control.h"
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

// The agent object: its layout is the module's business.
struct vexlin_abi_agent_t {
    unsigned magic;
};

namespace {

constexpr size_t kTextLength = 512, kMaxListed = 16;

struct failure {
    bool active;
    vexlin_result_t code;
    char message[kTextLength];
};
struct interfaces {
    uint32_t ids[kMaxListed];
    size_t count;
};

// What the testagent_* variables asked for; set anew by every initialize.
struct settings {
    failure init_fail, get_agent_fail, refuse_result;
    interfaces refused, null_tables;
    bool null_agent_functions, null_get_agent, table_before_agent, unterminated, junk_on_refuse, block_init;
    char version[kTextLength], version_1560001[kTextLength], version_1330002[kTextLength];
};

settings s_settings;
bool s_started = false;
vexlin_abi_agent_t s_agent = {0x7e57a9e7u};

test_agent_event_t new_event(test_agent_event_kind_t kind, uint32_t interface_id = 0) {
    test_agent_event_t event;
    memset(&event, 0, sizeof(event));
    event.kind = kind;
    strncpy(event.variant, TEST_AGENT_VARIANT, sizeof(event.variant) - 1);
    event.interface_id = interface_id;
    event.slot = -1;
    return event;
}

template <typename T>
void put_value(test_agent_event_t& event, T value) {
    const size_t i = event.value_count++;
    if (i >= TEST_AGENT_MAX_VALUES) return;
    if constexpr (std::is_floating_point<T>::value) {
        event.reals[i] = static_cast<double>(value);
    } else if constexpr (std::is_pointer<T>::value) {
        event.values[i] = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value));
    } else if constexpr (std::is_signed<T>::value) {
        event.values[i] = static_cast<uint64_t>(static_cast<int64_t>(value));
    } else {
        event.values[i] = static_cast<uint64_t>(value);
    }
}

// One slot of a table: records the call and answers base + slot. The
// signature comes from the table field's type, so it cannot drift from the
// contract. Built quiet (benchmarks), it records and counts nothing.
template <test_agent_event_kind_t Kind, uint32_t Interface, int64_t Base, int32_t Slot, typename Field>
struct slot_function;

template <test_agent_event_kind_t Kind, uint32_t Interface, int64_t Base, int32_t Slot, typename R, typename... A>
struct slot_function<Kind, Interface, Base, Slot, R (*)(vexlin_abi_agent_t*, A...)> {
    static R call(vexlin_abi_agent_t* agent, A... args) {
#ifndef TEST_AGENT_QUIET
        if (test_agent_record_slot_call(agent == &s_agent)) {
            test_agent_event_t event = new_event(Kind, Interface);
            event.slot = Slot;
            event.agent = agent;
            (put_value(event, args), ...);
            event.result = std::is_void<R>::value ? 0 : Base + Slot;
            test_agent_record_event(&event);
        }
        // Releasing the agent, ask the library for its state: a library that
        // still forwarded now would hand the call back to this module.
        if constexpr (Kind == TEST_AGENT_EVENT_AGENT_SLOT && Slot == 1) {
            using state_function = vexlin_int32_t (*)(void);
            auto state = reinterpret_cast<state_function>(dlsym(RTLD_DEFAULT, "vexlin_agent_get_current_state"));
            if (state != nullptr) state();
        }
#else
        (void)agent;
        ((void)args, ...);
#endif
        if constexpr (!std::is_void<R>::value) return static_cast<R>(Base + Slot);
    }
};

#define TEST_AGENT_SLOT_FN(slot, name)                                                \
    slot_function<TEST_AGENT_EVENT_AGENT_SLOT, 0, TEST_AGENT_AGENT_RESULT_BASE, slot, \
                  decltype(vexlin_abi_agent_functions_5_t::vexlin_abi_##name)>::call,
#define VEXLIN_AGENT_SLOT0(slot, revision, name, result) TEST_AGENT_SLOT_FN(slot, name)
#define VEXLIN_AGENT_SLOT(slot, revision, name, result, params) TEST_AGENT_SLOT_FN(slot, name)
#define VEXLIN_AGENT_CALL0(slot, revision, name, result, neutral) TEST_AGENT_SLOT_FN(slot, name)
#define VEXLIN_AGENT_CALL(slot, revision, name, result, params, args, neutral) TEST_AGENT_SLOT_FN(slot, name)
const vexlin_abi_agent_functions_5_t s_agent_functions = {
#include "vexlin/internal/x-agent_funcs.h"
};
#undef VEXLIN_AGENT_SLOT0
#undef VEXLIN_AGENT_SLOT
#undef VEXLIN_AGENT_CALL0
#undef VEXLIN_AGENT_CALL
static_assert(sizeof(s_agent_functions) == VEXLIN_ABI_AGENT_FUNCTIONS_5_SLOTS * sizeof(void (*)(void)),
              "the agent table has one pointer per slot");

// Each extension table in a namespace of its own, so that the slot macros
// find the table's type, interface and answer base by name.
#define TEST_AGENT_EX_TABLE(group, list, table, id, base_value)                                                      \
    namespace group {                                                                                                \
    using table_type = table;                                                                                        \
    constexpr uint32_t interface_id = id;                                                                            \
    constexpr int64_t base = base_value;                                                                             \
    const table_type functions = {list(TEST_AGENT_EX_FN, TEST_AGENT_EX_FN0)};                                        \
    static_assert(sizeof(table_type) == (0 list(TEST_AGENT_EX_COUNT, TEST_AGENT_EX_COUNT)) * sizeof(void (*)(void)), \
                  #table " has one pointer per slot");                                                               \
    }
#define TEST_AGENT_EX_FN(slot, field, ...) \
    slot_function<TEST_AGENT_EVENT_EX_SLOT, interface_id, base, slot, decltype(table_type::vexlin_abi_##field)>::call,
#define TEST_AGENT_EX_FN0(slot, field, ...) TEST_AGENT_EX_FN(slot, field)
#define TEST_AGENT_EX_COUNT(...) +1
TEST_AGENT_EX_TABLE(metrics, VEXLIN_EX_METRICS_FUNCS, vexlin_abi_library_functions_ex_metrics_t,
                    VEXLIN_ABI_INTERFACE_EX_METRICS, TEST_AGENT_METRICS_RESULT_BASE)
TEST_AGENT_EX_TABLE(span, VEXLIN_EX_SPAN_FUNCS, vexlin_abi_library_functions_ex_span_t, VEXLIN_ABI_INTERFACE_EX_SPAN,
                    TEST_AGENT_SPAN_RESULT_BASE)
TEST_AGENT_EX_TABLE(techtype, VEXLIN_EX_TECHTYPE_FUNCS, vexlin_abi_library_functions_ex_techtype_t,
                    VEXLIN_ABI_INTERFACE_EX_TECHTYPE, TEST_AGENT_TECHTYPE_RESULT_BASE)
TEST_AGENT_EX_TABLE(tracer_ext, VEXLIN_EX_TRACER_EXT_FUNCS, vexlin_abi_library_functions_ex_tracer_ext_t,
                    VEXLIN_ABI_INTERFACE_EX_TRACER_EXT, TEST_AGENT_TRACER_EXT_RESULT_BASE)
TEST_AGENT_EX_TABLE(serverless, VEXLIN_EX_SERVERLESS_FUNCS, vexlin_abi_library_functions_ex_serverless_t,
                    VEXLIN_ABI_INTERFACE_EX_SERVERLESS, TEST_AGENT_SERVERLESS_RESULT_BASE)

// ---- Library tables ---------------------------------------------------------

template <uint32_t Interface, char (settings::*Text)[kTextLength]>
const vexlin_xchar_t* version_string() {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_GET_VERSION_STRING, Interface);
    test_agent_record_event(&event);
    return s_settings.*Text;
}

vexlin_result_t fail(const failure& f, vexlin_xchar_t* buffer, vexlin_size_t length) {
    if (buffer != nullptr && length != 0 && s_settings.unterminated) {
        memset(buffer, 'x', length);
    } else if (buffer != nullptr && length != 0 && f.message[0] != '\0') {
        snprintf(buffer, length, "%s", f.message);
    }
    return f.code;
}

template <typename T>
void junk(T** out) {
    if (s_settings.junk_on_refuse) *out = static_cast<T*>(const_cast<void*>(TEST_AGENT_JUNK_POINTER));
}

vexlin_result_t get_agent_5(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                            const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message_buffer,
                            vexlin_size_t message_buffer_length) {
    test_agent_control_t* record = test_agent_control();
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_GET_AGENT);
    put_value(event, stub_version);
    put_value(event, agent_out);
    put_value(event, functions_out);
    put_value(event, message_buffer_length);
    static_assert(sizeof(*stub_version) <= sizeof record->stub_version, "the record holds the stub version");
    memcpy(record->stub_version, stub_version, sizeof(*stub_version));
    event.result = VEXLIN_SUCCESS;
    if (!s_started) {
        event.result = VEXLIN_ERROR_NOT_INITIALIZED;
    } else if (s_settings.get_agent_fail.active) {
        event.result = fail(s_settings.get_agent_fail, message_buffer, message_buffer_length);
        junk(agent_out);
        junk(functions_out);
    } else {
        // Table first, then the agent after a slot call or 200 ms, if asked to.
        const size_t seen = __atomic_load_n(&record->slot_calls, __ATOMIC_ACQUIRE);
        if (!s_settings.null_agent_functions) *functions_out = &s_agent_functions;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (s_settings.table_before_agent && __atomic_load_n(&record->slot_calls, __ATOMIC_ACQUIRE) == seen &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        *agent_out = &s_agent;
        record->agent = &s_agent;
        record->agent_functions = *functions_out;
    }
    test_agent_record_event(&event);
    return static_cast<vexlin_result_t>(event.result);
}

const vexlin_abi_library_functions_5_t s_library = {version_string<VEXLIN_ABI_INTERFACE_LIBRARY_5, &settings::version>,
                                                    get_agent_5};
const vexlin_abi_library_functions_5_t s_library_without_get_agent = {
    version_string<VEXLIN_ABI_INTERFACE_LIBRARY_5, &settings::version>, nullptr};
const vexlin_abi_library_functions_versiononly_t s_versiononly = {
    version_string<VEXLIN_ABI_INTERFACE_VERSIONONLY, &settings::version_1560001>};
const vexlin_abi_library_functions_versiononly_t s_versiononly_legacy = {
    version_string<VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY, &settings::version_1330002>};

// ---- Settings ---------------------------------------------------------------

void set_text(char* target, const char* value) { snprintf(target, kTextLength, "%s", value); }

void apply_setting(const char* argument) {
    const char* equals = strchr(argument, '=');
    if (equals == nullptr) return;
    const char* value = equals + 1;
    const auto named = [&](const char* name) {
        return strlen(name) == static_cast<size_t>(equals - argument) && strncasecmp(argument, name, strlen(name)) == 0;
    };
    const bool set = strcmp(value, "1") == 0 || strcasecmp(value, "true") == 0;
    // CODE[:message], CODE in any base strtoul reads.
    for (auto f : {std::make_pair("testagent_init_fail", &settings::init_fail),
                   std::make_pair("testagent_get_agent_fail", &settings::get_agent_fail),
                   std::make_pair("testagent_refuse_result", &settings::refuse_result)}) {
        if (!named(f.first)) continue;
        failure& target = s_settings.*f.second;
        char* end = nullptr;
        target.active = true;
        target.code = static_cast<vexlin_result_t>(strtoul(value, &end, 0));
        set_text(target.message, end != nullptr && *end == ':' ? end + 1 : "");
    }
    // IFACE[,IFACE...]
    for (auto l : {std::make_pair("testagent_refuse", &settings::refused),
                   std::make_pair("testagent_null_table", &settings::null_tables)}) {
        interfaces& list = s_settings.*l.second;
        for (const char* p = value; named(l.first) && *p != '\0' && list.count < kMaxListed;) {
            char* end = nullptr;
            list.ids[list.count++] = static_cast<uint32_t>(strtoul(p, &end, 10));
            p = end != p && *end == ',' ? end + 1 : "";
        }
    }
    for (auto b : {std::make_pair("testagent_null_agent_functions", &settings::null_agent_functions),
                   std::make_pair("testagent_null_get_agent", &settings::null_get_agent),
                   std::make_pair("testagent_table_before_agent", &settings::table_before_agent),
                   std::make_pair("testagent_unterminated", &settings::unterminated),
                   std::make_pair("testagent_junk_on_refuse", &settings::junk_on_refuse),
                   std::make_pair("testagent_block_init", &settings::block_init)})
        if (named(b.first)) s_settings.*b.second = set;
    // The version-only tables report the module's version unless told otherwise.
    if (named("testagent_version")) {
        set_text(s_settings.version, value);
        set_text(s_settings.version_1560001, value);
        set_text(s_settings.version_1330002, value);
    }
    if (named("testagent_version_1560001")) set_text(s_settings.version_1560001, value);
    if (named("testagent_version_1330002")) set_text(s_settings.version_1330002, value);
}

bool is_listed(uint32_t interface_id, const uint32_t* list, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (list[i] == interface_id) return true;
    return false;
}

// The table of an interface at a level, or the reason there is none.
vexlin_result_t find_table(uint32_t interface_id, uint32_t level, const void** table) {
    const struct {
        uint32_t id, level;
        const void* table;
    } tables[] = {
        {VEXLIN_ABI_INTERFACE_LIBRARY_5, VEXLIN_ABI_LEVEL_LIBRARY_5,
         s_settings.null_get_agent ? &s_library_without_get_agent : &s_library},
        {VEXLIN_ABI_INTERFACE_VERSIONONLY, VEXLIN_ABI_LEVEL_VERSIONONLY, &s_versiononly},
        {VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY, VEXLIN_ABI_LEVEL_VERSIONONLY, &s_versiononly_legacy},
        {metrics::interface_id, VEXLIN_ABI_LEVEL_EX, &metrics::functions},
        {span::interface_id, VEXLIN_ABI_LEVEL_EX, &span::functions},
        {techtype::interface_id, VEXLIN_ABI_LEVEL_EX, &techtype::functions},
        {tracer_ext::interface_id, VEXLIN_ABI_LEVEL_EX, &tracer_ext::functions},
        {serverless::interface_id, VEXLIN_ABI_LEVEL_EX, &serverless::functions},
    };
    for (const auto& t : tables) {
        if (t.id != interface_id) continue;
        if (t.level != level) return VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
        *table = is_listed(interface_id, s_settings.null_tables.ids, s_settings.null_tables.count) ? nullptr : t.table;
        return VEXLIN_SUCCESS;
    }
    return VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
}

bool is_empty(const vexlin_xchar_t* buffer, vexlin_size_t length) {
    return buffer == nullptr || length == 0 || buffer[0] == '\0';
}

}  // namespace

// ---- Entry points -----------------------------------------------------------
// A variant lacking an entry point still compiles it, but hidden: the
// dynamic loader cannot find a hidden symbol.

extern "C" {

#ifdef TEST_AGENT_WITHOUT_INITIALIZE
__attribute__((visibility("hidden")))
#else
__attribute__((visibility("default")))
#endif
sdkagent_abi_initialize_function_t sdkagent_abi_initialize;
vexlin_result_t sdkagent_abi_initialize(vexlin_size_t argument_count, const vexlin_xchar_t* const* arguments,
                                        vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length) {
    test_agent_control_t* record = test_agent_control();
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_INITIALIZE);
    put_value(event, argument_count);
    put_value(event, arguments);
    put_value(event, message_buffer_length);
    put_value(event, is_empty(message_buffer, message_buffer_length) ? 1 : 0);
    memset(&s_settings, 0, sizeof(s_settings));
    s_settings.refuse_result.code = VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
    set_text(s_settings.version, TEST_AGENT_DEFAULT_VERSION);
    set_text(s_settings.version_1560001, TEST_AGENT_DEFAULT_VERSION);
    set_text(s_settings.version_1330002, TEST_AGENT_DEFAULT_VERSION);
    record->argument_count = argument_count;
    for (vexlin_size_t i = 0; i < argument_count; ++i) {
        const char* argument = arguments[i] != nullptr ? arguments[i] : "(null)";
        if (i < TEST_AGENT_MAX_ARGUMENTS) snprintf(record->arguments[i], TEST_AGENT_ARGUMENT_LENGTH, "%s", argument);
        apply_setting(argument);
    }
    if (s_settings.block_init) test_agent_record_block_in_initialize();
    event.result = s_settings.init_fail.active ? fail(s_settings.init_fail, message_buffer, message_buffer_length)
                                               : VEXLIN_SUCCESS;
    s_started = !s_settings.init_fail.active;
    test_agent_record_event(&event);
    return static_cast<vexlin_result_t>(event.result);
}

#ifdef TEST_AGENT_WITHOUT_GET_LIBRARY
__attribute__((visibility("hidden")))
#else
__attribute__((visibility("default")))
#endif
sdkagent_abi_get_library_function_t sdkagent_abi_get_library;
vexlin_result_t sdkagent_abi_get_library(vexlin_uint32_t interface_id, vexlin_uint32_t level, const void** table_out,
                                         vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length) {
    const test_agent_control_t* record = test_agent_control();
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_GET_LIBRARY, interface_id);
    event.level = level;
    put_value(event, table_out);
    put_value(event, message_buffer_length);
    put_value(event, is_empty(message_buffer, message_buffer_length) ? 1 : 0);
    if (!s_started) {
        event.result = VEXLIN_ERROR_NOT_INITIALIZED;
    } else if (is_listed(interface_id, record->refused, record->refused_count) ||
               is_listed(interface_id, s_settings.refused.ids, s_settings.refused.count)) {
        event.result = fail(s_settings.refuse_result, message_buffer, message_buffer_length);
        junk(table_out);
    } else {
        event.result = find_table(interface_id, level, table_out);
    }
    test_agent_record_event(&event);
    return static_cast<vexlin_result_t>(event.result);
}

#ifdef TEST_AGENT_WITHOUT_SHUTDOWN
__attribute__((visibility("hidden")))
#else
__attribute__((visibility("default")))
#endif
sdkagent_abi_shutdown_function_t sdkagent_abi_shutdown;
vexlin_result_t sdkagent_abi_shutdown(void) {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_SHUTDOWN);
    event.result = s_started ? VEXLIN_SUCCESS : VEXLIN_ERROR_NOT_INITIALIZED;
    s_started = false;
    test_agent_record_event(&event);
    return static_cast<vexlin_result_t>(event.result);
}

}  // extern "C"
