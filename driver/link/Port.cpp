// The driver's serial port operations over the system's serial port.
//
// The handle given out is the address of the driver's port record, never 0. Time-outs are
// kept in nominal milliseconds and scaled only when a wait starts.
#include "link/Port.h"

#include <atomic>
#include <new>
#include <stdio.h>
#include <string.h>

#include "entry/KivRun.h"
#include "platform/Platform.h"
#include "platform/Serial.h"

/* What the driver keeps of an open port besides the system's own record. */
struct Port {
    PlatformSerial *serial;
    bool configured;                     /* false for the null device: no time-outs */
    std::atomic<uint32_t> readTimeoutMs; /* nominal total time-out of one read */
    uint32_t baudRate;                   /* for the write bound */
    uint32_t characterBits;              /* start, data, parity and stop bits of one character */
    bool systemRts;                      /* the system's RS-485 mode drives RTS */
    std::atomic<bool> gone;              /* the line has gone: reads and writes fail at once */
    char name[64];                       /* the host's name of the port, for log lines */
};

namespace {

enum { DRAIN_BLOCK = 512, DRAIN_TIMEOUT = 5, MAX_READ_COUNT = 65535 };

/* Beyond the wire time, how long the transmitter may take to empty, nominal ms. */
const uint32_t SEND_MARGIN_MS = 500;

Port *PortOf(PortHandle handle)
{
    return reinterpret_cast<Port *>(handle);
}

/* DTR and RTS as the line-control word asks. Hardware handshake is not offered: a
 * handshake mode leaves the line on. RTS toggle goes to the system's RS-485 mode where
 * the port has one, which drops RTS exactly when the last stop bit has left; elsewhere
 * it leaves RTS off until a send raises it. Devices without modem-control lines refuse;
 * that is not an error. */
void SetControlLines(Port *port, uint16_t lineControl)
{
    bool dtr = (lineControl & 0x0101) != 0 || (lineControl & 0x8000) != 0;
    bool rts = (lineControl & 0x0202) != 0 || (lineControl & 0x1000) != 0; // handshake before toggle
    bool toggle = !rts && (lineControl & 0x2000) != 0;
    (void)SerialSetControl(port->serial, SERIAL_DTR, dtr);
    port->systemRts = toggle && SerialSystemDrivesRts(port->serial) == 0;
    if (!port->systemRts)
        (void)SerialSetControl(port->serial, SERIAL_RTS, rts);
}

/* "1200 7E1": speed, data bits, parity letter, stop bits. */
void FormatLine(const SerialLine *line, char *text, size_t size)
{
    static const char kParity[] = "NOEMS";
    static const char *const kStop[] = {"1", "1.5", "2"};
    snprintf(text, size, "%u %u%c%s", line->baudRate, line->dataBits, line->parity < 5 ? kParity[line->parity] : '?',
             line->stopBits < 3 ? kStop[line->stopBits] : "?");
}

/* Marks the port gone when `error` says the line has gone, logging it the first time. The
 * null device has no line to lose. */
void NoteLineLost(Port *port, const char *operation, int error)
{
    if (port->configured && SerialLineGone(error) && !port->gone.exchange(true)) {
        char text[96];
        KivErr(LOG_ERROR, "TRSLNK> %s() port %s lost, error %d (%s)", operation, port->name, error,
               SerialErrorText(error, text, sizeof text));
    }
}

/* The longest a write may take: the bytes at the line's speed plus two seconds. */
uint32_t WriteBoundMs(Port *port, uint32_t count)
{
    uint32_t baud = port->baudRate;
    uint64_t ms = 2000;
    if (baud > 0)
        ms += static_cast<uint64_t>(count) * 10000u / baud;
    return PlatformScaledMs(ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms));
}

/* The longest the transmitter may take to send `count` bytes: their wire time plus a margin. */
uint32_t SendBoundMs(Port *port, uint32_t count)
{
    uint64_t ms = SEND_MARGIN_MS;
    if (port->baudRate > 0)
        ms += (static_cast<uint64_t>(count) * port->characterBits * 1000 + port->baudRate - 1) /
              port->baudRate;
    return PlatformScaledMs(ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms));
}

} // namespace

PortHandle OpenCom(DriverInstance *instance)
{
    char name[sizeof instance->portName + 1];
    memcpy(name, instance->portName, sizeof instance->portName);
    name[sizeof instance->portName] = '\0';
    PortHandle handle = 0;
    if (OpenPort(name, &instance->lineSettings, instance->lineControl, &handle) != PORT_OK) {
        KivErr(LOG_ERROR, "TRSLNK> OpenCom() exited with error");
        return 0;
    }
    KivErr(LOG_TRACE, "TRSLNK> OpenCom() exited OK, file handle %u", PortHandleNumber(handle));
    return handle;
}

uint32_t OpenPort(const char *name, const LineSettings *settings, uint16_t lineControl, PortHandle *handle)
{
    if (!name || !settings || !handle)
        return PORT_OPEN_FAILED;
    Port *port = new (std::nothrow) Port;
    if (!port)
        return PORT_OPEN_FAILED;
    port->serial = nullptr;
    port->configured = false;
    port->readTimeoutMs = 1000;
    port->baudRate = 0;
    port->characterBits = 10;
    port->systemRts = false;
    port->gone = false;
    CopyText(port->name, sizeof port->name, name);
    if (SerialOpen(name, &port->serial) != 0) {
        delete port;
        return PORT_OPEN_FAILED;
    }
    if (SerialIsNullDevice(port->serial)) {
        *handle = reinterpret_cast<PortHandle>(port);
        return PORT_OK;
    }
    SerialLine line = {settings->baudRate, static_cast<uint32_t>(settings->dataBits & 0xFF),
                       static_cast<uint32_t>(settings->parity & 0xFF), static_cast<uint32_t>(settings->stopBits & 0xFF)};
    SerialLine kept = {};
    const int configured = SerialConfigure(port->serial, &line, &kept);
    if (configured == SERIAL_STATE_NOT_KEPT) {
        char asked[32], got[32];
        FormatLine(&line, asked, sizeof asked);
        FormatLine(&kept, got, sizeof got);
        KivErr(LOG_ERROR, "TRSLNK> OpenPort() port %s refused %s, it kept %s", port->name, asked, got);
    }
    if (configured != 0) {
        SerialClose(port->serial);
        delete port;
        return configured == SERIAL_STATE_UNREADABLE ? PORT_STATE_FAILED : PORT_STATE_REFUSED;
    }
    port->configured = true;
    port->baudRate = settings->baudRate;
    port->characterBits = 2 + line.dataBits + (line.parity != 0 ? 1 : 0) + (line.stopBits != 0 ? 1 : 0);
    SetControlLines(port, lineControl);
    *handle = reinterpret_cast<PortHandle>(port);
    return PORT_OK;
}

uint32_t SetReadTimeout(PortHandle handle, uint32_t timeout)
{
    Port *port = PortOf(handle);
    if (!port || !port->configured)
        return 0; /* the null device has no time-outs */
    uint64_t wanted = static_cast<uint64_t>(timeout) * 10;
    uint32_t ms = wanted > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wanted);
    uint32_t previous = port->readTimeoutMs.exchange(ms);
    return previous / 10;
}

uint32_t DrainInput(PortHandle handle)
{
    Port *port = PortOf(handle);
    if (!port || port->gone)
        return 1;
    uint32_t waiting = 0;
    if (SerialInputQueue(port->serial, &waiting) == 0 && waiting == 0)
        return 0;
    uint32_t old = SetReadTimeout(handle, DRAIN_TIMEOUT);
    char block[DRAIN_BLOCK];
    uint32_t got = 0;
    int error;
    // A read that finds nothing more before the time-out ends the drain as a success;
    // only a failing system call makes the result 1.
    do
        error = SerialRead(port->serial, block, sizeof block, PlatformScaledMs(port->readTimeoutMs.load()), &got);
    while (error == 0 && got == sizeof block);
    NoteLineLost(port, "DrainInput", error);
    if (old != 0 && SetReadTimeout(handle, old) == 0)
        return 1;
    return error == 0 ? 0 : 1;
}

uint32_t WritePort(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written)
{
    Port *port = PortOf(handle);
    if (written)
        *written = 0;
    if (!port || (!buffer && count > 0) || port->gone)
        return PORT_SYSTEM_ERROR;
    uint32_t done = 0;
    int error = SerialWrite(port->serial, buffer, count, WriteBoundMs(port, count), &done);
    if (written)
        *written = done;
    NoteLineLost(port, "WritePort", error);
    if (error != 0)
        return PORT_SYSTEM_ERROR;
    return done < count ? PORT_SHORT_WRITE : PORT_OK;
}

uint32_t ReadPort(PortHandle handle, void *buffer, uint32_t count, uint32_t *read)
{
    Port *port = PortOf(handle);
    if (read)
        *read = 0;
    if (!port || !buffer || count == 0 || port->gone)
        return PORT_SYSTEM_ERROR;
    if (count > MAX_READ_COUNT)
        count = MAX_READ_COUNT;
    // A time-out of 0 takes only what has come: no read waits without bound.
    uint32_t timeout = port->configured ? PlatformScaledMs(port->readTimeoutMs.load()) : 0;
    uint32_t got = 0;
    int error = SerialRead(port->serial, buffer, count, timeout, &got);
    if (error != 0)
        NoteLineLost(port, "ReadPort", error);
    if (error != 0 || got == 0)
        return PORT_SYSTEM_ERROR;
    if (read)
        *read = got;
    return PORT_OK;
}

uint32_t ClosePort(PortHandle handle)
{
    Port *port = PortOf(handle);
    if (!port)
        return PORT_SYSTEM_ERROR;
    const int closed = SerialClose(port->serial);
    delete port;
    return closed == 0 ? PORT_OK : PORT_SYSTEM_ERROR;
}

uint32_t PortHandleNumber(PortHandle handle)
{
    Port *port = PortOf(handle);
    return port ? SerialNumber(port->serial) : 0;
}

bool PortSetRts(PortHandle handle, bool on)
{
    Port *port = PortOf(handle);
    return port && (port->systemRts || SerialSetControl(port->serial, SERIAL_RTS, on) == 0);
}

bool PortOutputQueue(PortHandle handle, uint32_t *bytes)
{
    Port *port = PortOf(handle);
    uint32_t pending = 0;
    if (!port || SerialOutputQueue(port->serial, &pending) != 0)
        return false;
    if (bytes)
        *bytes = pending;
    return true;
}

bool PortWaitSent(PortHandle handle, uint32_t count, uint32_t *pending)
{
    Port *port = PortOf(handle);
    uint32_t left = 0;
    if (!port || SerialWaitSent(port->serial, SendBoundMs(port, count), &left) != 0)
        return false;
    if (pending)
        *pending = left;
    return true;
}

bool PortPurgeOutput(PortHandle handle)
{
    Port *port = PortOf(handle);
    return port && SerialPurgeOutput(port->serial) == 0;
}

bool PortGetStatistics(PortHandle handle, PortStatistics *statistics)
{
    Port *port = PortOf(handle);
    SerialStatistics serial;
    if (!port || !statistics || !SerialGetStatistics(port->serial, &serial))
        return false;
    statistics->systemReads = serial.systemReads;
    statistics->portReads = serial.portReads;
    for (int i = 0; i < SERIAL_RECENT_READS; i++)
        statistics->recentReads[i] = serial.recentReads[i];
    return true;
}
