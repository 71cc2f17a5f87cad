// One exchange with a station, as every command makes it: the bus mutex, the log-on that
// transparent mode needs, the telegram built under the mutex, the request cycle with the
// command's own messages and reply check, and the mutex given back.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/Instance.h"
#include "link/Telegram.h"
#include "platform/Compiler.h"

/* Appends to the telegram in `buffer` (the instance's send buffer, with room left for the
 * checksum and the CR); false, with the telegram unchanged, when it would not fit. */
bool AppendFormat(char *buffer, size_t *length, const char *format, ...) TRS_PRINTF(3, 4);

struct StationExchange {
    /* The request served. Its station is the cycle's; with copyHostRequest its hostRequest
     * becomes hostRequestActive (a broken connection then ends at once). */
    RequestBlock *request;
    bool copyHostRequest;
    const char *gas; /* for the lines */
    /* Optional: an undeclared station is refused with a line naming this operation. */
    const char *undeclaredOperation;
    /* Optional: log on first when a secondary station holds the line in transparent mode,
     * with this line when that fails. */
    const char *transparentFailed;
    /* Optional: builds the telegram into cycle.payload under the bus mutex and sets its
     * length; 0, or the result to give up with. */
    uint32_t (*build)(StationExchange *exchange);
    RequestCycle cycle; /* instance, station, reply buffer, limit, hooks and context */
};

/* Runs the exchange and returns its result: the cycle's, the build's, InitStation's for a
 * failed transparent-mode log-on, 1 for an undeclared station, 2 without the bus mutex. */
uint32_t RunStationExchange(StationExchange *exchange);

/* The three lines of a status reply that is not a plain success. Each is a format that
 * takes the attempt number (for `refused`, the status text first), then the gas. */
struct StatusLines {
    const char *missing;    /* no "STATUT" in the reply */
    const char *unreadable; /* no number behind it */
    const char *refused;    /* a status other than 0 */
    bool refusedCountsDown; /* `refused` names the attempts left (4 - attempt) */
};

/* True when the reply holds status 0; otherwise logs the fitting line (level 32). */
bool CheckStatusReply(const char *reply, const StatusLines *lines, int attempt, const char *gas);
