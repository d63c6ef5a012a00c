// The allocator shim; see alloc_shim.h. glibc lets an executable replace
// malloc, and its own functions (strdup among them) allocate through the
// replacement too.
#include "alloc_shim.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void __libc_free(void* ptr);
}

namespace {

bool g_armed = false;
long g_fail_at = 0;
long g_attempts = 0;
bool g_fired = false;
long g_live = 0;
long g_frees = 0;
long g_hook_at = 0;
void (*g_hook)() = nullptr;

// Live blocks, in an open-addressing set, so frees of blocks the shim never
// saw do not count.
constexpr size_t kSlots = 1 << 16;
uintptr_t g_blocks[kSlots];
constexpr uintptr_t kTombstone = 1;

size_t slot_of(uintptr_t p) { return (p >> 4) * 2654435761u % kSlots; }

void remember(void* ptr) {
    if (ptr == nullptr) return;
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    for (size_t i = slot_of(p);; i = (i + 1) % kSlots) {
        if (g_blocks[i] == 0 || g_blocks[i] == kTombstone) {
            g_blocks[i] = p;
            ++g_live;
            return;
        }
    }
}

void forget(void* ptr) {
    if (ptr == nullptr) return;
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    for (size_t i = slot_of(p); g_blocks[i] != 0; i = (i + 1) % kSlots) {
        if (g_blocks[i] == p) {
            g_blocks[i] = kTombstone;
            --g_live;
            return;
        }
    }
}

// The test is single-threaded while armed.
bool next_fails() {
    if (!g_armed) return false;
    ++g_attempts;
    if (g_hook != nullptr && g_attempts == g_hook_at) {
        void (*hook)() = g_hook;
        g_hook = nullptr;
        hook();
    }
    if (g_fail_at != 0 && g_attempts == g_fail_at) {
        g_fired = true;
        return true;
    }
    return false;
}

}  // namespace

namespace alloc_shim {

void arm(long n) {
    g_attempts = 0;
    g_frees = 0;
    g_fired = false;
    g_fail_at = n;
    g_armed = true;
}

void disarm() {
    g_armed = false;
    g_hook = nullptr;
}
long attempts() { return g_attempts; }
bool failure_fired() { return g_fired; }
long live_blocks() { return g_live; }
long frees() { return g_frees; }

void on_attempt(long n, void (*hook)()) {
    g_hook_at = n;
    g_hook = hook;
}

}  // namespace alloc_shim

extern "C" {

void* malloc(size_t size) {
    if (next_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __libc_malloc(size);
    remember(p);
    return p;
}

void* calloc(size_t count, size_t size) {
    if (next_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __libc_calloc(count, size);
    remember(p);
    return p;
}

void* realloc(void* ptr, size_t size) {
    if (next_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __libc_realloc(ptr, size);
    if (p != nullptr) {
        forget(ptr);
        remember(p);
    }
    return p;
}

void free(void* ptr) {
    if (g_armed && ptr != nullptr) ++g_frees;
    forget(ptr);
    __libc_free(ptr);
}

}  // extern "C"
