// Faults that the fuzz targets and the fault matrix found, each kept as a test of what
// happens now that it is mended.

#include <future>

#include "Rig.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "platform/Platform.h"
#include "sim/Config.h"
#include "sim/Records.h"

namespace reliability {
namespace {

trs::sim::Fault Reply(const char *command, const std::string &payload, int count = 1)
{
    trs::sim::Fault fault;
    fault.kind = trs::sim::FaultKind::Raw;
    fault.command = command;
    fault.count = count;
    fault.raw = trs::sim::Frame(payload);
    return fault;
}

// A T? header whose year reads as 2147483648 or a little more: the year arithmetic must
// not overflow; the header is refused as an illegal time on every attempt.
TEST_F(Rig, HistoryHeaderWithAYearBeyond31Bits)
{
    trs::sim::StationConfig station = Plc5();
    trs::sim::HistoryTrace trace;
    trace.resource = "RA1";
    trace.newest = trs::sim::MakeStationTime(2003, 12, 15, 12);
    trace.values = {"1,5", "2,5"};
    station.traces[1] = trace;
    simulator_.AddStation(station);
    AddGate("005HS", GATE_TYPE_U16);
    AddGate("005_START_DATE", GATE_TYPE_TEXT);
    StartSerial();
    ASSERT_EQ(host_.WriteText(Gate("005_START_DATE"), "15/12/2003"), 0u);
    simulator_.InjectFault(Reply("T?", "T=\t1\tM\t1\t900\t15\t12\t2003\t12\t00\t00\t", 1));
    simulator_.InjectFault(Reply("T?", "T=\t1\tM\t1\t900\t15\t12\t2147483648\t12\t00\t00\t1,5\t", 4));
    EXPECT_EQ(host_.Read(Gate("005HS")), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetHistoryData() illegal time in event, 15/12/2147481748 12:00:00"), 4u)
        << trs_test::Dump();
    EXPECT_TRUE(Runtime().Gate(Gate("005RA001"))->history.empty());
}

// EndDrv while the host answers an alarm call: the answer waits for the journal on the
// host's thread; EndDrv waits for it, and the answer gives up and reports failure instead
// of going on with an instance that is ending.
TEST_F(Rig, EndDrvWhileTheHostAnswersAnAlarmCall)
{
    simulator_.AddStation(Plc5());
    StartModem();
    AddGate("$A01-005", GATE_TYPE_U16);
    ASSERT_EQ(host_.Bind(Gate("$A01-005")), 0u);
    std::promise<uint32_t> answered;
    dialx::SetAlarmCallback([&](uint32_t station, uint16_t ref) { answered.set_value(host_.DeliverAlarmCall(station, ref)); });
    const int port = dialx::Listen(0);
    ASSERT_GT(port, 0);
    trs::sim::Simulator caller;
    caller.AddStation(Plc5(3000));
    ASSERT_TRUE(caller.CallIn("127.0.0.1", static_cast<uint16_t>(port), 5));
    ASSERT_TRUE(WaitUntil([&] { return caller.Telegrams().size() > 100; }));
    EXPECT_EQ(host_.EndDrv(), 0u);
    auto result = answered.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), 1u) << "the call ends with the instance";
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> AnswerAlarmCall() driver ending, call of station 005 abandoned"), 1u);
    caller.Stop();
}

// The TOML library behind the dial directory and station files asserts (or, with NDEBUG,
// runs into undefined behaviour) on some malformed text: it is reported instead, and a
// non-ASCII name inside a string is still taken. A quote or bracket inside a bare value
// starts no string for the library, which reads on through the non-ASCII bytes behind it;
// nor may one follow a backslash in a string, where the library tests it for white space.
TEST(TomlFiles, MalformedTextIsReportedNotFatal)
{
    for (const char *text : {"[&\n", "[]\n", "0=[}\n", "\xc3\xa9 = 1\n", "ref = 13\"2001\xef\xbb\xbc\"\n",
                             "e08 =-[\"4\xef\xb3\xbf\n", "\"\"\"A\\\xcf\xb1\n",
                             "a = \"\"\"x\\\n  \xc3\xa9\"\"\"\n", "a = \"\"\"x\\  \xc3\xa9\"\"\"\n"}) {
        SCOPED_TRACE(text);
        dialx::Directory directory;
        EXPECT_NE(dialx::ParseDirectory(text, directory), "");
        std::vector<trs::sim::StationConfig> stations;
        std::string error;
        EXPECT_FALSE(trs::sim::ParseStations(text, "stations.toml", stations, &error));
        EXPECT_NE(error, "");
    }
    dialx::Directory directory;
    EXPECT_EQ(dialx::ParseDirectory("# Ch\xc3\xa2teau d'eau\n[[dial]] # \xc3\xa9\nref = 1\nhost = \"r\xc3\xa9servoir\"\nport = 7\n"
                                    "[alarm]\nlisten = 0\n[alarm.allow]\n\"17\" = [\"127.0.0.1\",\n  '10.20.0.0/16']\n",
                                    directory),
              "");
}

} // namespace
} // namespace reliability
