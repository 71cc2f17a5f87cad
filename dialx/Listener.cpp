// Alarm calls: stations that call the pool send one identification line, their station
// number in decimal and LF, before the connection is handed to the host.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "dialx/PoolState.h"

namespace dialx::detail {

namespace {

using Clock = std::chrono::steady_clock;

// Callers still to identify themselves at one time; more wait in the listen backlog, so
// that a flood of silent connections cannot use up the process's descriptors.
constexpr size_t kMaxPendingCallers = 32;

struct Caller {
    int fd;
    Clock::time_point deadline;
    uint8_t line[kMaxIdentLine];
    size_t length;
};

// Counted before the close, so that whoever sees the close also sees the count.
void Refuse(int fd)
{
    TheStats().rejectedCalls++;
    close(fd);
}

// Hands an identified caller to the pool and the host.
void Answer(const Caller &caller, size_t lineEnd, uint32_t station, uint64_t generation)
{
    std::shared_ptr<Connection> connection;
    try {
        connection = std::make_shared<Connection>(caller.fd, kAlarmReceiveTimeoutCs);
    } catch (...) { // no memory for the connection: the call cannot be taken
        Refuse(caller.fd);
        return;
    }
    // Bytes that followed the line in the same segment belong to the station's traffic.
    connection->Preload(caller.line + lineEnd + 1, caller.length - lineEnd - 1);
    uint16_t ref = 0;
    AlarmCallback callback;
    int32_t rc = DIALX_COMM_ERROR;
    try {
        rc = InstallAlarmCall(connection, generation, &ref, &callback);
    } catch (...) {
    }
    if (rc != DIALX_OK) {
        TheStats().rejectedCalls++;
        connection->Close();
        return; // the descriptor closes with the last holder, here
    }
    TheStats().alarmCalls++;
    try {
        callback(station, ref);
    } catch (...) {
        std::fprintf(stderr, "DIALXNT: alarm-call callback failed for station %u\n", station);
    }
}

// Reads what a caller has sent. Returns false when the caller is finished with (handed
// over or refused), true when its line is still incomplete.
bool ReadCaller(Caller &caller, uint64_t generation)
{
    ssize_t n = recv(caller.fd, caller.line + caller.length, kMaxIdentLine - caller.length, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    if (n <= 0) {
        Refuse(caller.fd);
        return false;
    }
    TheStats().bytesIn += static_cast<uint64_t>(n);
    caller.length += static_cast<size_t>(n);
    const uint8_t *lf = static_cast<const uint8_t *>(std::memchr(caller.line, '\n', caller.length));
    if (lf == nullptr) {
        if (caller.length < kMaxIdentLine)
            return true;
        Refuse(caller.fd); // too long for a station number
        return false;
    }
    const size_t lineEnd = static_cast<size_t>(lf - caller.line);
    uint32_t station = 0;
    if (!ParseIdentLine(reinterpret_cast<const char *>(caller.line), lineEnd, &station)) {
        Refuse(caller.fd);
        return false;
    }
    Answer(caller, lineEnd, station, generation);
    return false;
}

int NextWaitMs(const std::vector<Caller> &callers)
{
    if (callers.empty())
        return -1;
    auto first = std::min_element(callers.begin(), callers.end(), [](const Caller &a, const Caller &b) {
                     return a.deadline < b.deadline;
                 })->deadline;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now()).count();
    // Round up, so that the deadline has passed when the wait ends.
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, INT_MAX));
}

} // namespace

bool ParseIdentLine(const char *line, size_t length, uint32_t *station)
{
    if (length > 0 && line[length - 1] == '\r')
        --length;
    if (length == 0 || length > 10)
        return false;
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(line[i] - '0');
    }
    if (value > UINT32_MAX)
        return false;
    *station = static_cast<uint32_t>(value);
    return true;
}

std::unique_ptr<Listener> Listener::Start(const std::string &address, uint16_t port,
                                          uint64_t generation, std::string &error)
{
    sockaddr_storage bindTo{};
    socklen_t length = 0;
    error = Resolve(address, port, true, &bindTo, &length);
    if (!error.empty())
        return nullptr;
    int fd = socket(bindTo.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("alarm listener: socket: ") + std::strerror(errno);
        return nullptr;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&bindTo), length) != 0 || listen(fd, 16) != 0) {
        error = "alarm listener: cannot listen on " + address + " port " + std::to_string(port) + ": " +
                std::strerror(errno);
        close(fd);
        return nullptr;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &boundLength);
    uint16_t boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                                     : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    std::unique_ptr<Listener> listener(new Listener(fd, boundPort, generation));
    if (listener->stop_.ReadFd() < 0) {
        error = "alarm listener: no wake-up pipe";
        return nullptr;
    }
    listener->thread_ = std::thread([raw = listener.get()] { raw->Run(); });
    return listener;
}

Listener::Listener(int fd, uint16_t port, uint64_t generation) : fd_(fd), port_(port), generation_(generation) {}

Listener::~Listener()
{
    stop_.Fire();
    if (thread_.joinable())
        thread_.join();
    close(fd_);
}

void Listener::Run()
{
    std::vector<Caller> callers;
    std::vector<pollfd> waits;
    for (;;) {
        waits.clear();
        waits.push_back({stop_.ReadFd(), POLLIN, 0});
        // With the pending list full, new callers wait in the backlog.
        waits.push_back({callers.size() < kMaxPendingCallers ? fd_ : -1, POLLIN, 0});
        for (const Caller &caller : callers)
            waits.push_back({caller.fd, POLLIN, 0});
        int ready = poll(waits.data(), waits.size(), NextWaitMs(callers));
        if (ready < 0 && errno != EINTR)
            break;
        if (waits[0].revents != 0)
            break;

        std::vector<Caller> still;
        for (size_t i = 0; i < callers.size(); ++i) {
            Caller &caller = callers[i];
            if (ready > 0 && waits[i + 2].revents != 0 && !ReadCaller(caller, generation_))
                continue;
            if (Clock::now() >= caller.deadline) {
                Refuse(caller.fd); // silent or too slow
                continue;
            }
            still.push_back(caller);
        }
        callers.swap(still);

        if (ready > 0 && waits[1].revents != 0) {
            while (callers.size() < kMaxPendingCallers) {
                int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    // Out of descriptors the caller stays in the backlog and the listen
                    // socket stays readable: pause instead of spinning.
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        pollfd pause{stop_.ReadFd(), POLLIN, 0};
                        poll(&pause, 1, 100);
                    }
                    break;
                }
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                callers.push_back({fd, Clock::now() + std::chrono::milliseconds(IdentTimeoutMs()), {}, 0});
            }
        }
    }
    for (const Caller &caller : callers)
        close(caller.fd);
}

} // namespace dialx::detail
