// The M_ONLINE gates: what one pass writes, and the life of the thread that runs the passes.
#include "Fixture.h"

#include <string.h>

#include "Modules/WitModem.h"

namespace modem_test {
namespace {

class OnlineTagsTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        memset(lastWritten, 100, sizeof lastWritten);
        // Station 3 has no M_ONLINE gate; station 9's gate belongs to another instance.
        for (uint32_t s : {1u, 2u, 3u, 4u, 9u})
            trs_test::AddStation(instance, s, "PLC", "1234");
        gate[1] = AddGate(NewGate("001M_ONLINE"));
        gate[2] = AddGate(NewGate("002M_ONLINE"));
        gate[4] = AddGate(NewGate("004M_ONLINE"));
        gate[9] = AddGate(NewGate("009M_ONLINE", 2));
        State(1, 1);
        State(2, 0);
        State(3, 1);
        State(4, 255);
        State(9, 1);
    }

    void State(uint32_t s, uint16_t state) { instance->stations[s].load()->onlineState = state; }

    std::vector<double> Written(uint32_t s)
    {
        std::vector<double> values;
        for (const auto &sample : GateOf(gate[s]).history)
            values.push_back(sample.value);
        return values;
    }

    uint8_t lastWritten[MAX_STATIONS];
    uint32_t gate[MAX_STATIONS] = {};
};

using Values = std::vector<double>;

TEST_F(OnlineTagsTest, FirstPassWritesEveryExistingGateOnce)
{
    uint32_t before = static_cast<uint32_t>(PlatformWallClock());
    OnlineTagsPass(instance, lastWritten);
    uint32_t after = static_cast<uint32_t>(PlatformWallClock());

    EXPECT_EQ(Values{1}, Written(1));
    EXPECT_EQ(Values{0}, Written(2));
    EXPECT_EQ(Values{255}, Written(4));
    EXPECT_EQ(Values{}, Written(9));
    for (uint32_t s : {1u, 2u, 4u}) {
        kiv::GateState g = GateOf(gate[s]);
        ASSERT_EQ(1u, g.forcedLog.size()) << s;
        EXPECT_EQ(g.history[0].timeStamp, g.forcedLog[0].timeStamp);
        EXPECT_GE(g.history[0].timeStamp, before);
        EXPECT_LE(g.history[0].timeStamp, after);
    }
    EXPECT_EQ(1, lastWritten[1]);
    EXPECT_EQ(0, lastWritten[2]);
    EXPECT_EQ(100, lastWritten[3]) << "no gate, nothing remembered";
    EXPECT_EQ(255, lastWritten[4]);
    EXPECT_TRUE(Logged().empty()) << "a missing gate is not worth a message";
}

TEST_F(OnlineTagsTest, LaterPassesWriteOnlyChangedStates)
{
    OnlineTagsPass(instance, lastWritten);
    OnlineTagsPass(instance, lastWritten);
    EXPECT_EQ(Values{1}, Written(1));
    EXPECT_EQ(Values{0}, Written(2));

    // Off-line and back between two passes: the gate never sees it.
    State(1, 0);
    State(1, 1);
    OnlineTagsPass(instance, lastWritten);
    EXPECT_EQ(Values{1}, Written(1));

    State(1, 0);
    State(2, 255);
    OnlineTagsPass(instance, lastWritten);
    EXPECT_EQ((Values{1, 0}), Written(1));
    EXPECT_EQ((Values{0, 255}), Written(2));
    EXPECT_EQ(Values{255}, Written(4));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(OnlineTagsTest, FailedStoreWaitsForTheNextChange)
{
    OnlineTagsPass(instance, lastWritten);
    Host().InjectFailure(kiv::Call::PutGateVal, gate[2], 4);
    State(2, 1);
    OnlineTagsPass(instance, lastWritten);
    OnlineTagsPass(instance, lastWritten);
    char line[64];
    snprintf(line, sizeof line, "TrsLNK: Write gate id %x fail", gate[2]);
    EXPECT_EQ(std::vector<Line>{Line(32, line)}, Logged()) << "logged once, not retried";

    Host().ClearFailures();
    OnlineTagsPass(instance, lastWritten);
    EXPECT_EQ(Values{0}, Written(2));
    State(2, 0);
    OnlineTagsPass(instance, lastWritten);
    EXPECT_EQ((Values{0, 0}), Written(2));
}

TEST_F(OnlineTagsTest, EmptiedSlotIsSkipped)
{
    delete instance->stations[1].exchange(nullptr);
    OnlineTagsPass(instance, lastWritten);
    EXPECT_EQ(Values{}, Written(1));
    EXPECT_EQ(Values{0}, Written(2));
}

std::vector<Line> ThreadLines(int drv, bool started)
{
    std::vector<Line> lines = {{32, trs_test::Format("TrsLNK: DRV %d Starting UpdateOnlineTagsThread()...", drv)}};
    if (started)
        lines.emplace_back(32, trs_test::Format("TrsLNK: DRV %d UpdateOnlineTagsThread() started", drv));
    lines.emplace_back(32, trs_test::Format("TrsLNK: DRV %d Closing UpdateOnlineTagsThread()", drv));
    return lines;
}

TEST_F(OnlineTagsTest, ThreadWritesTheGatesAndEndsWhenTheClientGoes)
{
    Host().SetWaitMsgPeriod(5);
    ASSERT_EQ(0, StartOnlineTagsThread(instance));
    ASSERT_TRUE(WaitUntil([&] { return Written(1).size() == 1 && Written(4).size() == 1; }));
    // A station that comes on-line after the first pass is shown on a later one.
    State(2, 1);
    ASSERT_TRUE(WaitUntil([&] { return Written(2).size() == 2; }));

    ASSERT_EQ(0, KivRmClient(client));
    const std::string closing = "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()";
    EXPECT_TRUE(WaitUntil([&] { return HasLine(32, closing); })) << trs_test::Dump();
    EXPECT_EQ(0u, instance->stopping.load());
    StopOnlineTagsThread(instance);
    EXPECT_EQ(nullptr, instance->onlineThread);

    EXPECT_EQ(Values{1}, Written(1));
    EXPECT_EQ((Values{0, 1}), Written(2));
    EXPECT_EQ(ThreadLines(1, true), Logged());
}

TEST_F(OnlineTagsTest, StopEndsTheThreadInEitherState)
{
    struct Case {
        const char *name;
        bool waitForFirstPass;
    };
    for (const Case &c : {Case{"during the start delay", false}, Case{"while running", true}}) {
        SCOPED_TRACE(c.name);
        instance->stopping = 0;
        trs_test::ClearLog();
        Host().SetWaitMsgPeriod(5);
        // At full scale the start delay lasts 10 s, so the stop surely comes within it.
        PlatformSetTimeScale(c.waitForFirstPass ? 0.01 : 1.0);
        ASSERT_EQ(0, StartOnlineTagsThread(instance));
        if (c.waitForFirstPass) {
            ASSERT_TRUE(WaitUntil([&] { return !Written(1).empty(); }));
        }
        StopOnlineTagsThread(instance);
        PlatformSetTimeScale(0.01);
        EXPECT_EQ(1u, instance->stopping.load());
        EXPECT_EQ(ThreadLines(1, c.waitForFirstPass), Logged());
        EXPECT_TRUE(Host().ClientExists(client));
    }
}

} // namespace
} // namespace modem_test
