// The telegram receiver, byte by byte: ReceiveMsg reads one telegram after another from
// a line that carries arbitrary bytes (garbage, NULs, telegrams cut short, bad checksums).
//
// Input: bytes 0 and 1 give the receive capacity, the rest is the line.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/FuzzSupport.h"
#include "host/Host.h"
#include "link/Telegram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DriverInstance *const instance = fuzz::NewInstance();
    fuzz::Reader input(data, size);
    const uint16_t capacity = static_cast<uint16_t>(input.Word() % 600);
    const std::string line(reinterpret_cast<const char *>(input.Rest()), input.Left());
    fuzz::UseScriptedStation(instance, {line});
    char request[16] = "IDENT?\t"; // with room for checksum and CR
    SendTelegram(request, 7, instance, 1);

    // An exact-size buffer, so that a byte written beyond the capacity is caught.
    char *buffer = static_cast<char *>(malloc(capacity ? capacity : 1));
    if (!buffer)
        abort();
    size_t taken = 0;
    for (int telegrams = 0; telegrams < 10000; telegrams++) {
        uint32_t length = 0;
        const uint32_t rc = ReceiveMsg(buffer, &length, instance, 1, capacity);
        if (rc == LINK_OK) {
            // A good telegram: payload, checksum and CR fitted; the payload is a string
            // without its CR, and its checksum is the one that came.
            if (length + 2 > capacity || buffer[length] != '\0' || memchr(buffer, '\r', length))
                abort();
            const size_t end = line.find('\r', taken);
            if (end == std::string::npos || end - taken != length + 1 || line.compare(taken, length, buffer, length) != 0 ||
                TelegramChecksum(buffer, length) != line[end - 1])
                abort();
            taken = end + 1;
            continue;
        }
        if (length > capacity)
            abort();
        // The receiver stops at a CR or at its capacity: find where this one ended.
        const size_t end = line.find('\r', taken);
        const size_t limit = taken + capacity;
        if (end == std::string::npos && limit >= line.size())
            break; // the line ran dry: the rest was a time-out
        taken = capacity == 0 ? line.size() : (end != std::string::npos && end < limit ? end + 1 : limit);
        if (taken >= line.size())
            break;
    }
    free(buffer);
    kiv::Runtime::Get().ClearLog();
    return 0;
}
