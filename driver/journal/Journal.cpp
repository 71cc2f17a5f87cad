// Journal reading: the worker thread of a station's journal, the loop over its events and
// the J? exchange of one event.
#include "journal/Journal.h"

#include <stdio.h>
#include <string.h>

#include "Modules/GateStore.h"
#include "Modules/WitRead.h"
#include "address/Address.h"
#include "entry/KivRun.h"
#include "link/Clock.h"
#include "link/Exchange.h"
#include "platform/Platform.h"

namespace {

constexpr uint16_t EVENT_REPLY_LIMIT = 10000;
constexpr size_t EVENT_REQUEST_SIZE = 200; /* at most 199 characters */
constexpr uint32_t FAILURE_PAUSE_MS = 3000;
constexpr uint32_t ALERT_END_PAUSE_MS = 3000;
constexpr size_t ALERT_TEXT_SIZE = 100;
/* The numbering runs 1..9999: a read that stores more events than that goes round in a
 * circle (a station that repeats an event) and is ended. */
constexpr uint32_t MAX_EVENTS_PER_READ = 9999;

/* What one event exchange carries through the request cycle. */
struct EventExchange {
    RequestBlock *request;
    const char *gas;
    uint16_t asked; /* the number that the request was built from */
    uint32_t incoming;
    uint32_t first;
};

EventExchange *EventOf(RequestCycle *cycle)
{
    return static_cast<EventExchange *>(cycle->context);
}

void EventLogOnFailed(RequestCycle *)
{
    KivErr(LOG_ERROR, "TRSLNK: ReadEventFromJournal() InitStation() failed");
}

void EventSendFailed(RequestCycle *, int attempt)
{
    KivErr(LOG_TRACE, "TRSLNK> ReadEventFromJournal() error sending request, retry %d", attempt);
}

void EventReceiveFailed(RequestCycle *cycle, int attempt)
{
    KivErr(LOG_ERROR, "TRSLNK> ReadEventFromJournal() error reading reply, retry %d '%s'", attempt, EventOf(cycle)->gas);
}

CycleVerdict CheckEventReply(RequestCycle *cycle, int attempt, uint32_t length, uint32_t *result)
{
    EventExchange *event = EventOf(cycle);
    DriverInstance *instance = cycle->instance;
    char *reply = cycle->reply;
    uint32_t status = 0;
    if (ReadStatut(reply, &status)) {
        if (status == 1) {
            // Nothing after the event asked for; a number taken from the file is adopted.
            if (instance->storeLastEvent)
                instance->lastEventNo[cycle->station] = event->asked;
            *result = JOURNAL_END;
            return CYCLE_REPLY_GOOD;
        }
        KivErr(LOG_ERROR, "TRSLNK> DoRead() error, Wit status message '%s' in reply, retry %d '%s'", WitStatusText(status),
               4 - attempt, event->gas);
        return CYCLE_REPLY_BAD;
    }
    if (!(length >= 1 && reply[0] == 'J') && !(length >= 2 && reply[1] == '=')) {
        KivErr(LOG_ERROR, "TRSLNK> ReadEventFromJournal() illegal answer, command missing, retry %d", attempt);
        return CYCLE_REPLY_BAD;
    }
    // A station answers "#n" with the event after n, never with n itself: an event n is the
    // late reply to the request before, which arrived after its time-out. It was stored
    // then; asking again gets the event that follows.
    unsigned number = 0;
    if (event->asked != 0 && length > 4 && sscanf(reply + 4, "%4u", &number) == 1 && number == event->asked) {
        KivErr(LOG_TRACE, "TRSLNK> ReadEventFromJournal() event #%03d came again (a late reply), not stored twice",
               static_cast<int>(number));
        *result = 0;
        return CYCLE_REPLY_GOOD;
    }
    // The event is stored while the bus is still held, before another exchange can use
    // the reply buffer.
    KivErr(LOG_PROGRESS, "TRSLNK: ReadEventFromJournal() Event #%03d was read sucessfully", static_cast<int>(event->asked));
    *result = StoreEventData(event->request, reply, event->first) == 0 ? 1 : 0;
    return CYCLE_REPLY_GOOD;
}

const CycleHooks kEventHooks = {nullptr, EventLogOnFailed, EventSendFailed, EventReceiveFailed, CheckEventReply};

/* "J?\t#%04d\t" from the last-event file, or the whole journal when the file has no entry. */
int RequestFromFile(EventExchange *event, uint32_t station, char *text)
{
    uint16_t fromFile = 0;
    if (GetLastEventNo(&fromFile, static_cast<uint16_t>(station))) {
        event->asked = fromFile;
        KivErr(LOG_ERROR, "TRSLNK: ReadEventFromJournal() Last event (%d) was read from file", static_cast<int>(fromFile));
        return snprintf(text, EVENT_REQUEST_SIZE, "J?\t#%04d\t", static_cast<int>(fromFile));
    }
    KivErr(LOG_ERROR, "TRSLNK: ReadEventFromJournal() Failed to get FIRST_EVENT. Reading all journal");
    return snprintf(text, EVENT_REQUEST_SIZE, "J?\t");
}

/* The J? request by the mode of the read and what is known of the last event stored. */
uint32_t BuildEventRequest(StationExchange *exchange)
{
    DriverInstance *instance = exchange->cycle.instance;
    EventExchange *event = EventOf(&exchange->cycle);
    const uint32_t station = exchange->cycle.station;
    char *text = exchange->cycle.payload;
    const int n = event->asked;
    int length;
    if (event->incoming && event->first) {
        if (instance->storeLastEvent) {
            length = RequestFromFile(event, station, text);
        } else {
            const uint16_t *time = instance->lastEventTime[station];
            length = snprintf(text, EVENT_REQUEST_SIZE, "J?\t%04u%02u%02u%02u%02u%02u\t", time[0], time[1], time[2], time[3],
                              time[4], time[5]);
        }
    } else if (event->incoming) {
        length = snprintf(text, EVENT_REQUEST_SIZE, "J?\t#%04d\tD*\t", n);
        KivErr(LOG_PROGRESS, "TRSLNK: ReadEventFromJournal() Reading Incoming Call event #%03d", n);
    } else if (n == 0) {
        length = instance->storeLastEvent ? RequestFromFile(event, station, text) : snprintf(text, EVENT_REQUEST_SIZE, "J?\t");
    } else {
        length = snprintf(text, EVENT_REQUEST_SIZE, "J?\t#%04d\t", n);
        KivErr(LOG_PROGRESS, "TRSLNK: ReadEventFromJournal() Reading Event #%03d", n);
    }
    exchange->cycle.payloadLength = length > 0 ? static_cast<uint32_t>(length) : 0;
    return 0;
}

const ExchangeKind kEventExchange = {nullptr, nullptr, false, BuildEventRequest, &kEventHooks, EVENT_REPLY_LIMIT};

} // namespace

uint32_t ReadEventFromJournal(RequestBlock *request, uint32_t incoming, uint32_t first)
{
    DriverInstance *instance = InstanceOf(request);
    const GateRequest *gate = GateOf(request);
    const uint32_t station = gate->address.station;
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    if (station >= MAX_STATIONS)
        return 1;
    EventExchange event{request, gas, instance->lastEventNo[station].load(), incoming, first};
    char payload[EVENT_REQUEST_SIZE + 2];
    return RunStationExchange(request, &kEventExchange, gas, &event, payload);
}

namespace {

/* Ends the 'Reading Data' alert of a journal read, once. */
void EndJournalAlert(DriverInstance *instance, bool *shown, KivAlertRef alert)
{
    if (!*shown)
        return;
    *shown = false;
    if (EndReadingDataAlert(instance->clientId, alert) != KIV_OK)
        KivErr(LOG_ERROR, "TRSLNK: ReadJournal() Failed to end 'Reading Data' Alert!");
}

/* Sets the station's clock (time, then date) before the events are read. */
void SynchroniseClock(RequestBlock *request, const char *gas)
{
    GateRequest *gate = GateOf(request);
    gate->address.memoryType = MT_TM;
    if (WriteWStationDateTime(request) != 0)
        KivErr(LOG_TRACE, "TRSLNK> ReadJournal() synchronisation of time failed, '%s'", gas);
    gate->address.memoryType = MT_DT;
    if (WriteWStationDateTime(request) != 0)
        KivErr(LOG_TRACE, "TRSLNK> ReadJournal() synchronisation of date failed, '%s'", gas);
}

} // namespace

uint32_t ReadJournal(RequestBlock *request, uint32_t incoming)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    const uint32_t station = gate->address.station;
    const uint32_t memoryType = gate->address.memoryType;
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    if (station >= MAX_STATIONS)
        return 1;

    if (instance->clockSync == 1)
        SynchroniseClock(request, gas);

    char text[ALERT_TEXT_SIZE];
    snprintf(text, sizeof text, "TRSLNK: Station %d. reading Alerts. Please wait...", static_cast<int>(station));
    KivErr(LOG_ERROR, "%s", text);
    KivAlertRef alert = 0;
    bool alertShown = false;
    if (instance->journalPopup) {
        if (StartReadingDataAlert(instance->clientId, text, &alert) == KIV_OK)
            alertShown = true;
        else
            KivErr(LOG_ERROR, "TRSLNK: ReadJournal() Failed to start 'Reading Data' Alert!");
    }

    uint32_t result = 0;
    uint32_t first = incoming;
    for (uint32_t stored = 0;; stored++) {
        if (instance->stopping.load()) {
            KivErr(LOG_TRACE, "TRSLNK> ReadJournal() the instance ends, reading stopped, '%s'", gas);
            result = 1;
            break;
        }
        if (stored > MAX_EVENTS_PER_READ) {
            KivErr(LOG_ERROR, "TRSLNK> ReadJournal() more than %u events in one read, the station repeats them, '%s'",
                   MAX_EVENTS_PER_READ, gas);
            result = 1;
            break;
        }
        result = ReadEventFromJournal(request, incoming, first);
        first = 0;
        if (result != 0 && result != JOURNAL_END) {
            KivErr(LOG_TRACE, "TRSLNK> ReadJournal() reading of events failed, '%s'", gas);
            PlatformSleepUnlessStopped(FAILURE_PAUSE_MS, &instance->stopping);
            EndJournalAlert(instance, &alertShown, alert);
        }
        if (result != 0)
            break;
    }

    if (result == JOURNAL_END) {
        const uint16_t last = instance->lastEventNo[station].load();
        PutValue16(gate->value, SINGLE_16_OFFSET, last);
        uint32_t raw = 0;
        memcpy(&raw, gate->value, sizeof raw);
        char lastEventGas[GAS_COPY_SIZE];
        snprintf(lastEventGas, sizeof lastEventGas, "%03u_LAST_EVENT", station);
        (void)PutGateValue(instance, lastEventGas, raw, static_cast<uint32_t>(PlatformWallClock()));
        if (alertShown) {
            // Keeps the notice up long enough for the operator to see it on a short read.
            PlatformSleepUnlessStopped(ALERT_END_PAUSE_MS, &instance->stopping);
            EndJournalAlert(instance, &alertShown, alert);
        }
        if (instance->storeLastEvent && !StoreLastEventNo(last, static_cast<uint16_t>(station)))
            KivErr(LOG_ERROR, "TRSLNK: ReadJournal() Failed to store Last event no. in file");
        result = 0;
    }
    // An alert that no path ended (the instance ends) is not left standing.
    EndJournalAlert(instance, &alertShown, alert);
    KivErr(LOG_ERROR, "TRSLNK: Station %d. Reading alerts completed", static_cast<int>(station));
    gate->address.memoryType = memoryType;
    return result;
}

void ReadJournalThread(RequestCopy *copy)
{
    RequestBlock *request = &copy->request;
    DriverInstance *instance = InstanceOf(request);
    const uint32_t memoryType = copy->gate.address.memoryType;
    StationRecord *record = StationOf(instance, copy->gate.address.station);
    if (record) {
        record->journalBusy = 1;
        if (ReadJournal(request, record->incomingCall.load()) != 0) {
            if (memoryType == MT_AA)
                KivErr(LOG_ERROR, "TRSLNK: ReadJournalThread() failed to read Incoming call Alerts!");
            else
                KivErr(LOG_ERROR, "TRSLNK: ReadJournalThread() failed to read Alerts!");
        }
        record->journalBusy = 0;
    }
    // A read-all runs this body on its own thread and keeps its copy.
    if (memoryType != MT_MA && memoryType != MT_MC)
        FreeRequestCopy(copy);
}

namespace {

void JournalBody(DriverInstance *, uint32_t, RequestCopy *copy)
{
    ReadJournalThread(copy);
}

const WorkerStart kJournalStart = {
    &StationRecord::journalBusy,
    "TRSLNK> StartReadJournal() Station (%d) not declared",
    "TRSLNK> StartReadJournal() Station (%d) error, already reading journal",
    "TRSLNK> StartReadJournal() malloc error",
    "TRSLNK> StartReadJournal() _beginthread err %u",
    nullptr,
    JournalBody,
};

} // namespace

uint32_t StartReadJournal(RequestBlock *request, uint32_t)
{
    // journalBusy is claimed before the thread starts, so it is set when this returns 0.
    return StartWorker(request, &kJournalStart, 0);
}
