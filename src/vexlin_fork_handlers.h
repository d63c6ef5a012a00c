// Process-wide fork handlers, registered once on first use.
#ifndef VEXLIN_FORK_HANDLERS_H
#define VEXLIN_FORK_HANDLERS_H

// Called before any of the library's locks is taken.
void vexlin_register_fork_handlers(void);

#endif  // VEXLIN_FORK_HANDLERS_H
