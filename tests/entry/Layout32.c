/* The records as a 32-bit host compiled in C or C++ sees them: their static_asserts check the offsets. */
#include "entry/Records.h"

_Static_assert(sizeof(void *) == 4, "this check is meant for a 32-bit target");
