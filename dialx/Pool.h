// The multi-modem pool behind libDIALXNT.so, for host programs, tools and tests.
//
// Each "modem line" is a TCP connection: an outgoing call connects to the host and port
// of a dial directory entry (a cellular router, a serial terminal server), and an alarm
// call is a station connecting to the pool's listening port. The DIALX_* calls of
// entry/DialX.h work on the one pool of the process that this header configures.
//
// Until the pool is configured every DIALX_* call returns DIALX_NOT_INITIALISED. On the
// first DIALX_* call of an unconfigured pool it loads the dial directory file named by
// the environment variable DIALXNT_CONFIG, else "DIALXNT.toml" in the current directory
// (see docs/DIALX.md); a host may configure the pool explicitly instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "entry/DialX.h"

namespace dialx {

// One entry of the dial directory: what DIALX_Connect(ref, ...) calls.
struct DialEntry {
    uint16_t ref = 0;
    std::string host;                 // numeric address or a name, resolved when added
    uint16_t port = 0;
    uint32_t connectTimeoutMs = 3000; // bound on the TCP connect
};

// Where and how the pool answers alarm calls.
struct AlarmSettings {
    bool enabled = false;             // false: no listening port
    std::string address = "127.0.0.1"; // "0.0.0.0" answers on every interface
    uint16_t port = 0;                // 0 = any free port (see ListenPort())
    uint32_t identTimeoutMs = 5000;   // time a caller has for its identification line
};

// A whole dial directory, as read from a file.
struct Directory {
    std::vector<DialEntry> entries;
    AlarmSettings alarm;
};

// Figures for field engineers; all since the last Reset().
struct Counters {
    uint64_t outgoingCalls = 0;     // connects that succeeded
    uint64_t failedCalls = 0;       // connects that failed (time-out, refused, error)
    uint64_t alarmCalls = 0;        // alarm calls identified and handed to the callback
    uint64_t rejectedCalls = 0;     // alarm calls closed (bad line, silent, pool full, ...)
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
constexpr size_t kMaxIdentLine = 16;         // identification line, CR LF included
constexpr uint32_t kAlarmReceiveTimeoutCs = 700; // until DIALX_Timeout sets another
constexpr const char *kConfigEnv = "DIALXNT_CONFIG";
constexpr const char *kDefaultConfigFile = "DIALXNT.toml";

// Parses a dial directory from TOML text. Returns "" on success, else the first
// problem found (with the file's line where known); `out` is then left empty.
std::string ParseDirectory(const std::string &text, Directory &out);

// Reads and parses a dial directory file. Returns "" or the problem.
std::string ReadDirectoryFile(const std::string &path, Directory &out);

// Configures the pool from a dial directory file: entries are added and, when the file
// has an [alarm] table, the listener is started. On any problem nothing is configured
// and the problem is returned (also kept for LastError()). Returns "" on success.
std::string LoadDirectory(const std::string &path);

// Configures the pool from a parsed directory, as LoadDirectory does.
std::string Configure(const Directory &directory);

// Adds one dial entry and marks the pool configured. Returns "" or the problem
// (duplicate reference, empty host, port 0, a host that does not resolve).
std::string AddDialEntry(const DialEntry &entry);

// Starts answering alarm calls on `address`:`port` (0 = any free port), replacing an
// earlier listener, and marks the pool configured. Returns the bound port, or -1
// (LastError() says why).
int Listen(uint16_t port, const std::string &address = "127.0.0.1");

// The port that the alarm listener is bound to, 0 when none.
uint16_t ListenPort();

// Time a caller has for its identification line (default 5000 ms).
void SetIdentTimeoutMs(uint32_t ms);

// Sets the alarm-call callback (an empty one makes the pool refuse alarm calls).
void SetAlarmCallback(AlarmCallback callback);

// Closes every connection and the listener, forgets the directory, the callback and
// the counters: the pool is "not initialised" again and will look for its file anew.
void Reset();

// True once configured (explicitly or from the file).
bool IsConfigured();

Counters GetCounters();

// The last configuration or listener problem, "" if none.
std::string LastError();

} // namespace dialx
