// The event journal: which event each J? form gives, the exact record, and growth.
#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "SimClient.h"

namespace {

using trs::sim::Event;
using trs::sim::Frame;
using trs::sim::MakeStationTime;

// The reply read as the driver reads it: blanks to '_', the record from the fifth
// character on, '_' back to blanks in the state text.
struct Read {
    int conversions = 0;
    unsigned number = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, code = 0, resource = 0;
    char mark = 0;
    std::string word1, state;
};

Read ReadEvent(const std::string &frame) {
    std::string reply = frame.substr(0, frame.size() - 2);
    std::replace(reply.begin(), reply.end(), ' ', '_');
    Read r;
    if (reply.size() < 5) return r;
    std::vector<char> w1(reply.size()), w2(reply.size()), state(reply.size()), w3(reply.size()), w4(reply.size());
    r.conversions = std::sscanf(reply.c_str() + 4, "%04u\t%04u%02u%02u%02u%02u%02u\t%04u\t%s\t%03u\t%s\t%c\t%s\t%s\t%s",
                                &r.number, &r.year, &r.month, &r.day, &r.hour, &r.minute, &r.second, &r.code, w1.data(),
                                &r.resource, w2.data(), &r.mark, state.data(), w3.data(), w4.data());
    r.word1 = w1.data();
    r.state = state.data();
    std::replace(r.state.begin(), r.state.end(), '_', ' ');
    return r;
}

using SimJournal = sim_test::PtyTest;

TEST_F(SimJournal, EachFormGivesItsEvent) {
    const char *const kMalformed[] = {"J?\t#\t", "J?\t#12a4\t", "J?\t2003121512\t", "J?\t#0001\tD\t",
                                      "J?\t20031215120000\tD*\t", "J?\tx\t", "J?\t#123456\t"};
    for (const char *request : {"J?\t", "J?\t#0001\t", "J?\t#0001\tD*\t", "J?\t19930101010000\t"})
        EXPECT_EQ(client.Ask(request), Frame("STATUT\t001\t")) << "empty journal: " << request;
    for (const char *request : kMalformed) EXPECT_EQ(client.Ask(request), Frame("STATUT\t129\t")) << request;
    // Five events one second apart from 2003-12-15 12:00:00, numbered 9997, 9998, 9999, 1, 2;
    // a sixth, the first recorded, went beyond the capacity.
    auto station = *sim.Station(5);
    station.journal.capacity = 5;
    sim.AddStation(station);
    sim.SetNextEventNumber(5, 9996);
    for (unsigned i = 0; i < 6; ++i) {
        Event e;
        e.time = MakeStationTime(2003, 12, 15, 11, 59, 59) + std::chrono::seconds(i);
        EXPECT_EQ(sim.RecordEvent(5, e), i < 4 ? 9996 + i : i - 3);
    }
    const struct {
        const char *request;
        unsigned event; // 0: the end of the journal
    } cases[] = {
        {"J?\t", 9997},       {"J?\t#9997\t", 9998},          {"J?\t#9999\t", 1},     {"J?\t#0001\tD*\t", 2},
        {"J?\t#0002\t", 0},   {"J?\t#0000\t", 9997},          {"J?\t#9996\t", 9997},  {"J?\t#0500\t", 9997},
        {"J?\t#2\t", 0},      {"J?\t20031215120000\t", 9998}, {"J?\t20031215120004\t", 0},
        {"J?\t19930101010000\t", 9997},
    };
    for (const auto &c : cases) {
        const std::string reply = client.Ask(std::string("PLC1\t") + c.request);
        if (c.event == 0) {
            EXPECT_EQ(reply, Frame("STATUT\t001\t")) << c.request;
        } else {
            EXPECT_EQ(ReadEvent(reply).number, c.event) << c.request;
        }
    }
    const auto journal = sim.Journal(5);
    ASSERT_EQ(journal.size(), 5u);
    EXPECT_EQ(journal.front().number, 9997);
    EXPECT_EQ(sim.Station(5)->journal.nextNumber, 3);
}

TEST_F(SimJournal, RecordReadsWithTheDriversFormat) {
    Event e;
    e.time = MakeStationTime(2003, 12, 5, 8, 7, 6);
    e.code = 12;
    e.word1 = "HIGH LEVEL";
    e.resource = 7;
    e.mark = 'X';
    e.state = "Level:12,5";
    sim.RecordEvent(5, e);
    EXPECT_EQ(client.Ask("J?\t"),
              Frame("J=\tE\t0001\t20031205080706\t0012\tHIGH LEVEL\t007\t-\tX\tLevel:12,5\t-\t-\t"));
    for (const char *state : {"Level:12,5", "1", "0", "Pump running", ""}) {
        e.state = state;
        const unsigned number = sim.RecordEvent(5, e);
        char request[32];
        std::snprintf(request, sizeof request, "J?\t#%04u\t", number - 1);
        const Read r = ReadEvent(client.Ask(request));
        EXPECT_EQ(r.conversions, 15) << state;
        EXPECT_EQ(r.number, number);
        EXPECT_EQ(r.state, *state ? state : "-");
        EXPECT_EQ(r.word1, "HIGH_LEVEL"); // only the state gets its blanks back
        EXPECT_EQ(std::vector<unsigned>({r.year, r.month, r.day, r.hour, r.minute, r.second, r.code, r.resource}),
                  std::vector<unsigned>({2003, 12, 5, 8, 7, 6, 12, 7}));
        EXPECT_EQ(r.mark, 'X');
    }
}

TEST_F(SimJournal, GeneratorGrowsTheJournal) {
    auto station = *sim.Station(9);
    station.journal.generator = {.everyMs = 2, .resource = 3, .states = {"1", "0", "Level:2,5"}};
    sim.AddStation(station);
    ASSERT_TRUE(sim.WaitForStation(
        9, [](const trs::sim::StationConfig &s) { return s.journal.events.size() >= 4; }, std::chrono::seconds(10)));
    const auto journal = sim.Journal(9);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(journal[i].number, i + 1);
        EXPECT_EQ(journal[i].resource, 3);
        EXPECT_EQ(journal[i].state, station.journal.generator.states[i % 3]);
    }
    EXPECT_TRUE(sim.Journal(5).empty());
}

} // namespace
