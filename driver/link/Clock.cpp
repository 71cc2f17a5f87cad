// Station clock: TIME! and DATE! from the computer's clock, the start date and time of
// history reading, and the conversion of calendar times to seconds.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "Modules/WitRead.h"
#include "address/Address.h"
#include "entry/KivRun.h"
#include "link/Clock.h"
#include "link/Exchange.h"
#include "link/Station.h"
#include "link/Telegram.h"
#include "platform/Platform.h"

namespace {

constexpr uint16_t CLOCK_REPLY_LIMIT = 10000;
constexpr size_t CLOCK_TELEGRAM_SIZE = 64; /* with room for the checksum and the CR */
constexpr size_t START_DATE_MAX = 10;
constexpr size_t START_TIME_MAX = 5;


void ClockLogOnFailed(RequestCycle *)
{
    KivErr(LOG_ERROR, "TRSLNK: WriteWStationDateTime() InitStation() failed");
}

void ClockSendFailed(RequestCycle *, int attempt)
{
    KivErr(LOG_ERROR, "TRSLNK> WriteWStationDateTime() error sending request, retry %d", attempt);
}

void ClockReceiveFailed(RequestCycle *, int attempt)
{
    KivErr(LOG_ERROR, "TRSLNK> WriteWStationDateTime() error receiving reply, retry %d", attempt);
}

const StatusLines kClockStatusLines = {
    "TRSLNK> WriteWStationDateTime() illegal answer, 'STATUT' missing, retry %d ",
    "TRSLNK> WriteWStationDateTime() error reading status info in reply",
    "TRSLNK> WriteWStationDateTime() error, Wit status message '%s' in reply, retry %d",
    false,
};

CycleVerdict CheckClockReply(RequestCycle *cycle, int attempt, uint32_t, uint32_t *result)
{
    if (!CheckStatusReply(cycle->reply, &kClockStatusLines, attempt, nullptr))
        return CYCLE_REPLY_BAD;
    *result = 0;
    return CYCLE_REPLY_GOOD;
}

const CycleHooks kClockHooks = {nullptr, ClockLogOnFailed, ClockSendFailed, ClockReceiveFailed, CheckClockReply};

uint32_t BuildClockTelegram(StationExchange *exchange);

const ExchangeKind kClockExchange = {nullptr, nullptr, false, BuildClockTelegram, &kClockHooks, CLOCK_REPLY_LIMIT};

/* TIME! or DATE! from the computer's clock, read once for all the attempts. */
uint32_t BuildClockTelegram(StationExchange *exchange)
{
    const GateRequest *gate = GateOf(exchange->request);
    char *telegram = exchange->cycle.payload;
    const time_t now = PlatformWallClock();
    struct tm local{};
    (void)PlatformLocalTime(now, &local);
    if (gate->address.memoryType == MT_TM) {
        snprintf(telegram, CLOCK_TELEGRAM_SIZE, "TIME!\t%02u:%02u:%02u\t", static_cast<unsigned>(local.tm_hour),
                 static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec));
    } else if (gate->address.memoryType == MT_DT) {
        snprintf(telegram, CLOCK_TELEGRAM_SIZE, "DATE!\t%02u/%02u/%02u\t", static_cast<unsigned>(local.tm_mday),
                 static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_year % 100));
    } else {
        KivErr(LOG_ERROR, "TRSLNK: WriteWStationDateTime() failed. Invalid memory type Tag '%s'", exchange->gas);
        return 1;
    }
    exchange->cycle.payloadLength = static_cast<uint32_t>(strlen(telegram));
    return 0;
}

/* Length of the text written into a start date or time gate, counted inside its
 * 500-byte value area only. */
size_t WrittenTextLength(const GateRequest *gate)
{
    return strnlen(static_cast<const char *>(gate->value), VALUE_AREA_TEXT);
}

void UpperGas(char (&target)[GAS_COPY_SIZE], const char *gas)
{
    CopyGas(target, gas);
    for (char *c = target; *c; c++)
        *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
}

/* The start texts are written on the host's thread and read by the history reader: every
 * copy of them is made under this short lock. */
void LockStartTexts(DriverInstance *instance)
{
    uint32_t idle = 0;
    while (!instance->startTextsBusy.compare_exchange_weak(idle, 1)) {
        idle = 0;
        PlatformSleepMs(0);
    }
}

void UnlockStartTexts(DriverInstance *instance)
{
    instance->startTextsBusy.store(0);
}

} // namespace

void CopyStartText(DriverInstance *instance, uint32_t station, uint32_t memoryType, char *target, size_t size)
{
    LockStartTexts(instance);
    CopyText(target, size, memoryType == MT_START_DATE ? instance->startDate[station] : instance->startTime[station]);
    UnlockStartTexts(instance);
}

bool CalendarToSeconds(int year, int month, int day, int hour, int minute, int second, uint32_t *seconds)
{
    // Fields beyond their range carry over, so the year alone does not tell: mktime
    // decides, and its 64-bit result is checked against the 32-bit range here.
    if (year < 1900 || year > 3000)
        return false;
    struct tm calendar{};
    calendar.tm_year = year - 1900;
    calendar.tm_mon = month - 1;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    calendar.tm_isdst = -1;
    const time_t converted = mktime(&calendar);
    if (converted == static_cast<time_t>(-1) || converted < 0 || static_cast<int64_t>(converted) > INT32_MAX)
        return false;
    *seconds = static_cast<uint32_t>(converted);
    return true;
}

uint32_t WriteWStationDateTime(RequestBlock *request)
{
    GateRequest *gate = GateOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);

    // The reply buffer of the instance may be in use by a caller that holds the bus
    // (the journal reader sets the clock between its exchanges): use one of our own, on
    // the heap so that the small stacks of the worker threads are spared.
    char *reply = static_cast<char *>(malloc(CLOCK_REPLY_LIMIT + 1));
    if (!reply) {
        KivErr(LOG_ERROR, "TRSLNK: WriteWStationDateTime() out of memory, Tag '%s'", gas);
        return 1;
    }
    char telegram[CLOCK_TELEGRAM_SIZE];
    const uint32_t result = RunStationExchange(request, &kClockExchange, gas, nullptr, telegram, reply);
    free(reply);
    return result;
}

uint16_t SetStartDate(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    const char *text = static_cast<const char *>(gate->value);
    const size_t length = WrittenTextLength(gate);
    char gas[GAS_COPY_SIZE];
    UpperGas(gas, gate->gas);
    if (length > START_DATE_MAX) {
        KivErr(LOG_ERROR, "TRSLNK: Tag %s. Date String '%.*s' too long!", gas, static_cast<int>(length), text);
        return 1;
    }
    char written[START_DATE_MAX + 1];
    CopyText(written, sizeof written, text);
    int day = 0, month = 0, year = 0;
    if (sscanf(written, "%d/%d/%d", &day, &month, &year) != 3 || day < 1 || day > 31 || month < 1 || month > 12 || year < 1970) {
        KivErr(LOG_ERROR, "TRSLNK: Tag %s. Illegal date '%s' entered", gas, written);
        return 1;
    }
    const uint32_t station = gate->address.station;
    if (station >= MAX_STATIONS) {
        KivErr(LOG_ERROR, "TRSLNK: Tag %s. Station %u not defined", gas, station);
        return 1;
    }
    LockStartTexts(instance);
    CopyText(instance->startDate[station], START_DATE_SIZE, written);
    UnlockStartTexts(instance);
    return 0;
}

uint16_t SetStartTime(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    const char *text = static_cast<const char *>(gate->value);
    const size_t length = WrittenTextLength(gate);
    char gas[GAS_COPY_SIZE];
    UpperGas(gas, gate->gas);
    if (length > START_TIME_MAX) {
        KivErr(LOG_ERROR, "TRSLNK: Tag %s. Time String '%.*s' too long!", gas, static_cast<int>(length), text);
        return 1;
    }
    char written[START_TIME_MAX + 1];
    CopyText(written, sizeof written, text);
    int hour = 0, minute = 0;
    if (sscanf(written, "%d:%d", &hour, &minute) != 2 || hour < 0 || hour > 23 || minute < 0 || minute > 59) {
        KivErr(LOG_ERROR, "TRSLNK: Tag %s. Illegal time '%s' entered", gas, written);
        return 1;
    }
    const uint32_t station = gate->address.station;
    if (station >= MAX_STATIONS) {
        KivErr(LOG_ERROR, "TRSLNK: Tag %s. Station %u not defined", gas, station);
        return 1;
    }
    LockStartTexts(instance);
    CopyText(instance->startTime[station], START_TIME_SIZE, written);
    UnlockStartTexts(instance);
    return 0;
}

uint32_t GetDatTime(DriverInstance *instance, uint32_t station)
{
    if (station >= MAX_STATIONS)
        return 0;
    char date[START_DATE_SIZE];
    char clock[START_TIME_SIZE];
    // Copies: the host's thread may replace the texts while the history thread reads.
    CopyStartText(instance, station, MT_START_DATE, date, sizeof date);
    CopyStartText(instance, station, MT_START_TIME, clock, sizeof clock);
    int day = 0, month = 0, year = 0, hour = 0, minute = 0;
    // Numbers that a text does not provide stay 0.
    (void)sscanf(date, "%d/%d/%d", &day, &month, &year);
    (void)sscanf(clock, "%d:%d", &hour, &minute);
    if (day == 0 || month == 0 || year == 0) {
        KivErr(LOG_ERROR, "TRSLNK: GetDatTime() Start Date & Time not entered!");
        return 0;
    }
    int yearsSince1900 = year - 1900;
    if (yearsSince1900 < 70)
        yearsSince1900 += 100;
    uint32_t seconds = 0;
    // Times that do not fit the 32-bit calendar are illegal: say so rather than hand the
    // history reader a wrapped start.
    if (!CalendarToSeconds(yearsSince1900 + 1900, month, day, hour, minute, 0, &seconds)) {
        KivErr(LOG_ERROR, "TRSLNK: GetDatTime() Start Date & Time '%s %s' out of range!", date, clock);
        return 0;
    }
    return seconds;
}
