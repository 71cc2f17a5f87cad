// DriverHost: one driver instance as a host serves it (instance block, function codes,
// gate binding, reads, writes and the sampling loop).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "host/State.h"

namespace kiv {

void StoreGateSample(uint32_t gateId, GateSample sample, const std::vector<uint8_t> &area);

namespace {

// Hosts hand the driver an uncleared block; the pattern makes a missed clear visible.
constexpr unsigned char kGarbage = 0xA5;

struct BoundGate {
    GateSpec spec;
    GateAddress address{};
    bool bound = false;
};

std::optional<BoundGate> LookUp(uint32_t gateId)
{
    Runtime::State &s = Runtime::Get().Internal();
    std::lock_guard lock(s.mutex);
    auto it = s.gates.find(gateId);
    if (it == s.gates.end())
        return std::nullopt;
    return BoundGate{it->second.state.spec, it->second.address, it->second.bound};
}

uint16_t Get16(const std::vector<uint8_t> &area, size_t at)
{
    uint16_t v;
    memcpy(&v, area.data() + at, 2);
    return v;
}

double Element(uint16_t type, const std::vector<uint8_t> &area, size_t index)
{
    switch (type) {
    case GATE_TYPE_FLOAT: {
        float f;
        memcpy(&f, area.data() + 4 * index, 4);
        return f;
    }
    case GATE_TYPE_S16:
        return static_cast<int16_t>(Get16(area, 2 * index));
    case GATE_TYPE_DIGITAL:
        return Get16(area, 2 * index) != 0 ? 1 : 0;
    default:
        return Get16(area, 2 * index);
    }
}

// Converts a number into the gate type's 16-bit word, clamped to its range.
uint16_t To16(uint16_t type, double value)
{
    if (std::isnan(value))
        value = 0;
    if (type == GATE_TYPE_DIGITAL)
        return value != 0 ? 1 : 0;
    if (type == GATE_TYPE_S16)
        return static_cast<uint16_t>(static_cast<int16_t>(std::clamp(std::round(value), -32768.0, 32767.0)));
    return static_cast<uint16_t>(std::clamp(std::round(value), 0.0, 65535.0));
}

// Loading a module and finding its entry: dlopen on POSIX, LoadLibrary on Windows.
#if defined(_WIN32)
void *OpenModule(const std::string &path, std::string *error)
{
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module && error)
        *error = "LoadLibrary " + path + " failed, error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(module);
}

DrvMainFn FindEntry(void *module)
{
    return reinterpret_cast<DrvMainFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(module), "DrvMain")));
}

void CloseModule(void *module)
{
    FreeLibrary(static_cast<HMODULE>(module));
}
#else
void *OpenModule(const std::string &path, std::string *error)
{
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module && error)
        *error = dlerror();
    return module;
}

DrvMainFn FindEntry(void *module)
{
    return reinterpret_cast<DrvMainFn>(dlsym(module, "DrvMain"));
}

void CloseModule(void *module)
{
    dlclose(module);
}
#endif

} // namespace

struct DriverHost::Impl {
    DriverHost *self = nullptr;
    DrvMainFn entry = nullptr;
    void *module = nullptr;
    void *instance = nullptr;
    uint32_t drvNumber = 0;
    std::atomic<bool> started{false};

    // Address strings handed to the driver stay alive as long as the DriverHost: a driver
    // may keep the pointer of a request it is still serving on another thread.
    std::mutex gasMutex;
    std::map<uint32_t, std::shared_ptr<std::string>> gas;

    std::thread sampler;
    std::mutex samplerMutex;
    std::condition_variable samplerWake;
    bool stopSampling = false;

    char *GasFor(uint32_t gateId, const std::string &address)
    {
        std::lock_guard lock(gasMutex);
        auto &kept = gas[gateId];
        if (!kept || *kept != address)
            kept = std::make_shared<std::string>(address);
        return kept->data();
    }

    uint32_t Request(uint32_t function, void *params, uint32_t *hostRequestAfter)
    {
        if (!entry)
            return kHostNoDriver;
        RequestBlock request{instance, function, drvNumber, 0, params};
        uint32_t result = entry(&request);
        if (hostRequestAfter)
            *hostRequestAfter = request.hostRequest;
        return result;
    }

    // Codes 5 and 6: asks the driver for the gate and stores what it gave.
    uint32_t ReadGate(uint32_t gateId, bool deviceRead)
    {
        if (!entry)
            return kHostNoDriver;
        if (!started)
            return kHostNoInstance;
        auto gate = LookUp(gateId);
        if (!gate)
            return kHostNoGate;
        if (!gate->bound)
            return kHostNotBound;
        bool block = !deviceRead && gate->spec.blockLength > 0;
        uint32_t count = block ? gate->spec.blockLength : 1;
        std::vector<uint8_t> area(std::max<size_t>(VALUE_AREA_TEXT, 4u * static_cast<size_t>(count)), 0);
        GateRequest request{};
        request.gas = GasFor(gateId, gate->spec.address);
        request.address = gate->address;
        request.gateType = gate->spec.type;
        request.blockLength = count;
        request.value = area.data();
        uint32_t result = Request(block ? FN_BLOCK_READ : FN_SINGLE_READ, &request, nullptr);

        GateSample sample;
        sample.timeStamp = static_cast<uint32_t>(time(nullptr));
        if (result != 0) {
            // Only the raw area is kept: a failed read leaves the gate's value as it was.
            Runtime::State &s = Runtime::Get().Internal();
            std::lock_guard lock(s.mutex);
            auto it = s.gates.find(gateId);
            if (it != s.gates.end())
                it->second.lastArea = area;
            return result;
        }
        if (gate->spec.type == GATE_TYPE_TEXT) {
            sample.text.assign(reinterpret_cast<const char *>(area.data()), strnlen(reinterpret_cast<const char *>(area.data()), area.size() - 1));
        } else if (block) {
            for (size_t i = 0; i < count; i++)
                sample.elements.push_back(Element(gate->spec.type, area, i));
            sample.value = sample.elements.front();
        } else {
            // A single 16-bit value lies in bytes 2 and 3.
            sample.value = gate->spec.type == GATE_TYPE_FLOAT ? Element(GATE_TYPE_FLOAT, area, 0)
                                                             : Element(gate->spec.type, area, 1);
        }
        StoreGateSample(gateId, std::move(sample), area);
        return 0;
    }

    uint32_t WriteArea(uint32_t gateId, const BoundGate &gate, std::vector<uint8_t> &area)
    {
        GateRequest request{};
        request.gas = GasFor(gateId, gate.spec.address);
        request.address = gate.address;
        request.gateType = gate.spec.type;
        request.blockLength = 1;
        request.value = area.data();
        return Request(FN_SINGLE_WRITE, &request, nullptr);
    }

    std::optional<BoundGate> Writable(uint32_t gateId, uint32_t *result)
    {
        *result = 0;
        if (!entry)
            *result = kHostNoDriver;
        else if (!started)
            *result = kHostNoInstance;
        auto gate = LookUp(gateId);
        if (*result == 0 && !gate)
            *result = kHostNoGate;
        else if (*result == 0 && !gate->bound)
            *result = kHostNotBound;
        return *result == 0 ? gate : std::nullopt;
    }

    void SampleLoop(unsigned periodMs)
    {
        std::unique_lock lock(samplerMutex);
        while (!stopSampling) {
            lock.unlock();
            for (uint32_t id : Runtime::Get().GateIds()) {
                auto gate = LookUp(id);
                if (!gate || !gate->bound || gate->spec.drvNumber != drvNumber || !gate->spec.sampling)
                    continue;
                {
                    std::lock_guard check(samplerMutex);
                    if (stopSampling)
                        break;
                }
                ReadGate(id, false);
            }
            lock.lock();
            samplerWake.wait_for(lock, std::chrono::milliseconds(periodMs), [&] { return stopSampling; });
        }
    }

    void Register()
    {
        Runtime::Get().Internal().RegisterDriver(drvNumber, self);
    }

    void Unregister()
    {
        Runtime::Get().Internal().UnregisterDriver(self);
    }
};

DriverHost::DriverHost() : impl_(std::make_unique<Impl>())
{
    impl_->self = this;
}

DriverHost::~DriverHost()
{
    StopSampling();
    if (impl_->started)
        EndDrv();
    impl_->Unregister();
    free(impl_->instance);
    // The module stays loaded: worker threads of the driver may outlive EndDrv.
}

bool DriverHost::Load(const std::string &modulePath, std::string *error)
{
    void *module = OpenModule(modulePath, error);
    if (!module)
        return false;
    DrvMainFn entry = FindEntry(module);
    if (!entry) {
        if (error)
            *error = "no DrvMain in " + modulePath;
        CloseModule(module);
        return false;
    }
    impl_->module = module;
    impl_->entry = entry;
    return true;
}

void DriverHost::Attach(DrvMainFn drvMain)
{
    impl_->entry = drvMain;
}

uint32_t DriverHost::GetDrvInfo(DrvInfo *info)
{
    return impl_->Request(FN_GET_DRV_INFO, info, nullptr);
}

uint32_t DriverHost::ColdStart(uint32_t drvNumber, const ColdStartParams &params)
{
    if (!impl_->entry)
        return kHostNoDriver;
    DrvInfo info{};
    uint32_t result = GetDrvInfo(&info);
    if (result != 0)
        return result;
    StopSampling();
    if (impl_->started)
        EndDrv();
    free(impl_->instance);
    size_t size = std::max<size_t>(info.instanceSize, 1);
    impl_->instance = malloc(size);
    if (!impl_->instance)
        return kHostNoInstance;
    memset(impl_->instance, kGarbage, size);
    impl_->drvNumber = drvNumber;
    ColdStartParams copy = params;
    result = impl_->Request(FN_COLD_START, &copy, nullptr);
    // The block went through ColdStart either way, so EndDrv is due on it.
    impl_->started = true;
    if (result == 0)
        impl_->Register();
    return result;
}

uint32_t DriverHost::WarmStart(uint32_t station)
{
    if (!impl_->started)
        return impl_->entry ? kHostNoInstance : kHostNoDriver;
    return impl_->Request(FN_WARM_START, &station, nullptr);
}

uint32_t DriverHost::CloseCom()
{
    if (!impl_->started)
        return impl_->entry ? kHostNoInstance : kHostNoDriver;
    return impl_->Request(FN_CLOSE_COM, nullptr, nullptr);
}

uint32_t DriverHost::ChangeDrvParams(const PortChangeParams &params)
{
    if (!impl_->started)
        return impl_->entry ? kHostNoInstance : kHostNoDriver;
    PortChangeParams copy = params;
    return impl_->Request(FN_CHANGE_DRV_PARAMS, &copy, nullptr);
}

uint32_t DriverHost::EndDrv()
{
    if (!impl_->started)
        return impl_->entry ? kHostNoInstance : kHostNoDriver;
    StopSampling();
    impl_->Unregister();
    uint32_t result = impl_->Request(FN_END_DRV, nullptr, nullptr);
    impl_->started = false;
    return result;
}

uint32_t DriverHost::Call(uint32_t function, void *params, uint32_t *hostRequestAfter)
{
    return impl_->Request(function, params, hostRequestAfter);
}

uint32_t DriverHost::Bind(uint32_t gateId)
{
    if (!impl_->entry)
        return kHostNoDriver;
    if (!impl_->started)
        return kHostNoInstance;
    auto gate = LookUp(gateId);
    if (!gate)
        return kHostNoGate;
    AddressParseBlock block{};
    block.gas = impl_->GasFor(gateId, gate->spec.address);
    block.gateIndex = gateId;
    block.gateType = gate->spec.type;
    block.blockLength = std::max<uint32_t>(gate->spec.blockLength, 1);
    uint32_t function = gate->spec.blockLength > 0 ? FN_BLOCK_ADDRESS_PARSER : FN_SINGLE_ADDRESS_PARSER;
    uint32_t result = impl_->Request(function, &block, nullptr);
    Runtime::State &s = Runtime::Get().Internal();
    std::lock_guard lock(s.mutex);
    auto it = s.gates.find(gateId);
    if (it == s.gates.end())
        return kHostNoGate;
    it->second.bound = result == 0;
    it->second.address = result == 0 ? block.address : GateAddress{};
    return result;
}

unsigned DriverHost::BindAll()
{
    unsigned accepted = 0;
    for (uint32_t id : Runtime::Get().GateIds()) {
        auto gate = Runtime::Get().Gate(id);
        if (gate && gate->spec.drvNumber == impl_->drvNumber && Bind(id) == 0)
            accepted++;
    }
    return accepted;
}

uint32_t DriverHost::Read(uint32_t gateId)
{
    return impl_->ReadGate(gateId, false);
}

uint32_t DriverHost::DeviceRead(uint32_t gateId)
{
    return impl_->ReadGate(gateId, true);
}

uint32_t DriverHost::Write(uint32_t gateId, double value)
{
    uint32_t result;
    auto gate = impl_->Writable(gateId, &result);
    if (!gate)
        return result;
    if (gate->spec.type == GATE_TYPE_TEXT)
        return kHostWrongType;
    std::vector<uint8_t> area(VALUE_AREA_TEXT, 0);
    if (gate->spec.type == GATE_TYPE_FLOAT) {
        float f = static_cast<float>(value);
        memcpy(area.data(), &f, 4);
    } else {
        uint16_t word = To16(gate->spec.type, value);
        memcpy(area.data() + 2, &word, 2);
    }
    return impl_->WriteArea(gateId, *gate, area);
}

uint32_t DriverHost::WriteText(uint32_t gateId, const std::string &text)
{
    uint32_t result;
    auto gate = impl_->Writable(gateId, &result);
    if (!gate)
        return result;
    if (gate->spec.type != GATE_TYPE_TEXT)
        return kHostWrongType;
    std::vector<uint8_t> area(VALUE_AREA_TEXT, 0);
    memcpy(area.data(), text.data(), std::min(text.size(), area.size() - 1));
    return impl_->WriteArea(gateId, *gate, area);
}

uint32_t DriverHost::DeliverAlarmCall(uint32_t station, uint16_t connRef)
{
    // A drv number above 99 or a station above 999 has no such gate: no digits are dropped,
    // so the call can never reach another instance's or station's gate.
    char address[40];
    snprintf(address, sizeof address, "$A%02u-%03u", impl_->drvNumber, station);
    auto id = Runtime::Get().FindGate(address, static_cast<uint8_t>(impl_->drvNumber));
    if (!id)
        return kHostNoGate;
    return Write(*id, connRef);
}

std::vector<uint8_t> DriverHost::LastValueArea(uint32_t gateId) const
{
    Runtime::State &s = Runtime::Get().Internal();
    std::lock_guard lock(s.mutex);
    auto it = s.gates.find(gateId);
    return it == s.gates.end() ? std::vector<uint8_t>{} : it->second.lastArea;
}

void DriverHost::StartSampling(unsigned periodMs)
{
    StopSampling();
    {
        std::lock_guard lock(impl_->samplerMutex);
        impl_->stopSampling = false;
    }
    impl_->sampler = std::thread([this, periodMs] { impl_->SampleLoop(periodMs); });
}

void DriverHost::StopSampling()
{
    {
        std::lock_guard lock(impl_->samplerMutex);
        impl_->stopSampling = true;
    }
    impl_->samplerWake.notify_all();
    if (impl_->sampler.joinable())
        impl_->sampler.join();
}

uint32_t DriverHost::DrvNumber() const
{
    return impl_->drvNumber;
}

void *DriverHost::Instance() const
{
    return impl_->instance;
}

DrvMainFn DriverHost::Entry() const
{
    return impl_->entry;
}

uint16_t Runtime::DeviceRead(uint32_t gateId)
{
    State &s = *state_;
    DriverHost *host = nullptr;
    {
        std::lock_guard lock(s.mutex);
        auto gate = s.gates.find(gateId);
        if (gate == s.gates.end())
            return kStatusNoGate;
        auto it = s.drivers.find(gate->second.state.spec.drvNumber);
        if (it == s.drivers.end())
            return kStatusNoDriver;
        host = it->second;
        s.driverUse[host]++;
    }
    // The driver is called without the lock: it calls back into the runtime.
    uint32_t result = host->DeviceRead(gateId);
    {
        std::lock_guard lock(s.mutex);
        s.driverUse[host]--;
    }
    s.driverIdle.notify_all();
    if (result == kHostNotBound)
        return kStatusNoDriver;
    if (result == kHostNoGate)
        return kStatusNoGate;
    return result == 0 ? kStatusOk : kStatusDriverFailed;
}

} // namespace kiv
