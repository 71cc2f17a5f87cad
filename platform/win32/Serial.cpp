// The serial port on Win32: exclusive open, the device-control block read back, escape
// functions for the control lines, the queues from ClearCommError, and buffered reads and
// bounded writes with the time-outs of the communications interface.
#include "platform/Serial.h"

#include <atomic>
#include <mutex>
#include <new>
#include <stdio.h>
#include <string.h>
#include <string>
#include <windows.h>

#include "platform/Platform.h"

enum { SERIAL_READ_BUFFER_SIZE = 4096, SERIAL_QUEUE_SIZE = 1200, SERIAL_NAME_SIZE = 64 };

struct PlatformSerial {
    HANDLE handle;
    bool nullDevice;                       /* no device-control block at all */
    bool virtualLine;                      /* no modem-control lines: may force its own format */
    char key[SERIAL_NAME_SIZE];            /* the device's name in the table of open ports */
    uint32_t charTimeUs;                   /* one character on the wire, 0 before configuring */
    bool rtsChanged;                       /* previousRtsControl goes back at close */
    DWORD previousRtsControl;
    /* The time-outs the port holds: a read sets the read fields, a write the write fields. */
    std::mutex timeoutLock;
    COMMTIMEOUTS timeouts;
    /* Bytes read from the device and not yet handed out. One reader at a time. */
    std::mutex readLock;
    unsigned char buffer[SERIAL_READ_BUFFER_SIZE];
    uint32_t head;
    uint32_t tail;
    /* Counters for measurements and tests. */
    std::atomic<uint64_t> systemReads;     /* ReadFile calls on the device */
    std::atomic<uint64_t> portReads;       /* SerialRead calls */
    std::atomic<uint32_t> recentReads[SERIAL_RECENT_READS]; /* sizes of the last reads, oldest first */
};

namespace {

/* The ports this process holds, by device name. The system refuses a second exclusive
 * open of a port, but not every system layer does (a pseudo-terminal behind a COM name
 * under an emulation layer opens twice), so the process keeps its own table as well. */
std::mutex gOpenGuard;
std::string gOpenPorts; /* "|NAME|" for every port held */

bool TakeName(const char *key)
{
    std::lock_guard<std::mutex> guard(gOpenGuard);
    const std::string entry = std::string("|") + key + "|";
    if (gOpenPorts.find(entry) != std::string::npos)
        return false;
    gOpenPorts.append(entry);
    return true;
}

void ReleaseName(const char *key)
{
    std::lock_guard<std::mutex> guard(gOpenGuard);
    const std::string entry = std::string("|") + key + "|";
    size_t at = gOpenPorts.find(entry);
    if (at != std::string::npos)
        gOpenPorts.erase(at, entry.size());
}

uint64_t NowMs()
{
    return GetTickCount64();
}

uint32_t RemainingMs(uint64_t end)
{
    uint64_t now = NowMs();
    if (now >= end)
        return 0;
    uint64_t left = end - now;
    return left >= MAXDWORD ? MAXDWORD - 1 : static_cast<uint32_t>(left);
}

/* A name without '\\' is a device ("COM5" opens "\\\\.\\COM5", which also reaches ports
 * above COM9); a name with one is used as it stands; "NUL" is the null device. */
bool DevicePath(const char *name, char *path, size_t size, bool *nullDevice)
{
    *nullDevice = _stricmp(name, "NUL") == 0;
    int n;
    if (*nullDevice)
        n = snprintf(path, size, "NUL");
    else if (strchr(name, '\\'))
        n = snprintf(path, size, "%s", name);
    else
        n = snprintf(path, size, "\\\\.\\%s", name);
    return n > 0 && static_cast<size_t>(n) < size;
}

/* The device path in upper case, the key of the table of open ports. */
void KeyOf(const char *path, char *key, size_t size)
{
    size_t n = CopyText(key, size, path);
    for (size_t i = 0; i < n; i++)
        if (key[i] >= 'a' && key[i] <= 'z')
            key[i] = static_cast<char>(key[i] - 'a' + 'A');
}

void NoteRead(PlatformSerial *port, uint32_t size)
{
    for (int i = 0; i + 1 < SERIAL_RECENT_READS; i++)
        port->recentReads[i].store(port->recentReads[i + 1].load());
    port->recentReads[SERIAL_RECENT_READS - 1].store(size);
    port->portReads++;
}

/* Sets the time-outs of the read (read = true) or of the write, keeping the other's.
 * 0 or the error. */
int SetTimeouts(PlatformSerial *port, bool read, DWORD interval, DWORD multiplier, DWORD constant)
{
    std::lock_guard<std::mutex> lock(port->timeoutLock);
    COMMTIMEOUTS wanted = port->timeouts;
    if (read) {
        wanted.ReadIntervalTimeout = interval;
        wanted.ReadTotalTimeoutMultiplier = multiplier;
        wanted.ReadTotalTimeoutConstant = constant;
    } else {
        wanted.WriteTotalTimeoutMultiplier = multiplier;
        wanted.WriteTotalTimeoutConstant = constant;
    }
    if (memcmp(&wanted, &port->timeouts, sizeof wanted) == 0)
        return 0;
    if (!SetCommTimeouts(port->handle, &wanted))
        return static_cast<int>(GetLastError());
    port->timeouts = wanted;
    return 0;
}

/* Whatever has arrived into the empty buffer, after waiting until `end` for the first
 * byte: the bytes in the driver's queue without waiting, else one byte under a total
 * time-out, which returns as soon as it has come. (The time-outs that return on the
 * first of many bytes are not honoured alike by every system layer.) */
int FillBuffer(PlatformSerial *port, uint64_t end)
{
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(port->handle, &errors, &status))
        return static_cast<int>(GetLastError());
    const uint32_t wait = RemainingMs(end);
    DWORD want = 1;
    int error;
    if (status.cbInQue > 0) {
        want = status.cbInQue < sizeof port->buffer ? status.cbInQue : sizeof port->buffer;
        error = SetTimeouts(port, true, MAXDWORD, 0, 0);
    } else {
        error = wait > 0 ? SetTimeouts(port, true, 0, 0, wait) : SetTimeouts(port, true, MAXDWORD, 0, 0);
    }
    if (error != 0)
        return error;
    DWORD n = 0;
    port->systemReads++;
    if (!ReadFile(port->handle, port->buffer, want, &n, nullptr))
        return static_cast<int>(GetLastError());
    port->head = 0;
    port->tail = n;
    return 0;
}

} // namespace

int SerialOpen(const char *name, PlatformSerial **port)
{
    char path[SERIAL_NAME_SIZE];
    bool nullDevice = false;
    if (!name || !port || !DevicePath(name, path, sizeof path, &nullDevice))
        return ERROR_INVALID_PARAMETER;
    PlatformSerial *record = new (std::nothrow) PlatformSerial;
    if (!record)
        return ERROR_NOT_ENOUGH_MEMORY;
    KeyOf(path, record->key, sizeof record->key);
    if (!nullDevice && !TakeName(record->key)) {
        delete record;
        return ERROR_ACCESS_DENIED; /* what the system answers to a second open */
    }
    // Read and write, not shared, only an existing device.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    int error = handle == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    record->handle = handle;
    record->nullDevice = nullDevice;
    record->virtualLine = false;
    record->charTimeUs = 0;
    record->rtsChanged = false;
    record->previousRtsControl = 0;
    memset(&record->timeouts, 0, sizeof record->timeouts);
    record->head = 0;
    record->tail = 0;
    record->systemReads = 0;
    record->portReads = 0;
    for (auto &size : record->recentReads)
        size = 0;
    if (error == 0 && !nullDevice) {
        DCB state;
        state.DCBlength = sizeof state;
        // Time-outs at opening: a read waits for its whole count up to one second; writes
        // have no time-out. A device without a device-control block is left to
        // SerialConfigure to report.
        COMMTIMEOUTS timeouts = {0, 0, 1000, 0, 0};
        if (GetCommState(handle, &state)) {
            if (SetCommTimeouts(handle, &timeouts))
                record->timeouts = timeouts;
            else
                error = static_cast<int>(GetLastError());
        }
        DWORD modem = 0;
        record->virtualLine = !GetCommModemStatus(handle, &modem);
    }
    if (error != 0) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        if (!nullDevice)
            ReleaseName(record->key);
        delete record;
        return error;
    }
    *port = record;
    return 0;
}

int SerialClose(PlatformSerial *port)
{
    if (!port)
        return ERROR_INVALID_HANDLE;
    if (port->rtsChanged) {
        DCB state;
        state.DCBlength = sizeof state;
        if (GetCommState(port->handle, &state)) {
            state.fRtsControl = port->previousRtsControl;
            (void)SetCommState(port->handle, &state);
        }
    }
    int error = CloseHandle(port->handle) ? 0 : static_cast<int>(GetLastError());
    if (!port->nullDevice)
        ReleaseName(port->key);
    delete port;
    return error;
}

bool SerialIsNullDevice(const PlatformSerial *port)
{
    return port && port->nullDevice;
}

uint32_t SerialNumber(const PlatformSerial *port)
{
    return port ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port->handle)) : 0;
}

namespace {

/* The line that a device-control block describes. */
SerialLine LineOf(const DCB &state)
{
    return SerialLine{state.BaudRate, state.ByteSize, state.Parity, state.StopBits};
}

bool SameFormat(const DCB &a, const DCB &b)
{
    return a.ByteSize == b.ByteSize && a.Parity == b.Parity && a.StopBits == b.StopBits;
}

/* True when the port holds what was asked: the speed, and the character format unless
 * the port is a virtual line that forces its own. */
bool Holds(const PlatformSerial *port, const DCB &now, const DCB &wanted)
{
    return now.BaudRate == wanted.BaudRate && (port->virtualLine || SameFormat(now, wanted));
}

} // namespace

int SerialConfigure(PlatformSerial *port, const SerialLine *line, SerialLine *kept)
{
    DCB state;
    state.DCBlength = sizeof state;
    if (!port || port->nullDevice || !line || !GetCommState(port->handle, &state))
        return SERIAL_STATE_UNREADABLE;
    // Parity and stop bits are numbered as the device-control block numbers them.
    if (line->baudRate == 0 || line->dataBits < 5 || line->dataBits > 8 || line->parity > SPACEPARITY ||
        line->stopBits > TWOSTOPBITS)
        return SERIAL_STATE_REFUSED;
    DCB wanted = state;
    wanted.BaudRate = line->baudRate;
    wanted.ByteSize = static_cast<BYTE>(line->dataBits);
    wanted.Parity = static_cast<BYTE>(line->parity);
    wanted.StopBits = static_cast<BYTE>(line->stopBits);
    wanted.fBinary = TRUE;
    // Parity errors are checked; a byte in error arrives as it came and the telegram
    // checksum rejects it.
    wanted.fParity = TRUE;
    wanted.fOutxCtsFlow = FALSE;
    wanted.fOutxDsrFlow = FALSE;
    wanted.fDsrSensitivity = FALSE;
    wanted.fOutX = FALSE;
    wanted.fInX = FALSE;
    wanted.fErrorChar = FALSE;
    wanted.ErrorChar = static_cast<char>(0xFC);
    wanted.fNull = FALSE;
    wanted.fAbortOnError = FALSE;
    wanted.fDtrControl = DTR_CONTROL_ENABLE;
    wanted.fRtsControl = RTS_CONTROL_ENABLE;

    if (!SetCommState(port->handle, &wanted)) {
        // A virtual line may refuse another character format than its own: the rest is
        // asked again with its format. Some ports also refuse a state that they already
        // hold (a pseudo-terminal behind a COM name refuses every repeat), which must not
        // fail the reopen of a port: what counts is what reads back.
        DCB retry = wanted;
        retry.ByteSize = state.ByteSize;
        retry.Parity = state.Parity;
        retry.StopBits = state.StopBits;
        if (!(port->virtualLine && SetCommState(port->handle, &retry))) {
            DCB now;
            now.DCBlength = sizeof now;
            if (!GetCommState(port->handle, &now) || !Holds(port, now, wanted))
                return SERIAL_STATE_REFUSED;
        }
    }
    // SetCommState succeeds on ports that quietly keep another setting: what counts must
    // read back.
    DCB check;
    check.DCBlength = sizeof check;
    if (!GetCommState(port->handle, &check))
        return SERIAL_STATE_UNREADABLE;
    if (!Holds(port, check, wanted)) {
        if (kept)
            *kept = LineOf(check);
        return SERIAL_STATE_NOT_KEPT;
    }
    (void)SetupComm(port->handle, SERIAL_QUEUE_SIZE, SERIAL_QUEUE_SIZE);
    // Start, data, parity and stop bits of one character, for the wait for the transmitter.
    uint32_t bits = 1 + line->dataBits + (line->parity ? 1 : 0) + (line->stopBits ? 2 : 1);
    port->charTimeUs = bits * 1000000u / line->baudRate + 1;
    return 0;
}

int SerialSetControl(PlatformSerial *port, SerialControl line, bool on)
{
    DWORD function = line == SERIAL_RTS ? (on ? SETRTS : CLRRTS) : (on ? SETDTR : CLRDTR);
    return EscapeCommFunction(port->handle, function) ? 0 : static_cast<int>(GetLastError());
}

int SerialOutputQueue(PlatformSerial *port, uint32_t *bytes)
{
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(port->handle, &errors, &status))
        return static_cast<int>(GetLastError());
    *bytes = status.cbOutQue;
    return 0;
}

int SerialWaitSent(PlatformSerial *port, uint32_t boundMs, uint32_t *pending)
{
    *pending = 0;
    const uint64_t end = NowMs() + boundMs;
    // The driver's queue first: sleep for the wire time of what it still holds.
    for (;;) {
        uint32_t queued = 0;
        int error = SerialOutputQueue(port, &queued);
        if (error != 0)
            return error;
        if (queued == 0)
            break;
        uint32_t left = RemainingMs(end);
        if (left == 0) {
            *pending = queued;
            return 0;
        }
        uint64_t ms = port->charTimeUs ? (static_cast<uint64_t>(queued) * port->charTimeUs + 999) / 1000 : 1;
        Sleep(static_cast<DWORD>(ms < left ? ms : left));
    }
    // With the queue empty, a flush waits only for the UART's FIFO and shift register:
    // RTS must not drop before the last stop bit.
    (void)FlushFileBuffers(port->handle);
    return 0;
}

int SerialSystemDrivesRts(PlatformSerial *port)
{
    DCB state;
    state.DCBlength = sizeof state;
    if (!GetCommState(port->handle, &state))
        return static_cast<int>(GetLastError());
    const DWORD previous = state.fRtsControl;
    state.fRtsControl = RTS_CONTROL_TOGGLE;
    if (!SetCommState(port->handle, &state))
        return static_cast<int>(GetLastError());
    DCB check;
    check.DCBlength = sizeof check;
    if (!GetCommState(port->handle, &check) || check.fRtsControl != RTS_CONTROL_TOGGLE)
        return ERROR_NOT_SUPPORTED;
    if (!port->rtsChanged) {
        port->previousRtsControl = previous;
        port->rtsChanged = true;
    }
    return 0;
}

int SerialInputQueue(PlatformSerial *port, uint32_t *bytes)
{
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(port->handle, &errors, &status))
        return static_cast<int>(GetLastError());
    std::lock_guard<std::mutex> lock(port->readLock);
    *bytes = status.cbInQue + (port->tail - port->head);
    return 0;
}

int SerialPurgeOutput(PlatformSerial *port)
{
    return PurgeComm(port->handle, PURGE_TXABORT | PURGE_TXCLEAR) ? 0 : static_cast<int>(GetLastError());
}

int SerialRead(PlatformSerial *port, void *buffer, uint32_t count, uint32_t timeoutMs, uint32_t *got)
{
    unsigned char *out = static_cast<unsigned char *>(buffer);
    uint32_t done = 0;
    int error = 0;
    const uint64_t end = NowMs() + timeoutMs;
    std::lock_guard<std::mutex> lock(port->readLock);
    while (done < count) {
        if (port->head == port->tail) {
            error = FillBuffer(port, end);
            if (error != 0 || port->head == port->tail)
                break; /* failed, or nothing came in time */
        }
        uint32_t take = port->tail - port->head;
        if (take > count - done)
            take = count - done;
        memcpy(out + done, port->buffer + port->head, take);
        port->head += take;
        done += take;
    }
    NoteRead(port, done);
    *got = done;
    return error;
}

int SerialWrite(PlatformSerial *port, const void *bytes, uint32_t count, uint32_t boundMs, uint32_t *written)
{
    *written = 0;
    // The whole write under one total time-out: a line that stops taking bytes cannot
    // hold the caller beyond the bound. A write that runs out succeeds with fewer bytes.
    int error = SetTimeouts(port, false, 0, 0, boundMs == 0 ? 1 : boundMs);
    if (error != 0)
        return error;
    DWORD n = 0;
    if (!WriteFile(port->handle, bytes, count, &n, nullptr))
        return static_cast<int>(GetLastError());
    *written = n;
    return 0;
}

bool SerialLineGone(int error)
{
    // What a read or a write reports once a USB adapter or a virtual port has gone.
    switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

const char *SerialErrorText(int error, char *text, size_t size)
{
    if (size == 0)
        return text;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, text, static_cast<DWORD>(size < 65536 ? size : 65535),
                             nullptr);
    if (n == 0) {
        snprintf(text, size, "error %d", error);
        return text;
    }
    // The system's texts end in a full stop and a line end, which a log line does not want.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    return text;
}

bool SerialGetStatistics(const PlatformSerial *port, SerialStatistics *statistics)
{
    if (!port || !statistics)
        return false;
    statistics->systemReads = port->systemReads.load();
    statistics->portReads = port->portReads.load();
    for (int i = 0; i < SERIAL_RECENT_READS; i++)
        statistics->recentReads[i] = port->recentReads[i].load();
    return true;
}

void SerialSetLockFolder(const char *)
{
    // Windows has no lock files for serial ports: the exclusive open is the lock.
}
