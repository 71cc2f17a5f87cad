// The current-states reader: after a connection is made, a worker thread has the host
// re-read every gate of the station through the driver, so that no gate keeps a value
// from before the connection.
#include "Modules/CurrentStates.h"

#include <ctype.h>
#include <errno.h>
#include <mutex>
#include <new>
#include <stdio.h>
#include <string.h>
#include <utility>
#include <vector>

#include "Modules/GateStore.h"
#include "Modules/WitModem.h"
#include "config/Lifecycle.h"
#include "entry/DialX.h"
#include "entry/KivRun.h"
#include "platform/Platform.h"

namespace {

const uint32_t kStartDelayMs = 1000;
const uint32_t kPassPauseMs = 5;
const uint32_t kAlertEndPauseMs = 3000;
const size_t kAlertTextSize = 100; /* 99 characters and a NUL */

/* Stations whose reader was started but has not yet set statesBusy. A second start in
 * that window is refused like one during the reading. */
std::mutex gStartingGuard;
std::vector<std::pair<const DriverInstance *, uint32_t>> gStarting;

bool ClaimStart(const DriverInstance *instance, uint32_t station, const StationRecord *record)
{
    std::lock_guard<std::mutex> lock(gStartingGuard);
    if (record->statesBusy.load() != 0)
        return false;
    for (const auto &entry : gStarting)
        if (entry.first == instance && entry.second == station)
            return false;
    gStarting.emplace_back(instance, station);
    return true;
}

void ReleaseStart(const DriverInstance *instance, uint32_t station)
{
    std::lock_guard<std::mutex> lock(gStartingGuard);
    for (auto it = gStarting.begin(); it != gStarting.end(); ++it)
        if (it->first == instance && it->second == station) {
            gStarting.erase(it);
            return;
        }
}

/* What a started reader needs: the station travels with the thread, so two stations
 * started back to back cannot overwrite each other's number. */
struct StatesStart {
    DriverInstance *instance;
    uint32_t station;
};

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

void RunReader(DriverInstance *instance, uint32_t station, bool claimed)
{
    StationRecord *record = StationOf(instance, station);
    if (!record) {
        if (claimed)
            ReleaseStart(instance, station);
        return;
    }
    bool disconnectAfterRead = record->disconnectAfterRead.load() != 0;
    bool noRecord = instance->noRecord != 0;

    if (PlatformSleepUnlessStopped(kStartDelayMs, &instance->stopping)) {
        if (claimed)
            ReleaseStart(instance, station);
        return;
    }

    char text[kAlertTextSize];
    snprintf(text, sizeof text, "TRSLNK: Station %d. reading Current states. Please wait...",
             static_cast<int>(station));
    KivErr(LOG_ERROR, "%s", text);
    record->statesBusy.store(1);
    if (claimed)
        ReleaseStart(instance, station);

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

void StatesThreadMain(void *arg)
{
    StatesStart start = *static_cast<StatesStart *>(arg);
    delete static_cast<StatesStart *>(arg);
    RunReader(start.instance, start.station, true);
    WorkerEnd(start.instance);
}

} // namespace

uint32_t StartReadingCurrentStates(RequestBlock *request, uint32_t disconnectAfterRead)
{
    DriverInstance *instance = InstanceOf(request);
    const GateRequest *gate = static_cast<const GateRequest *>(request->params);
    uint32_t station = gate->address.station;
    StationRecord *record = StationOf(instance, station);
    if (!record) {
        KivErr(LOG_ERROR, "TRSLNK> StartReadingCurrentStates() Station (%d) not declared", static_cast<int>(station));
        return 1;
    }
    if (!ClaimStart(instance, station, record)) {
        KivErr(LOG_ERROR, "TRSLNK> StartReadingCurrentStates() Station (%d) already reading current states",
               static_cast<int>(station));
        return 3;
    }
    instance->statesStation.store(station);
    record->disconnectAfterRead.store(disconnectAfterRead);

    StatesStart *start = new (std::nothrow) StatesStart{instance, station};
    int rc = start ? 0 : ENOMEM;
    if (rc == 0 && !WorkerBegin(instance))
        rc = ECANCELED;
    if (rc == 0) {
        rc = PlatformStartDetachedThread(StatesThreadMain, start, WORKER_STACK_SIZE);
        if (rc != 0)
            WorkerEnd(instance);
    }
    if (rc != 0) {
        delete start;
        ReleaseStart(instance, station);
        KivErr(LOG_ERROR, "TRSLNK> StartReadStatusesThread() _beginthread err %u", static_cast<unsigned>(rc));
        return 1;
    }
    return 0;
}

void ReadStationCurrentStates(DriverInstance *instance, uint32_t station)
{
    instance->statesStation.store(station);
    StationRecord *record = StationOf(instance, station);
    /* Called directly by another reading: hold off a separate start during the delay too. */
    bool claimed = record && ClaimStart(instance, station, record);
    RunReader(instance, station, claimed);
}

void ReadCurrentStatesThread(void *arg)
{
    DriverInstance *instance = static_cast<DriverInstance *>(arg);
    ReadStationCurrentStates(instance, instance->statesStation.load());
}
