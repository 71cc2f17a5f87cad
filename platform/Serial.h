// The POSIX serial device: exclusive open, termios line settings, modem-control lines,
// queues, and buffered reads and bounded writes with real-time time-outs.
//
// The driver's port layer (link/Port) keeps one SerialPort per open port and turns the
// results here into its own codes and time-out units. Every wait here is bounded by the
// time given in real milliseconds; the caller applies the time scale.
#pragma once

#include <atomic>
#include <mutex>
#include <stdint.h>
#include <termios.h>

enum {
    SERIAL_READ_BUFFER_SIZE = 4096,
    SERIAL_RECENT_READS = 8
};

/* Line settings as the device understands them. Parity 0 none, 1 odd, 2 even, 3 mark,
 * 4 space; stop bits 0 one, 1 one and a half (two on POSIX, which has no 1.5), 2 two. */
struct SerialLine {
    uint32_t baudRate;
    uint32_t dataBits; /* 5..8 */
    uint32_t parity;
    uint32_t stopBits;
};

struct SerialPort {
    int fd;
    uint32_t configured;                   /* 0 for the null device: no termios at all */
    int fileFlags;                         /* fcntl flags of the open descriptor */
    std::atomic<uint32_t> readTimeoutMs;   /* nominal total time-out of one read */
    std::atomic<uint32_t> baudRate;        /* for the write bound */
    /* Bytes read from the device and not yet handed out. One reader at a time. */
    std::mutex readLock;
    unsigned char buffer[SERIAL_READ_BUFFER_SIZE];
    uint32_t head;
    uint32_t tail;
    /* Counters for measurements and tests. */
    std::atomic<uint64_t> systemReads;     /* read() calls on the device */
    std::atomic<uint64_t> portReads;       /* SerialRead calls */
    std::atomic<uint32_t> recentReads[SERIAL_RECENT_READS]; /* sizes of the last reads, oldest first */
};

/* Opens the device read-write and exclusively (an advisory lock taken without waiting,
 * then TIOCEXCL on terminals). The null device is opened without lock and without any
 * terminal call. 0 or the errno of the failure; EBUSY when another holder has the lock. */
int SerialOpen(const char *path, bool nullDevice, SerialPort **port);
/* Closes the descriptor and frees the record. 0 or the errno of close(). */
int SerialClose(SerialPort *port);

/* 0 or errno. */
int SerialReadState(SerialPort *port, struct termios *state);
/* Raw mode, the line settings, receiver on, modem status ignored, no flow control.
 * 0; EDOM for a setting the system cannot express (baud rate, data bits, parity or stop
 * bits); else the errno of the refusal, or EIO when the baud rate does not read back. */
int SerialApplyLine(SerialPort *port, const struct termios *current, const SerialLine *line);

/* Raises or drops a modem-control line (TIOCM_RTS, TIOCM_DTR). 0 or errno. */
int SerialSetModemLine(SerialPort *port, int line, bool on);
/* Bytes still waiting in the output queue. 0 or errno. */
int SerialOutputQueue(SerialPort *port, uint32_t *bytes);
/* Bytes waiting to be read: the layer's own buffer plus the device's input queue. */
int SerialInputQueue(SerialPort *port, uint32_t *bytes);
/* Throws away the unsent output. 0 or errno. */
int SerialPurgeOutput(SerialPort *port);

/* Reads up to count bytes, returning when all have come or after timeoutMs real
 * milliseconds (0: only what is there already). 0 with *got possibly 0 on time-out;
 * EIO when the line has gone (hang-up or end of file); else the errno of the failure. */
int SerialRead(SerialPort *port, void *buffer, uint32_t count, uint32_t timeoutMs, uint32_t *got);
/* Writes count bytes, waiting at most boundMs real milliseconds for room in the output
 * queue. 0 with *written < count when the bound ran out; else errno. */
int SerialWrite(SerialPort *port, const void *bytes, uint32_t count, uint32_t boundMs, uint32_t *written);
