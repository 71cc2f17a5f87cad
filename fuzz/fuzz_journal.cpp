// The event journal: the event record decoder (StoreEventData) with the host's gates of
// the station present, one J? exchange with its reply check, and a whole journal read
// against a scripted station.
//
// Input: byte 0 flags (bits 0-1: 0 the decoder on the text, 1 one exchange, 2 and 3 a
// whole read; bit 2 incoming-call mode, bit 3 first event of a call, bit 4 the
// last-event file, bit 5 raw replies), bytes 1-2 the number of the event stored last;
// the rest is the event text or the script of replies.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "address/Address.h"
#include "fuzz/FuzzSupport.h"
#include "host/Host.h"
#include "journal/Journal.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::EnterPrivateDirectory(argc, argv, "fuzz_journal");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DriverInstance *const instance = [] {
        DriverInstance *created = fuzz::NewInstance();
        fuzz::AddStation(created, 5, "PLC5", "1234");
        created->clockSync = 0;
        for (const char *gas : {"005RA001", "005RA002", "005RA999", "005_LAST_EVENT"})
            fuzz::AddGate(gas, GATE_TYPE_FLOAT);
        for (const char *gas : {"005RD001", "005RD002"})
            fuzz::AddGate(gas, GATE_TYPE_DIGITAL);
        for (const char *gas : {"005SR002", "005SR003", "005SR000"})
            fuzz::AddGate(gas, GATE_TYPE_TEXT);
        return created;
    }();
    fuzz::Reader input(data, size);
    const uint8_t flags = input.Byte();
    instance->lastEventNo[5] = static_cast<uint16_t>(input.Word() % 10000);
    instance->storeLastEvent = (flags >> 4) & 1;
    static const uint16_t kStart[6] = {1993, 1, 1, 1, 0, 0};
    memcpy(instance->lastEventTime[5], kStart, sizeof kStart);

    char gas[] = "005JR";
    unsigned char value[4] = {};
    GateRequest gate{};
    gate.gas = gas;
    gate.address.station = 5;
    gate.address.memoryType = MT_JR;
    gate.value = value;
    RequestBlock request{instance, FN_SINGLE_READ, 1, 0, &gate};
    const uint32_t incoming = (flags >> 2) & 1, first = (flags >> 3) & 1;

    switch (flags & 3) {
    case 0: {
        char *text = static_cast<char *>(malloc(input.Left() + 1));
        if (!text)
            abort();
        memcpy(text, input.Rest(), input.Left());
        text[input.Left()] = '\0';
        StoreEventData(&request, text, first);
        free(text);
        break;
    }
    case 1:
        fuzz::UseScriptedStation(instance, fuzz::Replies(input.Rest(), input.Left(), !(flags & 32)));
        ReadEventFromJournal(&request, incoming, first);
        break;
    default:
        fuzz::UseScriptedStation(instance, fuzz::Replies(input.Rest(), input.Left(), !(flags & 32)));
        ReadJournal(&request, incoming);
        break;
    }
    // The number asked next is always one the station can have written.
    if (instance->lastEventNo[5] > 9999)
        abort();
    kiv::Runtime::Get().ClearLog();
    return 0;
}
