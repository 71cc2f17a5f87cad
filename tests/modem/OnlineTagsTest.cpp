// The online-tags thread that ColdStart starts shows the connection state of each station
// in its M_ONLINE gate, also when the connection broke and nobody wrote the gate.
#include "ModemRig.h"

#include <future>

#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "support/Support.h"

namespace modem_it {
namespace {

class OnlineTagsTest : public ModemRig {
protected:
    std::vector<double> Values(const std::vector<kiv::GateSample> &samples) const
    {
        std::vector<double> values;
        for (const auto &sample : samples)
            values.push_back(sample.value);
        return values;
    }
};

TEST_F(OnlineTagsTest, ConnectionStatesShowInTheOnlineGate)
{
    WriteInitFile(std::string(kModemMode) + "001 = 'PLC1' , '1234'\n002 = 'PLC2' , '1234'\n");
    trs::sim::StationConfig plc1;
    plc1.identity = 1;
    plc1.name = "PLC1";
    simulator_.AddStation(plc1);
    uint32_t online = AddGate("001M_ONLINE");
    uint32_t flow = AddGate("001AI012");
    // Station 2 has no M_ONLINE gate: it is skipped without a word.
    AddGate("002AI012");
    Start(3);

    // The first pass shows the state that the station has now.
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).hasValue; })) << trs_test::Dump();
    EXPECT_EQ(0.0, Gate(online).current.value);

    Dial(1);
    ASSERT_EQ(0u, host_.WarmStart(1)) << trs_test::Dump();
    // What a connect command does once the station is logged on.
    Station(1)->loggedOn = 1;
    Station(1)->onlineState = 1;
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).current.value == 1; })) << trs_test::Dump();

    // The station goes during a host read: only the thread can show it.
    trs::sim::Fault silent;
    silent.kind = trs::sim::FaultKind::NoReply;
    silent.command = "VAR?";
    simulator_.InjectFault(silent);
    simulator_.ClearLog();
    auto read = std::async(std::launch::async, [&] { return host_.Read(flow); });
    ASSERT_TRUE(simulator_.WaitForTelegrams(1, std::chrono::seconds(10)));
    simulator_.Stop();
    ASSERT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(20)));
    EXPECT_EQ(2u, read.get());
    ASSERT_TRUE(WaitUntil([&] { return Gate(online).current.value == 0; })) << trs_test::Dump();

    ASSERT_EQ(0u, host_.EndDrv());
    auto gate = Gate(online);
    EXPECT_EQ((std::vector<double>{0, 1, 0}), Values(gate.history));
    EXPECT_EQ((std::vector<double>{0, 1, 0}), Values(gate.forcedLog));
    for (const auto &sample : gate.history)
        EXPECT_NE(0u, sample.timeStamp);

    EXPECT_EQ(1u, Count(LOG_ERROR, "TrsLNK: DRV 1 Starting UpdateOnlineTagsThread()..."));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TrsLNK: DRV 1 UpdateOnlineTagsThread() started"));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()"));
    EXPECT_TRUE(LinesStartingWith("TRSLNK: Tag ").empty()) << trs_test::Dump();
    EXPECT_TRUE(LinesStartingWith("TRSLNK: Failed to get gate ID").empty()) << trs_test::Dump();
}

} // namespace
} // namespace modem_it
