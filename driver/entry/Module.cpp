// The loadable module: the driver's objects with DrvMain as the only exported symbol
// (see exports.map). Loading does no work; there is nothing to do per thread on POSIX.
#include "entry/Entry.h"
