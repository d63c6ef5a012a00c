// A stand-in agent module, written only against the module contract: the
// three entry points, the library tables, the agent table and the extension
// tables. Every call is recorded and every slot answers a value that tells
// which slot it was; testagent_* user variables steer its failures
// (test_agent_control.h).
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

// The testagent_* arguments of the latest initialize.
constexpr size_t kMaxSettings = 32, kSettingLength = 256;
char s_settings[kMaxSettings][kSettingLength];
size_t s_setting_count = 0;
unsigned long s_requests = 0;  // get-library calls since initialize
bool s_started = false;
vexlin_abi_agent_t s_agent = {0x7e57a9e7u};

// The value of a setting (names ignore case), or nullptr.
const char* setting(const char* name) {
    const size_t length = strlen(name);
    for (size_t i = 0; i < s_setting_count; ++i)
        if (strncasecmp(s_settings[i], name, length) == 0 && s_settings[i][length] == '=')
            return s_settings[i] + length + 1;
    return nullptr;
}
bool flag(const char* name) {
    const char* value = setting(name);
    return value != nullptr && (strcmp(value, "1") == 0 || strcasecmp(value, "true") == 0);
}
// Whether the setting's IFACE[,IFACE...] names the interface.
bool lists(const char* name, uint32_t interface_id) {
    for (const char* p = setting(name); p != nullptr && *p != '\0';) {
        char* end = nullptr;
        if (strtoul(p, &end, 10) == interface_id) return true;
        p = end != p && *end == ',' ? end + 1 : "";
    }
    return false;
}

test_agent_event_t new_event(test_agent_event_kind_t kind, uint32_t interface_id = 0) {
    test_agent_event_t event = {};
    event.kind = kind;
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
        event.values[i] = reinterpret_cast<uintptr_t>(value);
    } else {  // signed ones sign-extended
        event.values[i] = std::is_signed<T>::value ? uint64_t(int64_t(value)) : uint64_t(value);
    }
}

// An entry point's call, with the message buffer's length and whether it was empty on entry.
test_agent_event_t entry_event(test_agent_event_kind_t kind, const vexlin_xchar_t* buffer, vexlin_size_t length,
                               uint32_t interface_id = 0) {
    test_agent_event_t event = new_event(kind, interface_id);
    put_value(event, length);
    put_value(event, buffer == nullptr || length == 0 || buffer[0] == '\0' ? 1 : 0);
    return event;
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
TEST_AGENT_EX_GROUPS(TEST_AGENT_EX_TABLE)

// ---- Library tables ---------------------------------------------------------

// The version-only tables report the module's version unless told otherwise.
template <uint32_t Interface>
const vexlin_xchar_t* version_string() {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_GET_VERSION_STRING, Interface);
    test_agent_record_event(&event);
    const char* own = Interface == VEXLIN_ABI_INTERFACE_VERSIONONLY          ? setting("testagent_version_1560001")
                      : Interface == VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY ? setting("testagent_version_1330002")
                                                                             : nullptr;
    const char* common = setting("testagent_version");
    return own != nullptr ? own : common != nullptr ? common : TEST_AGENT_DEFAULT_VERSION;
}

// Answers CODE[:message] (CODE in any base strtoul reads).
vexlin_result_t fail(const char* answer, vexlin_xchar_t* buffer, vexlin_size_t length) {
    char* end = nullptr;
    const auto code = static_cast<vexlin_result_t>(strtoul(answer, &end, 0));
    if (buffer != nullptr && length != 0 && flag("testagent_unterminated")) {
        memset(buffer, 'x', length);
    } else if (buffer != nullptr && length != 0 && *end == ':') {
        snprintf(buffer, length, "%s", end + 1);
    }
    return code;
}

template <typename T>
void junk(T** out) {
    if (flag("testagent_junk_on_refuse")) *out = static_cast<T*>(const_cast<void*>(TEST_AGENT_JUNK_POINTER));
}

vexlin_result_t get_agent_5(const vexlin_abi_stub_version_t* stub_version, vexlin_abi_agent_t** agent_out,
                            const vexlin_abi_agent_functions_5_t** functions_out, vexlin_xchar_t* message_buffer,
                            vexlin_size_t message_buffer_length) {
    test_agent_control_t* record = test_agent_control();
    test_agent_event_t event = entry_event(TEST_AGENT_EVENT_GET_AGENT, message_buffer, message_buffer_length);
    static_assert(sizeof(*stub_version) <= sizeof record->stub_version, "the record holds the stub version");
    memcpy(record->stub_version, stub_version, sizeof(*stub_version));
    vexlin_result_t rc = VEXLIN_SUCCESS;
    if (!s_started) {
        rc = VEXLIN_ERROR_NOT_INITIALIZED;
    } else if (const char* failure = setting("testagent_get_agent_fail")) {
        rc = fail(failure, message_buffer, message_buffer_length);
        junk(agent_out);
        junk(functions_out);
    } else {
        // Table first, then the agent after a slot call or 200 ms, if asked to.
        const size_t seen = __atomic_load_n(&record->slot_calls, __ATOMIC_ACQUIRE);
        if (!flag("testagent_null_agent_functions")) *functions_out = &s_agent_functions;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (flag("testagent_table_before_agent") && __atomic_load_n(&record->slot_calls, __ATOMIC_ACQUIRE) == seen &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        *agent_out = &s_agent;
        record->agent = &s_agent;
    }
    test_agent_record_event(&event);
    return rc;
}

const vexlin_abi_library_functions_5_t s_library = {version_string<VEXLIN_ABI_INTERFACE_LIBRARY_5>, get_agent_5};
const vexlin_abi_library_functions_5_t s_library_without_get_agent = {version_string<VEXLIN_ABI_INTERFACE_LIBRARY_5>,
                                                                      nullptr};
const vexlin_abi_library_functions_versiononly_t s_versiononly = {version_string<VEXLIN_ABI_INTERFACE_VERSIONONLY>};
const vexlin_abi_library_functions_versiononly_t s_versiononly_legacy = {
    version_string<VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY>};

// The table of an interface at a level, or the reason there is none.
vexlin_result_t find_table(uint32_t interface_id, uint32_t level, const void** table) {
    const struct {
        uint32_t id, level;
        const void* table;
    } tables[] = {
        {VEXLIN_ABI_INTERFACE_LIBRARY_5, VEXLIN_ABI_LEVEL_LIBRARY_5,
         flag("testagent_null_get_agent") ? &s_library_without_get_agent : &s_library},
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
        *table = lists("testagent_null_table", interface_id) ? nullptr : t.table;
        return VEXLIN_SUCCESS;
    }
    return VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED;
}

}  // namespace

// ---- Entry points -----------------------------------------------------------
// A variant lacking an entry point still compiles it, but hidden: the
// dynamic loader cannot find a hidden symbol (TEST_AGENT_*_VISIBILITY).

extern "C" {

__attribute__((visibility(TEST_AGENT_INITIALIZE_VISIBILITY)))
sdkagent_abi_initialize_function_t sdkagent_abi_initialize;
vexlin_result_t sdkagent_abi_initialize(vexlin_size_t argument_count, const vexlin_xchar_t* const* arguments,
                                        vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length) {
    test_agent_control_t* record = test_agent_control();
    test_agent_event_t event = entry_event(TEST_AGENT_EVENT_INITIALIZE, message_buffer, message_buffer_length);
    record->argument_count = argument_count;
    s_setting_count = s_requests = 0;
    for (vexlin_size_t i = 0; i < argument_count; ++i) {
        const char* argument = arguments[i] != nullptr ? arguments[i] : "(null)";
        if (i < TEST_AGENT_MAX_ARGUMENTS) snprintf(record->arguments[i], TEST_AGENT_ARGUMENT_LENGTH, "%s", argument);
        if (strncasecmp(argument, "testagent_", 10) == 0 && s_setting_count < kMaxSettings)
            snprintf(s_settings[s_setting_count++], kSettingLength, "%s", argument);
    }
    const char* failure = setting("testagent_init_fail");
    const vexlin_result_t rc =
        failure != nullptr ? fail(failure, message_buffer, message_buffer_length) : VEXLIN_SUCCESS;
    s_started = failure == nullptr;
    test_agent_record_event(&event);
    return rc;
}

__attribute__((visibility(TEST_AGENT_GET_LIBRARY_VISIBILITY)))
sdkagent_abi_get_library_function_t sdkagent_abi_get_library;
vexlin_result_t sdkagent_abi_get_library(vexlin_uint32_t interface_id, vexlin_uint32_t level, const void** table_out,
                                         vexlin_xchar_t* message_buffer, vexlin_size_t message_buffer_length) {
    test_agent_event_t event =
        entry_event(TEST_AGENT_EVENT_GET_LIBRARY, message_buffer, message_buffer_length, interface_id);
    event.level = level;
    const char* refuse_from = setting("testagent_refuse_from");
    const bool refused = lists("testagent_refuse", interface_id) ||
                         (refuse_from != nullptr && ++s_requests >= strtoul(refuse_from, nullptr, 10));
    const char* answer = setting("testagent_refuse_result");
    const vexlin_result_t rc =
        !s_started ? VEXLIN_ERROR_NOT_INITIALIZED
        : refused  ? fail(answer != nullptr ? answer : "0xAFFE000C", message_buffer, message_buffer_length)
                   : find_table(interface_id, level, table_out);
    if (s_started && refused) junk(table_out);
    test_agent_record_event(&event);
    return rc;
}

__attribute__((visibility(TEST_AGENT_SHUTDOWN_VISIBILITY))) sdkagent_abi_shutdown_function_t sdkagent_abi_shutdown;
vexlin_result_t sdkagent_abi_shutdown(void) {
    test_agent_event_t event = new_event(TEST_AGENT_EVENT_SHUTDOWN);
    const vexlin_result_t rc = s_started ? VEXLIN_SUCCESS : VEXLIN_ERROR_NOT_INITIALIZED;
    s_started = false;
    test_agent_record_event(&event);
    return rc;
}

}  // extern "C"
