// A gate request as the host hands it to the driver, with guard bytes behind its value
// area so that a test sees every byte written past it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "address/Address.h"
#include "config/Instance.h"
#include "entry/Records.h"

namespace rw_test {

constexpr uint8_t kGuard = 0xA5;

struct GateRig {
    // The value area holds 4 bytes for a single value, 4 x blockLength for a block and 500
    // for a text; 32 guard bytes follow it.
    GateRig(DriverInstance *instance, uint32_t memoryType, uint32_t gateType, uint32_t address,
            uint32_t blockLength = 0, uint32_t station = 1)
    {
        const bool text = memoryType == MT_SR || memoryType == MT_SX || memoryType == MT_START_DATE ||
                          memoryType == MT_START_TIME;
        areaSize = text ? VALUE_AREA_TEXT : blockLength > 0 ? 4u * blockLength : VALUE_AREA_SINGLE;
        storage.assign(areaSize + 32, kGuard);
        Fill(0);
        gate.gas = gas.data();
        gate.address.station = station;
        gate.address.memoryType = memoryType;
        gate.address.address = address;
        gate.gateType = gateType;
        gate.blockLength = blockLength;
        gate.value = storage.data();
        request.instance = instance;
        request.function = blockLength > 0 ? FN_BLOCK_READ : FN_SINGLE_READ;
        request.drvNumber = instance ? instance->drvNumber : 1;
        request.hostRequest = 1;
        request.params = &gate;
    }

    void Tag(const std::string &name)
    {
        gas = name;
        gate.gas = gas.data();
    }
    bool GuardIntact() const
    {
        return std::vector<uint8_t>(storage.begin() + areaSize, storage.end()) == std::vector<uint8_t>(32, kGuard);
    }
    void Fill(uint8_t byte) { std::memset(storage.data(), byte, areaSize); }
    template <typename T> T Get(size_t offset) const
    {
        T v;
        std::memcpy(&v, storage.data() + offset, sizeof v);
        return v;
    }
    uint16_t U16(size_t offset) const { return Get<uint16_t>(offset); }
    uint32_t U32(size_t offset) const { return Get<uint32_t>(offset); }
    float Float(size_t offset) const { return Get<float>(offset); }
    std::string Text() const
    {
        return std::string(reinterpret_cast<const char *>(storage.data()),
                           strnlen(reinterpret_cast<const char *>(storage.data()), areaSize));
    }
    void SetU16(uint16_t value) { std::memcpy(storage.data() + 2, &value, sizeof value); } // bytes 2 and 3
    void SetFloat(float value) { std::memcpy(storage.data(), &value, sizeof value); }
    void SetText(const std::string &text)
    {
        Fill(0);
        std::memcpy(storage.data(), text.data(), std::min(text.size(), areaSize));
    }

    std::string gas = "TEST";
    size_t areaSize;
    std::vector<uint8_t> storage;
    GateRequest gate{};
    RequestBlock request{};
};

// The instance's telegram buffer as a string.
inline std::string TxText(DriverInstance *instance)
{
    return std::string(instance->txBuffer, strnlen(instance->txBuffer, sizeof instance->txBuffer));
}

} // namespace rw_test
