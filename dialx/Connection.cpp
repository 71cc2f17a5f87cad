// The lines of the pool: TCP sockets with a one-byte receive over an internal buffer.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "dialx/Net.h"
#include "dialx/PoolState.h"
#if defined(_WIN32)
#include <mstcpip.h>
#endif

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

// The peer has gone, or the way to it: a reset, a close, keepalive probes or data left
// unacknowledged past the user time-out (ETIMEDOUT, or the ICMP error that the kernel
// saw meanwhile), a network that is down.
bool PeerGoneErrno(int error)
{
    switch (error) {
    case EPIPE: case ECONNRESET: case ENOTCONN: case ECONNABORTED: case ETIMEDOUT:
    case EHOSTUNREACH: case ENETUNREACH: case ENETDOWN: case EHOSTDOWN:
        return true;
    default:
        return false;
    }
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

void Connection::Preload(const uint8_t *bytes, size_t count, bool dropLeadingLf)
{
    std::lock_guard<std::mutex> lock(readMutex_);
    count = std::min(count, buffer_.size());
    std::memcpy(buffer_.data(), bytes, count);
    head_ = 0;
    tail_ = count;
    dropLeadingLf_ = dropLeadingLf && count == 0;
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
        return n < 0 ? TransferStatus(errno, DIALX_WRITING_ERROR) : DIALX_WRITING_ERROR;
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
            if (dropLeadingLf_) {
                dropLeadingLf_ = false;
                if (buffer_[0] == '\n' && ++head_ == tail_)
                    continue;
            }
            *byte = buffer_[head_++];
            return DIALX_OK;
        }
        if (closed_.load())
            return DIALX_ILL_CONN_REFERENCE;
        if (n == 0)
            return DIALX_CONN_BROKEN;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        return TransferStatus(errno, DIALX_COMM_ERROR);
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
        dropLeadingLf_ = false; // whatever it was, it is discarded
        TheStats().bytesIn += static_cast<uint64_t>(n);
    }
    return DIALX_OK;
}

int32_t TransferStatus(int error, int32_t otherwise)
{
    return PeerGoneErrno(error) ? DIALX_CONN_BROKEN : otherwise;
}

bool ApplyTcpSettings(int fd, const TcpSettings &settings)
{
    const int on = 1;
#if defined(_WIN32)
    // Winsock sets the keepalive idle time and interval in one call, in milliseconds, and
    // has no probe count (Windows sends ten) nor a user time-out.
    tcp_keepalive values{1, settings.keepaliveIdleS * 1000u, settings.keepaliveIntervalS * 1000u};
    DWORD returned = 0;
    return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           WSAIoctl(static_cast<SOCKET>(static_cast<unsigned>(fd)), SIO_KEEPALIVE_VALS, &values, sizeof values,
                    nullptr, 0, &returned, nullptr, nullptr) == 0;
#else
    const int idle = static_cast<int>(settings.keepaliveIdleS);
    const int interval = static_cast<int>(settings.keepaliveIntervalS);
    const int probes = static_cast<int>(settings.keepaliveProbes);
    const unsigned userTimeout = settings.userTimeoutMs;
    return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
           setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
           setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
           setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) == 0;
#endif
}

namespace {

// One address; see ConnectAny.
int32_t TcpConnect(const SocketAddress &address, uint32_t timeoutMs, int wakeFd, int *fd)
{
    const sa_family_t family = address.storage.ss_family;
    if ((family != AF_INET || address.length != sizeof(sockaddr_in)) &&
        (family != AF_INET6 || address.length != sizeof(sockaddr_in6)))
        return DIALX_COMM_ERROR; // not a TCP peer: a resolver that got it wrong
    int s = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return DIALX_COMM_ERROR;
    // Telegrams are short and answered at once: no Nagle delay.
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    if (connect(s, reinterpret_cast<const sockaddr *>(&address.storage), address.length) == 0) {
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

} // namespace

int32_t ConnectAny(const std::vector<SocketAddress> &addresses, uint32_t timeoutMs, int wakeFd,
                   const TcpSettings &settings, int *fd)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int32_t rc = DIALX_CONNECTION_TIMEOUT;
    for (size_t i = 0; i < addresses.size(); ++i) {
        const int left = RemainingMs(deadline);
        if (left == 0)
            return DIALX_CONNECTION_TIMEOUT;
        const auto share = static_cast<uint32_t>(std::max<size_t>(1, static_cast<size_t>(left) / (addresses.size() - i)));
        rc = TcpConnect(addresses[i], share, wakeFd, fd);
        if (rc == DIALX_OK) {
            if (ApplyTcpSettings(*fd, settings))
                return DIALX_OK;
            close(*fd);
            return DIALX_COMM_ERROR;
        }
        if (rc == DIALX_TERMINATED)
            return rc;
    }
    return rc;
}

std::string SystemResolve(const std::string &host, uint16_t port, std::vector<SocketAddress> &addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    int rc = NetStart() ? getaddrinfo(host.c_str(), service.c_str(), &hints, &found) : EAI_FAIL;
    if (rc != 0 || found == nullptr)
        return rc != 0 ? gai_strerror(rc) : "no address";
    for (const addrinfo *one = found; one != nullptr; one = one->ai_next) {
        if (one->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        SocketAddress address;
        std::memcpy(&address.storage, one->ai_addr, one->ai_addrlen);
        address.length = one->ai_addrlen;
        addresses.push_back(address);
    }
    freeaddrinfo(found);
    return "";
}

int32_t ResolveBounded(const Resolver &resolver, const std::string &host, uint16_t port, uint32_t timeoutMs,
                       int wakeFd, std::vector<SocketAddress> &addresses, std::string &problem)
{
    // Shared with the lookup thread, which outlives this call when the lookup hangs. The
    // thread holds no descriptor of the pool: it wakes this call through `waiting`, which
    // this call takes away before its pipe closes.
    struct Lookup {
        std::mutex mutex;
        bool done = false;                    // guarded by mutex
        std::string problem;                  // guarded by mutex
        std::vector<SocketAddress> addresses; // guarded by mutex
        Wakeup *waiting = nullptr;            // guarded by mutex
    };
    Wakeup finished;
    if (finished.ReadFd() < 0) {
        problem = "no wake-up pipe for the name lookup";
        return DIALX_COMM_ERROR;
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->waiting = &finished;
    struct StopWaiting {
        Lookup &lookup;
        ~StopWaiting()
        {
            std::lock_guard<std::mutex> lock(lookup.mutex);
            lookup.waiting = nullptr;
        }
    } stopWaiting{*lookup};
    try {
        std::thread([lookup, resolver, host, port] {
            std::vector<SocketAddress> found;
            std::string why;
            try {
                why = resolver(host, port, found);
            } catch (...) {
                why = "the resolver failed";
            }
            if (why.empty() && found.empty())
                why = "no address";
            std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->problem = std::move(why);
            lookup->addresses = std::move(found);
            lookup->done = true;
            if (lookup->waiting != nullptr)
                lookup->waiting->Fire();
        }).detach();
    } catch (...) {
        problem = "cannot start the name lookup";
        return DIALX_COMM_ERROR;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd waits[2] = {{finished.ReadFd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int ready = poll(waits, 2, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (waits[1].revents != 0)
            return DIALX_TERMINATED;
        {
            std::lock_guard<std::mutex> lock(lookup->mutex);
            if (lookup->done) {
                problem = lookup->problem;
                addresses = std::move(lookup->addresses);
                return problem.empty() ? DIALX_OK : DIALX_COMM_ERROR;
            }
        }
        if (ready < 0) {
            problem = std::string("poll: ") + std::strerror(errno);
            return DIALX_COMM_ERROR;
        }
        if (RemainingMs(deadline) == 0) {
            problem = "no answer within the connect time-out";
            return DIALX_CONNECTION_TIMEOUT;
        }
    }
}

std::string ResolveListenAddress(const std::string &host, uint16_t port, sockaddr_storage *address,
                                 socklen_t *length)
{
    if (host.empty())
        return "empty host";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    int rc = NetStart() ? getaddrinfo(host.c_str(), service.c_str(), &hints, &found) : EAI_FAIL;
    if (rc != 0 || found == nullptr)
        return "cannot resolve host '" + host + "': " + gai_strerror(rc);
    std::memcpy(address, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof *address));
    *length = static_cast<socklen_t>(std::min<size_t>(found->ai_addrlen, sizeof *address));
    freeaddrinfo(found);
    return "";
}

} // namespace dialx::detail
