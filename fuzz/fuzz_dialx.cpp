// The modem pool's parsers: the dial directory (TOML, with its allow lists), address
// prefixes and the station number of an alarm call's identification line.
//
// Input: byte 0 picks the parser (0 directory, 1 prefix, 2 identification line), then
// the text.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "dialx/Pool.h"
#include "dialx/PoolState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    switch (data[0] % 3) {
    case 0: {
        // A directory is taken whole or not at all.
        dialx::Directory directory;
        const std::string problem = dialx::ParseDirectory(text, directory);
        if (!problem.empty() && (!directory.entries.empty() || directory.alarm.enabled ||
                                 !directory.alarm.access.allowFrom.empty() || directory.tcp))
            abort();
        for (const auto &entry : directory.entries)
            if (entry.host.empty() || entry.port == 0 || entry.connectTimeoutMs == 0)
                abort();
        break;
    }
    case 1: {
        dialx::AddressPrefix prefix;
        if (!dialx::AddressPrefix::Parse(text, prefix).empty())
            break;
        if (prefix.length > (prefix.family == AF_INET ? 32u : 128u))
            abort();
        // A prefix holds its own address. Not checked for IPv4-mapped IPv6 prefixes
        // ("::ffff:10.0.0.1"): callers with such addresses are matched as IPv4, so these
        // entries match nobody (a known fault, see tests/reliability).
        in6_addr six{};
        memcpy(&six, prefix.bytes.data(), sizeof six);
        if (prefix.family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&six))
            break;
        sockaddr_storage address{};
        if (prefix.family == AF_INET) {
            auto *in = reinterpret_cast<sockaddr_in *>(&address);
            in->sin_family = AF_INET;
            memcpy(&in->sin_addr, prefix.bytes.data(), 4);
        } else {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
            in6->sin6_family = AF_INET6;
            memcpy(&in6->sin6_addr, prefix.bytes.data(), 16);
        }
        if (!prefix.Contains(address))
            abort();
        break;
    }
    default: {
        uint32_t station = 0;
        const bool good = dialx::detail::ParseIdentLine(text.data(), text.size(), &station);
        const bool digits = !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
        if (good != (digits && std::stoull(text) <= UINT32_MAX) || (good && station != std::stoull(text)))
            abort();
    }
    }
    return 0;
}
