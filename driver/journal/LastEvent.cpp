// The last-event file: section STATIONS, one key per station ("007"), the number of the
// last event stored.
#include <stdio.h>
#include <string.h>

#include "entry/KivRun.h"
#include "journal/Journal.h"
#include "platform/Platform.h"

namespace {

const char kSection[] = "STATIONS";
const char kMissing[] = "FAIL";
enum { READ_SIZE = 10 /* at most 9 characters are taken */ };

} // namespace

const char kLastEventFile[] = ".\\Last_Eve.ini";

uint32_t GetLastEventNo(uint16_t *eventNo, uint16_t station)
{
    char key[8];
    snprintf(key, sizeof key, "%03d", static_cast<int>(station));
    char text[READ_SIZE];
    PlatformGetProfileString(kSection, key, kMissing, text, sizeof text, kLastEventFile);
    if (strcmp(text, kMissing) == 0) {
        KivErr(LOG_ERROR, "TRSLNK: GetLastEventNo() Failed");
        return 0;
    }
    // Its leading decimal digits, taken as 16 bits; no digits give 0.
    uint32_t number = 0;
    for (const char *c = text; *c >= '0' && *c <= '9'; c++)
        number = number * 10 + static_cast<uint32_t>(*c - '0');
    *eventNo = static_cast<uint16_t>(number);
    return 1;
}

uint32_t StoreLastEventNo(uint16_t eventNo, uint16_t station)
{
    char key[8];
    char value[8];
    snprintf(key, sizeof key, "%03d", static_cast<int>(station));
    snprintf(value, sizeof value, "%d", static_cast<int>(eventNo));
    if (!PlatformWriteProfileString(kSection, key, value, kLastEventFile)) {
        KivErr(LOG_ERROR, "TRSLNK: StoreLastEventNo() Failed. Error %d", static_cast<int>(PlatformLastError()));
        return 0;
    }
    return 1;
}
