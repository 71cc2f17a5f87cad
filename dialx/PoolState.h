// Inside the multi-modem pool: connections, the alarm listener and the shared state.
// Not for host programs; they use Pool.h and entry/DialX.h.
#pragma once

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    // identification line); read first.
    void Preload(const uint8_t *bytes, size_t count);

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
    std::mutex writeMutex_;
};

// Opens a non-blocking TCP connection within timeoutMs. Returns 0 and the descriptor,
// or DIALX_CONNECTION_TIMEOUT, DIALX_MODEM_NOT_RESPONDING (refused), DIALX_TERMINATED
// (wakeFd became readable: the pool was reset) or DIALX_COMM_ERROR.
int32_t TcpConnect(const sockaddr_storage &address, socklen_t length, uint32_t timeoutMs,
                   int wakeFd, int *fd);

// Resolves host and port for a stream socket. Returns "" or the problem.
std::string Resolve(const std::string &host, uint16_t port, bool passive,
                    sockaddr_storage *address, socklen_t *length);

// The alarm-call listener: one thread that accepts callers, reads their identification
// lines (several callers at once, each under its own deadline) and hands identified
// calls to the pool.
class Listener {
public:
    // Binds and starts the thread. Returns nullptr and sets error on failure.
    static std::unique_ptr<Listener> Start(const std::string &address, uint16_t port,
                                           uint64_t generation, std::string &error);
    ~Listener(); // stops and joins the thread, closes every socket it holds
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    uint16_t Port() const { return port_; }

private:
    Listener(int fd, uint16_t port, uint64_t generation);
    void Run();
    const int fd_;
    const uint16_t port_;
    const uint64_t generation_;
    Wakeup stop_;
    std::thread thread_;
};

// Hands an identified alarm call to the pool. Returns 0 with its reference and the
// callback to call, or a reason to refuse it (not the pool's generation any more, no
// callback, pool full).
int32_t InstallAlarmCall(const std::shared_ptr<Connection> &connection, uint64_t generation,
                         uint16_t *connRef, AlarmCallback *callback);

uint32_t IdentTimeoutMs();

// The pool side of the DIALX_* calls.
int32_t Connect(uint16_t dialRef, uint32_t timeoutCs, uint16_t *connRef);
int32_t Disconnect(uint16_t connRef);
// The live connection of a reference; status 0, or 5 / 7.
int32_t Find(uint16_t connRef, std::shared_ptr<Connection> *connection);

// Parses an identification line (without its LF; a trailing CR is allowed). Returns
// false for anything but 1 to 10 decimal digits with a value that fits 32 bits.
bool ParseIdentLine(const char *line, size_t length, uint32_t *station);

} // namespace dialx::detail
