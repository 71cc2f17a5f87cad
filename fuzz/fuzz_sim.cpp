// The simulator's own parsers: the stations' request handling (Respond, on the
// telegrams of one line in turn) and the station file loader (ParseStations).
//
// Input: byte 0 flags (bit 0: the rest is a station file; else bits 1-7 mark telegrams
// with a bad checksum), then the text. Telegrams are cut where the line cuts them: at
// CR, STX, ETX and ESC.
#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/Config.h"
#include "sim/Protocol.h"
#include "sim/Records.h"

namespace {

using namespace trs::sim;

std::vector<StationConfig> Stations()
{
    StationConfig primary;
    primary.identity = 5;
    primary.name = "PLC5";
    primary.variables = {{"AI12", "42"}, {"FR2", "3,25"}, {"SR1", "\"ABC\""}, {"TB", "1"}};
    primary.resources[1] = Resource{'A', "Level    :  12,5"};
    primary.requireLogon = false;
    for (int i = 0; i < 5; i++) {
        Event e;
        e.time = MakeStationTime(2003, 12, 15, 12, static_cast<unsigned>(i));
        e.resource = static_cast<uint16_t>(1 + i % 3);
        e.state = i % 2 ? "Level:12,5" : "1";
        primary.journal.events.push_back(e);
    }
    primary.journal.nextNumber = 9998;
    HistoryTrace periodic;
    periodic.values = {"1,5", "2,5", "3,5"};
    periodic.newest = MakeStationTime(2003, 12, 15, 12);
    primary.traces[1] = periodic;
    HistoryTrace external;
    external.number = 2;
    external.periodCount = 0;
    external.records = {{MakeStationTime(2003, 12, 15, 11), "7,25"}};
    primary.traces[2] = external;
    StationConfig secondary;
    secondary.identity = 6;
    secondary.name = "PLC6";
    secondary.secondary = true;
    secondary.requireLogon = true;
    secondary.strictVariables = true;
    secondary.decimalPoint = true;
    std::vector<StationConfig> stations{primary, secondary};
    for (StationConfig &station : stations)
        Settle(station, MakeStationTime(2003, 12, 15, 12));
    return stations;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<StationConfig> kStations = Stations();
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    if (flags & 1) {
        // A faulty file leaves the stations as they were.
        std::vector<StationConfig> stations = kStations;
        std::string error;
        const bool parsed = ParseStations(text, "fuzz.toml", stations, &error);
        if (!parsed && (stations.size() != kStations.size() || error.empty()))
            abort();
        return 0;
    }

    std::vector<StationConfig> stations = kStations;
    LineState line;
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1071489600));
    size_t start = 0;
    unsigned index = 0;
    for (size_t i = 0; i <= text.size(); i++) {
        const char c = i < text.size() ? text[i] : '\r';
        if (c != '\r' && c != 0x02 && c != 0x03 && c != 0x1B)
            continue;
        if (c == 0x02)
            line.transparent = true;
        else if (c == 0x03)
            line.transparent = false;
        const std::string payload = text.substr(start, i - start);
        start = i + 1;
        if (payload.empty())
            continue;
        const bool checksumOk = !((flags >> (1 + index++ % 7)) & 1);
        (void)CommandWord(stations, payload);
        (void)CanonicalToken(payload);
        const Answer answer = Respond(stations, line, payload, checksumOk, now);
        // A reply fits the line's frame and never ends it early.
        if (answer.reply.size() + 2 > kMaxReply || answer.reply.find('\r') != std::string::npos)
            abort();
        if (answer.identity && answer.reply.empty())
            abort();
    }
    return 0;
}
