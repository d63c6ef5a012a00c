// The user-variable store, "--kx_" command-line arguments, and the
// preparation of the configuration and the agent's argument list. Every
// access to the store happens under its spin lock; nothing here logs while
// holding it.
#include "vexlin_args.h"

#include <stdint.h>
#include <stdlib.h>

#include "vexlin/internal/vexlin_loader_abi.h"
#include "vexlin/vexlin_init.h"
#include "vexlin_fork_handlers.h"
#include "vexlin_stub_log.h"
#include "vexlin_util.h"

namespace {

vexlin_xstr_list_t s_user_args = {nullptr, 0, 0};
vexlin_spinlock_t s_user_args_lock = {0};

constexpr vexlin_size_t kWholeName = SIZE_MAX;
constexpr vexlin_size_t kNotFound = SIZE_MAX;
constexpr vexlin_xchar_t kSdkArgPrefix[] = "--kx_";
constexpr vexlin_size_t kSdkArgPrefixLength = sizeof(kSdkArgPrefix) - 1;

struct vexlin_variable_definition_t {
    const vexlin_xchar_t* user_var_name;
    const vexlin_xchar_t* env_var_name;
    const vexlin_xchar_t* default_value;
};

constexpr vexlin_variable_definition_t s_agentactive_def = {"agentactive", "KX_AGENTACTIVE", "true"};
constexpr vexlin_variable_definition_t s_agentlibrary_def = {"agentlibrary", "KX_AGENTLIBRARY", ""};
constexpr vexlin_variable_definition_t s_loglevelsdk_def = {"loglevelsdk", "KX_LOGLEVELSDK", ""};
// Not private: a user variable "home" also reaches the agent module.
constexpr vexlin_variable_definition_t s_home_def = {"home", "KX_HOME", ""};

constexpr const vexlin_variable_definition_t* s_variable_defs[] = {&s_agentactive_def, &s_agentlibrary_def,
                                                                   &s_loglevelsdk_def};

struct bool_word {
    const vexlin_xchar_t* word;
    vexlin_bool_t value;
};

constexpr bool_word kBoolWords[] = {{"true", 1}, {"false", 0}, {"on", 1}, {"off", 0},
                                    {"yes", 1},  {"no", 0},    {"1", 1},  {"0", 0}};

constexpr vexlin_xchar_t kDefaultAgentPathPattern[] = "%0%1agent/%2/%3";

// A stored entry matches a name of length n when its first n characters equal
// the name ignoring case and its character n is "=".
vexlin_bool_t variable_name_equals(const vexlin_xchar_t* var, const vexlin_xchar_t* name, vexlin_size_t name_len) {
    if (name_len == kWholeName) {
        name_len = vexlin_xstrlen(name);
    }
    // Entries of the store are never NULL; no caller passes one.
    if (var == nullptr) {  // GCOVR_EXCL_BR_LINE
        return 0;          // GCOVR_EXCL_LINE
    }
    if (vexlin_xstrnicmp(var, name, name_len) != 0) {
        return 0;
    }
    return var[name_len] == '=' ? 1 : 0;
}

const vexlin_xchar_t* get_value_ptr(const vexlin_xchar_t* var) {
    // Callers hand over non-empty texts; the check keeps the helper total.
    if (var == nullptr || var[0] == '\0') {  // GCOVR_EXCL_BR_LINE
        return nullptr;                      // GCOVR_EXCL_LINE
    }
    const vexlin_xchar_t* equals = vexlin_xstrchr(var, '=');
    return equals != nullptr ? equals + 1 : nullptr;
}

vexlin_size_t find_variable(vexlin_xstr_list_t* args, const vexlin_xchar_t* name, vexlin_size_t name_len) {
    // Names come from the definitions or from a variable text, never empty.
    if (name[0] == '\0') {  // GCOVR_EXCL_BR_LINE
        return kNotFound;   // GCOVR_EXCL_LINE
    }
    if (name_len == kWholeName) {
        name_len = vexlin_xstrlen(name);
    }
    for (vexlin_size_t i = 0; i < args->count; ++i) {
        if (variable_name_equals(args->strings[i], name, name_len)) {
            return i;
        }
    }
    return kNotFound;
}

vexlin_result_t vexlin_stub_set_variable_nolock(const vexlin_xchar_t* var, const vexlin_xchar_t* value,
                                                vexlin_bool_t replace_existing) {
    const vexlin_size_t name_len = static_cast<vexlin_size_t>(value - 1 - var);
    const vexlin_size_t index = find_variable(&s_user_args, var, name_len);
    if (index == kNotFound) {
        return vexlin_xstr_list_append(&s_user_args, var);
    }
    if (!replace_existing) {
        return VEXLIN_ERROR_ENTRY_EXISTS;
    }
    return vexlin_xstr_set(&s_user_args.strings[index], var);
}

// The precedence: user variable, then environment, then default. A source
// that is set hides the ones below it, even when empty.
const vexlin_xchar_t* get_vexlin_variable_value(vexlin_xstr_list_t* args,
                                                const vexlin_variable_definition_t* definition) {
    if (definition->user_var_name != nullptr && definition->user_var_name[0] != '\0') {
        const vexlin_size_t index = find_variable(args, definition->user_var_name, kWholeName);
        if (index != kNotFound) {
            return get_value_ptr(args->strings[index]);
        }
    }
    if (definition->env_var_name != nullptr) {
        const vexlin_xchar_t* env_value = getenv(definition->env_var_name);
        if (env_value != nullptr) {
            return env_value;
        }
    }
    return definition->default_value;
}

vexlin_bool_t get_vexlin_bool_variable_value(vexlin_xstr_list_t* args, const vexlin_variable_definition_t* definition) {
    const vexlin_xchar_t* value = get_vexlin_variable_value(args, definition);
    if (value != nullptr) {
        for (const bool_word& entry : kBoolWords) {
            if (vexlin_xstricmp(value, entry.word) == 0) {
                return entry.value;
            }
        }
    }
    return vexlin_xstricmp(definition->default_value, "true") == 0 ? 1 : 0;
}

vexlin_bool_t is_vexlin_private_argument(const vexlin_xchar_t* argument) {
    for (const vexlin_variable_definition_t* definition : s_variable_defs) {
        if (variable_name_equals(argument, definition->user_var_name, kWholeName)) {
            return 1;
        }
    }
    return 0;
}

vexlin_bool_t ends_with_directory_separator(const vexlin_xchar_t* path) {
    const vexlin_size_t length = vexlin_xstrlen(path);
    return length != 0 && path[length - 1] == '/' ? 1 : 0;
}

// Reports whether the environment changed between sizing and filling the
// path, so the caller can log it once the store's lock is released.
vexlin_result_t get_default_agent_path(vexlin_xchar_t** agent_path, const vexlin_xchar_t* home) {
    if (home == nullptr || home[0] == '\0') {
        return vexlin_xstr_set(agent_path, "");
    }
    const vexlin_xchar_t* replacements[4] = {home, ends_with_directory_separator(home) ? "" : "/", "lib",
                                             VEXLIN_ABI_DEFAULT_MODULE_FILE};
    const vexlin_size_t buffer_length = vexlin_xstr_expand(nullptr, 0, kDefaultAgentPathPattern, replacements, 4);
    vexlin_xchar_t* buffer = vexlin_xstr_alloc(buffer_length);
    if (buffer == nullptr) {
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
    const vexlin_size_t length2 = vexlin_xstr_expand(buffer, buffer_length, kDefaultAgentPathPattern, replacements, 4);
    if (length2 != buffer_length) {
        free(buffer);
        return VEXLIN_ERROR_UNEXPECTED;
    }
    vexlin_xstr_free(agent_path);
    *agent_path = buffer;
    return VEXLIN_SUCCESS;
}

vexlin_result_t vexlin_args_prepare_nolock_nocleanup(vexlin_args_t* args) {
    args->loglevelsdk = vexlin_parse_logging_level_name(get_vexlin_variable_value(&s_user_args, &s_loglevelsdk_def));
    args->agentactive = get_vexlin_bool_variable_value(&s_user_args, &s_agentactive_def);
    vexlin_result_t rc =
        vexlin_xstr_set(&args->agentlibrary, get_vexlin_variable_value(&s_user_args, &s_agentlibrary_def));
    if (rc != VEXLIN_SUCCESS) {
        return rc;
    }
    if (args->agentlibrary == nullptr || args->agentlibrary[0] == '\0') {
        const vexlin_xchar_t* home = get_vexlin_variable_value(&s_user_args, &s_home_def);
        rc = get_default_agent_path(&args->agentlibrary, home);
        if (rc != VEXLIN_SUCCESS) {
            return rc;
        }
    }
    for (vexlin_size_t i = 0; i < s_user_args.count; ++i) {
        const vexlin_xchar_t* entry = s_user_args.strings[i];
        if (is_vexlin_private_argument(entry)) {
            continue;
        }
        rc = vexlin_xstr_list_append(&args->agent_args, entry);
        if (rc != VEXLIN_SUCCESS) {
            return rc;
        }
    }
    return VEXLIN_SUCCESS;
}

}  // namespace

vexlin_result_t vexlin_stub_set_variable(const vexlin_xchar_t* var, vexlin_bool_t replace_existing) {
    if (var == nullptr || var[0] == '\0') {
        return VEXLIN_SUCCESS;
    }
    const vexlin_xchar_t* value = get_value_ptr(var);
    if (value == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    const int cancel_state = vexlin_locked_section_enter(&s_user_args_lock);
    const vexlin_result_t rc = vexlin_stub_set_variable_nolock(var, value, replace_existing);
    vexlin_locked_section_leave(&s_user_args_lock, cancel_state);
    return rc;
}

void vexlin_stub_free_variables(void) {
    const int cancel_state = vexlin_locked_section_enter(&s_user_args_lock);
    vexlin_xstr_list_free(&s_user_args);
    vexlin_locked_section_leave(&s_user_args_lock, cancel_state);
}

vexlin_bool_t vexlin_stub_is_sdk_cmdline_arg(const vexlin_xchar_t* arg) {
    if (arg == nullptr) {
        return 0;
    }
    return vexlin_xstrncmp(arg, kSdkArgPrefix, kSdkArgPrefixLength) == 0 ? 1 : 0;
}

vexlin_result_t vexlin_stub_process_cmdline_arg(const vexlin_xchar_t* arg, vexlin_bool_t replace_existing) {
    if (!vexlin_stub_is_sdk_cmdline_arg(arg)) {
        return VEXLIN_SUCCESS;
    }
    return vexlin_stub_set_variable(arg + kSdkArgPrefixLength, replace_existing);
}

vexlin_result_t vexlin_stub_process_cmdline_args(int argc, const vexlin_xchar_t* const* argv,
                                                 vexlin_bool_t replace_existing) {
    if (argc == 0) {
        return VEXLIN_SUCCESS;
    }
    if (argv == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    vexlin_result_t combined_rc = VEXLIN_SUCCESS;
    // argv[0] is the program name and never interpreted.
    for (int i = 1; i < argc; ++i) {
        const vexlin_result_t rc = vexlin_stub_process_cmdline_arg(argv[i], replace_existing);
        if (rc != VEXLIN_SUCCESS && (combined_rc == VEXLIN_SUCCESS || combined_rc == VEXLIN_ERROR_ENTRY_EXISTS)) {
            combined_rc = rc;
        }
    }
    return combined_rc;
}

vexlin_result_t vexlin_stub_strip_sdk_cmdline_args(int* argc, vexlin_xchar_t** argv) {
    // Every vacated slot points here, so the vector stays a vector of strings.
    static vexlin_xchar_t empty_string[2] = {0, 0};
    if (argc == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    if (*argc == 0) {
        return VEXLIN_SUCCESS;
    }
    if (argv == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    int write_index = 1;
    for (int read_index = 1; read_index < *argc; ++read_index) {
        if (!vexlin_stub_is_sdk_cmdline_arg(argv[read_index])) {
            argv[write_index++] = argv[read_index];
        }
    }
    for (int i = write_index; i < *argc; ++i) {
        argv[i] = empty_string;
    }
    *argc = write_index;
    return VEXLIN_SUCCESS;
}

vexlin_result_t vexlin_args_free(vexlin_args_t* args) {
    if (args == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    vexlin_xstr_free(&args->agentlibrary);
    vexlin_xstr_list_free(&args->agent_args);
    args->agentactive = 0;
    args->loglevelsdk = -1;
    return VEXLIN_SUCCESS;
}

vexlin_result_t vexlin_args_prepare(vexlin_args_t* args) {
    if (args == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    (void)vexlin_args_free(args);
    const int cancel_state = vexlin_locked_section_enter(&s_user_args_lock);
    const vexlin_result_t rc = vexlin_args_prepare_nolock_nocleanup(args);
    vexlin_locked_section_leave(&s_user_args_lock, cancel_state);
    if (rc != VEXLIN_SUCCESS) {
        // Logged only now: a logging callback may use the variable functions.
        if (rc == VEXLIN_ERROR_UNEXPECTED) {
            vexlin_stub_log(VEXLIN_LOGGING_LEVEL_SEVERE,
                            "Environment variables changed while building agent path string.");
        }
        (void)vexlin_args_free(args);
    }
    return rc;
}

void vexlin_args_atfork_prepare(void) { vexlin_spinlock_lock(&s_user_args_lock); }

void vexlin_args_atfork_parent(void) { vexlin_spinlock_unlock(&s_user_args_lock); }

// Runs only in fork children, which leave with _exit and so never write
// their coverage; the fork tests check what it does.
void vexlin_args_atfork_child(void) { vexlin_spinlock_unlock(&s_user_args_lock); }  // GCOVR_EXCL_LINE
