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
uint32_t OpenPort(const char *name, const LineSettings *settings, uint16_t lineControl, PortHandle *handle);
/* Read total time-out in 1/100 s; returns the previous one, 0 on failure. */
uint32_t SetReadTimeout(PortHandle handle, uint32_t timeout);
uint32_t DrainInput(PortHandle handle);
uint32_t WritePort(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written);
uint32_t ReadPort(PortHandle handle, void *buffer, uint32_t count, uint32_t *read);
uint32_t ClosePort(PortHandle handle);

/* The number that log lines show for a handle (the file descriptor). */
uint32_t PortHandleNumber(PortHandle handle);

/* The direct operations on the handle that the telegram layer and the log-on use. */
bool PortSetRts(PortHandle handle, bool on);           /* EscapeCommFunction SETRTS/CLRRTS */
bool PortOutputQueue(PortHandle handle, uint32_t *bytes); /* ClearCommError: bytes still to send */
bool PortPurgeOutput(PortHandle handle);               /* PurgeComm PURGE_TXABORT */

/* Counters of an open port, for measurements and tests: read() calls on the device,
 * ReadPort calls, and the byte counts of the last eight ReadPort calls, oldest first. */
struct PortStatistics {
    uint64_t systemReads;
    uint64_t portReads;
    uint32_t recentReads[8];
};
bool PortGetStatistics(PortHandle handle, PortStatistics *statistics);
