// Source addresses of alarm calls: the prefixes of the allow lists and how a caller's
// address is matched and written.
#include <cstring>

#include "dialx/Net.h"
#include "dialx/PoolState.h"

namespace dialx {

namespace {

// A caller's address as 4 (IPv4) or 16 (IPv6) bytes; an IPv4-mapped IPv6 address is
// taken as the IPv4 address it carries. False for any other family.
bool Normalise(const sockaddr_storage &address, sa_family_t &family, std::array<uint8_t, 16> &bytes)
{
    if (address.ss_family == AF_INET) {
        family = AF_INET;
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in &>(address).sin_addr, 4);
        return true;
    }
    if (address.ss_family != AF_INET6)
        return false;
    const in6_addr &six = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&six)) {
        family = AF_INET;
        std::memcpy(bytes.data(), six.s6_addr + 12, 4);
    } else {
        family = AF_INET6;
        std::memcpy(bytes.data(), six.s6_addr, 16);
    }
    return true;
}

// True when the first `bits` bits of a and b agree.
bool SamePrefix(const uint8_t *a, const uint8_t *b, unsigned bits)
{
    const unsigned whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0)
        return false;
    const unsigned rest = bits % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<uint8_t>(0xff00u >> rest);
    return (a[whole] & mask) == (b[whole] & mask);
}

} // namespace

std::string AddressPrefix::Parse(const std::string &text, AddressPrefix &out)
{
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    AddressPrefix prefix;
    if (inet_pton(AF_INET, address.c_str(), prefix.bytes.data()) == 1)
        prefix.family = AF_INET;
    else if (inet_pton(AF_INET6, address.c_str(), prefix.bytes.data()) == 1)
        prefix.family = AF_INET6;
    else
        return "'" + text + "' is not an IPv4 or IPv6 address or prefix";
    const unsigned most = prefix.family == AF_INET ? 32 : 128;
    prefix.length = most;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(bits) > most)
            return "'" + text + "': the prefix length must be 0 to " + std::to_string(most);
        prefix.length = static_cast<unsigned>(std::stoul(bits));
    }
    // "10.1.2.3/16" is most likely a typing error for a single address or for 10.1.0.0/16.
    for (unsigned bit = prefix.length; bit < most; ++bit)
        if (prefix.bytes[bit / 8] & (0x80u >> (bit % 8)))
            return "'" + text + "' has address bits set past its prefix length";
    // Callers on a dual-stack listener are matched as the IPv4 address they carry, so an
    // entry written as "::ffff:a.b.c.d" is that IPv4 prefix, not one that never matches.
    in6_addr six{};
    std::memcpy(&six, prefix.bytes.data(), sizeof six);
    if (prefix.family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&six)) {
        if (prefix.length < 96)
            return "'" + text + "': an IPv4-mapped prefix must be at least 96 bits long";
        std::array<uint8_t, 16> four{};
        std::memcpy(four.data(), prefix.bytes.data() + 12, 4);
        prefix.bytes = four;
        prefix.family = AF_INET;
        prefix.length -= 96;
    }
    out = prefix;
    return "";
}

bool AddressPrefix::Contains(const sockaddr_storage &address) const
{
    sa_family_t callerFamily = AF_UNSPEC;
    std::array<uint8_t, 16> callerBytes{};
    return Normalise(address, callerFamily, callerBytes) && callerFamily == family &&
           SamePrefix(callerBytes.data(), bytes.data(), length);
}

namespace detail {

std::string AddressText(const sockaddr_storage &address)
{
    sa_family_t family = AF_UNSPEC;
    std::array<uint8_t, 16> bytes{};
    if (!Normalise(address, family, bytes))
        return "(address family " + std::to_string(address.ss_family) + ")";
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family, bytes.data(), text, sizeof text);
    return text;
}

} // namespace detail

} // namespace dialx
