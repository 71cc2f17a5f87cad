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
/* The same for `count` bytes of text, without formatting: for the telegrams sent on every
 * read. */
bool AppendText(char *buffer, size_t *length, const char *text, size_t count);
/* Writes the decimal digits of `value` (at most 10) to `out`; returns how many. */
size_t FormatUnsigned(char *out, uint32_t value);

struct StationExchange;

/* What kind of exchange a command makes; one constant per command. */
struct ExchangeKind {
    /* Optional: an undeclared station is refused with a line naming this operation. */
    const char *undeclaredOperation;
    /* Optional: log on first when a secondary station holds the line in transparent mode,
     * with this line when that fails. */
    const char *transparentFailed;
    /* The request's hostRequest becomes hostRequestActive: a connection that breaks during
     * the exchange is then ended at once. */
    bool copyHostRequest;
    /* Optional: builds the telegram into cycle.payload under the bus mutex and sets its
     * length; 0, or the result to give up with. */
    uint32_t (*build)(StationExchange *exchange);
    const CycleHooks *hooks;
    uint16_t replyLimit; /* the receive capacity, one more than the longest reply */
};

struct StationExchange {
    RequestBlock *request; /* the request served; its gate names the station */
    const char *gas;       /* for the lines */
    const ExchangeKind *kind;
    RequestCycle cycle;
};

/* Runs one exchange of `kind` for the request's station, with the command's context. The
 * telegram goes into `payload` (default: the instance's send buffer) and the reply into
 * `reply` (default: the instance's reply buffer). Returns the cycle's result, the
 * build's, InitStation's for a failed transparent-mode log-on, 1 for an undeclared
 * station, 2 without the bus mutex. */
uint32_t RunStationExchange(RequestBlock *request, const ExchangeKind *kind, const char *gas, void *context,
                            char *payload = nullptr, char *reply = nullptr);

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
