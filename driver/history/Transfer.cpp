// History transfer: the samples of one trace (T?) into the trace's gate, each with the
// time at which the station took it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "address/Address.h"
#include "entry/KivRun.h"
#include "history/Exchange.h"
#include "history/History.h"

namespace {

constexpr size_t BLANK_ZONE = 300;     /* blanks read as '0' in the header zone only */
constexpr size_t MAX_RESOURCE = 9;     /* a gate address holds at most 12 characters */
constexpr int RECORD_FIELDS = 7;
constexpr size_t RECORD_LOG_SIZE = 100; /* what a line shows of an invalid record */

struct Transfer {
    TraceHeader header;
    uint32_t newest; /* the header's time in seconds (periodic traces) */
    const char *invalidHeader;
};

CycleVerdict CheckTransferReply(RequestCycle *cycle, int, uint32_t, uint32_t *result)
{
    TraceExchange *exchange = static_cast<TraceExchange *>(cycle->context);
    Transfer *transfer = static_cast<Transfer *>(exchange->command);
    char *reply = cycle->reply;
    for (size_t i = 0; i < BLANK_ZONE && reply[i]; i++)
        if (reply[i] == ' ')
            reply[i] = '0';
    // Values written with a decimal comma convert as numbers.
    for (char *c = reply; *c; c++)
        if (*c == ',')
            *c = '.';
    if (!ReadTraceHeader(reply, &transfer->header)) {
        KivErr(LOG_ERROR, "%s", transfer->invalidHeader);
        return CYCLE_REPLY_BAD;
    }
    *result = 0;
    return CYCLE_REPLY_GOOD;
}

/* The periodic transfer also needs the newest sample's time from the header. */
CycleVerdict CheckPeriodicReply(RequestCycle *cycle, int attempt, uint32_t length, uint32_t *result)
{
    if (CheckTransferReply(cycle, attempt, length, result) != CYCLE_REPLY_GOOD)
        return CYCLE_REPLY_BAD;
    TraceExchange *exchange = static_cast<TraceExchange *>(cycle->context);
    Transfer *transfer = static_cast<Transfer *>(exchange->command);
    const TraceHeader &h = transfer->header;
    // The year comes from the wire as any 32-bit number: wide arithmetic, and years that no
    // calendar time can hold are refused before the conversion.
    int64_t years = static_cast<int64_t>(h.year) - 1900;
    if (years < 50)
        years += 100;
    if (years > 9999 ||
        !TraceTime(static_cast<int>(years) + 1900, h.month, h.day, h.hour, h.minute, h.second, &transfer->newest)) {
        KivErr(LOG_ERROR, "TRSLNK: GetHistoryData() illegal time in event, %02u/%02u/%02u %02u:%02u:%02u", h.day, h.month,
               static_cast<unsigned>(years), h.hour, h.minute, h.second);
        return CYCLE_REPLY_BAD;
    }
    return CYCLE_REPLY_GOOD;
}

const TraceLines kPeriodicLines = {
    "TRSLNK> GetHistoryData() retry %d",
    "TRSLNK: GetHistoryData() InitStation() failed",
    "TRSLNK> ReadHistory() error sending request",
    "TRSLNK> ReadHistory() error receiving reply",
};
const CycleHooks kPeriodicHooks = {TraceAttempt, TraceLogOnFailed, TraceSendFailed, TraceReceiveFailed, CheckPeriodicReply};
const ExchangeKind kPeriodicExchange = {nullptr, nullptr, false, BuildTraceRequest, &kPeriodicHooks, HISTORY_BUFFER_SIZE};

const TraceLines kExternalLines = {
    "TRSLNK> GetClockExtHistoryData() retry %d",
    "TRSLNK: GetClockExtHistoryData() InitStation() failed",
    "TRSLNK> ReadHistory() error sending request",
    "TRSLNK> ReadHistory() error receiving reply",
};
const CycleHooks kExternalHooks = {TraceAttempt, TraceLogOnFailed, TraceSendFailed, TraceReceiveFailed, CheckTransferReply};
const ExchangeKind kExternalExchange = {nullptr, nullptr, false, BuildTraceRequest, &kExternalHooks, HISTORY_BUFFER_SIZE};

/* The history gate of the header's trace: "%03u" and the trace's resource. False (logged)
 * when that names no memory type, or a name too long for a gate address. */
bool HistoryGate(RequestBlock *request, uint32_t trace, const char *operation, char *gas, size_t size,
                 uint32_t *memoryType)
{
    DriverInstance *instance = InstanceOf(request);
    const uint32_t station = GateOf(request)->address.station;
    const char *resource = trace >= 1 && trace < MAX_TRACES ? instance->traces[trace].resource : "";
    if (strlen(resource) > MAX_RESOURCE) {
        KivErr(LOG_ERROR, "TRSLNK: %s() Trace (%u) resource '%s' too long for a gate address, trace not stored", operation,
               trace, resource);
        return false;
    }
    snprintf(gas, size, "%03u%s", station, resource);
    *memoryType = GetMemTypeFromGAS(gas);
    if (*memoryType == 0) {
        KivErr(LOG_ERROR, "TRSLNK: %s() Invalid memory type for tag '%s'", operation, gas);
        return false;
    }
    return true;
}

uint32_t RawValue(uint32_t memoryType, const char *text)
{
    unsigned char area[4] = {0, 0, 0, 0};
    ValueFromText(area, memoryType, text);
    uint32_t raw;
    memcpy(&raw, area, sizeof raw);
    return raw;
}

/* Runs a transfer exchange into a buffer of its own; null (logged) when there is no memory. */
char *TransferBuffer(const char *allocationLine)
{
    char *buffer = static_cast<char *>(malloc(HISTORY_BUFFER_SIZE + 1));
    if (!buffer)
        KivErr(LOG_ERROR, "%s", allocationLine);
    return buffer;
}

} // namespace

uint32_t StoreHistoryData(RequestBlock *request, const char *gas, uint32_t raw, uint32_t time)
{
    DriverInstance *instance = InstanceOf(request);
    uint32_t gateId = 0;
    if (KivGetGateIdByAddressStr(instance->clientId, static_cast<uint8_t>(request->drvNumber), gas, &gateId) != KIV_OK)
        return 0;
    double cooked = 0;
    (void)KivCook(instance->clientId, gateId, raw, &cooked);
    if (KivPutGateVal(instance->clientId, gateId, 2, cooked, time, 0) != KIV_OK) {
        KivErr(LOG_ERROR, "TRSLNK> StoreHistoryData() ERROR, Kiv5PutGateVal('%s') failed", gas);
        return 0;
    }
    return 1;
}

uint32_t GetHistoryData(RequestBlock *request, uint32_t trace, uint16_t count)
{
    char *buffer = TransferBuffer("TRSLNK: GetHistoryData() Failed to allocate memory for History Buffer");
    if (!buffer)
        return 1;
    char requestGas[GAS_COPY_SIZE];
    CopyGas(requestGas, GateOf(request)->gas);
    Transfer transfer{};
    transfer.invalidHeader = "TRSLNK:GetHistoryData() Invalid Trace header";
    TraceExchange exchange{&kPeriodicLines, "", buffer, HISTORY_BUFFER_SIZE + 1, &transfer};
    snprintf(exchange.request, sizeof exchange.request, "T?\t%d\t%d\t", static_cast<int>(trace), static_cast<int>(count));
    char payload[sizeof exchange.request + 2];
    uint32_t result = RunStationExchange(request, &kPeriodicExchange, requestGas, &exchange, payload, buffer);
    if (result != 0) {
        free(buffer);
        return result;
    }
    const TraceHeader &header = transfer.header;
    KivErr(LOG_PROGRESS, "TRSLNK: GetHistoryData() Start storing history data from Trace %d", static_cast<int>(header.trace));
    char gas[GAS_COPY_SIZE];
    uint32_t memoryType = 0;
    uint16_t position = 0;
    if (!HistoryGate(request, header.trace, "GetHistoryData", gas, sizeof gas, &memoryType)) {
        result = 1;
    } else if (!SkipFields(buffer, 11, &position)) {
        KivErr(LOG_ERROR, "TRSLNK: GetHistoryData() Trace (%d) Failed to find History data in buffer",
               static_cast<int>(header.trace));
        result = 1;
    } else {
        // The newest sample first, each further one a period earlier. The period is taken
        // whole: a day (86400 s) does not fit 16 bits.
        uint32_t stamp = transfer.newest;
        const char *at = buffer + position;
        for (uint32_t n = 0; n < MAX_HISTORY_VALUES; n++) {
            if (*at == '\0') { /* a header without values: nothing to store */
                KivErr(LOG_ERROR, "TRSLNK: GetHistoryData() Trace (%d) End of data buffer ?", static_cast<int>(header.trace));
                break;
            }
            StoreHistoryData(request, gas, RawValue(memoryType, at), stamp);
            if (stamp <= header.period) {
                KivErr(LOG_ERROR, "TRSLNK: GetHistoryData() Invalid time stamp for sampled data");
                break;
            }
            stamp -= header.period;
            const char *tab = strchr(at, '\t');
            if (!tab) {
                KivErr(LOG_ERROR, "TRSLNK: GetHistoryData() Trace (%d) End of data buffer ?", static_cast<int>(header.trace));
                break;
            }
            at = tab + 1;
            if (!strchr(at, '\t'))
                break; /* the text after the last TAB is not a value */
        }
        KivErr(LOG_PROGRESS, "TRSLNK: GetHistoryData() Storing history data from Trace %d completed",
               static_cast<int>(header.trace));
    }
    free(buffer);
    return result;
}

uint32_t GetClockExtHistoryData(RequestBlock *request, uint32_t trace)
{
    char *buffer = TransferBuffer("TRSLNK: GetClockExtHistoryData() Failed to allocate memory for History Buffer");
    if (!buffer)
        return 1;
    char requestGas[GAS_COPY_SIZE];
    CopyGas(requestGas, GateOf(request)->gas);
    Transfer transfer{};
    transfer.invalidHeader = "TRSLNK:GetClockExtHistoryData() Invalid Trace header";
    TraceExchange exchange{&kExternalLines, "", buffer, HISTORY_BUFFER_SIZE + 1, &transfer};
    snprintf(exchange.request, sizeof exchange.request, "T?\t%d\t", static_cast<int>(trace));
    char payload[sizeof exchange.request + 2];
    uint32_t result = RunStationExchange(request, &kExternalExchange, requestGas, &exchange, payload, buffer);
    if (result != 0) {
        free(buffer);
        return result;
    }
    const unsigned number = transfer.header.trace;
    char gas[GAS_COPY_SIZE];
    uint32_t memoryType = 0;
    uint16_t position = 0;
    if (!HistoryGate(request, number, "GetClockExtHistoryData", gas, sizeof gas, &memoryType)) {
        free(buffer);
        return 1;
    }
    KivErr(LOG_PROGRESS, "TRSLNK: Start storing history data from Trace %d", static_cast<int>(number));
    if (!SkipFields(buffer, 11, &position)) {
        KivErr(LOG_ERROR, "TRSLNK: GetClockExtHistoryData() Trace (%d) Failed to find History data in buffer",
               static_cast<int>(number));
        free(buffer);
        return 1;
    }
    const char *at = buffer + position;
    for (uint32_t n = 0; n < MAX_HISTORY_VALUES; n++) {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
        char value[100];
        if (sscanf(at, "%4d%2d%2d%2d%2d%2d=\t%99s", &year, &month, &day, &hour, &minute, &second, value) < RECORD_FIELDS) {
            // The line shows the record, not the rest of the reply.
            char record[RECORD_LOG_SIZE];
            const size_t length = strcspn(at, "\t");
            snprintf(record, sizeof record, "%.*s", static_cast<int>(length < sizeof record ? length : sizeof record - 1), at);
            KivErr(LOG_ERROR, "TRSLNK:GetClockExtHistoryData() Invalid History record (%20s)", record);
            result = 1;
        } else {
            int years = year - 1900;
            if (years < 50)
                years += 100;
            uint32_t stamp = 0;
            if (month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 ||
                !TraceTime(years + 1900, static_cast<unsigned>(month), static_cast<unsigned>(day),
                           static_cast<unsigned>(hour), static_cast<unsigned>(minute), static_cast<unsigned>(second),
                           &stamp)) {
                KivErr(LOG_ERROR, "TRSLNK: GetClockExtHistoryData() illegal time in event, %02u/%02u/%02u %02u:%02u:%02u",
                       static_cast<unsigned>(day), static_cast<unsigned>(month), static_cast<unsigned>(years),
                       static_cast<unsigned>(hour), static_cast<unsigned>(minute), static_cast<unsigned>(second));
                result = 1;
            } else {
                StoreHistoryData(request, gas, RawValue(memoryType, value), stamp);
            }
        }
        const char *tab = strchr(at, '\t');
        if (!tab) {
            KivErr(LOG_ERROR, "TRSLNK: GetClockExtHistoryData() Trace (%d) End of data buffer ?", static_cast<int>(number));
            break;
        }
        at = tab + 1;
        if (!strchr(at, '\t'))
            break;
    }
    KivErr(LOG_PROGRESS, "TRSLNK: Storing history data from Trace %d completed", static_cast<int>(number));
    free(buffer);
    return result;
}
