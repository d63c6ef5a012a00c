// Replaces malloc, calloc, realloc and free for the program whose one file
// includes this: glibc lets an executable do so, and its own functions
// (strdup among them) and operator new allocate through the replacement too.
// That file defines first
//   template <typename Allocate> void* ShimAllocate(size_t bytes, Allocate allocate, void* moved);
//     which serves (or refuses) every allocation; `moved` is the block a
//     realloc replaces, else nullptr;
//   void ShimFree(void* ptr);
#ifndef VEXLIN_TESTS_MALLOC_SHIM_H
#define VEXLIN_TESTS_MALLOC_SHIM_H

#include <stddef.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void __libc_free(void* ptr);

void* malloc(size_t size) {
    return ShimAllocate(
        size, [=] { return __libc_malloc(size); }, nullptr);
}
void* calloc(size_t count, size_t size) {
    return ShimAllocate(
        count * size, [=] { return __libc_calloc(count, size); }, nullptr);
}
void* realloc(void* ptr, size_t size) {
    return ShimAllocate(
        size, [=] { return __libc_realloc(ptr, size); }, ptr);
}
void free(void* ptr) {
    ShimFree(ptr);
    __libc_free(ptr);
}
}  // extern "C"

#endif  // VEXLIN_TESTS_MALLOC_SHIM_H
