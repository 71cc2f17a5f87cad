#include "GateRig.h"

#include <cstring>

#include "entry/Records.h"

namespace rw_test {

GateRig::GateRig(DriverInstance *instance, uint32_t memoryType, uint32_t gateType, uint32_t address,
                 uint32_t blockLength, uint32_t station, size_t size)
{
    if (size == 0) {
        if (memoryType == MT_SR || memoryType == MT_SX || memoryType == MT_START_DATE || memoryType == MT_START_TIME)
            size = VALUE_AREA_TEXT;
        else
            size = blockLength > 0 ? 4u * blockLength : VALUE_AREA_SINGLE;
    }
    areaSize = size;
    storage.assign(areaSize + kGuardBytes, kGuard);
    std::memset(storage.data(), 0, areaSize);
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

bool GateRig::GuardIntact() const
{
    for (size_t i = areaSize; i < storage.size(); i++)
        if (storage[i] != kGuard)
            return false;
    return true;
}

void GateRig::Fill(uint8_t byte)
{
    std::memset(storage.data(), byte, areaSize);
}

uint16_t GateRig::U16(size_t offset) const
{
    uint16_t v;
    std::memcpy(&v, storage.data() + offset, sizeof v);
    return v;
}

uint32_t GateRig::U32(size_t offset) const
{
    uint32_t v;
    std::memcpy(&v, storage.data() + offset, sizeof v);
    return v;
}

float GateRig::Float(size_t offset) const
{
    float v;
    std::memcpy(&v, storage.data() + offset, sizeof v);
    return v;
}

std::string GateRig::Text() const
{
    return std::string(reinterpret_cast<const char *>(storage.data()),
                       strnlen(reinterpret_cast<const char *>(storage.data()), areaSize));
}

void GateRig::SetU16(uint16_t value)
{
    std::memcpy(storage.data() + 2, &value, sizeof value);
}

void GateRig::SetFloat(float value)
{
    std::memcpy(storage.data(), &value, sizeof value);
}

void GateRig::SetText(const std::string &text)
{
    std::memset(storage.data(), 0, areaSize);
    std::memcpy(storage.data(), text.data(), text.size() < areaSize ? text.size() : areaSize);
}

std::string TxText(DriverInstance *instance)
{
    return std::string(instance->txBuffer, strnlen(instance->txBuffer, sizeof instance->txBuffer));
}

} // namespace rw_test
