// The serial port's buffered read in bursts: the device's read() hands out the bytes in
// chunks of 1 to 4096, with interrupted calls, empty polls and a line that goes away.
// SerialRead must hand out every byte once, in order, whatever sizes are asked for; then
// the same line feeds ReceiveMsg through the port layer and the serial transport.
//
// Input: byte 0 picks the sizes SerialRead is asked for; then events, each one control
// byte c: c % 8 < 5 a chunk of (c / 8 + 1) bytes (times 128 for c % 8 == 4) that follow
// it, 5 a read interrupted by a signal, 6 a read that finds nothing, 7 an empty poll, or
// the end of the line when c / 8 == 31.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <deque>
#include <string>

#include "config/Lifecycle.h"
#include "fuzz/FuzzSupport.h"
#include "host/Host.h"
#include "link/Port.h"
#include "link/Telegram.h"
#include "link/Transport.h"
#include "platform/Serial.h"

namespace {

enum Kind { CHUNK, INTERRUPTED, NOTHING, EMPTY_POLL, GONE };

struct Event {
    Kind kind;
    std::string bytes;
};

std::deque<Event> gEvents;
bool gGone = false;

// The events of an input, and the bytes that come before the line goes.
std::deque<Event> Events(fuzz::Reader &input, std::string *delivered)
{
    std::deque<Event> events;
    bool gone = false;
    while (input.Left() > 0) {
        const uint8_t c = input.Byte();
        Event event{CHUNK, {}};
        switch (c % 8) {
        case 5: event.kind = INTERRUPTED; break;
        case 6: event.kind = NOTHING; break;
        case 7: event.kind = c / 8 == 31 ? GONE : EMPTY_POLL; break;
        default: {
            size_t length = (c / 8u + 1) * (c % 8 == 4 ? 128u : 1u);
            if (length > input.Left())
                length = input.Left();
            event.bytes.assign(reinterpret_cast<const char *>(input.Rest()), length);
            for (size_t i = 0; i < length; i++)
                input.Byte();
            if (!gone)
                *delivered += event.bytes;
        }
        }
        gone = gone || event.kind == GONE;
        events.push_back(event);
    }
    return events;
}

int FakePoll(struct pollfd *fds, unsigned long, int)
{
    if (gGone) {
        fds->revents = POLLIN;
        return 1;
    }
    if (gEvents.empty())
        return 0;
    if (gEvents.front().kind == EMPTY_POLL) {
        gEvents.pop_front();
        return 0;
    }
    fds->revents = POLLIN;
    return 1;
}

ssize_t FakeRead(int, void *buffer, size_t count)
{
    if (gGone || gEvents.empty())
        return 0;
    Event &event = gEvents.front();
    switch (event.kind) {
    case INTERRUPTED:
        gEvents.pop_front();
        errno = EINTR;
        return -1;
    case NOTHING:
    case EMPTY_POLL:
        gEvents.pop_front();
        errno = EAGAIN;
        return -1;
    case GONE:
        gGone = true;
        return 0;
    case CHUNK:
        break;
    }
    const size_t n = event.bytes.size() < count ? event.bytes.size() : count;
    memcpy(buffer, event.bytes.data(), n);
    event.bytes.erase(0, n);
    if (event.bytes.empty())
        gEvents.pop_front();
    return static_cast<ssize_t>(n);
}

int FakeIoctl(int, unsigned long request, void *argument)
{
    if (request == FIONREAD)
        *static_cast<int *>(argument) = 0;
    return 0;
}

const SerialSystemCalls kFake = {FakeIoctl,
                                 [](int, struct termios *) { return 0; },
                                 [](int, int, const struct termios *) { return 0; },
                                 [](int) { return 0; },
                                 [](int fd, struct stat *status) { return fstat(fd, status); },
                                 FakeRead,
                                 [](int, const void *, size_t count) { return static_cast<ssize_t>(count); },
                                 FakePoll};

const uint32_t kSizes[8][4] = {{1, 1, 1, 1},     {4096, 4096, 4096, 4096}, {7, 4095, 1, 13}, {2, 3, 5, 8},
                               {100, 1, 50, 4097}, {4095, 4095, 2, 1},       {64, 64, 64, 64}, {1, 4096, 1, 4096}};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    SerialSetSystemCalls(&kFake);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DriverInstance *const instance = fuzz::NewInstance();
    fuzz::Reader input(data, size);
    const uint32_t *sizes = kSizes[input.Byte() % 8];
    std::string delivered;
    const std::deque<Event> events = Events(input, &delivered);

    // Every byte before the line went, once and in order.
    gEvents = events;
    gGone = false;
    PlatformSerial *port = nullptr;
    if (SerialOpen("NUL", &port) != 0)
        abort();
    std::string received;
    static unsigned char buffer[4097];
    for (unsigned call = 0; call < 100000; call++) {
        uint32_t got = 0;
        const int error = SerialRead(port, buffer, sizes[call % 4], 0, &got);
        if (got > sizes[call % 4])
            abort();
        received.append(reinterpret_cast<const char *>(buffer), got);
        if (error != 0 && !SerialLineGone(error))
            abort(); // only a line that went may fail a read
        if (error != 0 || (gEvents.empty() && got == 0))
            break;
    }
    SerialClose(port);
    if (received != delivered)
        abort();

    // The same line under the driver's receiver.
    gEvents = events;
    gGone = false;
    PortHandle handle = 0;
    LineSettings settings = {9600, 8, 0, 0};
    if (OpenPort("NUL", &settings, 0x0303, &handle) != PORT_OK)
        abort();
    instance->comHandle = handle;
    ChooseTransport(instance);
    char reply[600];
    for (int telegrams = 0; telegrams < 10000 && !(gEvents.empty() || gGone); telegrams++) {
        uint32_t length = 0;
        if (ReceiveMsg(reply, &length, instance, 1, sizeof reply) == LINK_OK &&
            (length + 2 > sizeof reply || reply[length] != '\0'))
            abort();
    }
    instance->comHandle = 0;
    ClosePort(handle);
    kiv::Runtime::Get().ClearLog();
    return 0;
}
