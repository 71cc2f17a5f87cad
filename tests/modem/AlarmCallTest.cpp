// A station calls in: the pool identifies it, gives the call a connection reference and
// hands both to the host, which writes the reference into the station's alarm-call gate.
#include "ModemRig.h"

#include <mutex>

namespace modem_it {
namespace {

struct AlarmCase {
    const char *label;
    uint32_t caller;         // the station number the caller identifies itself with
    uint32_t delivered;      // what DeliverAlarmCall gave back
    std::vector<Line> lines; // the driver's lines about the gate write
};

class AlarmCallTest : public ModemRig, public ::testing::WithParamInterface<AlarmCase> {};

TEST_P(AlarmCallTest, PoolHandsTheCallToTheStationsAlarmGate)
{
    const AlarmCase &c = GetParam();
    WriteInitFile("001 = 'PLC1' , '1234'\n");
    uint32_t alarmGate = AddGate("$A01-001");
    Start(1);

    // The pool's thread hands over the call; what the host said is kept for the checks.
    std::mutex guard;
    std::vector<std::tuple<uint32_t, uint16_t, uint32_t>> calls; // station, reference, delivered
    dialx::SetAlarmCallback([&](uint32_t station, uint16_t connRef) {
        uint32_t delivered = host_.DeliverAlarmCall(station, connRef);
        std::lock_guard<std::mutex> lock(guard);
        calls.emplace_back(station, connRef, delivered);
    });
    int alarmPort = dialx::Listen(0);
    ASSERT_GT(alarmPort, 0) << dialx::LastError();
    trs_test::ClearLog();

    trs::sim::Simulator caller;
    trs::sim::StationConfig station = Plc(c.caller);
    station.name = "PLC1";
    caller.AddStation(station);
    std::string error;
    ASSERT_TRUE(caller.CallIn("127.0.0.1", static_cast<uint16_t>(alarmPort), c.caller, &error)) << error;
    auto delivered = [&] {
        std::lock_guard<std::mutex> lock(guard);
        return calls;
    };
    ASSERT_TRUE(WaitUntil([&] { return !delivered().empty(); })) << trs_test::Dump();
    ASSERT_EQ(1u, delivered().size());
    const auto [who, ref, result] = delivered()[0];
    EXPECT_EQ(c.caller, who);
    EXPECT_GE(ref, dialx::kFirstConnRef);
    EXPECT_LE(ref, dialx::kLastConnRef);
    EXPECT_EQ(c.delivered, result) << trs_test::Dump();
    EXPECT_EQ(c.lines, LinesStartingWith("TRSLNK")) << trs_test::Dump();
    // Not taken over by the driver yet: the station stays unconnected and the pool keeps
    // the call open until the host hangs up.
    EXPECT_EQ(DIALX_NO_CONNECTION, Station(1)->connRef.load());
    EXPECT_EQ(0u, Station(1)->onlineState.load());
    EXPECT_TRUE(caller.Telegrams().empty());
    EXPECT_FALSE(Gate(alarmGate).hasValue);
    auto counters = dialx::GetCounters();
    EXPECT_EQ(1u, counters.alarmCalls);
    EXPECT_EQ(0u, counters.rejectedCalls);
    EXPECT_EQ(1u, counters.openConnections);

    EXPECT_EQ(DIALX_OK, DIALX_Disconnect(ref));
    EXPECT_EQ(0u, dialx::GetCounters().openConnections);
    caller.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Modem, AlarmCallTest,
    ::testing::Values(AlarmCase{"StationWithAlarmGate",
                                1,
                                1,
                                {{LOG_PROGRESS, "TRSLNK: SingleWrite() Writing to tag $A01-001"},
                                 {LOG_ERROR, "TRSLNK> SingleWrite() Tag '$A01-001' not supported yet"}}},
                      AlarmCase{"StationWithoutAlarmGate", 7, kiv::kHostNoGate, {}}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace modem_it
