// Gates the driver serves itself, and the refusals that need no exchange.
#include <gtest/gtest.h>

#include <string>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "host/Host.h"
#include "platform/Platform.h"
#include "support/Support.h"

using rw_test::GateRig;

namespace {

class GatesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kiv::Runtime::Get().Reset();
        instance = trs_test::NewInstance(64);
        station = trs_test::AddStation(instance, 1, "PLC1", "1234");
        trs_test::ClearLog();
    }
    void TearDown() override { trs_test::FreeInstance(instance); }
    DriverInstance *instance = nullptr;
    StationRecord *station = nullptr;
};

TEST_F(GatesTest, EventNumbersAndStartTextsReadBack)
{
    instance->lastEventNo[1] = 4321;
    for (uint32_t type : {MT_FIRST_EVENT, MT_LAST_EVENT}) {
        GateRig gate(instance, type, GATE_TYPE_U16, 0, 0, 1);
        gate.Fill(0xEE);
        EXPECT_EQ(SingleRead(&gate.request), 0u);
        EXPECT_EQ(gate.U16(2), 4321);
        EXPECT_EQ(gate.U16(0), 0xEEEE);
        EXPECT_TRUE(gate.GuardIntact());
    }
    CopyText(instance->startDate[1], START_DATE_SIZE, "31/12/2003");
    CopyText(instance->startTime[1], START_TIME_SIZE, "23:59");
    GateRig date(instance, MT_START_DATE, GATE_TYPE_TEXT, 0, 0, 1);
    date.Fill('#');
    EXPECT_EQ(SingleRead(&date.request), 0u);
    EXPECT_EQ(date.Text(), "31/12/2003");
    EXPECT_TRUE(date.GuardIntact());
    GateRig time(instance, MT_START_TIME, GATE_TYPE_TEXT, 0, 0, 1);
    EXPECT_EQ(SingleRead(&time.request), 0u);
    EXPECT_EQ(time.Text(), "23:59");
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
}

TEST_F(GatesTest, FirstEventWriteKeepsAtMost9998)
{
    const struct {
        uint16_t written, kept;
        bool logged;
    } cases[] = {{0, 0, false}, {9998, 9998, false}, {9999, 9998, true}, {10000, 9998, true}, {65535, 9998, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.written);
        trs_test::ClearLog();
        GateRig gate(instance, MT_FIRST_EVENT, GATE_TYPE_U16, 0, 0, 1);
        gate.Tag("001FIRST_EVENT");
        gate.SetU16(c.written);
        EXPECT_EQ(SingleWrite(&gate.request), 0u);
        EXPECT_EQ(instance->lastEventNo[1], c.kept);
        const std::string line =
            trs_test::Format("TRSLNK: SingleWrite() Value %03d written to '001FIRST_EVENT' 9998 will be used", c.written);
        EXPECT_EQ(trs_test::Count(32, line), c.logged ? 1u : 0u) << trs_test::Dump();
        EXPECT_EQ(trs_test::Count(0, "TRSLNK: SingleWrite() Writing to tag 001FIRST_EVENT"), 1u);
    }
}

TEST_F(GatesTest, WritesRefusedWithoutExchange)
{
    const std::string notConnected = "TRSLNK> SingleWrite() error, Tag 'TEST' plc 1 not connected by modem";
    const std::string notYet = "TRSLNK> SingleWrite() Tag 'TEST' not supported yet";
    const struct {
        uint32_t memoryType, modemMode;
        int level;
        std::string line;
        size_t lines = 2; // with the progress line
    } cases[] = {
        {MT_LAST_EVENT, 0, 32, "TRSLNK: Error. Tag (TEST) should not be read/written"},
        {MT_MO, 0, 32, "TRSLNK: Error. Tag (TEST) should not be written"},
        {MT_TB, 0, 64, "TRSLNK> DoWrite() no write allowed for TB or TS gates, gate 'TEST'", 3}, // and "failed, rc 1"
        {MT_AI, 1, 32, notConnected},
        {MT_TM, 1, 32, notConnected},
        {MemType('M', 'X'), 0, 32,
         "TRSLNK> DoWrite() illegal memory type, internal error file "
         "D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITWRITE line 147, gate 'TEST'"},
        // Built in later work; until then they answer as unsupported.
        {MT_MC, 0, 32, notYet},
        {MT_AA, 0, 32, notYet},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        trs_test::ClearLog();
        trs_test::SetModemMode(instance, c.modemMode);
        GateRig gate(instance, c.memoryType, GATE_TYPE_U16, 1, 0, 1);
        gate.request.function = FN_SINGLE_WRITE;
        EXPECT_EQ(SingleWrite(&gate.request), 1u);
        EXPECT_EQ(trs_test::Count(c.level, c.line), 1u) << trs_test::Dump();
        EXPECT_EQ(trs_test::Count(32, "TRSLNK> SingleWrite() failed, rc 1"), c.lines == 3 ? 1u : 0u);
        EXPECT_EQ(trs_test::Lines().size(), c.lines) << trs_test::Dump();
        if (c.memoryType == MT_AA) {
            EXPECT_EQ(gate.request.hostRequest, 0u) << "the alarm-call gate is no host request for the link";
        }
    }

    trs_test::ClearLog();
    GateRig block(instance, MT_AI, GATE_TYPE_U16, 1, 4, 1);
    EXPECT_EQ(BlockWrite(&block.request), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> BlockWrite() not supported, rc 1"), 1u);
}

TEST_F(GatesTest, ReadsRefusedWithoutExchange)
{
    trs_test::SetModemMode(instance, true);
    station->connRef = 3;
    const std::pair<uint32_t, std::string> cases[] = {
        {MemType('M', 'Q'), "TRSLNK> SingleRead() Tag 'TEST' illegal memory type"},
        {MT_AA, "TRSLNK> SingleRead() not supported for alarm call Tag, Tag 'TEST'"},
    };
    for (const auto &[memoryType, line] : cases) {
        trs_test::ClearLog();
        GateRig gate(instance, memoryType, GATE_TYPE_U16, 0, 0, MemTypeFirst(memoryType) == 'M' ? 1001 : 1);
        EXPECT_EQ(SingleRead(&gate.request), 1u) << line;
        EXPECT_EQ(trs_test::Count(32, line), 1u) << trs_test::Dump();
        EXPECT_EQ(trs_test::Lines().size(), 1u) << trs_test::Dump();
    }
}

TEST_F(GatesTest, ModemCommandGatesReadTheConnectionAndDisconnect)
{
    trs_test::SetModemMode(instance, true);
    station->connRef = 7;
    for (uint32_t type : {MT_MC, MT_MD, MT_MA, MT_MS, MT_MT}) {
        GateRig gate(instance, type, GATE_TYPE_U16, 0, 0, 1001);
        EXPECT_EQ(SingleRead(&gate.request), 0u);
        EXPECT_EQ(gate.gate.address.station, 1u) << "the modem-gate station offset was not removed";
        EXPECT_EQ(gate.U16(2), 7);
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();

    station->connRef = 255;
    GateRig unconnected(instance, MT_MC, GATE_TYPE_U16, 0, 0, 1001);
    unconnected.Fill(0xEE);
    EXPECT_EQ(SingleRead(&unconnected.request), 1u);
    EXPECT_EQ(unconnected.U32(0), 0xEEEEEEEEu);
    GateRig block(instance, MT_AI, GATE_TYPE_U16, 1, 3, 1);
    EXPECT_EQ(BlockRead(&block.request), 1u);
    EXPECT_TRUE(trs_test::Lines().empty()) << "an unconnected station is refused silently\n" << trs_test::Dump();

    // Writing M_DISCONNECT gives what the disconnection gives (not connected), as no host request.
    GateRig disconnect(instance, MT_MD, GATE_TYPE_DIGITAL, 0, 0, 1001);
    disconnect.SetU16(1);
    EXPECT_EQ(SingleWrite(&disconnect.request), 1u);
    EXPECT_EQ(disconnect.request.hostRequest, 0u);
    EXPECT_EQ(disconnect.gate.address.station, 1u);
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> DisconnectModem() error, station 001 was not connected on-line"), 1u)
        << trs_test::Dump();
}

TEST_F(GatesTest, OnlineGateSwitchesSamplingOff)
{
    auto &runtime = kiv::Runtime::Get();
    uint8_t clientId = 0;
    ASSERT_EQ(KivMkClient("WIT_No_64", 1, 0, &clientId), 0);
    instance->clientId = clientId;
    kiv::GateSpec spec;
    spec.name = "online";
    spec.address = "001M_ONLINE";
    spec.type = GATE_TYPE_DIGITAL;
    spec.drvNumber = 64;
    const uint32_t id = runtime.AddGate(spec);

    GateRig gate(instance, MT_MO, GATE_TYPE_DIGITAL, 0, 0, 1);
    gate.Tag("001M_ONLINE");
    gate.Fill(0xEE);
    EXPECT_EQ(SingleRead(&gate.request), 0u) << trs_test::Dump();
    EXPECT_EQ(gate.U16(2), 0);
    EXPECT_TRUE(runtime.Gate(id)->samplingOff);

    runtime.InjectFailure(kiv::Call::SetGateFlag, kiv::kAllGates, 48);
    EXPECT_EQ(SingleRead(&gate.request), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: SingleRead() Tag '001M_ONLINE' failed to turn sampling off"), 1u);
    runtime.ClearFailures();

    GateRig unknown(instance, MT_MO, GATE_TYPE_DIGITAL, 0, 0, 2);
    unknown.Tag("002M_ONLINE");
    EXPECT_EQ(SingleRead(&unknown.request), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: SingleRead() Tag '002M_ONLINE' failed to turn sampling off"), 1u);
}

TEST_F(GatesTest, CurrentStatesGateWhileTheReaderRunsOrCannotStart)
{
    station->statesBusy = 1;
    const std::string busy = "TRSLNK> StartReadingCurrentStates() Station (1) already reading current states";
    GateRig read(instance, MT_EC, GATE_TYPE_DIGITAL, 0, 0, 1);
    read.Fill(0xEE);
    EXPECT_EQ(SingleRead(&read.request), 1u);
    EXPECT_EQ(read.U32(0), 0xEEEEEEEEu) << "the value of a refused start changed";
    EXPECT_EQ(trs_test::Count(32, busy), 1u) << trs_test::Dump();
    read.SetU16(1);
    EXPECT_EQ(SingleWrite(&read.request), 1u);
    EXPECT_EQ(trs_test::Count(32, busy), 2u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: SingleWrite() StartReadingCurrentStates() failed"), 0u)
        << "a reader that runs is no failure to start";

    // Station 9 is not declared: the reader refuses to start and the connection ends.
    GateRig undeclared(instance, MT_EC, GATE_TYPE_DIGITAL, 0, 0, 9);
    for (auto call : {SingleRead, SingleWrite}) {
        trs_test::ClearLog();
        EXPECT_EQ(call(&undeclared.request), 1u);
        EXPECT_EQ(trs_test::Count(32, std::string("TRSLNK: ") + (call == SingleRead ? "SingleRead" : "SingleWrite") +
                                          "() StartReadingCurrentStates() failed"),
                  1u)
            << trs_test::Dump();
        EXPECT_EQ(trs_test::Count(64, "TRSLNK> DisconnectModem() error, station 009 was not connected on-line"), 1u)
            << trs_test::Dump();
    }
}

TEST_F(GatesTest, UndeclaredStationIsNeverLoggedOnInPlaceOfAnother)
{
    // 257 would be station 1 in the log-on's 8-bit station number.
    instance->transparentMode = 1;
    instance->loggedOnStation = 5;
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 257);
    EXPECT_EQ(SingleRead(&gate.request), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> DoRead() Tag 'TEST' station 257 not defined"), 1u) << trs_test::Dump();
    EXPECT_EQ(SingleWrite(&gate.request), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> DoWrite() Tag 'TEST' station 257 not defined"), 1u) << trs_test::Dump();
    EXPECT_EQ(instance->loggedOnStation, 5);
    EXPECT_EQ(station->loggedOn, 0);
}

} // namespace
