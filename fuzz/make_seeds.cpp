// Writes the seed corpora of the fuzz targets: the replies that the simulator's stations
// really send to the driver's telegrams, with each target's header bytes in front.
//
//   fuzz_seeds <examples folder> <corpus folder>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/Protocol.h"
#include "sim/Records.h"

namespace {

namespace fs = std::filesystem;
using namespace trs::sim;

fs::path gCorpus;

void Seed(const std::string &target, const std::string &name, const std::string &bytes)
{
    fs::create_directories(gCorpus / target);
    std::ofstream(gCorpus / target / name, std::ios::binary) << bytes;
}

std::string Read(const fs::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The stations the seeds come from: one with data, journal and traces.
std::vector<StationConfig> Stations()
{
    StationConfig s;
    s.identity = 5;
    s.name = "PLC5";
    s.variables = {{"AI12", "1234"}, {"FR2", "3,25"}, {"SR1", "\"Pump house\""}, {"TB", "1"}, {"DI3.7", "1"}};
    s.resources[1] = Resource{'A', "Level    :  12,5"};
    s.resources[2] = Resource{'P', "Pump     :     1"};
    const char *states[] = {"1", "Level:12,5", "Pump running", "0"};
    for (int i = 0; i < 4; i++) {
        Event e;
        e.time = MakeStationTime(2003, 12, 15, 12, static_cast<unsigned>(i));
        e.code = 1;
        e.word1 = "ALARM";
        e.resource = static_cast<uint16_t>(1 + i % 3);
        e.word2 = "PUMP HOUSE";
        e.mark = 'A';
        e.state = states[i];
        s.journal.events.push_back(e);
    }
    s.journal.nextNumber = 9998; // the numbering wraps within the journal
    HistoryTrace periodic;
    periodic.resource = "RA1";
    periodic.values = {"1,5", "2,5", "3,5", "4,5"};
    periodic.newest = MakeStationTime(2003, 12, 15, 12);
    s.traces[1] = periodic;
    HistoryTrace external;
    external.number = 2;
    external.resource = "FR2";
    external.periodCount = 0;
    external.records = {{MakeStationTime(2003, 12, 15, 11), "7,25"}, {MakeStationTime(2003, 12, 15, 10), "6,25"}};
    s.traces[2] = external;
    Settle(s, MakeStationTime(2003, 12, 15, 12));
    return {s};
}

// The reply payload of the simulator to one telegram of the driver.
std::string Reply(const std::string &telegram)
{
    static std::vector<StationConfig> stations = Stations();
    LineState line;
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1071489600));
    return Respond(stations, line, telegram, true, now).reply;
}

std::string Bytes(std::initializer_list<int> bytes)
{
    std::string text;
    for (int b : bytes)
        text += static_cast<char>(b);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <examples folder> <corpus folder>\n", argv[0]);
        return 2;
    }
    const fs::path examples = argv[1];
    gCorpus = argv[2];

    const std::string ident = Reply("IDENT?\t"), access = Reply("PLC5\tACCES\t1234\t");
    const std::string var = Reply("PLC5\tVAR?\tAI12\t1\t"), floats = Reply("PLC5\tVAR?\tFR2\t1\t");
    const std::string text = Reply("PLC5\tVAR?\tSR1\t1\t"), bit = Reply("PLC5\tVAR?\tTB\t");
    const std::string etat = Reply("PLC5\tETAT?\t1\t1\t"), etat2 = Reply("PLC5\tETAT?\t1\t2\t");
    const std::string date = Reply("PLC5\tDATE?\t"), time = Reply("PLC5\tTIME?\t");
    const std::string refused = Reply("PLC5\tVAR?\tAI12\t0\t"), ok = Reply("PLC5\tTIME!\t12:00:00\t");
    const std::string j0 = Reply("J?\t"), j1 = Reply("J?\t#9998\t"), j2 = Reply("J?\t#9999\t"), jEnd = Reply("J?\t#0002\t");
    const std::string jCall = Reply("J?\t19930101010000\t"), jNext = Reply("J?\t#9998\tD*\t");
    const std::string tp = Reply("TP?\t1\t80\t"), t1 = Reply("T?\t1\t1\t"), t4 = Reply("T?\t1\t4\t"), t2 = Reply("T?\t2\t");
    const std::string cr = "\r";
    auto frame = [](const std::string &payload) { return Frame(payload); };

    // The receiver: capacity, then the line as it comes, with what noisy lines add.
    Seed("fuzz_receive", "replies", Bytes({0xF4, 0x01}) + frame(ident) + frame(var) + frame(etat2) + frame(j1));
    Seed("fuzz_receive", "noise", Bytes({0xF4, 0x01}) + std::string("\0\0\x7f", 3) + frame(access) + "garbage" +
                                      frame(floats).substr(0, 5) + frame(floats));
    Seed("fuzz_receive", "small", Bytes({0x10, 0x00}) + frame(ident) + frame(tp));

    // Serial bursts: one chunk per telegram, a split one, an interrupted read, the line gone.
    auto chunk = [](const std::string &bytes) { return std::string(1, static_cast<char>((bytes.size() - 1) * 8)) + bytes; };
    Seed("fuzz_serial", "bursts", Bytes({2}) + chunk(frame(ident)) + chunk(frame(var)) + Bytes({5}) +
                                      chunk(frame(etat).substr(0, 8)) + Bytes({7}) + chunk(frame(etat).substr(8)));
    Seed("fuzz_serial", "gone", Bytes({0}) + chunk(frame(j1)) + Bytes({6}) + chunk(frame(j2).substr(0, 20)) + Bytes({0xFF}));

    // Decoders: memory type index, flags, length, address, extension, then the reply.
    struct Decode {
        const char *name;
        int type, flags, length, address;
        std::string reply;
    } decodes[] = {
        {"ra", 0, 0, 1, 1, etat},       {"ra-block", 0, 1, 2, 1, etat2}, {"rd", 1, 3 << 2, 1, 2, etat},
        {"fr", 2, 2 << 2, 1, 2, floats}, {"ai", 4, 0, 1, 12, var},        {"sr", 17, 4 << 2, 1, 1, text},
        {"tm", 19, 0, 1, 1, time},       {"dt-block", 20, 1, 3, 0, date}, {"tb", 21, 3 << 2, 1, 0, bit},
        {"refused", 4, 0, 1, 12, refused + cr + var},
    };
    for (const Decode &d : decodes)
        Seed("fuzz_decode", d.name,
             Bytes({d.type, d.flags, d.length, d.address & 0xFF, d.address >> 8, 0}) + d.reply);

    Seed("fuzz_logon", "primary", Bytes({0, 5}) + ident + cr + access);
    Seed("fuzz_logon", "secondary", Bytes({2, 5}) + refused + cr + ident + cr + access);

    // Journal: flags, the last event stored, then the event text or the replies.
    Seed("fuzz_journal", "event", Bytes({0, 0, 0}) + j1);
    Seed("fuzz_journal", "exchange", Bytes({1, 0x0E, 0x27}) + j2);
    Seed("fuzz_journal", "read", Bytes({2, 0, 0}) + j0 + cr + j1 + cr + j1 + cr + j2 + cr + jEnd);
    Seed("fuzz_journal", "call", Bytes({2 | 4 | 8, 0, 0}) + jCall + cr + jNext + cr + jEnd);

    // History: flags, three steps (kind, trace, count), then the replies.
    Seed("fuzz_history", "steps", Bytes({0, 0, 1, 0, 0, 1, 1, 4, 0, 2, 2, 0, 0}) + tp + cr + t1 + cr + t4 + cr + t2);
    Seed("fuzz_history", "read", Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + tp + cr + t1 + cr + t4 + cr + t2);

    Seed("fuzz_profile", "stations", Bytes({5, 7, 2, 4}) + "STATIONSxxx" + "005xxxxx" + "1234xxxx" + Bytes({42, 0}) +
                                         "; kept\n[STATIONS]\n005=1234\n007=17\n[OTHER]\nA=1\n");
    Seed("fuzz_profile", "crlf", Bytes({7, 7, 2, 4}) + "STATIONSxxx" + "007xxxxx" + "9999xxxx" + Bytes({1, 0}) +
                                     "[stations]\r\n007 = 12\r\n");

    // The simulator: the telegrams of a session, and a station file.
    Seed("fuzz_sim", "session", Bytes({0}) + "\x03\x1bW06\x03IDENT?\t\rPLC5\tACCES\t1234\t\rPLC5\tVAR?\tAI12\t1\t\r"
                                              "PLC5\tETAT?\t1\t2\t\rJ?\t\rJ?\t#0001\t\rTP?\t1\t80\t\rT?\t1\t4\t\r"
                                              "PLC5\tVAR!\tSR1\t\"x\"\t\rPLC5\tTIME!\t12:00:00\t\r\x02PLC6\tIDENT?\t\r");
    Seed("fuzz_sim", "stations", Bytes({1}) + Read(examples / "stations.toml"));

    Seed("fuzz_dialx", "directory", Bytes({0}) + Read(examples / "dialx.toml"));
    Seed("fuzz_dialx", "prefix", Bytes({1}) + "2001:db8:17::/48");
    Seed("fuzz_dialx", "ident", Bytes({2}) + "017");
    Seed("fuzz_alarmcall", "call", "17\n" + frame(ident) + frame(access));
    Seed("fuzz_alarmcall", "crlf", "\r\n\r\n017\r\n" + frame(j1));

    Seed("fuzz_initfile", "example", Read(examples / "TRSLNK01.INT"));
    Seed("fuzz_parse", "ai", Bytes({0, 1, 0, 1, 0}) + "005AI012");
    Seed("fuzz_parse", "modem", Bytes({0, 1, 0xFF, 0, 1}) + "005M_CONNECT");
    return 0;
}
