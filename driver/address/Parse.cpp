// The gate address parser and the small conversions on memory types and resource names.
//
// A gate address string comes from the host and may be anything. Parse works on an
// upper-cased copy of at most 255 characters; a longer string can be no valid address
// (the longest form has 15 characters), so it is rejected with the length message, quoting
// the cut copy.
#include <float.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "address/Address.h"
#include "address/MemoryTypes.h"
#include "entry/KivRun.h"
#include "platform/Platform.h"

namespace {

enum { GAS_BUFFER_SIZE = 256, MAX_ADDRESS = 255, MAX_TIME_DATE_ADDRESS = 2 };

struct NamedGate {
    const char *text;
    uint32_t memoryType;
};

const NamedGate kSpecialGates[] = {
    {"START_DATE", MT_START_DATE}, {"START_TIME", MT_START_TIME},
    {"FIRST_EVENT", MT_FIRST_EVENT}, {"LAST_EVENT", MT_LAST_EVENT},
};

const NamedGate kModemGates[] = {
    {"M_CONNECT", MT_MC}, {"M_SAMPLE", MT_MS}, {"M_TIMESTAMP", MT_MT},
    {"M_DISCONNECT", MT_MD}, {"M_READ_ALL", MT_MA}, {"M_ONLINE", MT_MO},
};

/* Allowed characters of positions 1 to 12 of the general form. */
const char *const kCharacterSets[] = {
    "012", "0123456789", "0123456789", "RRESEVVTTDDAABWFBWFDTMJH", "ADTTAXEBSIOIOXXXRRRTM RSC",
    "0123456789 ", "0123456789 ", "0123456789 ", ".", "0123456789 ", "0123456789 ", "0123456789 ",
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

/* A number field as "%0Nu" reads it: blanks first, then up to width digits. Signs are no
 * part of an address, so they do not read as a number. */
bool ReadField(const char *text, unsigned width, uint32_t *value)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    if (!IsDigit(*text))
        return false;
    uint32_t number = 0;
    for (unsigned n = 0; n < width && IsDigit(text[n]); n++)
        number = number * 10 + static_cast<uint32_t>(text[n] - '0');
    *value = number;
    return true;
}

/* Position (1-based) of the first character of gas[0..count) outside its set, 0 if none. */
size_t FirstIllegalCharacter(const char *gas, size_t count)
{
    for (size_t i = 0; i < count && gas[i] != '\0'; i++)
        if (strchr(kCharacterSets[i], gas[i]) == nullptr)
            return i + 1;
    return 0;
}

uint32_t NamedMemoryType(const NamedGate *gates, size_t count, const char *text)
{
    for (size_t i = 0; i < count; i++)
        if (strcmp(gates[i].text, text) == 0)
            return gates[i].memoryType;
    return 0;
}

bool StationDefined(DriverInstance *instance, uint32_t station)
{
    return StationOf(instance, station) != nullptr;
}

/* NNN_NAME: the named special gates. */
uint32_t ParseSpecialGate(DriverInstance *instance, const char *gas, GateAddress *address)
{
    if (!IsDigit(gas[0]) || !IsDigit(gas[1]) || !IsDigit(gas[2])) {
        KivErr(LOG_ERROR, "TRSLNK: ParseAddress() Invalid PLC Address in tag (%s)", gas);
        return 1;
    }
    uint32_t station = 0;
    ReadField(gas, 3, &station);
    address->station = station;
    if (!StationDefined(instance, station)) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() error, plc %u not defined in init file, gate '%s'", station, gas);
        return 1;
    }
    uint32_t memoryType = NamedMemoryType(kSpecialGates, sizeof kSpecialGates / sizeof kSpecialGates[0], gas + 4);
    if (memoryType == 0) {
        KivErr(LOG_ERROR, "TRSLNK: ParseAddress() Invalid Tag (%s)", gas);
        return 1;
    }
    address->memoryType = memoryType;
    return 0;
}

/* $Add-nnn: the gate that answers the alarm calls of station nnn on drv number dd. */
uint32_t ParseAlarmCallGate(uint32_t drvNumber, const char *gas, size_t length, GateAddress *address)
{
    if (length != 8) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal length alarm call gate, '%s'", gas);
        return 1;
    }
    uint32_t gateDrv = 0;
    if (!ReadField(gas + 2, 2, &gateDrv)) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal drv number in alarm call gate, '%s'", gas);
        return 1;
    }
    if (gateDrv != drvNumber) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() drv number in alarm call gate different from real drv number, '%s'", gas);
        return 1;
    }
    uint32_t station = 0;
    if (!ReadField(gas + 5, 3, &station)) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal plc number in alarm call gate, '%s'", gas);
        return 1;
    }
    address->station = station;
    address->memoryType = MT_AA;
    address->address = 0;
    address->spare = -1;
    address->valueBits = 16;
    return 0;
}

/* aaa of NNNxxaaa or NNNxxeee.aaa: 0..255. */
bool ReadResourceAddress(const char *field, const char *gas, uint32_t *value)
{
    if (!ReadField(field, 3, value)) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() error, reading gate address, gate '%s'", gas);
        return false;
    }
    if (*value > MAX_ADDRESS) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() error, gate address out of range, gate '%s'", gas);
        return false;
    }
    return true;
}

uint32_t ParseResource(const MemoryTypeInfo *type, const char *gas, size_t length, GateAddress *address)
{
    uint32_t value = 0;
    switch (type->form) {
    case FORM_EXTENDED:
    case FORM_REGISTER:
        if (length == 8) {
            if (!ReadResourceAddress(gas + 5, gas, &value))
                return 1;
            address->address = value;
            return 0;
        }
        if (length == 12) {
            if (type->form == FORM_REGISTER) {
                KivErr(LOG_TRACE,
                       "TRSLNK> Parse() error, no extension allowed for register or time/date gate, gate '%s'", gas);
                return 1;
            }
            uint32_t extension = 0;
            if (!ReadField(gas + 5, 3, &extension)) {
                KivErr(LOG_TRACE, "TRSLNK> Parse() error, reading extension number, gate '%s'", gas);
                return 1;
            }
            if (!ReadResourceAddress(gas + 9, gas, &value))
                return 1;
            address->address = (extension << 16) | value;
            return 0;
        }
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal gate address string length, gate '%s'", gas);
        return 1;
    case FORM_TIME_DATE:
        if (length != 8) {
            KivErr(LOG_TRACE, "TRSLNK> Parse() illegal gate address string length, gate '%s'", gas);
            return 1;
        }
        if (!ReadField(gas + 5, 3, &value)) {
            KivErr(LOG_TRACE, "TRSLNK> Parse() error, reading gate address, gate '%s'", gas);
            return 1;
        }
        if (value > MAX_TIME_DATE_ADDRESS) {
            KivErr(LOG_TRACE, "TRSLNK> Parse() error, tiem our date address 0->2, gate '%s'", gas);
            return 1;
        }
        address->address = value;
        return 0;
    case FORM_BARE:
        if (length != 5) {
            KivErr(LOG_TRACE, "TRSLNK> Parse() illegal gate address string length for memory type, gate '%s'", gas);
            return 1;
        }
        return 0;
    case FORM_SPECIAL:
        break;
    }
    KivErr(LOG_TRACE, "TRSLNK> Parse() illegal memory type, gate '%s'", gas);
    return 1;
}

uint32_t ParseGeneral(RequestBlock *request, const char *gas, size_t length, GateAddress *address)
{
    DriverInstance *instance = InstanceOf(request);
    size_t position = FirstIllegalCharacter(gas, 4);
    if (position != 0) {
        KivErr(LOG_ERROR, "TRSLNK> Parse() Illegal character %d in '%s'", static_cast<int>(position), gas);
        return 1;
    }
    address->station = 0;
    address->memoryType = 0;
    address->address = 0;
    address->spare = -1;
    address->valueBits = 16;
    if (length < 5) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal length gate address string '%s'", gas);
        return 1;
    }
    uint32_t station = 0;
    if (!ReadField(gas, 3, &station)) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() error, reading plc address, gate '%s'", gas);
        return 1;
    }
    if (station < 1 || station >= MAX_STATIONS) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() error, plc address %u out of range, gate '%s'", station, gas);
        return 1;
    }
    if (!StationDefined(instance, station)) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() error, plc %u not defined in init file, gate '%s'", station, gas);
        return 1;
    }
    address->station = station;

    if (gas[3] == 'M') {
        if (!instance->modemMode) {
            KivErr(LOG_TRACE, "TRSLNK> Parse() multi-modem support not enabled in init file, gate '%s'", gas);
            return 1;
        }
        address->station = station + MODEM_GATE_STATION_OFFSET;
        uint32_t memoryType = NamedMemoryType(kModemGates, sizeof kModemGates / sizeof kModemGates[0], gas + 3);
        if (memoryType == 0) {
            KivErr(LOG_TRACE, "TRSLNK> Parse() error, illegal modem command gate, '%s'", gas);
            return 1;
        }
        address->memoryType = memoryType;
        return 0;
    }

    position = FirstIllegalCharacter(gas, sizeof kCharacterSets / sizeof kCharacterSets[0]);
    if (position != 0) {
        KivErr(LOG_ERROR, "TRSLNK> Parse() Illegal character %d in '%s'", static_cast<int>(position), gas);
        return 1;
    }
    address->memoryType = MemType(gas[3], gas[4]);
    const MemoryTypeInfo *type = FindMemoryType(address->memoryType);
    if (!type || type->form == FORM_SPECIAL) {
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal memory type, gate '%s'", gas);
        return 1;
    }
    if (ParseResource(type, gas, length, address) != 0)
        return 1;
    address->valueBits = type->valueBits;
    return 0;
}

} // namespace

uint32_t Parse(RequestBlock *request)
{
    AddressParseBlock *block = static_cast<AddressParseBlock *>(request->params);
    GateAddress *address = &block->address;
    const char *source = block->gas ? block->gas : "";

    char gas[GAS_BUFFER_SIZE];
    size_t length = 0;
    while (length + 1 < sizeof gas && source[length] != '\0') {
        gas[length] = Upper(source[length]);
        length++;
    }
    gas[length] = '\0';
    if (source[length] != '\0') {
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal length gate address string '%s'", gas);
        return 1;
    }

    if (length >= 4 && gas[3] == '_')
        return ParseSpecialGate(InstanceOf(request), gas, address);
    if (length >= 5 && gas[0] == '$' && gas[1] == 'A' && gas[4] == '-')
        return ParseAlarmCallGate(request->drvNumber, gas, length, address);
    return ParseGeneral(request, gas, length, address);
}

uint16_t GetMemTypeFromGAS(const char *gas)
{
    const char *text = gas ? gas : "";
    if (strnlen(text, 5) == 5) {
        const MemoryTypeInfo *type = FindMemoryType(MemType(text[3], text[4]));
        if (type && type->value != VALUE_NONE)
            return static_cast<uint16_t>(type->code);
    }
    char copy[GAS_BUFFER_SIZE];
    CopyText(copy, sizeof copy, text);
    KivErr(LOG_ERROR, "TRSLNK: GetMemTypeFromGAS() Invalid tag '%s'", copy);
    return 0;
}

void ValueFromText(void *value, uint32_t memoryType, const char *text)
{
    const MemoryTypeInfo *type = FindMemoryType(memoryType);
    if (!type || !value || !text)
        return;
    unsigned char *bytes = static_cast<unsigned char *>(value);
    if (type->value == VALUE_FLOAT) {
        // Out of the float range the value becomes an infinity, as the hardware rounds it.
        double number = strtod(text, nullptr);
        float single = number > FLT_MAX ? HUGE_VALF : number < -FLT_MAX ? -HUGE_VALF : static_cast<float>(number);
        memcpy(bytes, &single, sizeof single);
    } else if (type->value == VALUE_INTEGER) {
        // atoi of an int-sized number, kept to its low 16 bits; bigger texts are held at the int limits.
        long number = strtol(text, nullptr, 10);
        if (number > INT32_MAX)
            number = INT32_MAX;
        if (number < INT32_MIN)
            number = INT32_MIN;
        uint16_t word = static_cast<uint16_t>(static_cast<uint32_t>(number) & 0xFFFFu);
        // A single 16-bit value stands in bytes 2 and 3 of the value area.
        memcpy(bytes + 2, &word, sizeof word);
    }
}

void NormaliseResourceName(char *source, char *target, size_t targetSize)
{
    if (!target || targetSize == 0)
        return;
    if (!source) {
        target[0] = '\0';
        return;
    }
    size_t prefix = 0;
    for (char *p = source; *p; p++)
        *p = Upper(*p);
    while (source[prefix] != '\0' && !IsDigit(source[prefix]))
        prefix++;
    uint64_t number = 0;
    for (const char *p = source + prefix; IsDigit(*p); p++) {
        number = number * 10 + static_cast<unsigned>(*p - '0');
        if (number > UINT32_MAX)
            number = UINT32_MAX; // held at the limit: the name is no real address then anyway
    }
    const int prefixLength = prefix > INT_MAX ? INT_MAX : static_cast<int>(prefix);
    snprintf(target, targetSize, "%.*s%03u", prefixLength, source, static_cast<unsigned>(number));
}
