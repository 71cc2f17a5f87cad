// Station log-on: wake the link up, open the transparent channel of a secondary station,
// ask for the identity and log on with the access code.
#include "link/Station.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "entry/KivRun.h"
#include "link/Exchange.h"
#include "link/Telegram.h"
#include "link/Transport.h"
#include "platform/Platform.h"

namespace {

enum {
    LOGON_ATTEMPTS = 4,
    LOGON_REPLY_SIZE = 10000,
    WAKE_UP_SLEEP_MS = 1000,
    STX_SLEEP_MS = 500,
    WORD_SIZE = 100
};

const char STX = 0x02;
const char ETX = 0x03;
const char ESC = 0x1B;

const StatusLines kAccessStatusLines = {
    "TRSLNK> InitStation() illegal answer on access code, 'STATUT' missing, retry %d",
    "TRSLNK> InitStation() error reading status info in reply on access code, retry %d",
    "TRSLNK> InitStation() error, Wit status message '%s' in reply on access code, retry %d",
    true,
};

/* A failed receive counts as a wrong answer, unless the attempt before also ended with a
 * link failure. */
uint32_t ReceiveResult(uint32_t rc, uint32_t previous)
{
    return rc == LINK_BROKEN && previous != LINK_BROKEN ? static_cast<uint32_t>(LINK_FAILED) : rc;
}

/* One log-on attempt; the reply buffer holds LOGON_REPLY_SIZE bytes. */
uint32_t LogOnAttempt(DriverInstance *instance, uint8_t station, const StationRecord *record, int attempt,
                      uint32_t previous, char *reply, int32_t *identityOut)
{
    TransportOf(instance)->purge(instance);

    char wakeUp[8];
    int wakeUpLength = snprintf(wakeUp, sizeof wakeUp, "%c%cW06%c", ETX, ESC, ETX);
    (void)Send(wakeUp, static_cast<uint32_t>(wakeUpLength), instance, station);
    if (PlatformSleepUnlessStopped(WAKE_UP_SLEEP_MS, &instance->stopping))
        return LINK_BROKEN; /* the instance ends */

    if (record->secondary) {
        (void)Send(&STX, 1, instance, station);
        PlatformSleepUnlessStopped(STX_SLEEP_MS, &instance->stopping);
    }

    // Name (64), TAB, "ACCES", TAB, code (8), TAB, and the two bytes of the frame.
    char telegram[STATION_NAME_SIZE + ACCESS_CODE_SIZE + 16];
    int length = snprintf(telegram, sizeof telegram - 2, "IDENT?%c", '\t');
    uint32_t rc = SendTelegram(telegram, static_cast<uint32_t>(length), instance, station);
    if (rc != LINK_OK) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() Station %d error sending 'IDENT?', retry %d", station, attempt);
        return rc;
    }
    uint32_t replyLength = 0;
    rc = ReceiveMsg(reply, &replyLength, instance, station, LOGON_REPLY_SIZE);
    if (rc != LINK_OK) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() Station %d error receiving reply on 'IDENT?' retry %d", station, attempt);
        return ReceiveResult(rc, previous);
    }
    uint32_t status = 0;
    if (ReadStatut(reply, &status)) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() error, Wit status message '%s' in reply, retry %d", WitStatusText(status),
               attempt);
        return LINK_FAILED;
    }
    char command[WORD_SIZE];
    char identity[WORD_SIZE];
    if (sscanf(reply, "%99s\t%99s\t", command, identity) != 2 || strcmp(command, "IDENT=") != 0) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() illegal answer, command missing, retry %d", attempt);
        return LINK_FAILED;
    }
    int number = 0;
    if (sscanf(identity, "%3d", &number) != 1)
        number = 0;
    if (identityOut)
        *identityOut = number;
    if ((number & 0xFF) == 0) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() Invalid station ID (%s). retry %d", identity, attempt);
        return LINK_FAILED;
    }

    length = snprintf(telegram, sizeof telegram - 2, "%s%sACCES\t%s\t", record->name, record->name[0] ? "\t" : "",
                      record->accessCode);
    rc = SendTelegram(telegram, static_cast<uint32_t>(length), instance, station);
    if (rc != LINK_OK) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() Station %d error sending Access Code. retry %d", station, attempt);
        return rc;
    }
    rc = ReceiveMsg(reply, &replyLength, instance, station, LOGON_REPLY_SIZE);
    if (rc != LINK_OK) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() Station %d error receiving reply on Access Code. retry %d", station,
               attempt);
        return ReceiveResult(rc, previous);
    }
    return CheckStatusReply(reply, &kAccessStatusLines, attempt, nullptr) ? LINK_OK : LINK_FAILED;
}

} // namespace

uint32_t InitStation(DriverInstance *instance, uint8_t station, int32_t *identityOut)
{
    (void)ReqSem(instance);
    StationRecord *record = StationOf(instance, station);
    if (!record) {
        KivErr(LOG_ERROR, "TRSLNK: InitStation() Station %d not defined", station);
        (void)RelSem(instance);
        return LINK_BROKEN;
    }
    // On the heap: a worker thread's stack is small.
    char *reply = static_cast<char *>(malloc(LOGON_REPLY_SIZE));
    if (!reply) {
        KivErr(LOG_ERROR, "TRSLNK> InitStation() Station %d out of memory", station);
        (void)RelSem(instance);
        return LINK_BROKEN;
    }
    uint32_t result = LINK_OK;
    for (int attempt = 0; attempt < LOGON_ATTEMPTS && !instance->stopping.load(); attempt++) {
        result = LogOnAttempt(instance, station, record, attempt, result, reply, identityOut);
        if (result == LINK_OK)
            break;
    }
    free(reply);
    if (result == LINK_OK) {
        instance->loggedOnStation = station;
        if (record->secondary)
            instance->transparentMode = 1;
    }
    (void)RelSem(instance);
    return result;
}

void LeaveTransparentMode(DriverInstance *instance, uint32_t station, const char *failedLine)
{
    // ETX closes the transparent channel of a secondary station before its line goes.
    if (Send(&ETX, 1, instance, station) != LINK_OK)
        KivErr(LOG_ERROR, "%s", failedLine);
    instance->transparentMode = 0;
}
