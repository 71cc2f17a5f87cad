// A station whose connection breaks while the host waits for a reply: the read fails
// without hanging, the station is marked off-line, the connection is ended and the
// operator is told as the ALERTS setting asks.
#include "ModemRig.h"

#include <future>

#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "support/Support.h"

namespace modem_it {
namespace {

struct BrokenCase {
    const char *label;
    std::string settings;     // lines of the initialisation file
    std::string partialReply; // what the station sends before it goes ("" = nothing)
    uint32_t alertFlags;      // 0: the notice raises no alert
    uint32_t severity, zone;
    int noticeLevel;
    uint32_t result; // of the host's read
};

void PrintTo(const BrokenCase &c, std::ostream *out)
{
    *out << c.label;
}

class BrokenLinkTest : public ModemRig, public ::testing::WithParamInterface<BrokenCase> {};

const char kNotice[] = "TRSLNK01 001:modem connection with plc broken";

TEST_P(BrokenLinkTest, PeerVanishingDuringAHostReadEndsTheConnection)
{
    const BrokenCase &c = GetParam();
    WriteInitFile(std::string(kModemMode) + c.settings + "001 = 'PLC1' , '1234'\n");
    trs::sim::StationConfig plc1;
    plc1.identity = 1;
    plc1.name = "PLC1";
    plc1.variables = {{"AI12", "1234"}};
    simulator_.AddStation(plc1);
    uint32_t flow = AddGate("001AI012");
    uint32_t online = AddGate("001M_ONLINE");
    Start(2);
    Dial(1);
    ASSERT_EQ(0u, host_.WarmStart(1)) << trs_test::Dump();
    StationRecord *record = Station(1);
    record->loggedOn = 1;
    record->onlineState = 1;

    trs::sim::Fault fault;
    fault.command = "VAR?";
    fault.count = 1;
    if (c.partialReply.empty()) {
        fault.kind = trs::sim::FaultKind::NoReply;
    } else {
        fault.kind = trs::sim::FaultKind::Raw;
        fault.raw = c.partialReply;
    }
    simulator_.InjectFault(fault);
    simulator_.ClearLog();
    const uint64_t before = dialx::GetCounters().bytesIn;
    trs_test::ClearLog();

    auto read = std::async(std::launch::async, [&] { return host_.Read(flow); });
    // The station goes once the request has reached it and what it says has arrived.
    ASSERT_TRUE(simulator_.WaitForTelegrams(1, std::chrono::seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return dialx::GetCounters().bytesIn >= before + c.partialReply.size(); }));
    simulator_.Stop();
    ASSERT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(20))) << "the read hangs";
    EXPECT_EQ(c.result, read.get()) << trs_test::Dump();

    EXPECT_EQ(std::vector<std::string>{"PLC1\tVAR?\tAI12\t1\t"}, simulator_.Telegrams());
    EXPECT_EQ(DIALX_NO_CONNECTION, record->connRef.load());
    EXPECT_EQ(0u, record->onlineState.load());
    EXPECT_EQ(0u, record->loggedOn.load());
    EXPECT_EQ(0u, Instance()->hostRequestActive.load());
    EXPECT_FALSE(Gate(flow).hasValue) << "a failed read leaves the gate as it was";
    EXPECT_TRUE(Gate(flow).samplingOff);
    EXPECT_FALSE(Gate(online).samplingOff);

    const std::string broken = trs_test::Format(
        "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: conn. broken, (%zu read)",
        c.partialReply.size());
    long brokenAt = IndexOf(LOG_ERROR, broken);
    long samplingAt = IndexOf(LOG_ERROR, "TRSLNK: DisableSampling() for Plc (1)");
    long noticeAt = IndexOf(c.noticeLevel, kNotice);
    ASSERT_GE(brokenAt, 0) << trs_test::Dump();
    EXPECT_LT(brokenAt, samplingAt) << trs_test::Dump();
    EXPECT_LT(samplingAt, noticeAt) << trs_test::Dump();
    EXPECT_EQ(1u, Count(c.noticeLevel, kNotice)) << trs_test::Dump();
    EXPECT_EQ(1u, Count(LOG_ERROR, trs_test::Format("TRSLNK> SingleRead() failed, rc %u", c.result)));

    auto alerts = Runtime().Alerts();
    if (c.alertFlags == 0) {
        EXPECT_TRUE(alerts.empty());
    } else {
        ASSERT_EQ(1u, alerts.size());
        EXPECT_EQ("WIT", alerts[0].source);
        EXPECT_EQ(kNotice, alerts[0].text);
        EXPECT_EQ(c.alertFlags, alerts[0].flags);
        EXPECT_EQ(c.severity, alerts[0].severity);
        EXPECT_EQ(c.zone, alerts[0].zone);
        EXPECT_EQ(0x14, alerts[0].attributes);
    }

    // The pool must not keep the broken connection's reference: each broken call would
    // otherwise hold one of its references until the pool runs out of them.
    EXPECT_EQ(0u, dialx::GetCounters().openConnections) << trs_test::Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Modem, BrokenLinkTest,
    ::testing::Values(
        BrokenCase{"MidReplyDefaultAlerts", "", "VAR=\tAI12\t12", 0x40000000u, 1000, 1000, LOG_ERROR, 2},
        BrokenCase{"BeforeAnyByte", "", "", 0x40000000u, 1000, 1000, LOG_ERROR, 2},
        BrokenCase{"LogOnlyAndNoComError", "ALERTS = 0 , 1000 , 1000\nNO_COM_ERROR = YES\n", "VAR=\t", 0, 0, 0,
                   LOG_TRACE, 1},
        BrokenCase{"LoudAlertClass", "ALERTS = 4 , 500 , 7\n", "VAR", 0x60000000u, 500, 7, LOG_ERROR, 2}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace modem_it
