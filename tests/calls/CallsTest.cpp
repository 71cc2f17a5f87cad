// Modem calls end to end: the host writes the command gates of the driver, the pool
// carries the calls over TCP, and simulated stations answer, place alarm calls, and keep
// their journal and history.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "reliability/Rig.h"

namespace calls_test {
namespace {

using trs::sim::MakeStationTime;

constexpr uint16_t kDialRef = 12, kOtherRef = 13, kDeadRef = 14;
const auto kNewest = MakeStationTime(2003, 12, 15, 12, 0, 0);

using reliability::WaitUntil;

trs::sim::StationConfig Station(uint32_t identity, const char *name, int events)
{
    trs::sim::StationConfig station{
        .identity = identity, .name = name, .variables = {{"AI12", std::to_string(40 + identity)}}, .resources = {}};
    for (int i = 0; i < events; i++)
        station.journal.events.push_back({.number = static_cast<uint16_t>(i + 1), .time = kNewest + std::chrono::minutes(i),
                                          .resource = 2, .state = i % 2 ? "0" : "1"});
    station.journal.nextNumber = static_cast<uint16_t>(events + 1);
    station.traces[1] = {.newest = kNewest, .values = {"1,5", "2,5", "3,5", "4,5", "5,5", "6,5", "7,5", "8,5"}};
    return station;
}

// On the rig of the reliability tests: station 5 is its simulator, behind dial reference 12.
class CallsTest : public reliability::Rig {
protected:
    void TearDown() override
    {
        host_.EndDrv();
        plc6_.Stop();
        Rig::TearDown();
    }

    // Station 5 behind dial reference 12, station 6 behind 13 (`sixIdentity` is what it
    // answers to IDENT?), and a dead line behind 14.
    void Stations(int events = 3, uint32_t sixIdentity = 6)
    {
        simulator_.AddStation(Station(5, "PLC5", events));
        plc6_.AddStation(Station(sixIdentity, "PLC6", 0));
        ASSERT_EQ("", dialx::AddDialEntry({kOtherRef, "127.0.0.1", *plc6_.ListenTcp(0), 3000}));
        ASSERT_EQ("", dialx::AddDialEntry({kDeadRef, "127.0.0.1", 1, 3000}));
    }

    void Start(const std::string &keys = "")
    {
        for (const char *address : {"005M_CONNECT", "005M_READ_ALL", "005M_SAMPLE", "005M_ONLINE", "005AI012",
                                    "005_START_DATE", "005_START_TIME", "006M_SAMPLE", "006M_DISCONNECT", "006AI012", "$A01-005"})
            AddGate(address, address[3] == '_' ? GATE_TYPE_TEXT : GATE_TYPE_U16);
        StartModem("CLOCK_SYNC = TIMESTAMP\n" + keys + "006 = 'PLC6' , '1234'\n");
        ASSERT_EQ(host_.WriteText(gates_["005_START_DATE"], "15/12/2003"), 0u);
        ASSERT_EQ(host_.WriteText(gates_["005_START_TIME"], "10:00"), 0u);
    }

    uint32_t Write(const char *gate, double value) { return host_.Write(gates_.at(gate), value); }
    StationRecord *Record(uint32_t station) { return StationOf(Instance(), station); }
    bool Online(uint32_t station, double state)
    {
        return WaitUntil([&] {
            auto gate = Runtime().Gate(gates_.at(trs_test::Format("%03uM_ONLINE", station)));
            return gate->hasValue && gate->current.value == state;
        });
    }
    size_t Stored(const char *gate) { return Runtime().Gate(gates_.at(gate))->history.size(); }
    // Values with the station's times of 2003: events and samples, not the current states.
    size_t Stored2003(const char *gate)
    {
        const auto history = Runtime().Gate(gates_.at(gate))->history;
        return static_cast<size_t>(std::count_if(history.begin(), history.end(),
                                                 [](const kiv::GateSample &s) { return s.timeStamp < 1104537600; }));
    }
    static size_t Seen(const trs::sim::Simulator &sim, const std::string &telegram) { return std::ranges::count(sim.Telegrams(), telegram); }
    std::vector<std::string> Kinds() const // the commands of the telegrams station 5 was sent
    {
        std::vector<std::string> kinds;
        for (const auto &t : simulator_.Telegrams())
            kinds.push_back(t.substr(0, t.find('\t')));
        return kinds;
    }
    trs::sim::Simulator plc6_;
};

TEST_F(CallsTest, ConnectReadsEverythingAndStaysOnLineUntilDisconnect)
{
    Stations();
    Start();
    ASSERT_EQ(Write("005M_CONNECT", kDialRef), 0u) << trs_test::Dump();
    EXPECT_EQ(Write("005M_READ_ALL", kDialRef), 1u) << "a second call while connected";
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ConnectModem() error, station 005 is already connected on-line"), 1u);
    ASSERT_TRUE(trs_test::WaitForLine(32, "TRSLNK: Station 5. reading History completed", 20000)) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return Seen(simulator_, "PLC5\tVAR?\tAI12\t1\t") >= 2; })) << "the passes go on while on line";
    EXPECT_EQ(Stored2003("005RD002"), 3u) << "the journal";
    EXPECT_EQ(Stored2003("005RA001"), 8u) << "the history from 10:00";
    EXPECT_TRUE(Online(5, 1));
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: DisableSampling() for Plc (5)"), 1u);

    ASSERT_EQ(Write("005M_DISCONNECT", 0), 0u);
    EXPECT_TRUE(Online(5, 0));
    EXPECT_TRUE(WaitUntil([&] { return Record(5)->readAllBusy.load() == 0; })) << "the read-all ends with the line";
    EXPECT_EQ(Record(5)->connRef.load(), DIALX_NO_CONNECTION);
    EXPECT_EQ(dialx::GetCounters().openConnections, 0u);
}

TEST_F(CallsTest, ReadAllHangsUpAfterItsReading)
{
    Stations();
    Start();
    ASSERT_EQ(Write("005M_READ_ALL", kDialRef), 0u) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return Record(5)->readAllBusy.load() == 0 && Record(5)->connRef.load() == 255; }))
        << trs_test::Dump();
    EXPECT_TRUE(Online(5, 0));
    EXPECT_EQ(Seen(simulator_, "PLC5\tVAR?\tAI12\t1\t"), 1u) << "one pass";
    EXPECT_EQ(Stored("005RD002"), 3u + 1u);
    EXPECT_EQ(Stored("005RA001"), 8u + 1u);
    EXPECT_EQ(dialx::GetCounters().openConnections, 0u);
}

TEST_F(CallsTest, TimestampReadsTheJournalAfterSettingTheClock)
{
    Stations();
    Start();
    ASSERT_EQ(Write("005M_TIMESTAMP", kDialRef), 0u) << trs_test::Dump();
    ASSERT_TRUE(trs_test::WaitForLine(32, "TRSLNK: Station 5. Reading alerts completed")) << trs_test::Dump();
    EXPECT_EQ(Kinds(), (std::vector<std::string>{"IDENT?", "PLC5", "TIME!", "DATE!", "J?", "J?", "J?", "J?"}));
    EXPECT_EQ(Stored("005RD002"), 3u);
    EXPECT_NE(Record(5)->connRef.load(), DIALX_NO_CONNECTION) << "the line stays";
    EXPECT_EQ(Write("005M_DISCONNECT", 0), 0u);
}

TEST_F(CallsTest, SampleConnectsWithTheClockSetAndReadsNothing)
{
    Stations();
    Start("CLOCK_SYNC = MODEM\n");
    ASSERT_EQ(Write("005M_SAMPLE", kDialRef), 0u) << trs_test::Dump();
    EXPECT_EQ(Kinds(), (std::vector<std::string>{"IDENT?", "PLC5", "TIME!", "DATE!"}));
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: DisableSampling() for Plc (5)"), 0u) << "sampling left as it was";
    EXPECT_EQ(Write("005M_DISCONNECT", 0), 0u);
}

TEST_F(CallsTest, RefusedCallsLeaveTheStationOffLine)
{
    Stations(3, 7); // dial reference 13 answers as station 7
    Start("ALERTS = 2 , 1000 , 1000\n");
    const struct { const char *gate; uint16_t dialRef; std::vector<std::pair<int, std::string>> lines; } rows[] = {
        {"005M_CONNECT", kDeadRef,
         {{32, "TRSLNK01 005: OUTCALL connection failed"}, {64, "TRSLNK> ConnectModem() error DIALX_Connect() modem not responding"}}},
        {"005M_SAMPLE", 0,
         {{32, "TRSLNK01 005: OUTCALL connection failed"}, {64, "TRSLNK> ConnectModem() error DIALX_Connect() illegal dialref"}}},
        {"006M_SAMPLE", kOtherRef,
         {{64, "TRSLNK> ConnectModem() different station address (in station identity) (6, 7) '006M_SAMPLE'"}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.gate);
        trs_test::ClearLog();
        EXPECT_EQ(Write(row.gate, row.dialRef), 1u) << trs_test::Dump();
        for (const auto &[level, text] : row.lines)
            EXPECT_EQ(trs_test::Count(level, text), 1u) << trs_test::Dump();
        EXPECT_EQ(Record(5)->connRef.load(), DIALX_NO_CONNECTION);
        EXPECT_EQ(Record(6)->connRef.load(), DIALX_NO_CONNECTION);
        EXPECT_EQ(dialx::GetCounters().openConnections, 0u) << "no reference is kept";
    }
    EXPECT_EQ(Runtime().Alerts().size(), 2u) << "the operator sees the failed calls";
}

TEST_F(CallsTest, TwoStationsOnLineAtOnceThroughTwoLines)
{
    Stations();
    Start();
    ASSERT_EQ(Write("005M_SAMPLE", kDialRef), 0u) << trs_test::Dump();
    ASSERT_EQ(Write("006M_SAMPLE", kOtherRef), 0u) << trs_test::Dump();
    EXPECT_NE(Record(5)->connRef.load(), Record(6)->connRef.load());
    ASSERT_EQ(host_.Read(gates_["006AI012"]), 0u);
    ASSERT_EQ(host_.Read(gates_["005AI012"]), 0u);
    EXPECT_EQ(Runtime().Gate(gates_["006AI012"])->current.value, 46);
    EXPECT_EQ(Runtime().Gate(gates_["005AI012"])->current.value, 45);
    EXPECT_EQ(Write("006M_DISCONNECT", 0), 0u);
    EXPECT_EQ(Write("005M_DISCONNECT", 0), 0u);
    EXPECT_EQ(dialx::GetCounters().openConnections, 0u);
}

class AlarmCallTest : public CallsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AlarmCallTest, AnsweredItsJournalReadAndHungUp)
{
    const bool readStatus = GetParam();
    Stations(0);
    Start(readStatus ? "READ_STATUS\n" : "");
    std::mutex guard;
    std::vector<uint32_t> results;
    dialx::SetAlarmCallback([&](uint32_t station, uint16_t ref) {
        uint32_t result = host_.DeliverAlarmCall(station, ref);
        std::lock_guard<std::mutex> lock(guard);
        results.push_back(result);
    });
    int port = dialx::Listen(0);
    ASSERT_GT(port, 0) << dialx::LastError();
    trs::sim::Simulator caller;
    caller.AddStation(Station(5, "PLC5", 2));
    std::string error;
    ASSERT_TRUE(caller.CallIn("127.0.0.1", static_cast<uint16_t>(port), 5, &error)) << error;
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(guard);
        return !results.empty();
    })) << trs_test::Dump();
    EXPECT_EQ(results[0], 0u) << trs_test::Dump();
    EXPECT_TRUE(WaitUntil([&] { return Record(5)->connRef.load() == DIALX_NO_CONNECTION; })) << "hung up";
    // The journal of the call, and with READ_STATUS the current states before the hang-up.
    EXPECT_EQ(Stored("005RD002"), readStatus ? 3u : 2u);
    EXPECT_EQ(Seen(caller, "PLC5\tVAR?\tAI12\t1\t"), readStatus ? 1u : 0u);
    auto telegrams = caller.Telegrams();
    auto first = std::find_if(telegrams.begin(), telegrams.end(), [](const std::string &t) { return t.rfind("J?", 0) == 0; });
    ASSERT_NE(first, telegrams.end());
    EXPECT_EQ(*first, "J?\t19930101010000\t") << "asked from the last event's time";
    EXPECT_TRUE(Online(5, 0));
    EXPECT_EQ(Record(5)->incomingCall.load(), 0u);
    caller.Stop();
}

INSTANTIATE_TEST_SUITE_P(Calls, AlarmCallTest, ::testing::Bool());

TEST_F(CallsTest, AlarmCallsOfUnknownStationsAreReleasedUntouched)
{
    Stations();
    Start();
    const uint32_t far = trs_test::AddGate("$A01-300"), undeclared = trs_test::AddGate("$A01-009");
    ASSERT_EQ(host_.Bind(far), 0u);
    ASSERT_EQ(host_.Bind(undeclared), 0u);
    for (uint32_t gate : {far, undeclared}) {
        uint16_t ref = DIALX_NO_CONNECTION;
        ASSERT_EQ(DIALX_Connect(kDialRef, 500, &ref), DIALX_OK);
        EXPECT_EQ(host_.Write(gate, ref), 1u);
        EXPECT_EQ(dialx::GetCounters().openConnections, 0u) << "the pool's line is given back";
    }
    EXPECT_EQ(simulator_.Telegrams().size(), 0u) << "no log-on telegram goes out";
}

} // namespace
} // namespace calls_test
