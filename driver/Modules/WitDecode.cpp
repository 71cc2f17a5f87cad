// Decoding of read replies into a gate's value area.
//
// The reply text is untrusted: every position is checked against the length of the text
// before it is read, and every value goes into the value area only inside the bounds the
// host gave (4 bytes for a single value, 4 x blockLength for a block, 500 for a text).
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Modules/WitRead.h"
#include "address/Address.h"
#include "address/MemoryTypes.h"
#include "entry/KivRun.h"
#include "platform/Platform.h"

namespace {

enum { ETAT_RESOURCE_WIDTH = 19, ETAT_HEADER = 4, ANALOG_FIELD_WIDTH = 16, ANALOG_FIELD_SIZE = 64, FLOAT_TEXT_SIZE = 100 };

/* A state character for the log: the NUL of a too short reply shows as a blank. */
char Printable(char c)
{
    return c == '\0' ? ' ' : c;
}

/* 0 for '.', 1 for 'A' or 'P', -1 for anything else. */
int DigitalState(char c)
{
    if (c == '.')
        return 0;
    if (c == 'A' || c == 'P')
        return 1;
    return -1;
}

/* A decimal integer right at `text` (leading blanks allowed, as "%d" does). False when
 * there are no digits or the number does not fit 32 bits. */
bool ReadInteger(const char *text, int32_t *value)
{
    errno = 0;
    char *end = nullptr;
    long number = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(number);
    return true;
}

/* A decimal number right at `text`, finite and inside the float range. */
bool ReadFloat(const char *text, float *value)
{
    errno = 0;
    char *end = nullptr;
    double number = strtod(text, &end);
    if (end == text || errno == ERANGE || !isfinite(number) || fabs(number) > 3.402823466e38)
        return false;
    *value = static_cast<float>(number);
    return true;
}

/* Two digits ("%02u") at `text`. */
bool ReadTwoDigits(const char *text, uint16_t *value)
{
    unsigned number = 0;
    if (sscanf(text, "%02u", &number) != 1)
        return false;
    *value = static_cast<uint16_t>(number);
    return true;
}

uint32_t StoreEtat(GateRequest *gate, const char *gas, char *reply, uint32_t count, bool block)
{
    uint32_t result = 0;
    const size_t length = strlen(reply);
    // The request asked for blockLength resources, also for a single gate.
    const size_t required = static_cast<size_t>(ETAT_RESOURCE_WIDTH) * gate->blockLength + ETAT_HEADER;
    if (length != required) {
        KivErr(LOG_LEVEL8, "TRSLNK> StoreData() illegal reply length (%u / %u), gate '%s'", static_cast<unsigned>(length),
               static_cast<unsigned>(required), gas);
        result = 1;
    }
    unsigned first = 0;
    if (sscanf(reply, "%03u", &first) != 1 || first != gate->address.address) {
        KivErr(LOG_TRACE, "TRSLNK> StoreData() illegal resource address in reply, gate '%s'", gas);
        result = 1;
    }
    const bool digital = gate->gateType == GATE_TYPE_DIGITAL;
    if (!block && digital) {
        const char c = length > 4 ? reply[4] : '\0';
        const int state = DigitalState(c);
        if (state < 0) {
            KivErr(LOG_TRACE, "TRSLNK> StoreData() illegal data '%c' in reply for digital resource, gate '%s'", Printable(c), gas);
            return 1;
        }
        PutValue16(gate->value, SINGLE_16_OFFSET, static_cast<uint16_t>(state));
        return result;
    }
    if (!block) {
        float value = 0;
        if (!ParseFloatAfterColon(reply, &value)) {
            KivErr(LOG_ERROR, "TRSLNK: StoreData() Tag '%s' Invalid data ('%s') for 'Float' Resource", gas, reply);
            return 1;
        }
        PutValueFloat(gate->value, 0, value);
        return result;
    }
    for (uint32_t i = 0; i < count; i++) {
        const size_t statePos = ETAT_HEADER + static_cast<size_t>(ETAT_RESOURCE_WIDTH) * i;
        if (digital) {
            const char c = statePos < length ? reply[statePos] : '\0';
            const int state = DigitalState(c);
            if (state < 0) {
                KivErr(LOG_TRACE, "TRSLNK> StoreData() illegal %uth data '%c' in reply for digital resource, gate '%s'", i,
                       Printable(c), gas);
                result = 1;
                if (statePos >= length)
                    break; // nothing more to read: one line for the missing rest
                continue;
            }
            PutValue16(gate->value, 2 * i, static_cast<uint16_t>(state));
            continue;
        }
        const size_t fieldPos = statePos + 2;
        const char *field = fieldPos < length ? reply + fieldPos : "";
        int32_t value = 0;
        if (!ParseAnalogField(field, &value)) {
            const size_t end = fieldPos + ANALOG_FIELD_WIDTH;
            if (end < length)
                reply[end] = '\0';
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error reading data '%s' in reply for analog resource, gate '%s'", field, gas);
            result = 1;
            if (fieldPos >= length)
                break; // nothing more to read: one line for the missing rest
            continue;
        }
        PutValue32(gate->value, 4 * i, static_cast<uint32_t>(value));
    }
    return result;
}

uint32_t StoreInteger(GateRequest *gate, const char *gas, char *reply, uint32_t count, bool block)
{
    const bool isSt = gate->address.memoryType == MT_ST;
    uint32_t result = 0;
    const char *p = reply;
    for (uint32_t i = 0; i < count; i++) {
        const char *tab = strchr(p, '\t');
        if (!tab) {
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error, TAB character not found in reply, gate '%s'", gas);
            return 1;
        }
        p = tab + 1;
        int32_t value = 0;
        if (ReadInteger(p, &value)) {
            PutValue16(gate->value, block ? 2 * i : SINGLE_16_OFFSET, static_cast<uint16_t>(value));
            continue;
        }
        if (isSt && *p == '#') {
            PutValue16(gate->value, block ? 2 * i : SINGLE_16_OFFSET, 0);
            continue;
        }
        if (block)
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error reading %uth data value in reply telegram, gate '%s'", i + 1, gas);
        else
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error reading data value in reply telegram, gate '%s'", gas);
        result = 1;
    }
    return result;
}

uint32_t StoreFloat(GateRequest *gate, const char *gas, char *reply, uint32_t count, bool block)
{
    for (char *c = reply; *c; c++)
        if (*c == ',')
            *c = '.';
    uint32_t result = 0;
    const char *p = reply;
    for (uint32_t i = 0; i < count; i++) {
        const char *tab = strchr(p, '\t');
        if (!tab) {
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error, TAB character not found in reply, gate '%s'", gas);
            return 1;
        }
        p = tab + 1;
        float value = 0;
        if (ReadFloat(p, &value)) {
            PutValueFloat(gate->value, block ? 4 * i : 0, value);
            continue;
        }
        if (block)
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error reading %uth data value in reply telegram, gate '%s'", i + 1, gas);
        else
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error reading data value in reply telegram, gate '%s'", gas);
        result = 1;
    }
    return result;
}

uint32_t StoreBit(GateRequest *gate, const char *gas, const char *reply)
{
    uint32_t result = 0;
    const size_t length = strlen(reply);
    if (length != 5) {
        KivErr(LOG_ERROR, "TRSLNK> StoreData() illegal reply length (%u / %u), gate '%s'", static_cast<unsigned>(length), 5u, gas);
        result = 1;
    }
    const char letters[3] = {MemTypeFirst(gate->address.memoryType), MemTypeSecond(gate->address.memoryType), '\0'};
    if (!strstr(reply, letters)) {
        KivErr(LOG_TRACE, "TRSLNK> StoreData() illegal reply, no '%s' in answer, gate '%s'", letters, gas);
        result = 1;
    }
    // The bit is taken even from a reply of the wrong shape: the station's answer is
    // still the best value there is.
    PutValue16(gate->value, SINGLE_16_OFFSET, length > 3 && reply[3] == '1' ? 1 : 0);
    return result;
}

uint32_t StoreClock(GateRequest *gate, const char *gas, const char *reply, uint32_t count, bool block)
{
    uint32_t result = 0;
    const size_t length = strlen(reply);
    if (length != 9) {
        KivErr(LOG_TRACE, "TRSLNK> StoreData() illegal reply length (%u / %u), gate '%s'", static_cast<unsigned>(length), 9u, gas);
        result = 1;
    }
    if (!block) {
        const size_t pos = 3u * static_cast<size_t>(gate->address.address);
        uint16_t value = 0;
        if (gate->address.address > 2 || pos >= length || !ReadTwoDigits(reply + pos, &value)) {
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error reading %uth data value in reply telegram, gate '%s'",
                   gate->address.address + 1, gas);
            return 1;
        }
        PutValue16(gate->value, SINGLE_16_OFFSET, value);
        return result;
    }
    for (uint32_t i = 0; i < count; i++) {
        const size_t pos = 3u * static_cast<size_t>(i);
        uint16_t value = 0;
        if (pos >= length || !ReadTwoDigits(reply + pos, &value)) {
            KivErr(LOG_TRACE, "TRSLNK> StoreData() error reading %uth data value in reply telegram, gate '%s'", i + 1, gas);
            result = 1;
            if (pos >= length)
                break; // nothing more to read: one line for the missing rest
            continue;
        }
        PutValue16(gate->value, 2 * i, value);
    }
    return result;
}

} // namespace

void PutValue16(void *area, size_t offset, uint16_t value)
{
    memcpy(static_cast<unsigned char *>(area) + offset, &value, sizeof value);
}

void PutValue32(void *area, size_t offset, uint32_t value)
{
    memcpy(static_cast<unsigned char *>(area) + offset, &value, sizeof value);
}

void PutValueFloat(void *area, size_t offset, float value)
{
    memcpy(static_cast<unsigned char *>(area) + offset, &value, sizeof value);
}

uint16_t GetValue16(const void *area, size_t offset)
{
    uint16_t value;
    memcpy(&value, static_cast<const unsigned char *>(area) + offset, sizeof value);
    return value;
}

float GetValueFloat(const void *area, size_t offset)
{
    float value;
    memcpy(&value, static_cast<const unsigned char *>(area) + offset, sizeof value);
    return value;
}

uint32_t StoreData(RequestBlock *request, char *reply, uint32_t functionCode)
{
    GateRequest *gate = static_cast<GateRequest *>(request->params);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    const bool block = functionCode != FN_SINGLE_READ;
    const uint32_t count = block ? gate->blockLength : 1;

    switch (WireKindOf(gate->address.memoryType)) {
    case WIRE_ETAT:
        return StoreEtat(gate, gas, reply, count, block);
    case WIRE_VAR_INTEGER:
        return StoreInteger(gate, gas, reply, count, block);
    case WIRE_VAR_FLOAT:
        return StoreFloat(gate, gas, reply, count, block);
    case WIRE_VAR_BIT:
        return StoreBit(gate, gas, reply);
    case WIRE_DATE:
    case WIRE_TIME:
        return StoreClock(gate, gas, reply, count, block);
    case WIRE_VAR_TEXT: {
        char text[VALUE_AREA_TEXT];
        const uint32_t result = GetStringValueFromResponse(gas, reply, text);
        if (result == 0)
            CopyText(static_cast<char *>(gate->value), VALUE_AREA_TEXT, text);
        return result;
    }
    case WIRE_NONE:
        break;
    }
    KivErr(LOG_ERROR, "TRSLNK> StoreData() invalid memory type, Tag '%s'", gas);
    return 1;
}

uint32_t ParseAnalogField(const char *field, int32_t *value)
{
    char text[ANALOG_FIELD_SIZE];
    if (sscanf(field, "%63[^\t]", text) != 1 || strlen(text) != ANALOG_FIELD_WIDTH)
        return 0;
    char *colon = strrchr(text, ':');
    if (!colon)
        return 0;
    // A decimal comma behind the colon is dropped: the station sends 12,5 for 125 tenths.
    char *comma = strchr(colon, ',');
    if (comma)
        memmove(comma, comma + 1, strlen(comma + 1) + 1);
    return ReadInteger(colon + 1, value) ? 1 : 0;
}

uint32_t ParseFloatAfterColon(const char *text, float *value)
{
    const char *colon = strchr(text, ':');
    if (!colon)
        return 0;
    char number[FLOAT_TEXT_SIZE];
    CopyText(number, sizeof number, colon + 1);
    char *tab = strchr(number, '\t');
    if (tab)
        *tab = '\0';
    char *comma = strchr(number, ',');
    if (comma)
        *comma = '.';
    // Text that is no number reads as 0, as the station's blank fields mean; a number
    // beyond the float range is refused rather than turned into infinity.
    errno = 0;
    char *end = nullptr;
    double converted = strtod(number, &end);
    if (end == number)
        converted = 0.0;
    if (errno == ERANGE || !isfinite(converted) || fabs(converted) > 3.402823466e38)
        return 0;
    *value = static_cast<float>(converted);
    return 1;
}

uint32_t GetStringValueFromResponse(const char *gas, const char *reply, char *text)
{
    const char *tab = strchr(reply, '\t');
    if (!tab) {
        KivErr(LOG_ERROR, "TRSLNK: GetStringValueFromResponse() TAB character not found in response, Tag '%s'", gas);
        return 1;
    }
    char buffer[VALUE_AREA_TEXT];
    CopyText(buffer, sizeof buffer, tab + 1);
    char *end = strchr(buffer, '\t');
    if (!end) {
        KivErr(LOG_ERROR, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag '%s'", gas);
        return 1;
    }
    *end = '\0';
    const char *start = buffer;
    if (*start == '"')
        start++;
    size_t length = strlen(start);
    if (length > 0 && start[length - 1] == '"')
        length--;
    memcpy(text, start, length);
    text[length] = '\0';
    return 0;
}
