// What the trace exchanges (TP? and T?) share: their messages in the request cycle, and
// the header that begins every T? reply.
#pragma once

#include <stdint.h>

#include "link/Exchange.h"

/* The messages of one trace command: a retry from attempt 1 on (64, with the attempt), a
 * failed log-on (32), a failed send (64) and a failed receive (64). */
struct TraceLines {
    const char *retry;
    const char *logOnFailed;
    const char *sendFailed;
    const char *receiveFailed;
};

/* The context of a trace exchange: its lines and the request text, set before the run. */
struct TraceExchange {
    const TraceLines *lines;
    char request[64];
    char *clearBefore; /* a reply buffer cleared at every attempt, or null */
    uint32_t clearSize;
    void *command;     /* the command's own results */
};

void TraceAttempt(RequestCycle *cycle, int attempt);
void TraceLogOnFailed(RequestCycle *cycle);
void TraceSendFailed(RequestCycle *cycle, int attempt);
void TraceReceiveFailed(RequestCycle *cycle, int attempt);
/* Copies the context's request text into the payload. */
uint32_t BuildTraceRequest(StationExchange *exchange);

/* The 11 fields of a T? reply's header. */
struct TraceHeader {
    unsigned trace;
    char mark1, mark2;
    unsigned period; /* seconds between samples */
    unsigned day, month, year, hour, minute, second;
};
/* Reads the header at the start of the reply (blanks already turned into '0'); false when
 * fewer than 11 fields are there. */
bool ReadTraceHeader(const char *reply, TraceHeader *header);
/* Seconds since 1970 of a local date and time; false outside 1970..2038. */
bool TraceTime(int year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second,
               uint32_t *seconds);
