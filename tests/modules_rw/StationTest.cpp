// Reads and writes against a simulated station on a pseudo-terminal: every memory type,
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

namespace {

std::string Field(const std::string &text)
{
    return std::string(16 - text.size(), ' ') + text;
}

// The log lines of the exchange itself: a pseudo-terminal has no RTS line, so the link
// layer's notes about it are left out.
std::vector<kiv::LogLine> ExchangeLines()
{
    std::vector<kiv::LogLine> lines;
    for (const auto &line : trs_test::Lines())
        if (line.text != "TRSLNK> Send() EscapeCommFunction() failed")
            lines.push_back(line);
    return lines;
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
        config.variables = {{"AI12", "1234"}, {"AI5", "-1"},   {"AI1", "10"},      {"AI2", "-20"}, {"AI3", "30"},
                            {"FR2", "3,25"},  {"FX1", "-0,5"}, {"SR1", "\"North\""}, {"DI3.7", "5"}, {"TB", "1"}};
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

    std::vector<std::string> Sent() const { return simulator.Telegrams(); }

    // For cases that wait for a silent station: one second of read time-out.
    void ShortReadTimeout()
    {
        instance->comTimeout = 100;
        SetReadTimeout(instance->comHandle, instance->comTimeout);
    }

    trs::sim::Simulator simulator;
    DriverInstance *instance = nullptr;
    StationRecord *station = nullptr;
};

struct ReadCase {
    const char *what;
    uint32_t memoryType, gateType, address, blockLength;
    std::string telegram;
    std::function<void(const GateRig &)> check;
};

TEST_F(StationTest, ReadsEveryMemoryType)
{
    const uint32_t ext37 = (3u << 16) | 7u;
    const ReadCase cases[] = {
        {"unsigned", MT_AI, GATE_TYPE_U16, 12, 1, "PLC1\tVAR?\tAI12\t1\t", [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1234); }},
        {"signed", MT_AI, GATE_TYPE_S16, 5, 1, "PLC1\tVAR?\tAI5\t1\t", [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0xFFFF); }},
        {"extension", MT_DI, GATE_TYPE_U16, ext37, 1, "PLC1\tVAR?\tDI3.7\t1\t",
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 5); }},
        {"float comma", MT_FR, GATE_TYPE_FLOAT, 2, 1, "PLC1\tVAR?\tFR2\t1\t",
         [](const GateRig &g) { EXPECT_FLOAT_EQ(g.Float(0), 3.25f); }},
        {"text", MT_SR, GATE_TYPE_TEXT, 1, 1, "PLC1\tVAR?\tSR1\t1\t", [](const GateRig &g) { EXPECT_EQ(g.Text(), "North"); }},
        {"bit", MT_TB, GATE_TYPE_DIGITAL, 0, 1, "PLC1\tVAR?\tTB\t", [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); }},
        {"digital resource", MT_RD, GATE_TYPE_DIGITAL, 7, 1, "PLC1\tETAT?\t7\t1\t",
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); }},
        {"analog resource", MT_RA, GATE_TYPE_FLOAT, 12, 1, "PLC1\tETAT?\t12\t1\t",
         [](const GateRig &g) { EXPECT_FLOAT_EQ(g.Float(0), 12.5f); }},
        {"clock hour", MT_TM, GATE_TYPE_U16, 0, 1, "PLC1\tTIME?\t", [](const GateRig &g) { EXPECT_LE(g.U16(2), 23); }},
        {"calendar month", MT_DT, GATE_TYPE_U16, 1, 1, "PLC1\tDATE?\t",
         [](const GateRig &g) { EXPECT_GE(g.U16(2), 1); EXPECT_LE(g.U16(2), 12); }},
    };
    for (const ReadCase &c : cases) {
        simulator.ClearLog();
        trs_test::ClearLog();
        GateRig gate(instance, c.memoryType, c.gateType, c.address, 0, 1);
        gate.gate.blockLength = c.blockLength; // a single gate asks for one value
        gate.Fill(0xEE);
        EXPECT_EQ(SingleRead(&gate.request), 0u) << c.what << "\n" << trs_test::Dump();
        EXPECT_EQ(Sent(), std::vector<std::string>{c.telegram}) << c.what;
        c.check(gate);
        EXPECT_TRUE(gate.GuardIntact()) << c.what;
        EXPECT_TRUE(ExchangeLines().empty()) << c.what << "\n" << trs_test::Dump();
    }
}

TEST_F(StationTest, ReadsBlocks)
{
    GateRig integers(instance, MT_AI, GATE_TYPE_S16, 1, 3, 1);
    EXPECT_EQ(BlockRead(&integers.request), 0u) << trs_test::Dump();
    EXPECT_EQ(integers.U16(0), 10);
    EXPECT_EQ(integers.U16(2), static_cast<uint16_t>(-20));
    EXPECT_EQ(integers.U16(4), 30);
    EXPECT_TRUE(integers.GuardIntact());

    GateRig analog(instance, MT_RA, GATE_TYPE_S16, 12, 2, 1);
    EXPECT_EQ(BlockRead(&analog.request), 0u) << trs_test::Dump();
    EXPECT_EQ(static_cast<int32_t>(analog.U32(0)), 125);
    EXPECT_EQ(static_cast<int32_t>(analog.U32(4)), -3);
    EXPECT_TRUE(analog.GuardIntact());

    GateRig floats(instance, MT_FX, GATE_TYPE_FLOAT, 1, 1, 1);
    EXPECT_EQ(BlockRead(&floats.request), 0u);
    EXPECT_FLOAT_EQ(floats.Float(0), -0.5f);

    EXPECT_EQ(Sent(), (std::vector<std::string>{"PLC1\tVAR?\tAI1\t3\t", "PLC1\tETAT?\t12\t2\t", "PLC1\tVAR?\tFX1\t1\t"}));
    EXPECT_TRUE(ExchangeLines().empty()) << trs_test::Dump();
}

struct WriteCase {
    const char *what;
    uint32_t memoryType, gateType, address;
    std::function<void(GateRig &)> set;
    std::string telegram;
    std::string token; // variable that the station then holds
    std::string stored;
};

TEST_F(StationTest, WritesEveryForm)
{
    const uint32_t ext37 = (3u << 16) | 7u;
    const WriteCase cases[] = {
        {"signed", MT_AI, GATE_TYPE_S16, 5, [](GateRig &g) { g.SetU16(65535); }, "PLC1\tVAR!\tAI5\t-1\t", "AI5", "-1"},
        {"unsigned", MT_AI, GATE_TYPE_U16, 5, [](GateRig &g) { g.SetU16(65535); }, "PLC1\tVAR!\tAI5\t65535\t", "AI5",
         "65535"},
        {"extension", MT_DI, GATE_TYPE_U16, ext37, [](GateRig &g) { g.SetU16(9); }, "PLC1\tVAR!\tDI3.7\t9\t", "DI3.7", "9"},
        {"float", MT_FR, GATE_TYPE_FLOAT, 2, [](GateRig &g) { g.SetFloat(1.5f); }, "PLC1\tVAR!\tFR2\t1,500000\t", "FR2",
         "1,500000"},
        {"text", MT_SR, GATE_TYPE_TEXT, 1, [](GateRig &g) { g.SetText("AB"); }, "PLC1\tVAR!\tSR1\t\"AB              \"\t",
         "SR1", "\"AB              \""},
    };
    for (const WriteCase &c : cases) {
        simulator.ClearLog();
        trs_test::ClearLog();
        GateRig gate(instance, c.memoryType, c.gateType, c.address, 0, 1);
        gate.request.function = FN_SINGLE_WRITE;
        c.set(gate);
        EXPECT_EQ(SingleWrite(&gate.request), 0u) << c.what << "\n" << trs_test::Dump();
        EXPECT_EQ(Sent(), std::vector<std::string>{c.telegram}) << c.what;
        EXPECT_EQ(simulator.Variable(1, c.token), std::optional<std::string>(c.stored)) << c.what;
        EXPECT_EQ(ExchangeLines().size(), 1u) << trs_test::Dump(); // the progress line alone
    }

    GateRig resource(instance, MT_RD, GATE_TYPE_DIGITAL, 7, 0, 1);
    resource.SetU16(0);
    EXPECT_EQ(SingleWrite(&resource.request), 0u) << trs_test::Dump();
    EXPECT_EQ(simulator.GetResource(1, 7)->state, '.');
    EXPECT_EQ(Sent().back(), "PLC1\tETAT!\t7\t0\t");

    // An analog resource takes its value as a number with a decimal comma.
    GateRig analog(instance, MT_RA, GATE_TYPE_FLOAT, 12, 0, 1);
    analog.SetFloat(12.5f);
    EXPECT_EQ(SingleWrite(&analog.request), 0u) << trs_test::Dump();
    EXPECT_EQ(Sent().back(), "PLC1\tETAT!\t12\t12,500000\t");
    EXPECT_EQ(simulator.GetResource(1, 12)->state, 'A');
}

TEST_F(StationTest, RefusedWriteIsRetriedWithALogOn)
{
    simulator.InjectFault(Fault{FaultKind::Status, "VAR!", -1, 0, 133, ""});
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    gate.SetU16(7);
    EXPECT_EQ(SingleWrite(&gate.request), 1u);
    const std::string write = "PLC1\tVAR!\tAI12\t7\t";
    EXPECT_EQ(Sent(), (std::vector<std::string>{write, write, "IDENT?\t", "PLC1\tACCES\t1234\t", write, write}));
    for (int attempt = 0; attempt < 4; attempt++)
        EXPECT_EQ(trs_test::Count(32, trs_test::Format("TRSLNK> DoWrite() error, Wit status message 'parameter error' in "
                                                       "reply, retry %d 'TEST'",
                                                       attempt)),
                  1u)
            << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> SingleWrite() failed, rc 1"), 1u);
    EXPECT_EQ(station->loggedOn, 1);
}

TEST_F(StationTest, StatusAfterRefusalThenSuccess)
{
    simulator.InjectFault(Fault{FaultKind::Raw, "VAR!", 1, 0, 0, trs::sim::Frame("NOTHING\t")});
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    gate.SetU16(8);
    EXPECT_EQ(SingleWrite(&gate.request), 0u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> DoWrite() illegal answer, 'STATUT' missing, retry 0 'TEST'"), 1u);
    EXPECT_EQ(Sent().size(), 2u);
    EXPECT_EQ(simulator.Variable(1, "AI12"), std::optional<std::string>("8"));
}

TEST_F(StationTest, ReadRefusedWithStatusZero)
{
    simulator.InjectFault(Fault{FaultKind::Status, "VAR?", -1, 0, 0, ""});
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    gate.gate.blockLength = 1;
    gate.Fill(0xEE);
    EXPECT_EQ(SingleRead(&gate.request), 1u);
    for (int attempt = 0; attempt < 4; attempt++)
        EXPECT_EQ(trs_test::Count(32, trs_test::Format("TRSLNK> DoRead() error, Wit status message 'STATUS OK' in reply, "
                                                       "retry %d 'TEST'",
                                                       attempt)),
                  1u)
            << trs_test::Dump();
    EXPECT_EQ(gate.U32(0), 0xEEEEEEEEu);
}

TEST_F(StationTest, SilentStationIsALinkFailureUnlessNoComError)
{
    simulator.InjectFault(Fault{FaultKind::NoReply, "", -1, 0, 0, ""});
    ShortReadTimeout();
    for (uint32_t noComError : {0u, 1u}) {
        trs_test::ClearLog();
        instance->noComError = noComError;
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
    for (int attempt = 0; attempt < 4; attempt++)
        EXPECT_EQ(trs_test::Count(32, trs_test::Format("TRSLNK> DoRead() error receiving reply, retry %d 'TEST'", attempt)), 1u)
            << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> BlockRead() failed, rc 1"), 1u);
    for (size_t i = 0; i < gate.AreaSize(); i++)
        EXPECT_EQ(gate.Area()[i], 0xEE) << "byte " << i;
    EXPECT_TRUE(gate.GuardIntact());
}

struct MalformedCase {
    const char *what;
    uint32_t memoryType, gateType, address, blockLength;
    std::string reply; // payload; framed with a good checksum
    std::vector<std::pair<int, std::string>> lines;
};

TEST_F(StationTest, MalformedRepliesFailOnceWithoutWritingPastTheArea)
{
    const MalformedCase cases[] = {
        {"missing TABs", MT_AI, GATE_TYPE_U16, 12, 0, "VAR=\tAI12",
         {{64, "TRSLNK> StoreData() error, TAB character not found in reply, gate 'TEST'"}}},
        {"17-character field", MT_RA, GATE_TYPE_S16, 12, 1, "ETAT=\t012\t.\t" + Field(":5") + "x\t",
         {{8, "TRSLNK> StoreData() illegal reply length (24 / 23), gate 'TEST'"},
          {64, "TRSLNK> StoreData() error reading data '" + Field(":5") + "' in reply for analog resource, gate 'TEST'"}}},
        {"number out of range", MT_AI, GATE_TYPE_U16, 12, 0, "VAR=\tAI12\t123456789012\t",
         {{64, "TRSLNK> StoreData() error reading data value in reply telegram, gate 'TEST'"}}},
        {"float out of range", MT_FR, GATE_TYPE_FLOAT, 2, 0, "VAR=\tFR2\t1e300\t",
         {{64, "TRSLNK> StoreData() error reading data value in reply telegram, gate 'TEST'"}}},
        {"10000-character text", MT_SR, GATE_TYPE_TEXT, 1, 0, "VAR=\tSR1\t\"" + std::string(10000, 'x') + "\"\t",
         {{32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"}}},
        {"equals at the end", MT_AI, GATE_TYPE_U16, 12, 0, "VAR=",
         {{64, "TRSLNK> StoreData() error, TAB character not found in reply, gate 'TEST'"}}},
    };
    for (const MalformedCase &c : cases) {
        simulator.ClearFaults();
        simulator.ClearLog();
        trs_test::ClearLog();
        simulator.InjectFault(Fault{FaultKind::Raw, "", 1, 0, 0, trs::sim::Frame(c.reply)});
        GateRig gate(instance, c.memoryType, c.gateType, c.address, c.blockLength, 1);
        gate.gate.blockLength = c.blockLength ? c.blockLength : 1;
        gate.Fill(0xEE);
        const uint32_t result = c.blockLength ? BlockRead(&gate.request) : SingleRead(&gate.request);
        EXPECT_EQ(result, 1u) << c.what;
        EXPECT_EQ(Sent().size(), 1u) << c.what << ": a decoding failure is not retried";
        for (const auto &[level, text] : c.lines)
            EXPECT_EQ(trs_test::Count(level, text), 1u) << c.what << "\n" << trs_test::Dump();
        EXPECT_EQ(trs_test::Count(c.blockLength ? 64 : 32, c.blockLength ? "TRSLNK> BlockRead() failed, rc 1"
                                                                         : "TRSLNK> SingleRead() failed, rc 1"),
                  1u)
            << c.what;
        EXPECT_TRUE(gate.GuardIntact()) << c.what;
    }
}

TEST_F(StationTest, TransparentModeLogsTheStationOnFirst)
{
    instance->transparentMode = 1;
    instance->loggedOnStation = 9;
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 1);
    gate.gate.blockLength = 1;
    EXPECT_EQ(SingleRead(&gate.request), 0u) << trs_test::Dump();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"IDENT?\t", "PLC1\tACCES\t1234\t", "PLC1\tVAR?\tAI12\t1\t"}));
    EXPECT_EQ(instance->loggedOnStation, 1);
    EXPECT_EQ(station->loggedOn, 1);

    simulator.ClearLog();
    EXPECT_EQ(SingleRead(&gate.request), 0u);
    EXPECT_EQ(Sent(), std::vector<std::string>{"PLC1\tVAR?\tAI12\t1\t"}) << "the standing log-on is reused";

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
        std::vector<std::string> allowed;
        for (time_t t = before; t <= after; t++) {
            struct tm local{};
            localtime_r(&t, &local);
            char text[32];
            if (type == MT_TM)
                snprintf(text, sizeof text, "TIME!\t%02d:%02d:%02d\t", local.tm_hour, local.tm_min, local.tm_sec);
            else
                snprintf(text, sizeof text, "DATE!\t%02d/%02d/%02d\t", local.tm_mday, local.tm_mon + 1, local.tm_year % 100);
            allowed.push_back(text);
        }
        ASSERT_EQ(Sent().size(), 1u);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), Sent()[0]), allowed.end()) << Sent()[0];
    }

    simulator.ClearLog();
    trs_test::ClearLog();
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
