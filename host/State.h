// Private state of the host runtime, shared by the C entry points, the Runtime API and
// DriverHost. Everything here is guarded by State::mutex unless said otherwise.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/Host.h"

namespace kiv {

// Bounds of what the runtime keeps in memory.
constexpr size_t kMaxLogLines = 100000;
constexpr size_t kMaxLogLineBytes = 64 * 1024;
constexpr size_t kMaxHistory = 1000;
constexpr size_t kMaxForcedLog = 1000;
constexpr size_t kMaxAlerts = 10000;

// Statuses of the runtime calls (the table in docs/HOST.md).
enum : uint16_t {
    kStatusOk = 0,
    kStatusBadArgument = 1,   // a null pointer, an unknown client, a degenerate scaling
    kStatusNoMessage = 1,     // KivWaitMsg: no host message within the period, client alive
    kStatusNoClientSlot = 2,  // all 255 client ids are taken
    kStatusNotFound = KIV_NOT_FOUND,
    kStatusNoDriver = 6,      // a device read found no driver serving the gate
    kStatusDriverFailed = 7,  // the driver refused a device read
    kStatusWrongType = 8,     // cooking a text gate, a number into a text gate
    kStatusNoAlert = 9,       // no active alert has this reference
    kStatusNoGate = KIV_NO_GATE
};

// Subscriber deliveries running on this thread (defined in Runtime.cpp).
extern thread_local int tDeliveries;

struct GateEntry {
    GateState state;
    bool bound = false;      // a driver accepted the address (codes 3 or 4)
    GateAddress address{};   // what the driver filled at binding
    std::vector<uint8_t> lastArea;
    // The values put, oldest first, bounded: kept here rather than in state.history so that
    // dropping the oldest costs nothing per sample; Runtime::Gate copies them out.
    std::deque<GateSample> history;
};

struct Runtime::State {
    mutable std::mutex mutex;
    std::map<uint32_t, GateEntry> gates;

    // Subscriber calls in progress (they run without the lock). Unsubscribing waits for
    // them, so a callback never runs after Unsubscribe returned: its captures may be gone.
    int deliveries = 0;
    std::condition_variable deliveriesDone;
    template <typename Item>
    void Deliver(const std::vector<std::function<void(const Item &)>> &callbacks, const Item &item);
    void WaitForDeliveries(std::unique_lock<std::mutex> &lock);

    // Log. Printing has its own lock so that lines from several threads stay whole.
    std::deque<LogLine> log;
    size_t logKept = kMaxLogLines;
    int threshold = -1;
    FILE *logFile = nullptr; // null: standard error
    std::map<int, std::function<void(const LogLine &)>> logSubscribers;
    int nextSubscription = 1;

    std::vector<Alert> alerts;
    std::map<int, std::function<void(const Alert &)>> alertSubscribers;
    KivAlertRef nextAlertRef = 1;

    std::map<uint8_t, std::string> clients;
    std::condition_variable clientsChanged;
    unsigned waitMsgPeriodMs = 250;

    std::map<std::pair<Call, uint32_t>, uint16_t> failures;

    // Attached driver instances by drv number (a device read goes through them). A
    // device read counts itself in driverUse so that a DriverHost being destroyed waits
    // for it instead of leaving it with a dangling pointer.
    std::map<uint32_t, DriverHost *> drivers;
    std::map<const DriverHost *, int> driverUse;
    std::condition_variable driverIdle;

    // Printing of log lines, apart from the state so that a slow file never blocks a gate call.
    std::mutex printMutex;

    void RegisterDriver(uint32_t drvNumber, DriverHost *host);
    void UnregisterDriver(const DriverHost *host); // waits until no device read uses it

    // The injected status of a call for a gate, 0 when none.
    uint16_t Failure(Call call, uint32_t gateId) const;
};

// Called with `deliveries` already counted under the lock.
template <typename Item>
void Runtime::State::Deliver(const std::vector<std::function<void(const Item &)>> &callbacks, const Item &item)
{
    tDeliveries++;
    for (const auto &callback : callbacks)
        callback(item);
    tDeliveries--;
    {
        std::lock_guard lock(mutex);
        deliveries--;
    }
    deliveriesDone.notify_all();
}

} // namespace kiv
