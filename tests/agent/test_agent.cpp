// A stand-in agent module, written only against the module contract: the
// three entry points, the library tables, the agent table and the extension
// tables. Every call is recorded (test_agent_record.h) and every slot answers
// a value that tells which slot it was. User variables named testagent_*
// steer its failures (test_agent_control.h). Built in several variants, each lacking an
// entry point or carrying another name; TEST_AGENT_VARIANT names the build.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <type_traits>

#include "test_agent_record.h"
#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/internal/vexlin_stub_abi.h"

#ifndef TEST_AGENT_VARIANT
#error "TEST_AGENT_VARIANT must name the build"
#endif

#define TEST_AGENT_EXPORT __attribute__((visibility("default")))
// A variant lacking an entry point still compiles it, but hidden: the
// dynamic loader cannot find a hidden symbol.
#define TEST_AGENT_HIDDEN __attribute__((visibility("hidden")))
#ifdef TEST_AGENT_WITHOUT_INITIALIZE
#define TEST_AGENT_INITIALIZE_EXPORT TEST_AGENT_HIDDEN
#else
#define TEST_AGENT_INITIALIZE_EXPORT TEST_AGENT_EXPORT
#endif
#ifdef TEST_AGENT_WITHOUT_GET_LIBRARY
#define TEST_AGENT_GET_LIBRARY_EXPORT TEST_AGENT_HIDDEN
#else
#define TEST_AGENT_GET_LIBRARY_EXPORT TEST_AGENT_EXPORT
#endif
#ifdef TEST_AGENT_WITHOUT_SHUTDOWN
#define TEST_AGENT_SHUTDOWN_EXPORT TEST_AGENT_HIDDEN
#else
#define TEST_AGENT_SHUTDOWN_EXPORT TEST_AGENT_EXPORT
#endif

// The agent object: its layout is the module's business.
struct vexlin_abi_agent_t {
    unsigned magic;
};

namespace {

constexpr size_t kTextLength = 512;
constexpr size_t kMaxRefused = 16;

struct failure {
    bool active;
    vexlin_result_t code;
    char message[kTextLength];
};

// What the testagent_* variables asked for; set anew by every initialize.
struct settings {
    failure init_fail;
    failure get_agent_fail;
    failure refuse_result;
    uint32_t refused[kMaxRefused];
    size_t refused_count;
    uint32_t null_tables[kMaxRefused];
    size_t null_table_count;
    bool null_agent_functions;
    bool null_get_agent;
    bool table_before_agent;
    bool unterminated;
    bool junk_on_refuse;
    bool block_init;
    char version[kTextLength];
    char version_1560001[kTextLength];
    char version_1330002[kTextLength];
};

settings s_settings;
bool s_started = false;
vexlin_abi_agent_t s_agent = {0x7e57a9e7u};

// ---- Recording ------------------------------------------------------------

test_agent_event_t new_event(test_agent_event_kind_t kind) {
    test_agent_event_t event;
    memset(&event, 0, sizeof(event));
    event.kind = kind;
    strncpy(event.variant, TEST_AGENT_VARIANT, sizeof(event.variant) - 1);
    event.slot = -1;
    return event;
}

template <typename T>
void put_value(test_agent_event_t& event, T value) {
    const size_t i = event.value_count++;
    if (i >= TEST_AGENT_MAX_VALUES) {
        return;
    }
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

template <typename R>
R answer(int64_t value) {
    if constexpr (std::is_void<R>::value) {
        (void)value;
    } else {
        return static_cast<R>(value);
    }
}

// One slot of a table: records the call and answers base + slot. The
// signature comes from the table field's type, so it cannot drift from the
// contract.
template <test_agent_event_kind_t Kind, uint32_t Interface, int64_t Base, int32_t Slot, typename Field>
struct slot_function;

template <test_agent_event_kind_t Kind, uint32_t Interface, int64_t Base, int32_t Slot, typename R, typename... A>
struct slot_function<Kind, Interface, Base, Slot, R (*)(vexlin_abi_agent_t*, A...)> {
    static R call(vexlin_abi_agent_t* agent, A... args) {
        const int64_t result = std::is_void<R>::value ? 0 : Base + Slot;
#ifdef TEST_AGENT_QUIET
        (void)agent;
        ((void)args, ...);
#else
        if (test_agent_record_slot_call(agent == &s_agent)) {
            test_agent_event_t event = new_event(Kind);
            event.interface_id = Interface;
            event.slot = Slot;
            event.agent = agent;
            (put_value(event, args), ...);
            event.result = result;
            test_agent_record_event(&event);
        }
#endif
        return answer<R>(result);
    }
};

// ---- The agent table, from the one list of slots ----------------------------

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
#undef TEST_AGENT_SLOT_FN

static_assert(sizeof(s_agent_functions) == VEXLIN_ABI_AGENT_FUNCTIONS_5_SLOTS * sizeof(void (*)(void)),
              "the agent table has one pointer per slot");

// ---- Extension tables -------------------------------------------------------

// Each table in a namespace of its own, so that the slot macros find the
// table's type, interface and answer base by name.
#define TEST_AGENT_EX_TABLE(group, list, table, id, base_value)                                                       \
    namespace group {                                                                                                 \
    using table_type = table;                                                                                         \
    constexpr uint32_t interface_id = id;                                                                             \
    constexpr int64_t base = base_value;                                                                              \
    const table_type functions = {list(TEST_AGENT_EX_FN, TEST_AGENT_EX_FN0)};                                         \
    static_assert(sizeof(table_type) == (0 list(TEST_AGENT_EX_COUNT, TEST_AGENT_EX_COUNT0)) * sizeof(void (*)(void)), \
                  #table " has one pointer per slot");                                                                \
    }
#define TEST_AGENT_EX_FN(slot, field, exported, result, params, args, neutral) \
    slot_function<TEST_AGENT_EVENT_EX_SLOT, interface_id, base, slot, decltype(table_type::vexlin_abi_##field)>::call,
#define TEST_AGENT_EX_FN0(slot, field, exported, result, neutral) \
    slot_function<TEST_AGENT_EVENT_EX_SLOT, interface_id, base, slot, decltype(table_type::vexlin_abi_##field)>::call,
#define TEST_AGENT_EX_COUNT(...) +1
#define TEST_AGENT_EX_COUNT0(...) +1

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

#undef TEST_AGENT_EX_TABLE
#undef TEST_AGENT_EX_FN
#undef TEST_AGENT_EX_FN0
#undef TEST_AGENT_EX_COUNT
#undef TEST_AGENT_EX_COUNT0

// ---- Library tables ---------------------------------------------------------

const vexlin_xchar_t* record_version_call(uint32_t interface_id, const char* text) {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_GET_VERSION_STRING);
    event.interface_id = interface_id;
    test_agent_record_event(&event);
    return text;
}

const vexlin_xchar_t* library_version() {
    return record_version_call(VEXLIN_ABI_INTERFACE_LIBRARY_5, s_settings.version);
}

const vexlin_xchar_t* versiononly_version() {
    return record_version_call(VEXLIN_ABI_INTERFACE_VERSIONONLY, s_settings.version_1560001);
}

const vexlin_xchar_t* legacy_version() {
    return record_version_call(VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY, s_settings.version_1330002);
}

void write_message(vexlin_xchar_t* buffer, vexlin_size_t length, const char* message) {
    if (buffer != nullptr && length != 0 && s_settings.unterminated) {
        memset(buffer, 'x', length);
    } else if (buffer != nullptr && length != 0 && message[0] != '\0') {
        strncpy(buffer, message, length - 1);
        buffer[length - 1] = '\0';
    }
}

vexlin_result_t fail(const failure& f, vexlin_xchar_t* buffer, vexlin_size_t length) {
    write_message(buffer, length, f.message);
    return f.code;
}

vexlin_result_t get_agent_5(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                            const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message_buffer,
                            vexlin_size_t message_buffer_length) {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_GET_AGENT);
    put_value(event, stub_version);
    put_value(event, agent_out);
    put_value(event, functions_out);
    put_value(event, message_buffer_length);
    test_agent_record_stub_version(stub_version, sizeof(*stub_version));

    vexlin_result_t rc = VEXLIN_SUCCESS;
    if (!s_started) {
        rc = VEXLIN_ERROR_NOT_INITIALIZED;
    } else if (s_settings.get_agent_fail.active) {
        rc = fail(s_settings.get_agent_fail, message_buffer, message_buffer_length);
        if (s_settings.junk_on_refuse) {
            *agent_out = static_cast<vexlin_abi_agent_t*>(const_cast<void*>(TEST_AGENT_JUNK_POINTER));
            *functions_out = static_cast<const vexlin_abi_agent_functions_5_t*>(TEST_AGENT_JUNK_POINTER);
        }
    } else if (s_settings.null_agent_functions) {
        *agent_out = &s_agent;
    } else if (s_settings.table_before_agent) {
        const uint64_t seen = __atomic_load_n(&test_agent_control()->slot_calls, __ATOMIC_ACQUIRE);
        *functions_out = &s_agent_functions;
        test_agent_record_wait_for_slot_call(seen, 200);
        *agent_out = &s_agent;
        test_agent_record_attachment(&s_agent, &s_agent_functions);
    } else {
        *agent_out = &s_agent;
        *functions_out = &s_agent_functions;
        test_agent_record_attachment(&s_agent, &s_agent_functions);
    }
    event.result = rc;
    test_agent_record_event(&event);
    return rc;
}

const vexlin_abi_library_functions_5_t s_library = {library_version, get_agent_5};
const vexlin_abi_library_functions_5_t s_library_without_get_agent = {library_version, nullptr};
const vexlin_abi_library_functions_versiononly_t s_versiononly = {versiononly_version};
const vexlin_abi_library_functions_versiononly_t s_versiononly_legacy = {legacy_version};

// ---- Settings ---------------------------------------------------------------

void set_text(char* target, const char* value) { snprintf(target, kTextLength, "%s", value); }

// CODE[:message]; CODE in any base strtoul understands.
void parse_failure(failure& f, const char* value) {
    char* end = nullptr;
    f.active = true;
    f.code = static_cast<vexlin_result_t>(strtoul(value, &end, 0));
    set_text(f.message, end != nullptr && *end == ':' ? end + 1 : "");
}

void parse_interfaces(const char* value, uint32_t* list, size_t* count) {
    while (*value != '\0' && *count < kMaxRefused) {
        char* end = nullptr;
        list[(*count)++] = static_cast<uint32_t>(strtoul(value, &end, 10));
        if (end == value || *end != ',') {
            break;
        }
        value = end + 1;
    }
}

bool is_set(const char* value) { return strcmp(value, "1") == 0 || strcasecmp(value, "true") == 0; }

void apply_setting(const char* argument) {
    const char* equals = strchr(argument, '=');
    if (equals == nullptr) {
        return;
    }
    const size_t name_length = static_cast<size_t>(equals - argument);
    const char* value = equals + 1;
    auto named = [&](const char* name) {
        return strlen(name) == name_length && strncasecmp(argument, name, name_length) == 0;
    };
    if (named("testagent_init_fail")) {
        parse_failure(s_settings.init_fail, value);
    } else if (named("testagent_get_agent_fail")) {
        parse_failure(s_settings.get_agent_fail, value);
    } else if (named("testagent_refuse")) {
        parse_interfaces(value, s_settings.refused, &s_settings.refused_count);
    } else if (named("testagent_refuse_result")) {
        parse_failure(s_settings.refuse_result, value);
    } else if (named("testagent_null_table")) {
        parse_interfaces(value, s_settings.null_tables, &s_settings.null_table_count);
    } else if (named("testagent_null_agent_functions")) {
        s_settings.null_agent_functions = is_set(value);
    } else if (named("testagent_null_get_agent")) {
        s_settings.null_get_agent = is_set(value);
    } else if (named("testagent_table_before_agent")) {
        s_settings.table_before_agent = is_set(value);
    } else if (named("testagent_unterminated")) {
        s_settings.unterminated = is_set(value);
    } else if (named("testagent_junk_on_refuse")) {
        s_settings.junk_on_refuse = is_set(value);
    } else if (named("testagent_block_init")) {
        s_settings.block_init = is_set(value);
    } else if (named("testagent_version")) {
        set_text(s_settings.version, value);
    } else if (named("testagent_version_1560001")) {
        set_text(s_settings.version_1560001, value);
    } else if (named("testagent_version_1330002")) {
        set_text(s_settings.version_1330002, value);
    }
}

void apply_settings(vexlin_size_t count, const vexlin_xchar_t* const* arguments) {
    memset(&s_settings, 0, sizeof(s_settings));
    s_settings.refuse_result.code = VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
    set_text(s_settings.version, TEST_AGENT_DEFAULT_VERSION);
    bool own_1560001 = false;
    bool own_1330002 = false;
    for (vexlin_size_t i = 0; i < count; ++i) {
        if (arguments[i] != nullptr) {
            apply_setting(arguments[i]);
            own_1560001 = own_1560001 || strncasecmp(arguments[i], "testagent_version_1560001=", 26) == 0;
            own_1330002 = own_1330002 || strncasecmp(arguments[i], "testagent_version_1330002=", 26) == 0;
        }
    }
    // The version-only tables report the module's version unless told otherwise.
    if (!own_1560001) set_text(s_settings.version_1560001, s_settings.version);
    if (!own_1330002) set_text(s_settings.version_1330002, s_settings.version);
}

bool is_listed(uint32_t interface_id, const uint32_t* list, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (list[i] == interface_id) {
            return true;
        }
    }
    return false;
}

bool is_refused(uint32_t interface_id) {
    return test_agent_record_is_refused(interface_id) ||
           is_listed(interface_id, s_settings.refused, s_settings.refused_count);
}

// The table of an interface at a level, or the reason there is none.
vexlin_result_t find_table(uint32_t interface_id, uint32_t level, const void** table) {
    uint32_t supported_level = VEXLIN_ABI_LEVEL_EX;
    switch (interface_id) {
        case VEXLIN_ABI_INTERFACE_LIBRARY_5:
            supported_level = VEXLIN_ABI_LEVEL_LIBRARY_5;
            *table = s_settings.null_get_agent ? &s_library_without_get_agent : &s_library;
            break;
        case VEXLIN_ABI_INTERFACE_VERSIONONLY:
            supported_level = VEXLIN_ABI_LEVEL_VERSIONONLY;
            *table = &s_versiononly;
            break;
        case VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY:
            supported_level = VEXLIN_ABI_LEVEL_VERSIONONLY;
            *table = &s_versiononly_legacy;
            break;
        case VEXLIN_ABI_INTERFACE_EX_METRICS:
            *table = &metrics::functions;
            break;
        case VEXLIN_ABI_INTERFACE_EX_SPAN:
            *table = &span::functions;
            break;
        case VEXLIN_ABI_INTERFACE_EX_TECHTYPE:
            *table = &techtype::functions;
            break;
        case VEXLIN_ABI_INTERFACE_EX_TRACER_EXT:
            *table = &tracer_ext::functions;
            break;
        case VEXLIN_ABI_INTERFACE_EX_SERVERLESS:
            *table = &serverless::functions;
            break;
        default:
            *table = nullptr;
            return VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
    }
    if (level != supported_level) {
        *table = nullptr;
        return VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED;
    }
    if (is_listed(interface_id, s_settings.null_tables, s_settings.null_table_count)) {
        *table = nullptr;
    }
    return VEXLIN_SUCCESS;
}

bool is_empty(const vexlin_xchar_t* buffer, vexlin_size_t length) {
    return buffer == nullptr || length == 0 || buffer[0] == '\0';
}

}  // namespace

// ---- Entry points -----------------------------------------------------------

extern "C" {

TEST_AGENT_INITIALIZE_EXPORT sdkagent_abi_initialize_function_t sdkagent_abi_initialize;
vexlin_result_t sdkagent_abi_initialize(vexlin_size_t argument_count, const vexlin_xchar_t* const* arguments,
                                        vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length) {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_INITIALIZE);
    put_value(event, argument_count);
    put_value(event, arguments);
    put_value(event, message_buffer_length);
    put_value(event, is_empty(message_buffer, message_buffer_length) ? 1 : 0);
    test_agent_record_arguments(argument_count, arguments);
    apply_settings(argument_count, arguments);

    if (s_settings.block_init) {
        test_agent_record_block_in_initialize();
    }
    vexlin_result_t rc = VEXLIN_SUCCESS;
    if (s_settings.init_fail.active) {
        rc = fail(s_settings.init_fail, message_buffer, message_buffer_length);
    } else {
        s_started = true;
    }
    event.result = rc;
    test_agent_record_event(&event);
    return rc;
}

TEST_AGENT_GET_LIBRARY_EXPORT sdkagent_abi_get_library_function_t sdkagent_abi_get_library;
vexlin_result_t sdkagent_abi_get_library(vexlin_uint32_t interface_id, vexlin_uint32_t level, const void** table_out,
                                         vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length) {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_GET_LIBRARY);
    event.interface_id = interface_id;
    event.level = level;
    put_value(event, table_out);
    put_value(event, message_buffer_length);
    put_value(event, is_empty(message_buffer, message_buffer_length) ? 1 : 0);

    vexlin_result_t rc = VEXLIN_SUCCESS;
    if (!s_started) {
        rc = VEXLIN_ERROR_NOT_INITIALIZED;
    } else if (is_refused(interface_id)) {
        rc = fail(s_settings.refuse_result, message_buffer, message_buffer_length);
        if (s_settings.junk_on_refuse) {
            *table_out = TEST_AGENT_JUNK_POINTER;
        }
    } else {
        const void* table = nullptr;
        rc = find_table(interface_id, level, &table);
        if (rc == VEXLIN_SUCCESS) {
            *table_out = table;
        }
    }
    event.result = rc;
    test_agent_record_event(&event);
    return rc;
}

TEST_AGENT_SHUTDOWN_EXPORT sdkagent_abi_shutdown_function_t sdkagent_abi_shutdown;
vexlin_result_t sdkagent_abi_shutdown(void) {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_SHUTDOWN);
    event.result = s_started ? VEXLIN_SUCCESS : VEXLIN_ERROR_NOT_INITIALIZED;
    s_started = false;
    test_agent_record_event(&event);
    return static_cast<vexlin_result_t>(event.result);
}

}  // extern "C"
