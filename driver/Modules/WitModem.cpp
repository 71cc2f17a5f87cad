// Modem connections: the modem transport, calls out and alarm calls in, the thread that
// keeps the M_ONLINE gates current, switching the host's sampling of a station off, and
// ending a station's connection. The only place that writes a station's connRef.
#include "Modules/WitModem.h"

#include <stdio.h>
#include <string.h>

#include "Modules/CurrentStates.h"
#include "Modules/GateStore.h"
#include "Modules/WitRead.h"
#include "address/Address.h"
#include "entry/DialX.h"
#include "entry/Entry.h"
#include "entry/KivRun.h"
#include "history/History.h"
#include "journal/Journal.h"
#include "link/Clock.h"
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
        PlatformSleepUnlessStopped(kSamplingOffPauseMs, &instance->stopping);
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

// Modem calls: an outgoing call to a station by its dial reference (M_CONNECT, M_READ_ALL,
// M_TIMESTAMP, M_SAMPLE), and the answer to an alarm call that a station placed. Every
// connection logs the station on, checks its identity, may set its clock, and starts the
// reading that its command asks for.
namespace {

constexpr uint32_t JOURNAL_POLL_MS = 5;
constexpr size_t NOTICE_SIZE = 64;

void Notify(DriverInstance *instance, uint32_t station, const char *what)
{
    char text[NOTICE_SIZE];
    snprintf(text, sizeof text, "TRSLNK%02u %03u: %s", instance->drvNumber, station, what);
    NotifyOperator(instance, text);
}

/* CLOCK_SYNC = MODEM: the time first, then the date; the gate keeps its memory type. The
 * result is that of the date setting. */
uint32_t SynchroniseClock(RequestBlock *request, const char *operation, const char *gas)
{
    GateRequest *gate = GateOf(request);
    const uint32_t memoryType = gate->address.memoryType;
    gate->address.memoryType = MT_TM;
    if (WriteWStationDateTime(request) != 0)
        KivErr(LOG_TRACE, "TRSLNK> %s() synchronisation of time failed, '%s'", operation, gas);
    gate->address.memoryType = MT_DT;
    const uint32_t result = WriteWStationDateTime(request);
    if (result != 0)
        KivErr(LOG_TRACE, "TRSLNK> %s() synchronisation of date failed, '%s'", operation, gas);
    gate->address.memoryType = memoryType;
    return result;
}

/* Logs the station on over its new connection and checks that it is the station called.
 * 0, or 1 after the connection was ended (every line logged). */
uint32_t LogOnCaller(DriverInstance *instance, uint32_t station, const char *gas, bool outgoing)
{
    StationRecord *record = StationOf(instance, station);
    int32_t identity = 0;
    const uint32_t logOn = InitStation(instance, static_cast<uint8_t>(station), &identity);
    if (logOn != 0) {
        if (outgoing) {
            KivErr(LOG_ERROR, "TRSLNK: ConnectModem() InitStation() failed");
            KivErr(LOG_ERROR, "TRSLNK> ConnectModem() error DIALX_Connect() %s", ModemErrorText(static_cast<int32_t>(logOn)));
        } else {
            Notify(instance, station, "ALARMCALL init. comm. failed");
            KivErr(LOG_ERROR, "TRSLNK> AnswerAlarmCall() error DIALX_Connect() %s",
                   ModemErrorText(static_cast<int32_t>(logOn)));
            KivErr(LOG_ERROR, "TRSLNK: AnswerAlarmCall() InitStation() failed");
        }
        DisconnectModem(instance, station);
        return 1;
    }
    record->loggedOn = 1;
    if ((static_cast<uint32_t>(identity) & 0xFF) != station) {
        if (outgoing)
            KivErr(LOG_TRACE, "TRSLNK> ConnectModem() different station address (in station identity) (%u, %u) '%s'", station,
                   static_cast<unsigned>(identity), gas);
        else
            KivErr(LOG_ERROR, "TRSLNK> AnswerAlarmCall() different station address (in station identity) (%u, %u) '%s'",
                   station, static_cast<unsigned>(identity), gas);
        DisconnectModem(instance, station);
        return 1;
    }
    return 0;
}

/* The reading that follows a connection: 3 (already running) becomes 1 and keeps the
 * connection, a reading that did not start ends it. */
uint32_t FollowUp(DriverInstance *instance, uint32_t station, uint32_t started, const char *failedLine)
{
    if (started == 1) {
        KivErr(LOG_ERROR, "%s", failedLine);
        DisconnectModem(instance, station);
    }
    return started == 0 ? 0 : 1;
}

} // namespace

uint32_t ConnectModem(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    const uint32_t station = gate->address.station;
    const uint32_t memoryType = gate->address.memoryType;
    const uint16_t dialRef = GetValue16(gate->value, SINGLE_16_OFFSET);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    StationRecord *record = StationOf(instance, station);
    if (!record)
        return 1; /* the parser accepts no modem gate of an undeclared station */

    // While the call is made the station counts as connected, so a second command (from
    // any thread) is refused.
    uint16_t idle = DIALX_NO_CONNECTION;
    if (!record->connRef.compare_exchange_strong(idle, static_cast<uint16_t>(dialRef & 0xFF))) {
        KivErr(LOG_ERROR, "TRSLNK> ConnectModem() error, station %03u is already connected on-line", station);
        return 1;
    }
    uint16_t connection = DIALX_NO_CONNECTION;
    const int32_t rc = DIALX_Connect(dialRef, instance->comTimeout.load(), &connection);
    if (rc != DIALX_OK) {
        Notify(instance, station, "OUTCALL connection failed");
        KivErr(LOG_TRACE, "TRSLNK> ConnectModem() error DIALX_Connect() %s", ModemErrorText(rc));
        record->connRef = DIALX_NO_CONNECTION;
        record->onlineState = 0;
        return 1;
    }
    record->connRef = static_cast<uint16_t>(connection & 0xFF);
    if (LogOnCaller(instance, station, gas, true) != 0)
        return 1;
    record->onlineState = 1;

    uint32_t result = 0;
    if (instance->clockSync == 2)
        result = SynchroniseClock(request, "ConnectModem", gas);
    switch (memoryType) {
    case MT_MC:
        DisableSampling(instance, station);
        return FollowUp(instance, station, StartReadAllData(request, 0), "TRSLNK: ConnectModem() StartReadAllData() failed (MC)");
    case MT_MA:
        DisableSampling(instance, station);
        return FollowUp(instance, station, StartReadAllData(request, 1), "TRSLNK: ConnectModem() StartReadAllData() failed (MA)");
    case MT_MT:
        return FollowUp(instance, station, StartReadJournal(request, 1), "TRSLNK: ConnectModem() StartReadJournal() failed (MT)");
    default: /* M_SAMPLE: connected, nothing read */
        return result;
    }
}

uint32_t AnswerAlarmCall(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    GateRequest *gate = GateOf(request);
    const uint32_t station = gate->address.station;
    const uint16_t incoming = GetValue16(gate->value, SINGLE_16_OFFSET);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);
    StationRecord *record = StationOf(instance, station);
    if (!record) {
        // Nothing of the instance is touched; the pool's connection is given back so that
        // a call from an unknown station does not hold a line.
        KivErr(LOG_TRACE, "TRSLNK> AnswerAlarmCall() station %03u not declared, call %u released", station, incoming);
        (void)DIALX_Disconnect(incoming);
        return 1;
    }
    uint16_t idle = DIALX_NO_CONNECTION;
    if (!record->connRef.compare_exchange_strong(idle, static_cast<uint16_t>(incoming & 0xFF))) {
        KivErr(LOG_ERROR, "TRSLNK> AnswerAlarmCall() error, station %03u is already connected on-line", station);
        Notify(instance, station, "ALARMCALL station already connected!");
        if ((incoming & 0xFF) != idle)
            (void)DIALX_Disconnect(incoming); /* the second call; the station's connection stays */
        return 1;
    }
    (void)DIALX_Timeout(record->connRef.load(), instance->comTimeout.load());
    if (LogOnCaller(instance, station, gas, false) != 0)
        return 1;
    if (instance->clockSync == 2)
        (void)SynchroniseClock(request, "AnswerAlarmCall", gas);

    record->incomingCall = 1;
    record->onlineState = 255;
    const uint32_t started = StartReadJournal(request, 0);
    uint32_t result = FollowUp(instance, station, started, "TRSLNK: AnswerAlarmCall() StartReadJournal() failed. Disconnecting Modem");
    if (started == 0) {
        // The host's call waits for the whole journal; the bus stays free meanwhile.
        while (record->journalBusy.load() != 0 && !instance->stopping.load())
            PlatformSleepMs(JOURNAL_POLL_MS);
        PlatformSleepMs(JOURNAL_POLL_MS);
    }
    if (instance->stopping.load()) {
        // The instance ends under the call: its journal was not read to the end.
        KivErr(LOG_TRACE, "TRSLNK> AnswerAlarmCall() driver ending, call of station %03u abandoned", station);
        record->incomingCall = 0;
        return 1;
    }
    if (result == 0) {
        if (instance->readStatus)
            result = FollowUp(instance, station, StartReadingCurrentStates(request, 1),
                              "TRSLNK: AnswerAlarmCall() StartReadingCurrentStates() failed");
        else
            DisconnectModem(instance, station);
    }
    record->incomingCall = 0;
    return result == 0 ? 0 : 1;
}
