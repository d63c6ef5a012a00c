// The init unit's hooks for the fork handlers.
#ifndef VEXLIN_INIT_INTERNAL_H
#define VEXLIN_INIT_INTERNAL_H

// Withdraws the agent table and marks the child unusable for initialization when
// the fork happened inside initialize or shutdown.
void vexlin_main_atfork_child(void);

#endif  // VEXLIN_INIT_INTERNAL_H
