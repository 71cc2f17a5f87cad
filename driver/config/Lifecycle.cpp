#include "config/Lifecycle.h"

#include <stdio.h>
#include <string.h>

#include "config/Config.h"
#include "entry/DialX.h"
#include "entry/Entry.h"
#include "entry/KivRun.h"
#include "link/Port.h"
#include "link/Station.h"
#include "link/Telegram.h"
#include "link/Transport.h"
#include "Modules/WitModem.h"
#include "platform/Platform.h"

namespace {

const uint16_t kLineControl = 0x0303; // DTR and RTS on, no hardware handshake
const uint32_t kSerialTimeout = 100;  // 1 s
const uint32_t kModemTimeout = 700;   // 7 s

// Waits for the worker threads and the host's other calls to leave. Their own waits are
// bounded, and their exchanges give up once `stopping` is set, so this ends; a line every
// 10 s says why EndDrv is still here if a station is slow to answer.
void WaitForWorkers(DriverInstance *instance)
{
    unsigned waited = 0;
    while (instance->workers.load() != 0 || instance->hostCalls.load() != 0) {
        PlatformSleepUnlessStopped(100, nullptr);
        if (++waited % 100 == 0)
            KivErr(LOG_ERROR, "TRSLNK> EndDrv() waiting for %u worker thread(s) and %u host call(s)",
                   instance->workers.load(), instance->hostCalls.load());
    }
}

} // namespace

void ChooseTransport(DriverInstance *instance)
{
    instance->transport = instance->modemMode ? &kModemTransport : &kSerialTransport;
}

bool WorkerBegin(DriverInstance *instance)
{
    instance->workers.fetch_add(1);
    if (instance->stopping.load()) {
        instance->workers.fetch_sub(1);
        return false;
    }
    return true;
}

void WorkerEnd(DriverInstance *instance)
{
    instance->workers.fetch_sub(1);
}

uint32_t ColdStart(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    const ColdStartParams *params = static_cast<const ColdStartParams *>(request->params);

    KivErr(LOG_TRACE, "TRSLNK> version compiled on %s at time %s", __DATE__, __TIME__);
    // The host does not clear the block; clearing it here also makes EndDrv safe on a
    // switched-off instance.
    memset(static_cast<void *>(instance), 0, sizeof *instance);
    ChooseTransport(instance);
    instance->enabled = params->enabled;
    if (instance->enabled == 0)
        return 0;

    instance->drvNumber = request->drvNumber;
    instance->hostTimeoutMs = params->hostTimeout * 10;
    if (instance->hostTimeoutMs < 15000)
        KivErr(LOG_ERROR, "TRSLNK> ColdStart() WARNING: Kivora DRV timeout < 15 sec");
    CopyText(instance->portName, sizeof instance->portName, params->portName);
    instance->lineSettings = params->lineSettings;
    instance->lineControl = kLineControl;

    ResetInstance(instance);
    ReadInitFile(request);
    ChooseTransport(instance);
    if (instance->comTimeout == 0)
        instance->comTimeout = instance->modemMode ? kModemTimeout : kSerialTimeout;

    if (!instance->modemMode) {
        PortHandle handle = OpenCom(instance);
        if (handle == 0) {
            KivErr(LOG_TRACE, "TRSLNK> ColdStart() unable to open %s port", instance->portName);
            return 1;
        }
        KivErr(LOG_TRACE, "TRSLNK> ColdStart() port %s opened, file handle %u", instance->portName,
               PortHandleNumber(handle));
        instance->comHandle = handle;
        SetReadTimeout(handle, instance->comTimeout);
    }

    char name[32];
    snprintf(name, sizeof name, "TRSLNK%02uMUTEX", instance->drvNumber);
    uint32_t error = 0;
    instance->busMutex = PlatformOpenNamedMutex(name, &error);
    if (!instance->busMutex) {
        KivErr(LOG_ERROR, "TRSLNK> ColdStart() ERROR, CreateMutex() err %u", error);
        return 1;
    }

    snprintf(name, sizeof name, "WIT_No_%.2d", static_cast<int>(instance->drvNumber));
    uint8_t clientId = 0;
    if (KivMkClient(name, 1, 0, &clientId) != 0) {
        KivErr(LOG_ERROR, "TRSLNK: Failed to Make Client. Drv %d", static_cast<int>(instance->drvNumber));
        return 1;
    }
    instance->clientId = clientId;

    if (StartOnlineTagsThread(instance) != 0) {
        KivErr(LOG_ERROR, "TRSLNK: ColdStart() Failed to start the 'Responses' thread !");
        return 2;
    }
    KivErr(LOG_TRACE, "TRSLNK> ColdStart() Driver for DRV %d loaded successfully", static_cast<int>(instance->drvNumber));
    return 0;
}

uint32_t WarmStart(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    uint32_t station = *static_cast<const uint32_t *>(request->params);

    KivErr(LOG_ERROR, "TRSLNK: DRV %d station %d. Warm Start", static_cast<int>(instance->drvNumber),
           static_cast<int>(station));
    uint32_t result;
    if (station >= MAX_STATIONS) {
        // Only the low byte would reach the log-on and name another station: a number
        // beyond the table is an undeclared station.
        KivErr(LOG_ERROR, "TRSLNK: InitStation() Station %d not defined", static_cast<int>(station));
        result = 2;
    } else {
        int32_t identity = 0;
        result = InitStation(instance, static_cast<uint8_t>(station), &identity);
    }
    if (result != 0)
        KivErr(LOG_ERROR, "TRSLNK: WarmStart() InitStation failed");
    KivErr(LOG_ERROR, "TRSLNK> WarmStart() exited, rc %u", result);
    return result;
}

uint32_t CloseCom(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    PortHandle handle = instance->comHandle;
    if (handle != 0) {
        // The port layer lets go of the handle even when the system's close fails, so the
        // instance must not keep it: a later close or use would reach a freed record.
        instance->comHandle = 0;
        if (ClosePort(handle) != 0) {
            KivErr(LOG_TRACE, "TRSLNK> CloseCom() exited 2");
            return 2;
        }
    }
    KivErr(LOG_TRACE, "TRSLNK> CloseCom() exited 0");
    return 0;
}

uint32_t ChangeDrvParams(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    const PortChangeParams *params = static_cast<const PortChangeParams *>(request->params);

    char oldName[sizeof instance->portName];
    CopyText(oldName, sizeof oldName, instance->portName);
    char newName[sizeof instance->portName];
    CopyText(newName, sizeof newName, params->portName);

    if (strncmp(params->portName, instance->portName, sizeof params->portName) != 0 && instance->comHandle != 0)
        CloseCom(request);
    CopyText(instance->portName, sizeof instance->portName, newName);
    if (params->lineSettings.baudRate != 0)
        instance->lineSettings = params->lineSettings;

    PortHandle handle = OpenCom(instance);
    if (handle != 0) {
        instance->comHandle = handle;
        instance->enabled = 1;
        SetReadTimeout(handle, instance->comTimeout);
        KivErr(LOG_ERROR, "TRSLNK%02d: ChangeDrvParams() successful. %s closed, %s opened",
               static_cast<int>(instance->drvNumber), oldName, instance->portName);
        return 0;
    }
    KivErr(LOG_ERROR, "TRSLNK%02d: ChangeDrvParams() failed to close %s and open %s",
           static_cast<int>(instance->drvNumber), oldName, instance->portName);
    return 2;
}

uint32_t EndDrv(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);

    // Nothing may touch a station record once it is freed: the online-tags thread makes
    // no more passes, and the worker threads leave first.
    StopOnlineTagsThread(instance);
    WaitForWorkers(instance);

    if (instance->modemMode)
        KivErr(LOG_TRACE, "TRSLNK> EndDrv() disconnecting all MM connections");
    for (uint32_t s = 0; s < MAX_STATIONS; s++) {
        StationRecord *station = StationOf(instance, s);
        if (!station)
            continue;
        // A secondary station gets its ETX before its connection goes, as an orderly
        // disconnection does, so that it leaves transparent mode.
        if (station->secondary)
            LeaveTransparentMode(instance, s, "TRSLNK: EndDrv() Failed to send ETX to secondary station");
        ReleaseConnectionAtEnd(instance, s);
        instance->stations[s] = nullptr;
        delete station;
    }
    if (!instance->modemMode && CloseCom(request) != 0)
        KivErr(LOG_ERROR, "TRSLNK: EndDrv() Failed to close Comms port");

    uint16_t status = KivRmClient(instance->clientId);
    if (status != 0)
        KivErr(LOG_ERROR, "TRSLNK: EndDrv() Failed to remove Client!");
    KivErr(LOG_TRACE, "TRSLNK> EndDrv() exited, %d", static_cast<int>(status));
    // The online-tags thread ends once the host tells it that its client is gone.
    JoinOnlineTagsThread(instance, status == 0);

    PlatformCloseNamedMutex(instance->busMutex);
    instance->busMutex = nullptr;
    return 0;
}
