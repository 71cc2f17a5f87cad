// Telegram framing, the exchange of one telegram and its reply on the serial port or a
// multi-modem connection, the bus mutex, the status texts and the request cycle.
#include "link/Telegram.h"

#include <stdio.h>
#include <string.h>

#include "entry/KivRun.h"
#include "link/Station.h"
#include "link/Transport.h"
#include "platform/Platform.h"

namespace {

const char CR = '\r';

/* The shortest wait between two time-out lines of ReqSem, nominal ms. */
const uint32_t MIN_MUTEX_PERIOD_MS = 1000;

struct StatusEntry {
    uint32_t code;
    const char *text;
};

const StatusEntry kStatusTexts[] = {
    {0, "STATUS OK"},
    {1, "command without object"},
    {2, "system busy"},
    {128, "protocol error (unknown cmd?"},
    {129, "syntax error in command"},
    {130, "checksum error in cmd"},
    {131, "command (type) error"},
    {132, "access not allowed (invalid access code?)"},
    {133, "parameter error"},
    {134, "module type error"},
    {135, "access blocked"},
    {136, "syntax error"},
    {137, "'(' missing"},
    {138, "')' missing"},
    {139, "telegram too long"},
    {140, "unknown variable"},
    {141, "type error"},
    {142, "relational operator error"},
    {143, "type compatibility error"},
    {144, "token too long"},
    {145, "missing token error"},
    {146, "invalid token error"},
    {147, "empty token error"},
};

/* The text of a status outside the table: one per thread, so that threads never tear each
 * other's text, while on one thread the next such code still overwrites it. */
thread_local char tStatusText[32];

} // namespace

char TelegramChecksum(const char *payload, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < length; i++)
        sum += static_cast<unsigned char>(payload[i]);
    return static_cast<char>(0x40 + (64 - sum % 64) % 64);
}

uint32_t SendTelegram(char *payload, uint32_t length, DriverInstance *instance, uint32_t station)
{
    payload[length] = TelegramChecksum(payload, length);
    payload[length + 1] = CR;
    uint32_t rc = Send(payload, length + 2, instance, station);
    payload[length] = '\0';
    return rc;
}

uint32_t Send(const char *bytes, uint32_t count, DriverInstance *instance, uint32_t station)
{
    if (instance->ifg != 0)
        PlatformSleepMs(instance->ifg);
    return TransportOf(instance)->send(instance, station, bytes, count);
}

uint32_t ReceiveByte(char *buffer, DriverInstance *instance, uint32_t station)
{
    return TransportOf(instance)->receiveByte(instance, station, buffer);
}

uint32_t ReceiveMsg(char *buffer, uint32_t *lengthOut, DriverInstance *instance, uint32_t station, uint16_t maxLength)
{
    const Transport *transport = TransportOf(instance);
    const time_t deadline = PlatformDeadlineClock() + instance->comTimeout.load() / 98 + 2;
    uint32_t n = 0;
    if (lengthOut)
        *lengthOut = 0;
    // Never a byte beyond maxLength: a buffer of no byte reads nothing and overflows.
    while (n < maxLength) {
        uint32_t rc = instance->stopping.load() ? static_cast<uint32_t>(LINK_BROKEN)
                                                 : transport->receiveByte(instance, station, buffer + n);
        if (rc != 0) {
            if (lengthOut)
                *lengthOut = n;
            return transport->receiveFailed(instance, station, rc, n);
        }
        n++;
        if (buffer[n - 1] == CR || PlatformDeadlineClock() >= deadline)
            break;
    }
    if (PlatformDeadlineClock() >= deadline) {
        KivErr(LOG_ERROR, "TRSLNK> ReceiveMsg() time-out while reading message from controller (%u read)", n);
        return LINK_FAILED;
    }
    if (n >= maxLength) {
        KivErr(LOG_ERROR, "TRSLNK> ReceiveMsg() buffer overflow, reading message from controller");
        KivErr(LOG_ERROR, "TRSLNK> ReceiveMsg() Max. expected bytes: %d Bytes read: %d", maxLength, static_cast<int>(n));
        return LINK_FAILED;
    }
    // A CR alone has no checksum byte in front of it.
    if (n < 2) {
        KivErr(LOG_TRACE, "TRSLNK> ReceiveMsg() reply too short (%u read), reading message from controller", n);
        return LINK_FAILED;
    }
    char expected = TelegramChecksum(buffer, n - 2);
    if (expected != buffer[n - 2]) {
        KivErr(LOG_TRACE, "TRSLNK> ReceiveMsg() checksum error (%u,%u), reading message from controller",
               static_cast<unsigned char>(expected), static_cast<unsigned char>(buffer[n - 2]));
        return LINK_FAILED;
    }
    if (lengthOut)
        *lengthOut = n - 2;
    buffer[n - 2] = '\0';
    return LINK_OK;
}

uint32_t ReqSem(DriverInstance *instance)
{
    uint64_t period = static_cast<uint64_t>(instance->hostTimeoutMs) * 30;
    if (period < MIN_MUTEX_PERIOD_MS)
        period = MIN_MUTEX_PERIOD_MS;
    if (period > UINT32_MAX)
        period = UINT32_MAX;
    // The callers go on with their exchange whatever this returns, so a timed-out wait is
    // logged and waited out again: an exchange never runs without the mutex.
    for (;;) {
        int rc = PlatformWaitMutex(instance->busMutex, static_cast<uint32_t>(period));
        if (rc == MUTEX_ACQUIRED)
            return LINK_OK;
        if (rc != MUTEX_TIMEOUT) {
            KivErr(LOG_ERROR, "TRSLNK> ReqSem() ERROR requesting MUTEX semaphore %d",
                   static_cast<int>(PlatformLastError()));
            return LINK_BROKEN;
        }
        KivErr(LOG_ERROR, "TRSLNK> ReqSem() TIMEOUT requesting MUTEX semaphore");
        if (instance->stopping.load())
            return LINK_BROKEN;
    }
}

uint32_t RelSem(DriverInstance *instance)
{
    if (PlatformReleaseMutex(instance->busMutex) != 0) {
        KivErr(LOG_ERROR, "TRSLNK> RelSem() ERROR releasing MUTEX semaphore %d", static_cast<int>(PlatformLastError()));
        return LINK_BROKEN;
    }
    return LINK_OK;
}

const char *WitStatusText(uint32_t code)
{
    for (const StatusEntry &entry : kStatusTexts)
        if (entry.code == code)
            return entry.text;
    snprintf(tStatusText, sizeof tStatusText, "unknown status %u", code);
    return tStatusText;
}

bool ReplyHasStatut(const char *reply)
{
    return reply && strstr(reply, "STATUT") != nullptr;
}

bool ReadStatut(const char *reply, uint32_t *status)
{
    const char *at = reply ? strstr(reply, "STATUT") : nullptr;
    unsigned value = 0;
    if (!at || sscanf(at, "STATUT\t%3u", &value) != 1)
        return false;
    if (status)
        *status = value;
    return true;
}

uint32_t RunRequestCycle(RequestCycle *cycle)
{
    static const CycleHooks kNoHooks = {};
    const CycleHooks *hooks = cycle->hooks ? cycle->hooks : &kNoHooks;
    DriverInstance *instance = cycle->instance;
    uint32_t result = LINK_OK;
    for (int attempt = 0; attempt < 4; attempt++) {
        // The instance ends: no more attempts, the caller's exchange is over.
        if (instance->stopping.load())
            return LINK_BROKEN;
        const uint32_t previous = result;
        if (hooks->onAttempt)
            hooks->onAttempt(cycle, attempt);
        if (attempt == 2) {
            int32_t identity = 0;
            uint32_t logOn = InitStation(instance, static_cast<uint8_t>(cycle->station), &identity);
            StationRecord *record = StationOf(instance, cycle->station);
            if (record)
                record->loggedOn = logOn == 0 ? 1 : 0;
            if (logOn != 0) {
                if (hooks->onLogOnFailed)
                    hooks->onLogOnFailed(cycle);
                return LINK_BROKEN;
            }
        }
        result = SendTelegram(cycle->payload, cycle->payloadLength, instance, cycle->station);
        if (result != LINK_OK) {
            if (hooks->onSendFailed)
                hooks->onSendFailed(cycle, attempt);
            continue;
        }
        uint32_t length = 0;
        result = ReceiveMsg(cycle->reply, &length, instance, cycle->station, cycle->maxLength);
        if (result != LINK_OK) {
            if (result == LINK_BROKEN && previous != LINK_BROKEN)
                result = LINK_FAILED;
            if (hooks->onReceiveFailed)
                hooks->onReceiveFailed(cycle, attempt);
            continue;
        }
        uint32_t good = LINK_OK;
        if (!hooks->checkReply || hooks->checkReply(cycle, attempt, length, &good) == CYCLE_REPLY_GOOD)
            return good;
        result = LINK_FAILED;
    }
    return result;
}
