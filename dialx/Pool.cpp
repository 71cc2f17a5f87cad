// The one pool of the process: its dial directory, its table of connection references
// and its configuration.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <unistd.h>

#include "dialx/PoolState.h"

namespace dialx {
namespace detail {

namespace {

constexpr size_t kSlots = size_t{kLastConnRef} + 1;

// Everything below is guarded by mutex, except what is atomic and loadMutex itself.
// Nothing slow (name lookups, binding, file reading) is done while holding mutex.
struct Pool {
    std::mutex mutex;
    std::mutex loadMutex;                // one automatic load of the file at a time
    bool configured = false;
    std::string lastLoadProblem;         // of the automatic load, logged once
    std::map<uint16_t, DialEntry> entries;
    std::array<std::shared_ptr<Connection>, kSlots> slots;
    std::array<bool, kSlots> reserved{}; // a Connect is under way for this reference
    uint16_t nextRef = kFirstConnRef;
    uint64_t generation = 1;             // changes at every Reset
    std::shared_ptr<Wakeup> wakeup = std::make_shared<Wakeup>(); // fired at Reset
    std::unique_ptr<Listener> listener;
    AlarmCallback callback;
    std::string lastError;
    std::atomic<uint32_t> identTimeoutMs{5000};
    TcpSettings tcp;
    AlarmAccess access;
    Resolver resolver;                   // empty: SystemResolve
};

// The log sink has a lock of its own: lines are written from every thread, also while
// the pool's lock is held elsewhere.
struct LogState {
    std::mutex mutex;
    LogSink sink;
};

LogState &TheLog()
{
    static LogState *log = new LogState;
    return *log;
}

// Never destroyed: host threads may still call in while the process exits.
Pool &ThePool()
{
    static Pool *pool = new Pool;
    return *pool;
}

// Takes the next free reference after the last one handed out, so that a stale
// reference of a closed connection is not at once valid again. 0 when the table is full.
uint16_t AllocateLocked(Pool &pool)
{
    for (uint16_t i = 0; i < kLastConnRef; ++i) {
        uint16_t ref = static_cast<uint16_t>((pool.nextRef - kFirstConnRef + i) % kLastConnRef + kFirstConnRef);
        if (!pool.slots[ref] && !pool.reserved[ref]) {
            pool.nextRef = static_cast<uint16_t>(ref % kLastConnRef + kFirstConnRef);
            return ref;
        }
    }
    return 0;
}

// All or nothing: everything is checked, and the listener bound, before anything of the
// pool changes. The listener is bound without the pool's lock (binding may look up its
// address) and answers calls only once the configuration is taken.
std::string ConfigureFrom(Pool &pool, const Directory &directory, std::unique_ptr<Listener> &replaced)
{
    for (const DialEntry &entry : directory.entries) {
        const std::string where = "dial reference " + std::to_string(entry.ref);
        if (entry.host.empty())
            return where + ": empty host";
        if (entry.port == 0)
            return where + ": port 0";
        if (entry.connectTimeoutMs == 0)
            return where + ": connect time-out 0";
    }
    std::unique_ptr<Listener> listener;
    if (directory.alarm.enabled) {
        std::string problem;
        listener = Listener::Bind(directory.alarm.address, directory.alarm.port, problem);
        if (!listener)
            return problem;
    }
    std::lock_guard<std::mutex> lock(pool.mutex);
    std::map<uint16_t, DialEntry> added;
    for (const DialEntry &entry : directory.entries) {
        if (pool.entries.count(entry.ref) || added.count(entry.ref))
            return "duplicate dial reference " + std::to_string(entry.ref); // `listener` closes unused
        added.emplace(entry.ref, entry);
    }
    if (listener) {
        std::string problem = listener->Start(pool.generation);
        if (!problem.empty())
            return problem;
        pool.identTimeoutMs = directory.alarm.identTimeoutMs;
        pool.access = directory.alarm.access;
        // The old listener's thread may be waiting for this lock: the caller stops it
        // after giving the lock back.
        replaced = std::move(pool.listener);
        pool.listener = std::move(listener);
    }
    if (directory.tcp)
        pool.tcp = *directory.tcp;
    pool.entries.merge(added);
    pool.configured = true;
    return "";
}

std::string ConfigureAndKeep(Pool &pool, const Directory &directory)
{
    std::unique_ptr<Listener> replaced; // stopped on return, outside the lock
    std::string problem = ConfigureFrom(pool, directory, replaced);
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.lastError = problem;
    return problem;
}

// A pool that is not configured looks for its dial directory at every call, so that a
// file put right (or a file system mounted late) is taken without a restart. The same
// problem is logged once.
bool EnsureConfigured(Pool &pool)
{
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (pool.configured)
            return true;
    }
    std::lock_guard<std::mutex> loading(pool.loadMutex);
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (pool.configured) // loaded by the call that held loadMutex before this one
            return true;
    }
    const char *named = std::getenv(kConfigEnv);
    const std::string path = (named != nullptr && named[0] != '\0') ? named : kDefaultConfigFile;
    Directory directory;
    std::string problem = ReadDirectoryFile(path, directory);
    if (problem.empty())
        problem = ConfigureAndKeep(pool, directory);
    bool repeated = false;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (problem.empty())
            return true;
        pool.lastError = problem;
        repeated = problem == pool.lastLoadProblem;
        pool.lastLoadProblem = problem;
    }
    if (!repeated)
        Log("dial directory not loaded: " + problem);
    return false;
}

} // namespace

void Log(const std::string &line)
{
    LogState &log = TheLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    try {
        if (log.sink) {
            log.sink(line);
            return;
        }
    } catch (...) {
        // A failing sink must not take the call with it; the line goes to the default.
    }
    std::fprintf(stderr, "DIALXNT: %s\n", line.c_str());
}

TcpSettings CurrentTcpSettings()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.tcp;
}

CallerVerdict CheckCaller(uint32_t station, const sockaddr_storage &peer)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    auto list = pool.access.allowFrom.find(station);
    if (list == pool.access.allowFrom.end())
        return pool.access.requireAllowList ? CallerVerdict::ListRequired : CallerVerdict::Unlisted;
    for (const AddressPrefix &prefix : list->second)
        if (prefix.Contains(peer))
            return CallerVerdict::Allowed;
    return CallerVerdict::NotOnList;
}

uint32_t IdentTimeoutMs()
{
    return ThePool().identTimeoutMs.load();
}

int32_t Connect(uint16_t dialRef, uint32_t timeoutCs, uint16_t *connRef)
{
    Pool &pool = ThePool();
    if (!EnsureConfigured(pool))
        return DIALX_NOT_INITIALISED;
    DialEntry entry;
    TcpSettings tcp;
    Resolver resolver;
    uint16_t ref = 0;
    uint64_t generation = 0;
    std::shared_ptr<Wakeup> wakeup;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (!pool.configured)
            return DIALX_NOT_INITIALISED;
        if (connRef == nullptr)
            return DIALX_COMM_ERROR;
        auto found = pool.entries.find(dialRef);
        if (found == pool.entries.end())
            return DIALX_ILLEGAL_DIALREF;
        ref = AllocateLocked(pool);
        if (ref == 0) {
            TheStats().failedCalls++;
            return DIALX_NO_FREE_CONNECTION;
        }
        entry = found->second; // copies may throw: before the reservation
        tcp = pool.tcp;
        resolver = pool.resolver ? pool.resolver : Resolver(SystemResolve);
        wakeup = pool.wakeup;
        pool.reserved[ref] = true;
        generation = pool.generation;
    }

    // Only the directory's host and port are ever looked up and called: nothing that a
    // caller passes, nor anything a peer sends, chooses where the pool connects.
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    std::vector<SocketAddress> addresses;
    std::string problem;
    int fd = -1;
    int32_t rc = ResolveBounded(resolver, entry.host, entry.port, entry.connectTimeoutMs, wakeup->ReadFd(),
                                addresses, problem);
    if (rc == DIALX_OK) {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        const auto left = spent < entry.connectTimeoutMs ? entry.connectTimeoutMs - static_cast<uint32_t>(spent) : 0;
        rc = ConnectAny(addresses, left, wakeup->ReadFd(), tcp, &fd);
    } else if (rc != DIALX_TERMINATED) {
        Log("dial reference " + std::to_string(dialRef) + ": cannot resolve host '" + entry.host + "': " + problem);
    }
    std::shared_ptr<Connection> made;
    if (rc == DIALX_OK) {
        try {
            made = std::make_shared<Connection>(fd, timeoutCs);
        } catch (...) {
            close(fd);
            rc = DIALX_COMM_ERROR;
        }
    }

    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.generation != generation) {
        // Reset while connecting: the reservation is gone with the old table (and
        // `made`, if any, closes its socket).
        return DIALX_TERMINATED;
    }
    pool.reserved[ref] = false;
    if (rc != DIALX_OK) {
        TheStats().failedCalls++;
        return rc;
    }
    pool.slots[ref] = std::move(made);
    TheStats().outgoingCalls++;
    *connRef = ref;
    return DIALX_OK;
}

int32_t Find(uint16_t connRef, std::shared_ptr<Connection> *connection)
{
    Pool &pool = ThePool();
    if (!EnsureConfigured(pool))
        return DIALX_NOT_INITIALISED;
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (!pool.configured)
        return DIALX_NOT_INITIALISED;
    if (connRef < kFirstConnRef || connRef > kLastConnRef || !pool.slots[connRef])
        return DIALX_ILL_CONN_REFERENCE;
    *connection = pool.slots[connRef];
    return DIALX_OK;
}

int32_t Disconnect(uint16_t connRef)
{
    std::shared_ptr<Connection> connection;
    {
        Pool &pool = ThePool();
        if (!EnsureConfigured(pool))
            return DIALX_NOT_INITIALISED;
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (!pool.configured)
            return DIALX_NOT_INITIALISED;
        if (connRef < kFirstConnRef || connRef > kLastConnRef || !pool.slots[connRef])
            return DIALX_ILL_CONN_REFERENCE;
        connection = std::move(pool.slots[connRef]);
        pool.slots[connRef] = nullptr;
    }
    connection->Close();
    return DIALX_OK;
}

int32_t InstallAlarmCall(const std::shared_ptr<Connection> &connection, uint64_t generation,
                         uint16_t *connRef, AlarmCallback *callback)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.generation != generation)
        return DIALX_TERMINATED;
    if (!pool.callback)
        return DIALX_NOT_INITIALISED;
    uint16_t ref = AllocateLocked(pool);
    if (ref == 0)
        return DIALX_NO_FREE_CONNECTION;
    *callback = pool.callback; // may throw: before the reference is taken
    pool.slots[ref] = connection;
    *connRef = ref;
    return DIALX_OK;
}

} // namespace detail

using detail::ThePool;

std::string LoadDirectory(const std::string &path)
{
    Directory directory;
    std::string problem = ReadDirectoryFile(path, directory);
    if (!problem.empty()) {
        auto &pool = ThePool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.lastError = problem;
        return problem;
    }
    return detail::ConfigureAndKeep(ThePool(), directory);
}

std::string Configure(const Directory &directory)
{
    return detail::ConfigureAndKeep(ThePool(), directory);
}

std::string AddDialEntry(const DialEntry &entry)
{
    Directory directory;
    directory.entries.push_back(entry);
    return Configure(directory);
}

int Listen(uint16_t port, const std::string &address)
{
    Directory directory;
    directory.alarm.enabled = true;
    directory.alarm.address = address;
    directory.alarm.port = port;
    directory.alarm.identTimeoutMs = detail::IdentTimeoutMs();
    {
        auto &pool = ThePool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        directory.alarm.access = pool.access;
    }
    if (!Configure(directory).empty())
        return -1;
    return ListenPort();
}

uint16_t ListenPort()
{
    auto &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.listener ? pool.listener->Port() : 0;
}

void SetIdentTimeoutMs(uint32_t ms)
{
    ThePool().identTimeoutMs = ms;
}

void SetAlarmCallback(AlarmCallback callback)
{
    auto &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.callback = std::move(callback);
}

void SetResolver(Resolver resolver)
{
    auto &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.resolver = std::move(resolver);
}

void SetLogSink(LogSink sink)
{
    auto &log = detail::TheLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.sink = std::move(sink);
}

void Reset()
{
    auto &pool = ThePool();
    std::vector<std::shared_ptr<detail::Connection>> open;
    std::unique_ptr<detail::Listener> listener;
    AlarmCallback callback;
    Resolver resolver;
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        for (auto &slot : pool.slots) {
            if (slot)
                open.push_back(std::move(slot));
            slot = nullptr;
        }
        pool.reserved.fill(false);
        pool.entries.clear();
        pool.configured = false;
        pool.lastLoadProblem.clear();
        pool.nextRef = kFirstConnRef;
        pool.generation++;
        pool.wakeup->Fire(); // ends the connects under way
        pool.wakeup = std::make_shared<detail::Wakeup>();
        listener = std::move(pool.listener);
        callback = std::move(pool.callback);
        pool.callback = nullptr;
        pool.lastError.clear();
        pool.identTimeoutMs = 5000;
        pool.tcp = TcpSettings{};
        pool.access = AlarmAccess{};
        resolver = std::move(pool.resolver);
        pool.resolver = nullptr;
        detail::TheStats().Clear();
    }
    {
        auto &log = detail::TheLog();
        std::lock_guard<std::mutex> lock(log.mutex);
        sink = std::move(log.sink);
        log.sink = nullptr;
    }
    for (auto &connection : open)
        connection->Close();
    listener.reset(); // joins the listener thread, outside the lock it may wait for
}

bool IsConfigured()
{
    auto &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.configured;
}

Counters GetCounters()
{
    auto &pool = ThePool();
    const auto &stats = detail::TheStats();
    Counters counters;
    counters.outgoingCalls = stats.outgoingCalls;
    counters.failedCalls = stats.failedCalls;
    counters.alarmCalls = stats.alarmCalls;
    counters.rejectedCalls = stats.rejectedCalls;
    counters.bytesIn = stats.bytesIn;
    counters.bytesOut = stats.bytesOut;
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (const auto &slot : pool.slots)
        counters.openConnections += slot ? 1 : 0;
    return counters;
}

std::string LastError()
{
    auto &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.lastError;
}

} // namespace dialx
