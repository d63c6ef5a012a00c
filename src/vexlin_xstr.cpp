// Owned strings, string lists, expansion, bounded copies and the texts of
// result codes.
#include "vexlin_xstr.h"

#include <stdint.h>
#include <stdlib.h>

#include "vexlin/vexlin_init.h"

namespace {

struct error_text {
    vexlin_result_t code;
    const vexlin_xchar_t* text;
};

constexpr error_text kErrorTexts[] = {
    {VEXLIN_SUCCESS, "The operation completed successfully."},
    {VEXLIN_ERROR_GENERIC, "Generic error."},
    {VEXLIN_ERROR_INVALID_ARGUMENT, "Invalid argument."},
    {VEXLIN_ERROR_NOT_IMPLEMENTED, "Function not implemented."},
    {VEXLIN_ERROR_NOT_INITIALIZED, "Not initialized."},
    {VEXLIN_ERROR_OUT_OF_MEMORY, "Out of memory."},
    {VEXLIN_ERROR_AGENT_NOT_ACTIVE, "Agent not active."},
    {VEXLIN_ERROR_LOAD_AGENT, "Could not load agent."},
    {VEXLIN_ERROR_INVALID_AGENT_BINARY, "Invalid agent binary."},
    {VEXLIN_ERROR_UNEXPECTED, "Unexpected error."},
    {VEXLIN_ERROR_ENTRY_EXISTS, "The entry already exists."},
    {VEXLIN_ERROR_FEATURE_LEVEL_NOT_SUPPORTED, "Feature level not supported."},
    {VEXLIN_ERROR_INTERFACE_NOT_SUPPORTED, "Interface not supported."},
    {VEXLIN_ERROR_FORK_CHILD, "This process is a fork child."},
};

const vexlin_xchar_t* fixed_error_text(vexlin_result_t code) {
    for (const error_text& entry : kErrorTexts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return nullptr;
}

constexpr vexlin_size_t kMinListLimit = 8;

}  // namespace

const vexlin_xchar_t* vexlin_stub_xstrerror(vexlin_result_t error_code, vexlin_xchar_t* buffer,
                                            vexlin_size_t buffer_length) {
    if (buffer == nullptr || buffer_length == 0) {
        return buffer;
    }
    if (buffer_length == 1) {
        buffer[0] = '\0';
        return buffer;
    }
    const vexlin_xchar_t* text = fixed_error_text(error_code);
    if (text == nullptr) {
        text = strerror(error_code);
        // glibc always has a text ("Unknown error N"); other C libraries may not.
        if (text == nullptr || text[0] == '\0') {  // GCOVR_EXCL_BR_LINE
            text = "Unknown error.";               // GCOVR_EXCL_LINE
        }
    }
    vexlin_xstrncpy_s(buffer, text, buffer_length);
    return buffer;
}

vexlin_xchar_t* vexlin_xstrncpy_s(vexlin_xchar_t* dest, const vexlin_xchar_t* source, size_t num) {
    if (dest == nullptr || num == 0) {
        return dest;
    }
    if (num == 1) {
        dest[0] = '\0';
        return dest;
    }
    strncpy(dest, source != nullptr ? source : "", num - 1);
    dest[num - 1] = '\0';
    return dest;
}

vexlin_xchar_t* vexlin_xstr_alloc(vexlin_size_t net_char_count) {
    if (net_char_count > SIZE_MAX - 3) {
        return nullptr;
    }
    vexlin_xchar_t* buffer = static_cast<vexlin_xchar_t*>(malloc(net_char_count + 1));
    if (buffer != nullptr) {
        buffer[0] = '\0';
    }
    return buffer;
}

vexlin_result_t vexlin_xstr_set(vexlin_xchar_t** string_ptr, const vexlin_xchar_t* str) {
    if (string_ptr == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    vexlin_xchar_t* copy = nullptr;
    // Copy before freeing, so a string may be set to part of itself.
    if (str != nullptr) {
        copy = vexlin_xstrdup(str);
        if (copy == nullptr) {
            return VEXLIN_ERROR_OUT_OF_MEMORY;
        }
    }
    free(*string_ptr);
    *string_ptr = copy;
    return VEXLIN_SUCCESS;
}

void vexlin_xstr_free(vexlin_xchar_t** string_ptr) {
    if (string_ptr != nullptr && *string_ptr != nullptr) {
        free(*string_ptr);
        *string_ptr = nullptr;
    }
}

vexlin_size_t vexlin_xstr_expand(vexlin_xchar_t* buffer, vexlin_size_t buffer_size, const vexlin_xchar_t* input,
                                 const vexlin_xchar_t* const* replacements, vexlin_size_t replacement_count) {
    vexlin_size_t buffer_index = 0;
    auto emit = [&](vexlin_xchar_t c) {
        if (buffer_index < buffer_size) {
            buffer[buffer_index] = c;
        }
        ++buffer_index;
    };
    const vexlin_xchar_t* p = input != nullptr ? input : "";
    for (;;) {
        vexlin_xchar_t c = *p++;
        if (c == '%') {
            c = *p++;
            if (c >= '0' && c <= '9') {
                const vexlin_size_t index = static_cast<vexlin_size_t>(c - '0');
                if (replacements != nullptr && index < replacement_count && replacements[index] != nullptr) {
                    for (const vexlin_xchar_t* r = replacements[index]; *r != '\0'; ++r) {
                        emit(*r);
                    }
                }
                continue;
            }
        }
        emit(c);
        if (c == '\0') {
            break;
        }
    }
    if (buffer_size != 0 && buffer_index >= buffer_size) {
        buffer[buffer_size - 1] = '\0';
    }
    return buffer_index;
}

void vexlin_xstr_list_init(vexlin_xstr_list_t* string_list) {
    string_list->strings = nullptr;
    string_list->count = 0;
    string_list->limit = 0;
}

void vexlin_xstr_list_clear(vexlin_xstr_list_t* string_list) {
    if (string_list == nullptr) {
        return;
    }
    for (vexlin_size_t i = 0; i < string_list->count; ++i) {
        vexlin_xstr_free(&string_list->strings[i]);
    }
    string_list->count = 0;
}

void vexlin_xstr_list_free(vexlin_xstr_list_t* string_list) {
    if (string_list == nullptr) {
        return;
    }
    vexlin_xstr_list_clear(string_list);
    free(string_list->strings);
    vexlin_xstr_list_init(string_list);
}

vexlin_result_t vexlin_xstr_list_grow(vexlin_xstr_list_t* string_list, vexlin_size_t min_limit) {
    if (string_list == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    const vexlin_size_t old_limit = string_list->limit;
    if (old_limit >= min_limit) {
        return VEXLIN_SUCCESS;
    }
    if (old_limit > SIZE_MAX / 2) {
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
    vexlin_size_t new_limit = old_limit * 2;
    if (new_limit < min_limit) {
        new_limit = min_limit;
    }
    if (new_limit < kMinListLimit) {
        new_limit = kMinListLimit;
    }
    if (new_limit > SIZE_MAX / sizeof(vexlin_xchar_t*)) {
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
    void* grown = realloc(string_list->strings, new_limit * sizeof(vexlin_xchar_t*));
    if (grown == nullptr) {
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
    vexlin_xchar_t** strings = static_cast<vexlin_xchar_t**>(grown);
    for (vexlin_size_t i = old_limit; i < new_limit; ++i) {
        strings[i] = nullptr;
    }
    string_list->strings = strings;
    string_list->limit = new_limit;
    return VEXLIN_SUCCESS;
}

vexlin_result_t vexlin_xstr_list_append(vexlin_xstr_list_t* string_list, const vexlin_xchar_t* string) {
    if (string_list == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    if (string_list->count == SIZE_MAX) {
        return VEXLIN_ERROR_OUT_OF_MEMORY;
    }
    vexlin_result_t rc = vexlin_xstr_list_grow(string_list, string_list->count + 1);
    if (rc != VEXLIN_SUCCESS) {
        return rc;
    }
    string_list->strings[string_list->count] = nullptr;
    rc = vexlin_xstr_set(&string_list->strings[string_list->count], string);
    if (rc != VEXLIN_SUCCESS) {
        return rc;
    }
    ++string_list->count;
    return VEXLIN_SUCCESS;
}
