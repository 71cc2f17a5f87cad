// The serial port on POSIX: exclusive open with a UUCP lock file, termios line settings
// read back, modem-control lines, queues, the wait for the transmitter, and buffered reads
// and bounded writes with real-time time-outs.
#include "platform/Serial.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "platform/Platform.h"

enum { SERIAL_READ_BUFFER_SIZE = 4096, SERIAL_LOCK_PATH_SIZE = 512 };

struct PlatformSerial {
    int fd;
    bool nullDevice;                       /* no termios at all */
    bool pseudoTerminal;                   /* forces its own character format */
    std::atomic<int> rtsRefusal;           /* the error with which the device refused RTS, 0 if it took it */
    const SerialSystemCalls *sys;          /* the calls beneath this port */
    uint32_t charTimeUs;                   /* one character on the wire, 0 before configuring */
    char lockPath[SERIAL_LOCK_PATH_SIZE];  /* our UUCP lock file, empty when none is held */
#if defined(TIOCSRS485)
    bool rs485Changed;                     /* previousRs485 goes back at close */
    struct serial_rs485 previousRs485;
#endif
    /* Bytes read from the device and not yet handed out. One reader at a time. */
    std::mutex readLock;
    unsigned char buffer[SERIAL_READ_BUFFER_SIZE];
    uint32_t head;
    uint32_t tail;
    /* Counters for measurements and tests. */
    std::atomic<uint64_t> systemReads;     /* read() calls on the device */
    std::atomic<uint64_t> portReads;       /* SerialRead calls */
    std::atomic<uint32_t> recentReads[SERIAL_RECENT_READS]; /* sizes of the last reads, a ring */
    std::atomic<uint64_t> recentNext;      /* where the next size goes: the oldest entry */
};

namespace {

int SystemIoctl(int fd, unsigned long request, void *argument)
{
    return ioctl(fd, request, argument);
}

int SystemPoll(struct pollfd *fds, unsigned long count, int timeoutMs)
{
    return poll(fds, static_cast<nfds_t>(count), timeoutMs);
}

} // namespace

const SerialSystemCalls kSerialSystemCalls = {SystemIoctl, tcgetattr, tcsetattr, tcdrain,
                                              fstat,       read,      write,     SystemPoll};

namespace {

std::atomic<const SerialSystemCalls *> gSystemCalls{&kSerialSystemCalls};

const char kDefaultLockFolder[] = "/run/lock";
std::mutex gLockFolderGuard;
char gLockFolder[256] = "/run/lock";

struct BaudEntry {
    uint32_t rate;
    speed_t speed;
};

const BaudEntry kBaudRates[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},   {150, B150},   {200, B200},
    {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800}, {2400, B2400}, {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    {230400, B230400},
};

bool SpeedOf(uint32_t rate, speed_t *speed)
{
    for (const BaudEntry &entry : kBaudRates)
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    return false;
}

uint32_t RateOf(speed_t speed)
{
    for (const BaudEntry &entry : kBaudRates)
        if (entry.speed == speed)
            return entry.rate;
    return 0;
}

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int RemainingMs(int64_t end)
{
    int64_t left = end - NowMs();
    if (left <= 0)
        return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

/* Called under readLock for every byte of a reply: the counters need no ordering of their
 * own, only atomicity for the readers of the statistics. */
void NoteRead(PlatformSerial *port, uint32_t size)
{
    const uint64_t next = port->recentNext.load(std::memory_order_relaxed);
    port->recentReads[next % SERIAL_RECENT_READS].store(size, std::memory_order_relaxed);
    port->recentNext.store(next + 1, std::memory_order_relaxed);
    port->portReads.fetch_add(1, std::memory_order_relaxed);
}

/* One read() of whatever has arrived into the empty buffer, after waiting until `end`
 * for it; a signal shortens no wait and restarts none. 0 with nothing added on time-out;
 * EIO when the line has gone. The descriptor is non-blocking: a readiness that turns out
 * empty waits again for the rest of the time. */
int FillBuffer(PlatformSerial *port, int64_t end)
{
    for (;;) {
        struct pollfd ready = {port->fd, POLLIN, 0};
        int rc;
        do
            rc = port->sys->poll(&ready, 1, RemainingMs(end));
        while (rc < 0 && errno == EINTR);
        if (rc < 0)
            return errno;
        if (rc == 0)
            return 0;
        if (!(ready.revents & POLLIN))
            return (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) ? EIO : 0;
        ssize_t n;
        do {
            port->systemReads++;
            n = port->sys->read(port->fd, port->buffer, sizeof port->buffer);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EAGAIN && RemainingMs(end) > 0)
            continue;
        if (n < 0)
            return errno == EAGAIN ? 0 : errno;
        if (n == 0)
            return EIO; /* end of file: the other side of the line has gone */
        port->head = 0;
        port->tail = static_cast<uint32_t>(n);
        return 0;
    }
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

/* Unix98 pseudo-terminal slaves have majors 136..143, the old BSD ones 3. */
bool IsPseudoTerminal(const SerialSystemCalls *sys, int fd)
{
    struct stat status;
    if (sys->fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return false;
    unsigned int number = major(status.st_rdev);
    return (number >= 136 && number <= 143) || number == 3;
}

/* The UUCP lock of a device: "LCK.." and the device's path under /dev with every further
 * '/' made '_' (ttyS0 gives LCK..ttyS0, pts/3 gives LCK..pts_3). Symbolic links are
 * followed first, so that every name of one device takes the one lock that cu, minicom
 * and pppd take for it. False when the path does not fit. */
bool LockPath(const char *devicePath, char *lock, size_t size)
{
    char real[PATH_MAX];
    const char *name = realpath(devicePath, real) ? real : devicePath;
    if (strncmp(name, "/dev/", 5) == 0)
        name += 5;
    while (*name == '/')
        name++;
    int n;
    {
        std::lock_guard<std::mutex> guard(gLockFolderGuard);
        n = snprintf(lock, size, "%s/LCK..", gLockFolder);
    }
    if (n < 0 || static_cast<size_t>(n) >= size)
        return false;
    size_t at = static_cast<size_t>(n);
    for (; *name; name++) {
        if (at + 1 >= size)
            return false;
        lock[at++] = *name == '/' ? '_' : *name;
    }
    lock[at] = '\0';
    return true;
}

/* The PID in a lock file, 0 when there is none to read. */
pid_t LockOwner(const char *lock)
{
    int fd = open(lock, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    char text[16];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    long pid = strtol(text, nullptr, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

/* Takes the UUCP lock of the device into port->lockPath. The lock is written under a
 * name of its own and linked into place, so that nobody ever reads it half written.
 * A lock whose process is gone (or that holds no PID) is stale and taken over; a lock
 * folder that cannot be used leaves the port without a lock. 0, or EBUSY when a live
 * process holds the lock. */
int TakeLock(PlatformSerial *port, const char *devicePath)
{
    char lock[SERIAL_LOCK_PATH_SIZE];
    char draft[SERIAL_LOCK_PATH_SIZE + 16];
    port->lockPath[0] = '\0';
    const pid_t self = getpid();
    if (!LockPath(devicePath, lock, sizeof lock))
        return 0;
    int n = snprintf(draft, sizeof draft, "%s.%d", lock, static_cast<int>(self));
    if (n < 0 || static_cast<size_t>(n) >= sizeof draft)
        return 0;
    int fd = open(draft, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return 0;
    char content[16];
    n = snprintf(content, sizeof content, "%10d\n", static_cast<int>(self));
    bool written = n > 0 && write(fd, content, static_cast<size_t>(n)) == n;
    close(fd);
    int result = 0;
    for (int attempt = 0; written && attempt < 2; attempt++) {
        if (link(draft, lock) == 0) {
            CopyText(port->lockPath, sizeof port->lockPath, lock);
            break;
        }
        if (errno != EEXIST)
            break;
        pid_t owner = LockOwner(lock);
        if (owner > 0 && owner != self && (kill(owner, 0) == 0 || errno != ESRCH)) {
            result = EBUSY;
            break;
        }
        (void)unlink(lock);
    }
    (void)unlink(draft);
    return result;
}

void ReleaseLock(PlatformSerial *port)
{
    if (port->lockPath[0] && LockOwner(port->lockPath) == getpid())
        (void)unlink(port->lockPath);
    port->lockPath[0] = '\0';
}

} // namespace

int SerialOpen(const char *name, PlatformSerial **port)
{
    char path[64];
    bool nullDevice = false;
    if (!name || !port || !DevicePath(name, path, sizeof path, &nullDevice))
        return EINVAL;
    // Non-blocking so that the open never waits for carrier detect.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    PlatformSerial *record = new (std::nothrow) PlatformSerial;
    if (!record) {
        close(fd);
        return ENOMEM;
    }
    record->fd = fd;
    record->nullDevice = nullDevice;
    record->sys = gSystemCalls.load();
    record->lockPath[0] = '\0';
    int error = 0;
    if (!nullDevice) {
        // TIOCEXCL does not keep out a privileged second opener, so a lock guards the
        // port against other processes and against a second open in this one; the lock
        // file speaks to the serial programs that know no other lock.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            error = errno == EWOULDBLOCK ? EBUSY : errno;
        else
            error = TakeLock(record, path);
        if (error == 0)
            (void)record->sys->ioctl(fd, TIOCEXCL, nullptr); /* not a terminal: the state read says so */
    }
    // The descriptor stays non-blocking: every read waits in poll() under its time-out and
    // a write can never hold the caller beyond its bound, without switching modes per call.
    if (error != 0) {
        ReleaseLock(record);
        close(fd);
        delete record;
        return error;
    }
    record->pseudoTerminal = !nullDevice && IsPseudoTerminal(record->sys, fd);
    record->rtsRefusal = 0;
    record->charTimeUs = 0;
#if defined(TIOCSRS485)
    record->rs485Changed = false;
#endif
    record->head = 0;
    record->tail = 0;
    record->systemReads = 0;
    record->portReads = 0;
    for (auto &size : record->recentReads)
        size = 0;
    record->recentNext = 0;
    *port = record;
    return 0;
}

int SerialClose(PlatformSerial *port)
{
    if (!port)
        return EBADF;
    if (!port->nullDevice)
        (void)port->sys->ioctl(port->fd, TIOCNXCL, nullptr); /* the terminal keeps the flag beyond our close */
#if defined(TIOCSRS485)
    if (port->rs485Changed)
        (void)port->sys->ioctl(port->fd, TIOCSRS485, &port->previousRs485);
#endif
    ReleaseLock(port);
    int rc = close(port->fd); /* also drops the lock */
    int error = rc == 0 ? 0 : errno;
    delete port;
    return error;
}

bool SerialIsNullDevice(const PlatformSerial *port)
{
    return port && port->nullDevice;
}

uint32_t SerialNumber(const PlatformSerial *port)
{
    return port ? static_cast<uint32_t>(port->fd) : 0;
}

namespace {

const tcflag_t kFormat = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

/* The line that termios flags describe (one and a half stop bits read back as two). */
SerialLine LineOf(const struct termios *state)
{
    SerialLine line = {RateOf(cfgetospeed(state)), 8, 0, (state->c_cflag & CSTOPB) ? 2u : 0u};
    switch (state->c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: break;
    }
    if (state->c_cflag & PARENB) {
        bool odd = (state->c_cflag & PARODD) != 0;
        line.parity = (state->c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    return line;
}

/* Raw mode with the line settings over the current state. 0, EDOM for a setting the
 * system cannot express, the errno of the refusal, or ERANGE when the port took the
 * request but kept another speed or format (*kept says which). */
int ApplyLine(PlatformSerial *port, const struct termios *current, const SerialLine *line, SerialLine *kept)
{
    speed_t speed;
    if (!SpeedOf(line->baudRate, &speed))
        return EDOM;
    tcflag_t size;
    switch (line->dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return EDOM;
    }
    tcflag_t parity;
    switch (line->parity) {
    case 0: parity = 0; break;
    case 1: parity = PARENB | PARODD; break;
    case 2: parity = PARENB; break;
    case 3: parity = PARENB | PARODD | CMSPAR; break; /* mark */
    case 4: parity = PARENB | CMSPAR; break;          /* space */
    default: return EDOM;
    }
    tcflag_t stop;
    switch (line->stopBits) {
    case 0: stop = 0; break;
    case 1: /* one and a half: POSIX knows one or two */
    case 2: stop = CSTOPB; break;
    default: return EDOM;
    }

    struct termios wanted = *current;
    cfmakeraw(&wanted);
    // Parity errors are checked; a byte in error arrives as NUL and the telegram
    // checksum rejects it.
    wanted.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR | PARMRK | ISTRIP | IGNBRK | BRKINT);
    if (parity)
        wanted.c_iflag |= INPCK;
    wanted.c_cflag &= ~(kFormat | CRTSCTS | HUPCL);
    wanted.c_cflag |= size | parity | stop | CLOCAL | CREAD;
    wanted.c_cc[VMIN] = 1;
    wanted.c_cc[VTIME] = 0;
    if (cfsetispeed(&wanted, speed) != 0 || cfsetospeed(&wanted, speed) != 0)
        return EDOM;

    if (port->sys->tcsetattr(port->fd, TCSANOW, &wanted) != 0) {
        int error = errno;
        // Some devices (pseudo-terminals) force their own character format and then
        // refuse a request for another one. Keep the device's format and take the rest;
        // the read-back below decides whether that format may stand.
        struct termios now;
        if (error != EINVAL || port->sys->tcgetattr(port->fd, &now) != 0)
            return error;
        wanted.c_cflag = (wanted.c_cflag & ~kFormat) | (now.c_cflag & kFormat);
        if (port->sys->tcsetattr(port->fd, TCSANOW, &wanted) != 0)
            return error;
    }
    // tcsetattr succeeds when any one change was taken: what counts must read back.
    struct termios check;
    if (port->sys->tcgetattr(port->fd, &check) != 0)
        return errno;
    bool formatKept = (check.c_cflag & kFormat) == (size | parity | stop);
    if (cfgetospeed(&check) != speed || (!formatKept && !port->pseudoTerminal)) {
        if (kept)
            *kept = LineOf(&check);
        return ERANGE;
    }
    // Start, data, parity and stop bits of one character, for the wait for the transmitter.
    uint32_t bits = 1 + line->dataBits + (parity ? 1 : 0) + (stop ? 2 : 1);
    port->charTimeUs = bits * 1000000u / line->baudRate + 1;
    return 0;
}

} // namespace

int SerialConfigure(PlatformSerial *port, const SerialLine *line, SerialLine *kept)
{
    struct termios state;
    if (!port || port->nullDevice || !line || port->sys->tcgetattr(port->fd, &state) != 0)
        return SERIAL_STATE_UNREADABLE;
    int error = ApplyLine(port, &state, line, kept);
    if (error == 0)
        return 0;
    return error == ERANGE ? SERIAL_STATE_NOT_KEPT : SERIAL_STATE_REFUSED;
}

int SerialSetControl(PlatformSerial *port, SerialControl line, bool on)
{
    // A device without modem-control lines (a pseudo-terminal) refuses RTS every time:
    // once it has, the refusal is the answer for as long as the port stays open.
    if (line == SERIAL_RTS) {
        const int refused = port->rtsRefusal.load(std::memory_order_relaxed);
        if (refused != 0)
            return refused;
    }
    int bits = line == SERIAL_RTS ? TIOCM_RTS : TIOCM_DTR;
    if (port->sys->ioctl(port->fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0)
        return 0;
    const int error = errno;
    if (line == SERIAL_RTS && (error == ENOTTY || error == EINVAL))
        port->rtsRefusal.store(error, std::memory_order_relaxed);
    return error;
}

int SerialOutputQueue(PlatformSerial *port, uint32_t *bytes)
{
    int pending = 0;
    if (port->sys->ioctl(port->fd, TIOCOUTQ, &pending) != 0)
        return errno;
    *bytes = pending > 0 ? static_cast<uint32_t>(pending) : 0;
    return 0;
}

int SerialWaitSent(PlatformSerial *port, uint32_t boundMs, uint32_t *pending)
{
    *pending = 0;
    // A pseudo-terminal hands what is written straight to the other side: there is no
    // transmitter to wait for, and its queue always reads empty.
    if (port->pseudoTerminal)
        return 0;
    const int64_t end = NowMs() + boundMs;
    // The system's queue first: sleep for the wire time of what it still holds.
    for (;;) {
        uint32_t queued = 0;
        int error = SerialOutputQueue(port, &queued);
        if (error != 0)
            return error;
        if (queued == 0)
            break;
        int left = RemainingMs(end);
        if (left == 0) {
            *pending = queued;
            return 0;
        }
        uint64_t us = port->charTimeUs ? static_cast<uint64_t>(queued) * port->charTimeUs : 1000;
        std::this_thread::sleep_for(std::chrono::microseconds(std::min<uint64_t>(us, left * 1000ull)));
    }
    // With the queue empty, tcdrain waits only for the UART's FIFO and shift register,
    // which the port's driver bounds itself; RTS must not drop before the last stop bit.
    while (port->sys->tcdrain(port->fd) != 0 && errno == EINTR && RemainingMs(end) > 0) {
    }
    return 0;
}

int SerialSystemDrivesRts(PlatformSerial *port)
{
#if defined(TIOCSRS485)
    struct serial_rs485 state;
    memset(&state, 0, sizeof state);
    if (port->sys->ioctl(port->fd, TIOCGRS485, &state) != 0)
        return errno;
    struct serial_rs485 wanted = state;
    wanted.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    wanted.flags &= ~(SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX);
    if (port->sys->ioctl(port->fd, TIOCSRS485, &wanted) != 0)
        return errno;
    if (!port->rs485Changed) {
        port->previousRs485 = state;
        port->rs485Changed = true;
    }
    return 0;
#else
    (void)port;
    return ENOTTY;
#endif
}

int SerialInputQueue(PlatformSerial *port, uint32_t *bytes)
{
    int pending = 0;
    if (port->sys->ioctl(port->fd, FIONREAD, &pending) != 0)
        return errno;
    std::lock_guard<std::mutex> lock(port->readLock);
    *bytes = (pending > 0 ? static_cast<uint32_t>(pending) : 0) + (port->tail - port->head);
    return 0;
}

int SerialPurgeOutput(PlatformSerial *port)
{
    return tcflush(port->fd, TCOFLUSH) == 0 ? 0 : errno;
}

int SerialRead(PlatformSerial *port, void *buffer, uint32_t count, uint32_t timeoutMs, uint32_t *got)
{
    unsigned char *out = static_cast<unsigned char *>(buffer);
    uint32_t done = 0;
    int error = 0;
    int64_t end = -1; /* taken when the first wait starts: bytes already buffered need no clock */
    std::lock_guard<std::mutex> lock(port->readLock);
    while (done < count) {
        if (port->head == port->tail) {
            if (end < 0)
                end = NowMs() + timeoutMs;
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
    const unsigned char *in = static_cast<const unsigned char *>(bytes);
    uint32_t done = 0;
    int error = 0;
    // The descriptor is non-blocking, so that a line that stops taking bytes cannot hold
    // the caller beyond the bound.
    int64_t end = NowMs() + boundMs;
    while (done < count) {
        ssize_t n = port->sys->write(port->fd, in + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            error = errno;
            break;
        }
        struct pollfd room = {port->fd, POLLOUT, 0};
        int wait = RemainingMs(end); /* a signal below comes back here: the bound holds */
        if (wait == 0)
            break;
        int rc = port->sys->poll(&room, 1, wait);
        if (rc < 0 && errno != EINTR) {
            error = errno;
            break;
        }
        if (rc > 0 && (room.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(room.revents & POLLOUT)) {
            error = EIO;
            break;
        }
    }
    *written = done;
    return error;
}

bool SerialLineGone(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}

const char *SerialErrorText(int error, char *text, size_t size)
{
    if (size == 0)
        return text;
    // The XSI and the GNU strerror_r differ in what they return; the buffer serves both.
    text[0] = '\0';
    auto result = strerror_r(error, text, size);
    if constexpr (std::is_same_v<decltype(result), char *>)
        return result ? result : text;
    else
        return text;
}

bool SerialGetStatistics(const PlatformSerial *port, SerialStatistics *statistics)
{
    if (!port || !statistics)
        return false;
    statistics->systemReads = port->systemReads.load();
    statistics->portReads = port->portReads.load();
    const uint64_t oldest = port->recentNext.load();
    for (int i = 0; i < SERIAL_RECENT_READS; i++)
        statistics->recentReads[i] = port->recentReads[(oldest + i) % SERIAL_RECENT_READS].load();
    return true;
}

void SerialSetLockFolder(const char *folder)
{
    std::lock_guard<std::mutex> guard(gLockFolderGuard);
    CopyText(gLockFolder, sizeof gLockFolder, folder ? folder : kDefaultLockFolder);
}

void SerialSetSystemCalls(const SerialSystemCalls *calls)
{
    gSystemCalls.store(calls ? calls : &kSerialSystemCalls);
}
