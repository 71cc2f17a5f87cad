// Alarm calls: stations that call the pool send one identification line, their station
// number in decimal ended by CR, LF or CR LF, before the connection is handed to the
// host; the allow lists decide whether that station may call from where it calls.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "dialx/Net.h"
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
    sockaddr_storage peer;
    uint8_t line[kMaxIdentLine];
    size_t length;
};

bool LineEnd(uint8_t byte)
{
    return byte == '\r' || byte == '\n';
}

// Counted before the close, so that whoever sees the close also sees the count.
void Refuse(int fd)
{
    TheStats().rejectedCalls++;
    close(fd);
}

// Hands an identified caller to the pool and the host; its traffic starts at `data`.
void Answer(const Caller &caller, size_t data, bool dropLeadingLf, uint32_t station, uint64_t generation)
{
    std::shared_ptr<Connection> connection;
    try {
        connection = std::make_shared<Connection>(caller.fd, kAlarmReceiveTimeoutCs);
    } catch (...) { // no memory for the connection: the call cannot be taken
        Refuse(caller.fd);
        return;
    }
    // Bytes that followed the line in the same segment belong to the station's traffic.
    connection->Preload(caller.line + data, caller.length - data, dropLeadingLf);
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
        Log("alarm-call callback failed for station " + std::to_string(station));
    }
}

// Refuses a caller whose identity may not call from its address, or logs that its
// identity has no allow list. Returns true when the call may be answered.
bool Admit(const Caller &caller, uint32_t station)
{
    const std::string who = "alarm call from " + AddressText(caller.peer) + " as station " + std::to_string(station);
    switch (CheckCaller(station, caller.peer)) {
    case CallerVerdict::Allowed:
        return true;
    case CallerVerdict::Unlisted:
        Log(who + " accepted: the station has no allow list");
        return true;
    case CallerVerdict::NotOnList:
        Log(who + " refused: the address is not on the station's allow list");
        break;
    case CallerVerdict::ListRequired:
        Log(who + " refused: the station has no allow list and lists are required");
        break;
    }
    Refuse(caller.fd); // before the host hears of it, and nothing was sent
    return false;
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
    // Empty lines ahead of the identification (a modem's or router's greeting ends, a
    // station that sends CR LF before it) are dropped and do not count against its length.
    size_t empty = 0;
    while (empty < caller.length && LineEnd(caller.line[empty]))
        ++empty;
    std::memmove(caller.line, caller.line + empty, caller.length - empty);
    caller.length -= empty;

    const uint8_t *end = std::find_if(caller.line, caller.line + caller.length, LineEnd);
    const auto lineEnd = static_cast<size_t>(end - caller.line);
    if (lineEnd == caller.length) {
        if (caller.length < kMaxIdentLine)
            return true;
        Refuse(caller.fd); // too long for a station number
        return false;
    }
    uint32_t station = 0;
    if (!ParseIdentLine(reinterpret_cast<const char *>(caller.line), lineEnd, &station)) {
        Refuse(caller.fd);
        return false;
    }
    // CR LF is one line end, also when the LF has not come yet.
    size_t data = lineEnd + 1;
    bool dropLeadingLf = false;
    if (caller.line[lineEnd] == '\r') {
        if (data < caller.length)
            data += caller.line[data] == '\n' ? 1 : 0;
        else
            dropLeadingLf = true;
    }
    if (Admit(caller, station))
        Answer(caller, data, dropLeadingLf, station, generation);
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

std::unique_ptr<Listener> Listener::Bind(const std::string &address, uint16_t port, std::string &error)
{
    sockaddr_storage bindTo{};
    socklen_t length = 0;
    error = ResolveListenAddress(address, port, &bindTo, &length);
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
    std::unique_ptr<Listener> listener(new Listener(fd, boundPort));
    if (listener->stop_.ReadFd() < 0) {
        error = "alarm listener: no wake-up pipe";
        return nullptr;
    }
    return listener;
}

std::string Listener::Start(uint64_t generation)
{
    generation_ = generation;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::exception &error) {
        return std::string("alarm listener: cannot start its thread: ") + error.what();
    }
    return "";
}

Listener::Listener(int fd, uint16_t port) : fd_(fd), port_(port) {}

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
                sockaddr_storage peer{};
                socklen_t peerLength = sizeof peer;
                int fd = accept4(fd_, reinterpret_cast<sockaddr *>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
                if (!ApplyTcpSettings(fd, CurrentTcpSettings())) {
                    Refuse(fd);
                    continue;
                }
                callers.push_back({fd, Clock::now() + std::chrono::milliseconds(IdentTimeoutMs()), peer, {}, 0});
            }
        }
    }
    for (const Caller &caller : callers)
        close(caller.fd);
}

} // namespace dialx::detail
