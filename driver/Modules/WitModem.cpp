// Modem connections: the thread that keeps the M_ONLINE gates current, switching the
// host's sampling of a station off, and ending a station's connection.
#include "Modules/WitModem.h"

#include <stdio.h>
#include <string.h>

#include "Modules/GateStore.h"
#include "address/Address.h"
#include "entry/DialX.h"
#include "entry/Entry.h"
#include "entry/KivRun.h"
#include "link/Station.h"
#include "link/Telegram.h"
#include "link/Transport.h"
#include "platform/Platform.h"

namespace {

const uint8_t kNeverWritten = 100; /* no on-line state has this value */
const uint32_t kStartDelayMs = 10000;
const uint32_t kPassPauseMs = 250;
const uint32_t kClosingPauseMs = 1000;
const uint32_t kSamplingOffPauseMs = 2000;

/* True when the gate of this definition is a data gate of station `station` of this
 * instance. Journal and modem gates keep their sampling. */
bool IsStationDataGate(const DriverInstance *instance, const unsigned char *definition, uint32_t station)
{
    if (definition[KIV_GATEDEF_SOURCE] != 1)
        return false;
    if (GateDefWord(definition, KIV_GATEDEF_DRIVER) != instance->drvNumber - 1)
        return false;
    char address[KIV_GATEDEF_ADDRESS_SIZE + 1];
    GateDefText(definition, KIV_GATEDEF_ADDRESS, KIV_GATEDEF_ADDRESS_SIZE, address, sizeof address);
    unsigned number = 0;
    if (sscanf(address, "%3u", &number) != 1 || number != station)
        return false;
    char kind = strlen(address) > 3 ? address[3] : 0;
    return kind == 0 || strchr("JjMm", kind) == nullptr;
}

uint16_t ConnRefOf(const DriverInstance *instance, uint32_t station)
{
    const StationRecord *record = station < MAX_STATIONS ? instance->stations[station].load() : nullptr;
    return record ? record->connRef.load() : static_cast<uint16_t>(DIALX_NO_CONNECTION);
}

/* The pool reports the connection of a station broken: the station is no longer
 * connected, its reference goes back to the pool, and during a host request the
 * emergency disconnection follows. */
void ConnectionBroken(DriverInstance *instance, uint32_t station)
{
    StationRecord *record = StationOf(instance, station);
    if (record) {
        uint16_t broken = record->connRef.exchange(DIALX_NO_CONNECTION);
        record->onlineState = 0;
        // The station no longer names the connection, so nothing else would ever give
        // its reference back to the pool: release it here, whoever made the exchange.
        if (broken != DIALX_NO_CONNECTION)
            (void)DIALX_Disconnect(broken);
    }
    if (instance->hostRequestActive.load() == 1)
        EmergencyDisconnect(instance, station);
}

uint32_t ModemSend(DriverInstance *instance, uint32_t station, const char *bytes, uint32_t count)
{
    uint16_t connRef = ConnRefOf(instance, station);
    (void)DIALX_Flush(connRef);
    int32_t rc = DIALX_Send(connRef, bytes, count);
    if (rc == DIALX_OK)
        return LINK_OK;
    KivErr(LOG_TRACE, "TRSLNK> Send() error send: DIALX_Send() %s", ModemErrorText(rc));
    if (rc == DIALX_WRITING_ERROR)
        return LINK_FAILED;
    if (rc == DIALX_CONN_BROKEN)
        ConnectionBroken(instance, station);
    return LINK_BROKEN;
}

uint32_t ModemReceiveByte(DriverInstance *instance, uint32_t station, char *byte)
{
    uint32_t received = 0;
    int32_t rc = DIALX_Receive(ConnRefOf(instance, station), byte, 1, &received);
    if (rc != DIALX_OK)
        return static_cast<uint32_t>(rc);
    // Success without the byte: no byte came within the connection's time.
    return received == 1 ? 0 : static_cast<uint32_t>(DIALX_CONNECTION_TIMEOUT);
}

uint32_t ModemReceiveFailed(DriverInstance *instance, uint32_t station, uint32_t code, uint32_t count)
{
    KivErr(LOG_ERROR, "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: %s, (%u read)",
           ModemErrorText(static_cast<int32_t>(code)), count);
    if (code == DIALX_CONN_BROKEN)
        ConnectionBroken(instance, station);
    return LINK_BROKEN;
}

/* A connection carries nothing stale between calls: the pool flushes before each send. */
void ModemPurge(DriverInstance *) {}

bool ModemReachable(const DriverInstance *instance, uint32_t station)
{
    return StationConnected(instance, station);
}

} // namespace

const Transport kModemTransport = {ModemSend, ModemReceiveByte, ModemReceiveFailed, ModemPurge, ModemReachable};

void ModemGateToStation(const DriverInstance *instance, GateRequest *gate)
{
    GateAddress &address = gate->address;
    if (instance->modemMode && MemTypeFirst(address.memoryType) == 'M' && address.station >= MODEM_GATE_STATION_OFFSET)
        address.station -= MODEM_GATE_STATION_OFFSET;
}

bool StationConnected(const DriverInstance *instance, uint32_t station)
{
    return ConnRefOf(instance, station) != DIALX_NO_CONNECTION;
}

void OnlineTagsPass(DriverInstance *instance, uint8_t lastWritten[MAX_STATIONS])
{
    for (uint32_t s = 0; s < MAX_STATIONS; s++) {
        if (instance->stopping.load())
            return;
        /* One load per step: the record must not be fetched again after the check. */
        StationRecord *station = StationOf(instance, s);
        if (!station)
            continue;
        char gas[16];
        snprintf(gas, sizeof gas, "%03uM_ONLINE", s);
        uint32_t gateId = 0;
        if (KivGetGateIdByAddressStr(instance->clientId, static_cast<uint8_t>(instance->drvNumber), gas, &gateId) !=
            KIV_OK)
            continue;
        uint16_t state = station->onlineState.load();
        if (lastWritten[s] == state)
            continue;
        PutGateValue(instance, gas, static_cast<uint32_t>(state) << 16, static_cast<uint32_t>(PlatformWallClock()));
        /* Remembered even when the store failed: a failed store waits for the next change. */
        lastWritten[s] = static_cast<uint8_t>(state);
    }
}

void UpdateOnlineTagsThread(void *arg)
{
    DriverInstance *instance = static_cast<DriverInstance *>(arg);
    int drv = static_cast<int>(instance->drvNumber);
    KivErr(LOG_ERROR, "TrsLNK: DRV %d Starting UpdateOnlineTagsThread()...", drv);
    // An instance that ends during the start delay never starts its passes.
    const bool started = !PlatformSleepUnlessStopped(kStartDelayMs, &instance->stopping);
    uint8_t lastWritten[MAX_STATIONS];
    if (started) {
        KivErr(LOG_ERROR, "TrsLNK: DRV %d UpdateOnlineTagsThread() started", drv);
        memset(lastWritten, kNeverWritten, sizeof lastWritten);
    }
    // The thread lives until the host client is gone, as the host tells through its
    // wait; once EndDrv has begun it only waits, and touches no station record.
    for (;;) {
        if (instance->onlineForceStop.load())
            break;
        char message[KIV_MESSAGE_SIZE];
        /* Status 0: the host client is gone. */
        if (KivWaitMsg(instance->clientId, message, 1) == 0)
            break;
        if (!started || instance->stopping.load()) {
            PlatformSleepUnlessStopped(kPassPauseMs, &instance->onlineForceStop);
            continue;
        }
        if (PlatformSleepUnlessStopped(kPassPauseMs, &instance->stopping))
            continue;
        instance->onlinePass.store(1);
        if (!instance->stopping.load())
            OnlineTagsPass(instance, lastWritten);
        instance->onlinePass.store(0);
    }
    PlatformSleepUnlessStopped(kClosingPauseMs, &instance->onlineForceStop);
    KivErr(LOG_ERROR, "TrsLNK: DRV %d Closing UpdateOnlineTagsThread()", drv);
    instance->onlineDone.store(1);
}

int StartOnlineTagsThread(DriverInstance *instance)
{
    instance->onlineThread = nullptr;
    instance->onlinePass = 0;
    instance->onlineForceStop = 0;
    instance->onlineDone = 0;
    return PlatformStartThread(UpdateOnlineTagsThread, instance, WORKER_STACK_SIZE, &instance->onlineThread);
}

void StopOnlineTagsThread(DriverInstance *instance)
{
    // With `stopping` seen first, a pass that begins later finds it set and does nothing.
    instance->stopping.store(1);
    while (instance->onlinePass.load() != 0)
        PlatformSleepUnlessStopped(1, nullptr);
}

void JoinOnlineTagsThread(DriverInstance *instance, bool clientRemoved)
{
    PlatformThread *thread = instance->onlineThread;
    if (!thread)
        return;
    // A host that keeps answering the wait must not keep EndDrv here for ever.
    const uint32_t kGraceMs = 5000;
    if (clientRemoved) {
        for (uint32_t waited = 0; waited < kGraceMs && instance->onlineDone.load() == 0; waited += 10)
            PlatformSleepUnlessStopped(10, nullptr);
    }
    instance->onlineForceStop.store(1);
    instance->onlineThread = nullptr;
    PlatformJoinThread(thread);
}

void DisableSampling(DriverInstance *instance, uint32_t station)
{
    uint8_t client = instance->clientId;
    uint32_t count = 0, unused1 = 0, unused2 = 0, unused3 = 0;
    uint16_t rc = KivGetGateCount(client, &count, &unused1, &unused2, &unused3);
    if (rc != KIV_OK) {
        KivErr(LOG_TRACE, "TRSLNK> DisableSampling() GetGateCount() rc%u", rc);
        return;
    }
    KivErr(LOG_ERROR, "TRSLNK: DisableSampling() for Plc (%d)", static_cast<int>(station));

    unsigned char definition[KIV_GATEDEF_SIZE];
    memset(definition, 0, sizeof definition);
    char name[KIV_GATEDEF_NAME_SIZE + 1];
    bool matched = false;
    for (uint32_t id = 0; id < count; id++) {
        rc = KivGetGateDef(client, id, definition);
        if (rc == KIV_NO_GATE)
            continue;
        GateDefText(definition, KIV_GATEDEF_NAME, KIV_GATEDEF_NAME_SIZE, name, sizeof name);
        if (rc != KIV_OK) {
            KivErr(LOG_TRACE, "TRSLNK> DisableSampling() GetGateDef('%s') rc%u", name, rc);
            continue;
        }
        if (!IsStationDataGate(instance, definition, station))
            continue;
        rc = KivSetGateFlag(client, id, KIV_FLAG_NO_SAMPLING, 0);
        if (rc != KIV_OK)
            KivErr(LOG_TRACE, "TRSLNK> DisableSampling() SetGateFlag('%s') rc%u", name, rc);
        matched = true;
    }
    /* Lets a sampling read that the host had already begun finish before the caller goes on. */
    if (matched)
        PlatformSleepMs(kSamplingOffPauseMs);
}

void EmergencyDisconnect(DriverInstance *instance, uint32_t station)
{
    DisableSampling(instance, station);
    instance->hostRequestActive.store(0);
    StationRecord *record = StationOf(instance, station);
    if (record) {
        /* The telegram layer has already marked the station, so this releases what the
         * record holds now. */
        int32_t rc = DIALX_Disconnect(record->connRef.load());
        record->connRef.store(DIALX_NO_CONNECTION);
        record->onlineState.store(0);
        record->loggedOn.store(0);
        if (rc != DIALX_OK)
            KivErr(LOG_TRACE, "TRSLNK> EmergencyDisconnect() error DIALX_Disconnect() %s", ModemErrorText(rc));
    }
    char text[64];
    snprintf(text, sizeof text, "TRSLNK%02u %03u:modem connection with plc broken", instance->drvNumber, station);
    NotifyOperator(instance, text);
}

uint32_t DisconnectModem(DriverInstance *instance, uint32_t station)
{
    DisableSampling(instance, station);
    StationRecord *record = StationOf(instance, station);
    if (!record || record->connRef.load() == DIALX_NO_CONNECTION) {
        KivErr(LOG_TRACE, "TRSLNK> DisconnectModem() error, station %03u was not connected on-line", station);
        return 1;
    }
    if (record->secondary)
        LeaveTransparentMode(instance, station, "TRSLNK: DisconnectModem() Failed to send ETX to secondary station");
    int32_t rc = DIALX_Disconnect(record->connRef.load());
    record->connRef.store(DIALX_NO_CONNECTION);
    record->onlineState.store(0);
    record->loggedOn.store(0);
    if (rc != DIALX_OK) {
        KivErr(LOG_TRACE, "TRSLNK> error DIALX_Disconnect() %s", ModemErrorText(rc));
        return 1;
    }
    char gas[16];
    snprintf(gas, sizeof gas, "%03uM_ONLINE", station);
    PutGateValue(instance, gas, 0, static_cast<uint32_t>(PlatformWallClock()));
    return 0;
}

void ReleaseConnectionAtEnd(DriverInstance *instance, uint32_t station)
{
    StationRecord *record = StationOf(instance, station);
    const uint16_t connRef = record ? record->connRef.exchange(DIALX_NO_CONNECTION) : DIALX_NO_CONNECTION;
    if (connRef == DIALX_NO_CONNECTION)
        return;
    const int32_t status = DIALX_Disconnect(connRef);
    if (status != DIALX_OK)
        KivErr(LOG_TRACE, "TRSLNK> EndDrv() DIALX_Disconnect(%u), %s", connRef, ModemErrorText(status));
}
