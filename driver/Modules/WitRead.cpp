// Read requests: single gates (function code 5) and blocks (function code 6).
#include <stdio.h>
#include <string.h>

#include "Modules/CurrentStates.h"
#include "Modules/WitModem.h"
#include "Modules/WitRead.h"
#include "address/Address.h"
#include "history/History.h"
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

constexpr uint16_t READ_REPLY_LIMIT = 50000;


/* Context of one read exchange, handed to the request cycle's hooks. */
struct ReadExchange {
    RequestBlock *request;
    const char *gas;
    char command[8]; /* ETAT, VAR, DATE or TIME */
    uint32_t functionCode;
};

ReadExchange *ExchangeOf(RequestCycle *cycle)
{
    return static_cast<ReadExchange *>(cycle->context);
}

void ReadLogOnFailed(RequestCycle *)
{
    KivErr(LOG_ERROR, "TRSLNK: DoBlockRead() InitStation() failed");
}

void ReadSendFailed(RequestCycle *cycle, int attempt)
{
    KivErr(LOG_ERROR, "TRSLNK> DoRead() error sending request, retry %d '%s'", attempt, ExchangeOf(cycle)->gas);
}

void ReadReceiveFailed(RequestCycle *cycle, int attempt)
{
    KivErr(LOG_ERROR, "TRSLNK> DoRead() error receiving reply, retry %d '%s'", attempt, ExchangeOf(cycle)->gas);
}

CycleVerdict CheckReadReply(RequestCycle *cycle, int attempt, uint32_t, uint32_t *result)
{
    ReadExchange *exchange = ExchangeOf(cycle);
    char *reply = cycle->reply;
    uint32_t status = 0;
    // A read is answered with data; any status, even 0, means the station refused it.
    if (ReadStatut(reply, &status)) {
        KivErr(LOG_ERROR, "TRSLNK> DoRead() error, Wit status message '%s' in reply, retry %d '%s'", WitStatusText(status),
               attempt, exchange->gas);
        return CYCLE_REPLY_BAD;
    }
    if (!strstr(reply, exchange->command)) {
        KivErr(LOG_ERROR, "TRSLNK> DoRead() illegal answer, command missing, retry %d '%s'", attempt, exchange->gas);
        return CYCLE_REPLY_BAD;
    }
    char *equals = strchr(reply, '=');
    if (!equals) {
        KivErr(LOG_ERROR, "TRSLNK> DoRead() illegal answer, no '=' in reply, retry %d '%s'", attempt, exchange->gas);
        return CYCLE_REPLY_BAD;
    }
    // The values start behind '=' and its TAB; a reply that ends at '=' has none.
    char *values = equals[1] != '\0' ? equals + 2 : equals + 1;
    *result = StoreData(exchange->request, values, exchange->functionCode);
    return CYCLE_REPLY_GOOD;
}

const CycleHooks kReadHooks = {nullptr, ReadLogOnFailed, ReadSendFailed, ReadReceiveFailed, CheckReadReply};

/* The read telegram into the send buffer, and the command word its reply must hold. */
uint32_t BuildRead(StationExchange *exchange)
{
    DriverInstance *instance = exchange->cycle.instance;
    ReadExchange *read = static_cast<ReadExchange *>(exchange->cycle.context);
    uint32_t commandStart = 0;
    if (BuildReadRequest(exchange->request, instance->txBuffer, &commandStart) != 0)
        return 1;
    const char *command = instance->txBuffer + commandStart;
    const char *question = strchr(command, '?');
    const size_t wordLength = question ? static_cast<size_t>(question - command) : strlen(command);
    const size_t copied = wordLength < sizeof read->command - 1 ? wordLength : sizeof read->command - 1;
    memcpy(read->command, command, copied);
    read->command[copied] = '\0';
    exchange->cycle.payloadLength = static_cast<uint32_t>(strlen(instance->txBuffer));
    return 0;
}

const ExchangeKind kReadExchange = {
    "DoRead", "TRSLNK: DoBlockRead() InitStation() for 'Transperent mode' failed", true, BuildRead, &kReadHooks,
    READ_REPLY_LIMIT,
};

/* The station record of a request, or null (logged) when the slot is empty. */
StationRecord *RequestStation(DriverInstance *instance, uint32_t station, const char *operation, const char *gas)
{
    StationRecord *record = StationOf(instance, station);
    if (!record)
        KivErr(LOG_ERROR, "TRSLNK> %s() Tag '%s' station %u not defined", operation, gas, station);
    return record;
}


} // namespace

uint32_t BuildReadRequest(RequestBlock *request, char *buffer, uint32_t *commandStart)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    const GateAddress &address = gate->address;
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    buffer[0] = '\0';
    StationRecord *record = RequestStation(instance, address.station, "DoRead", gas);
    if (!record)
        return 1;

    size_t length = 0;
    bool fits = true;
    if (record->name[0] != '\0')
        fits = AppendText(buffer, &length, record->name, strnlen(record->name, STATION_NAME_SIZE - 1)) &&
               AppendText(buffer, &length, "\t", 1);
    *commandStart = static_cast<uint32_t>(length);

    const char first = MemTypeFirst(address.memoryType);
    const char second = MemTypeSecond(address.memoryType);
    const uint32_t extension = address.address >> 16;
    const WireKind wire = WireKindOf(address.memoryType);
    if (!fits) {
        // handled below with the other overlong telegrams
    } else if (wire == WIRE_ETAT) {
        // "ETAT?\t%u\t%u\t", put together without printf: this runs for every read.
        char command[40];
        size_t n = 0;
        memcpy(command, "ETAT?\t", 6);
        n = 6;
        n += FormatUnsigned(command + n, address.address);
        command[n++] = '\t';
        n += FormatUnsigned(command + n, gate->blockLength);
        command[n++] = '\t';
        fits = AppendText(buffer, &length, command, n);
    } else if (wire == WIRE_VAR_INTEGER || wire == WIRE_VAR_FLOAT || wire == WIRE_VAR_TEXT) {
        // "VAR?\t%c%c%u\t%u\t", or "VAR?\t%c%c%u.%u\t%u\t" with an extension.
        char command[48];
        size_t n = 0;
        memcpy(command, "VAR?\t", 5);
        n = 5;
        command[n++] = first;
        command[n++] = second;
        if (extension != 0) {
            n += FormatUnsigned(command + n, extension);
            command[n++] = '.';
            n += FormatUnsigned(command + n, address.address & 0xFFFFu);
        } else {
            n += FormatUnsigned(command + n, address.address);
        }
        command[n++] = '\t';
        n += FormatUnsigned(command + n, gate->blockLength);
        command[n++] = '\t';
        fits = AppendText(buffer, &length, command, n);
    } else if (wire == WIRE_VAR_BIT) {
        fits = AppendFormat(buffer, &length, "VAR?\t%c%c\t", first, second);
    } else if (wire == WIRE_DATE) {
        fits = AppendFormat(buffer, &length, "DATE?\t");
    } else if (wire == WIRE_TIME) {
        fits = AppendFormat(buffer, &length, "TIME?\t");
    } else {
        KivErr(LOG_ERROR,
               "TRSLNK> DoRead() illegal memory type, internal error file D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITREAD "
               "line %u, gate '%s'",
               211u, gas);
        buffer[0] = '\0';
        return 1;
    }
    if (!fits) {
        KivErr(LOG_ERROR, "TRSLNK> DoRead() request too long for the send buffer, gate '%s'", gas);
        buffer[0] = '\0';
        return 1;
    }
    return 0;
}

uint32_t DoRead(RequestBlock *request, uint32_t functionCode)
{
    GateRequest *gate = GateOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);

    ReadExchange read{};
    read.request = request;
    read.gas = gas;
    read.functionCode = functionCode;
    return RunStationExchange(request, &kReadExchange, gas, &read);
}

uint32_t SingleRead(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    const uint32_t memoryType = gate->address.memoryType;

    ModemGateToStation(instance, gate);
    const uint32_t station = gate->address.station;

    switch (memoryType) {
    case MT_FIRST_EVENT:
    case MT_LAST_EVENT:
        if (station >= MAX_STATIONS) {
            RequestStation(instance, station, "SingleRead", gas);
            return 1;
        }
        PutValue16(gate->value, SINGLE_16_OFFSET, instance->lastEventNo[station]);
        return 0;
    case MT_START_DATE:
    case MT_START_TIME:
        if (station >= MAX_STATIONS) {
            RequestStation(instance, station, "SingleRead", gas);
            return 1;
        }
        CopyStartText(instance, station, memoryType, static_cast<char *>(gate->value), VALUE_AREA_TEXT);
        return 0;
    case MT_MO: {
        PutValue16(gate->value, SINGLE_16_OFFSET, 0);
        // The online-tags thread keeps these gates current; the host's own sampling
        // of them would only cost telegrams.
        uint32_t gateId = 0;
        if (KivGetGateIdByAddressStr(instance->clientId, static_cast<uint8_t>(instance->drvNumber), gate->gas, &gateId) != 0 ||
            KivSetGateFlag(instance->clientId, gateId, KIV_FLAG_NO_SAMPLING, 0) != 0) {
            KivErr(LOG_ERROR, "TRSLNK: SingleRead() Tag '%s' failed to turn sampling off", gas);
            return 1;
        }
        return 0;
    }
    default:
        break;
    }

    StationRecord *record = StationOf(instance, station);
    if (!TransportOf(instance)->reachable(instance, station))
        return 1;

    switch (memoryType) {
    case MT_HS: {
        const uint32_t result = ReadHistory(request);
        // The connection served this read: it ends whatever the read gave.
        if (instance->modemMode && StationConnected(instance, station))
            DisconnectModem(instance, station);
        return result;
    }
    case MT_EC: {
        const uint32_t started = StartReadingCurrentStates(request, 0);
        if (started == 0) {
            PutValue16(gate->value, SINGLE_16_OFFSET, 1);
            return 0;
        }
        if (started != 3) {
            KivErr(LOG_ERROR, "TRSLNK: SingleRead() StartReadingCurrentStates() failed");
            DisconnectModem(instance, station);
        }
        return 1;
    }
    case MT_MD:
    case MT_MA:
    case MT_MC:
    case MT_MS:
    case MT_MT:
        if (!record) {
            RequestStation(instance, station, "SingleRead", gas);
            return 1;
        }
        PutValue16(gate->value, SINGLE_16_OFFSET, record->connRef);
        return 0;
    case MT_AA:
        KivErr(LOG_ERROR, "TRSLNK> SingleRead() not supported for alarm call Tag, Tag '%s'", gas);
        return 1;
    case MT_JR: {
        // The value tells the operator whether the read started; a busy journal gives 3.
        const uint32_t started = StartReadJournal(request, 0);
        PutValue16(gate->value, SINGLE_16_OFFSET, started == 0 ? 1 : 65535);
        return started;
    }
    default:
        break;
    }
    if (MemTypeFirst(memoryType) == 'M') {
        KivErr(LOG_ERROR, "TRSLNK> SingleRead() Tag '%s' illegal memory type", gas);
        return 1;
    }

    uint32_t result = DoRead(request, FN_SINGLE_READ);
    if (instance->noComError && result == 2)
        result = 1;
    if (result != 0)
        KivErr(LOG_ERROR, "TRSLNK> SingleRead() failed, rc %u", result);
    return result;
}

uint32_t BlockRead(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    if (!TransportOf(instance)->reachable(instance, gate->address.station))
        return 1;

    uint32_t result = DoRead(request, FN_BLOCK_READ);
    if (instance->noComError && result == 2)
        result = 1;
    if (result != 0)
        KivErr(LOG_TRACE, "TRSLNK> BlockRead() failed, rc %u", result);
    return result;
}
