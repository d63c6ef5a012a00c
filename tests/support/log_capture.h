// The console agent's tests include the harness by this name.
#include "vexlin_test.h"
