// The serial port as the system offers it: open by the host's port name, line settings,
// control lines, queues, and reads and writes with time-outs in real milliseconds.
//
// The port is opaque to the driver; the driver's port layer (link/Port) keeps its own
// time-outs and turns the results here into its own codes. Every wait is bounded by the
// time given; the caller applies the time scale.
#pragma once

#include <stddef.h>
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
enum { SERIAL_STATE_UNREADABLE = 1, SERIAL_STATE_REFUSED = 2, SERIAL_STATE_NOT_KEPT = 3 };

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
 * number (EBUSY when another holder has it). A device port also takes the UUCP lock file
 * that other serial programs honour; a live lock of another process refuses the open
 * (EBUSY), a stale one is taken over, and a lock folder that cannot be used is no
 * reason to refuse. */
int SerialOpen(const char *name, PlatformSerial **port);
/* Closes the port and frees it, also when the system's close fails: 0 or its error. */
int SerialClose(PlatformSerial *port);
/* True for the null device, which has no line settings, control lines or time-outs. */
bool SerialIsNullDevice(const PlatformSerial *port);
/* The number that log lines show for the port (its descriptor or handle value). */
uint32_t SerialNumber(const PlatformSerial *port);

/* Raw binary line with these settings, receiver on, no flow control. 0, or
 * SERIAL_STATE_UNREADABLE (not a serial device), or SERIAL_STATE_REFUSED (a setting the
 * system cannot express or the port rejects), or SERIAL_STATE_NOT_KEPT (the port took
 * the request but reads back another speed or character format: *kept, when given,
 * holds what it kept). A pseudo-terminal forces 8N1 whatever is asked; it is held to
 * the speed alone. */
int SerialConfigure(PlatformSerial *port, const SerialLine *line, SerialLine *kept);
/* Raises or drops a control line. 0 or the error (devices without control lines refuse). */
int SerialSetControl(PlatformSerial *port, SerialControl line, bool on);
/* Bytes still waiting to go out. 0 or the error; querying also clears a pending error. */
int SerialOutputQueue(PlatformSerial *port, uint32_t *bytes);
/* Blocks until the bytes written have left the transmitter (the system's queue, then the
 * UART's FIFO and shift register), at most boundMs real milliseconds, sleeping rather
 * than polling. 0 with *pending 0 once all is out, or with the bytes still queued when
 * the bound ran out; else the error of the queue query. */
int SerialWaitSent(PlatformSerial *port, uint32_t boundMs, uint32_t *pending);
/* Hands RTS to the system for half-duplex RS-485: raised while the port transmits,
 * dropped once its transmitter is empty. 0, or the error where the port does not offer
 * it. The port's previous RS-485 state comes back when it closes. */
int SerialSystemDrivesRts(PlatformSerial *port);
/* Bytes waiting to be read. 0 or the error. */
int SerialInputQueue(PlatformSerial *port, uint32_t *bytes);
/* Throws away the unsent output. 0 or the error. */
int SerialPurgeOutput(PlatformSerial *port);

/* Reads up to count bytes, returning when all have come or after timeoutMs real
 * milliseconds (0: only what is there already; a signal does not restart the wait).
 * 0 with *got possibly 0 on time-out; an error for which SerialLineGone holds when the
 * line has gone; else the system's error. */
int SerialRead(PlatformSerial *port, void *buffer, uint32_t count, uint32_t timeoutMs, uint32_t *got);
/* Writes count bytes, waiting at most boundMs real milliseconds for room. 0 with
 * *written < count when the bound ran out; else the system's error. */
int SerialWrite(PlatformSerial *port, const void *bytes, uint32_t count, uint32_t boundMs, uint32_t *written);

/* True when `error` of a read or a write says the device has gone (unplugged, hung up):
 * nothing will pass on this port again until it is opened anew. */
bool SerialLineGone(int error);
/* The system's text of an error number, for log lines. Returns text. */
const char *SerialErrorText(int error, char *text, size_t size);

bool SerialGetStatistics(const PlatformSerial *port, SerialStatistics *statistics);

/* For tests only; the driver never calls these. */
/* The folder of the UUCP lock files (null: the system's /run/lock). */
void SerialSetLockFolder(const char *folder);
#if !defined(_WIN32)
#include <sys/types.h>
struct pollfd;
struct stat;
struct termios;
/* The system calls beneath a port. Ports opened after SerialSetSystemCalls use `calls`
 * (null: the system's own) until they close, so that a test can stand in for a device
 * that the machine does not have. */
struct SerialSystemCalls {
    int (*ioctl)(int fd, unsigned long request, void *argument);
    int (*tcgetattr)(int fd, struct termios *state);
    int (*tcsetattr)(int fd, int when, const struct termios *state);
    int (*tcdrain)(int fd);
    int (*fstat)(int fd, struct stat *status);
    ssize_t (*read)(int fd, void *buffer, size_t count);
    ssize_t (*write)(int fd, const void *bytes, size_t count);
    int (*poll)(struct pollfd *fds, unsigned long count, int timeoutMs);
};
extern const SerialSystemCalls kSerialSystemCalls;
void SerialSetSystemCalls(const SerialSystemCalls *calls);
#endif
