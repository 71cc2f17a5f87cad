// Reads and writes against a simulated station on a pseudo-terminal: the telegrams of each
// form, the request cycle's retries and log-ons, link failures and malformed replies.
#include <gtest/gtest.h>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "link/Clock.h"
#include "support/SimLine.h"

namespace {

using namespace rw_test;
using trs::sim::Fault;
using trs::sim::FaultKind;
using trs_test::Count;
using Telegrams = std::vector<std::string>;

class StationTest : public trs_test::SimLineTest {
protected:
    void SetUp() override
    {
        SimLineTest::SetUp();
        sim.AddStation(trs_test::SimStation(1, "PLC1", "1234", false, {{"AI12", "1234"}, {"AI1", "10"}, {"AI2", "-20"}, {"AI3", "30"}}));
        instance->drvNumber = 65;
        station = trs_test::AddStation(instance, 1, "PLC1", "1234");
        Open(500);
    }
    void Clear()
    {
        sim.ClearLog();
        sim.ClearFaults();
        trs_test::ClearLog();
    }
    uint32_t Read(GateRig &gate)
    {
        gate.gate.blockLength = std::max(gate.gate.blockLength, 1u); // a single gate asks for one value
        return gate.request.function == FN_BLOCK_READ ? BlockRead(&gate.request) : SingleRead(&gate.request);
    }
    // Each of the four attempts logged once at level 32; %d is the attempt number.
    static void ExpectEveryAttempt(const char *format)
    {
        for (int attempt = 0; attempt < 4; attempt++)
            EXPECT_EQ(Count(32, trs_test::Format(format, attempt)), 1u) << attempt << "\n" << trs_test::Dump();
    }
    StationRecord *station = nullptr;
};

TEST_F(StationTest, StatusRepliesRefuseAttempts)
{
    // A write refused four times, with a log-on before the third attempt.
    sim.InjectFault(Fault{FaultKind::Status, "VAR!", -1, 0, 133, ""});
    GateRig write(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    write.Set(Word(7));
    EXPECT_EQ(SingleWrite(&write.request), 1u);
    const std::string w = "PLC1\tVAR!\tAI12\t7\t";
    EXPECT_EQ(sim.Telegrams(), (Telegrams{w, w, "IDENT?\t", "PLC1\tACCES\t1234\t", w, w}));
    ExpectEveryAttempt("TRSLNK> DoWrite() error, Wit status message 'parameter error' in reply, retry %d 'TEST'");
    EXPECT_EQ(Count(32, "TRSLNK> SingleWrite() failed, rc 1"), 1u);
    EXPECT_EQ(station->loggedOn, 1);
    // A write answered once without STATUT, then accepted.
    Clear();
    sim.InjectFault(Fault{FaultKind::Raw, "VAR!", 1, 0, 0, trs::sim::Frame("NOTHING\t")});
    write.Set(Word(8));
    EXPECT_EQ(SingleWrite(&write.request), 0u) << trs_test::Dump();
    EXPECT_EQ(Count(32, "TRSLNK> DoWrite() illegal answer, 'STATUT' missing, retry 0 'TEST'"), 1u);
    EXPECT_EQ(sim.Telegrams().size(), 2u);
    EXPECT_EQ(sim.Variable(1, "AI12"), std::optional<std::string>("8"));
}

TEST_F(StationTest, SilentStationIsALinkFailureUnlessNoComError)
{
    sim.InjectFault(Fault{FaultKind::NoReply, "", -1, 0, 0, ""});
    Timeout(100);
    for (uint32_t noComError : {0u, 1u}) {
        trs_test::ClearLog();
        instance->noComError = noComError;
        station->loggedOn = 1; // a failed log-on takes it back
        GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
        const uint32_t expected = noComError ? 1u : 2u;
        EXPECT_EQ(Read(gate), expected);
        EXPECT_EQ(Count(32, "TRSLNK: DoBlockRead() InitStation() failed"), 1u) << trs_test::Dump();
        EXPECT_EQ(Count(32, trs_test::Format("TRSLNK> SingleRead() failed, rc %u", expected)), 1u);
        EXPECT_EQ(station->loggedOn, 0);
        EXPECT_EQ(SingleWrite(&gate.request), expected);
        EXPECT_EQ(Count(32, trs_test::Format("TRSLNK> SingleWrite() failed, rc %u", expected)), 1u);
    }
}

// Cut replies are retried; replies that decode badly fail at once; neither writes past the area.
TEST_F(StationTest, BrokenReplies)
{
    sim.InjectFault(Fault{FaultKind::Raw, "VAR?", -1, 0, 0, trs::sim::Frame("VAR=\tAI1\t10\t-20\t30\t").substr(0, 12)});
    Timeout(100);
    GateRig block(instance, MT_AI, GATE_TYPE_S16, 1, 3, 1);
    EXPECT_EQ(Read(block), 1u);
    ExpectEveryAttempt("TRSLNK> DoRead() error receiving reply, retry %d 'TEST'");
    EXPECT_EQ(Count(64, "TRSLNK> BlockRead() failed, rc 1"), 1u);
    EXPECT_EQ(block.Area(12), kEE + kEE + kEE);
    Timeout(10000); // a second at the tests' time scale: replies come, even on a loaded machine
    // The replies as payloads: the fault frames them with a good checksum.
    const struct { uint32_t memoryType, gateType, address; std::string reply; trs_test::Line line; } cases[] = {
        {MT_AI, GATE_TYPE_U16, 12, "VAR=", {64, "TRSLNK> StoreData() error, TAB character not found in reply, gate 'TEST'"}},
        {MT_SR, GATE_TYPE_TEXT, 1, "VAR=\tSR1\t\"" + std::string(10000, 'x') + "\"\t",
         {32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"}},
    };
    for (const auto &c : cases) {
        Clear();
        sim.InjectFault(Fault{FaultKind::Raw, "", 1, 0, 0, trs::sim::Frame(c.reply)});
        GateRig gate(instance, c.memoryType, c.gateType, c.address, 0, 1);
        EXPECT_EQ(Read(gate), 1u);
        EXPECT_EQ(sim.Telegrams().size(), 1u) << "a decoding failure is not retried";
        EXPECT_EQ(Count(c.line.first, c.line.second), 1u) << trs_test::Dump();
        EXPECT_EQ(Count(32, "TRSLNK> SingleRead() failed, rc 1"), 1u);
        EXPECT_TRUE(gate.GuardIntact());
    }
    // A reply that fills the whole receive buffer costs one attempt; the retry reads.
    Clear();
    sim.InjectFault(Fault{FaultKind::Raw, "", 1, 0, 0, std::string(50000, 'x')});
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    EXPECT_EQ(Read(gate), 0u) << trs_test::Dump();
    EXPECT_EQ(Count(32, "TRSLNK> ReceiveMsg() Max. expected bytes: 50000 Bytes read: 50000"), 1u) << trs_test::Dump();
}

TEST_F(StationTest, TransparentModeLogsTheStationOnFirst)
{
    instance->transparentMode = 1;
    instance->loggedOnStation = 9;
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    EXPECT_EQ(Read(gate), 0u) << trs_test::Dump();
    EXPECT_EQ(sim.Telegrams(), (Telegrams{"IDENT?\t", "PLC1\tACCES\t1234\t", "PLC1\tVAR?\tAI12\t1\t"}));
    EXPECT_EQ(instance->loggedOnStation, 1);
    sim.ClearLog();
    EXPECT_EQ(Read(gate), 0u);
    EXPECT_EQ(sim.Telegrams(), Telegrams{"PLC1\tVAR?\tAI12\t1\t"}) << "the standing log-on is reused";
    sim.InjectFault(Fault{FaultKind::NoReply, "IDENT?", -1, 0, 0, ""});
    Timeout(100);
    instance->loggedOnStation = 9;
    EXPECT_NE(Read(gate), 0u);
    EXPECT_EQ(Count(32, "TRSLNK: DoBlockRead() InitStation() for 'Transperent mode' failed"), 1u) << trs_test::Dump();
}

TEST_F(StationTest, ClockWritesFromTheComputersClock)
{
    GateRig date(instance, MT_DT, GATE_TYPE_U16, 0, 0, 1);
    const time_t before = time(nullptr);
    EXPECT_EQ(SingleWrite(&date.request), 0u) << trs_test::Dump();
    Telegrams allowed; // the dates of every second the write may have taken
    for (time_t t = before; t <= time(nullptr); t++) {
        char text[32];
        struct tm local {};
        strftime(text, sizeof text, "DATE!\t%d/%m/%y\t", localtime_r(&t, &local));
        allowed.push_back(text);
    }
    ASSERT_EQ(sim.Telegrams().size(), 1u);
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), sim.Telegrams()[0]), allowed.end());
    Clear();
    GateRig other(instance, MT_AI, GATE_TYPE_U16, 0, 0, 1);
    EXPECT_EQ(WriteWStationDateTime(&other.request), 1u);
    EXPECT_EQ(Count(32, "TRSLNK: WriteWStationDateTime() failed. Invalid memory type Tag 'TEST'"), 1u);
    sim.InjectFault(Fault{FaultKind::Status, "TIME!", -1, 0, 131, ""});
    GateRig clock(instance, MT_TM, GATE_TYPE_U16, 0, 0, 1);
    EXPECT_EQ(SingleWrite(&clock.request), 1u);
    EXPECT_EQ(Count(32, "TRSLNK> WriteWStationDateTime() error, Wit status message 'command (type) error' in reply, retry 3"), 1u);
    EXPECT_EQ(Count(64, "TRSLNK> SingleWrite() Writing Date/Time failed. rc=1 Tag 'TEST'"), 1u);
}

} // namespace
