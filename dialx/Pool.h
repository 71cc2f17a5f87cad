// The multi-modem pool behind libDIALXNT.so, for host programs, tools and tests.
//
// Each "modem line" is a TCP connection: an outgoing call connects to the host and port
// of a dial directory entry (a cellular router, a serial terminal server), and an alarm
// call is a station connecting to the pool's listening port. The DIALX_* calls of
// entry/DialX.h work on the one pool of the process that this header configures.
//
// Until the pool is configured every DIALX_* call returns DIALX_NOT_INITIALISED. Each
// DIALX_* call of an unconfigured pool tries to load the dial directory file named by
// the environment variable DIALXNT_CONFIG, else "DIALXNT.toml" in the current directory
// (see docs/DIALX.md); a host may configure the pool explicitly instead.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Compiler.h"
#if defined(_WIN32) && defined(DIALXNT_EXPORTS)
// DIALXNT.dll itself exports the calls that the driver and host programs import.
#undef TRS_IMPORT
#define TRS_IMPORT TRS_EXPORT
#endif
#include "entry/DialX.h"

namespace dialx {

// One entry of the dial directory: what DIALX_Connect(ref, ...) calls.
struct DialEntry {
    uint16_t ref = 0;
    std::string host;                  // numeric address or a name, resolved at each connect
    uint16_t port = 0;
    uint32_t connectTimeoutMs = 20000; // bound on the whole connect, name lookup included
};

// How every line of the pool (outgoing and alarm calls) notices a peer that has gone
// without closing: keepalive probes on an idle line, and a bound on unacknowledged data.
struct TcpSettings {
    uint32_t keepaliveIdleS = 10;     // idle time before the first probe
    uint32_t keepaliveIntervalS = 5;  // time between probes
    uint32_t keepaliveProbes = 3;     // unanswered probes that break the line
    uint32_t userTimeoutMs = 30000;   // unacknowledged data (or probes) for this long breaks it
};

// An IPv4 or IPv6 address prefix ("10.1.0.0/16", "2001:db8::/32"; a bare address is a
// whole-length prefix).
struct AddressPrefix {
    sa_family_t family = AF_INET;
    std::array<uint8_t, 16> bytes{}; // network byte order; 4 used for IPv4
    unsigned length = 0;             // prefix length in bits

    // Returns "" or the problem; bits set past the prefix length are a problem.
    static std::string Parse(const std::string &text, AddressPrefix &out);
    // An IPv4 caller that reached an IPv6 socket (::ffff:a.b.c.d) counts as IPv4.
    bool Contains(const sockaddr_storage &address) const;
};

// Which source addresses may call in as which station.
struct AlarmAccess {
    std::map<uint32_t, std::vector<AddressPrefix>> allowFrom; // station -> allowed sources
    bool requireAllowList = false; // true: a station without a list is refused
};

// Where and how the pool answers alarm calls.
struct AlarmSettings {
    bool enabled = false;             // false: no listening port
    std::string address = "127.0.0.1"; // "0.0.0.0" answers on every interface
    uint16_t port = 0;                // 0 = any free port (see ListenPort())
    uint32_t identTimeoutMs = 5000;   // time a caller has for its identification line
    AlarmAccess access;
};

// A whole dial directory, as read from a file.
struct Directory {
    std::vector<DialEntry> entries;
    AlarmSettings alarm;
    std::optional<TcpSettings> tcp; // absent: the pool keeps the settings it has
};

// One address of a peer, as a connect takes it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// Finds the addresses of a dial entry's host, in the order they are to be tried.
// Returns "" or why there are none. Called at each connect, on a thread of its own that
// may outlive a connect which gave up waiting: it must not use what the call does not
// keep alive.
using Resolver = std::function<std::string(const std::string &host, uint16_t port,
                                           std::vector<SocketAddress> &addresses)>;

// Receives the pool's log lines (without line end), from any of the pool's threads, one
// at a time; it must not call into the pool.
using LogSink = std::function<void(const std::string &line)>;

// Figures for field engineers; all since the last Reset().
struct Counters {
    uint64_t outgoingCalls = 0;     // connects that succeeded
    uint64_t failedCalls = 0;       // connects that failed (time-out, refused, error)
    uint64_t alarmCalls = 0;        // alarm calls identified and handed to the callback
    uint64_t rejectedCalls = 0;     // alarm calls closed (bad line, silent, not allowed, pool full, ...)
    uint64_t bytesIn = 0;           // bytes received from the wire (flushed ones included)
    uint64_t bytesOut = 0;          // bytes sent
    uint32_t openConnections = 0;   // connection references in use now
};

// Called from the pool's listener thread for every identified alarm call. The
// connection reference is valid until DIALX_Disconnect; the callback must not call
// Reset() (it would wait for its own thread).
using AlarmCallback = std::function<void(uint32_t station, uint16_t connRef)>;

// Hard limits.
constexpr uint16_t kFirstConnRef = 1;
constexpr uint16_t kLastConnRef = 254;       // 255 means "not connected" to the driver
constexpr size_t kMaxIdentLine = 16;         // identification line, its line end included
constexpr uint32_t kAlarmReceiveTimeoutCs = 700; // until DIALX_Timeout sets another
constexpr const char *kConfigEnv = "DIALXNT_CONFIG";
constexpr const char *kDefaultConfigFile = "DIALXNT.toml";

// Parses a dial directory from TOML text. Returns "" on success, else the first
// problem found (with the file's line where known); `out` is then left empty.
std::string ParseDirectory(const std::string &text, Directory &out);

// Reads and parses a dial directory file. Returns "" or the problem.
std::string ReadDirectoryFile(const std::string &path, Directory &out);

// Configures the pool from a dial directory file: entries are added, the [tcp] settings
// taken and, when the file has an [alarm] table, the listener is started with that
// table's settings. On any problem nothing is configured and the problem is returned
// (also kept for LastError()). Returns "" on success.
std::string LoadDirectory(const std::string &path);

// Configures the pool from a parsed directory, as LoadDirectory does.
std::string Configure(const Directory &directory);

// Adds one dial entry and marks the pool configured. Returns "" or the problem
// (duplicate reference, empty host, port 0, connect time-out 0). The host is not looked
// up here but at each connect.
std::string AddDialEntry(const DialEntry &entry);

// Starts answering alarm calls on `address`:`port` (0 = any free port), replacing an
// earlier listener but keeping the identification time-out and the allow lists, and
// marks the pool configured. Returns the bound port, or -1 (LastError() says why).
int Listen(uint16_t port, const std::string &address = "127.0.0.1");

// The port that the alarm listener is bound to, 0 when none.
uint16_t ListenPort();

// Time a caller has for its identification line (default 5000 ms).
void SetIdentTimeoutMs(uint32_t ms);

// Sets the alarm-call callback (an empty one makes the pool refuse alarm calls).
void SetAlarmCallback(AlarmCallback callback);

// Replaces how dial entries' hosts are looked up; an empty one restores the system's
// resolver (getaddrinfo).
void SetResolver(Resolver resolver);

// Where the pool's log lines go; an empty sink restores the default, standard error
// with "DIALXNT: " ahead of each line.
void SetLogSink(LogSink sink);

// Closes every connection and the listener, forgets the directory, the callback, the
// counters, the resolver and the log sink: the pool is as at process start, "not
// initialised" and looking for its file anew.
void Reset();

// True once configured (explicitly or from the file).
bool IsConfigured();

Counters GetCounters();

// The last configuration or listener problem, "" if none.
std::string LastError();

} // namespace dialx
