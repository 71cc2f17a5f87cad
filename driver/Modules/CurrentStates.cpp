// The current-states reader: after a connection is made, a worker thread has the host
// re-read every gate of the station through the driver, so that no gate keeps a value
// from before the connection.
#include "Modules/CurrentStates.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "Modules/GateStore.h"
#include "Modules/WitModem.h"
#include "Modules/Worker.h"
#include "entry/DialX.h"
#include "entry/KivRun.h"
#include "platform/Platform.h"

namespace {

const uint32_t kStartDelayMs = 1000;
const uint32_t kPassPauseMs = 5;
const uint32_t kAlertEndPauseMs = 3000;
const size_t kAlertTextSize = 100; /* 99 characters and a NUL */

/* Resource and register gates, whose catch-up values stay out of history with NO_RECORD. */
bool IsRecordedType(char first, char second)
{
    static const char *const kTypes[] = {"FR", "WR", "BR", "RD", "RA", "SR"};
    for (const char *type : kTypes)
        if (type[0] == first && type[1] == second)
            return true;
    return false;
}

/* Command and special gates are not read: JR, modem commands, HS, EC, START_DATE, ... */
bool IsCommandGate(char kind)
{
    return kind != 0 && strchr("JjMmHhEc_", kind) != nullptr;
}

void ReadOneGate(DriverInstance *instance, uint32_t gate, unsigned char *definition, const char *address,
                 bool noRecord)
{
    uint8_t client = instance->clientId;
    char first = static_cast<char>(toupper(static_cast<unsigned char>(address[3])));
    char second = address[3] ? static_cast<char>(toupper(static_cast<unsigned char>(address[4]))) : 0;
    uint32_t savedSetting = GateDefWord(definition, KIV_GATEDEF_RECORD);
    bool switched = false;
    if (noRecord && savedSetting != 0 && IsRecordedType(first, second)) {
        GateDefSetWord(definition, KIV_GATEDEF_RECORD, 0);
        uint16_t rc = KivChangeGateDef(client, gate, definition);
        if (rc != KIV_OK)
            KivErr(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread. Failed to set 'Record-Never' Tag:(%s) rc:%d", address,
                   rc);
        switched = true;
    }

    uint16_t rc;
    if (GateDefHalf(definition, KIV_GATEDEF_TYPE) == GATE_TYPE_TEXT) {
        char text[KIV_GATESTR_SIZE];
        memset(text, 0, sizeof text);
        rc = KivGetGateStr(client, KIV_KIND_DEVICE_READ, gate, text, 0, 0);
    } else {
        double value = 0;
        rc = KivGetGateVal(client, KIV_KIND_DEVICE_READ, gate, &value, 0, 0);
    }
    if (rc != KIV_OK)
        KivErr(LOG_LEVEL8, "TRSLNK: ReadCurrentStatesThread() Failed to get val. tag:%s rc:%d", address, rc);

    /* Put back even when the read failed: the gate must not stay at Record-Never. */
    if (switched) {
        GateDefSetWord(definition, KIV_GATEDEF_RECORD, savedSetting);
        rc = KivChangeGateDef(client, gate, definition);
        if (rc != KIV_OK)
            KivErr(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread. Failed to Change 'Record' to (%d). Tag:(%s) rc:%d",
                   static_cast<int>(savedSetting), address, rc);
    }
}

/* One walk over the gates this instance accepted. False when the connection is gone or
 * the instance is ending. */
bool WalkGates(DriverInstance *instance, StationRecord *record, uint32_t station, bool noRecord)
{
    unsigned char definition[KIV_GATEDEF_SIZE];
    char address[KIV_GATEDEF_ADDRESS_SIZE + 1];
    for (uint32_t gate = 0; gate < MAX_GATE_INDEX; gate++) {
        if (instance->stopping.load())
            return false;
        if (record->connRef.load() == DIALX_NO_CONNECTION) {
            KivErr(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Modem disconnected. exiting thread");
            return false;
        }
        if (!instance->gateParsed[gate].load())
            continue;
        memset(definition, 0, sizeof definition);
        if (KivGetGateDef(instance->clientId, gate, definition) != KIV_OK)
            continue;
        if (GateDefWord(definition, KIV_GATEDEF_DRIVER) != instance->drvNumber - 1)
            continue;
        GateDefText(definition, KIV_GATEDEF_ADDRESS, KIV_GATEDEF_ADDRESS_SIZE, address, sizeof address);
        unsigned number = 0;
        if (sscanf(address, "%3u", &number) != 1 || number != station)
            continue;
        if (strlen(address) < 4 || IsCommandGate(address[3]))
            continue;
        ReadOneGate(instance, gate, definition, address, noRecord);
    }
    return true;
}

/* The reader's body. statesBusy is already claimed for it. */
void RunReader(DriverInstance *instance, uint32_t station)
{
    StationRecord *record = StationOf(instance, station);
    if (!record)
        return;
    bool disconnectAfterRead = record->disconnectAfterRead.load() != 0;
    bool noRecord = instance->noRecord != 0;

    if (PlatformSleepUnlessStopped(kStartDelayMs, &instance->stopping)) {
        record->statesBusy.store(0);
        return;
    }

    char text[kAlertTextSize];
    snprintf(text, sizeof text, "TRSLNK: Station %d. reading Current states. Please wait...",
             static_cast<int>(station));
    KivErr(LOG_ERROR, "%s", text);
    record->statesBusy.store(1);

    KivAlertRef alert = 0;
    bool alertShown = false;
    if (instance->statesPopup) {
        if (StartReadingDataAlert(instance->clientId, text, &alert) == KIV_OK)
            alertShown = true;
        else
            KivErr(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Failed to start 'Reading Data' Alert!");
    }

    for (;;) {
        PlatformSleepMs(kPassPauseMs);
        if (!WalkGates(instance, record, station, noRecord) || disconnectAfterRead)
            break;
    }

    if (alertShown) {
        /* Keeps the notice up long enough for the operator to see it on a short read. */
        PlatformSleepUnlessStopped(kAlertEndPauseMs, &instance->stopping);
        if (EndReadingDataAlert(instance->clientId, alert) != KIV_OK)
            KivErr(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Failed to end 'Reading Data' Alert!");
    }
    KivErr(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Station %d. reading Current states completed",
           static_cast<int>(station));
    record->statesBusy.store(0);
    /* An ending instance releases every connection itself. */
    if (disconnectAfterRead && !instance->stopping.load())
        DisconnectModem(instance, station);
}

void StatesBody(DriverInstance *instance, uint32_t station, RequestCopy *)
{
    RunReader(instance, station);
}

void PrepareStates(DriverInstance *instance, uint32_t station, uint32_t disconnectAfterRead)
{
    instance->statesStation.store(station);
    StationOf(instance, station)->disconnectAfterRead.store(disconnectAfterRead);
}

const WorkerStart kStatesStart = {
    &StationRecord::statesBusy,
    "TRSLNK> StartReadingCurrentStates() Station (%d) not declared",
    "TRSLNK> StartReadingCurrentStates() Station (%d) already reading current states",
    nullptr,
    "TRSLNK> StartReadStatusesThread() _beginthread err %u",
    PrepareStates,
    StatesBody,
};

} // namespace

uint32_t StartReadingCurrentStates(RequestBlock *request, uint32_t disconnectAfterRead)
{
    return StartWorker(request, &kStatesStart, disconnectAfterRead);
}

void ReadStationCurrentStates(DriverInstance *instance, uint32_t station)
{
    instance->statesStation.store(station);
    // A separate start is refused while this reading runs.
    if (StationRecord *record = StationOf(instance, station))
        (void)ClaimBusy(record->statesBusy);
    RunReader(instance, station);
}

void ReadCurrentStatesThread(void *arg)
{
    DriverInstance *instance = static_cast<DriverInstance *>(arg);
    ReadStationCurrentStates(instance, instance->statesStation.load());
}
