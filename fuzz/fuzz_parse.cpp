// Runs the address parsers on arbitrary gate address strings.
//
// Input: byte 0 picks the gate type, byte 1 the block length, bytes 2 and 3 the gate
// index, byte 4 modem mode and the index range; the rest is the address string.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "address/Address.h"
#include "config/Config.h"
#include "host/Host.h"

namespace {

DriverInstance *MakeInstance()
{
    DriverInstance *instance = static_cast<DriverInstance *>(calloc(1, sizeof(DriverInstance)));
    if (!instance)
        abort();
    ResetInstance(instance);
    instance->drvNumber = 1;
    for (unsigned number : {0u, 1u, 2u, 3u, 5u, 255u}) {
        StationRecord *station = new StationRecord();
        station->connRef = 255;
        memcpy(station->name, "PLC", 4);
        memcpy(station->accessCode, "CODE", 5);
        instance->stations[number] = station;
    }
    return instance;
}

const uint32_t kGateTypes[8] = {GATE_TYPE_U16, GATE_TYPE_S16, GATE_TYPE_FLOAT, GATE_TYPE_DIGITAL,
                                GATE_TYPE_TEXT, 2, 255, 0xFFFFFFFFu};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DriverInstance *const instance = MakeInstance();
    if (size < 5)
        return 0;
    const uint8_t flags = data[4];
    instance->modemMode = flags & 1;

    AddressParseBlock block{};
    block.gateType = kGateTypes[data[0] & 7];
    block.blockLength = data[1] == 255 ? 0xFFFFFFFFu : data[1];
    block.gateIndex = (flags & 2) ? 65280u + data[3] : (uint32_t{data[2]} << 8 | data[3]);

    // An exact-size copy, so that any read past the string's end is caught.
    const size_t length = size - 5;
    char *gas = static_cast<char *>(malloc(length + 1));
    if (!gas)
        abort();
    memcpy(gas, data + 5, length);
    gas[length] = '\0';
    block.gas = (flags & 4) ? nullptr : gas;
    const uint32_t drvNumber = (flags & 8) ? 12 : 1;
    RequestBlock request{instance, FN_SINGLE_ADDRESS_PARSER, drvNumber, 1, &block};

    if (SingleParse(&request) == 0 && block.address.memoryType == 0)
        abort(); // accepted without a memory type
    request.function = FN_BLOCK_ADDRESS_PARSER;
    if (BlockParse(&request) == 0 && (block.address.address & 0xFFFF) > 255)
        abort(); // a block accepted beyond the last address

    GetMemTypeFromGAS(gas);
    unsigned char value[4] = {0, 0, 0, 0};
    ValueFromText(value, MemType(length > 3 ? gas[3] : 'R', length > 4 ? gas[4] : 'A'), gas);
    char target[33];
    NormaliseResourceName(gas, target, sizeof target);

    free(gas);
    kiv::Runtime::Get().ClearLog();
    return 0;
}
