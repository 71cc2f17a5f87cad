// The current-states reader: which gates it has the host re-read, the record settings
// around each read, the passes, the guard against a second reader and the end of it.
#include "Fixture.h"

#include <errno.h>

#include "Modules/CurrentStates.h"
#include "entry/DialX.h"
#include "entry/Entry.h"

namespace modem_test {
namespace {

const std::string kRead = "TRSLNK: ReadCurrentStatesThread() Failed to get val. tag:";
const std::string kStart = "TRSLNK: Station 5. reading Current states. Please wait...";
const std::string kDone = "TRSLNK: ReadCurrentStatesThread() Station 5. reading Current states completed";
const std::string kGone = "TRSLNK: ReadCurrentStatesThread() Modem disconnected. exiting thread";
const std::string kSampling = "TRSLNK: DisableSampling() for Plc (5)";

const struct { const char *address; uint8_t drv; uint16_t type; uint32_t record; bool parsed; } kGates[] = { // by id
    {"005AI1", 1, GATE_TYPE_U16, 3, true},  {"005RA3", 1, GATE_TYPE_U16, 3, true},  {"006AI1", 1, GATE_TYPE_U16, 0, true},
    {"005AI1", 2, GATE_TYPE_U16, 0, true},  // another instance's gate
    {"005ec1", 1, GATE_TYPE_U16, 0, true},  {"005EC", 1, GATE_TYPE_U16, 0, true},   {"005JR", 1, GATE_TYPE_U16, 0, true},
    {"005M_ONLINE", 1, GATE_TYPE_U16, 0, true}, {"005hs", 1, GATE_TYPE_U16, 0, true}, {"005_LAST_EVENT", 1, GATE_TYPE_U16, 0, true},
    {"005SR1", 1, GATE_TYPE_TEXT, 0, true}, // Record-Never already: left alone
    {"005rd4", 1, GATE_TYPE_U16, 5, true},  // memory type compared upper-cased
    {"005AI2", 1, GATE_TYPE_U16, 0, false}, // not accepted by this instance
};
// The lines of one pass: every number read fails with 77, every text read with 78 (no driver behind the host).
const std::vector<Line> kOnePass = {{8, kRead + "005AI1 rc:77"}, {8, kRead + "005RA3 rc:77"}, {8, kRead + "005ec1 rc:77"},
                                    {8, kRead + "005SR1 rc:78"}, {8, kRead + "005rd4 rc:77"}};

class CurrentStatesTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        trs_test::SetModemMode(instance, true);
        station = trs_test::AddStation(instance, 5, "PLC5", "1234");
        station->connRef = 9; // the reader only looks for 255; the release of 9 is refused
        trs_test::AddStation(instance, 6, "PLC6", "1234");
        for (uint32_t id = 0; id < std::size(kGates); id++) {
            const auto &g = kGates[id];
            AddGate({.id = id, .name = g.address, .address = g.address, .type = g.type, .drvNumber = g.drv,
                     .recordSetting = g.record, .scaling = {}});
            instance->gateParsed[id] = g.parsed ? 1 : 0;
        }
        Host().InjectFailure(kiv::Call::GetGateVal, kiv::kAllGates, 77);
        Host().InjectFailure(kiv::Call::GetGateStr, kiv::kAllGates, 78);
    }
    void TearDown() override
    {
        station->connRef = DIALX_NO_CONNECTION;
        EXPECT_TRUE(Ended()) << "reader did not end";
        Host().Unsubscribe(subscription);
        InstanceTest::TearDown();
    }
    // Runs `action` on the reader's thread at its n-th read.
    void AtRead(int n, std::function<void()> action)
    {
        subscription = Host().Subscribe([=, count = std::make_shared<std::atomic<int>>(0)](const kiv::LogLine &line) {
            if (line.text.rfind(kRead, 0) == 0 && ++*count == n)
                action();
        });
    }
    uint32_t Start(uint32_t number, uint32_t disconnectAfterRead)
    {
        GateRequest gate{};
        gate.address.station = number;
        RequestBlock request{instance, FN_SINGLE_WRITE, instance->drvNumber, 0, &gate};
        return StartReadingCurrentStates(&request, disconnectAfterRead);
    }
    bool Ended() { return WaitUntil([&] { return instance->workers.load() == 0; }); }
    StationRecord *station = nullptr;
    int subscription = 0;
};

// NO_RECORD switches the record setting of RA/RD gates off around their read and puts it
// back although the read failed; AI gates and settings already at 0 are left alone.
TEST_F(CurrentStatesTest, OnePassReadsTheStationsGatesAndHangsUp)
{
    instance->noRecord = 1;
    instance->statesPopup = 1;
    ASSERT_EQ(0u, Start(5, 1));
    EXPECT_EQ(1u, station->statesBusy.load()) << "claimed by the start, before the thread runs";
    ASSERT_TRUE(Ended());
    std::vector<Line> expected = {{32, kStart}};
    expected.insert(expected.end(), kOnePass.begin(), kOnePass.end());
    expected.insert(expected.end(), {Line(32, kDone), Line(32, kSampling),
                                     Line(64, std::string("TRSLNK> error DIALX_Disconnect() ") + ModemErrorText(DIALX_Disconnect(9)))});
    EXPECT_EQ(expected, Logged());
    for (uint32_t id = 0; id < std::size(kGates); id++) {
        EXPECT_EQ(kGates[id].record, GateOf(id).spec.recordSetting) << id;
        EXPECT_EQ(id == 1 || id == 11 ? 2u : 0u, GateOf(id).definitionChanges) << id;
    }
    EXPECT_EQ(0u, station->statesBusy.load());
    EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load()) << "hung up after the pass";
    auto alerts = Host().Alerts();
    ASSERT_EQ(1u, alerts.size()) << "a pop-up with CS_POPUP";
    EXPECT_EQ(std::make_tuple(kStart, 0x60000000u, true, 6u),
              std::make_tuple(alerts[0].text, alerts[0].flags, alerts[0].endTime != 0, alerts[0].stampKind));
}

TEST_F(CurrentStatesTest, PassesGoOnUntilTheConnectionIsGone)
{
    AtRead(11, [this] { station->connRef = DIALX_NO_CONNECTION; }); // as a break would
    ASSERT_EQ(0u, Start(5, 0));
    ASSERT_TRUE(Ended());
    std::vector<Line> expected = {{32, kStart}};
    for (int pass = 0; pass < 2; pass++)
        expected.insert(expected.end(), kOnePass.begin(), kOnePass.end());
    expected.insert(expected.end(), {kOnePass[0], Line(32, kGone), Line(32, kDone)}); // no hang-up asked
    EXPECT_EQ(expected, Logged());
    EXPECT_TRUE(Host().Alerts().empty()) << "a pop-up only with CS_POPUP";
}

TEST_F(CurrentStatesTest, UndeclaredOrBusyStationIsRefusedFromTheFirstMoment)
{
    EXPECT_EQ(1u, Start(7, 1));
    EXPECT_EQ(std::vector<Line>{Line(32, "TRSLNK> StartReadingCurrentStates() Station (7) not declared")}, Logged());
    ASSERT_EQ(0u, Start(5, 0));
    EXPECT_EQ(3u, Start(5, 1)) << "refused before the reader set its flag";
    EXPECT_EQ(0u, station->disconnectAfterRead.load()) << "a refused start changes nothing";
    EXPECT_EQ(1u, trs_test::Count(32, "TRSLNK> StartReadingCurrentStates() Station (5) already reading current states"));
    station->connRef = DIALX_NO_CONNECTION;
    ASSERT_TRUE(Ended());
    EXPECT_EQ(0u, Start(5, 0)) << "a finished reader frees the station";
}

TEST_F(CurrentStatesTest, WithoutConnectionTheReaderEndsAtOnce)
{
    trs_test::SetModemMode(instance, false); // serial mode: stations never hold a connection
    station->connRef = DIALX_NO_CONNECTION;
    ASSERT_EQ(0u, Start(5, 1));
    ASSERT_TRUE(Ended());
    EXPECT_EQ((std::vector<Line>{{32, kStart}, {32, kGone}, {32, kDone}, {32, kSampling},
                                 {64, "TRSLNK> DisconnectModem() error, station 005 was not connected on-line"}}),
              Logged());
}

TEST_F(CurrentStatesTest, EndingInstanceStopsTheReaderWithoutHangingUp)
{
    AtRead(1, [this] { instance->stopping = 1; });
    ASSERT_EQ(0u, Start(5, 1));
    ASSERT_TRUE(Ended());
    EXPECT_EQ((std::vector<Line>{{32, kStart}, kOnePass[0], {32, kDone}}), Logged());
    EXPECT_EQ(9u, station->connRef.load()) << "the ending instance releases connections itself";
    trs_test::ClearLog();
    EXPECT_EQ(1u, Start(5, 1));
    EXPECT_EQ((std::vector<Line>{{32, trs_test::Format("TRSLNK> StartReadStatusesThread() _beginthread err %u", unsigned{ECANCELED})}}),
              Logged());
    instance->stopping = 0;
    station->connRef = DIALX_NO_CONNECTION;
    EXPECT_EQ(0u, Start(5, 0)) << "a failed start leaves no claim behind";
}

} // namespace
} // namespace modem_test
