// The current-states reader: a worker thread that has the host re-read a station's gates.
#pragma once

#include <stdint.h>

#include "config/Instance.h"

/* 0 started, 1 the thread did not start, 3 the station's states are already being read. */
uint32_t StartReadingCurrentStates(RequestBlock *request, uint32_t disconnectAfterRead);
void ReadCurrentStatesThread(void *instance);
/* The reader's body for a station named by the caller, on the caller's thread (the
 * read-all sequence): unlike ReadCurrentStatesThread it does not depend on statesStation,
 * which another start may change at any moment. */
void ReadStationCurrentStates(DriverInstance *instance, uint32_t station);
