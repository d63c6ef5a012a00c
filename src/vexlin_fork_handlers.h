// Process-wide fork handlers, registered once on first use.
#ifndef VEXLIN_FORK_HANDLERS_H
#define VEXLIN_FORK_HANDLERS_H

#include "vexlin_util.h"

// Every section that holds one of the library's locks enters and leaves
// through these two. Entering registers the fork handlers first, so a fork
// during the section is always seen, and keeps the thread from being
// cancelled while it holds the lock, which would stay taken forever.
// Entering returns the caller's cancellation state; leaving restores it.
int vexlin_locked_section_enter(vexlin_spinlock_t* lock);
void vexlin_locked_section_leave(vexlin_spinlock_t* lock, int cancel_state);

#endif  // VEXLIN_FORK_HANDLERS_H
