// Loading, initializing and shutting down the agent module. Owns all load
// state; everything below runs under the init lock, including the calls into
// the module. Two counts: the library level (module open and started,
// library table obtained) and the agent level (agent object obtained).
// The module is not trusted: what it hands back is checked before it is
// used, its texts are terminated, and what other threads read without the
// lock is published atomically.
#include <stdio.h>
#include <string.h>

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/vexlin_init.h"
#include "vexlin_args.h"
#include "vexlin_atomic.h"
#include "vexlin_dll.h"
#include "vexlin_ex_unit.h"
#include "vexlin_fork_handlers.h"
#include "vexlin_init_internal.h"
#include "vexlin_internal.h"
#include "vexlin_stub_log.h"
#include "vexlin_util.h"
#include "vexlin_xstr.h"

namespace {

enum vexlin_init_stage {
    INIT_STAGE_NO_AGENT = 0,
    INIT_STAGE_FOUND_AGENT = 1,
    INIT_STAGE_COMPATIBLE_AGENT = 2,
};

constexpr vexlin_size_t kMessageLength = VEXLIN_ABI_MESSAGE_BUFFER_LENGTH;
constexpr vexlin_size_t kVersionTextLength = 64;
constexpr vexlin_size_t kInitFlagsVariableLength = 76;

constexpr vexlin_uint32_t kStubVersionMajor = 1;
constexpr vexlin_uint32_t kStubVersionMinor = 6;
constexpr vexlin_uint32_t kStubVersionPatch = 1;
constexpr vexlin_uint32_t kStubVersionBuild = 0;
constexpr char kStubBuildTimestamp[] = "20210121-101835";

constexpr char kProductName[] = "Korvantix Pelmoran SDK for C/C++";
constexpr char kLoadFailurePrefix[] = "Could not load agent module for Korvantix Pelmoran SDK for C/C++";
constexpr char kInitFailurePrefix[] = "Could not initialize Korvantix Pelmoran SDK for C/C++";

vexlin_spinlock_t s_vexlin_init_spinlock = {0};
vexlin_args_t s_loaded_agent_args = {-1, 0, nullptr, {nullptr, 0, 0}};
vexlin_dll_handle_t s_agent_dll_handle = nullptr;
sdkagent_abi_initialize_function_t* s_initialize_function = nullptr;
sdkagent_abi_get_library_function_t* s_get_library_function = nullptr;
sdkagent_abi_shutdown_function_t* s_shutdown_function = nullptr;
vexlin_int32_t s_library_refs = 0;
const vexlin_abi_library_functions_cur_t* s_library_ptr = nullptr;
vexlin_int32_t s_agent_refs = 0;
volatile vexlin_atomic_t s_is_unsafe_fork_child = 0;
vexlin_init_stage s_last_reached_init_stage = INIT_STAGE_NO_AGENT;

// Version texts. The pointer handed out is read later, by any thread and
// without the lock, so a published text is never written again: each
// distinct text gets a buffer of its own, filled before its address is
// published. Only a process meeting more than kVersionTexts distinct texts
// reuses a buffer, the one published least recently.
constexpr vexlin_size_t kVersionTexts = 16;
struct version_text_t {
    vexlin_xchar_t text[kVersionTextLength];
    vexlin_uint64_t published;  // when last published; 0: never
};
version_text_t s_version_texts[kVersionTexts];
vexlin_uint64_t s_version_publications = 0;
const vexlin_xchar_t* s_last_loaded_agent_version = "";

bool is_unsafe_fork_child() { return vexlin_atomic_load_acquire(&s_is_unsafe_fork_child) != 0; }

// Writes of what other threads read without the lock.
template <typename T>
void publish(T* variable, T value) {
    __atomic_store_n(variable, value, __ATOMIC_RELEASE);
}

void set_stage(vexlin_init_stage stage) { publish(&s_last_reached_init_stage, stage); }

// Publishes the text, cut to 63 characters, in the buffer that holds it
// already, else in an unused or the least recently published one.
void set_version_text(const vexlin_xchar_t* text) {
    vexlin_xchar_t cut[kVersionTextLength];
    vexlin_xstrncpy_s(cut, text, kVersionTextLength);
    const vexlin_xchar_t* published = "";
    if (cut[0] != '\0') {
        version_text_t* slot = &s_version_texts[0];
        for (version_text_t& candidate : s_version_texts) {
            if (candidate.published != 0 && strcmp(candidate.text, cut) == 0) {
                slot = &candidate;
                break;
            }
            if (candidate.published < slot->published) {
                slot = &candidate;
            }
        }
        if (slot->published == 0 || strcmp(slot->text, cut) != 0) {
            memcpy(slot->text, cut, sizeof cut);
        }
        slot->published = ++s_version_publications;
        published = slot->text;
    }
    publish(&s_last_loaded_agent_version, published);
}

// A module may fill a message buffer to the last character without a terminator.
void terminate_message(vexlin_xchar_t* message) { message[kMessageLength - 1] = '\0'; }

// Every table request goes through here, so no module text is left unterminated.
vexlin_result_t request_table(sdkagent_abi_get_library_function_t* get_library, vexlin_uint32_t interface_id,
                              vexlin_uint32_t level, const void** table, vexlin_xchar_t* message) {
    const vexlin_result_t rc = get_library(interface_id, level, table, message, kMessageLength);
    terminate_message(message);
    return rc;
}

// Does not touch the stage, the version text, the fork flag or the lock;
// the agent pointer stays for a forwarder that read the table just before.
void reset_variables() {
    s_shutdown_function = nullptr;
    s_initialize_function = nullptr;
    s_get_library_function = nullptr;
    s_agent_refs = 0;
    s_library_refs = 0;
    vexlin_internal_detach();
    s_library_ptr = nullptr;
    s_agent_dll_handle = nullptr;
    memset(&s_loaded_agent_args, 0, sizeof(s_loaded_agent_args));
    s_loaded_agent_args.loglevelsdk = -1;
}

void reset_agent_info() {
    set_stage(INIT_STAGE_NO_AGENT);
    set_version_text("");
}

vexlin_result_t prepare_init() {
    // True only in fork children, whose coverage is never written (they
    // leave with _exit); the fork tests check it.
    if (is_unsafe_fork_child()) {        // GCOVR_EXCL_BR_LINE
        return VEXLIN_ERROR_FORK_CHILD;  // GCOVR_EXCL_LINE
    }
    return VEXLIN_SUCCESS;
}

// The specific message when there is one, else the text of the result,
// written into `text`; the message buffer stays as the module left it.
struct result_text_t {
    vexlin_xchar_t text[kMessageLength];
};
const vexlin_xchar_t* message_or_result_text(const vexlin_xchar_t* message, vexlin_result_t result,
                                             result_text_t* text) {
    return message[0] != '\0' ? message : vexlin_stub_xstrerror(result, text->text, kMessageLength);
}

void do_log_severe_error(const char* prefix, const vexlin_xchar_t* message, bool* error_message_logged) {
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_SEVERE, "%s: %s", prefix, message);
    *error_message_logged = true;
}

void copy_version_text(vexlin_abi_agent_get_version_string_function_t* get_version_string) {
    const vexlin_xchar_t* text = get_version_string != nullptr ? get_version_string() : nullptr;
    if (text != nullptr) {
        set_version_text(text);
    }
}

// Forwarders stop before the agent goes: the table is withdrawn first. The
// agent pointer stays, so only an attached table says there is one to release.
void cleanup_sdk_agent() {
    vexlin_abi_agent_t* agent = vexlin_internal_agent_ptr;
    const vexlin_abi_agent_functions_cur_t* functions = vexlin_internal_agent_functions_ptr;
    vexlin_internal_detach();
    if (agent != nullptr && functions != nullptr) {
        functions->vexlin_abi_agent_release(agent);
    }
}

void cleanup_sdk_dll() {
    if (s_library_refs != 0) {
        (void)s_shutdown_function();
    }
    vexlin_internal_clear_ex_tables();
    if (s_agent_dll_handle != nullptr) {
        (void)vexlin_dll_free(&s_agent_dll_handle);
    }
    (void)vexlin_args_free(&s_loaded_agent_args);
    reset_variables();
}

void apply_configured_logging_level(const vexlin_args_t& args) {
    if (args.loglevelsdk >= 0) {
        vexlin_stub_set_logging_level(args.loglevelsdk);
    }
}

void log_options(const vexlin_args_t& args) {
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_CONFIG, "  Options:");
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_CONFIG, "    Agent active:  %s", args.agentactive ? "true" : "false");
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_CONFIG, "    Agent module:  '%s'", vexlin_loggable_str(args.agentlibrary));
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_CONFIG, "    SDK log level: %s",
                     vexlin_get_padded_logging_level_name(vexlin_stub_get_logging_level()));
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_CONFIG, "  Additional options:");
    // Unreached through initialize, which always forwards its init-flags
    // variable; kept so the list never prints as nothing.
    if (args.agent_args.count == 0) {                                // GCOVR_EXCL_BR_LINE
        vexlin_stub_log(VEXLIN_LOGGING_LEVEL_CONFIG, "    (none)");  // GCOVR_EXCL_LINE
    }
    for (vexlin_size_t i = 0; i < args.agent_args.count; ++i) {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_CONFIG, "    %s", vexlin_loggable_str(args.agent_args.strings[i]));
    }
}

// Only for the log: which version a module that refused the library table has.
void vexlin_internal_fallback_determine_agent_version(vexlin_xchar_t* message) {
    message[0] = '\0';
    const void* table = nullptr;
    result_text_t text;
    vexlin_result_t rc = request_table(s_get_library_function, VEXLIN_ABI_INTERFACE_VERSIONONLY,
                                       VEXLIN_ABI_LEVEL_VERSIONONLY, &table, message);
    if (rc != VEXLIN_SUCCESS || table == nullptr) {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_FINEST, "Could not get agent module version: '%s'. Trying legacy method.",
                         message_or_result_text(message, rc, &text));
        table = nullptr;
        rc = request_table(s_get_library_function, VEXLIN_ABI_INTERFACE_VERSIONONLY_LEGACY,
                           VEXLIN_ABI_LEVEL_VERSIONONLY, &table, message);
    }
    if (rc == VEXLIN_SUCCESS && table != nullptr) {
        copy_version_text(
            static_cast<const vexlin_abi_library_functions_versiononly_t*>(table)->vexlin_abi_agent_get_version_string);
    }
    if (s_last_loaded_agent_version[0] != '\0') {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "Agent module version is %s; probably incompatible",
                         s_last_loaded_agent_version);
    } else {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "Agent module version could not be determined: %s",
                         message_or_result_text(message, rc, &text));
    }
}

// Opens the process-provided module, else the configured file.
vexlin_result_t open_agent_module(vexlin_xchar_t* message, bool* error_message_logged) {
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_FINE, "Loading agent module...");
    message[0] = '\0';
    vexlin_bool_t unexpected = 0;
    vexlin_result_t rc =
        vexlin_dll_load(&s_agent_dll_handle, VEXLIN_ABI_PROCESS_MODULE_NAME, message, kMessageLength, &unexpected);
    if (rc == VEXLIN_SUCCESS) {
        vexlin_stub_log(VEXLIN_LOGGING_LEVEL_FINE, "Loaded agent module provided by process agent.");
        return VEXLIN_SUCCESS;
    }
    if (unexpected) {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO,
                         "The process agent provided an agent module but it unexpectedly failed to load: %s", message);
    }
    const vexlin_xchar_t* path = s_loaded_agent_args.agentlibrary;
    if (path == nullptr || path[0] == '\0') {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO,
                         "%s: Loading via the process module failed and no fallback path was provided.",
                         kLoadFailurePrefix);
        *error_message_logged = true;
        return VEXLIN_ERROR_LOAD_AGENT;
    }
    rc = vexlin_dll_load(&s_agent_dll_handle, path, message, kMessageLength, &unexpected);
    if (rc == VEXLIN_SUCCESS) {
        return VEXLIN_SUCCESS;
    }
    // The loader layer always leaves a text; an empty one would mean no explanation.
    if (message[0] == '\0') {  // GCOVR_EXCL_BR_LINE
        return rc;             // GCOVR_EXCL_LINE
    }
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s: %s", kLoadFailurePrefix, message);
    if (unexpected) {
        vexlin_stub_log(VEXLIN_LOGGING_LEVEL_WARNING,
                        "Unexpected error while loading the agent module (see previous message for details).");
    }
    *error_message_logged = true;
    return rc == VEXLIN_ERROR_GENERIC ? VEXLIN_ERROR_LOAD_AGENT : rc;
}

template <typename Function>
vexlin_result_t resolve_entry_point(const char* name, Function** out, vexlin_xchar_t* message) {
    vexlin_function_ptr_t symbol = nullptr;
    const vexlin_result_t rc = vexlin_dll_get_symbol(s_agent_dll_handle, name, &symbol, message, kMessageLength);
    if (rc == VEXLIN_SUCCESS) {
        *out = reinterpret_cast<Function*>(symbol);
    }
    return rc;
}

vexlin_result_t resolve_entry_points(vexlin_xchar_t* message) {
    message[0] = '\0';
    vexlin_result_t rc = resolve_entry_point(VEXLIN_ABI_INITIALIZE_SYMBOL, &s_initialize_function, message);
    if (rc == VEXLIN_SUCCESS) {
        rc = resolve_entry_point(VEXLIN_ABI_GET_LIBRARY_SYMBOL, &s_get_library_function, message);
    }
    if (rc == VEXLIN_SUCCESS) {
        rc = resolve_entry_point(VEXLIN_ABI_SHUTDOWN_SYMBOL, &s_shutdown_function, message);
    }
    return rc;
}

vexlin_result_t load_nolock_steps(vexlin_xchar_t* message_a, bool* error_message_logged) {
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_FINE, "Preparing arguments...");
    vexlin_result_t rc = vexlin_args_prepare(&s_loaded_agent_args);
    if (rc != VEXLIN_SUCCESS) {
        return rc;
    }
    apply_configured_logging_level(s_loaded_agent_args);
    log_options(s_loaded_agent_args);
    if (!s_loaded_agent_args.agentactive) {
        vexlin_stub_log(VEXLIN_LOGGING_LEVEL_CONFIG, "Agent not active.");
        return VEXLIN_ERROR_AGENT_NOT_ACTIVE;
    }

    rc = open_agent_module(message_a, error_message_logged);
    if (rc != VEXLIN_SUCCESS) {
        return rc;
    }

    set_stage(INIT_STAGE_FOUND_AGENT);
    rc = resolve_entry_points(message_a);
    if (rc != VEXLIN_SUCCESS) {
        if (message_a[0] != '\0') {
            do_log_severe_error(kLoadFailurePrefix, message_a, error_message_logged);
        }
        return rc;
    }

    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_FINE, "Initializing agent module...");
    vexlin_xchar_t message_b[kMessageLength];
    message_b[0] = '\0';
    rc = s_initialize_function(s_loaded_agent_args.agent_args.count, s_loaded_agent_args.agent_args.strings, message_b,
                               kMessageLength);
    terminate_message(message_b);
    if (rc != VEXLIN_SUCCESS) {
        if (message_b[0] != '\0') {
            do_log_severe_error(kInitFailurePrefix, message_b, error_message_logged);
        }
        return rc;
    }
    s_library_refs = 1;  // from here on, failing means calling the module's shutdown

    // The message buffer keeps what initialize left in it.
    const void* library = nullptr;
    rc = request_table(s_get_library_function, VEXLIN_ABI_INTERFACE_LIBRARY_5, VEXLIN_ABI_LEVEL_LIBRARY_5, &library,
                       message_b);
    // A success without a table, or without the one entry the library must
    // call, is no table: calling through it would crash.
    if (rc == VEXLIN_SUCCESS &&
        (library == nullptr ||
         static_cast<const vexlin_abi_library_functions_cur_t*>(library)->vexlin_abi_get_agent_5 == nullptr)) {
        rc = VEXLIN_ERROR_INVALID_AGENT_BINARY;
    }
    if (rc == VEXLIN_SUCCESS) {
        set_stage(INIT_STAGE_COMPATIBLE_AGENT);
        s_library_ptr = static_cast<const vexlin_abi_library_functions_cur_t*>(library);
        copy_version_text(s_library_ptr->vexlin_abi_agent_get_version_string);
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "Loaded agent module version: %s", s_last_loaded_agent_version);
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s agent module loaded successfully.", kProductName);
        return VEXLIN_SUCCESS;
    }
    if (message_b[0] != '\0') {
        do_log_severe_error(kInitFailurePrefix, message_b, error_message_logged);
    }
    vexlin_internal_fallback_determine_agent_version(message_a);
    return rc;
}

vexlin_result_t vexlin_internal_load_nolock() {
    if (s_library_refs != 0) {
        ++s_library_refs;
        return VEXLIN_SUCCESS;
    }
    reset_agent_info();
    reset_variables();

    // The configured level must govern the messages that follow.
    vexlin_args_t early_args = {0, 0, nullptr, {nullptr, 0, 0}};
    if (vexlin_args_prepare(&early_args) == VEXLIN_SUCCESS) {
        apply_configured_logging_level(early_args);
        (void)vexlin_args_free(&early_args);
    }
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "Initializing %s ...", kProductName);
    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_INFO, "SDK stub version 1.6.1.0, build date 2021.01.21 10:18:35.");

    vexlin_xchar_t message_a[kMessageLength];
    message_a[0] = '\0';
    bool error_message_logged = false;
    const vexlin_result_t rc = load_nolock_steps(message_a, &error_message_logged);
    if (rc == VEXLIN_SUCCESS) {
        return VEXLIN_SUCCESS;
    }
    if (!error_message_logged) {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_SEVERE, "%s: %s", kLoadFailurePrefix,
                         vexlin_stub_xstrerror(rc, message_a, kMessageLength));
    }
    cleanup_sdk_dll();
    return rc;
}

vexlin_result_t vexlin_internal_initialize_nolock() {
    // Callers load first, and a load succeeds only with a library table.
    if (s_library_ptr == nullptr) {           // GCOVR_EXCL_BR_LINE
        return VEXLIN_ERROR_NOT_INITIALIZED;  // GCOVR_EXCL_LINE
    }
    if (s_agent_refs != 0) {
        ++s_agent_refs;
        return VEXLIN_SUCCESS;
    }
    vexlin_abi_stub_version_t stub_version;
    memset(&stub_version, 0, sizeof(stub_version));
    stub_version.version_major = kStubVersionMajor;
    stub_version.version_minor = kStubVersionMinor;
    stub_version.version_patch = kStubVersionPatch;
    stub_version.version_build = kStubVersionBuild;
    vexlin_xstrncpy_s(stub_version.build_timestamp, kStubBuildTimestamp, sizeof(stub_version.build_timestamp));

    vexlin_stub_log(VEXLIN_LOGGING_LEVEL_FINE, "Initializing agent...");
    vexlin_xchar_t message[kMessageLength];
    message[0] = '\0';
    // The module writes into these, not into the attachment: other threads
    // forward through the attachment, and must never see a table without its
    // agent, nor whatever a refusing module left behind.
    vexlin_abi_agent_t* agent = nullptr;
    const vexlin_abi_agent_functions_cur_t* functions = nullptr;
    vexlin_result_t rc = vexlin_ex_api_enable_metrics_nolock();
    if (rc == VEXLIN_SUCCESS) {
        rc = s_library_ptr->vexlin_abi_get_agent_5(&stub_version, &agent, &functions, message, kMessageLength);
        terminate_message(message);
    }
    // Success without a table would leave every call unforwarded: no agent.
    if (rc == VEXLIN_SUCCESS && functions == nullptr) {
        rc = VEXLIN_ERROR_INVALID_AGENT_BINARY;
    }
    if (rc == VEXLIN_SUCCESS) {
        vexlin_internal_attach(agent, functions);
        s_agent_refs = 1;
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "%s initialized successfully.", kProductName);
        return VEXLIN_SUCCESS;
    }
    result_text_t text;
    vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_SEVERE, "Could not initialize agent for %s: %s", kProductName,
                     message_or_result_text(message, rc, &text));
    return rc;
}

vexlin_result_t vexlin_internal_shutdown_nolock() {
    if (s_library_ptr == nullptr || s_agent_refs == 0) {
        return VEXLIN_ERROR_NOT_INITIALIZED;
    }
    if (--s_agent_refs > 0) {
        return VEXLIN_SUCCESS;
    }
    cleanup_sdk_agent();
    reset_agent_info();
    return VEXLIN_SUCCESS;
}

vexlin_result_t vexlin_internal_unload_nolock() {
    if (s_library_refs == 0) {
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO,
                         "Cannot uninitialize %s because it has not been initialized. (the agent module is not loaded)",
                         kProductName);
        return VEXLIN_ERROR_NOT_INITIALIZED;
    }
    if (s_library_refs > 1) {
        --s_library_refs;
        return VEXLIN_SUCCESS;
    }
    // Both counts move together through initialize and shutdown; this only
    // guards against an agent left behind should they ever part.
    if (s_agent_refs != 0) {  // GCOVR_EXCL_START
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_WARNING, "Releasing agent with %u refs...",
                         static_cast<unsigned int>(s_agent_refs));
        s_agent_refs = 0;
        cleanup_sdk_agent();
    }  // GCOVR_EXCL_STOP
    cleanup_sdk_dll();
    return VEXLIN_SUCCESS;
}

}  // namespace

vexlin_result_t vexlin_initialize(void) { return vexlin_initialize_2(0); }

vexlin_result_t vexlin_initialize_2(vexlin_uint32_t init_flags) {
    vexlin_result_t rc = prepare_init();
    if (rc != VEXLIN_SUCCESS) {  // GCOVR_EXCL_BR_LINE (fork children only)
        return rc;               // GCOVR_EXCL_LINE
    }
    const int cancel_state = vexlin_locked_section_enter(&s_vexlin_init_spinlock);
    vexlin_xchar_t init_flags_variable[kInitFlagsVariableLength];
    (void)snprintf(init_flags_variable, sizeof(init_flags_variable), "VEXLIN_INTERNAL_CA627667445C40F0_INIT_FLAGS=%u",
                   static_cast<unsigned int>(init_flags));
    rc = vexlin_stub_set_variable(init_flags_variable, 1);
    if (rc == VEXLIN_SUCCESS) {
        rc = vexlin_internal_load_nolock();
        if (rc == VEXLIN_SUCCESS) {
            rc = vexlin_internal_initialize_nolock();
            if (rc != VEXLIN_SUCCESS) {
                (void)vexlin_internal_unload_nolock();
            }
        }
    }
    vexlin_locked_section_leave(&s_vexlin_init_spinlock, cancel_state);
    return rc;
}

vexlin_result_t vexlin_shutdown(void) {
    vexlin_result_t rc = prepare_init();
    if (rc != VEXLIN_SUCCESS) {  // GCOVR_EXCL_BR_LINE (fork children only)
        return rc;               // GCOVR_EXCL_LINE
    }
    const int cancel_state = vexlin_locked_section_enter(&s_vexlin_init_spinlock);
    (void)vexlin_internal_shutdown_nolock();
    rc = vexlin_internal_unload_nolock();
    vexlin_locked_section_leave(&s_vexlin_init_spinlock, cancel_state);
    return rc;
}

const vexlin_xchar_t* vexlin_agent_get_version_string(void) {
    return __atomic_load_n(&s_last_loaded_agent_version, __ATOMIC_ACQUIRE);
}

void vexlin_stub_get_agent_load_info(vexlin_bool_t* agent_found, vexlin_bool_t* agent_compatible) {
    const vexlin_init_stage stage = __atomic_load_n(&s_last_reached_init_stage, __ATOMIC_ACQUIRE);
    if (agent_found != nullptr) {
        *agent_found = stage != INIT_STAGE_NO_AGENT ? 1 : 0;
    }
    if (agent_compatible != nullptr) {
        *agent_compatible = stage == INIT_STAGE_COMPATIBLE_AGENT ? 1 : 0;
    }
}

void vexlin_stub_get_version(vexlin_stub_version_t* out_stub_version) {
    if (out_stub_version != nullptr) {
        out_stub_version->version_major = kStubVersionMajor;
        out_stub_version->version_minor = kStubVersionMinor;
        out_stub_version->version_patch = kStubVersionPatch;
    }
}

vexlin_result_t vexlin_internal_get_ex_api(const vexlin_xchar_t* name, vexlin_uint32_t interface_id,
                                           const void** out_ftable) {
    // An unsafe fork child must not call into a module it may not hold, nor
    // wait for the lock a thread of its parent held.
    vexlin_result_t rc = prepare_init();
    if (rc != VEXLIN_SUCCESS) {  // GCOVR_EXCL_BR_LINE (fork children only)
        return rc;               // GCOVR_EXCL_LINE
    }
    const int cancel_state = vexlin_locked_section_enter(&s_vexlin_init_spinlock);
    rc = vexlin_internal_get_ex_api_nolock(name, interface_id, out_ftable);
    vexlin_locked_section_leave(&s_vexlin_init_spinlock, cancel_state);
    return rc;
}

vexlin_result_t vexlin_internal_get_ex_api_nolock(const vexlin_xchar_t* name, vexlin_uint32_t interface_id,
                                                  const void** out_ftable) {
    vexlin_xchar_t message[kMessageLength];
    message[0] = '\0';
    if (s_get_library_function == nullptr) {
        return VEXLIN_ERROR_NOT_INITIALIZED;
    }
    const vexlin_xchar_t* display_name = name != nullptr ? name : "(unnamed)";
    // A refusing module may still have written a pointer; only a success
    // with a table counts.
    const void* table = nullptr;
    vexlin_result_t rc = request_table(s_get_library_function, interface_id, VEXLIN_ABI_LEVEL_EX, &table, message);
    if (rc == VEXLIN_SUCCESS && table == nullptr) {
        rc = VEXLIN_ERROR_INVALID_AGENT_BINARY;
    }
    if (rc == VEXLIN_SUCCESS) {
        publish(out_ftable, table);
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_INFO, "Loaded extension API %s.", display_name);
    } else {
        result_text_t text;
        vexlin_stub_logf(VEXLIN_LOGGING_LEVEL_SEVERE, "Failed to load extension API %s: %s", display_name,
                         message_or_result_text(message, rc, &text));
    }
    return rc;
}

void vexlin_internal_clear_ex_tables(void) {
    vexlin_ex_metrics_clear_table();
    vexlin_ex_span_clear_table();
    vexlin_ex_techtype_clear_table();
    vexlin_ex_tracer_ext_clear_table();
    vexlin_ex_serverless_clear_table();
}

// Runs only in fork children (see atfork_child).
// GCOVR_EXCL_START
void vexlin_main_atfork_child(void) {
    // The lock word tells whether a thread of the parent was inside
    // initialize or shutdown; that state is meaningless here.
    if (vexlin_atomic_load_acquire(&s_vexlin_init_spinlock.locked) != 0) {
        vexlin_internal_detach();
        s_library_ptr = nullptr;
        vexlin_atomic_store_release(&s_is_unsafe_fork_child, 1);
    }
}
// GCOVR_EXCL_STOP
