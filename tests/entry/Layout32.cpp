// Compiled for a 32-bit target only: the records' static_asserts check the 32-bit offsets.
#include "entry/Records.h"

static_assert(sizeof(void *) == 4, "this check is meant for a 32-bit target");
