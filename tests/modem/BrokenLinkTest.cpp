// A station whose connection breaks while the host waits for a reply: the read fails
// without hanging, the station is marked off-line (the online-tags thread that ColdStart
// started shows it), the connection is ended and the operator told as ALERTS asks.
#include "ModemRig.h"

#include <future>

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

class BrokenLinkTest : public ModemRig, public ::testing::WithParamInterface<BrokenCase> {};

const char kNotice[] = "TRSLNK01 001:modem connection with plc broken";

TEST_P(BrokenLinkTest, PeerVanishingDuringAHostReadEndsTheConnection)
{
    const BrokenCase &c = GetParam();
    WriteInitFile(c.settings + "001 = 'PLC1' , '1234'\n");
    simulator_.AddStation(Plc(1, {{"AI12", "1234"}}));
    uint32_t flow = AddGate("001AI012");
    uint32_t online = AddGate("001M_ONLINE");
    Start(2);
    // The first pass shows the state the station has now.
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).hasValue; })) << trs_test::Dump();
    Connect(1);
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).current.value == 1; })) << trs_test::Dump();
    StationRecord *record = Station(1);

    trs::sim::Fault fault;
    fault.command = "VAR?";
    fault.count = 1;
    fault.kind = c.partialReply.empty() ? trs::sim::FaultKind::NoReply : trs::sim::FaultKind::Raw;
    fault.raw = c.partialReply;
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
    ASSERT_GE(brokenAt, 0) << trs_test::Dump();
    EXPECT_LT(brokenAt, samplingAt) << trs_test::Dump();
    EXPECT_LT(samplingAt, IndexOf(c.noticeLevel, kNotice)) << trs_test::Dump();
    EXPECT_EQ(1u, Count(c.noticeLevel, kNotice)) << trs_test::Dump();
    EXPECT_EQ(1u, Count(LOG_ERROR, trs_test::Format("TRSLNK> SingleRead() failed, rc %u", c.result)));

    auto alerts = Runtime().Alerts();
    ASSERT_EQ(c.alertFlags == 0 ? 0u : 1u, alerts.size());
    if (!alerts.empty()) {
        EXPECT_EQ(modem_test::AlertFields(Instance()->clientId, "WIT", kNotice, c.severity, c.alertFlags, c.zone, 0x14,
                                          1, 65535, false),
                  modem_test::Fields(alerts[0]));
    }
    // A kept reference of a broken connection would, call by call, exhaust the pool.
    EXPECT_EQ(0u, dialx::GetCounters().openConnections) << trs_test::Dump();

    // Nobody wrote the online gate on the break: only the thread can show it.
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).current.value == 0; })) << trs_test::Dump();
    ASSERT_EQ(0u, host_.EndDrv());
    kiv::GateState gate = Gate(online);
    EXPECT_EQ((std::vector<double>{0, 1, 0}), modem_test::Values(gate.history));
    EXPECT_EQ((std::vector<double>{0, 1, 0}), modem_test::Values(gate.forcedLog));
    for (const auto &sample : gate.history)
        EXPECT_NE(0u, sample.timeStamp);
    EXPECT_EQ(1u, Count(LOG_ERROR, "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()"));
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
