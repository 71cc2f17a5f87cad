// Serial port access: open, configure, read, write, drain and close.
#pragma once

#include <stdint.h>

#include "config/Instance.h"

/* Result codes of the port operations. */
enum {
    PORT_OK = 0,
    PORT_OPEN_FAILED = 1, /* did not open, or its time-outs were not accepted */
    PORT_SHORT_WRITE = 2,
    PORT_STATE_FAILED = 4,
    PORT_STATE_REFUSED = 5,
    PORT_SYSTEM_ERROR = 7 /* a read, a write or the close failed, or a read timed out */
};

PortHandle OpenCom(DriverInstance *instance);
/* RTS toggle in `lineControl` (0x2000 without 0x0202 or 0x1000) hands RTS to the system's
 * RS-485 mode where the port offers one; elsewhere Send raises and drops it as always. */
uint32_t OpenPort(const char *name, const LineSettings *settings, uint16_t lineControl, PortHandle *handle);
/* Read total time-out in 1/100 s; returns the previous one, 0 on failure. */
uint32_t SetReadTimeout(PortHandle handle, uint32_t timeout);
uint32_t DrainInput(PortHandle handle);
/* A line that has gone (adapter unplugged, terminal hung up) is logged once, and every
 * later read and write on the handle fails at once with 7, until the port opens anew. */
uint32_t WritePort(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written);
uint32_t ReadPort(PortHandle handle, void *buffer, uint32_t count, uint32_t *read);
uint32_t ClosePort(PortHandle handle);

/* The number that log lines show for a handle (the file descriptor). */
uint32_t PortHandleNumber(PortHandle handle);

/* The direct operations on the handle that the telegram layer and the log-on use. */
/* EscapeCommFunction SETRTS/CLRRTS; nothing to do (true) while the system drives RTS. */
bool PortSetRts(PortHandle handle, bool on);
bool PortOutputQueue(PortHandle handle, uint32_t *bytes); /* ClearCommError: bytes still to send */
/* Blocks until the last `count` bytes written have left the transmitter, bounded by their
 * wire time at the port's speed plus a margin. False when the queue query failed; else
 * *pending holds the bytes still queued when the bound ran out (0 when all went out). */
bool PortWaitSent(PortHandle handle, uint32_t count, uint32_t *pending);
bool PortPurgeOutput(PortHandle handle);               /* PurgeComm PURGE_TXABORT */

/* Counters of an open port, for measurements and tests: read() calls on the device,
 * ReadPort calls, and the byte counts of the last eight ReadPort calls, oldest first. */
struct PortStatistics {
    uint64_t systemReads;
    uint64_t portReads;
    uint32_t recentReads[8];
};
bool PortGetStatistics(PortHandle handle, PortStatistics *statistics);
