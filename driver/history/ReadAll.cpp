// The history read of a station from its start time, and the read-all sequence after a
// modem call: journal, history and current states.
#include <stdio.h>
#include <string.h>

#include "Modules/CurrentStates.h"
#include "Modules/GateStore.h"
#include "address/Address.h"
#include "entry/KivRun.h"
#include "history/History.h"
#include "journal/Journal.h"
#include "link/Clock.h"
#include "link/Telegram.h"
#include "platform/Platform.h"

namespace {

constexpr uint32_t HISTORY_TIMEOUT = 100000; /* 1000 s for a reply of up to 4096 samples */
constexpr uint32_t ALERT_END_PAUSE_MS = 3000;
constexpr uint32_t READ_ALL_DELAY_MS = 1000;
constexpr uint32_t JOURNAL_WAIT_MS = 5;
constexpr size_t ALERT_TEXT_SIZE = 100;

/* The sample period of a periodic trace in seconds; 0 for a unit the stations don't use. */
uint32_t PeriodOf(const TraceInfo &trace)
{
    switch (trace.periodUnit) {
    case '1': return trace.periodCount * 60u;
    case '2': return trace.periodCount * 3600u;
    case '3': return trace.periodCount * 86400u;
    case '4': return 86400u; /* one day, whatever the count */
    default: return 0;
    }
}

struct HistoryAlert {
    KivAlertRef reference = 0;
    bool shown = false;
    bool tried = false;
};

/* Once per history read, before the first trace that has samples to read. */
void StartHistoryAlert(DriverInstance *instance, uint32_t station, HistoryAlert *alert)
{
    if (alert->tried)
        return;
    alert->tried = true;
    char text[ALERT_TEXT_SIZE];
    snprintf(text, sizeof text, "TRSLNK: Station %d. reading history. Please wait...", static_cast<int>(station));
    if (!instance->historyPopup)
        return;
    if (StartReadingDataAlert(instance->clientId, text, &alert->reference) == KIV_OK)
        alert->shown = true;
    else
        KivErr(LOG_ERROR, "TRSLNK: ReadHistory() Failed to start 'Reading Data' Alert!");
}

void TraceOutcome(uint32_t station, uint32_t trace, uint32_t result)
{
    if (result == 0)
        KivErr(LOG_ERROR, "TRSLNK: Station %d. Reading History from Trace %d completed", static_cast<int>(station),
               static_cast<int>(trace));
    else
        KivErr(LOG_ERROR, "TRSLNK: Station %d. Read History from Trace %d failed! rc=%d", static_cast<int>(station),
               static_cast<int>(trace), static_cast<int>(result));
}

/* One periodic trace: the samples between the start time and its newest one, at most 4096.
 * Returns the last exchange's result, or `result` when no exchange was made. */
uint32_t ReadPeriodicTrace(RequestBlock *request, uint32_t trace, uint32_t start, HistoryAlert *alert, uint32_t result)
{
    DriverInstance *instance = InstanceOf(request);
    const uint32_t station = GateOf(request)->address.station;
    const TraceInfo &info = instance->traces[trace];
    const uint32_t period = PeriodOf(info);
    if (period == 0) {
        KivErr(LOG_ERROR, "TRSLNK: ReadHistory() Station (%d) Trace (%d) period unit '%c' unknown, trace skipped",
               static_cast<int>(station), static_cast<int>(trace), info.periodUnit ? info.periodUnit : ' ');
        return result;
    }
    uint32_t newest = 0;
    result = GetLastSampleTime(request, trace, &newest);
    if (result != 0)
        return result;
    if (newest <= start) {
        KivErr(LOG_ERROR, "TRSLNK: ReadHistory() failed to read history. Start Time > last sample time");
        return result;
    }
    uint32_t samples = (newest - start) / period;
    if (samples > MAX_HISTORY_VALUES)
        samples = MAX_HISTORY_VALUES;
    if (samples == 0) {
        KivErr(LOG_ERROR, "TRSLNK: ReadHistory() Station (%d) Trace (%d). No samples to read", static_cast<int>(station),
               static_cast<int>(trace));
        return result;
    }
    StartHistoryAlert(instance, station, alert);
    result = GetHistoryData(request, trace, static_cast<uint16_t>(samples));
    TraceOutcome(station, trace, result);
    return result;
}

} // namespace

uint32_t ReadHistory(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    const uint32_t station = GateOf(request)->address.station;
    const uint32_t comTimeout = instance->comTimeout.load();
    // The bus is held for the whole read: the trace table and the long time-out are this
    // read's alone.
    if (ReqSem(instance) != 0)
        return 2;
    uint32_t result = GetTraceInfo(request);
    if (result != 0) {
        KivErr(LOG_ERROR, "TRSLNK: ReadHistory() GetTraceInfo() Failed");
        RelSem(instance);
        return result;
    }
    const uint32_t start = GetDatTime(instance, station);
    if (start == 0) {
        KivErr(LOG_ERROR, "TRSLNK: ReadHistory() Station %d. Start time was not entered!", static_cast<int>(station));
        RelSem(instance);
        return 1;
    }
    KivErr(LOG_ERROR, "TRSLNK: Station %d. reading History. Please wait...", static_cast<int>(station));
    instance->comTimeout = HISTORY_TIMEOUT;

    HistoryAlert alert;
    for (uint32_t trace = 1; trace < MAX_TRACES && !instance->stopping.load(); trace++) {
        const TraceInfo &info = instance->traces[trace];
        if (info.number == 0)
            continue;
        KivErr(LOG_ERROR, "TRSLNK: Station %d. Reading History from Trace %d", static_cast<int>(station),
               static_cast<int>(trace));
        if (info.mode == 'A')
            KivErr(LOG_ERROR, "TRSLNK: ReadHistory() Warning. Station (%d) Trace (%d) in STOP ('Arret') Mode",
                   static_cast<int>(station), static_cast<int>(trace));
        if (info.periodCount == 0) {
            // An external-clock trace is read whole: its records carry their own times.
            KivErr(LOG_ERROR, "TRSLNK: ReadHistory() Station (%d). Trace (%d) is 'Ext Clock'", static_cast<int>(station),
                   static_cast<int>(trace));
            result = GetClockExtHistoryData(request, trace);
            TraceOutcome(station, trace, result);
            continue;
        }
        result = ReadPeriodicTrace(request, trace, start, &alert, result);
    }

    if (alert.shown) {
        // Keeps the notice up long enough for the operator to see it on a short read.
        PlatformSleepUnlessStopped(ALERT_END_PAUSE_MS, &instance->stopping);
        if (EndReadingDataAlert(instance->clientId, alert.reference) != KIV_OK)
            KivErr(LOG_ERROR, "TRSLNK: ReadHistory() Failed to end 'Read History' Alert!");
    }
    KivErr(LOG_ERROR, "TRSLNK: Station %d. reading History completed", static_cast<int>(station));
    instance->comTimeout = comTimeout;
    RelSem(instance);
    return result;
}

void ReadAllDataThread(RequestCopy *copy)
{
    RequestBlock *request = &copy->request;
    DriverInstance *instance = InstanceOf(request);
    const uint32_t station = copy->gate.address.station;
    StationRecord *record = StationOf(instance, station);
    if (record && !PlatformSleepUnlessStopped(READ_ALL_DELAY_MS, &instance->stopping)) {
        KivErr(LOG_ERROR, "TRSLNK: Reading all data from station (%d). Please wait...", static_cast<int>(station));
        record->readAllBusy = 1;
        // The journal of the station is read by one reader at a time: wait for ours.
        bool journal = false;
        while (!instance->stopping.load() && !(journal = ClaimBusy(record->journalBusy)))
            PlatformSleepMs(JOURNAL_WAIT_MS);
        if (journal)
            ReadJournalThread(copy);
        if (!instance->stopping.load() && ReadHistory(request) != 0)
            KivErr(LOG_ERROR, "TRSLNK: ReadAllDataThread() Failed to read History from station (%d)",
                   static_cast<int>(station));
        if (!instance->stopping.load())
            ReadStationCurrentStates(instance, station);
    }
    if (record)
        record->readAllBusy = 0;
    FreeRequestCopy(copy);
}

namespace {

void ReadAllBody(DriverInstance *, uint32_t, RequestCopy *copy)
{
    ReadAllDataThread(copy);
}

void PrepareReadAll(DriverInstance *instance, uint32_t station, uint32_t disconnectAfterRead)
{
    StationOf(instance, station)->disconnectAfterRead = disconnectAfterRead;
}

const WorkerStart kReadAllStart = {
    &StationRecord::readAllBusy,
    "TRSLNK> StartReadAllData() Station (%d) not declared",
    "TRSLNK> StartReadAllData() error, already reading all data Station (%d)",
    "TRSLNK> StartReadAllData() malloc error",
    "TRSLNK> StartReadAllData() _beginthread err %u",
    PrepareReadAll,
    ReadAllBody,
};

} // namespace

uint32_t StartReadAllData(RequestBlock *request, uint32_t disconnectAfterRead)
{
    // readAllBusy is claimed here, before the thread's first second: a second start is
    // refused at once.
    return StartWorker(request, &kReadAllStart, disconnectAfterRead);
}
