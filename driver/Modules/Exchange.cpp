#include "Modules/Exchange.h"

#include <stdarg.h>
#include <stdio.h>

#include "entry/KivRun.h"
#include "link/Station.h"
#include "link/Telegram.h"

namespace {

/* The telegram must leave room for the checksum character and the CR behind it. */
constexpr size_t TX_PAYLOAD_LIMIT = TX_BUFFER_SIZE - 2;

} // namespace

bool AppendFormat(char *buffer, size_t *length, const char *format, ...)
{
    const size_t room = TX_PAYLOAD_LIMIT + 1 - *length;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(buffer + *length, room, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        buffer[*length] = '\0';
        return false;
    }
    *length += static_cast<size_t>(n);
    return true;
}

uint32_t OpenStationExchange(RequestBlock *request, const char *gas, const char *operation,
                             const char *transparentFailed)
{
    DriverInstance *instance = InstanceOf(request);
    const uint32_t station = GateOf(request)->address.station;
    // An undeclared station (or a number beyond the table) must not be logged on in
    // place of another one.
    if (!StationOf(instance, station)) {
        KivErr(LOG_ERROR, "TRSLNK> %s() Tag '%s' station %u not defined", operation, gas, station);
        return 1;
    }
    // An exchange must never run unserialised: without the bus nothing is sent.
    if (ReqSem(instance) != 0)
        return 2;

    if (instance->transparentMode != 0 && instance->loggedOnStation != station) {
        int32_t identity = 0;
        const uint32_t logOn = InitStation(instance, static_cast<uint8_t>(station), &identity);
        if (StationRecord *record = StationOf(instance, station))
            record->loggedOn = logOn == 0 ? 1 : 0;
        if (logOn != 0) {
            KivErr(LOG_ERROR, "%s", transparentFailed);
            RelSem(instance);
            return logOn;
        }
    }
    return 0;
}
