// A gate request as the host hands it to the driver, with guard bytes behind its value
// area so that a test sees every byte written past it; value areas as byte strings.
#pragma once

#include <cstring>
#include <string>

#include "address/Address.h"
#include "config/Instance.h"

namespace rw_test {

struct GateRig {
    // The value area holds 4 bytes for a single value, 4 x blockLength for a block and 500
    // for a text; it starts filled with 0xEE, and 32 guard bytes follow it.
    GateRig(DriverInstance *instance, uint32_t memoryType, uint32_t gateType, uint32_t address,
            uint32_t blockLength = 0, uint32_t station = 1)
        : areaSize(memoryType == MT_SR || memoryType == MT_SX || memoryType == MT_START_DATE || memoryType == MT_START_TIME
                       ? VALUE_AREA_TEXT : blockLength > 0 ? 4u * blockLength : VALUE_AREA_SINGLE),
          storage(std::string(areaSize, '\xEE') + std::string(32, '\xA5'))
    {
        gate.gas = gas.data();
        gate.address = GateAddress{station, memoryType, address, -1, 16};
        gate.gateType = gateType;
        gate.blockLength = blockLength;
        gate.value = storage.data();
        request = RequestBlock{instance, blockLength > 0 ? FN_BLOCK_READ : FN_SINGLE_READ,
                               instance ? instance->drvNumber : 1, 1, &gate};
    }
    void Tag(const std::string &name) { gate.gas = (gas = name).data(); }
    void Set(std::string bytes) { memcpy(storage.data(), bytes.data(), std::min(bytes.size(), areaSize)); }
    void SetText(std::string text) { text.resize(areaSize, '\0'), Set(text); }
    std::string Area(size_t n) const { return storage.substr(0, n); }
    bool GuardIntact() const { return storage.substr(areaSize) == std::string(32, '\xA5'); }

    std::string gas = "TEST";
    size_t areaSize;
    std::string storage;
    GateRequest gate{};
    RequestBlock request{};
};

inline std::string U16(uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; }
inline std::string I32(int32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
inline std::string F32(float v) { return std::string(reinterpret_cast<const char *>(&v), 4); }
inline std::string Word(uint16_t v) { return "\xEE\xEE" + U16(v); } // a single 16-bit value: bytes 2 and 3
const std::string kEE = "\xEE\xEE\xEE\xEE";

} // namespace rw_test
