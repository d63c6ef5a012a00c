// A thin layer over the dynamic loader with one error discipline: a result
// code, an optional message buffer that gets the loader's own text or the
// text of the code, and the loader's pending error cleared around each use.
#ifndef VEXLIN_DLL_H
#define VEXLIN_DLL_H

#include "vexlin/vexlin_common.h"

typedef void* vexlin_dll_handle_t;
typedef void (*vexlin_function_ptr_t)(void);

// *is_unexpected_error ends 1 exactly when the load failed before the loader
// was asked (bad arguments, out of memory).
vexlin_result_t vexlin_dll_load(vexlin_dll_handle_t* handle_ptr, const vexlin_xchar_t* dll_path,
                                vexlin_xchar_t* error_buffer, vexlin_size_t error_buffer_length,
                                vexlin_bool_t* is_unexpected_error);

vexlin_result_t vexlin_dll_get_symbol(vexlin_dll_handle_t handle, const char* symbol_name,
                                      vexlin_function_ptr_t* out_symbol, vexlin_xchar_t* error_buffer,
                                      vexlin_size_t error_buffer_length);

vexlin_result_t vexlin_dll_free(vexlin_dll_handle_t* handle_ptr);

#endif  // VEXLIN_DLL_H
