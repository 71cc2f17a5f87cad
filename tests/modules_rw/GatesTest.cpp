// Gates the driver serves itself, the refusals that need no exchange, and the start date
// and time of history reading with their calendar conversions.
#include <gtest/gtest.h>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "host/Host.h"
#include "link/Clock.h"
#include "platform/Platform.h"
#include "support/Support.h"

namespace {

using namespace rw_test;
using trs_test::Count;
using Lines = std::vector<trs_test::Line>;

class GatesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        PlatformSetTimeScale(0.01);
        kiv::Runtime::Get().Reset();
        instance = trs_test::NewInstance(64);
        station = trs_test::AddStation(instance, 1, "PLC1", "1234");
        trs_test::ClearLog();
    }
    void TearDown() override { trs_test::FreeInstance(instance); }
    DriverInstance *instance = nullptr;
    StationRecord *station = nullptr;
};

TEST_F(GatesTest, EventNumbersAndStartTexts)
{
    instance->lastEventNo[1] = 4321;
    for (uint32_t type : {MT_FIRST_EVENT, MT_LAST_EVENT}) {
        GateRig gate(instance, type, GATE_TYPE_U16, 0, 0, 1);
        EXPECT_EQ(SingleRead(&gate.request), 0u);
        EXPECT_EQ(gate.Area(4), Word(4321));
    }
    CopyText(instance->startDate[1], START_DATE_SIZE, "31/12/2003");
    GateRig date(instance, MT_START_DATE, GATE_TYPE_TEXT, 0, 0, 1);
    EXPECT_EQ(SingleRead(&date.request), 0u);
    EXPECT_EQ(date.Area(11), std::string("31/12/2003\0", 11));
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
    for (uint16_t written : {9998, 65535}) { // a first event beyond 9998 is held there
        trs_test::ClearLog();
        GateRig gate(instance, MT_FIRST_EVENT, GATE_TYPE_U16, 0, 0, 1);
        gate.Tag("001FIRST_EVENT");
        gate.Set(Word(written));
        EXPECT_EQ(SingleWrite(&gate.request), 0u);
        EXPECT_EQ(instance->lastEventNo[1], 9998);
        Lines lines = {{0, "TRSLNK: SingleWrite() Writing to tag 001FIRST_EVENT"}};
        if (written > 9998)
            lines.emplace_back(32, trs_test::Format("TRSLNK: SingleWrite() Value %03d written to '001FIRST_EVENT' 9998 "
                                                    "will be used", written));
        EXPECT_EQ(trs_test::Logged(), lines);
    }
}

TEST_F(GatesTest, RefusedWithoutExchange)
{
    const std::string notConnected = "TRSLNK> SingleWrite() error, Tag 'TEST' plc 1 not connected by modem";
    const struct { uint32_t memoryType, modemMode; Lines lines; } writes[] = { // after the progress line
        {MT_LAST_EVENT, 0, {{32, "TRSLNK: Error. Tag (TEST) should not be read/written"}}},
        {MT_MO, 0, {{32, "TRSLNK: Error. Tag (TEST) should not be written"}}},
        {MT_TB, 0, {{64, "TRSLNK> DoWrite() no write allowed for TB or TS gates, gate 'TEST'"}, {32, "TRSLNK> SingleWrite() failed, rc 1"}}},
        {MT_AI, 1, {{32, notConnected}}}, {MT_TM, 1, {{32, notConnected}}},
        {MemType('M', 'X'), 0, {{32, "TRSLNK> DoWrite() illegal memory type, internal error file "
                                     "D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITWRITE line 147, gate 'TEST'"}}},
    };
    for (const auto &c : writes) {
        trs_test::ClearLog();
        trs_test::SetModemMode(instance, c.modemMode);
        GateRig gate(instance, c.memoryType, GATE_TYPE_U16, 1, 0, 1);
        EXPECT_EQ(SingleWrite(&gate.request), 1u);
        Lines expected = c.lines;
        expected.insert(expected.begin(), {0, "TRSLNK: SingleWrite() Writing to tag TEST"});
        EXPECT_EQ(trs_test::Logged(), expected);
    }
    trs_test::ClearLog();
    GateRig block(instance, MT_AI, GATE_TYPE_U16, 1, 4, 1);
    EXPECT_EQ(BlockWrite(&block.request), 1u);
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK> BlockWrite() not supported, rc 1"}}));
    trs_test::SetModemMode(instance, true);
    station->connRef = 3;
    const std::pair<uint32_t, std::string> reads[] = {
        {MemType('M', 'Q'), "TRSLNK> SingleRead() Tag 'TEST' illegal memory type"},
        {MT_AA, "TRSLNK> SingleRead() not supported for alarm call Tag, Tag 'TEST'"},
    };
    for (const auto &[memoryType, line] : reads) {
        trs_test::ClearLog();
        GateRig gate(instance, memoryType, GATE_TYPE_U16, 0, 0, MemTypeFirst(memoryType) == 'M' ? 1001 : 1);
        EXPECT_EQ(SingleRead(&gate.request), 1u) << line;
        EXPECT_EQ(trs_test::Logged(), (Lines{{32, line}}));
    }
}

TEST_F(GatesTest, ModemCommandAndOnlineGates)
{
    trs_test::SetModemMode(instance, true);
    station->connRef = 7;
    for (uint32_t type : {MT_MC, MT_MD, MT_MA, MT_MS, MT_MT}) {
        GateRig gate(instance, type, GATE_TYPE_U16, 0, 0, 1001);
        EXPECT_EQ(SingleRead(&gate.request), 0u);
        EXPECT_EQ(gate.gate.address.station, 1u) << "the modem-gate station offset was not removed";
        EXPECT_EQ(gate.Area(4), Word(7));
    }
    station->connRef = 255;
    GateRig unconnected(instance, MT_MC, GATE_TYPE_U16, 0, 0, 1001), block(instance, MT_AI, GATE_TYPE_U16, 1, 3, 1);
    EXPECT_EQ(SingleRead(&unconnected.request), 1u);
    EXPECT_EQ(unconnected.Area(4), kEE);
    EXPECT_EQ(BlockRead(&block.request), 1u);
    EXPECT_TRUE(trs_test::Lines().empty()) << "an unconnected station is refused silently\n" << trs_test::Dump();
    // Writing M_DISCONNECT gives what the disconnection gives (not connected), as no host request.
    GateRig disconnect(instance, MT_MD, GATE_TYPE_DIGITAL, 0, 0, 1001);
    EXPECT_EQ(SingleWrite(&disconnect.request), 1u);
    EXPECT_EQ(disconnect.request.hostRequest, 0u);
    EXPECT_EQ(Count(64, "TRSLNK> DisconnectModem() error, station 001 was not connected on-line"), 1u) << trs_test::Dump();
    // Reading M_ONLINE switches the gate's sampling off.
    ASSERT_EQ(KivMkClient("WIT_No_64", 1, 0, &instance->clientId), 0);
    const uint32_t id = kiv::Runtime::Get().AddGate(
        {.id = {}, .name = "001M_ONLINE", .address = "001M_ONLINE", .drvNumber = 64, .scaling = {}});
    GateRig online(instance, MT_MO, GATE_TYPE_DIGITAL, 0, 0, 1);
    online.Tag("001M_ONLINE");
    EXPECT_EQ(SingleRead(&online.request), 0u) << trs_test::Dump();
    EXPECT_EQ(online.Area(4), Word(0));
    EXPECT_TRUE(kiv::Runtime::Get().Gate(id)->samplingOff);
    kiv::Runtime::Get().InjectFailure(kiv::Call::SetGateFlag, kiv::kAllGates, 48);
    trs_test::ClearLog();
    EXPECT_EQ(SingleRead(&online.request), 1u);
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK: SingleRead() Tag '001M_ONLINE' failed to turn sampling off"}}));
}

// A read or write of EC starts the current-states reader; a running one refuses a second.
TEST_F(GatesTest, CurrentStatesGate)
{
    GateRig read(instance, MT_EC, GATE_TYPE_DIGITAL, 0, 0, 1);
    EXPECT_EQ(SingleRead(&read.request), 0u) << trs_test::Dump();
    EXPECT_EQ(read.Area(4), Word(1));
    EXPECT_TRUE(trs_test::WaitUntil([&] { return instance->workers.load() == 0; }));
    trs_test::ClearLog();
    station->statesBusy = 1;
    const std::string busy = "TRSLNK> StartReadingCurrentStates() Station (1) already reading current states";
    read.Set(kEE);
    EXPECT_EQ(SingleRead(&read.request), 1u);
    EXPECT_EQ(read.Area(4), kEE) << "the value of a refused start changed";
    EXPECT_EQ(SingleWrite(&read.request), 1u);
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, busy}, {0, "TRSLNK: SingleWrite() Writing to tag TEST"}, {32, busy}}))
        << "a reader that runs is no failure to start";
    GateRig undeclared(instance, MT_EC, GATE_TYPE_DIGITAL, 0, 0, 9); // refused: the connection ends
    for (auto [call, name] : {std::pair{&SingleRead, "SingleRead"}, std::pair{&SingleWrite, "SingleWrite"}}) {
        trs_test::ClearLog();
        EXPECT_EQ(call(&undeclared.request), 1u);
        EXPECT_EQ(Count(32, std::string("TRSLNK: ") + name + "() StartReadingCurrentStates() failed"), 1u);
        EXPECT_EQ(Count(64, "TRSLNK> DisconnectModem() error, station 009 was not connected on-line"), 1u);
    }
    // 257 would be station 1 in the log-on's 8-bit station number: never logged on in its place.
    instance->transparentMode = 1;
    instance->loggedOnStation = 5;
    GateRig gate(instance, MT_AI, GATE_TYPE_U16, 12, 0, 257);
    EXPECT_EQ(SingleRead(&gate.request) + SingleWrite(&gate.request), 2u);
    EXPECT_EQ(Count(32, "TRSLNK> DoRead() Tag 'TEST' station 257 not defined"), 1u) << trs_test::Dump();
    EXPECT_EQ(Count(32, "TRSLNK> DoWrite() Tag 'TEST' station 257 not defined"), 1u) << trs_test::Dump();
    EXPECT_EQ(instance->loggedOnStation, 5);
}

TEST_F(GatesTest, StartDateAndTime)
{
    const char *const badDate = "TRSLNK: Tag 001START_DATE. Illegal date '%s' entered";
    const char *const badTime = "TRSLNK: Tag 001START_TIME. Illegal time '%s' entered";
    const struct { bool date; std::string text; const char *line; } cases[] = { // no line: stored
        {true, "31/2/2003", nullptr}, {true, "1/13/2003", badDate}, {true, "1/1/1969", badDate}, {true, "0/1/2003", badDate},
        {true, std::string(500, '9'), "TRSLNK: Tag 001START_DATE. Date String '%s' too long!"}, // no terminator
        {false, "23:59", nullptr},    {false, "24:00", badTime},    {false, "12:60", badTime},   {false, "-1:05", badTime},
        {false, "12:30:00", "TRSLNK: Tag 001START_TIME. Time String '%s' too long!"},
    };
    for (const auto &c : cases) {
        trs_test::ClearLog();
        CopyText(instance->startDate[1], START_DATE_SIZE, "2/2/2002");
        CopyText(instance->startTime[1], START_TIME_SIZE, "1:01");
        GateRig gate(instance, c.date ? MT_START_DATE : MT_START_TIME, GATE_TYPE_TEXT, 0, 0, 1);
        gate.Tag(c.date ? "001start_date" : "001Start_Time");
        gate.SetText(c.text);
        EXPECT_EQ(c.date ? SetStartDate(&gate.request) : SetStartTime(&gate.request), c.line ? 1 : 0) << c.text;
        EXPECT_EQ(std::string(c.date ? instance->startDate[1] : instance->startTime[1]),
                  c.line ? (c.date ? "2/2/2002" : "1:01") : c.text);
        EXPECT_EQ(trs_test::Logged(), (c.line ? Lines{{32, trs_test::Format(c.line, c.text.c_str())}} : Lines{}));
    }
    const struct { const char *date, *time; uint32_t seconds; } starts[] = { // 0: refused
        {"1/6/2003", "12:30", 1054425600u + 45000u}, {"1/6/1903", "", 1054425600u}, // years before 1970 count from 2000
        {"19/1/2038", "3:14", 2147483640u}, // the last minute that fits 32 bits
        {"19/1/2038", "3:15", 0}, {"", "3:14", 0},
    };
    trs_test::ClearLog();
    for (const auto &c : starts) {
        CopyText(instance->startDate[4], START_DATE_SIZE, c.date);
        CopyText(instance->startTime[4], START_TIME_SIZE, c.time);
        EXPECT_EQ(GetDatTime(instance, 4), c.seconds) << c.date << " " << c.time;
    }
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK: GetDatTime() Start Date & Time '19/1/2038 3:15' out of range!"},
                                         {32, "TRSLNK: GetDatTime() Start Date & Time not entered!"}}));
    uint32_t seconds = 12345;
    EXPECT_FALSE(CalendarToSeconds(1969, 12, 31, 23, 59, 59, &seconds));
    EXPECT_EQ(seconds, 12345u) << "a refused time leaves the output alone";
    EXPECT_TRUE(CalendarToSeconds(2003, 13, 1, 24, 60, 60, &seconds)); // fields carry over
    EXPECT_EQ(seconds, 1073005260u);
    setenv("TZ", "CET-1", 1); // the range is checked in local time
    tzset();
    EXPECT_FALSE(CalendarToSeconds(1970, 1, 1, 0, 30, 0, &seconds));
}

} // namespace
