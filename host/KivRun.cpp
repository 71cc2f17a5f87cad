// The C entry points of the host runtime (libKIVRUN.so): the calls a driver makes.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "host/State.h"

using kiv::Call;
using kiv::GateEntry;
using kiv::Runtime;

namespace {

Runtime::State &S()
{
    return Runtime::Get().Internal();
}

uint32_t Now()
{
    return static_cast<uint32_t>(time(nullptr));
}

void CopyBounded(char *to, size_t size, const std::string &from)
{
    size_t n = std::min(size - 1, from.size());
    memcpy(to, from.data(), n);
    to[n] = '\0';
}

// Keeps the newest `limit` entries.
template <typename T> void PushBounded(std::vector<T> &list, T item, size_t limit)
{
    if (list.size() >= limit)
        list.erase(list.begin(), list.begin() + static_cast<long>(list.size() - limit + 1));
    list.push_back(std::move(item));
}

// The gate's number for a raw value in the value-area layout, before scaling.
bool DecodeRaw(uint16_t type, uint32_t raw, double *number)
{
    uint16_t high = static_cast<uint16_t>(raw >> 16);
    switch (type) {
    case GATE_TYPE_U16:
    case GATE_TYPE_DIGITAL:
        *number = high;
        return true;
    case GATE_TYPE_S16:
        *number = static_cast<int16_t>(high);
        return true;
    case GATE_TYPE_FLOAT: {
        float f;
        memcpy(&f, &raw, sizeof f);
        *number = f;
        return true;
    }
    default:
        return false;
    }
}

// Stores a sample as the gate's current value and in its history (state lock held).
void StoreSample(GateEntry &entry, kiv::GateSample sample)
{
    entry.state.current = sample;
    entry.state.hasValue = true;
    if (entry.history.size() >= kiv::kMaxHistory)
        entry.history.pop_front();
    entry.history.push_back(std::move(sample));
}

// Runs `body` on a gate under the runtime's lock, once the status that a test may have
// injected for the call and the gate's existence have been checked.
template <typename Body> uint16_t OnGate(kiv::Call call, uint32_t gateId, Body &&body)
{
    Runtime::State &s = S();
    std::lock_guard lock(s.mutex);
    if (uint16_t failure = s.Failure(call, gateId))
        return failure;
    auto it = s.gates.find(gateId);
    if (it == s.gates.end())
        return kiv::kStatusNoGate;
    return body(it->second);
}

} // namespace

namespace kiv {

// Shared with DriverHost: a value read from the driver goes into the gate like a put.
void StoreGateSample(uint32_t gateId, GateSample sample, const std::vector<uint8_t> &area)
{
    Runtime::State &s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.gates.find(gateId);
    if (it == s.gates.end())
        return;
    it->second.lastArea = area;
    StoreSample(it->second, std::move(sample));
}

} // namespace kiv

extern "C" {

KIV_API void KivErr(int32_t level, const char *format, ...)
{
    if (!format)
        return;
    char small[1024];
    std::string text;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        text = "(unformattable log line)";
    } else if (static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else {
        // Long lines are kept up to the bound and cut beyond it.
        size_t size = std::min(static_cast<size_t>(n) + 1, kiv::kMaxLogLineBytes);
        text.resize(size);
        vsnprintf(text.data(), size, format, again);
        text.resize(size - 1);
    }
    va_end(again);

    Runtime::State &s = S();
    kiv::LogLine line{level, std::move(text)};
    std::vector<std::function<void(const kiv::LogLine &)>> subscribers;
    int threshold;
    {
        std::lock_guard lock(s.mutex);
        while (!s.log.empty() && s.log.size() >= s.logKept)
            s.log.pop_front();
        threshold = s.threshold;
        // Kept only in the log (the usual case): the line moves there, no copy.
        if (s.logSubscribers.empty() && (threshold < 0 || level > threshold)) {
            if (s.logKept > 0)
                s.log.push_back(std::move(line));
            return;
        }
        if (s.logKept > 0)
            s.log.push_back(line);
        for (const auto &[id, callback] : s.logSubscribers)
            subscribers.push_back(callback);
        if (!subscribers.empty())
            s.deliveries++;
    }
    // Subscribers run without the lock: they may log or query the runtime themselves.
    if (!subscribers.empty())
        s.Deliver(subscribers, line);
    if (threshold >= 0 && level <= threshold) { // a negative threshold prints nothing
        std::lock_guard print(s.printMutex);
        FILE *out = s.logFile ? s.logFile : stderr;
        fprintf(out, "%d %s\n", level, line.text.c_str());
        fflush(out);
    }
}

KIV_API uint16_t KivMkClient(const char *name, uint32_t, uint32_t, uint8_t *clientId)
{
    Runtime::State &s = S();
    std::lock_guard lock(s.mutex);
    if (uint16_t failure = s.Failure(Call::MkClient, kiv::kAllGates))
        return failure;
    if (!name || !clientId)
        return kiv::kStatusBadArgument;
    for (unsigned id = 1; id <= 255; id++) {
        if (!s.clients.count(static_cast<uint8_t>(id))) {
            s.clients[static_cast<uint8_t>(id)] = std::string(name, strnlen(name, 256));
            *clientId = static_cast<uint8_t>(id);
            return kiv::kStatusOk;
        }
    }
    return kiv::kStatusNoClientSlot;
}

KIV_API uint16_t KivRmClient(uint8_t clientId)
{
    Runtime::State &s = S();
    {
        std::lock_guard lock(s.mutex);
        if (uint16_t failure = s.Failure(Call::RmClient, kiv::kAllGates))
            return failure;
        if (s.clients.erase(clientId) == 0)
            return kiv::kStatusBadArgument;
    }
    // Wakes every KivWaitMsg at once, so the client's waiting thread ends promptly.
    s.clientsChanged.notify_all();
    return kiv::kStatusOk;
}

KIV_API uint16_t KivGetGateIdByAddressStr(uint8_t, uint8_t drvNumber, const char *gas, uint32_t *gateId)
{
    Runtime::State &s = S();
    std::lock_guard lock(s.mutex);
    if (uint16_t failure = s.Failure(Call::GetGateIdByAddressStr, kiv::kAllGates))
        return failure;
    if (!gas || !gateId)
        return kiv::kStatusBadArgument;
    for (const auto &[id, entry] : s.gates) {
        if (entry.state.spec.drvNumber == drvNumber && strcasecmp(entry.state.spec.address.c_str(), gas) == 0) {
            if (uint16_t failure = s.Failure(Call::GetGateIdByAddressStr, id))
                return failure;
            *gateId = id;
            return kiv::kStatusOk;
        }
    }
    return kiv::kStatusNotFound;
}

KIV_API uint16_t KivGetGateCount(uint8_t, uint32_t *count, uint32_t *unused1, uint32_t *unused2, uint32_t *unused3)
{
    Runtime::State &s = S();
    std::lock_guard lock(s.mutex);
    if (uint16_t failure = s.Failure(Call::GetGateCount, kiv::kAllGates))
        return failure;
    if (!count)
        return kiv::kStatusBadArgument;
    *count = s.gates.empty() ? 0 : s.gates.rbegin()->first + 1;
    for (uint32_t *unused : {unused1, unused2, unused3})
        if (unused)
            *unused = 0;
    return kiv::kStatusOk;
}

KIV_API uint16_t KivGetGateDef(uint8_t, uint32_t gateId, void *definition)
{
    return OnGate(Call::GetGateDef, gateId, [&](GateEntry &entry) -> uint16_t {
        if (!definition)
            return kiv::kStatusBadArgument;
        const kiv::GateSpec &spec = entry.state.spec;
        auto *record = static_cast<unsigned char *>(definition);
        memset(record, 0, KIV_GATEDEF_SIZE);
        CopyBounded(reinterpret_cast<char *>(record + KIV_GATEDEF_NAME), KIV_GATEDEF_NAME_SIZE, spec.name);
        memcpy(record + KIV_GATEDEF_RECORD, &spec.recordSetting, 4);
        record[KIV_GATEDEF_SOURCE] = spec.sourceKind;
        memcpy(record + KIV_GATEDEF_TYPE, &spec.type, 2);
        uint32_t driverIndex = spec.drvNumber - 1u;
        memcpy(record + KIV_GATEDEF_DRIVER, &driverIndex, 4);
        CopyBounded(reinterpret_cast<char *>(record + KIV_GATEDEF_ADDRESS), KIV_GATEDEF_ADDRESS_SIZE, spec.address);
        return kiv::kStatusOk;
    });
}

KIV_API uint16_t KivChangeGateDef(uint8_t, uint32_t gateId, const void *definition)
{
    return OnGate(Call::ChangeGateDef, gateId, [&](GateEntry &entry) -> uint16_t {
        if (!definition)
            return kiv::kStatusBadArgument;
        // Only the record setting is taken back; the other fields belong to the host.
        memcpy(&entry.state.spec.recordSetting, static_cast<const unsigned char *>(definition) + KIV_GATEDEF_RECORD, 4);
        entry.state.definitionChanges++;
        return kiv::kStatusOk;
    });
}

KIV_API uint16_t KivSetGateFlag(uint8_t, uint32_t gateId, uint32_t flag, uint32_t)
{
    return OnGate(Call::SetGateFlag, gateId, [&](GateEntry &entry) -> uint16_t {
        entry.state.flags |= flag;
        if (flag & KIV_FLAG_NO_SAMPLING) {
            entry.state.samplingOff = true;
            entry.state.spec.sampling = false;
        }
        return kiv::kStatusOk;
    });
}

KIV_API uint16_t KivGetGateVal(uint8_t, uint32_t kind, uint32_t gateId, double *value, uint32_t, uint32_t)
{
    Runtime::State &s = S();
    {
        std::lock_guard lock(s.mutex);
        if (uint16_t failure = s.Failure(Call::GetGateVal, gateId))
            return failure;
        auto it = s.gates.find(gateId);
        if (it == s.gates.end())
            return kiv::kStatusNoGate;
        if (!value)
            return kiv::kStatusBadArgument;
        if (it->second.state.spec.type == GATE_TYPE_TEXT)
            return kiv::kStatusWrongType;
    }
    if (kind == KIV_KIND_DEVICE_READ)
        if (uint16_t status = Runtime::Get().DeviceRead(gateId))
            return status;
    std::lock_guard lock(s.mutex);
    auto it = s.gates.find(gateId);
    if (it == s.gates.end())
        return kiv::kStatusNoGate;
    *value = it->second.state.current.value;
    return kiv::kStatusOk;
}

KIV_API uint16_t KivGetGateStr(uint8_t, uint32_t kind, uint32_t gateId, char *text, uint32_t, uint32_t)
{
    Runtime::State &s = S();
    {
        std::lock_guard lock(s.mutex);
        if (uint16_t failure = s.Failure(Call::GetGateStr, gateId))
            return failure;
        if (!s.gates.count(gateId))
            return kiv::kStatusNoGate;
        if (!text)
            return kiv::kStatusBadArgument;
    }
    if (kind == KIV_KIND_DEVICE_READ)
        if (uint16_t status = Runtime::Get().DeviceRead(gateId))
            return status;
    std::lock_guard lock(s.mutex);
    auto it = s.gates.find(gateId);
    if (it == s.gates.end())
        return kiv::kStatusNoGate;
    const kiv::GateState &gate = it->second.state;
    if (gate.spec.type == GATE_TYPE_TEXT) {
        CopyBounded(text, KIV_GATESTR_SIZE, gate.current.text);
    } else {
        snprintf(text, KIV_GATESTR_SIZE, "%.15g", gate.current.value);
    }
    return kiv::kStatusOk;
}

KIV_API uint16_t KivCook(uint8_t, uint32_t gateId, uint32_t raw, double *cooked)
{
    Runtime::State &s = S();
    std::lock_guard lock(s.mutex);
    // A caller may use the cooked value without looking at the status: never leave it unset.
    if (cooked)
        *cooked = 0;
    if (uint16_t failure = s.Failure(Call::Cook, gateId))
        return failure;
    auto it = s.gates.find(gateId);
    if (it == s.gates.end())
        return kiv::kStatusNoGate;
    if (!cooked)
        return kiv::kStatusBadArgument;
    const kiv::GateSpec &spec = it->second.state.spec;
    double number;
    if (!DecodeRaw(spec.type, raw, &number))
        return kiv::kStatusWrongType;
    if (spec.scaling) {
        const kiv::Scaling &scale = *spec.scaling;
        double span = scale.rawHigh - scale.rawLow;
        if (span == 0 || !std::isfinite(span))
            return kiv::kStatusBadArgument;
        number = scale.engLow + (number - scale.rawLow) * (scale.engHigh - scale.engLow) / span;
    }
    *cooked = number;
    return kiv::kStatusOk;
}

KIV_API uint16_t KivPutGateVal(uint8_t, uint32_t gateId, uint32_t two, double value, uint32_t timeStamp, uint32_t)
{
    return OnGate(Call::PutGateVal, gateId, [&](GateEntry &entry) -> uint16_t {
        if (entry.state.spec.type == GATE_TYPE_TEXT)
            return kiv::kStatusWrongType;
        kiv::GateSample sample;
        sample.value = value;
        sample.timeStamp = timeStamp;
        sample.good = two == 2;
        StoreSample(entry, std::move(sample));
        return kiv::kStatusOk;
    });
}

KIV_API uint16_t KivPutGateStr(uint8_t, uint32_t gateId, uint32_t two, const char *text, uint32_t timeStamp, uint32_t)
{
    return OnGate(Call::PutGateStr, gateId, [&](GateEntry &entry) -> uint16_t {
        if (!text)
            return kiv::kStatusBadArgument;
        if (entry.state.spec.type != GATE_TYPE_TEXT)
            return kiv::kStatusWrongType;
        kiv::GateSample sample;
        sample.text.assign(text, strnlen(text, VALUE_AREA_TEXT));
        sample.timeStamp = timeStamp;
        sample.good = two == 2;
        StoreSample(entry, std::move(sample));
        return kiv::kStatusOk;
    });
}

KIV_API uint16_t KivGateForceLogEx(uint8_t, uint32_t gateId, double value, uint32_t, uint32_t timeStamp, uint32_t)
{
    return OnGate(Call::GateForceLogEx, gateId, [&](GateEntry &entry) -> uint16_t {
        kiv::GateSample sample;
        sample.value = value;
        sample.timeStamp = timeStamp;
        PushBounded(entry.state.forcedLog, std::move(sample), kiv::kMaxForcedLog);
        return kiv::kStatusOk;
    });
}

KIV_API uint16_t KivStartAlert(uint8_t clientId, const char *source, const char *text, uint32_t severity, uint32_t flags,
                               uint32_t zone, uint32_t, uint16_t attributes, uint32_t, uint32_t, uint32_t one,
                               uint32_t mask, KivAlertRef *alertRef)
{
    Runtime::State &s = S();
    kiv::Alert alert;
    std::vector<std::function<void(const kiv::Alert &)>> subscribers;
    {
        std::lock_guard lock(s.mutex);
        if (uint16_t failure = s.Failure(Call::StartAlert, kiv::kAllGates))
            return failure;
        if (!source || !text || !alertRef)
            return kiv::kStatusBadArgument;
        alert.clientId = clientId;
        alert.source.assign(source, strnlen(source, VALUE_AREA_TEXT));
        alert.text.assign(text, strnlen(text, kiv::kMaxLogLineBytes));
        alert.severity = severity;
        alert.flags = flags;
        alert.zone = zone;
        alert.attributes = attributes;
        alert.one = one;
        alert.mask = mask;
        alert.reference = s.nextAlertRef++;
        if (s.nextAlertRef == 0) // 0 is never a reference
            s.nextAlertRef = 1;
        alert.startTime = Now();
        PushBounded(s.alerts, alert, kiv::kMaxAlerts);
        *alertRef = alert.reference;
        for (const auto &[id, callback] : s.alertSubscribers)
            subscribers.push_back(callback);
        if (!subscribers.empty())
            s.deliveries++;
    }
    if (!subscribers.empty())
        s.Deliver(subscribers, alert);
    return kiv::kStatusOk;
}

KIV_API uint16_t KivStampAlert(uint8_t, uint32_t, KivAlertRef *alertRef, uint32_t kind, uint32_t, uint32_t, uint32_t)
{
    Runtime::State &s = S();
    std::lock_guard lock(s.mutex);
    if (uint16_t failure = s.Failure(Call::StampAlert, kiv::kAllGates))
        return failure;
    if (!alertRef)
        return kiv::kStatusBadArgument;
    for (auto &alert : s.alerts) {
        if (alert.reference == *alertRef && alert.endTime == 0) {
            alert.endTime = std::max(Now(), alert.startTime);
            alert.stampKind = kind;
            return kiv::kStatusOk;
        }
    }
    return kiv::kStatusNoAlert;
}

KIV_API uint16_t KivWaitMsg(uint8_t clientId, void *message, uint32_t)
{
    Runtime::State &s = S();
    std::unique_lock lock(s.mutex);
    if (uint16_t failure = s.Failure(Call::WaitMsg, kiv::kAllGates))
        return failure;
    if (message)
        memset(message, 0, KIV_MESSAGE_SIZE);
    if (!s.clients.count(clientId))
        return kiv::kStatusOk;
    // No host messages are ever queued: the wait ends by the period or by the client's removal.
    bool removed = s.clientsChanged.wait_for(lock, std::chrono::milliseconds(s.waitMsgPeriodMs),
                                             [&] { return !s.clients.count(clientId); });
    return removed ? kiv::kStatusOk : kiv::kStatusNoMessage;
}

} // extern "C"
