// The read reply decoders: a read of every memory type that has a telegram, single or
// as a block of any allowed length, answered by a scripted station; the decoder itself
// on the raw text; and the field parsers it uses.
//
// Input: byte 0 the memory type, byte 1 flags (bit 0 block, bit 1 raw replies, bits 2-4
// the gate type), byte 2 the block length, bytes 3-4 the address, byte 5 the extension;
// the rest is the script of replies (the first reply also goes to the decoder directly).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Modules/WitRead.h"
#include "address/Address.h"
#include "address/MemoryTypes.h"
#include "fuzz/FuzzSupport.h"
#include "host/Host.h"

namespace {

const uint32_t kTypes[] = {MT_RA, MT_RD, MT_FR, MT_FX, MT_AI, MT_AO, MT_DI, MT_DO, MT_EA, MT_ET, MT_ST, MT_BR,
                           MT_WR, MT_BX, MT_WX, MT_VE, MT_VX, MT_SR, MT_SX, MT_TM, MT_DT, MT_TB, MT_TS};
const uint32_t kGateTypes[] = {GATE_TYPE_U16, GATE_TYPE_S16, GATE_TYPE_FLOAT, GATE_TYPE_DIGITAL, GATE_TYPE_TEXT};

// A NUL-terminated copy of exactly the text's size, so that any read past it is caught.
char *Copy(const std::string &text)
{
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    if (!copy)
        abort();
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DriverInstance *const instance = [] {
        DriverInstance *created = fuzz::NewInstance();
        fuzz::AddStation(created, 5, "PLC5", "1234");
        return created;
    }();
    fuzz::Reader input(data, size);
    const uint32_t memoryType = kTypes[input.Byte() % (sizeof kTypes / sizeof kTypes[0])];
    const uint8_t flags = input.Byte();
    const uint8_t length = input.Byte();
    const uint16_t address = input.Word();
    const uint8_t extension = input.Byte();
    const MemoryTypeInfo *info = FindMemoryType(memoryType);

    // The address and length the parser would have let through.
    GateRequest gate{};
    gate.gateType = kGateTypes[(flags >> 2) % 5];
    gate.address.station = 5;
    gate.address.memoryType = memoryType;
    bool block = (flags & 1) && info->block != BLOCK_NONE;
    if (info->block == BLOCK_TIME_DATE || info->form == FORM_TIME_DATE) {
        gate.blockLength = block ? 3 : 1;
        gate.address.address = block ? 0 : address % 3;
    } else if (info->form == FORM_BARE) {
        gate.blockLength = 1;
    } else {
        gate.blockLength = block ? (length ? length : 1) : 1;
        const uint32_t low = address % (257 - gate.blockLength);
        gate.address.address = info->form == FORM_EXTENDED ? static_cast<uint32_t>(extension % 8) << 16 | low : low;
    }
    char gas[32];
    snprintf(gas, sizeof gas, "005%c%c%03u", MemTypeFirst(memoryType), MemTypeSecond(memoryType),
             gate.address.address & 0xFFFF);
    gate.gas = gas;
    const size_t area = block ? 4u * gate.blockLength : info->wire == WIRE_VAR_TEXT ? VALUE_AREA_TEXT : VALUE_AREA_SINGLE;
    gate.value = calloc(1, area);
    if (!gate.value)
        abort();
    const uint32_t function = block ? FN_BLOCK_READ : FN_SINGLE_READ;
    RequestBlock request{instance, function, 1, 1, &gate};

    const std::vector<std::string> replies = fuzz::Replies(input.Rest(), input.Left(), !(flags & 2));
    const std::string first(reinterpret_cast<const char *>(input.Rest()),
                            strnlen(reinterpret_cast<const char *>(input.Rest()), input.Left()));

    // The decoder and the field parsers on the text as it stands.
    char *text = Copy(first);
    StoreData(&request, text, function);
    free(text);
    int32_t integer = 0;
    float number = 0;
    ParseAnalogField(first.c_str(), &integer);
    ParseFloatAfterColon(first.c_str(), &number);
    char *string = static_cast<char *>(malloc(VALUE_AREA_TEXT));
    if (!string)
        abort();
    if (GetStringValueFromResponse(gas, first.c_str(), string) == 0 && strnlen(string, VALUE_AREA_TEXT) == VALUE_AREA_TEXT)
        abort();
    free(string);

    // The whole read: request, reply check, decoder.
    fuzz::UseScriptedStation(instance, replies);
    const uint32_t result = block ? DoRead(&request, FN_BLOCK_READ) : DoRead(&request, FN_SINGLE_READ);
    if (result > 3)
        abort();
    free(gate.value);
    kiv::Runtime::Get().ClearLog();
    return 0;
}
