// The serial port on POSIX: exclusive open, termios line settings, modem-control lines,
// queues, and buffered reads and bounded writes with real-time time-outs.
#include "platform/Serial.h"

#include <atomic>
#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

enum { SERIAL_READ_BUFFER_SIZE = 4096 };

struct PlatformSerial {
    int fd;
    bool nullDevice;                       /* no termios at all */
    int fileFlags;                         /* fcntl flags of the open descriptor */
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

namespace {

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

void NoteRead(PlatformSerial *port, uint32_t size)
{
    for (int i = 0; i + 1 < SERIAL_RECENT_READS; i++)
        port->recentReads[i].store(port->recentReads[i + 1].load());
    port->recentReads[SERIAL_RECENT_READS - 1].store(size);
    port->portReads++;
}

/* One read() of whatever has arrived into the empty buffer, after waiting up to waitMs
 * for it. 0 with nothing added on time-out; EIO when the line has gone. */
int FillBuffer(PlatformSerial *port, int waitMs)
{
    struct pollfd ready = {port->fd, POLLIN, 0};
    int rc;
    do
        rc = poll(&ready, 1, waitMs);
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
        n = read(port->fd, port->buffer, sizeof port->buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN ? 0 : errno;
    if (n == 0)
        return EIO; /* end of file: the other side of the line has gone */
    port->head = 0;
    port->tail = static_cast<uint32_t>(n);
    return 0;
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
    if (!nullDevice) {
        // TIOCEXCL does not keep out a privileged second opener, so a lock guards the
        // port against other processes and against a second open in this one.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno == EWOULDBLOCK ? EBUSY : errno;
            close(fd);
            return error;
        }
        (void)ioctl(fd, TIOCEXCL); /* not a terminal: the state read of the configuration says so */
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int error = errno;
        close(fd);
        return error;
    }
    PlatformSerial *record = new (std::nothrow) PlatformSerial;
    if (!record) {
        close(fd);
        return ENOMEM;
    }
    record->fd = fd;
    record->nullDevice = nullDevice;
    record->fileFlags = flags & ~O_NONBLOCK;
    record->head = 0;
    record->tail = 0;
    record->systemReads = 0;
    record->portReads = 0;
    for (auto &size : record->recentReads)
        size = 0;
    *port = record;
    return 0;
}

int SerialClose(PlatformSerial *port)
{
    if (!port)
        return EBADF;
    if (!port->nullDevice)
        (void)ioctl(port->fd, TIOCNXCL); /* the terminal keeps the flag beyond our close */
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

/* Raw mode with the line settings over the current state. 0, EDOM for a setting the
 * system cannot express, or the errno of the refusal; EIO when the speed does not read
 * back. */
int ApplyLine(PlatformSerial *port, const struct termios *current, const SerialLine *line)
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
    const tcflag_t format = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    wanted.c_cflag &= ~(format | CRTSCTS | HUPCL);
    wanted.c_cflag |= size | parity | stop | CLOCAL | CREAD;
    wanted.c_cc[VMIN] = 1;
    wanted.c_cc[VTIME] = 0;
    if (cfsetispeed(&wanted, speed) != 0 || cfsetospeed(&wanted, speed) != 0)
        return EDOM;

    if (tcsetattr(port->fd, TCSANOW, &wanted) != 0) {
        int error = errno;
        // Some devices (pseudo-terminals) force their own character format and then
        // refuse a request for another one. Keep the device's format and take the rest.
        struct termios now;
        if (error != EINVAL || tcgetattr(port->fd, &now) != 0)
            return error;
        wanted.c_cflag = (wanted.c_cflag & ~format) | (now.c_cflag & format);
        if (tcsetattr(port->fd, TCSANOW, &wanted) != 0)
            return error;
    }
    // tcsetattr succeeds when any one change was taken: the speed must read back.
    struct termios check;
    if (tcgetattr(port->fd, &check) != 0)
        return errno;
    if (cfgetospeed(&check) != speed)
        return EIO;
    return 0;
}

} // namespace

int SerialConfigure(PlatformSerial *port, const SerialLine *line)
{
    struct termios state;
    if (!port || port->nullDevice || !line || tcgetattr(port->fd, &state) != 0)
        return SERIAL_STATE_UNREADABLE;
    return ApplyLine(port, &state, line) == 0 ? 0 : SERIAL_STATE_REFUSED;
}

int SerialSetControl(PlatformSerial *port, SerialControl line, bool on)
{
    int bits = line == SERIAL_RTS ? TIOCM_RTS : TIOCM_DTR;
    return ioctl(port->fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno;
}

int SerialOutputQueue(PlatformSerial *port, uint32_t *bytes)
{
    int pending = 0;
    if (ioctl(port->fd, TIOCOUTQ, &pending) != 0)
        return errno;
    *bytes = pending > 0 ? static_cast<uint32_t>(pending) : 0;
    return 0;
}

int SerialInputQueue(PlatformSerial *port, uint32_t *bytes)
{
    int pending = 0;
    if (ioctl(port->fd, FIONREAD, &pending) != 0)
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
    int64_t end = NowMs() + timeoutMs;
    std::lock_guard<std::mutex> lock(port->readLock);
    while (done < count) {
        if (port->head == port->tail) {
            error = FillBuffer(port, RemainingMs(end));
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
    // Non-blocking for the write alone, so that a line that stops taking bytes cannot
    // hold the caller beyond the bound.
    if (fcntl(port->fd, F_SETFL, port->fileFlags | O_NONBLOCK) != 0) {
        *written = 0;
        return errno;
    }
    int64_t end = NowMs() + boundMs;
    while (done < count) {
        ssize_t n = write(port->fd, in + done, count - done);
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
        int wait = RemainingMs(end);
        if (wait == 0)
            break;
        int rc = poll(&room, 1, wait);
        if (rc < 0 && errno != EINTR) {
            error = errno;
            break;
        }
        if (rc > 0 && (room.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(room.revents & POLLOUT)) {
            error = EIO;
            break;
        }
    }
    int saved = errno;
    (void)fcntl(port->fd, F_SETFL, port->fileFlags);
    errno = saved;
    *written = done;
    return error;
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
