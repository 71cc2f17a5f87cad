// The lines of the pool: TCP sockets with a one-byte receive over an internal buffer.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "dialx/PoolState.h"

namespace dialx::detail {

namespace {

using Clock = std::chrono::steady_clock;

// A sender whose peer stops reading still gets its answer within this bound, also
// with a very short receive time-out.
constexpr uint32_t kMinSendWaitMs = 1000;
// One Flush drains at most this many reads, so a peer that streams without pause
// cannot hold the caller.
constexpr int kMaxFlushReads = 64;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool PeerGoneErrno(int error)
{
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT ||
           error == ECONNABORTED;
}

int32_t ConnectErrno(int error)
{
    if (error == ECONNREFUSED)
        return DIALX_MODEM_NOT_RESPONDING;
    if (error == ETIMEDOUT)
        return DIALX_CONNECTION_TIMEOUT;
    return DIALX_COMM_ERROR;
}

} // namespace

Wakeup::Wakeup()
{
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = -1;
        fds_[1] = -1;
    }
}

Wakeup::~Wakeup()
{
    if (fds_[0] >= 0)
        close(fds_[0]);
    if (fds_[1] >= 0)
        close(fds_[1]);
}

void Wakeup::Fire()
{
    if (fds_[1] < 0)
        return;
    const char one = 1;
    // A full pipe is already readable, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = write(fds_[1], &one, 1);
}

void Stats::Clear()
{
    outgoingCalls = 0;
    failedCalls = 0;
    alarmCalls = 0;
    rejectedCalls = 0;
    bytesIn = 0;
    bytesOut = 0;
}

// Never destroyed, like the pool: a listener thread may still count at process exit.
Stats &TheStats()
{
    static Stats *stats = new Stats;
    return *stats;
}

Connection::Connection(int fd, uint32_t timeoutCs) : fd_(fd), timeoutCs_(timeoutCs) {}

Connection::~Connection()
{
    close(fd_);
}

void Connection::Close()
{
    closed_.store(true);
    // Wakes a Receive or Send that waits in poll() on this socket; the descriptor itself
    // stays valid until the last holder drops the connection.
    shutdown(fd_, SHUT_RDWR);
}

void Connection::Preload(const uint8_t *bytes, size_t count)
{
    std::lock_guard<std::mutex> lock(readMutex_);
    count = std::min(count, buffer_.size());
    std::memcpy(buffer_.data(), bytes, count);
    head_ = 0;
    tail_ = count;
}

int32_t Connection::Send(const uint8_t *bytes, uint32_t count)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (closed_.load())
        return DIALX_ILL_CONN_REFERENCE;
    if (count == 0)
        return DIALX_OK;
    if (bytes == nullptr)
        return DIALX_WRITING_ERROR;

    // A peer that has closed its side is gone for this protocol; without this check the
    // first send after its close would still be reported as sent.
    pollfd probe{fd_, POLLRDHUP, 0};
    if (poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)))
        return closed_.load() ? DIALX_ILL_CONN_REFERENCE : DIALX_CONN_BROKEN;

    const auto deadline = Clock::now() + std::chrono::milliseconds(
                                             std::max<uint64_t>(uint64_t{Timeout()} * 10, kMinSendWaitMs));
    uint32_t sent = 0;
    while (sent < count) {
        ssize_t n = send(fd_, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            TheStats().bytesOut += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int left = RemainingMs(deadline);
            if (left == 0)
                return DIALX_WRITING_ERROR;
            pollfd wait{fd_, POLLOUT, 0};
            if (poll(&wait, 1, left) < 0 && errno != EINTR)
                return DIALX_WRITING_ERROR;
            if (closed_.load())
                return DIALX_ILL_CONN_REFERENCE;
            continue;
        }
        if (closed_.load())
            return DIALX_ILL_CONN_REFERENCE;
        return (n < 0 && PeerGoneErrno(errno)) ? DIALX_CONN_BROKEN : DIALX_WRITING_ERROR;
    }
    return DIALX_OK;
}

int32_t Connection::Receive(uint8_t *byte)
{
    std::lock_guard<std::mutex> lock(readMutex_);
    if (closed_.load())
        return DIALX_ILL_CONN_REFERENCE;
    if (head_ < tail_) {
        *byte = buffer_[head_++];
        return DIALX_OK;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(uint64_t{Timeout()} * 10);
    for (;;) {
        pollfd wait{fd_, POLLIN | POLLRDHUP, 0};
        int ready = poll(&wait, 1, RemainingMs(deadline));
        if (closed_.load())
            return DIALX_ILL_CONN_REFERENCE;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return DIALX_COMM_ERROR;
        }
        if (ready == 0) {
            if (RemainingMs(deadline) == 0)
                return DIALX_CONNECTION_TIMEOUT;
            continue;
        }
        ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), 0);
        if (n > 0) {
            TheStats().bytesIn += static_cast<uint64_t>(n);
            head_ = 0;
            tail_ = static_cast<size_t>(n);
            *byte = buffer_[head_++];
            return DIALX_OK;
        }
        if (closed_.load())
            return DIALX_ILL_CONN_REFERENCE;
        if (n == 0)
            return DIALX_CONN_BROKEN;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        return PeerGoneErrno(errno) ? DIALX_CONN_BROKEN : DIALX_COMM_ERROR;
    }
}

int32_t Connection::Flush()
{
    std::lock_guard<std::mutex> lock(readMutex_);
    if (closed_.load())
        return DIALX_ILL_CONN_REFERENCE;
    head_ = 0;
    tail_ = 0;
    for (int i = 0; i < kMaxFlushReads; ++i) {
        ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (n <= 0)
            break;
        TheStats().bytesIn += static_cast<uint64_t>(n);
    }
    return DIALX_OK;
}

int32_t TcpConnect(const sockaddr_storage &address, socklen_t length, uint32_t timeoutMs,
                   int wakeFd, int *fd)
{
    int s = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return DIALX_COMM_ERROR;
    // Telegrams are short and answered at once: no Nagle delay.
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    if (connect(s, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
        *fd = s;
        return DIALX_OK;
    }
    if (errno != EINPROGRESS) {
        int32_t rc = ConnectErrno(errno);
        close(s);
        return rc;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd waits[2] = {{s, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        int ready = poll(waits, 2, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            close(s);
            return DIALX_COMM_ERROR;
        }
        if (waits[1].revents != 0) {
            close(s);
            return DIALX_TERMINATED;
        }
        if (ready == 0) {
            if (RemainingMs(deadline) > 0)
                continue;
            close(s);
            return DIALX_CONNECTION_TIMEOUT;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        if (error == 0) {
            *fd = s;
            return DIALX_OK;
        }
        close(s);
        return ConnectErrno(error);
    }
}

std::string Resolve(const std::string &host, uint16_t port, bool passive,
                    sockaddr_storage *address, socklen_t *length)
{
    if (host.empty())
        return "empty host";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr)
        return "cannot resolve host '" + host + "': " + gai_strerror(rc);
    std::memcpy(address, found->ai_addr, found->ai_addrlen);
    *length = found->ai_addrlen;
    freeaddrinfo(found);
    return "";
}

} // namespace dialx::detail
