// Whole journal reads through DrvMain against a simulated station on a pseudo-terminal:
// every event in its gate with its own time, reads that resume, the last-event file across
// a restart, alarm-call mode and refused requests. The line faults (silence, checksums,
// late replies, the wrap after 9999) are among the reliability tests, whose rig this uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "reliability/Rig.h"

namespace journal_test {
namespace {

using reliability::kJournalDone;
using reliability::kJournalFailed;
using Requests = std::vector<std::string>;

class JournalReadTest : public reliability::Rig {
protected:
    void SetUp() override { Rig::SetUp(); simulator_.AddStation(reliability::Plc5()); }
    void AddEvents(int from, int count)
    {
        for (int i = from; i < from + count; i++)
            simulator_.RecordEvent(5, reliability::MakeEvent(i));
    }
    void ExpectEveryEventStoredOnce() const { ExpectStoredOnce(simulator_.Journal(5)); }
    uint32_t JrValue() { return host_.LastValueArea(Gate("005JR"))[2] | host_.LastValueArea(Gate("005JR"))[3] << 8; }
};

TEST_F(JournalReadTest, WholeJournalGoesIntoItsGatesAndTheNextReadResumes)
{
    AddEvents(0, 500);
    StartSerial("CLOCK_SYNC = TIMESTAMP\n");
    ReadJournal(1);
    ExpectEveryEventStoredOnce();
    auto requests = JournalRequests();
    ASSERT_EQ(requests.size(), 501u) << "one request per event and the one answered with status 001";
    EXPECT_EQ(requests[0], "J?\t");
    EXPECT_EQ(requests[1], "J?\t#0001\t");
    EXPECT_EQ(requests[500], "J?\t#0500\t");
    EXPECT_EQ(LastEvent(), 500);
    EXPECT_EQ(simulator_.Telegrams()[0].rfind("TIME!\t", 0), 0u) << "the clock is set before the journal is read";
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 0u);

    simulator_.ClearLog();
    AddEvents(500, 3);
    ASSERT_EQ(host_.Read(Gate("005JR")), 0u);
    EXPECT_EQ(JrValue(), 1u) << "a read of JR that started gives 1";
    ASSERT_TRUE(reliability::WaitUntil([&] { return JournalRuns() >= 2; })) << trs_test::Dump();
    EXPECT_EQ(JournalRequests(), (Requests{"J?\t#0500\t", "J?\t#0501\t", "J?\t#0502\t", "J?\t#0503\t"}));
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(LastEvent(), 503);
}

TEST_F(JournalReadTest, SecondStartWhileReadingIsRefused)
{
    AddEvents(0, 400);
    StartSerial();
    ASSERT_EQ(host_.Write(Gate("005JR"), 1), 0u);
    EXPECT_EQ(host_.Read(Gate("005JR")), 3u) << "already reading";
    EXPECT_EQ(JrValue(), 65535u);
    EXPECT_EQ(host_.Write(Gate("005JR"), 1), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> StartReadJournal() Station (5) error, already reading journal"), 2u);
    ASSERT_TRUE(reliability::WaitUntil([&] { return JournalRuns() >= 1; })) << trs_test::Dump();
    ExpectEveryEventStoredOnce();
}

TEST_F(JournalReadTest, LastEventFileCarriesTheNumberAcrossARestart)
{
    AddEvents(0, 10);
    StartSerial("STORE_LAST_EVENT\n");
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetLastEventNo() Failed"), 0u);
    ReadJournal(1);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: ReadEventFromJournal() Failed to get FIRST_EVENT. Reading all journal"), 1u);
    EXPECT_EQ(host_.EndDrv(), 0u);
    std::ifstream file("Last_Eve.ini");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "[STATIONS]\n005=10\n");

    simulator_.ClearLog();
    trs_test::ClearLog();
    AddEvents(10, 2);
    kiv::DriverHost restarted; // the same gates and file
    restarted.Attach(DrvMain);
    ASSERT_EQ(restarted.ColdStart(1, trs_test::StartParams(port_)), 0u) << trs_test::Dump();
    ASSERT_EQ(restarted.BindAll(), gates_.size());
    ASSERT_EQ(restarted.Write(Gate("005JR"), 1), 0u);
    ASSERT_TRUE(reliability::WaitUntil([&] { return JournalRuns() >= 1; })) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: ReadEventFromJournal() Last event (10) was read from file"), 1u);
    EXPECT_EQ(JournalRequests(), (Requests{"J?\t#0010\t", "J?\t#0011\t", "J?\t#0012\t"}));
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(LastEvent(), 12);
    restarted.EndDrv();
}

TEST_F(JournalReadTest, AlarmCallModeAsksFromTheLastEventTime)
{
    AddEvents(0, 3);
    StartSerial();
    StationOf(Instance(), 5)->incomingCall = 1;
    ReadJournal(1);
    EXPECT_EQ(JournalRequests(), (Requests{"J?\t19930101010000\t", "J?\t#0001\tD*\t", "J?\t#0002\tD*\t", "J?\t#0003\tD*\t"}));
    ExpectEveryEventStoredOnce();
    EXPECT_EQ(trs_test::Count(0, "TRSLNK: ReadEventFromJournal() Reading Incoming Call event #001"), 1u);
}

TEST_F(JournalReadTest, RefusedEventRequestsEndTheReadAfterFourAttempts)
{
    AddEvents(0, 2);
    AddGate("005_FIRST_EVENT", GATE_TYPE_U16);
    StartSerial();
    ASSERT_EQ(host_.Write(Gate("005_FIRST_EVENT"), 1), 0u) << "the read goes on after the operator's number";
    simulator_.InjectFault({trs::sim::FaultKind::Status, "J?", -1, 0, 133, ""});
    trs_test::ClearLog();
    ReadJournal(1);
    std::vector<std::string> lines;
    for (const auto &line : trs_test::Lines())
        if (line.level == 32 && line.text.find("DoRead") != std::string::npos)
            lines.push_back(line.text);
    const std::string refused = "TRSLNK> DoRead() error, Wit status message 'parameter error' in reply, retry ";
    EXPECT_EQ(lines, (std::vector<std::string>{refused + "4 '005JR'", refused + "3 '005JR'", refused + "2 '005JR'",
                                               refused + "1 '005JR'"}));
    EXPECT_EQ(JournalRequests(), Requests(4, "J?\t#0001\t"));
    const auto telegrams = simulator_.Telegrams();
    EXPECT_EQ(std::count(telegrams.begin(), telegrams.end(), "IDENT?\t"), 1) << "logged on again before the third attempt";
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 1u);

    // A reply that is neither a status nor a journal answer is retried as well.
    simulator_.ClearFaults();
    simulator_.ClearLog();
    simulator_.InjectFault({trs::sim::FaultKind::Raw, "J?", -1, 0, 0, trs::sim::Frame("XYZ\t")});
    ReadJournal(2);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReadEventFromJournal() illegal answer, command missing, retry 3"), 1u);
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 2u);
    EXPECT_TRUE(Runtime().Gate(Gate("005RA001"))->history.empty()) << "nothing stored from a bad reply";
}

} // namespace
} // namespace journal_test
