// A test-only allocator shim: the executable that links it replaces malloc,
// calloc, realloc and free, counts allocations, keeps track of the live ones,
// and can make the n-th allocation from now fail.
#ifndef VEXLIN_TESTS_ALLOC_SHIM_H
#define VEXLIN_TESTS_ALLOC_SHIM_H

#include <stddef.h>

namespace alloc_shim {

// Starts counting; the n-th allocation from now fails (n >= 1), or none when
// n is 0.
void arm(long n);
// Stops counting and failing.
void disarm();
// Allocations attempted while armed, failed one included.
long attempts();
bool failure_fired();
// Blocks obtained through the shim and not yet freed.
long live_blocks();
// Non-NULL blocks freed while armed.
long frees();
// While armed, calls `hook` just before the n-th allocation from the last
// arm() is served, e.g. to change what the code under test reads between
// two steps. disarm() drops a hook that has not run.
void on_attempt(long n, void (*hook)());

}  // namespace alloc_shim

#endif  // VEXLIN_TESTS_ALLOC_SHIM_H
