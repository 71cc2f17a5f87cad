// Profile files: ProfileFind and ProfileSet on arbitrary text, and the last-event file
// read and written through the driver (GetLastEventNo, StoreLastEventNo).
//
// Input: byte 0 the station; bytes 1-3 the lengths and bytes 4-27 the characters of a
// section, a key and a value; bytes 28-29 the event number; the rest is the file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <optional>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/Host.h"
#include "journal/Journal.h"
#include "platform/common/Profile.h"

namespace {

// A name or value that a writer of the file would use: letters, digits, '_' and '.'.
std::string Name(fuzz::Reader &input, uint8_t length)
{
    static const char kCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.";
    std::string name;
    for (unsigned i = 0; i < 8; i++) {
        const char c = kCharacters[input.Byte() % (sizeof kCharacters - 1)];
        if (i < length % 8 + 1)
            name += c;
    }
    return name;
}

std::optional<std::string> Find(const std::string &text, const char *section, const char *key)
{
    std::string value;
    if (!ProfileFind(text, section, key, &value))
        return std::nullopt;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::EnterPrivateDirectory(argc, argv, "fuzz_profile");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Reader input(data, size);
    const uint8_t station = input.Byte();
    const uint8_t lengths[3] = {input.Byte(), input.Byte(), input.Byte()};
    const std::string section = Name(input, lengths[0]), key = Name(input, lengths[1]), value = Name(input, lengths[2]);
    const uint16_t eventNo = input.Word();
    const std::string text(reinterpret_cast<const char *>(input.Rest()), input.Left());

    // What is set is found again, and the other keys of the section keep their values.
    const std::string changed = ProfileSet(text, section.c_str(), key.c_str(), value.c_str());
    if (Find(changed, section.c_str(), key.c_str()) != value)
        abort();
    char other[8];
    snprintf(other, sizeof other, "%03u", station);
    if (key != other && Find(changed, section.c_str(), other) != Find(text, section.c_str(), other))
        abort();

    // The last-event file: what the driver reads is the entry's leading digits.
    {
        std::ofstream file("Last_Eve.ini", std::ios::binary | std::ios::trunc);
        file << text;
    }
    const std::optional<std::string> line = Find(text, "STATIONS", other);
    // A C string of at most 9 characters.
    const std::string entry = line ? line->substr(0, line->find('\0')).substr(0, 9) : std::string();
    uint16_t read = 0;
    const bool found = GetLastEventNo(&read, station) == 1;
    if (found != (line && entry != "FAIL"))
        abort();
    uint32_t expected = 0;
    for (size_t i = 0; i < entry.size() && entry[i] >= '0' && entry[i] <= '9'; i++)
        expected = expected * 10 + static_cast<uint32_t>(entry[i] - '0');
    if (found && read != static_cast<uint16_t>(expected))
        abort();

    // A number written is read back, and the file keeps the other stations' entries.
    const std::optional<std::string> neighbour = Find(text, "STATIONS", station == 7 ? "008" : "007");
    if (StoreLastEventNo(eventNo, station) != 1 || GetLastEventNo(&read, station) != 1 || read != eventNo)
        abort();
    std::ifstream file("Last_Eve.ini", std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (Find(written, "STATIONS", station == 7 ? "008" : "007") != neighbour)
        abort();
    kiv::Runtime::Get().ClearLog();
    return 0;
}
