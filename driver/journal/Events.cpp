// Event storing: one event record of the journal becomes the new state of its resource
// gate, time-stamped with the event's own time.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Modules/WitRead.h"
#include "address/Address.h"
#include "entry/KivRun.h"
#include "journal/Journal.h"
#include "link/Clock.h"

namespace {

/* The record's fields, read with their widths: texts of at most 999 and 99 characters. */
struct EventRecord {
    unsigned number, year, month, day, hour, minute, second, code;
    char word1[1000];
    unsigned resource;
    char word2[1000];
    char mark;
    char state[100];
    char word3[100];
    char word4[100];
};

/* The first four characters of the reply ("J=" and two more) are not part of the record. */
constexpr size_t RECORD_OFFSET = 4;
constexpr int RECORD_FIELDS = 15;

void Replace(char *text, char from, char to)
{
    for (char *c = text; *c; c++)
        if (*c == from)
            *c = to;
}

/* Looks a gate up by address; false when the host has none (any status but 0). */
bool FindGate(const DriverInstance *instance, const RequestBlock *request, const char *gas, uint32_t *gateId)
{
    return KivGetGateIdByAddressStr(instance->clientId, static_cast<uint8_t>(request->drvNumber), gas, gateId) == KIV_OK;
}

/* Cooks a raw value and puts it with the event's time; false when the put fails. */
bool PutCooked(const DriverInstance *instance, uint32_t gateId, uint32_t raw, uint32_t time)
{
    double cooked = 0;
    (void)KivCook(instance->clientId, gateId, raw, &cooked); /* a failed cooking is not reported */
    return KivPutGateVal(instance->clientId, gateId, 2, cooked, time, 0) == KIV_OK;
}

void StoreAnalog(const DriverInstance *instance, const RequestBlock *request, uint32_t station, const EventRecord &event,
                 uint32_t time)
{
    float value = 0;
    (void)ParseFloatAfterColon(event.state, &value);
    char gas[16];
    snprintf(gas, sizeof gas, "%03uRA%03u", station, event.resource);
    uint32_t gateId = 0;
    if (!FindGate(instance, request, gas, &gateId)) {
        KivErr(LOG_ERROR, "TRSLNK> StoreEventData() Station (%d) Event# %d resource Tag '%s' not found",
               static_cast<int>(station), static_cast<int>(event.number), gas);
        return;
    }
    uint32_t raw = 0;
    memcpy(&raw, &value, sizeof raw);
    if (!PutCooked(instance, gateId, raw, time))
        KivErr(LOG_ERROR, "TRSLNK> StoreEventData() resource ERROR, Kiv5PutGateVal('%s') failed", gas);
}

void StoreDigitalOrText(const DriverInstance *instance, const RequestBlock *request, uint32_t station,
                        const EventRecord &event, uint32_t time)
{
    char digital[16];
    char text[16];
    snprintf(digital, sizeof digital, "%03uRD%03u", station, event.resource);
    snprintf(text, sizeof text, "%03uSR%03u", station, event.resource);
    uint32_t gateId = 0;
    if (!FindGate(instance, request, digital, &gateId)) {
        if (!FindGate(instance, request, text, &gateId)) {
            KivErr(LOG_ERROR, "TRSLNK> StoreEventData() Station (%d) Event# %d Digital (%s) and String (%s) resource tags not found!",
                   static_cast<int>(station), static_cast<int>(event.number), digital, text);
            return;
        }
        if (KivPutGateStr(instance->clientId, gateId, 2, event.state, time, 0) != KIV_OK)
            KivErr(LOG_ERROR, "TRSLNK> StoreEventData() resource ERROR, Kiv5PutGateVal('%s') failed", text);
        return;
    }
    // The state is the text's leading number: 0 or 1, written with a leading '0' or '1'.
    // A number beyond 16 bits is refused whole, not cut into another state.
    const long number = strtol(event.state, nullptr, 10);
    const int16_t state = static_cast<int16_t>(number);
    if ((event.state[0] != '0' && event.state[0] != '1') || number > 1) {
        KivErr(LOG_ERROR, "TRSLNK> StoreEventData() Station '%d' Event %d Resource %d invalid state '%s'",
               static_cast<int>(station), static_cast<int>(event.number), static_cast<int>(event.resource), event.state);
        return;
    }
    const uint32_t raw = static_cast<uint32_t>(static_cast<uint16_t>(state)) << 16; /* bytes 2 and 3 */
    if (!PutCooked(instance, gateId, raw, time))
        KivErr(LOG_ERROR, "TRSLNK> StoreEventData() resource ERROR, Kiv5PutGateVal('%s') failed", digital);
}

} // namespace

uint32_t StoreEventData(RequestBlock *request, char *reply, uint32_t first)
{
    DriverInstance *instance = InstanceOf(request);
    const GateRequest *gate = GateOf(request);
    const uint32_t station = gate->address.station;
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, gate->gas);

    // Blanks become '_' so that a text with blanks reads as one word.
    Replace(reply, ' ', '_');
    EventRecord event{};
    int read = 0;
    if (station < MAX_STATIONS && strnlen(reply, RECORD_OFFSET) == RECORD_OFFSET)
        read = sscanf(reply + RECORD_OFFSET, "%4u\t%4u%2u%2u%2u%2u%2u\t%4u\t%999s\t%3u\t%999s\t%c\t%99s\t%99s\t%99s",
                      &event.number, &event.year, &event.month, &event.day, &event.hour, &event.minute, &event.second,
                      &event.code, event.word1, &event.resource, event.word2, &event.mark, event.state, event.word3,
                      event.word4);
    // "%4u" also takes a sign: "-001" would read as 4294967295 and name event 65535 next.
    if (read >= RECORD_FIELDS && event.number > 9999)
        read = 0;
    if (read < RECORD_FIELDS) {
        KivErr(LOG_ERROR, "TRSLNK> StoreEventData() error in event data, Tag '%s'", gas);
        return 0;
    }
    KivErr(LOG_PROGRESS, "TRSLNK: StoreEventData() storing data from station %d event #%03d", static_cast<int>(station),
           static_cast<int>(event.number));

    // The request after this one names the event stored last and gets the one that
    // follows it. After 9999 that is event 1: naming 1 instead would skip it.
    instance->lastEventNo[station] = static_cast<uint16_t>(event.number);
    if (event.number == 9999)
        KivErr(LOG_ERROR, "TRSLNK> StoreEventData() Event 9999 was stored. Event 1 will be read next");

    // The years 1900 to 1949 mean 2000 to 2049.
    int years = static_cast<int>(event.year) - 1900;
    if (years < 50)
        years += 100;
    uint32_t time = 0;
    if (!CalendarToSeconds(years + 1900, static_cast<int>(event.month), static_cast<int>(event.day),
                           static_cast<int>(event.hour), static_cast<int>(event.minute), static_cast<int>(event.second),
                           &time)) {
        KivErr(LOG_ERROR, "TRSLNK> StoreEventData() illegal time in event, %02u/%02u/%02u %02u:%02u:%02u", event.day,
               event.month, static_cast<unsigned>(years), event.hour, event.minute, event.second);
        return 1;
    }

    uint16_t *last = instance->lastEventTime[station];
    const uint16_t notedYear = last[0];
    const unsigned fields[6] = {event.year, event.month, event.day, event.hour, event.minute, event.second};
    for (int i = 0; i < 6; i++)
        last[i] = static_cast<uint16_t>(fields[i]);
    // The first event of an alarm call is stored only when nothing was stored since start.
    if (first && notedYear != 1993)
        return 1;

    Replace(event.state, '_', ' ');
    if (strchr(event.state, ':'))
        StoreAnalog(instance, request, station, event, time);
    else
        StoreDigitalOrText(instance, request, station, event, time);
    return 1;
}
