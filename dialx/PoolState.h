// Inside the multi-modem pool: connections, the alarm listener and the shared state.
// Not for host programs; they use Pool.h and entry/DialX.h.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialx/Net.h"
#include "dialx/Pool.h"

namespace dialx::detail {

// A pipe that becomes readable once Fire() is called, so that poll() loops of other
// threads can be woken.
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup &) = delete;
    Wakeup &operator=(const Wakeup &) = delete;
    void Fire();
    int ReadFd() const { return fds_[0]; } // -1 if the pipe could not be made
private:
    int fds_[2] = {-1, -1};
};

// Counters shared by every thread of the pool.
struct Stats {
    std::atomic<uint64_t> outgoingCalls{0}, failedCalls{0}, alarmCalls{0}, rejectedCalls{0};
    std::atomic<uint64_t> bytesIn{0}, bytesOut{0};
    void Clear();
};
Stats &TheStats();

// One line of the pool: a connected, non-blocking TCP socket. The table of the pool
// holds it by shared_ptr and every call that uses it holds another, so a Disconnect
// from another thread never frees it under a waiting Receive: Close() only marks it and
// shuts the socket down (which wakes the waiter); the descriptor is closed when the
// last holder lets go.
class Connection {
public:
    Connection(int fd, uint32_t timeoutCs);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void Close();
    bool Closed() const { return closed_.load(); }
    void SetTimeout(uint32_t timeoutCs) { timeoutCs_.store(timeoutCs); }
    uint32_t Timeout() const { return timeoutCs_.load(); }
    // Bytes that arrived before the connection was handed out (after an alarm call's
    // identification line); read first. dropLeadingLf: the line ended in a CR that was
    // the last byte so far, so an LF that comes first belongs to that line end.
    void Preload(const uint8_t *bytes, size_t count, bool dropLeadingLf);

    int32_t Send(const uint8_t *bytes, uint32_t count);
    int32_t Receive(uint8_t *byte);
    int32_t Flush();

private:
    const int fd_;
    std::atomic<bool> closed_{false};
    std::atomic<uint32_t> timeoutCs_;
    std::mutex readMutex_;
    std::array<uint8_t, 4096> buffer_{}; // guarded by readMutex_
    size_t head_ = 0, tail_ = 0;         // guarded by readMutex_
    bool dropLeadingLf_ = false;         // guarded by readMutex_
    std::mutex writeMutex_;
};

// The status of a send or receive that failed with `error`: DIALX_CONN_BROKEN when the
// peer or the way to it has gone, else `otherwise`.
int32_t TransferStatus(int error, int32_t otherwise);

// Keepalive and user time-out on a connected socket. False if the system refused one.
bool ApplyTcpSettings(int fd, const TcpSettings &settings);

// Opens a non-blocking TCP connection to the first of `addresses` that answers, all
// within timeoutMs: each address gets an even share of the time left, so one that never
// answers cannot use up the time of those after it. Returns 0 and the descriptor (with
// `settings` applied), else the failure of the last address tried:
// DIALX_CONNECTION_TIMEOUT, DIALX_MODEM_NOT_RESPONDING (refused) or DIALX_COMM_ERROR;
// DIALX_TERMINATED as soon as wakeFd becomes readable (the pool was reset).
int32_t ConnectAny(const std::vector<SocketAddress> &addresses, uint32_t timeoutMs, int wakeFd,
                   const TcpSettings &settings, int *fd);

// The system's resolver: every stream address of host and port, in getaddrinfo's order.
std::string SystemResolve(const std::string &host, uint16_t port, std::vector<SocketAddress> &addresses);

// Runs `resolver` on a thread of its own and waits for it at most timeoutMs, or until
// wakeFd becomes readable. Returns 0 with the addresses, DIALX_CONNECTION_TIMEOUT,
// DIALX_TERMINATED or DIALX_COMM_ERROR (problem says why).
int32_t ResolveBounded(const Resolver &resolver, const std::string &host, uint16_t port, uint32_t timeoutMs,
                       int wakeFd, std::vector<SocketAddress> &addresses, std::string &problem);

// Resolves the listening address (the first one getaddrinfo gives). Returns "" or the problem.
std::string ResolveListenAddress(const std::string &host, uint16_t port, sockaddr_storage *address,
                                 socklen_t *length);

// An address as text ("192.0.2.7", "2001:db8::1"); IPv4 callers on an IPv6 socket as IPv4.
std::string AddressText(const sockaddr_storage &address);

// Writes one line to the pool's log.
void Log(const std::string &line);

// The alarm-call listener: one thread that accepts callers, reads their identification
// lines (several callers at once, each under its own deadline) and hands identified
// calls to the pool.
class Listener {
public:
    // Binds, without answering yet. Returns nullptr and sets error on failure.
    static std::unique_ptr<Listener> Bind(const std::string &address, uint16_t port, std::string &error);
    // Starts answering calls for the pool of this generation. Returns "" or the problem.
    std::string Start(uint64_t generation);
    ~Listener(); // stops and joins the thread, closes every socket it holds
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    uint16_t Port() const { return port_; }

private:
    Listener(int fd, uint16_t port);
    void Run();
    const int fd_;
    const uint16_t port_;
    uint64_t generation_ = 0; // set before the thread starts
    Wakeup stop_;
    std::thread thread_;
};

// Hands an identified alarm call to the pool. Returns 0 with its reference and the
// callback to call, or a reason to refuse it (not the pool's generation any more, no
// callback, pool full).
int32_t InstallAlarmCall(const std::shared_ptr<Connection> &connection, uint64_t generation,
                         uint16_t *connRef, AlarmCallback *callback);

uint32_t IdentTimeoutMs();
TcpSettings CurrentTcpSettings();

// What the allow lists say about a caller that identified itself as `station`.
enum class CallerVerdict {
    Allowed,         // its address is on the station's list
    Unlisted,        // the station has no list, and lists are not required
    NotOnList,       // refused: its address is not on the station's list
    ListRequired,    // refused: the station has no list, and lists are required
};
CallerVerdict CheckCaller(uint32_t station, const sockaddr_storage &peer);

// The pool side of the DIALX_* calls.
int32_t Connect(uint16_t dialRef, uint32_t timeoutCs, uint16_t *connRef);
int32_t Disconnect(uint16_t connRef);
// The live connection of a reference; status 0, or 5 / 7.
int32_t Find(uint16_t connRef, std::shared_ptr<Connection> *connection);

// Parses a station number (an identification line without its line end, or a key of
// the allow lists). Returns false for anything but 1 to 10 decimal digits with a value
// that fits 32 bits.
bool ParseIdentLine(const char *line, size_t length, uint32_t *station);

} // namespace dialx::detail
