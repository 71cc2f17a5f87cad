// A station reached over a pool connection: log-on, reads and writes through DrvMain with
// the exact telegrams on the wire, and the orderly release of primary and secondary stations.
#include "ModemRig.h"

namespace modem_it {
namespace {

const std::string kPlc1 = "001 = 'PLC1' , '1234'\n";
const std::string kPlc2 = "002 = 'VIA PLC2' , '5678'\n";
const std::map<std::string, std::string> kPlc1Variables = {{"AI12", "1234"}, {"FR2", "3,25"}, {"SR1", "\"North\""}};

using ConnectionTest = ModemRig;

// Rows: the access code the station expects, the result of WarmStart, the attempts made.
class LogOnTest : public ModemRig, public ::testing::WithParamInterface<std::tuple<std::string, uint32_t, unsigned>> {};

TEST_P(LogOnTest, IdentityAndAccessCodeTravelOverTheConnection)
{
    const auto &[stationCode, result, attempts] = GetParam();
    WriteInitFile(kPlc1);
    simulator_.AddStation(Plc(1, {}, stationCode));
    Start(0);
    Dial(1);
    trs_test::ClearLog();

    EXPECT_EQ(result, host_.WarmStart(1)) << trs_test::Dump();

    std::vector<std::string> telegrams;
    std::string wakeUps;
    std::vector<Line> refused;
    for (unsigned i = 0; i < attempts; i++) {
        telegrams.insert(telegrams.end(), {"IDENT?\t", "PLC1\tACCES\t1234\t"});
        wakeUps += WakeUp();
        if (result != 0)
            refused.emplace_back(LOG_ERROR, "TRSLNK> InitStation() error, Wit status message 'access not allowed "
                                            "(invalid access code?)' in reply on access code, retry " +
                                                std::to_string(attempts - i));
    }
    EXPECT_EQ(telegrams, simulator_.Telegrams());
    EXPECT_EQ(wakeUps, simulator_.RawInput());
    EXPECT_EQ(refused, LinesStartingWith("TRSLNK> InitStation() error, Wit status message"));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK: DRV 1 station 1. Warm Start"));
    EXPECT_EQ(1u, Count(LOG_ERROR, trs_test::Format("TRSLNK> WarmStart() exited, rc %u", result)));
    EXPECT_EQ(result == 0 ? 1u : 0u, Instance()->loggedOnStation.load());
    // A log-on leaves the connection as it is, whatever its outcome.
    EXPECT_EQ(1u, dialx::GetCounters().openConnections);
}

INSTANTIATE_TEST_SUITE_P(Modem, LogOnTest,
                         ::testing::Values(std::make_tuple("1234", 0u, 1u), std::make_tuple("9999", 1u, 4u)));

TEST_F(ConnectionTest, ReadsAndWritesGoOutAsTelegramsOnlyOverAConnection)
{
    WriteInitFile(kPlc1);
    simulator_.AddStation(Plc(1, kPlc1Variables));
    uint32_t flow = AddGate("001AI012");
    uint32_t level = AddGate("001FR002", GATE_TYPE_FLOAT);
    uint32_t site = AddGate("001SR001", GATE_TYPE_TEXT);
    Start(3);

    EXPECT_EQ(DIALX_NO_CONNECTION, Station(1)->connRef.load());
    EXPECT_EQ(1u, host_.Read(flow));
    EXPECT_EQ(1u, host_.Write(flow, 5));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK> SingleWrite() error, Tag '001AI012' plc 1 not connected by modem"))
        << trs_test::Dump();
    EXPECT_TRUE(simulator_.Telegrams().empty());
    EXPECT_EQ(0u, dialx::GetCounters().outgoingCalls);

    Connect(1);
    simulator_.ClearLog();
    EXPECT_EQ(0u, host_.Read(flow)) << trs_test::Dump();
    EXPECT_EQ(0u, host_.Read(level));
    EXPECT_EQ(0u, host_.Read(site));
    EXPECT_EQ(1234, Gate(flow).current.value);
    EXPECT_FLOAT_EQ(3.25f, static_cast<float>(Gate(level).current.value));
    EXPECT_EQ("North", Gate(site).current.text);
    EXPECT_EQ(0u, host_.Write(flow, 345)) << trs_test::Dump();
    EXPECT_EQ(0u, host_.Write(level, 1.5));
    EXPECT_EQ(std::optional<std::string>("345"), simulator_.Variable(1, "AI12"));
    EXPECT_EQ(std::optional<std::string>("1,500000"), simulator_.Variable(1, "FR2"));

    EXPECT_EQ((std::vector<std::string>{"PLC1\tVAR?\tAI12\t1\t", "PLC1\tVAR?\tFR2\t1\t", "PLC1\tVAR?\tSR1\t1\t",
                                        "PLC1\tVAR!\tAI12\t345\t", "PLC1\tVAR!\tFR2\t1,500000\t"}),
              simulator_.Telegrams());
    // No new log-on while the connection's log-on stands.
    EXPECT_EQ("", simulator_.RawInput());
    EXPECT_EQ(1u, dialx::GetCounters().outgoingCalls);
    EXPECT_EQ(1u, dialx::GetCounters().openConnections);
}

TEST_F(ConnectionTest, EndDrvReleasesEveryConnectionAfterTheSecondarysEtx)
{
    WriteInitFile(kPlc1 + kPlc2 + "003 = 'PLC3' , '1234'\n");
    simulator_.AddStation(Plc(1));
    simulator_.AddStation(Plc(2, {}, "5678", true));
    Start(0);
    Dial(1);
    Dial(2);
    ASSERT_EQ(0u, host_.WarmStart(2)) << trs_test::Dump();
    ASSERT_EQ(2u, dialx::GetCounters().openConnections);
    trs_test::ClearLog();

    EXPECT_EQ(0u, host_.EndDrv());

    EXPECT_EQ(0u, dialx::GetCounters().openConnections);
    EXPECT_EQ(1u, Count(LOG_TRACE, "TRSLNK> EndDrv() disconnecting all MM connections"));
    EXPECT_TRUE(LinesStartingWith("TRSLNK> EndDrv() DIALX_Disconnect").empty()) << trs_test::Dump();
    EXPECT_EQ(0u, Count(LOG_ERROR, "TRSLNK: EndDrv() Failed to send ETX to secondary station")) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return simulator_.RawInput().size() >= WakeUp().size() + 2; }));
    EXPECT_EQ(trs::sim::Printable(WakeUp() + "\x02\x03"), trs::sim::Printable(simulator_.RawInput()));
}

// Only the secondary station, reached through the primary, gets STX before its log-on
// and ETX before the line is released; only its release ends transparent mode.
class DisconnectTest : public ModemRig, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(DisconnectTest, DisconnectGateEndsTheConnectionInOrder)
{
    const uint32_t number = GetParam();
    const bool secondary = number == 2;
    WriteInitFile(kPlc1 + kPlc2);
    simulator_.AddStation(Plc(1, {{"AI12", "1234"}}));
    simulator_.AddStation(Plc(2, {{"AI3", "77"}}, "5678", true));
    const std::string prefix = trs_test::Format("%03u", number);
    uint32_t data = AddGate(prefix + (secondary ? "AI003" : "AI012"));
    uint32_t disconnect = AddGate(prefix + "M_DISCONNECT");
    uint32_t online = AddGate(prefix + "M_ONLINE");
    Start(3);
    Connect(number);
    StationRecord *record = Station(number);
    EXPECT_EQ(record->secondary, Instance()->transparentMode.load());
    ASSERT_EQ(0u, host_.Read(data)) << trs_test::Dump();
    EXPECT_EQ(secondary ? 77 : 1234, Gate(data).current.value);
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).hasValue && Gate(online).current.value == 1; }));
    trs_test::ClearLog();
    const uint32_t before = static_cast<uint32_t>(PlatformWallClock());

    EXPECT_EQ(0u, host_.Write(disconnect, 1)) << trs_test::Dump();

    EXPECT_EQ(DIALX_NO_CONNECTION, record->connRef.load());
    EXPECT_EQ(0u, record->onlineState.load());
    EXPECT_EQ(0u, record->loggedOn.load());
    EXPECT_EQ(0u, Instance()->transparentMode.load());
    EXPECT_EQ(0u, dialx::GetCounters().openConnections);
    // The release shows the state at once, with a forced log entry.
    const uint32_t after = static_cast<uint32_t>(PlatformWallClock());
    kiv::GateState shown = Gate(online);
    EXPECT_EQ(0.0, shown.current.value);
    ASSERT_FALSE(shown.forcedLog.empty());
    for (const kiv::GateSample &sample : {shown.history.back(), shown.forcedLog.back()}) {
        EXPECT_EQ(0.0, sample.value);
        EXPECT_GE(sample.timeStamp, before);
        EXPECT_LE(sample.timeStamp, after);
    }
    // The ETX can only have reached the station while the connection still stood.
    const std::string raw = WakeUp() + (secondary ? "\x02\x03" : "");
    ASSERT_TRUE(WaitUntil([&] { return simulator_.RawInput().size() >= raw.size(); }));
    EXPECT_EQ(trs::sim::Printable(raw), trs::sim::Printable(simulator_.RawInput()));
    const std::string name = "PLC" + std::to_string(number);
    EXPECT_EQ((std::vector<std::string>{"IDENT?\t", name + "\tACCES\t" + (secondary ? "5678" : "1234") + "\t",
                                        name + (secondary ? "\tVAR?\tAI3\t1\t" : "\tVAR?\tAI12\t1\t")}),
              simulator_.Telegrams());
    EXPECT_EQ((std::vector<Line>{{LOG_PROGRESS, "TRSLNK: SingleWrite() Writing to tag " + prefix + "M_DISCONNECT"},
                                 {LOG_ERROR, trs_test::Format("TRSLNK: DisableSampling() for Plc (%u)", number)}}),
              LinesStartingWith("TRSLNK"));
    EXPECT_TRUE(Gate(data).samplingOff);
    EXPECT_FALSE(Gate(online).samplingOff);

    // Once released, M_DISCONNECT finds nothing to end.
    EXPECT_EQ(1u, host_.Write(disconnect, 1));
    EXPECT_EQ(1u, Count(LOG_TRACE, trs_test::Format(
                                       "TRSLNK> DisconnectModem() error, station %03u was not connected on-line", number)));
}

INSTANTIATE_TEST_SUITE_P(PrimaryAndSecondary, DisconnectTest, ::testing::Values(1u, 2u));

} // namespace
} // namespace modem_it
