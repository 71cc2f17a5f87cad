// Frame helpers: checksum character, framing, readable dumps.
#include "sim/Simulator.h"

#include <cstdio>

namespace trs::sim {

char Checksum(const std::string &payload) {
    unsigned sum = 0;
    for (unsigned char c : payload) sum += c;
    return static_cast<char>(0x40 + ((64 - sum % 64) % 64));
}

std::string Frame(const std::string &payload) {
    return payload + Checksum(payload) + '\r';
}

std::string Printable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace trs::sim
