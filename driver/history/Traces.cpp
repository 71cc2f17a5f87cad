// Trace descriptions (TP?) and the newest sample of a trace (T? with one sample).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "address/Address.h"
#include "entry/KivRun.h"
#include "history/Exchange.h"
#include "history/History.h"
#include "link/Clock.h"

namespace {

constexpr uint16_t TRACE_REPLY_LIMIT = 10000;
constexpr uint32_t TRACE_INFO_TIMEOUT = 10000; /* 100 s: the station lists up to 80 traces */
constexpr uint32_t FIRST_TRACE = 1, LAST_TRACE = 80;
constexpr int TRACE_RECORD_FIELDS = 10;
constexpr size_t WORD_SIZE = 256;
constexpr size_t RESOURCE_SIZE = sizeof(TraceInfo::resource); /* 32 characters and a NUL */

TraceExchange *TraceOf(RequestCycle *cycle)
{
    return static_cast<TraceExchange *>(cycle->context);
}

/* One record of a TP? reply, as read. */
struct TraceRecord {
    unsigned number, periodCount;
    char mode, periodUnit, field6, field9;
    char resource[WORD_SIZE], field7[WORD_SIZE], field8[WORD_SIZE], field10[WORD_SIZE];
};

const char kFirstRecord[] = "%255s\t%3u\t%c\t%255s\t%u\t%c\t%c\t%255s\t%255s\t%c\t%255s";
const char kNextRecord[] = "%3u\t%c\t%255s\t%u\t%c\t%c\t%255s\t%255s\t%c\t%255s";

int ReadFirstRecord(const char *text, TraceRecord *r)
{
    char echo[WORD_SIZE];
    return sscanf(text, kFirstRecord, echo, &r->number, &r->mode, r->resource, &r->periodCount, &r->periodUnit,
                  &r->field6, r->field7, r->field8, &r->field9, r->field10);
}

int ReadNextRecord(const char *text, TraceRecord *r)
{
    return sscanf(text, kNextRecord, &r->number, &r->mode, r->resource, &r->periodCount, &r->periodUnit, &r->field6,
                  r->field7, r->field8, &r->field9, r->field10);
}

float DecimalField(char *text)
{
    for (char *c = text; *c; c++)
        if (*c == '_')
            *c = ' ';
    return static_cast<float>(atof(text));
}

void FillTrace(DriverInstance *instance, TraceRecord *r)
{
    if (r->number < FIRST_TRACE || r->number > LAST_TRACE)
        return;
    // The entry holds a name of at most 32 characters; a longer one names no gate.
    if (strlen(r->resource) >= RESOURCE_SIZE) {
        KivErr(LOG_ERROR, "TRSLNK> GetTraceInfo() Trace (%u) resource name '%.32s...' too long, trace ignored", r->number,
               r->resource);
        return;
    }
    TraceInfo &trace = instance->traces[r->number];
    trace.field8 = DecimalField(r->field8);
    trace.field7 = DecimalField(r->field7);
    NormaliseResourceName(r->resource, trace.resource, sizeof trace.resource);
    trace.field6 = r->field6;
    trace.field9 = r->field9;
    trace.periodUnit = r->periodUnit;
    trace.mode = r->mode;
    trace.periodCount = static_cast<uint16_t>(r->periodCount);
    trace.number = static_cast<uint16_t>(r->number);
}

CycleVerdict CheckTraceInfoReply(RequestCycle *cycle, int, uint32_t, uint32_t *result)
{
    char *reply = cycle->reply;
    for (char *c = reply; *c; c++)
        if (*c == ' ')
            *c = '_';
    TraceRecord first{};
    // A status reply ends up here too: it has no trace record.
    if (ReadFirstRecord(reply, &first) < TRACE_RECORD_FIELDS + 1)
        return CYCLE_REPLY_BAD;
    *result = 0;
    return CYCLE_REPLY_GOOD;
}

const TraceLines kTraceInfoLines = {
    "TRSLNK> GetTraceInfo() retry %d",
    "TRSLNK: GetTraceInfo() InitStation() failed",
    "TRSLNK> GetTraceInfo() error sending request",
    "TRSLNK> GetTraceInfo() error receiving reply",
};
const CycleHooks kTraceInfoHooks = {TraceAttempt, TraceLogOnFailed, TraceSendFailed, TraceReceiveFailed,
                                    CheckTraceInfoReply};
const ExchangeKind kTraceInfoExchange = {nullptr, nullptr, false, BuildTraceRequest, &kTraceInfoHooks,
                                         TRACE_REPLY_LIMIT};

struct LastSample {
    TraceHeader header;
    uint32_t time;
};

CycleVerdict CheckLastSampleReply(RequestCycle *cycle, int, uint32_t, uint32_t *result)
{
    LastSample *sample = static_cast<LastSample *>(TraceOf(cycle)->command);
    char *reply = cycle->reply;
    for (char *c = reply; *c; c++)
        if (*c == ' ')
            *c = '0';
    TraceHeader &h = sample->header;
    if (!ReadTraceHeader(reply, &h)) {
        KivErr(LOG_ERROR, "TRSLNK: GetLastSampleTime() Invalid response string (%s)", reply);
        return CYCLE_REPLY_BAD;
    }
    // The year as the station writes it: four digits, no correction.
    if (!TraceTime(static_cast<int>(h.year), h.month, h.day, h.hour, h.minute, h.second, &sample->time)) {
        KivErr(LOG_ERROR, "TRSLNK: GetLastSampleTime() illegal time in event, %02u/%02u/%02u %02u:%02u:%02u", h.day, h.month,
               h.year - 1900, h.hour, h.minute, h.second);
        return CYCLE_REPLY_BAD;
    }
    *result = 0;
    return CYCLE_REPLY_GOOD;
}

const TraceLines kLastSampleLines = {
    "TRSLNK> GetLastSampleTime() retry %d",
    "TRSLNK: GetLastSampleTime() InitStation() failed",
    "TRSLNK> GetLastSampleTime() error sending request",
    "TRSLNK> GetLastSampleTime() error receiving reply",
};
const CycleHooks kLastSampleHooks = {TraceAttempt, TraceLogOnFailed, TraceSendFailed, TraceReceiveFailed,
                                     CheckLastSampleReply};
const ExchangeKind kLastSampleExchange = {nullptr, nullptr, false, BuildTraceRequest, &kLastSampleHooks,
                                          TRACE_REPLY_LIMIT};

} // namespace

void TraceAttempt(RequestCycle *cycle, int attempt)
{
    TraceExchange *exchange = TraceOf(cycle);
    if (attempt >= 1)
        KivErr(LOG_TRACE, exchange->lines->retry, attempt);
    if (exchange->clearBefore)
        memset(exchange->clearBefore, 0, exchange->clearSize);
}

void TraceLogOnFailed(RequestCycle *cycle)
{
    KivErr(LOG_ERROR, "%s", TraceOf(cycle)->lines->logOnFailed);
}

void TraceSendFailed(RequestCycle *cycle, int)
{
    KivErr(LOG_TRACE, "%s", TraceOf(cycle)->lines->sendFailed);
}

void TraceReceiveFailed(RequestCycle *cycle, int)
{
    KivErr(LOG_TRACE, "%s", TraceOf(cycle)->lines->receiveFailed);
}

uint32_t BuildTraceRequest(StationExchange *exchange)
{
    const char *text = TraceOf(&exchange->cycle)->request;
    const size_t length = strlen(text);
    memcpy(exchange->cycle.payload, text, length + 1);
    exchange->cycle.payloadLength = static_cast<uint32_t>(length);
    return 0;
}

bool ReadTraceHeader(const char *reply, TraceHeader *h)
{
    char echo[WORD_SIZE];
    return sscanf(reply, "%255s\t%u\t%c\t%c\t%u\t%u\t%u\t%u\t%u\t%u\t%u", echo, &h->trace, &h->mark1, &h->mark2, &h->period,
                  &h->day, &h->month, &h->year, &h->hour, &h->minute, &h->second) == 11;
}

bool TraceTime(int year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second, uint32_t *seconds)
{
    // Numbers beyond any calendar field are no time at all.
    if (month > 9999 || day > 9999 || hour > 9999 || minute > 9999 || second > 9999)
        return false;
    return CalendarToSeconds(year, static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour),
                             static_cast<int>(minute), static_cast<int>(second), seconds);
}

uint32_t GetTraceInfo(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, GateOf(request)->gas);
    const uint32_t comTimeout = instance->comTimeout.load();
    instance->comTimeout = TRACE_INFO_TIMEOUT;
    memset(instance->traces, 0, sizeof instance->traces);

    TraceExchange exchange{&kTraceInfoLines, "TP?\t1\t80\t", nullptr, 0, nullptr};
    char payload[sizeof exchange.request + 2];
    const uint32_t result = RunStationExchange(request, &kTraceInfoExchange, gas, &exchange, payload);
    instance->comTimeout = comTimeout;
    if (result != 0)
        return result;

    // The reply is still in the reply buffer, blanks turned into '_'.
    const char *reply = instance->rxBuffer;
    TraceRecord record{};
    ReadFirstRecord(reply, &record);
    FillTrace(instance, &record);
    uint16_t position = 0;
    if (!SkipFields(reply, TRACE_RECORD_FIELDS + 1, &position))
        return 0;
    for (uint32_t n = 0; n < LAST_TRACE; n++) {
        if (ReadNextRecord(reply + position, &record) < TRACE_RECORD_FIELDS)
            break;
        FillTrace(instance, &record);
        uint16_t skipped = 0;
        const bool complete = SkipFields(reply + position, TRACE_RECORD_FIELDS, &skipped);
        position = static_cast<uint16_t>(position + skipped);
        if (!complete)
            break;
    }
    return 0;
}

uint32_t GetLastSampleTime(RequestBlock *request, uint32_t trace, uint32_t *time)
{
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, GateOf(request)->gas);
    LastSample sample{};
    TraceExchange exchange{&kLastSampleLines, "", nullptr, 0, &sample};
    snprintf(exchange.request, sizeof exchange.request, "T?\t%d\t1\t", static_cast<int>(trace));
    char payload[sizeof exchange.request + 2];
    const uint32_t result = RunStationExchange(request, &kLastSampleExchange, gas, &exchange, payload);
    if (result != 0)
        return result;
    *time = sample.time;
    if (sample.header.period == 0) {
        KivErr(LOG_TRACE, "TRSLNK> GetLastSampleTime() error. A sample time of 0 received for Trace (%d)",
               static_cast<int>(trace));
        return 1;
    }
    return 0;
}

uint32_t SkipFields(const char *text, uint32_t n, uint16_t *position)
{
    size_t at = 0;
    *position = 0;
    for (uint32_t passed = 0; passed < n; passed++) {
        const char *tab = strchr(text + at, '\t');
        if (!tab)
            return 0;
        at = static_cast<size_t>(tab - text) + 1;
        *position = static_cast<uint16_t>(at);
    }
    return 1;
}
