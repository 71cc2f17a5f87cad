// The driver's serial port operations over the POSIX serial layer.
//
// The handle given out is the address of the layer's port record, never 0. Time-outs are
// kept in nominal milliseconds and scaled only when a wait starts.
#include "link/Port.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

#include "entry/KivRun.h"
#include "platform/Platform.h"
#include "platform/Serial.h"

namespace {

enum { DRAIN_BLOCK = 512, DRAIN_TIMEOUT = 5, MAX_READ_COUNT = 65535 };

SerialPort *PortOf(PortHandle handle)
{
    return reinterpret_cast<SerialPort *>(handle);
}

/* "NUL" is the null device, a name with a '/' is a path, any other is under /dev. */
bool DevicePath(const char *name, char *path, size_t size, bool *nullDevice)
{
    *nullDevice = strcmp(name, "NUL") == 0;
    int n;
    if (*nullDevice)
        n = snprintf(path, size, "/dev/null");
    else if (name[0] == '/')
        n = snprintf(path, size, "%s", name);
    else
        n = snprintf(path, size, "/dev/%s", name);
    return n > 0 && static_cast<size_t>(n) < size;
}

/* DTR and RTS as the line-control word asks. Hardware handshake is not offered on this
 * platform: a handshake mode leaves the line on, RTS toggle leaves it off until a send
 * raises it. Devices without modem-control lines refuse; that is not an error. */
void SetControlLines(SerialPort *port, uint16_t lineControl)
{
    bool dtr = (lineControl & 0x0101) != 0 || (lineControl & 0x8000) != 0;
    bool rts = (lineControl & 0x0202) != 0 || (lineControl & 0x1000) != 0; // handshake before toggle
    (void)SerialSetModemLine(port, TIOCM_DTR, dtr);
    (void)SerialSetModemLine(port, TIOCM_RTS, rts);
}

/* The longest a write may take: the bytes at the line's speed plus two seconds. */
uint32_t WriteBoundMs(SerialPort *port, uint32_t count)
{
    uint32_t baud = port->baudRate.load();
    uint64_t ms = 2000;
    if (baud > 0)
        ms += static_cast<uint64_t>(count) * 10000u / baud;
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
    char path[64];
    bool nullDevice = false;
    if (!name || !settings || !handle || !DevicePath(name, path, sizeof path, &nullDevice))
        return PORT_OPEN_FAILED;
    SerialPort *port = nullptr;
    if (SerialOpen(path, nullDevice, &port) != 0)
        return PORT_OPEN_FAILED;
    if (nullDevice) {
        *handle = reinterpret_cast<PortHandle>(port);
        return PORT_OK;
    }
    struct termios state;
    if (SerialReadState(port, &state) != 0) {
        SerialClose(port);
        return PORT_STATE_FAILED;
    }
    port->readTimeoutMs = 1000;
    SerialLine line = {settings->baudRate, static_cast<uint32_t>(settings->dataBits & 0xFF),
                       static_cast<uint32_t>(settings->parity & 0xFF), static_cast<uint32_t>(settings->stopBits & 0xFF)};
    if (SerialApplyLine(port, &state, &line) != 0) {
        SerialClose(port);
        return PORT_STATE_REFUSED;
    }
    SetControlLines(port, lineControl);
    *handle = reinterpret_cast<PortHandle>(port);
    return PORT_OK;
}

uint32_t SetReadTimeout(PortHandle handle, uint32_t timeout)
{
    SerialPort *port = PortOf(handle);
    if (!port || !port->configured)
        return 0; /* the null device has no time-outs */
    uint64_t wanted = static_cast<uint64_t>(timeout) * 10;
    uint32_t ms = wanted > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wanted);
    uint32_t previous = port->readTimeoutMs.exchange(ms);
    return previous / 10;
}

uint32_t DrainInput(PortHandle handle)
{
    SerialPort *port = PortOf(handle);
    if (!port)
        return 1;
    uint32_t waiting = 0;
    if (SerialInputQueue(port, &waiting) == 0 && waiting == 0)
        return 0;
    uint32_t old = SetReadTimeout(handle, DRAIN_TIMEOUT);
    char block[DRAIN_BLOCK];
    uint32_t got = 0;
    int error;
    // A read that finds nothing more before the time-out ends the drain as a success;
    // only a failing system call makes the result 1.
    do
        error = SerialRead(port, block, sizeof block, PlatformScaledMs(port->readTimeoutMs.load()), &got);
    while (error == 0 && got == sizeof block);
    if (old != 0 && SetReadTimeout(handle, old) == 0)
        return 1;
    return error == 0 ? 0 : 1;
}

uint32_t WritePort(PortHandle handle, const void *buffer, uint32_t count, uint32_t *written)
{
    SerialPort *port = PortOf(handle);
    if (written)
        *written = 0;
    if (!port || (!buffer && count > 0))
        return PORT_SYSTEM_ERROR;
    uint32_t done = 0;
    int error = SerialWrite(port, buffer, count, WriteBoundMs(port, count), &done);
    if (written)
        *written = done;
    if (error != 0)
        return PORT_SYSTEM_ERROR;
    return done < count ? PORT_SHORT_WRITE : PORT_OK;
}

uint32_t ReadPort(PortHandle handle, void *buffer, uint32_t count, uint32_t *read)
{
    SerialPort *port = PortOf(handle);
    if (read)
        *read = 0;
    if (!port || !buffer || count == 0)
        return PORT_SYSTEM_ERROR;
    if (count > MAX_READ_COUNT)
        count = MAX_READ_COUNT;
    // A time-out of 0 takes only what has come: no read waits without bound.
    uint32_t timeout = port->configured ? PlatformScaledMs(port->readTimeoutMs.load()) : 0;
    uint32_t got = 0;
    if (SerialRead(port, buffer, count, timeout, &got) != 0 || got == 0)
        return PORT_SYSTEM_ERROR;
    if (read)
        *read = got;
    return PORT_OK;
}

uint32_t ClosePort(PortHandle handle)
{
    SerialPort *port = PortOf(handle);
    if (!port)
        return PORT_SYSTEM_ERROR;
    return SerialClose(port) == 0 ? PORT_OK : PORT_SYSTEM_ERROR;
}

uint32_t PortHandleNumber(PortHandle handle)
{
    SerialPort *port = PortOf(handle);
    return port ? static_cast<uint32_t>(port->fd) : 0;
}

bool PortSetRts(PortHandle handle, bool on)
{
    SerialPort *port = PortOf(handle);
    return port && SerialSetModemLine(port, TIOCM_RTS, on) == 0;
}

bool PortOutputQueue(PortHandle handle, uint32_t *bytes)
{
    SerialPort *port = PortOf(handle);
    uint32_t pending = 0;
    if (!port || SerialOutputQueue(port, &pending) != 0)
        return false;
    if (bytes)
        *bytes = pending;
    return true;
}

bool PortPurgeOutput(PortHandle handle)
{
    SerialPort *port = PortOf(handle);
    return port && SerialPurgeOutput(port) == 0;
}

bool PortGetStatistics(PortHandle handle, PortStatistics *statistics)
{
    SerialPort *port = PortOf(handle);
    if (!port || !statistics)
        return false;
    statistics->systemReads = port->systemReads.load();
    statistics->portReads = port->portReads.load();
    for (int i = 0; i < 8; i++)
        statistics->recentReads[i] = port->recentReads[i].load();
    return true;
}
