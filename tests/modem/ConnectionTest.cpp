// A station reached over a pool connection: log-on, reads and writes through DrvMain with
// the exact telegrams on the wire, and the orderly disconnection of primary and
// secondary stations.
#include "ModemRig.h"

#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "support/Support.h"

namespace modem_it {
namespace {

const std::string kOneStation = std::string(kModemMode) + "001 = 'PLC1' , '1234'\n";

trs::sim::StationConfig Plc1(const std::string &accessCode = "1234")
{
    trs::sim::StationConfig station;
    station.identity = 1;
    station.name = "PLC1";
    station.accessCode = accessCode;
    station.variables = {{"AI12", "1234"}, {"FR2", "3,25"}, {"SR1", "\"North\""}};
    return station;
}

class ConnectionTest : public ModemRig {};

TEST_F(ConnectionTest, WithoutAConnectionNothingGoesOnTheWire)
{
    WriteInitFile(kOneStation);
    simulator_.AddStation(Plc1());
    uint32_t flow = AddGate("001AI012");
    Start(1);

    EXPECT_EQ(DIALX_NO_CONNECTION, Station(1)->connRef.load());
    EXPECT_EQ(1u, host_.Read(flow));
    EXPECT_EQ(1u, host_.Write(flow, 5));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK> SingleWrite() error, Tag '001AI012' plc 1 not connected by modem"))
        << trs_test::Dump();
    EXPECT_TRUE(simulator_.Telegrams().empty());
    EXPECT_EQ(0u, dialx::GetCounters().outgoingCalls);
}

struct LogOnCase {
    const char *label;
    std::string stationCode;      // what the simulated station expects
    uint32_t result;              // of WarmStart (code 2)
    unsigned attempts;            // IDENT? and ACCES pairs on the wire
    std::vector<Logged> statusLines;
};

void PrintTo(const LogOnCase &c, std::ostream *out)
{
    *out << c.label;
}

class LogOnTest : public ModemRig, public ::testing::WithParamInterface<LogOnCase> {};

TEST_P(LogOnTest, IdentityAndAccessCodeTravelOverTheConnection)
{
    const LogOnCase &c = GetParam();
    WriteInitFile(kOneStation);
    simulator_.AddStation(Plc1(c.stationCode));
    Start(0);
    Dial(1);
    trs_test::ClearLog();

    EXPECT_EQ(c.result, host_.WarmStart(1)) << trs_test::Dump();

    std::vector<std::string> expected;
    std::string wakeUps;
    for (unsigned i = 0; i < c.attempts; i++) {
        expected.push_back("IDENT?\t");
        expected.push_back("PLC1\tACCES\t1234\t");
        wakeUps += WakeUp();
    }
    EXPECT_EQ(expected, simulator_.Telegrams());
    EXPECT_EQ(wakeUps, simulator_.RawInput());
    EXPECT_EQ(c.statusLines, LinesStartingWith("TRSLNK> InitStation() error, Wit status message"));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK: DRV 1 station 1. Warm Start"));
    EXPECT_EQ(1u, Count(LOG_ERROR, trs_test::Format("TRSLNK> WarmStart() exited, rc %u", c.result)));
    EXPECT_EQ(c.result == 0 ? 1u : 0u, Instance()->loggedOnStation.load());
    // A log-on leaves the connection as it is, whatever its outcome.
    EXPECT_EQ(1u, dialx::GetCounters().openConnections);
}

const char kRefused[] = "TRSLNK> InitStation() error, Wit status message 'access not allowed (invalid access code?)' "
                        "in reply on access code, retry ";

INSTANTIATE_TEST_SUITE_P(
    Modem, LogOnTest,
    ::testing::Values(LogOnCase{"Accepted", "1234", 0, 1, {}},
                      LogOnCase{"WrongAccessCode",
                                "9999",
                                1,
                                4,
                                {{LOG_ERROR, std::string(kRefused) + "4"},
                                 {LOG_ERROR, std::string(kRefused) + "3"},
                                 {LOG_ERROR, std::string(kRefused) + "2"},
                                 {LOG_ERROR, std::string(kRefused) + "1"}}}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(ConnectionTest, ReadsAndWritesGoOutAsTelegramsOnTheConnection)
{
    WriteInitFile(kOneStation);
    simulator_.AddStation(Plc1());
    uint32_t flow = AddGate("001AI012");
    uint32_t level = AddGate("001FR002", GATE_TYPE_FLOAT);
    uint32_t site = AddGate("001SR001", GATE_TYPE_TEXT);
    Start(3);
    Dial(1);
    ASSERT_EQ(0u, host_.WarmStart(1)) << trs_test::Dump();
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

    std::vector<std::string> expected = {"PLC1\tVAR?\tAI12\t1\t", "PLC1\tVAR?\tFR2\t1\t", "PLC1\tVAR?\tSR1\t1\t",
                                         "PLC1\tVAR!\tAI12\t345\t", "PLC1\tVAR!\tFR2\t1,500000\t"};
    EXPECT_EQ(expected, simulator_.Telegrams());
    // Reads and writes need no new log-on while the connection's log-on stands.
    EXPECT_EQ("", simulator_.RawInput());
    EXPECT_EQ(1u, dialx::GetCounters().outgoingCalls);
    EXPECT_EQ(1u, dialx::GetCounters().openConnections);
}

TEST_F(ConnectionTest, EndDrvReleasesEveryConnectionAfterTheSecondarysEtx)
{
    WriteInitFile(std::string(kModemMode) + "001 = 'PLC1' , '1234'\n002 = 'VIA PLC2' , '5678'\n003 = 'PLC3' , '1234'\n");
    simulator_.AddStation(Plc1());
    trs::sim::StationConfig plc2;
    plc2.identity = 2;
    plc2.name = "PLC2";
    plc2.accessCode = "5678";
    plc2.secondary = true;
    simulator_.AddStation(plc2);
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

struct DisconnectCase {
    const char *label;
    uint32_t station;
    std::string bytesOutsideTelegrams; // what the station saw besides telegrams
    std::vector<std::string> telegrams;
};

void PrintTo(const DisconnectCase &c, std::ostream *out)
{
    *out << c.label;
}

class DisconnectTest : public ModemRig, public ::testing::WithParamInterface<DisconnectCase> {};

// A primary station and a secondary one reached through it over the same kind of line:
// only the secondary gets STX before its log-on and ETX before the line is released.
TEST_P(DisconnectTest, DisconnectGateEndsTheConnectionInOrder)
{
    const DisconnectCase &c = GetParam();
    WriteInitFile(std::string(kModemMode) + "001 = 'PLC1' , '1234'\n002 = 'VIA PLC2' , '5678'\n");
    simulator_.AddStation(Plc1());
    trs::sim::StationConfig plc2;
    plc2.identity = 2;
    plc2.name = "PLC2";
    plc2.accessCode = "5678";
    plc2.secondary = true;
    plc2.variables = {{"AI3", "77"}};
    simulator_.AddStation(plc2);
    const std::string prefix = trs_test::Format("%03u", c.station);
    uint32_t data = AddGate(prefix + (c.station == 2 ? "AI003" : "AI012"));
    uint32_t disconnect = AddGate(prefix + "M_DISCONNECT");
    uint32_t online = AddGate(prefix + "M_ONLINE");
    Start(3);

    Dial(c.station);
    ASSERT_EQ(0u, host_.WarmStart(c.station)) << trs_test::Dump();
    StationRecord *record = Station(c.station);
    // What a connect command does once the log-on succeeded.
    record->loggedOn = 1;
    record->onlineState = 1;
    EXPECT_EQ(record->secondary, Instance()->transparentMode.load());
    ASSERT_EQ(0u, host_.Read(data)) << trs_test::Dump();
    EXPECT_EQ(c.station == 2 ? 77 : 1234, Gate(data).current.value);
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).hasValue && Gate(online).current.value == 1; }))
        << trs_test::Dump();
    trs_test::ClearLog();

    EXPECT_EQ(0u, host_.Write(disconnect, 1)) << trs_test::Dump();

    EXPECT_EQ(DIALX_NO_CONNECTION, record->connRef.load());
    EXPECT_EQ(0u, record->onlineState.load());
    EXPECT_EQ(0u, record->loggedOn.load());
    EXPECT_EQ(0u, Instance()->transparentMode.load());
    EXPECT_EQ(0.0, Gate(online).current.value);
    EXPECT_EQ(0u, dialx::GetCounters().openConnections);
    // The ETX can only have reached the station while the connection still stood.
    ASSERT_TRUE(WaitUntil([&] { return simulator_.RawInput().size() >= c.bytesOutsideTelegrams.size(); }));
    EXPECT_EQ(trs::sim::Printable(c.bytesOutsideTelegrams), trs::sim::Printable(simulator_.RawInput()));
    EXPECT_EQ(c.telegrams, simulator_.Telegrams());
    EXPECT_EQ(1u, Count(LOG_ERROR, trs_test::Format("TRSLNK: DisableSampling() for Plc (%d)", c.station)));
    EXPECT_TRUE(Gate(data).samplingOff);
    EXPECT_FALSE(Gate(online).samplingOff);
    EXPECT_TRUE(LinesStartingWith("TRSLNK> error DIALX_Disconnect()").empty()) << trs_test::Dump();

    // Once released, a second disconnection finds nothing to end.
    trs_test::ClearLog();
    EXPECT_EQ(1u, host_.Write(disconnect, 1));
    EXPECT_EQ(1u, Count(LOG_TRACE, trs_test::Format(
                                       "TRSLNK> DisconnectModem() error, station %03u was not connected on-line",
                                       c.station)))
        << trs_test::Dump();
    EXPECT_EQ(1u, Count(LOG_ERROR, trs_test::Format("TRSLNK: DisableSampling() for Plc (%d)", c.station)));
}

INSTANTIATE_TEST_SUITE_P(
    Modem, DisconnectTest,
    ::testing::Values(
        DisconnectCase{"Primary", 1, WakeUp(), {"IDENT?\t", "PLC1\tACCES\t1234\t", "PLC1\tVAR?\tAI12\t1\t"}},
        DisconnectCase{"Secondary",
                       2,
                       WakeUp() + "\x02\x03",
                       {"IDENT?\t", "PLC2\tACCES\t5678\t", "PLC2\tVAR?\tAI3\t1\t"}}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace modem_it
