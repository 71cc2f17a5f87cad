// Modem mode with every piece real and in one process: the host runtime with its gates, the
// driver called through DrvMain, the multi-modem pool carrying TCP connections, and
// simulated stations at the far end of them.
#include <future>

#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "integration/Fixture.h"
#include "modules_modem/Fixture.h"
#include "support/SimLine.h"

namespace {

using modem_test::GateOf;
using modem_test::Values;
using trs_test::Count;
using trs_test::Line;
using trs_test::WaitUntil;
using Telegrams = std::vector<std::string>;
const std::string kWakeUp = "\x03\x1bW06\x03";

class ModemTest : public trs_test::InstanceFixture {
protected:
    void SetUp() override
    {
        InstanceFixture::SetUp();
        Runtime().Reset();
        Runtime().SetWaitMsgPeriod(5); // the online-tags thread makes one pass per host message wait
        dialx::Reset();
        auto port = sim.ListenTcp(0);
        ASSERT_TRUE(port.has_value());
        ASSERT_EQ("", dialx::AddDialEntry({12, "127.0.0.1", *port, 3000}));
        host.Attach(DrvMain);
    }
    void TearDown() override
    {
        host.EndDrv();
        sim.Stop();
        dialx::Reset();
        Runtime().Reset();
        InstanceFixture::TearDown();
    }
    void AddStation(uint32_t identity) { sim.AddStation(trs_test::SimStation(identity, "PLC1", "1234", false, {{"AI12", "1001"}})); }
    uint32_t AddGate(const std::string &address, uint16_t type = GATE_TYPE_U16)
    {
        kiv::GateSpec spec = modem_test::NewGate(address);
        spec.type = type;
        return Runtime().AddGate(spec);
    }
    // Starts the instance through DrvMain with this file after the modem keys, and binds every gate.
    void Start(const std::string &file, unsigned expectedBound)
    {
        WriteInitFile("MODEM = YES\nCOM_TIMEOUT = 5\n" + file);
        ColdStartParams params{};
        params.enabled = 1;
        params.hostTimeout = 1500;
        ASSERT_EQ(0u, host.ColdStart(1, params)) << trs_test::Dump();
        ASSERT_EQ(500u, Instance()->comTimeout.load());
        ASSERT_EQ(expectedBound, host.BindAll()) << trs_test::Dump();
    }
    DriverInstance *Instance() const { return static_cast<DriverInstance *>(host.Instance()); }
    StationRecord *Station(uint32_t number) const { return StationOf(Instance(), number); }
    // Calls the simulator through the pool and logs on (code 2), as a connect command does.
    void Connect(uint32_t station)
    {
        uint16_t ref = DIALX_NO_CONNECTION;
        ASSERT_EQ(DIALX_OK, DIALX_Connect(12, 500, &ref));
        Station(station)->connRef = ref;
        ASSERT_EQ(0u, host.WarmStart(station)) << trs_test::Dump();
        Station(station)->loggedOn = 1;
        Station(station)->onlineState = 1;
    }
    static kiv::Runtime &Runtime() { return kiv::Runtime::Get(); }
    trs::sim::Simulator sim;
    kiv::DriverHost host;
};

TEST_F(ModemTest, LogOnReadsAndWritesTravelOnlyOverAConnection)
{
    AddStation(1);
    const uint32_t flow = AddGate("001AI012"), level = AddGate("001FR002", GATE_TYPE_FLOAT);
    Start("001 = 'PLC1' , '1234'\n", 2);
    EXPECT_EQ(1u, host.Read(flow));
    EXPECT_EQ(1u, host.Write(flow, 5));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK> SingleWrite() error, Tag '001AI012' plc 1 not connected by modem")) << trs_test::Dump();
    EXPECT_EQ(0u, dialx::GetCounters().outgoingCalls);
    Connect(1);
    EXPECT_EQ(0u, host.Read(flow)) << trs_test::Dump();
    EXPECT_EQ(1001, GateOf(flow).current.value);
    EXPECT_EQ(0u, host.Write(level, 1.5));
    EXPECT_EQ((Telegrams{"IDENT?\t", "PLC1\tACCES\t1234\t", "PLC1\tVAR?\tAI12\t1\t", "PLC1\tVAR!\tFR2\t1,500000\t"}), sim.Telegrams());
    EXPECT_EQ(kWakeUp, sim.RawInput()) << "no new log-on while the connection's log-on stands";
    EXPECT_EQ(1u, dialx::GetCounters().openConnections);
}

// A station whose connection breaks while the host waits for a reply: the read fails without
// hanging, the station is marked off-line (the online-tags thread shows it), the connection
// ends and the operator is told as ALERTS asks.
class BrokenLinkTest : public ModemTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BrokenLinkTest, PeerVanishingDuringAHostReadEndsTheConnection)
{
    const bool quiet = GetParam(); // ALERTS = 0 and NO_COM_ERROR, or the default alerts
    AddStation(1);
    const uint32_t flow = AddGate("001AI012"), online = AddGate("001M_ONLINE");
    Start(std::string(quiet ? "ALERTS = 0 , 1000 , 1000\nNO_COM_ERROR = YES\n" : "") + "001 = 'PLC1' , '1234'\n", 2);
    ASSERT_TRUE(WaitUntil([&] { return GateOf(online).hasValue; })) << "the first pass shows the state the station has now";
    Connect(1);
    ASSERT_TRUE(WaitUntil([&] { return GateOf(online).current.value == 1; })) << trs_test::Dump();
    sim.InjectFault({trs::sim::FaultKind::Raw, "VAR?", 1, 0, 0, "VAR=\tAI12\t12"});
    const uint64_t before = dialx::GetCounters().bytesIn;
    trs_test::ClearLog();
    auto read = std::async(std::launch::async, [&] { return host.Read(flow); });
    ASSERT_TRUE(WaitUntil([&] { return dialx::GetCounters().bytesIn >= before + 12; })); // what it says has arrived
    sim.Stop();
    ASSERT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(20))) << "the read hangs";
    EXPECT_EQ(quiet ? 1u : 2u, read.get()) << trs_test::Dump();
    EXPECT_EQ(DIALX_NO_CONNECTION, Station(1)->connRef.load());
    EXPECT_EQ(0u, Instance()->hostRequestActive.load());
    EXPECT_FALSE(GateOf(flow).hasValue) << "a failed read leaves the gate as it was";
    const char *notice = "TRSLNK01 001:modem connection with plc broken";
    const long broken = trs_test::IndexOf(LOG_ERROR, "TRSLNK> ReceiveMsg() error, reading message from controller, "
                                                     "DIALX_Receive: conn. broken, (12 read)");
    ASSERT_GE(broken, 0) << trs_test::Dump();
    EXPECT_EQ(broken + 1, trs_test::IndexOf(LOG_ERROR, "TRSLNK: DisableSampling() for Plc (1)"));
    EXPECT_LT(broken, trs_test::IndexOf(quiet ? LOG_TRACE : LOG_ERROR, notice)) << trs_test::Dump();
    auto alerts = Runtime().Alerts();
    ASSERT_EQ(quiet ? 0u : 1u, alerts.size());
    if (!quiet) {
        EXPECT_EQ(std::make_tuple(Instance()->clientId, "WIT", notice, 1000u, 0x40000000u, 1000u, uint16_t{0x14}, false),
                  modem_test::Fields(alerts[0]));
    }
    EXPECT_EQ(0u, dialx::GetCounters().openConnections) << "a kept reference would, call by call, exhaust the pool";
    ASSERT_TRUE(WaitUntil([&] { return GateOf(online).current.value == 0; })) << "only the thread shows it";
    ASSERT_EQ(0u, host.EndDrv());
    EXPECT_EQ((std::vector<double>{0, 1, 0}), Values(GateOf(online).forcedLog));
}

INSTANTIATE_TEST_SUITE_P(Alerts, BrokenLinkTest, ::testing::Bool());

} // namespace
