// Worker threads of a station: the current-states reader, the journal reader and the
// read-all sequence start the same way. The busy flag of the reading is claimed before the
// thread starts, so a second start is refused from the first moment and a fast worker that
// sets and clears its flag can never be missed; the thread gets its own copy of the
// request when it needs one, a stack of 61440 bytes, and registers with the instance so
// that EndDrv waits for it.
#pragma once

#include <atomic>
#include <stdint.h>

#include "config/Instance.h"

enum { REQUEST_COPY_GAS_SIZE = 256 };

/* A request that a worker thread owns: one heap block with the request, its gate, its
 * 4-byte value area and its gate address string, the pointers aimed at the copies. */
struct RequestCopy {
    RequestBlock request;
    GateRequest gate;
    unsigned char value[4];
    char gas[REQUEST_COPY_GAS_SIZE];
};

/* Null when out of memory. The value area takes the first 4 bytes of the request's. */
RequestCopy *MakeRequestCopy(const RequestBlock *request);
void FreeRequestCopy(RequestCopy *copy);

typedef std::atomic<uint32_t> StationRecord::*BusyFlag;

struct WorkerStart {
    BusyFlag busy;
    const char *undeclaredLine; /* "%d": the station is not declared; result 1 */
    const char *busyLine;       /* "%d": the reading already runs; result 3 */
    const char *mallocLine;     /* the copy could not be made; result 1. Null: no copy */
    const char *threadLine;     /* "%u": the thread did not start; result 1 */
    /* Optional: called once the start is certain to go ahead, before the thread starts. */
    void (*prepare)(DriverInstance *instance, uint32_t station, uint32_t option);
    /* The thread's body; it clears the busy flag and frees the copy itself. */
    void (*body)(DriverInstance *instance, uint32_t station, RequestCopy *copy);
};

/* 0 started, 1 not started (logged), 3 the reading already runs for the station (logged).
 * `option` is handed to prepare. */
uint32_t StartWorker(RequestBlock *request, const WorkerStart *start, uint32_t option);

/* Claims a busy flag: true when it was free and is now set. */
bool ClaimBusy(std::atomic<uint32_t> &busy);
