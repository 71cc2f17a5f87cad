// The runtime object: gate database, log, alerts, clients and failure injection.
#include <algorithm>
#include <cstdio>
#include <strings.h>

#include "host/State.h"

namespace kiv {

uint16_t Runtime::State::Failure(Call call, uint32_t gateId) const
{
    auto it = failures.find({call, gateId});
    if (it != failures.end())
        return it->second;
    it = failures.find({call, kAllGates});
    return it != failures.end() ? it->second : 0;
}

void Runtime::State::RegisterDriver(uint32_t drvNumber, DriverHost *host)
{
    std::lock_guard lock(mutex);
    for (auto it = drivers.begin(); it != drivers.end();)
        it = it->second == host ? drivers.erase(it) : std::next(it);
    drivers[drvNumber] = host;
}

void Runtime::State::UnregisterDriver(const DriverHost *host)
{
    std::unique_lock lock(mutex);
    for (auto it = drivers.begin(); it != drivers.end();)
        it = it->second == host ? drivers.erase(it) : std::next(it);
    driverIdle.wait(lock, [&] { return driverUse[host] == 0; });
    driverUse.erase(host);
}

// Deliveries of this thread: a callback that unsubscribes must not wait for itself.
thread_local int tDeliveries = 0;

void Runtime::State::WaitForDeliveries(std::unique_lock<std::mutex> &lock)
{
    deliveriesDone.wait(lock, [&] { return deliveries <= tDeliveries; });
}

Runtime::Runtime() : state_(std::make_unique<State>()) {}

Runtime &Runtime::Get()
{
    // Never destroyed: driver threads may still log while the process exits.
    static Runtime *runtime = new Runtime();
    return *runtime;
}

Runtime::State &Runtime::Internal() const
{
    return *state_;
}

void Runtime::Reset()
{
    State &s = *state_;
    {
        std::unique_lock lock(s.mutex);
        s.gates.clear();
        s.log.clear();
        s.logKept = kMaxLogLines;
        s.threshold = -1;
        s.logSubscribers.clear();
        s.alerts.clear();
        s.alertSubscribers.clear();
        s.nextAlertRef = 1;
        s.clients.clear();
        s.waitMsgPeriodMs = 250;
        s.failures.clear();
        s.drivers.clear();
        s.WaitForDeliveries(lock);
    }
    s.clientsChanged.notify_all();
    std::lock_guard print(s.printMutex);
    if (s.logFile)
        fclose(s.logFile);
    s.logFile = nullptr;
}

// ---- gates

uint32_t Runtime::AddGate(const GateSpec &spec)
{
    std::lock_guard lock(state_->mutex);
    auto &gates = state_->gates;
    uint32_t id = 0;
    if (spec.id)
        id = *spec.id;
    else
        while (gates.count(id))
            id++;
    GateEntry entry;
    entry.state.spec = spec;
    entry.state.spec.id = id;
    entry.state.samplingOff = !spec.sampling;
    gates[id] = std::move(entry);
    return id;
}

bool Runtime::RemoveGate(uint32_t id)
{
    std::lock_guard lock(state_->mutex);
    return state_->gates.erase(id) > 0;
}

std::optional<GateState> Runtime::Gate(uint32_t id) const
{
    std::lock_guard lock(state_->mutex);
    auto it = state_->gates.find(id);
    if (it == state_->gates.end())
        return std::nullopt;
    GateState gate = it->second.state;
    gate.history.assign(it->second.history.begin(), it->second.history.end());
    return gate;
}

std::optional<uint32_t> Runtime::FindGate(const std::string &address, uint8_t drvNumber) const
{
    std::lock_guard lock(state_->mutex);
    for (const auto &[id, entry] : state_->gates)
        if (entry.state.spec.drvNumber == drvNumber && strcasecmp(entry.state.spec.address.c_str(), address.c_str()) == 0)
            return id;
    return std::nullopt;
}

std::vector<uint32_t> Runtime::GateIds() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<uint32_t> ids;
    for (const auto &[id, entry] : state_->gates)
        ids.push_back(id);
    return ids;
}

bool Runtime::SetRecordSetting(uint32_t id, uint32_t setting)
{
    std::lock_guard lock(state_->mutex);
    auto it = state_->gates.find(id);
    if (it == state_->gates.end())
        return false;
    it->second.state.spec.recordSetting = setting;
    return true;
}

bool Runtime::SetSampling(uint32_t id, bool on)
{
    std::lock_guard lock(state_->mutex);
    auto it = state_->gates.find(id);
    if (it == state_->gates.end())
        return false;
    it->second.state.samplingOff = !on;
    it->second.state.spec.sampling = on;
    return true;
}

// ---- log

std::vector<LogLine> Runtime::Log() const
{
    std::lock_guard lock(state_->mutex);
    return {state_->log.begin(), state_->log.end()};
}

void Runtime::ClearLog()
{
    std::lock_guard lock(state_->mutex);
    state_->log = {}; // memory given back too, for hosts that empty the log to bound it
}

void Runtime::ClearAlerts()
{
    std::lock_guard lock(state_->mutex);
    state_->alerts = {};
}

void Runtime::SetLogKept(size_t lines)
{
    std::lock_guard lock(state_->mutex);
    state_->logKept = std::min(lines, kMaxLogLines);
    while (state_->log.size() > state_->logKept)
        state_->log.pop_front();
}

void Runtime::SetLogThreshold(int maxLevelPrinted)
{
    std::lock_guard lock(state_->mutex);
    state_->threshold = maxLevelPrinted;
}

bool Runtime::SetLogFile(const std::string &path)
{
    FILE *file = nullptr;
    if (!path.empty()) {
        file = fopen(path.c_str(), "a");
        if (!file)
            return false;
    }
    std::lock_guard print(state_->printMutex);
    if (state_->logFile)
        fclose(state_->logFile);
    state_->logFile = file;
    return true;
}

int Runtime::Subscribe(std::function<void(const LogLine &)> callback)
{
    std::lock_guard lock(state_->mutex);
    int id = state_->nextSubscription++;
    state_->logSubscribers[id] = std::move(callback);
    return id;
}

void Runtime::Unsubscribe(int subscription)
{
    std::unique_lock lock(state_->mutex);
    state_->logSubscribers.erase(subscription);
    state_->WaitForDeliveries(lock);
}

// ---- alerts

std::vector<Alert> Runtime::Alerts() const
{
    std::lock_guard lock(state_->mutex);
    return state_->alerts;
}

int Runtime::SubscribeAlerts(std::function<void(const Alert &)> callback)
{
    std::lock_guard lock(state_->mutex);
    int id = state_->nextSubscription++;
    state_->alertSubscribers[id] = std::move(callback);
    return id;
}

void Runtime::UnsubscribeAlerts(int subscription)
{
    std::unique_lock lock(state_->mutex);
    state_->alertSubscribers.erase(subscription);
    state_->WaitForDeliveries(lock);
}

// ---- clients and failures

bool Runtime::ClientExists(uint8_t clientId) const
{
    std::lock_guard lock(state_->mutex);
    return state_->clients.count(clientId) > 0;
}

std::vector<std::string> Runtime::ClientNames() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> names;
    for (const auto &[id, name] : state_->clients)
        names.push_back(name);
    return names;
}

void Runtime::SetWaitMsgPeriod(unsigned ms)
{
    std::lock_guard lock(state_->mutex);
    state_->waitMsgPeriodMs = ms;
}

void Runtime::InjectFailure(Call call, uint32_t gateId, uint16_t status)
{
    std::lock_guard lock(state_->mutex);
    state_->failures[{call, gateId}] = status;
}

void Runtime::ClearFailures()
{
    std::lock_guard lock(state_->mutex);
    state_->failures.clear();
}

} // namespace kiv
