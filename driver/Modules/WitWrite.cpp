// Write requests (function code 7) and the refused block write (function code 10).
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "Modules/CurrentStates.h"
#include "Modules/WitModem.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "address/Address.h"
#include "journal/Journal.h"
#include "address/MemoryTypes.h"
#include "entry/KivRun.h"
#include "link/Clock.h"
#include "link/Exchange.h"
#include "link/Station.h"
#include "link/Telegram.h"
#include "link/Transport.h"
#include "platform/Platform.h"

namespace {

constexpr uint16_t WRITE_REPLY_LIMIT = 10000;
constexpr uint16_t FIRST_EVENT_LIMIT = 9998;
constexpr int TEXT_FIELD_WIDTH = 16;



/* The float of the value area with six decimals and a decimal comma, as the stations
 * write numbers. False for a value that is not a finite number. */
bool FormatDecimalComma(float value, char *text, size_t size)
{
    if (!isfinite(value))
        return false;
    const int n = snprintf(text, size, "%f", static_cast<double>(value));
    if (n < 0 || static_cast<size_t>(n) >= size)
        return false;
    for (char *c = text; *c; c++)
        if (*c == '.')
            *c = ',';
    return true;
}

/* The 16-bit value of the value area: unsigned for digital and unsigned gates, signed
 * for every other gate type. */
int32_t Value16(const GateRequest *gate)
{
    const uint16_t raw = GetValue16(gate->value, SINGLE_16_OFFSET);
    if (gate->gateType == GATE_TYPE_DIGITAL || gate->gateType == GATE_TYPE_U16)
        return raw;
    return static_cast<int16_t>(raw);
}

struct WriteExchange {
    const char *gas;
    uint32_t functionCode;
};

const char *GasOf(RequestCycle *cycle)
{
    return static_cast<WriteExchange *>(cycle->context)->gas;
}

void WriteLogOnFailed(RequestCycle *)
{
    KivErr(LOG_ERROR, "TRSLNK: DoBlockRead() InitStation() failed");
}

void WriteSendFailed(RequestCycle *cycle, int attempt)
{
    KivErr(LOG_TRACE, "TRSLNK> DoWrite() error sending request, retry %d '%s'", attempt, GasOf(cycle));
}

void WriteReceiveFailed(RequestCycle *cycle, int attempt)
{
    KivErr(LOG_ERROR, "TRSLNK> DoWrite() error receiving reply, retry %d '%s'", attempt, GasOf(cycle));
}

const StatusLines kWriteStatusLines = {
    "TRSLNK> DoWrite() illegal answer, 'STATUT' missing, retry %d '%s'",
    "TRSLNK> DoWrite() error reading status info in reply, retry %d '%s'",
    "TRSLNK> DoWrite() error, Wit status message '%s' in reply, retry %d '%s'",
    false,
};

CycleVerdict CheckWriteReply(RequestCycle *cycle, int attempt, uint32_t, uint32_t *result)
{
    if (!CheckStatusReply(cycle->reply, &kWriteStatusLines, attempt, GasOf(cycle)))
        return CYCLE_REPLY_BAD;
    *result = 0;
    return CYCLE_REPLY_GOOD;
}

const CycleHooks kWriteHooks = {nullptr, WriteLogOnFailed, WriteSendFailed, WriteReceiveFailed, CheckWriteReply};

/* The write telegram into the send buffer. */
uint32_t BuildWrite(StationExchange *exchange);


} // namespace

uint32_t BuildWriteRequest(RequestBlock *request, uint32_t)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    const GateAddress &address = gate->address;
    char *buffer = instance->txBuffer;
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    buffer[0] = '\0';

    StationRecord *record = StationOf(instance, address.station);
    if (!record) {
        KivErr(LOG_ERROR, "TRSLNK> DoWrite() Tag '%s' station %u not defined", gas, address.station);
        return 1;
    }
    const WireKind wire = WireKindOf(address.memoryType);
    if (wire == WIRE_VAR_BIT) {
        KivErr(LOG_TRACE, "TRSLNK> DoWrite() no write allowed for TB or TS gates, gate '%s'", gas);
        return 1;
    }

    size_t length = 0;
    bool fits = true;
    if (record->name[0] != '\0')
        fits = AppendFormat(buffer, &length, "%.*s\t", STATION_NAME_SIZE - 1, record->name);

    const char first = MemTypeFirst(address.memoryType);
    const char second = MemTypeSecond(address.memoryType);
    const uint32_t extension = address.address >> 16;
    const uint32_t lower = address.address & 0xFFFFu;
    char number[64];
    if (!fits) {
        // reported below with the other overlong telegrams
    } else if ((address.memoryType == MT_RA && gate->gateType != GATE_TYPE_DIGITAL) || wire == WIRE_VAR_FLOAT) {
        // An analog resource and the float variables: the number as the station writes
        // it, never the bit pattern of the float.
        if (!FormatDecimalComma(GetValueFloat(gate->value, 0), number, sizeof number)) {
            KivErr(LOG_ERROR, "TRSLNK> DoWrite() value is not a number, gate '%s'", gas);
            buffer[0] = '\0';
            return 1;
        }
        if (address.memoryType == MT_RA)
            fits = AppendFormat(buffer, &length, "ETAT!\t%u\t%s\t", address.address, number);
        else if (extension == 0)
            fits = AppendFormat(buffer, &length, "VAR!\t%c%c%u\t%s\t", first, second, address.address, number);
        else
            fits = AppendFormat(buffer, &length, "VAR!\t%c%c%u.%u\t%s\t", first, second, extension, lower, number);
    } else if (wire == WIRE_ETAT) {
        fits = AppendFormat(buffer, &length, "ETAT!\t%u\t%d\t", address.address,
                            static_cast<int>(GetValue16(gate->value, SINGLE_16_OFFSET)));
    } else if (wire == WIRE_VAR_INTEGER && extension == 0) {
        fits = AppendFormat(buffer, &length, "VAR!\t%c%c%u\t%d\t", first, second, address.address, Value16(gate));
    } else if (wire == WIRE_VAR_INTEGER) {
        fits = AppendFormat(buffer, &length, "VAR!\t%c%c%u.%u\t%d\t", first, second, extension, lower, Value16(gate));
    } else if (wire == WIRE_VAR_TEXT) {
        // Only the first 16 characters go out; the area need not hold a terminator
        // before them.
        const char *area = static_cast<const char *>(gate->value);
        const int textLength = static_cast<int>(strnlen(area, TEXT_FIELD_WIDTH));
        // A text variable with an extension is named "ext.addr", as the read names it; the
        // whole 32-bit address as one number would name another variable.
        if (extension == 0)
            fits = AppendFormat(buffer, &length, "VAR!\t%c%c%u\t\"%-16.*s\"\t", first, second, address.address, textLength, area);
        else
            fits = AppendFormat(buffer, &length, "VAR!\t%c%c%u.%u\t\"%-16.*s\"\t", first, second, extension, lower, textLength,
                                area);
    } else {
        KivErr(LOG_ERROR,
               "TRSLNK> DoWrite() illegal memory type, internal error file D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITWRITE "
               "line %u, gate '%s'",
               438u, gas);
        buffer[0] = '\0';
        return 1;
    }
    if (!fits) {
        KivErr(LOG_ERROR, "TRSLNK> DoWrite() request too long for the send buffer, gate '%s'", gas);
        buffer[0] = '\0';
        return 1;
    }
    return 0;
}

namespace {

uint32_t BuildWrite(StationExchange *exchange)
{
    const uint32_t built = BuildWriteRequest(exchange->request, static_cast<WriteExchange *>(exchange->cycle.context)->functionCode);
    if (built != 0)
        return built;
    exchange->cycle.payloadLength = static_cast<uint32_t>(strlen(exchange->cycle.payload));
    return 0;
}

const ExchangeKind kWriteExchange = {
    "DoWrite", "TRSLNK: DoBlockWrite() InitStation() for 'Transperent mode' failed", true, BuildWrite, &kWriteHooks,
    WRITE_REPLY_LIMIT,
};

} // namespace

uint32_t DoWrite(RequestBlock *request, uint32_t functionCode)
{
    GateRequest *gate = GateOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);

    WriteExchange write{gas, functionCode};
    return RunStationExchange(request, &kWriteExchange, gas, &write);
}

uint32_t SingleWrite(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    KivErr(LOG_PROGRESS, "TRSLNK: SingleWrite() Writing to tag %s", gas);
    const uint32_t memoryType = gate->address.memoryType;

    ModemGateToStation(instance, gate);
    const uint32_t station = gate->address.station;

    switch (memoryType) {
    case MT_START_DATE:
        return SetStartDate(request);
    case MT_START_TIME:
        return SetStartTime(request);
    case MT_FIRST_EVENT: {
        if (station >= MAX_STATIONS) {
            KivErr(LOG_ERROR, "TRSLNK> SingleWrite() Tag '%s' station %u not defined", gas, station);
            return 1;
        }
        const uint16_t value = GetValue16(gate->value, SINGLE_16_OFFSET);
        if (value > FIRST_EVENT_LIMIT) {
            KivErr(LOG_ERROR, "TRSLNK: SingleWrite() Value %03d written to '%s' 9998 will be used", static_cast<int>(value), gas);
            instance->lastEventNo[station] = FIRST_EVENT_LIMIT;
        } else {
            instance->lastEventNo[station] = value;
        }
        return 0;
    }
    case MT_LAST_EVENT:
        KivErr(LOG_ERROR, "TRSLNK: Error. Tag (%s) should not be read/written", gas);
        return 1;
    case MT_MO:
        KivErr(LOG_ERROR, "TRSLNK: Error. Tag (%s) should not be written", gas);
        return 1;
    default:
        break;
    }

    if (MemTypeFirst(memoryType) == 'M') {
        // A modem command is not a host read or write: a connection that breaks during
        // it must not be ended as if one were running.
        request->hostRequest = 0;
        switch (memoryType) {
        case MT_MD:
            return DisconnectModem(instance, station);
        case MT_MA:
        case MT_MC:
        case MT_MS:
        case MT_MT:
            return ConnectModem(request);
        default:
            KivErr(LOG_ERROR,
                   "TRSLNK> DoWrite() illegal memory type, internal error file "
                   "D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITWRITE line %u, gate '%s'",
                   147u, gas);
            return 1;
        }
    }
    if (memoryType == MT_AA) {
        request->hostRequest = 0;
        return AnswerAlarmCall(request);
    }

    if (!TransportOf(instance)->reachable(instance, station)) {
        KivErr(LOG_ERROR, "TRSLNK> SingleWrite() error, Tag '%s' plc %u not connected by modem", gas, station);
        return 1;
    }

    if (memoryType == MT_JR) {
        const uint32_t started = StartReadJournal(request, 0);
        if (started == 1) {
            KivErr(LOG_ERROR, "TRSLNK: SingleWrite() StartReadJournal() failed");
            DisconnectModem(instance, station);
        }
        return started == 0 ? 0 : 1;
    }
    if (memoryType == MT_EC) {
        const uint32_t started = StartReadingCurrentStates(request, 0);
        if (started == 0)
            return 0;
        if (started != 3) {
            KivErr(LOG_ERROR, "TRSLNK: SingleWrite() StartReadingCurrentStates() failed");
            DisconnectModem(instance, station);
        }
        return 1;
    }
    if (memoryType == MT_TM || memoryType == MT_DT) {
        const uint32_t result = WriteWStationDateTime(request);
        if (result != 0)
            KivErr(LOG_TRACE, "TRSLNK> SingleWrite() Writing Date/Time failed. rc=%d Tag '%s'", static_cast<int>(result), gas);
        return result;
    }

    uint32_t result = DoWrite(request, FN_SINGLE_WRITE);
    if (instance->noComError && result == 2)
        result = 1;
    if (result != 0)
        KivErr(LOG_ERROR, "TRSLNK> SingleWrite() failed, rc %u", result);
    return result;
}

uint32_t BlockWrite(RequestBlock *)
{
    KivErr(LOG_ERROR, "TRSLNK> BlockWrite() not supported, rc 1");
    return 1;
}
