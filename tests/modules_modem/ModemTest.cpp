// Switching sampling off, and ending a station's modem connection in order or on a break.
#include "Fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Modules/WitModem.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "entry/Entry.h"

namespace modem_test {
namespace {

using kiv::Call;

class SamplingTest : public InstanceTest {};
class DisconnectTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        dialx::Reset();
        instance->modemMode = 1;
        station = trs_test::AddStation(instance, 5, "PLC5", "1234");
        online = AddGate(NewGate("005M_ONLINE"));
        data = AddGate(NewGate("005AI1"));
    }
    void TearDown() override
    {
        dialx::Reset();
        InstanceTest::TearDown();
    }
    void Connected(uint16_t ref)
    {
        station->connRef = ref;
        station->onlineState = 1;
        station->loggedOn = 1;
    }
    StationRecord *station = nullptr;
    uint32_t online = 0, data = 0;
};

struct GateCase {
    uint32_t id;
    const char *address;
    uint8_t drv;
    uint8_t source;
    bool switchedOff;
};

// Gate ids 10 and 11 are holes: the host answers 48 there and nothing is logged.
const GateCase kStationFive[] = {
    {0, "005AI1", 1, 1, true},       {1, "005ai2", 1, 1, true},         {2, "005EC", 1, 1, true},
    {3, "005RA12", 1, 1, true},      {4, "005JR", 1, 1, false},         {5, "005jr", 1, 1, false},
    {6, "005M_ONLINE", 1, 1, false}, {7, "005m_connect", 1, 1, false},  {8, "005AI1", 2, 1, false},
    {9, "006AI1", 1, 1, false},      {12, "005AI3", 1, 0, false},      {13, "105AI1", 1, 1, false},
};

void AddGates(kiv::Runtime &host)
{
    for (const auto &g : kStationFive) {
        kiv::GateSpec def = NewGate(g.address, g.drv, "gate" + std::to_string(g.id));
        def.id = g.id;
        def.sourceKind = g.source;
        host.AddGate(def);
    }
}

TEST_F(SamplingTest, SwitchesOffOnlyTheDataGatesOfTheStation)
{
    AddGates(Host());
    DisableSampling(instance, 5);
    for (const auto &g : kStationFive) {
        kiv::GateState gate = GateOf(g.id);
        EXPECT_EQ(g.switchedOff, gate.samplingOff) << g.address << " of drv " << int(g.drv);
        EXPECT_EQ(g.switchedOff ? KIV_FLAG_NO_SAMPLING : 0u, gate.flags) << g.address;
    }
    EXPECT_EQ(std::vector<Line>{Line(32, "TRSLNK: DisableSampling() for Plc (5)")}, Logged());
}

TEST_F(SamplingTest, StationWithoutGatesOnlyLogsItsLine)
{
    AddGates(Host());
    DisableSampling(instance, 7);
    for (const auto &g : kStationFive)
        EXPECT_FALSE(GateOf(g.id).samplingOff) << g.address;
    EXPECT_EQ(std::vector<Line>{Line(32, "TRSLNK: DisableSampling() for Plc (7)")}, Logged());
}

TEST_F(SamplingTest, GateCountFailureEndsBeforeAnything)
{
    AddGates(Host());
    Host().InjectFailure(Call::GetGateCount, kiv::kAllGates, 4);
    DisableSampling(instance, 5);
    EXPECT_FALSE(GateOf(0).samplingOff);
    EXPECT_EQ(std::vector<Line>{Line(64, "TRSLNK> DisableSampling() GetGateCount() rc4")}, Logged());
}

TEST_F(SamplingTest, DefinitionAndFlagFailuresAreLoggedPerGateAndTheWalkGoesOn)
{
    AddGates(Host());
    // Gate 0 fails before any definition was read (empty name); gate 3 fails after gate
    // 2 was read, so the buffer still names gate 2.
    Host().InjectFailure(Call::GetGateDef, 0, 2);
    Host().InjectFailure(Call::GetGateDef, 3, 3);
    Host().InjectFailure(Call::SetGateFlag, 1, 9);
    DisableSampling(instance, 5);

    EXPECT_FALSE(GateOf(0).samplingOff);
    EXPECT_FALSE(GateOf(1).samplingOff);
    EXPECT_TRUE(GateOf(2).samplingOff);
    EXPECT_FALSE(GateOf(3).samplingOff);
    std::vector<Line> expected = {
        {32, "TRSLNK: DisableSampling() for Plc (5)"},
        {64, "TRSLNK> DisableSampling() GetGateDef('') rc2"},
        {64, "TRSLNK> DisableSampling() SetGateFlag('gate1') rc9"},
        {64, "TRSLNK> DisableSampling() GetGateDef('gate2') rc3"},
    };
    EXPECT_EQ(expected, Logged());
}

TEST_F(DisconnectTest, EmergencyDisconnectMarksTheStationAndTellsTheOperator)
{
    trs_test::FreeInstance(instance);
    instance = trs_test::NewInstance(3);
    instance->clientId = client;
    instance->modemMode = 1;
    instance->alertClass = 4;
    station = trs_test::AddStation(instance, 5, "PLC5", "1234");
    uint32_t online3 = AddGate(NewGate("005M_ONLINE", 3));
    uint32_t data3 = AddGate(NewGate("005AI1", 3));
    Connected(DIALX_NO_CONNECTION); // the telegram layer has already marked it
    instance->hostRequestActive = 1;

    EmergencyDisconnect(instance, 5);

    EXPECT_EQ(0u, instance->hostRequestActive.load());
    EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
    EXPECT_EQ(0, station->onlineState.load());
    EXPECT_EQ(0, station->loggedOn.load());
    EXPECT_TRUE(GateOf(data3).samplingOff);
    EXPECT_TRUE(GateOf(online3).history.empty()) << "the online-tags thread shows the state";

    const std::string text = "TRSLNK03 005:modem connection with plc broken";
    auto alerts = Host().Alerts();
    ASSERT_EQ(1u, alerts.size());
    EXPECT_EQ(text, alerts[0].text);
    EXPECT_EQ(0x60000000u, alerts[0].flags);

    auto lines = Logged();
    ASSERT_EQ(3u, lines.size()) << trs_test::Dump();
    EXPECT_EQ(Line(32, "TRSLNK: DisableSampling() for Plc (5)"), lines[0]);
    int32_t refused = DIALX_Disconnect(DIALX_NO_CONNECTION);
    ASSERT_NE(0, refused);
    EXPECT_EQ(Line(64, std::string("TRSLNK> EmergencyDisconnect() error DIALX_Disconnect() ") + ModemErrorText(refused)),
              lines[1]);
    EXPECT_EQ(Line(32, text), lines[2]);
}

TEST_F(DisconnectTest, StationWithoutConnectionIsRefusedAfterSamplingGoesOff)
{
    struct Case {
        uint32_t station;
        const char *line;
    };
    for (const Case &c : {Case{5, "TRSLNK> DisconnectModem() error, station 005 was not connected on-line"},
                          Case{9, "TRSLNK> DisconnectModem() error, station 009 was not connected on-line"}}) {
        trs_test::ClearLog();
        EXPECT_EQ(1u, DisconnectModem(instance, c.station));
        std::vector<Line> expected = {{32, "TRSLNK: DisableSampling() for Plc (" + std::to_string(c.station) + ")"},
                                      {64, c.line}};
        EXPECT_EQ(expected, Logged());
    }
    EXPECT_TRUE(GateOf(data).samplingOff);
    EXPECT_TRUE(GateOf(online).history.empty());
}

TEST_F(DisconnectTest, RefusedReleaseLeavesTheStationDisconnectedWithoutTheGate)
{
    Connected(200); // no pool connection has this reference
    int32_t refused = DIALX_Disconnect(200);
    ASSERT_NE(0, refused);
    trs_test::ClearLog();

    EXPECT_EQ(1u, DisconnectModem(instance, 5));

    EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
    EXPECT_EQ(0, station->onlineState.load());
    EXPECT_EQ(0, station->loggedOn.load());
    EXPECT_TRUE(GateOf(online).history.empty());
    std::vector<Line> expected = {{32, "TRSLNK: DisableSampling() for Plc (5)"},
                                  {64, std::string("TRSLNK> error DIALX_Disconnect() ") + ModemErrorText(refused)}};
    EXPECT_EQ(expected, Logged());
}

TEST_F(DisconnectTest, FailedEtxIsLoggedAndTheReleaseGoesOn)
{
    station->secondary = 1;
    instance->transparentMode = 1;
    Connected(200);
    int32_t refused = DIALX_Disconnect(200);
    trs_test::ClearLog();

    EXPECT_EQ(1u, DisconnectModem(instance, 5));

    EXPECT_EQ(0u, instance->transparentMode.load());
    EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
    long etx = IndexOf(32, "TRSLNK: DisconnectModem() Failed to send ETX to secondary station");
    long release = IndexOf(64, std::string("TRSLNK> error DIALX_Disconnect() ") + ModemErrorText(refused));
    ASSERT_GE(etx, 0) << trs_test::Dump();
    EXPECT_GT(release, etx) << trs_test::Dump();
}

// A TCP peer standing in for the station at the far end of a pool connection.
class Peer {
public:
    Peer()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&address), length) == 0 && listen(listener_, 1) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~Peer()
    {
        if (conn_ >= 0)
            close(conn_);
        close(listener_);
    }
    uint16_t Port() const { return port_; }
    bool Accept()
    {
        conn_ = accept(listener_, nullptr, nullptr);
        if (conn_ < 0)
            return false;
        timeval bound{5, 0};
        setsockopt(conn_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        return true;
    }
    // Everything received until the pool closes its side.
    std::string ReadToEnd()
    {
        std::string bytes;
        char buffer[64];
        ssize_t n;
        while ((n = read(conn_, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<size_t>(n));
        closedAfter_ = n == 0;
        return bytes;
    }
    bool Closed() const { return closedAfter_; }

private:
    int listener_ = -1, conn_ = -1;
    uint16_t port_ = 0;
    bool closedAfter_ = false;
};

TEST_F(DisconnectTest, OrderlyReleaseSaysGoodbyeToASecondaryAndShowsTheState)
{
    struct Case {
        bool secondary;
        std::string received;
        uint32_t transparentAfter;
    };
    for (const Case &c : {Case{true, "\x03", 0}, Case{false, "", 1}}) {
        SCOPED_TRACE(c.secondary ? "secondary" : "primary");
        Peer peer;
        ASSERT_NE(0, peer.Port());
        dialx::Reset();
        ASSERT_EQ("", dialx::AddDialEntry({1, "127.0.0.1", peer.Port(), 3000}));
        uint16_t ref = DIALX_NO_CONNECTION;
        ASSERT_EQ(0, DIALX_Connect(1, 100, &ref));
        ASSERT_TRUE(peer.Accept());
        station->secondary = c.secondary ? 1 : 0;
        instance->transparentMode = 1;
        Connected(ref);
        uint32_t before = static_cast<uint32_t>(PlatformWallClock());
        size_t stored = GateOf(online).history.size();
        trs_test::ClearLog();

        EXPECT_EQ(0u, DisconnectModem(instance, 5));

        EXPECT_EQ(c.received, peer.ReadToEnd());
        EXPECT_TRUE(peer.Closed()) << "the pool released the connection";
        EXPECT_EQ(c.transparentAfter, instance->transparentMode.load());
        EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
        EXPECT_EQ(0, station->onlineState.load());
        EXPECT_EQ(0, station->loggedOn.load());
        kiv::GateState gate = GateOf(online);
        ASSERT_EQ(stored + 1, gate.history.size());
        EXPECT_EQ(0.0, gate.history.back().value);
        EXPECT_GE(gate.history.back().timeStamp, before);
        EXPECT_LE(gate.history.back().timeStamp, static_cast<uint32_t>(PlatformWallClock()));
        ASSERT_FALSE(gate.forcedLog.empty());
        EXPECT_EQ(gate.history.back().timeStamp, gate.forcedLog.back().timeStamp);
        EXPECT_EQ(std::vector<Line>{Line(32, "TRSLNK: DisableSampling() for Plc (5)")}, Logged());
    }
}

} // namespace
} // namespace modem_test
