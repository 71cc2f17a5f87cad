// The one pool of the process: its dial directory, its table of connection references
// and its configuration.
#include <cstdio>
#include <cstdlib>
#include <map>

#include <unistd.h>

#include "dialx/PoolState.h"

namespace dialx {
namespace detail {

namespace {

struct ResolvedEntry {
    DialEntry entry;
    sockaddr_storage address{};
    socklen_t length = 0;
};

constexpr size_t kSlots = size_t{kLastConnRef} + 1;

// Everything below is guarded by mutex, except what is atomic.
struct Pool {
    std::mutex mutex;
    bool configured = false;
    bool autoTried = false;
    std::map<uint16_t, ResolvedEntry> entries;
    std::array<std::shared_ptr<Connection>, kSlots> slots;
    std::array<bool, kSlots> reserved{}; // a Connect is under way for this reference
    uint16_t nextRef = kFirstConnRef;
    uint64_t generation = 1;             // changes at every Reset
    std::shared_ptr<Wakeup> wakeup = std::make_shared<Wakeup>(); // fired at Reset
    std::unique_ptr<Listener> listener;
    AlarmCallback callback;
    std::string lastError;
    std::atomic<uint32_t> identTimeoutMs{5000};
};

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

// All or nothing: the entries are resolved and the listener bound before anything of
// the pool changes.
std::string ConfigureLocked(Pool &pool, const Directory &directory, std::unique_ptr<Listener> &replaced)
{
    std::map<uint16_t, ResolvedEntry> added;
    for (const DialEntry &entry : directory.entries) {
        if (pool.entries.count(entry.ref) || added.count(entry.ref))
            return "duplicate dial reference " + std::to_string(entry.ref);
        if (entry.port == 0)
            return "dial reference " + std::to_string(entry.ref) + ": port 0";
        if (entry.connectTimeoutMs == 0)
            return "dial reference " + std::to_string(entry.ref) + ": connect time-out 0";
        ResolvedEntry resolved{entry};
        std::string problem = Resolve(entry.host, entry.port, false, &resolved.address, &resolved.length);
        if (!problem.empty())
            return "dial reference " + std::to_string(entry.ref) + ": " + problem;
        added.emplace(entry.ref, resolved);
    }
    std::unique_ptr<Listener> listener;
    if (directory.alarm.enabled) {
        std::string problem;
        listener = Listener::Start(directory.alarm.address, directory.alarm.port, pool.generation, problem);
        if (!listener)
            return problem;
        pool.identTimeoutMs = directory.alarm.identTimeoutMs;
    }
    pool.entries.merge(added);
    if (listener) {
        // The old listener's thread may be waiting for this lock: the caller stops it
        // after giving the lock back.
        replaced = std::move(pool.listener);
        pool.listener = std::move(listener);
    }
    pool.configured = true;
    return "";
}

std::string LoadLocked(Pool &pool, const std::string &path, std::unique_ptr<Listener> &replaced)
{
    Directory directory;
    std::string problem = ReadDirectoryFile(path, directory);
    if (problem.empty())
        problem = ConfigureLocked(pool, directory, replaced);
    pool.lastError = problem;
    return problem;
}

// The first call of an unconfigured pool looks for the dial directory once; after a
// failure the pool stays "not initialised" until Reset() or an explicit configuration.
bool EnsureConfiguredLocked(Pool &pool)
{
    if (pool.configured)
        return true;
    if (pool.autoTried)
        return false;
    pool.autoTried = true;
    const char *named = std::getenv(kConfigEnv);
    const std::string path = (named != nullptr && named[0] != '\0') ? named : kDefaultConfigFile;
    std::unique_ptr<Listener> replaced; // none: an unconfigured pool has no listener
    std::string problem = LoadLocked(pool, path, replaced);
    if (!problem.empty())
        std::fprintf(stderr, "DIALXNT: dial directory not loaded: %s\n", problem.c_str());
    return pool.configured;
}

} // namespace

uint32_t IdentTimeoutMs()
{
    return ThePool().identTimeoutMs.load();
}

int32_t Connect(uint16_t dialRef, uint32_t timeoutCs, uint16_t *connRef)
{
    Pool &pool = ThePool();
    ResolvedEntry entry;
    uint16_t ref = 0;
    uint64_t generation = 0;
    std::shared_ptr<Wakeup> wakeup;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (!EnsureConfiguredLocked(pool))
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
        pool.reserved[ref] = true;
        entry = found->second;
        generation = pool.generation;
        wakeup = pool.wakeup;
    }

    int fd = -1;
    int32_t rc = TcpConnect(entry.address, entry.length, entry.entry.connectTimeoutMs, wakeup->ReadFd(), &fd);
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
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (!EnsureConfiguredLocked(pool))
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
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (!EnsureConfiguredLocked(pool))
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
    auto &pool = ThePool();
    std::unique_ptr<detail::Listener> replaced;
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        problem = detail::LoadLocked(pool, path, replaced);
    }
    return problem; // `replaced` is stopped here, outside the lock
}

std::string Configure(const Directory &directory)
{
    auto &pool = ThePool();
    std::unique_ptr<detail::Listener> replaced;
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        problem = detail::ConfigureLocked(pool, directory, replaced);
        pool.lastError = problem;
    }
    return problem;
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

void Reset()
{
    auto &pool = ThePool();
    std::vector<std::shared_ptr<detail::Connection>> open;
    std::unique_ptr<detail::Listener> listener;
    AlarmCallback callback;
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
        pool.autoTried = false;
        pool.nextRef = kFirstConnRef;
        pool.generation++;
        pool.wakeup->Fire(); // ends the connects under way
        pool.wakeup = std::make_shared<detail::Wakeup>();
        listener = std::move(pool.listener);
        callback = std::move(pool.callback);
        pool.callback = nullptr;
        pool.lastError.clear();
        pool.identTimeoutMs = 5000;
        detail::TheStats().Clear();
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
