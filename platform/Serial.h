// The serial port as the system offers it: open by the host's port name, line settings,
// control lines, queues, and reads and writes with time-outs in real milliseconds.
//
// The port is opaque to the driver; the driver's port layer (link/Port) keeps its own
// time-outs and turns the results here into its own codes. Every wait is bounded by the
// time given; the caller applies the time scale.
#pragma once

#include <stdint.h>

struct PlatformSerial;

/* Line settings as the driver states them. Parity 0 none, 1 odd, 2 even, 3 mark, 4 space;
 * stop bits 0 one, 1 one and a half, 2 two. */
struct SerialLine {
    uint32_t baudRate;
    uint32_t dataBits; /* 5..8 */
    uint32_t parity;
    uint32_t stopBits;
};

enum SerialControl { SERIAL_RTS, SERIAL_DTR };

/* Results of SerialConfigure besides 0. */
enum { SERIAL_STATE_UNREADABLE = 1, SERIAL_STATE_REFUSED = 2 };

/* Statistics of an open port, for measurements and tests: device reads, SerialRead calls,
 * and the byte counts of the last eight SerialRead calls, oldest first. */
enum { SERIAL_RECENT_READS = 8 };
struct SerialStatistics {
    uint64_t systemReads;
    uint64_t portReads;
    uint32_t recentReads[SERIAL_RECENT_READS];
};

/* Opens the port by the host's name ("NUL" is the null device, opened and never
 * configured), for reading and writing, held exclusively. 0, or the system's error
 * number (EBUSY when another holder has it). */
int SerialOpen(const char *name, PlatformSerial **port);
/* Closes the port and frees it, also when the system's close fails: 0 or its error. */
int SerialClose(PlatformSerial *port);
/* True for the null device, which has no line settings, control lines or time-outs. */
bool SerialIsNullDevice(const PlatformSerial *port);
/* The number that log lines show for the port (its descriptor or handle value). */
uint32_t SerialNumber(const PlatformSerial *port);

/* Raw binary line with these settings, receiver on, no flow control. 0, or
 * SERIAL_STATE_UNREADABLE (not a serial device), or SERIAL_STATE_REFUSED (a setting the
 * port does not take, or a speed that does not read back). */
int SerialConfigure(PlatformSerial *port, const SerialLine *line);
/* Raises or drops a control line. 0 or the error (devices without control lines refuse). */
int SerialSetControl(PlatformSerial *port, SerialControl line, bool on);
/* Bytes still waiting to go out. 0 or the error; querying also clears a pending error. */
int SerialOutputQueue(PlatformSerial *port, uint32_t *bytes);
/* Bytes waiting to be read. 0 or the error. */
int SerialInputQueue(PlatformSerial *port, uint32_t *bytes);
/* Throws away the unsent output. 0 or the error. */
int SerialPurgeOutput(PlatformSerial *port);

/* Reads up to count bytes, returning when all have come or after timeoutMs real
 * milliseconds (0: only what is there already). 0 with *got possibly 0 on time-out;
 * EIO when the line has gone; else the system's error. */
int SerialRead(PlatformSerial *port, void *buffer, uint32_t count, uint32_t timeoutMs, uint32_t *got);
/* Writes count bytes, waiting at most boundMs real milliseconds for room. 0 with
 * *written < count when the bound ran out; else the system's error. */
int SerialWrite(PlatformSerial *port, const void *bytes, uint32_t count, uint32_t boundMs, uint32_t *written);

bool SerialGetStatistics(const PlatformSerial *port, SerialStatistics *statistics);
