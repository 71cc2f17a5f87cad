#include "link/Exchange.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "entry/KivRun.h"
#include "link/Station.h"

namespace {

/* The telegram must leave room for the checksum character and the CR behind it. */
constexpr size_t TX_PAYLOAD_LIMIT = TX_BUFFER_SIZE - 2;

/* A secondary station holds the line in transparent mode: another station must be
 * logged on again before it hears its telegram. */
uint32_t LogOnForTransparentMode(StationExchange *exchange)
{
    DriverInstance *instance = exchange->cycle.instance;
    const uint32_t station = exchange->cycle.station;
    if (instance->transparentMode == 0 || instance->loggedOnStation == station)
        return 0;
    int32_t identity = 0;
    const uint32_t logOn = InitStation(instance, static_cast<uint8_t>(station), &identity);
    if (StationRecord *record = StationOf(instance, station))
        record->loggedOn = logOn == 0 ? 1 : 0;
    if (logOn != 0)
        KivErr(LOG_ERROR, "%s", exchange->kind->transparentFailed);
    return logOn;
}

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

bool AppendText(char *buffer, size_t *length, const char *text, size_t count)
{
    const size_t room = TX_PAYLOAD_LIMIT + 1 - *length;
    if (count >= room) {
        buffer[*length] = '\0';
        return false;
    }
    memcpy(buffer + *length, text, count);
    *length += count;
    buffer[*length] = '\0';
    return true;
}

size_t FormatUnsigned(char *out, uint32_t value)
{
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; i++)
        out[i] = digits[n - 1 - i];
    return n;
}

uint32_t RunStationExchange(RequestBlock *request, const ExchangeKind *kind, const char *gas, void *context, char *payload,
                            char *reply)
{
    DriverInstance *instance = InstanceOf(request);
    StationExchange exchange{};
    exchange.request = request;
    exchange.gas = gas;
    exchange.kind = kind;
    exchange.cycle.instance = instance;
    exchange.cycle.station = GateOf(request)->address.station;
    exchange.cycle.payload = payload ? payload : instance->txBuffer;
    exchange.cycle.reply = reply ? reply : instance->rxBuffer;
    exchange.cycle.maxLength = kind->replyLimit;
    exchange.cycle.context = context;
    exchange.cycle.hooks = kind->hooks;

    // An undeclared station (or a number beyond the table) must not be logged on in
    // place of another one.
    const uint32_t station = exchange.cycle.station;
    if (kind->undeclaredOperation && !StationOf(instance, station)) {
        KivErr(LOG_ERROR, "TRSLNK> %s() Tag '%s' station %u not defined", kind->undeclaredOperation, gas, station);
        return 1;
    }
    // An exchange must never run unserialised: without the bus nothing is sent.
    if (ReqSem(instance) != 0)
        return 2;
    uint32_t result = kind->transparentFailed ? LogOnForTransparentMode(&exchange) : 0;
    if (result == 0) {
        if (kind->copyHostRequest)
            instance->hostRequestActive = request->hostRequest;
        if (kind->build)
            result = kind->build(&exchange);
        if (result == 0)
            result = RunRequestCycle(&exchange.cycle);
    }
    RelSem(instance);
    return result;
}

bool CheckStatusReply(const char *reply, const StatusLines *lines, int attempt, const char *gas)
{
    if (!ReplyHasStatut(reply)) {
        KivErr(LOG_ERROR, lines->missing, attempt, gas);
        return false;
    }
    uint32_t status = 0;
    if (!ReadStatut(reply, &status)) {
        KivErr(LOG_ERROR, lines->unreadable, attempt, gas);
        return false;
    }
    if (status != 0) {
        KivErr(LOG_ERROR, lines->refused, WitStatusText(status), lines->refusedCountsDown ? 4 - attempt : attempt, gas);
        return false;
    }
    return true;
}
