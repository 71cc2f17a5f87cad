// Alarm calls on the pool's listening port: a caller sends arbitrary bytes and closes.
// The pool must hand the call to the host exactly when the first line (after empty
// ones) is a station number of 1 to 10 digits within 16 bytes, from an address that the
// station's allow list admits, and the host must then receive exactly the bytes that
// followed the line; every other caller is closed without a byte.
//
// Input: the caller's bytes.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "dialx/Pool.h"
#include "entry/DialX.h"

namespace {

constexpr uint32_t kBarred = 7; // its allow list names another address

struct Handed {
    uint32_t station;
    std::string bytes;
};

std::mutex gGuard;
std::optional<Handed> gHanded;
int gPort = 0;

// What the pool should do with these bytes: the station and the traffic after its line.
std::optional<Handed> Expected(const std::string &sent)
{
    const size_t begin = sent.find_first_not_of("\r\n");
    if (begin == std::string::npos)
        return std::nullopt;
    const size_t end = sent.find_first_of("\r\n", begin);
    if (end == std::string::npos || end - begin >= dialx::kMaxIdentLine)
        return std::nullopt;
    const std::string line = sent.substr(begin, end - begin);
    if (line.size() > 10 || line.find_first_not_of("0123456789") != std::string::npos || std::stoull(line) > UINT32_MAX ||
        std::stoull(line) == kBarred)
        return std::nullopt;
    size_t data = end + 1;
    if (sent[end] == '\r' && data < sent.size() && sent[data] == '\n')
        data++;
    return Handed{static_cast<uint32_t>(std::stoull(line)), sent.substr(data)};
}

void Answer(uint32_t station, uint16_t ref)
{
    // The traffic of the call, up to the caller's close.
    Handed handed{station, {}};
    DIALX_Timeout(ref, 100);
    for (;;) {
        uint8_t byte = 0;
        uint32_t got = 0;
        if (DIALX_Receive(ref, &byte, 1, &got) != DIALX_OK || got != 1)
            break;
        handed.bytes += static_cast<char>(byte);
    }
    {
        std::lock_guard<std::mutex> lock(gGuard);
        gHanded = handed; // before the caller sees its line end
    }
    DIALX_Disconnect(ref);
}

// The caller's waits, kept whole across the signals that libFuzzer's timer sends every
// second: an interrupted call is no answer from the pool.
bool WaitFor(int fd, short events, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd ready{fd, events, 0};
        const int n = poll(&ready, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n == 1)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

bool Connect(int fd, const sockaddr_in &to)
{
    if (connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0)
        return true;
    if (errno != EINTR || !WaitFor(fd, POLLOUT, 10000))
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    dialx::SetLogSink([](const std::string &) {});
    dialx::Directory directory;
    directory.alarm.enabled = true;
    directory.alarm.identTimeoutMs = 2000;
    dialx::AddressPrefix elsewhere;
    if (!dialx::AddressPrefix::Parse("192.0.2.7", elsewhere).empty())
        abort();
    directory.alarm.access.allowFrom[kBarred] = {elsewhere};
    if (!dialx::Configure(directory).empty())
        abort();
    dialx::SetAlarmCallback(Answer);
    gPort = dialx::ListenPort();
    if (gPort <= 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string sent(reinterpret_cast<const char *>(data), size);
    {
        std::lock_guard<std::mutex> lock(gGuard);
        gHanded.reset();
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(gPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || !Connect(fd, to))
        abort();
    for (size_t done = 0; done < size;) {
        const ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the pool closed a bad line before all was sent
        done += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    // The pool ends every call: a refused one at once, an answered one after its traffic.
    // Nothing may come back.
    if (!WaitFor(fd, POLLIN, 10000))
        abort(); // the call was left hanging
    char byte;
    ssize_t n;
    do
        n = recv(fd, &byte, 1, 0);
    while (n < 0 && errno == EINTR);
    if (n > 0)
        abort();
    close(fd);

    const std::optional<Handed> expected = Expected(sent);
    for (int waited = 0; expected; waited++) {
        std::lock_guard<std::mutex> lock(gGuard);
        if (gHanded)
            break;
        if (waited > 10000)
            abort();
        usleep(100);
    }
    std::lock_guard<std::mutex> lock(gGuard);
    if (expected.has_value() != gHanded.has_value())
        abort();
    if (expected && (expected->station != gHanded->station || expected->bytes != gHanded->bytes))
        abort();
    return 0;
}
