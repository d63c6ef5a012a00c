// Opening, searching and closing shared libraries.
#include "vexlin_dll.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>

#include "vexlin_xstr.h"

namespace {

bool buffer_usable(const vexlin_xchar_t* buffer, vexlin_size_t length) { return buffer != nullptr && length != 0; }

void start_message(vexlin_xchar_t* buffer, vexlin_size_t length) {
    if (buffer_usable(buffer, length)) {
        buffer[0] = '\0';
    }
}

// The loader's own text wins; the text of the code fills an empty buffer.
void finish_message(vexlin_result_t result, vexlin_xchar_t* buffer, vexlin_size_t length) {
    if (buffer_usable(buffer, length) && buffer[0] == '\0') {
        vexlin_stub_xstrerror(result, buffer, length);
    }
}

void take_loader_message(vexlin_xchar_t* buffer, vexlin_size_t length) {
    const char* message = dlerror();
    if (message != nullptr) {
        vexlin_xstrncpy_s(buffer, message, length);
    }
    (void)dlerror();
}

void clear_loader_error() {
    (void)dlerror();
    (void)dlerror();
}

}  // namespace

vexlin_result_t vexlin_dll_load(vexlin_dll_handle_t* handle_ptr, const vexlin_xchar_t* dll_path,
                                vexlin_xchar_t* error_buffer, vexlin_size_t error_buffer_length,
                                vexlin_bool_t* is_unexpected_error) {
    start_message(error_buffer, error_buffer_length);
    *is_unexpected_error = 1;
    vexlin_result_t result = VEXLIN_ERROR_INVALID_ARGUMENT;
    if (handle_ptr != nullptr) {
        // Reloading into the same variable must not leak the old library.
        (void)vexlin_dll_free(handle_ptr);
        if (dll_path != nullptr && dll_path[0] != '\0') {
            vexlin_xchar_t* path_copy = vexlin_xstrdup(dll_path);
            if (path_copy == nullptr) {
                result = VEXLIN_ERROR_OUT_OF_MEMORY;
            } else {
                (void)dlerror();
                errno = 0;
                *handle_ptr = dlopen(path_copy, RTLD_NOW);
                const int saved_errno = errno;
                free(path_copy);
                if (*handle_ptr != nullptr) {
                    clear_loader_error();
                    result = VEXLIN_SUCCESS;
                } else {
                    take_loader_message(error_buffer, error_buffer_length);
                    result = saved_errno != 0 ? saved_errno : VEXLIN_ERROR_GENERIC;
                }
                *is_unexpected_error = 0;
            }
        }
    }
    finish_message(result, error_buffer, error_buffer_length);
    return result;
}

vexlin_result_t vexlin_dll_get_symbol(vexlin_dll_handle_t handle, const char* symbol_name,
                                      vexlin_function_ptr_t* out_symbol, vexlin_xchar_t* error_buffer,
                                      vexlin_size_t error_buffer_length) {
    start_message(error_buffer, error_buffer_length);
    vexlin_result_t result = VEXLIN_ERROR_INVALID_ARGUMENT;
    if (out_symbol != nullptr) {
        *out_symbol = nullptr;
        if (handle != nullptr) {
            (void)dlerror();
            // A stale errno must not pass for the lookup's own.
            errno = 0;
            void* symbol = dlsym(handle, symbol_name);
            const int saved_errno = errno;
            if (symbol != nullptr) {
                clear_loader_error();
                // POSIX guarantees object and function pointers convert.
                *out_symbol = reinterpret_cast<vexlin_function_ptr_t>(symbol);
                result = VEXLIN_SUCCESS;
            } else {
                take_loader_message(error_buffer, error_buffer_length);
                result = saved_errno != 0 ? saved_errno : ENOENT;
            }
        }
    }
    finish_message(result, error_buffer, error_buffer_length);
    return result;
}

vexlin_result_t vexlin_dll_free(vexlin_dll_handle_t* handle_ptr) {
    if (handle_ptr == nullptr) {
        return VEXLIN_ERROR_INVALID_ARGUMENT;
    }
    vexlin_dll_handle_t handle = *handle_ptr;
    if (handle == nullptr) {
        return VEXLIN_SUCCESS;
    }
    *handle_ptr = nullptr;
    const int rc = dlclose(handle);
    clear_loader_error();
    return rc;
}
