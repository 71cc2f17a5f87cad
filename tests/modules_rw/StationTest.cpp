// Reads and writes against a simulated station on a pseudo-terminal: every reply layout,
// the request cycle's retries and log-ons, link failures and malformed replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "host/Host.h"
#include "link/Clock.h"
#include "link/Port.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

using rw_test::GateRig;
using trs::sim::Fault;
using trs::sim::FaultKind;
using Telegrams = std::vector<std::string>;

namespace {

std::string Field(const std::string &text)
{
    return std::string(16 - text.size(), ' ') + text;
}

// Each of the four attempts logged once at level 32; %d is the attempt number.
void ExpectEveryAttempt(const char *format)
{
    for (int attempt = 0; attempt < 4; attempt++)
        EXPECT_EQ(trs_test::Count(32, trs_test::Format(format, attempt)), 1u) << attempt << "\n" << trs_test::Dump();
}

class StationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.05);
        kiv::Runtime::Get().Reset();
        trs::sim::StationConfig config;
        config.identity = 1;
        config.name = "PLC1";
        config.accessCode = "1234";
        config.variables = {{"AI12", "1234"}, {"AI5", "0"}, {"AI1", "10"}, {"AI2", "-20"}, {"AI3", "30"},
                            {"FR2", "3,25"},  {"FX1", "-0,5"}, {"SR1", "\"North\""}, {"TB", "1"}};
        config.resources[7] = trs::sim::Resource{'A', Field(":0")};
        config.resources[12] = trs::sim::Resource{'.', Field("Level:12,5")};
        config.resources[13] = trs::sim::Resource{'.', Field("Level:-3")};
        simulator.AddStation(config);
        std::string error;
        auto path = simulator.OpenPty(&error);
        ASSERT_TRUE(path) << error;

        instance = trs_test::NewInstance(65);
        instance->comTimeout = 500;
        station = trs_test::AddStation(instance, 1, "PLC1", "1234");
        LineSettings line{9600, 8, 0, 0};
        PortHandle handle = 0;
        ASSERT_EQ(OpenPort(path->c_str(), &line, 0, &handle), static_cast<uint32_t>(PORT_OK));
        instance->comHandle = handle;
        SetReadTimeout(handle, instance->comTimeout);
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        if (instance && instance->comHandle)
            ClosePort(instance->comHandle);
        trs_test::FreeInstance(instance);
        PlatformSetTimeScale(1.0);
    }

    Telegrams Sent() const { return simulator.Telegrams(); }
    // For cases that wait for a silent station: one second of read time-out.
    void ShortReadTimeout()
    {
        instance->comTimeout = 100;
        SetReadTimeout(instance->comHandle, instance->comTimeout);
    }
    void Clear()
    {
        simulator.ClearLog();
        trs_test::ClearLog();
    }
    // The log lines of the exchange itself, without the notes on the missing RTS line.
    size_t ExchangeLines() const
    {
        auto lines = trs_test::Lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const auto &l) { return l.text != "TRSLNK> Send() EscapeCommFunction() failed"; });
    }

    trs::sim::Simulator simulator;
    DriverInstance *instance = nullptr;
    StationRecord *station = nullptr;
};

TEST_F(StationTest, ReadsEveryReplyLayout)
{
    const struct {
        const char *what;
        uint32_t memoryType, gateType, address, blockLength; // 0: single read
        std::string telegram;
        std::function<void(const GateRig &)> check;
    } cases[] = {
        {"integer", MT_AI, GATE_TYPE_U16, 12, 0, "PLC1\tVAR?\tAI12\t1\t", [](auto &g) { EXPECT_EQ(g.U16(2), 1234); }},
        {"float comma", MT_FR, GATE_TYPE_FLOAT, 2, 0, "PLC1\tVAR?\tFR2\t1\t",
         [](auto &g) { EXPECT_FLOAT_EQ(g.Float(0), 3.25f); }},
        {"text", MT_SR, GATE_TYPE_TEXT, 1, 0, "PLC1\tVAR?\tSR1\t1\t", [](auto &g) { EXPECT_EQ(g.Text(), "North"); }},
        {"bit", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "PLC1\tVAR?\tTB\t", [](auto &g) { EXPECT_EQ(g.U16(2), 1); }},
        {"digital resource", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "PLC1\tETAT?\t7\t1\t",
         [](auto &g) { EXPECT_EQ(g.U16(2), 1); }},
        {"analog resource", MT_RA, GATE_TYPE_FLOAT, 12, 0, "PLC1\tETAT?\t12\t1\t",
         [](auto &g) { EXPECT_FLOAT_EQ(g.Float(0), 12.5f); }},
        {"clock hour", MT_TM, GATE_TYPE_U16, 0, 0, "PLC1\tTIME?\t", [](auto &g) { EXPECT_LE(g.U16(2), 23); }},
        {"calendar month", MT_DT, GATE_TYPE_U16, 1, 0, "PLC1\tDATE?\t",
         [](auto &g) { EXPECT_GE(g.U16(2), 1); EXPECT_LE(g.U16(2), 12); }},
        {"integer block", MT_AI, GATE_TYPE_S16, 1, 3, "PLC1\tVAR?\tAI1\t3\t",
         [](auto &g) { EXPECT_EQ(g.U16(0), 10); EXPECT_EQ(g.U16(2), 0xFFEC); EXPECT_EQ(g.U16(4), 30); }},
        {"analog resource block", MT_RA, GATE_TYPE_S16, 12, 2, "PLC1\tETAT?\t12\t2\t",
         [](auto &g) { EXPECT_EQ(static_cast<int32_t>(g.U32(0)), 125); EXPECT_EQ(static_cast<int32_t>(g.U32(4)), -3); }},
        {"float block", MT_FX, GATE_TYPE_FLOAT, 1, 1, "PLC1\tVAR?\tFX1\t1\t",
         [](auto &g) { EXPECT_FLOAT_EQ(g.Float(0), -0.5f); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Clear();
        GateRig gate(instance, c.memoryType, c.gateType, c.address, c.blockLength, 1);
        gate.gate.blockLength = std::max(c.blockLength, 1u); // a single gate asks for one value
        gate.Fill(0xEE);
        EXPECT_EQ(c.blockLength ? BlockRead(&gate.request) : SingleRead(&gate.request), 0u) << trs_test::Dump();
        EXPECT_EQ(Sent(), Telegrams{c.telegram});
        c.check(gate);
        EXPECT_TRUE(gate.GuardIntact());
        EXPECT_EQ(ExchangeLines(), 0u) << trs_test::Dump();
    }
}

TEST_F(StationTest, WritesEveryForm)
{
    auto variable = [this](const char *token, const std::string &value) {
        return [=, this] { EXPECT_EQ(simulator.Variable(1, token), std::optional<std::string>(value)); };
    };
    auto resource = [this](int number, char state) {
        return [=, this] { EXPECT_EQ(simulator.GetResource(1, number)->state, state); };
    };
    const struct {
        const char *what;
        uint32_t memoryType, gateType, address;
        std::function<void(GateRig &)> set;
        std::string telegram;
        std::function<void()> check; // what the station then holds
    } cases[] = {
        {"integer", MT_AI, GATE_TYPE_S16, 5, [](GateRig &g) { g.SetU16(65535); }, "PLC1\tVAR!\tAI5\t-1\t",
         variable("AI5", "-1")},
        {"float", MT_FR, GATE_TYPE_FLOAT, 2, [](GateRig &g) { g.SetFloat(1.5f); }, "PLC1\tVAR!\tFR2\t1,500000\t",
         variable("FR2", "1,500000")},
        {"text", MT_SR, GATE_TYPE_TEXT, 1, [](GateRig &g) { g.SetText("AB"); }, "PLC1\tVAR!\tSR1\t\"AB              \"\t",
         variable("SR1", "\"AB              \"")},
        {"digital resource", MT_RD, GATE_TYPE_DIGITAL, 7, [](GateRig &g) { g.SetU16(0); }, "PLC1\tETAT!\t7\t0\t",
         resource(7, '.')},
        // An analog resource takes its value as a number with a decimal comma.
        {"analog resource", MT_RA, GATE_TYPE_FLOAT, 12, [](GateRig &g) { g.SetFloat(12.5f); },
         "PLC1\tETAT!\t12\t12,500000\t", resource(12, 'A')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Clear();
        GateRig gate(instance, c.memoryType, c.gateType, c.address, 0, 1);
        gate.request.function = FN_SINGLE_WRITE;
        c.set(gate);
        EXPECT_EQ(SingleWrite(&gate.request), 0u) << trs_test::Dump();
        EXPECT_EQ(Sent(), Telegrams{c.telegram});
        c.check();
        EXPECT_EQ(ExchangeLines(), 1u) << trs_test::Dump(); // the progress line alone
    }
}

TEST_F(StationTest, StatusRepliesRefuseAttempts)
{
    // A write refused four times, with a log-on before the third attempt.
    simulator.InjectFault(Fault{FaultKind::Status, "VAR!", -1, 0, 133, ""});
    GateRig write(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    write.SetU16(7);
    EXPECT_EQ(SingleWrite(&write.request), 1u);
    const std::string w = "PLC1\tVAR!\tAI12\t7\t";
    EXPECT_EQ(Sent(), (Telegrams{w, w, "IDENT?\t", "PLC1\tACCES\t1234\t", w, w}));
    ExpectEveryAttempt("TRSLNK> DoWrite() error, Wit status message 'parameter error' in reply, retry %d 'TEST'");
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> SingleWrite() failed, rc 1"), 1u);
    EXPECT_EQ(station->loggedOn, 1);

    // A read refused with status 0.
    simulator.ClearFaults();
    simulator.InjectFault(Fault{FaultKind::Status, "VAR?", -1, 0, 0, ""});
    GateRig read(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    read.gate.blockLength = 1;
    read.Fill(0xEE);
    EXPECT_EQ(SingleRead(&read.request), 1u);
    ExpectEveryAttempt("TRSLNK> DoRead() error, Wit status message 'STATUS OK' in reply, retry %d 'TEST'");
    EXPECT_EQ(read.U32(0), 0xEEEEEEEEu);

    // A write answered once without STATUT, then accepted.
    simulator.ClearFaults();
    simulator.InjectFault(Fault{FaultKind::Raw, "VAR!", 1, 0, 0, trs::sim::Frame("NOTHING\t")});
    Clear();
    write.SetU16(8);
    EXPECT_EQ(SingleWrite(&write.request), 0u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> DoWrite() illegal answer, 'STATUT' missing, retry 0 'TEST'"), 1u);
    EXPECT_EQ(Sent().size(), 2u);
    EXPECT_EQ(simulator.Variable(1, "AI12"), std::optional<std::string>("8"));
}

TEST_F(StationTest, SilentStationIsALinkFailureUnlessNoComError)
{
    simulator.InjectFault(Fault{FaultKind::NoReply, "", -1, 0, 0, ""});
    ShortReadTimeout();
    for (uint32_t noComError : {0u, 1u}) {
        SCOPED_TRACE(noComError);
        trs_test::ClearLog();
        instance->noComError = noComError;
        station->loggedOn = 1; // a failed log-on takes it back
        GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
        gate.gate.blockLength = 1;
        const uint32_t expected = noComError ? 1u : 2u;
        EXPECT_EQ(SingleRead(&gate.request), expected);
        EXPECT_EQ(trs_test::Count(32, "TRSLNK: DoBlockRead() InitStation() failed"), 1u) << trs_test::Dump();
        EXPECT_EQ(trs_test::Count(32, trs_test::Format("TRSLNK> SingleRead() failed, rc %u", expected)), 1u);
        EXPECT_EQ(station->loggedOn, 0);
        gate.request.function = FN_SINGLE_WRITE;
        EXPECT_EQ(SingleWrite(&gate.request), expected);
        EXPECT_EQ(trs_test::Count(32, trs_test::Format("TRSLNK> SingleWrite() failed, rc %u", expected)), 1u);
    }
}

TEST_F(StationTest, StationStopsAnsweringMidBlock)
{
    const std::string full = trs::sim::Frame("VAR=\tAI1\t10\t-20\t30\t");
    simulator.InjectFault(Fault{FaultKind::Raw, "VAR?", -1, 0, 0, full.substr(0, 12)});
    ShortReadTimeout();
    GateRig gate(instance, MT_AI, GATE_TYPE_S16, 1, 3, 1);
    gate.Fill(0xEE);
    EXPECT_EQ(BlockRead(&gate.request), 1u);
    ExpectEveryAttempt("TRSLNK> DoRead() error receiving reply, retry %d 'TEST'");
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> BlockRead() failed, rc 1"), 1u);
    EXPECT_EQ(std::vector<uint8_t>(gate.storage.begin(), gate.storage.begin() + gate.areaSize),
              std::vector<uint8_t>(gate.areaSize, 0xEE));
    EXPECT_TRUE(gate.GuardIntact());
}

TEST_F(StationTest, MalformedRepliesFailOnceWithoutWritingPastTheArea)
{
    const std::pair<int, std::string> noTab = {64, "TRSLNK> StoreData() error, TAB character not found in reply, gate 'TEST'"};
    const struct {
        const char *what;
        uint32_t memoryType, gateType, address, blockLength;
        std::string reply; // payload; framed with a good checksum
        std::vector<std::pair<int, std::string>> lines;
    } cases[] = {
        {"missing TABs", MT_AI, GATE_TYPE_U16, 12, 0, "VAR=\tAI12", {noTab}},
        {"17-character field", MT_RA, GATE_TYPE_S16, 12, 1, "ETAT=\t012\t.\t" + Field(":5") + "x\t",
         {{8, "TRSLNK> StoreData() illegal reply length (24 / 23), gate 'TEST'"},
          {64, "TRSLNK> StoreData() error reading data '" + Field(":5") + "' in reply for analog resource, gate 'TEST'"}}},
        {"10000-character text", MT_SR, GATE_TYPE_TEXT, 1, 0, "VAR=\tSR1\t\"" + std::string(10000, 'x') + "\"\t",
         {{32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"}}},
        {"equals at the end", MT_AI, GATE_TYPE_U16, 12, 0, "VAR=", {noTab}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        simulator.ClearFaults();
        Clear();
        simulator.InjectFault(Fault{FaultKind::Raw, "", 1, 0, 0, trs::sim::Frame(c.reply)});
        GateRig gate(instance, c.memoryType, c.gateType, c.address, c.blockLength, 1);
        gate.gate.blockLength = std::max(c.blockLength, 1u);
        gate.Fill(0xEE);
        EXPECT_EQ(c.blockLength ? BlockRead(&gate.request) : SingleRead(&gate.request), 1u);
        EXPECT_EQ(Sent().size(), 1u) << "a decoding failure is not retried";
        for (const auto &[level, text] : c.lines)
            EXPECT_EQ(trs_test::Count(level, text), 1u) << trs_test::Dump();
        EXPECT_EQ(trs_test::Count(c.blockLength ? 64 : 32, c.blockLength ? "TRSLNK> BlockRead() failed, rc 1"
                                                                         : "TRSLNK> SingleRead() failed, rc 1"),
                  1u);
        EXPECT_TRUE(gate.GuardIntact());
    }
}

TEST_F(StationTest, TransparentModeLogsTheStationOnFirst)
{
    instance->transparentMode = 1;
    instance->loggedOnStation = 9;
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    gate.gate.blockLength = 1;
    EXPECT_EQ(SingleRead(&gate.request), 0u) << trs_test::Dump();
    EXPECT_EQ(Sent(), (Telegrams{"IDENT?\t", "PLC1\tACCES\t1234\t", "PLC1\tVAR?\tAI12\t1\t"}));
    EXPECT_EQ(instance->loggedOnStation, 1);
    EXPECT_EQ(station->loggedOn, 1);

    simulator.ClearLog();
    EXPECT_EQ(SingleRead(&gate.request), 0u);
    EXPECT_EQ(Sent(), Telegrams{"PLC1\tVAR?\tAI12\t1\t"}) << "the standing log-on is reused";

    simulator.InjectFault(Fault{FaultKind::NoReply, "IDENT?", -1, 0, 0, ""});
    ShortReadTimeout();
    instance->loggedOnStation = 9;
    trs_test::ClearLog();
    EXPECT_NE(SingleRead(&gate.request), 0u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: DoBlockRead() InitStation() for 'Transperent mode' failed"), 1u)
        << trs_test::Dump();
}

TEST_F(StationTest, ClockWritesFromTheComputersClock)
{
    for (uint32_t type : {MT_TM, MT_DT}) {
        simulator.ClearLog();
        GateRig gate(instance, type, GATE_TYPE_U16, 0, 0, 1);
        const time_t before = time(nullptr);
        EXPECT_EQ(SingleWrite(&gate.request), 0u) << trs_test::Dump();
        const time_t after = time(nullptr);
        Telegrams allowed;
        for (time_t t = before; t <= after; t++) {
            struct tm local{};
            localtime_r(&t, &local);
            char text[32];
            strftime(text, sizeof text, type == MT_TM ? "TIME!\t%H:%M:%S\t" : "DATE!\t%d/%m/%y\t", &local);
            allowed.push_back(text);
        }
        ASSERT_EQ(Sent().size(), 1u);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), Sent()[0]), allowed.end()) << Sent()[0];
    }

    Clear();
    GateRig other(instance, MT_AI, GATE_TYPE_U16, 0, 0, 1);
    EXPECT_EQ(WriteWStationDateTime(&other.request), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: WriteWStationDateTime() failed. Invalid memory type Tag 'TEST'"), 1u);
    EXPECT_TRUE(Sent().empty());

    simulator.InjectFault(Fault{FaultKind::Status, "TIME!", -1, 0, 131, ""});
    trs_test::ClearLog();
    GateRig clock(instance, MT_TM, GATE_TYPE_U16, 0, 0, 1);
    EXPECT_EQ(SingleWrite(&clock.request), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> WriteWStationDateTime() error, Wit status message 'command (type) error' in "
                                  "reply, retry 3"),
              1u)
        << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> SingleWrite() Writing Date/Time failed. rc=1 Tag 'TEST'"), 1u);
}

} // namespace
