#include "Peers.h"

#include "entry/DialX.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace dialx_test {

namespace {

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int BoundSocket(uint16_t *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        throw std::runtime_error("test socket cannot bind");
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

bool Readable(int fd, int timeoutMs)
{
    pollfd wait{fd, POLLIN, 0};
    return poll(&wait, 1, timeoutMs) > 0;
}

} // namespace

ClosedPort::ClosedPort() { fd_ = BoundSocket(&port_); }

ClosedPort::~ClosedPort() { close(fd_); }

Station::Station(int backlog)
{
    if (listen(fd_, backlog) != 0)
        throw std::runtime_error("test station cannot listen");
}

int Station::Accept(int timeoutMs)
{
    return Readable(fd_, timeoutMs) ? accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

BlackHole::BlackHole()
{
    if (listen(fd_, 0) != 0)
        throw std::runtime_error("test black hole cannot listen");
    // Fill the accept queue until a connect no longer completes.
    for (int &filler : fillers_) {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(port_);
        connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
        pollfd wait{filler, POLLOUT, 0};
        if (poll(&wait, 1, 200) == 0)
            return;
    }
    throw std::runtime_error("test black hole still accepts connections");
}

BlackHole::~BlackHole()
{
    for (int filler : fillers_)
        if (filler >= 0)
            close(filler);
}

int DialFrom(const std::string &source, const std::string &destination, uint16_t port)
{
    dialx::SocketAddress from = Address(source, 0), to = Address(destination, port);
    int fd = socket(to.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&from.storage), from.length) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to.storage), to.length) != 0) {
        Close(fd);
        return -1;
    }
    return fd;
}

dialx::SocketAddress Address(const std::string &numeric, uint16_t port)
{
    dialx::SocketAddress address;
    auto *four = reinterpret_cast<sockaddr_in *>(&address.storage);
    auto *six = reinterpret_cast<sockaddr_in6 *>(&address.storage);
    if (inet_pton(AF_INET, numeric.c_str(), &four->sin_addr) == 1) {
        four->sin_family = AF_INET;
        four->sin_port = htons(port);
        address.length = sizeof *four;
    } else if (inet_pton(AF_INET6, numeric.c_str(), &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(port);
        address.length = sizeof *six;
    } else {
        throw std::runtime_error("test address '" + numeric + "' is not numeric");
    }
    return address;
}

int Dial(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void WriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("test peer cannot write");
        done += static_cast<size_t>(n);
    }
}

std::string ReadUpTo(int fd, size_t count, int timeoutMs)
{
    std::string got;
    char chunk[4096];
    while (got.size() < count && Readable(fd, timeoutMs)) {
        size_t want = std::min(count - got.size(), sizeof chunk);
        ssize_t n = recv(fd, chunk, want, 0);
        if (n <= 0)
            break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

bool SeesClose(int fd, int timeoutMs)
{
    char byte;
    while (Readable(fd, timeoutMs)) {
        ssize_t n = recv(fd, &byte, 1, 0);
        if (n <= 0)
            return true;
    }
    return false;
}

void CloseWithReset(int fd)
{
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

void Close(int fd)
{
    if (fd >= 0)
        close(fd);
}

size_t OpenDescriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

int32_t ReceiveBytes(uint16_t ref, size_t count, std::string &got)
{
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = 0;
        uint32_t received = 7;
        int32_t rc = DIALX_Receive(ref, &byte, 1, &received);
        if (rc != DIALX_OK)
            return rc;
        EXPECT_EQ(received, 1u);
        got.push_back(static_cast<char>(byte));
    }
    return DIALX_OK;
}

TempFile::TempFile(const std::string &text)
{
    static std::atomic<int> serial{0};
    const char *dir = std::getenv("TMPDIR");
    path_ = std::string(dir ? dir : "/tmp") + "/dialx-test-" + std::to_string(getpid()) + "-" +
            std::to_string(serial++) + ".toml";
    std::ofstream(path_) << text;
}

TempFile::~TempFile() { std::remove(path_.c_str()); }

} // namespace dialx_test
