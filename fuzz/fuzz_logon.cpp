// The log-on: InitStation's checks of the IDENT? and ACCES replies, with its four
// attempts, against a scripted station.
//
// Input: byte 0 flags (bit 0 raw replies, bit 1 a secondary station, bit 2 a station
// without a name), byte 1 the station number; the rest is the script of replies.
#include <stdint.h>
#include <stdlib.h>

#include "fuzz/FuzzSupport.h"
#include "host/Host.h"
#include "link/Station.h"
#include "link/Telegram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DriverInstance *const instance = fuzz::NewInstance();
    fuzz::Reader input(data, size);
    const uint8_t flags = input.Byte();
    const uint8_t station = input.Byte();
    fuzz::AddStation(instance, station, flags & 4 ? "" : "PLC5", "1234", flags & 2);
    instance->transparentMode = 0;
    instance->loggedOnStation = 0;
    fuzz::UseScriptedStation(instance, fuzz::Replies(input.Rest(), input.Left(), !(flags & 1)));

    int32_t identity = -1;
    const uint32_t result = InitStation(instance, station, &identity);
    if (result > LINK_BROKEN)
        abort();
    // A log-on succeeds only after a station named itself and took the access code.
    if (result == LINK_OK && ((identity & 0xFF) == 0 || instance->loggedOnStation != station || fuzz::Sent().size() < 3))
        abort();
    delete instance->stations[station].exchange(nullptr);
    kiv::Runtime::Get().ClearLog();
    return 0;
}
