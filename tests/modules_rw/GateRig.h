// A gate request as the host hands it to the driver, with guard bytes behind its value
// area so that a test sees every byte written past it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "address/Address.h"
#include "config/Instance.h"

namespace rw_test {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 32;

struct GateRig {
    GateRig(DriverInstance *instance, uint32_t memoryType, uint32_t gateType, uint32_t address,
            uint32_t blockLength = 0, uint32_t station = 1, size_t areaSize = 0);

    // The value area: areaSize bytes (4 for a single value, 4 x blockLength for a block,
    // 500 for a text by default), then kGuardBytes of kGuard.
    uint8_t *Area() { return storage.data(); }
    size_t AreaSize() const { return areaSize; }
    bool GuardIntact() const;
    void Fill(uint8_t byte);

    uint16_t U16(size_t offset) const;
    uint32_t U32(size_t offset) const;
    float Float(size_t offset) const;
    std::string Text() const;

    void SetU16(uint16_t value);   // bytes 2 and 3
    void SetFloat(float value);    // bytes 0 to 3
    void SetText(const std::string &text);

    std::string gas = "TEST";
    size_t areaSize;
    std::vector<uint8_t> storage;
    GateRequest gate{};
    RequestBlock request{};
};

// The instance's telegram buffer as a string.
std::string TxText(DriverInstance *instance);

} // namespace rw_test
