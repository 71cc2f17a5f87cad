// Switching sampling off, and ending a station's modem connection in order or on a break.
// (The orderly release over a real connection is checked by the modem integration tests.)
#include "Fixture.h"

#include "Modules/WitModem.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "entry/Entry.h"

namespace modem_test {
namespace {

using kiv::Call;

struct GateCase {
    uint32_t id;
    const char *address;
    uint8_t drv;
    uint8_t source;
    bool switchedOff; // by DisableSampling of station 5
};

// Gate ids 10 and 11 are holes: the host answers 48 there and nothing is logged.
const GateCase kStationFive[] = {
    {0, "005AI1", 1, 1, true},       {1, "005ai2", 1, 1, true},         {2, "005EC", 1, 1, true},
    {3, "005RA12", 1, 1, true},      {4, "005JR", 1, 1, false},         {5, "005jr", 1, 1, false},
    {6, "005M_ONLINE", 1, 1, false}, {7, "005m_connect", 1, 1, false},  {8, "005AI1", 2, 1, false},
    {9, "006AI1", 1, 1, false},      {12, "005AI3", 1, 0, false},      {13, "105AI1", 1, 1, false},
};

class SamplingTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        for (const auto &g : kStationFive) {
            kiv::GateSpec def = NewGate(g.address, g.drv, "gate" + std::to_string(g.id));
            def.id = g.id;
            def.sourceKind = g.source;
            AddGate(def);
        }
    }
};

TEST_F(SamplingTest, SwitchesOffOnlyTheDataGatesOfTheStation)
{
    for (uint32_t station : {7u, 5u}) { // 7 has no gates
        SCOPED_TRACE(station);
        trs_test::ClearLog();
        DisableSampling(instance, station);
        for (const auto &g : kStationFive) {
            const bool off = station == 5 && g.switchedOff;
            kiv::GateState gate = GateOf(g.id);
            EXPECT_EQ(off, gate.samplingOff) << g.address << " of drv " << int(g.drv);
            EXPECT_EQ(off ? KIV_FLAG_NO_SAMPLING : 0u, gate.flags) << g.address;
        }
        EXPECT_EQ(std::vector<Line>{Line(32, trs_test::Format("TRSLNK: DisableSampling() for Plc (%u)", station))},
                  Logged());
    }
}

TEST_F(SamplingTest, GateCountFailureEndsBeforeAnything)
{
    Host().InjectFailure(Call::GetGateCount, kiv::kAllGates, 4);
    DisableSampling(instance, 5);
    EXPECT_FALSE(GateOf(0).samplingOff);
    EXPECT_EQ(std::vector<Line>{Line(64, "TRSLNK> DisableSampling() GetGateCount() rc4")}, Logged());
}

TEST_F(SamplingTest, DefinitionAndFlagFailuresAreLoggedPerGateAndTheWalkGoesOn)
{
    // Gate 0 fails before any definition was read (empty name); gate 3 after gate 2 was
    // read, so the buffer still names gate 2.
    Host().InjectFailure(Call::GetGateDef, 0, 2);
    Host().InjectFailure(Call::GetGateDef, 3, 3);
    Host().InjectFailure(Call::SetGateFlag, 1, 9);
    DisableSampling(instance, 5);

    for (uint32_t id = 0; id < 4; id++)
        EXPECT_EQ(id == 2, GateOf(id).samplingOff) << id;
    std::vector<Line> expected = {
        {32, "TRSLNK: DisableSampling() for Plc (5)"},
        {64, "TRSLNK> DisableSampling() GetGateDef('') rc2"},
        {64, "TRSLNK> DisableSampling() SetGateFlag('gate1') rc9"},
        {64, "TRSLNK> DisableSampling() GetGateDef('gate2') rc3"},
    };
    EXPECT_EQ(expected, Logged());
}

class DisconnectTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        dialx::Reset();
        Prepare(1);
    }
    void TearDown() override
    {
        dialx::Reset();
        InstanceTest::TearDown();
    }
    // Station 5 of drv number `drv` with its online and data gates, marked on-line
    // (the telegram layer has already dropped the reference).
    void Prepare(uint8_t drv)
    {
        trs_test::SetModemMode(instance, true);
        station = trs_test::AddStation(instance, 5, "PLC5", "1234");
        online = AddGate(NewGate("005M_ONLINE", drv));
        data = AddGate(NewGate("005AI1", drv));
        Mark(DIALX_NO_CONNECTION);
    }
    void Mark(uint16_t ref)
    {
        station->connRef = ref;
        station->onlineState = 1;
        station->loggedOn = 1;
    }
    StationRecord *station = nullptr;
    uint32_t online = 0, data = 0;
};

TEST_F(DisconnectTest, EmergencyDisconnectMarksTheStationAndTellsTheOperator)
{
    trs_test::FreeInstance(instance);
    instance = trs_test::NewInstance(3);
    instance->clientId = client;
    instance->alertClass = 4;
    Prepare(3);
    instance->hostRequestActive = 1;

    EmergencyDisconnect(instance, 5);

    EXPECT_EQ(0u, instance->hostRequestActive.load());
    EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
    EXPECT_EQ(0, station->onlineState.load());
    EXPECT_EQ(0, station->loggedOn.load());
    EXPECT_TRUE(GateOf(data).samplingOff);
    EXPECT_TRUE(GateOf(online).history.empty()) << "the online-tags thread shows the state";

    const std::string text = "TRSLNK03 005:modem connection with plc broken";
    auto alerts = Host().Alerts();
    ASSERT_EQ(1u, alerts.size());
    EXPECT_EQ(text, alerts[0].text);
    EXPECT_EQ(0x60000000u, alerts[0].flags);
    int32_t refused = DIALX_Disconnect(DIALX_NO_CONNECTION);
    ASSERT_NE(0, refused);
    std::vector<Line> expected = {
        {32, "TRSLNK: DisableSampling() for Plc (5)"},
        {64, std::string("TRSLNK> EmergencyDisconnect() error DIALX_Disconnect() ") + ModemErrorText(refused)},
        {32, text}};
    EXPECT_EQ(expected, Logged());
}

TEST_F(DisconnectTest, StationWithoutConnectionIsRefusedAfterSamplingGoesOff)
{
    for (uint32_t number : {5u, 9u}) { // 9 is not declared
        trs_test::ClearLog();
        EXPECT_EQ(1u, DisconnectModem(instance, number));
        std::vector<Line> expected = {
            {32, trs_test::Format("TRSLNK: DisableSampling() for Plc (%u)", number)},
            {64, trs_test::Format("TRSLNK> DisconnectModem() error, station %03u was not connected on-line", number)}};
        EXPECT_EQ(expected, Logged());
    }
    EXPECT_TRUE(GateOf(data).samplingOff);
    EXPECT_TRUE(GateOf(online).history.empty());
}

// The pool refuses the release (and so the ETX to a secondary station): the station is
// still marked disconnected, only a secondary's release ends transparent mode, and the
// online gate is left to the online-tags thread.
TEST_F(DisconnectTest, RefusedReleaseLeavesTheStationDisconnectedWithoutTheGate)
{
    const int32_t refused = DIALX_Disconnect(200); // no pool connection has this reference
    ASSERT_NE(0, refused);
    const Line release(64, std::string("TRSLNK> error DIALX_Disconnect() ") + ModemErrorText(refused));
    const Line sampling(32, "TRSLNK: DisableSampling() for Plc (5)");
    const std::vector<Line> etx = {
        {64, std::string("TRSLNK> Send() error send: DIALX_Send() ") + ModemErrorText(refused)},
        {32, "TRSLNK: DisconnectModem() Failed to send ETX to secondary station"}};
    for (bool secondary : {false, true}) {
        SCOPED_TRACE(secondary ? "secondary" : "primary");
        station->secondary = secondary ? 1 : 0;
        Mark(200);
        instance->transparentMode = 1;
        trs_test::ClearLog();

        EXPECT_EQ(1u, DisconnectModem(instance, 5));

        EXPECT_EQ(secondary ? 0u : 1u, instance->transparentMode.load());
        EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
        EXPECT_EQ(0, station->onlineState.load());
        EXPECT_EQ(0, station->loggedOn.load());
        EXPECT_TRUE(GateOf(online).history.empty());
        std::vector<Line> expected = {sampling, release};
        if (secondary)
            expected.insert(expected.begin() + 1, etx.begin(), etx.end());
        EXPECT_EQ(expected, Logged());
    }
}

} // namespace
} // namespace modem_test
