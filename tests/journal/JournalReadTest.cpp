// Whole journal reads through DrvMain against a simulated station on a pseudo-terminal:
// every event in its gate with its own time, reads that resume, a read broken off by a
// silent station, the last-event file across a restart, alarm-call mode and the wrap
// after 9999.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <stdlib.h>
#include <thread>
#include <time.h>

#include "host/Host.h"
#include "integration/Fixture.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

namespace journal_test {
namespace {

using trs::sim::Event;

const char kDone[] = "TRSLNK: Station 5. Reading alerts completed";
const char kFailed[] = "TRSLNK: ReadJournalThread() failed to read Alerts!";

// Event i of a test journal: resources 1 (analog), 2 (digital) and 3 (text) in turn.
Event MakeEvent(int i)
{
    Event e;
    e.time = trs::sim::MakeStationTime(2003, 12, 15) + std::chrono::minutes(i);
    e.code = 1;
    e.word1 = "ALARM";
    e.resource = static_cast<uint16_t>(1 + i % 3);
    e.word2 = "PUMP HOUSE";
    e.mark = 'A';
    e.state = i % 3 == 0 ? "Level:" + std::to_string(i) + ",5" : i % 3 == 1 ? std::to_string(i / 3 % 2)
                                                                             : "Pump " + std::to_string(i) + " on";
    e.word3 = "X";
    e.word4 = "Y";
    return e;
}

class JournalReadTest : public trs_test::InstanceFixture {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        InstanceFixture::SetUp();
        kiv::Runtime::Get().Reset();
        trs::sim::StationConfig station;
        station.identity = 5;
        station.name = "PLC5";
        station.accessCode = "1234";
        station.journal.capacity = 9999;
        simulator_.AddStation(station);
        auto port = simulator_.OpenPty();
        ASSERT_TRUE(port);
        port_ = *port;
        gates_ = {Add("005RA001", GATE_TYPE_FLOAT), Add("005RD002", GATE_TYPE_DIGITAL), Add("005SR003", GATE_TYPE_TEXT)};
        jr_ = Add("005JR", GATE_TYPE_U16);
        last_ = Add("005_LAST_EVENT", GATE_TYPE_U16);
    }

    uint32_t Add(const char *address, uint16_t type)
    {
        kiv::GateSpec spec;
        spec.name = address;
        spec.address = address;
        spec.type = type;
        return kiv::Runtime::Get().AddGate(spec);
    }

    void Start(kiv::DriverHost &host, const std::string &keys = "")
    {
        // Ten seconds, a tenth of a second at the tests' time scale: a loaded machine is slow.
        WriteInitFile(keys + "COM_TIMEOUT = 10\n005 = 'PLC5' , '1234'\n");
        host.Attach(DrvMain);
        ColdStartParams params{};
        CopyText(params.portName, sizeof params.portName, port_.c_str());
        params.enabled = 1;
        params.hostTimeout = 1500;
        params.lineSettings = LineSettings{9600, 7, 0, 2};
        ASSERT_EQ(host.ColdStart(1, params), 0u) << trs_test::Dump();
        ASSERT_EQ(host.BindAll(), first_ ? 6u : 5u) << trs_test::Dump();
    }

    void AddEvents(int from, int count)
    {
        for (int i = from; i < from + count; i++)
            simulator_.RecordEvent(5, MakeEvent(i));
    }

    // Starts a read by a write of the JR gate and waits for its end line.
    void ReadJournal(kiv::DriverHost &host, size_t runs = 1)
    {
        ASSERT_EQ(host.Write(jr_, 1), 0u) << trs_test::Dump();
        ASSERT_TRUE(WaitForCount(kDone, runs)) << trs_test::Dump();
    }

    static bool WaitForCount(const char *line, size_t count)
    {
        for (int waited = 0; waited < 20000; waited += 5) {
            if (trs_test::Count(32, line) >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Every event of the station's journal, in its gate, once, in order, with its own time.
    void ExpectEveryEventStoredOnce()
    {
        std::vector<std::vector<kiv::GateSample>> expected(3);
        for (const Event &e : simulator_.Journal(5)) {
            kiv::GateSample sample;
            sample.timeStamp = static_cast<uint32_t>(trs::sim::HostTime(e.time));
            if (e.resource == 1)
                sample.value = std::stod(e.state.substr(e.state.find(':') + 1).replace(e.state.find(',') - e.state.find(':') - 1, 1, "."));
            else if (e.resource == 2)
                sample.value = std::stod(e.state);
            else
                sample.text = e.state;
            expected[e.resource - 1].push_back(sample);
        }
        for (size_t g = 0; g < 3; g++) {
            auto history = kiv::Runtime::Get().Gate(gates_[g])->history;
            ASSERT_EQ(history.size(), expected[g].size()) << "gate " << g;
            for (size_t k = 0; k < history.size(); k++) {
                EXPECT_DOUBLE_EQ(history[k].value, expected[g][k].value) << g << "/" << k;
                EXPECT_EQ(history[k].text, expected[g][k].text) << g << "/" << k;
                ASSERT_EQ(history[k].timeStamp, expected[g][k].timeStamp) << g << "/" << k;
            }
        }
    }

    std::vector<std::string> JournalRequests()
    {
        std::vector<std::string> requests;
        for (const auto &t : simulator_.Telegrams())
            if (t.rfind("J?", 0) == 0)
                requests.push_back(t);
        return requests;
    }

    double LastEventGate() { return kiv::Runtime::Get().Gate(last_)->current.value; }

    trs::sim::Simulator simulator_;
    std::string port_;
    std::vector<uint32_t> gates_;
    uint32_t jr_ = 0, last_ = 0, first_ = 0;
};

TEST_F(JournalReadTest, WholeJournalGoesIntoItsGatesAndTheNextReadResumes)
{
    AddEvents(0, 500);
    kiv::DriverHost host;
    Start(host);
    ReadJournal(host);
    ExpectEveryEventStoredOnce();
    auto requests = JournalRequests();
    ASSERT_EQ(requests.size(), 501u) << "one request per event and the one answered with status 001";
    EXPECT_EQ(requests[0], "J?\t");
    EXPECT_EQ(requests[1], "J?\t#0001\t");
    EXPECT_EQ(requests[500], "J?\t#0500\t");
    EXPECT_EQ(LastEventGate(), 500);
    EXPECT_EQ(simulator_.Telegrams()[0].rfind("TIME!\t", 0), 0u) << "the clock is set before the journal is read";
    EXPECT_EQ(trs_test::Count(32, kFailed), 0u);

    simulator_.ClearLog();
    AddEvents(500, 3);
    ASSERT_EQ(host.Read(jr_), 0u);
    EXPECT_EQ(host.LastValueArea(jr_)[2] | host.LastValueArea(jr_)[3] << 8, 1) << "a read of JR that started gives 1";
    ASSERT_TRUE(WaitForCount(kDone, 2)) << trs_test::Dump();
    EXPECT_EQ(JournalRequests(), (std::vector<std::string>{"J?\t#0500\t", "J?\t#0501\t", "J?\t#0502\t", "J?\t#0503\t"}));
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(LastEventGate(), 503);
    host.EndDrv();
}

TEST_F(JournalReadTest, SecondStartWhileReadingIsRefused)
{
    AddEvents(0, 400);
    kiv::DriverHost host;
    Start(host);
    ASSERT_EQ(host.Write(jr_, 1), 0u);
    EXPECT_EQ(host.Read(jr_), 3u) << "already reading";
    EXPECT_EQ(host.LastValueArea(jr_)[2] | host.LastValueArea(jr_)[3] << 8, 65535);
    EXPECT_EQ(host.Write(jr_, 1), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> StartReadJournal() Station (5) error, already reading journal"), 2u);
    ASSERT_TRUE(WaitForCount(kDone, 1)) << trs_test::Dump();
    ExpectEveryEventStoredOnce();
    host.EndDrv();
}

TEST_F(JournalReadTest, ReadBrokenOffBySilenceResumesWithNothingLostOrTwice)
{
    AddEvents(0, 200);
    kiv::DriverHost host;
    Start(host, "CLOCK_SYNC = NEVER\n");
    std::thread silencer([&] {
        simulator_.WaitForTelegrams(120, std::chrono::seconds(20));
        trs::sim::Fault silence;
        silence.kind = trs::sim::FaultKind::NoReply;
        silence.command = "J?";
        simulator_.InjectFault(silence);
    });
    ASSERT_EQ(host.Write(jr_, 1), 0u);
    silencer.join();
    ASSERT_TRUE(WaitForCount(kFailed, 1)) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> ReadJournal() reading of events failed, '005JR'"), 1u);
    EXPECT_EQ(trs_test::Count(32, kDone), 1u) << "the end line comes on failure too";
    const double stoppedAt = LastEventGate();
    EXPECT_EQ(stoppedAt, 0) << "LAST_EVENT is written only when the journal was read to its end";

    simulator_.ClearFaults();
    ReadJournal(host, 2);
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(LastEventGate(), 200);
    host.EndDrv();
}

TEST_F(JournalReadTest, LastEventFileCarriesTheNumberAcrossARestart)
{
    AddEvents(0, 10);
    {
        kiv::DriverHost host;
        Start(host, "STORE_LAST_EVENT\n");
        EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetLastEventNo() Failed"), 0u);
        ReadJournal(host);
        EXPECT_EQ(trs_test::Count(32, "TRSLNK: ReadEventFromJournal() Failed to get FIRST_EVENT. Reading all journal"), 1u);
        EXPECT_EQ(host.EndDrv(), 0u);
    }
    std::ifstream file("Last_Eve.ini");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[STATIONS]\n005=10\n");

    simulator_.ClearLog();
    trs_test::ClearLog();
    AddEvents(10, 2);
    kiv::DriverHost host;
    Start(host, "STORE_LAST_EVENT\n");
    ReadJournal(host);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: ReadEventFromJournal() Last event (10) was read from file"), 1u);
    EXPECT_EQ(JournalRequests(), (std::vector<std::string>{"J?\t#0010\t", "J?\t#0011\t", "J?\t#0012\t"}));
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(LastEventGate(), 12);
    host.EndDrv();
}

TEST_F(JournalReadTest, AlarmCallModeAsksFromTheLastEventTime)
{
    AddEvents(0, 3);
    kiv::DriverHost host;
    Start(host, "CLOCK_SYNC = NEVER\n");
    StationOf(static_cast<DriverInstance *>(host.Instance()), 5)->incomingCall = 1;
    ReadJournal(host);
    EXPECT_EQ(JournalRequests(), (std::vector<std::string>{"J?\t19930101010000\t", "J?\t#0001\tD*\t", "J?\t#0002\tD*\t",
                                                           "J?\t#0003\tD*\t"}));
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(trs_test::Count(0, "TRSLNK: ReadEventFromJournal() Reading Incoming Call event #001"), 1u);
    host.EndDrv();
}

TEST_F(JournalReadTest, NumberingWrapsAfter9999WithoutLosingEvent1)
{
    simulator_.SetNextEventNumber(5, 9998);
    AddEvents(0, 4);
    kiv::DriverHost host;
    Start(host, "CLOCK_SYNC = NEVER\n");
    ReadJournal(host);
    EXPECT_EQ(JournalRequests(),
              (std::vector<std::string>{"J?\t", "J?\t#9998\t", "J?\t#9999\t", "J?\t#0001\t", "J?\t#0002\t"}));
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> StoreEventData() Event 9999 was stored. Event 1 will be read next"), 1u);
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(LastEventGate(), 2);
    host.EndDrv();
}

TEST_F(JournalReadTest, RefusedEventRequestsEndTheReadAfterFourAttempts)
{
    AddEvents(0, 2);
    first_ = Add("005_FIRST_EVENT", GATE_TYPE_U16);
    kiv::DriverHost host;
    Start(host, "CLOCK_SYNC = NEVER\n");
    ASSERT_EQ(host.Write(first_, 1), 0u) << "the read goes on after the operator's number";
    trs::sim::Fault refuse;
    refuse.kind = trs::sim::FaultKind::Status;
    refuse.command = "J?";
    refuse.status = 133;
    simulator_.InjectFault(refuse);
    trs_test::ClearLog();
    ReadJournal(host);
    std::vector<std::string> lines;
    for (const auto &line : trs_test::Lines())
        if (line.level == 32 && line.text.find("DoRead") != std::string::npos)
            lines.push_back(line.text);
    const std::string refused = "TRSLNK> DoRead() error, Wit status message 'parameter error' in reply, retry ";
    EXPECT_EQ(lines, (std::vector<std::string>{refused + "4 '005JR'", refused + "3 '005JR'", refused + "2 '005JR'",
                                               refused + "1 '005JR'"}));
    EXPECT_EQ(JournalRequests(), std::vector<std::string>(4, "J?\t#0001\t"));
    const auto telegrams = simulator_.Telegrams();
    EXPECT_EQ(std::count(telegrams.begin(), telegrams.end(), "IDENT?\t"), 1)
        << "logged on again before the third attempt";
    EXPECT_EQ(trs_test::Count(32, kFailed), 1u);

    // A reply that is neither a status nor a journal answer is retried as well.
    simulator_.ClearFaults();
    simulator_.ClearLog();
    trs::sim::Fault garbage;
    garbage.kind = trs::sim::FaultKind::Raw;
    garbage.command = "J?";
    garbage.raw = trs::sim::Frame("XYZ\t");
    simulator_.InjectFault(garbage);
    ReadJournal(host, 2);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReadEventFromJournal() illegal answer, command missing, retry 3"), 1u);
    EXPECT_EQ(trs_test::Count(32, kFailed), 2u);
    EXPECT_TRUE(kiv::Runtime::Get().Gate(gates_[0])->history.empty()) << "nothing stored from a bad reply";
    host.EndDrv();
}

} // namespace
} // namespace journal_test
