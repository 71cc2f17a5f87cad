// Values put into gates by address, operator notices, switching sampling off, ending a
// station's modem connection in order or on a break, and the M_ONLINE gates.
#include "Fixture.h"

#include <string.h>

#include "Modules/GateStore.h"
#include "Modules/WitModem.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "entry/Entry.h"

namespace modem_test {
namespace {

using kiv::Call;
using Lines = std::vector<Line>;

TEST_F(InstanceTest, PutGateValueStopsAtTheFirstFailureWithItsMessage)
{
    const uint32_t kGate = 26; // 0x1a
    const struct { uint8_t gateDrv; /* drv number of the gate that has the address */
        Call call; uint32_t gate; uint32_t result; Lines lines; bool stored, forced; } cases[] = {
        // Another instance's gate does not answer; a cook failure for every gate shows that cooking is never reached.
        {2, Call::Cook, kiv::kAllGates, 0, {{32, "TRSLNK: Tag 005M_ONLINE not found in Database"},
                                            {32, "TRSLNK: Failed to get gate ID Gate 005M_ONLINE: rc = 5"}}, false, false},
        {1, Call::GetGateIdByAddressStr, kiv::kAllGates, 0, {{32, "TRSLNK: Failed to get gate ID Gate 005M_ONLINE: rc = 7"}}, false, false},
        {1, Call::Cook, kGate, 0, {{32, "TRSLNK: Kiv Cook Failed. GAS: 005M_ONLINE rc = 7"}}, false, false},
        {1, Call::PutGateVal, kGate, 0, {{32, "TrsLNK: Write gate id 1a fail"}}, false, false},
        {1, Call::GateForceLogEx, kGate, 0, {{32, "TrsLNK: Force gate log fail Tag 005M_ONLINE"}}, true, false},
        {1, Call::WaitMsg, kGate, 1, {}, true, true}, // nothing that it calls fails
    };
    for (const auto &c : cases) {
        Host().Reset();
        AddGate({.id = kGate, .name = "005M_ONLINE", .address = "005M_ONLINE", .drvNumber = c.gateDrv,
                 .scaling = kiv::Scaling{0, 10, 0, 100}});
        Host().InjectFailure(c.call, c.gate, 7);
        trs_test::ClearLog();
        EXPECT_EQ(c.result, PutGateValue(instance, "005M_ONLINE", 3u << 16, 1234567));
        EXPECT_EQ(c.lines, Logged());
        kiv::GateState gate = GateOf(kGate);
        for (auto [samples, expected] : {std::pair{&gate.history, c.stored}, std::pair{&gate.forcedLog, c.forced}}) {
            ASSERT_EQ(expected ? 1u : 0u, samples->size());
            if (expected) { // cooked through the gate's scaling, with the caller's stamp
                EXPECT_EQ(std::make_pair(30.0, 1234567u), std::make_pair((*samples)[0].value, (*samples)[0].timeStamp));
            }
        }
    }
}

TEST_F(InstanceTest, NoticesFollowTheAlertClass)
{
    const std::string text = "TRSLNK01 005: 100% %s %n done"; // verbatim, percent signs too
    const struct { uint16_t alertClass; uint32_t flags; /* 0: no alert */
        int level; /* -1: not logged */ } classes[] = {{0, 0, 64}, {1, 0, 32}, {3, 0xC0000000u, 32}, {5, 0xE0000000u, 32}, {6, 0, -1}};
    instance->alertSeverity = 700;
    instance->alertZone = 12;
    for (const auto &c : classes) {
        Host().Reset();
        trs_test::ClearLog();
        instance->alertClass = c.alertClass;
        NotifyOperator(instance, text.c_str());
        auto alerts = Host().Alerts();
        ASSERT_EQ(c.flags ? 1u : 0u, alerts.size()) << c.alertClass;
        if (c.flags) { // an operator notice stays up
            EXPECT_EQ(std::make_tuple(client, "WIT", text, 700u, c.flags, 12u, uint16_t{0x14}, false), Fields(alerts[0]));
        }
        EXPECT_EQ((c.level < 0 ? Lines{} : Lines{{c.level, text}}), Logged()) << c.alertClass;
    }
}

TEST_F(InstanceTest, DisableSamplingSwitchesOffOnlyTheDataGatesOfTheStation)
{
    const struct { uint32_t id; const char *address;
        uint8_t drv, source; bool off; } gates[] = { // ids 10 and 11 are holes: the host answers 48 there and nothing is logged
        {0, "005AI1", 1, 1, true},  {1, "005ai2", 1, 1, true},  {2, "005EC", 1, 1, true},  {3, "005JR", 1, 1, false},
        {4, "005jr", 1, 1, false},  {5, "005M_ONLINE", 1, 1, false}, {6, "005m_connect", 1, 1, false},
        {7, "005AI1", 2, 1, false}, {8, "006AI1", 1, 1, false}, {9, "105AI1", 1, 1, false}, {12, "005AI3", 1, 0, false}, {13, "005", 1, 1, true},
    };
    for (const auto &g : gates)
        AddGate({.id = g.id, .name = "gate" + std::to_string(g.id), .address = g.address, .drvNumber = g.drv,
                 .sourceKind = g.source, .scaling = {}});
    DisableSampling(instance, 5);
    for (const auto &g : gates) {
        EXPECT_EQ(g.off, GateOf(g.id).samplingOff) << g.address << " of drv " << int(g.drv);
        EXPECT_EQ(g.off ? KIV_FLAG_NO_SAMPLING : 0u, GateOf(g.id).flags) << g.address;
    }
    EXPECT_EQ(Lines{Line(32, "TRSLNK: DisableSampling() for Plc (5)")}, Logged());
    // Gate 4 fails before any definition was read of it, so the buffer still names gate 3.
    Host().InjectFailure(Call::GetGateDef, 4, 3);
    Host().InjectFailure(Call::SetGateFlag, 1, 9);
    trs_test::ClearLog();
    DisableSampling(instance, 5);
    EXPECT_EQ((Lines{{32, "TRSLNK: DisableSampling() for Plc (5)"}, {64, "TRSLNK> DisableSampling() SetGateFlag('gate1') rc9"},
                     {64, "TRSLNK> DisableSampling() GetGateDef('gate3') rc3"}}),
              Logged());
}

class DisconnectTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        dialx::Reset();
        trs_test::SetModemMode(instance, true);
        station = trs_test::AddStation(instance, 5, "PLC5", "1234");
        online = AddGate(NewGate("005M_ONLINE"));
        data = AddGate(NewGate("005AI1"));
    }
    void TearDown() override { dialx::Reset(); InstanceTest::TearDown(); }
    void Mark(uint16_t ref) // marked on-line with this connection
    {
        station->connRef = ref;
        station->onlineState = 1;
        station->loggedOn = 1;
    }
    void ExpectReleased(const Lines &lines)
    {
        EXPECT_EQ(lines, Logged());
        EXPECT_EQ(std::make_tuple(DIALX_NO_CONNECTION, uint16_t{0}, uint8_t{0}),
                  std::make_tuple(station->connRef.load(), station->onlineState.load(), station->loggedOn.load()));
        EXPECT_TRUE(GateOf(data).samplingOff);
        EXPECT_TRUE(GateOf(online).history.empty()) << "the online-tags thread shows the state";
    }
    StationRecord *station = nullptr;
    uint32_t online = 0, data = 0;
    const int32_t refused = DIALX_Disconnect(200); // no pool connection has this reference
};

TEST_F(DisconnectTest, EmergencyDisconnectMarksTheStationAndTellsTheOperator)
{
    instance->alertClass = 4;
    instance->hostRequestActive = 1;
    Mark(DIALX_NO_CONNECTION); // the telegram layer has already dropped the reference
    EmergencyDisconnect(instance, 5);
    EXPECT_EQ(0u, instance->hostRequestActive.load());
    const std::string text = "TRSLNK01 005:modem connection with plc broken";
    ExpectReleased({{32, "TRSLNK: DisableSampling() for Plc (5)"},
                    {64, std::string("TRSLNK> EmergencyDisconnect() error DIALX_Disconnect() ") + ModemErrorText(DIALX_Disconnect(255))},
                    {32, text}});
    ASSERT_EQ(1u, Host().Alerts().size());
    EXPECT_EQ(std::make_pair(text, 0x60000000u), std::make_pair(Host().Alerts()[0].text, Host().Alerts()[0].flags));
}

// The pool refuses the release (and so the ETX to a secondary station): the station is still
// marked disconnected, and only a secondary's release ends transparent mode.
TEST_F(DisconnectTest, DisconnectModemReleasesInOrder)
{
    EXPECT_EQ(1u, DisconnectModem(instance, 5));
    ExpectReleased({{32, "TRSLNK: DisableSampling() for Plc (5)"},
                    {64, "TRSLNK> DisconnectModem() error, station 005 was not connected on-line"}});
    for (bool secondary : {false, true}) {
        station->secondary = secondary ? 1 : 0;
        Mark(200);
        instance->transparentMode = 1;
        trs_test::ClearLog();
        EXPECT_EQ(1u, DisconnectModem(instance, 5));
        EXPECT_EQ(secondary ? 0u : 1u, instance->transparentMode.load());
        Lines expected = {{32, "TRSLNK: DisableSampling() for Plc (5)"}, {64, std::string("TRSLNK> error DIALX_Disconnect() ") + ModemErrorText(refused)}};
        if (secondary)
            expected.insert(expected.begin() + 1, {{64, std::string("TRSLNK> Send() error send: DIALX_Send() ") + ModemErrorText(refused)},
                                                   {32, "TRSLNK: DisconnectModem() Failed to send ETX to secondary station"}});
        ExpectReleased(expected);
    }
}

class OnlineTagsTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        memset(lastWritten, 100, sizeof lastWritten);
        // Station 3 has no M_ONLINE gate; station 9's gate belongs to another instance.
        for (auto [s, state] : {std::pair{1u, 1}, {2u, 0}, {3u, 1}, {4u, 255}, {9u, 1}}) {
            trs_test::AddStation(instance, s, "PLC", "1234")->onlineState = static_cast<uint16_t>(state);
            if (s != 3)
                gate[s] = AddGate(NewGate(trs_test::Format("%03uM_ONLINE", s), s == 9 ? 2 : 1));
        }
    }
    void State(uint32_t s, uint16_t state) { instance->stations[s].load()->onlineState = state; }
    std::vector<double> Written(uint32_t s) { return Values(GateOf(gate[s]).history); }
    void Pass() { OnlineTagsPass(instance, lastWritten); }
    uint8_t lastWritten[MAX_STATIONS];
    uint32_t gate[MAX_STATIONS] = {};
};

// The first pass writes every existing gate, later ones only changes, each with a forced entry.
TEST_F(OnlineTagsTest, PassesWriteChanges)
{
    const uint32_t before = static_cast<uint32_t>(PlatformWallClock());
    Pass();
    EXPECT_EQ((std::vector<std::vector<double>>{{1}, {0}, {255}, {}}), (std::vector<std::vector<double>>{Written(1), Written(2), Written(4), Written(9)}));
    kiv::GateState first = GateOf(gate[4]);
    ASSERT_EQ(1u, first.forcedLog.size());
    EXPECT_EQ(first.history[0].timeStamp, first.forcedLog[0].timeStamp);
    EXPECT_GE(first.history[0].timeStamp, before);
    EXPECT_EQ(100, lastWritten[3]) << "no gate, nothing remembered";
    State(1, 0); // off-line and back between two passes: the gate never sees it
    State(1, 1);
    State(2, 255);
    Host().InjectFailure(kiv::Call::PutGateVal, gate[4], 4);
    State(4, 0);
    Pass();
    Pass();
    EXPECT_EQ((std::vector<std::vector<double>>{{1}, {0, 255}, {255}}), (std::vector<std::vector<double>>{Written(1), Written(2), Written(4)}));
    EXPECT_EQ(Lines{Line(32, trs_test::Format("TrsLNK: Write gate id %x fail", gate[4]))}, Logged()) << "logged once, not retried";
    Host().ClearFailures();
    delete instance->stations[1].exchange(nullptr); // an emptied slot is skipped
    Pass();
    EXPECT_EQ(std::vector<double>{255}, Written(4)) << "a failed store waits for the next change";
}

} // namespace
} // namespace modem_test
