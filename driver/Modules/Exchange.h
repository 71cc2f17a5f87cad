// What the read and write paths share: building a telegram into the send buffer and
// opening one exchange with a station (bus mutex, transparent-mode log-on).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/Instance.h"
#include "platform/Compiler.h"

/* Appends to the telegram in `buffer` (the instance's send buffer, with room left for the
 * checksum and the CR); false, with the telegram unchanged, when it would not fit. */
bool AppendFormat(char *buffer, size_t *length, const char *format, ...) TRS_PRINTF(3, 4);

/* Takes the bus mutex for an exchange with the request's station and logs the station on
 * first when a secondary station holds the line in transparent mode. Returns 0 with the
 * mutex held, or the result to give up with (the mutex not held). `operation` names the
 * caller in the undeclared-station line; `transparentFailed` is the caller's log line
 * for a failed transparent-mode log-on. */
uint32_t OpenStationExchange(RequestBlock *request, const char *gas, const char *operation,
                             const char *transparentFailed);
