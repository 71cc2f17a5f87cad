// Modem mode with every piece real and in one process: the host runtime with its gates, the
// driver called through DrvMain, the multi-modem pool carrying TCP connections, and
// simulated stations at the far end of them.
#include <future>

#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "platform/Platform.h"
#include "modules_modem/Fixture.h"
#include "reliability/Rig.h"

namespace {

using modem_test::GateOf;
using modem_test::Values;
using trs_test::WaitUntil;

// A station whose connection breaks while the host waits for a reply: the read fails without
// hanging, the station is marked off-line (the online-tags thread shows it), the connection
// ends and the operator is told as ALERTS asks.
class BrokenLinkTest : public reliability::Rig, public ::testing::WithParamInterface<bool> {};

TEST_P(BrokenLinkTest, PeerVanishingDuringAHostReadEndsTheConnection)
{
    const bool quiet = GetParam(); // ALERTS = 0 and NO_COM_ERROR, or the default alerts
    simulator_.AddStation(reliability::Plc5());
    const uint32_t flow = AddGate("005AI012", GATE_TYPE_U16), online = AddGate("005M_ONLINE", GATE_TYPE_U16);
    StartModem(quiet ? "ALERTS = 0 , 1000 , 1000\nNO_COM_ERROR = YES\n" : "");
    ASSERT_TRUE(WaitUntil([&] { return GateOf(online).hasValue; })) << "the first pass shows the state the station has now";
    StationRecord *station = StationOf(Instance(), 5);
    uint16_t ref = DIALX_NO_CONNECTION; // called through the pool and logged on, as a connect command does
    ASSERT_EQ(DIALX_OK, DIALX_Connect(reliability::kDialRef, 500, &ref));
    station->connRef = ref;
    ASSERT_EQ(0u, host_.WarmStart(5)) << trs_test::Dump();
    station->loggedOn = 1;
    station->onlineState = 1;
    ASSERT_TRUE(WaitUntil([&] { return GateOf(online).current.value == 1; })) << trs_test::Dump();
    simulator_.InjectFault({trs::sim::FaultKind::Raw, "VAR?", 1, 0, 0, "VAR=\tAI12\t12"});
    const uint64_t before = dialx::GetCounters().bytesIn;
    trs_test::ClearLog();
    auto read = std::async(std::launch::async, [&] { return host_.Read(flow); });
    ASSERT_TRUE(WaitUntil([&] { return dialx::GetCounters().bytesIn >= before + 12; })); // what it says has arrived
    simulator_.Stop();
    ASSERT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(20))) << "the read hangs";
    EXPECT_EQ(quiet ? 1u : 2u, read.get()) << trs_test::Dump();
    EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
    EXPECT_EQ(0u, Instance()->hostRequestActive.load());
    EXPECT_FALSE(GateOf(flow).hasValue) << "a failed read leaves the gate as it was";
    const char *notice = "TRSLNK01 005:modem connection with plc broken";
    const long broken = trs_test::IndexOf(LOG_ERROR, "TRSLNK> ReceiveMsg() error, reading message from controller, "
                                                     "DIALX_Receive: conn. broken, (12 read)");
    ASSERT_GE(broken, 0) << trs_test::Dump();
    EXPECT_EQ(broken + 1, trs_test::IndexOf(LOG_ERROR, "TRSLNK: DisableSampling() for Plc (5)"));
    EXPECT_LT(broken, trs_test::IndexOf(quiet ? LOG_TRACE : LOG_ERROR, notice)) << trs_test::Dump();
    auto alerts = Runtime().Alerts();
    ASSERT_EQ(quiet ? 0u : 1u, alerts.size());
    if (!quiet) {
        EXPECT_EQ(std::make_tuple(Instance()->clientId, "WIT", notice, 1000u, 0x40000000u, 1000u, uint16_t{0x14}, false),
                  modem_test::Fields(alerts[0]));
    }
    EXPECT_EQ(0u, dialx::GetCounters().openConnections) << "a kept reference would, call by call, exhaust the pool";
    ASSERT_TRUE(WaitUntil([&] { return GateOf(online).current.value == 0; })) << "only the thread shows it";
    ASSERT_EQ(0u, host_.EndDrv());
    EXPECT_EQ((std::vector<double>{0, 1, 0}), Values(GateOf(online).forcedLog));
}

INSTANTIATE_TEST_SUITE_P(Alerts, BrokenLinkTest, ::testing::Bool());

// A read of the EC gate starts passes over the station's gates that keep the line for as
// long as the station stays connected; only a current-states read of its own hangs up.
class StatesGateTest : public reliability::Rig {};

TEST_F(StatesGateTest, ReadOfTheStatesGateKeepsTheLine)
{
    simulator_.AddStation(reliability::Plc5());
    AddGate("005AI012", GATE_TYPE_U16);
    const uint32_t states = AddGate("005EC", GATE_TYPE_U16);
    StartModem("");
    StationRecord *station = StationOf(Instance(), 5);
    uint16_t ref = DIALX_NO_CONNECTION;
    ASSERT_EQ(DIALX_OK, DIALX_Connect(reliability::kDialRef, 500, &ref));
    station->connRef = ref;
    ASSERT_EQ(0u, host_.WarmStart(5)) << trs_test::Dump();
    station->loggedOn = 1;
    ASSERT_EQ(0u, host_.Read(states)) << trs_test::Dump();
    EXPECT_EQ(1.0, GateOf(states).current.value);
    ASSERT_TRUE(WaitUntil([&] { return trs_test::Count(LOG_ERROR, "TRSLNK: Station 5. reading Current states. Please wait...") == 1; }));
    PlatformSleepMs(3000); // passes of a second each
    EXPECT_EQ(ref, station->connRef.load()) << trs_test::Dump();
    EXPECT_EQ(1u, station->statesBusy.load());
    ASSERT_EQ(0u, host_.EndDrv());
}

} // namespace
