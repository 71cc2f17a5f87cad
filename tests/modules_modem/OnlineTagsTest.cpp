// The M_ONLINE gates: what one pass writes, and the life of the thread that runs the passes.
#include "Fixture.h"

#include <string.h>

#include "Modules/WitModem.h"

namespace modem_test {
namespace {

using V = std::vector<double>;

class OnlineTagsTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        memset(lastWritten, 100, sizeof lastWritten);
        // Station 3 has no M_ONLINE gate; station 9's gate belongs to another instance.
        for (auto [s, state] : {std::pair{1u, 1}, {2u, 0}, {3u, 1}, {4u, 255}, {9u, 1}}) {
            trs_test::AddStation(instance, s, "PLC", "1234");
            State(s, static_cast<uint16_t>(state));
            if (s != 3)
                gate[s] = AddGate(NewGate(trs_test::Format("%03uM_ONLINE", s), s == 9 ? 2 : 1));
        }
    }
    void State(uint32_t s, uint16_t state) { instance->stations[s].load()->onlineState = state; }
    V Written(uint32_t s) { return Values(GateOf(gate[s]).history); }
    void Pass() { OnlineTagsPass(instance, lastWritten); }

    uint8_t lastWritten[MAX_STATIONS];
    uint32_t gate[MAX_STATIONS] = {};
};

TEST_F(OnlineTagsTest, FirstPassWritesEveryExistingGateLaterOnesOnlyChanges)
{
    uint32_t before = static_cast<uint32_t>(PlatformWallClock());
    Pass();
    uint32_t after = static_cast<uint32_t>(PlatformWallClock());

    EXPECT_EQ(V{1}, Written(1));
    EXPECT_EQ(V{0}, Written(2));
    EXPECT_EQ(V{255}, Written(4));
    EXPECT_EQ(V{}, Written(9));
    for (uint32_t s : {1u, 2u, 4u}) {
        kiv::GateState g = GateOf(gate[s]);
        ASSERT_EQ(1u, g.forcedLog.size()) << s;
        EXPECT_EQ(g.history[0].timeStamp, g.forcedLog[0].timeStamp);
        EXPECT_GE(g.history[0].timeStamp, before);
        EXPECT_LE(g.history[0].timeStamp, after);
    }
    EXPECT_EQ((std::vector<int>{1, 0, 100, 255}),
              (std::vector<int>{lastWritten[1], lastWritten[2], lastWritten[3], lastWritten[4]}))
        << "no gate, nothing remembered";
    EXPECT_TRUE(Logged().empty()) << "a missing gate is not worth a message";

    // Later passes write only changed states.
    Pass();
    EXPECT_EQ(V{1}, Written(1));
    EXPECT_EQ(V{0}, Written(2));
    // Off-line and back between two passes: the gate never sees it.
    State(1, 0);
    State(1, 1);
    Pass();
    EXPECT_EQ(V{1}, Written(1));
    State(1, 0);
    State(2, 255);
    Pass();
    EXPECT_EQ((V{1, 0}), Written(1));
    EXPECT_EQ((V{0, 255}), Written(2));
    EXPECT_EQ(V{255}, Written(4));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(OnlineTagsTest, FailedStoreWaitsForTheNextChange)
{
    Pass();
    Host().InjectFailure(kiv::Call::PutGateVal, gate[2], 4);
    State(2, 1);
    Pass();
    Pass();
    EXPECT_EQ(std::vector<Line>{Line(32, trs_test::Format("TrsLNK: Write gate id %x fail", gate[2]))}, Logged())
        << "logged once, not retried";
    Host().ClearFailures();
    Pass();
    EXPECT_EQ(V{0}, Written(2));
    State(2, 0);
    Pass();
    EXPECT_EQ((V{0, 0}), Written(2));
}

TEST_F(OnlineTagsTest, EmptiedSlotIsSkipped)
{
    delete instance->stations[1].exchange(nullptr);
    Pass();
    EXPECT_EQ(V{}, Written(1));
    EXPECT_EQ(V{0}, Written(2));
}

std::vector<Line> ThreadLines(bool started)
{
    std::vector<Line> lines = {{32, "TrsLNK: DRV 1 Starting UpdateOnlineTagsThread()..."}};
    if (started)
        lines.emplace_back(32, "TrsLNK: DRV 1 UpdateOnlineTagsThread() started");
    lines.emplace_back(32, "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()");
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
    EXPECT_TRUE(trs_test::WaitForLine(32, "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()", 10000))
        << trs_test::Dump();
    EXPECT_EQ(0u, instance->stopping.load());
    JoinOnlineTagsThread(instance, true);
    EXPECT_EQ(nullptr, instance->onlineThread);
    EXPECT_EQ(V{1}, Written(1));
    EXPECT_EQ((V{0, 1}), Written(2));
    EXPECT_EQ(ThreadLines(true), Logged());
}

TEST_F(OnlineTagsTest, StoppedThreadTouchesNoStationAndEndsWithItsClient)
{
    Host().SetWaitMsgPeriod(5);
    for (bool running : {false, true}) {
        SCOPED_TRACE(running ? "while running" : "during the start delay");
        instance->stopping = 0;
        trs_test::ClearLog();
        // At full scale the start delay lasts 10 s, so the stop surely comes within it.
        PlatformSetTimeScale(running ? 0.01 : 1.0);
        ASSERT_EQ(0, StartOnlineTagsThread(instance));
        if (running) {
            ASSERT_TRUE(WaitUntil([&] { return !Written(1).empty(); }));
        }
        StopOnlineTagsThread(instance);
        PlatformSetTimeScale(0.01);
        EXPECT_EQ(0u, instance->onlinePass.load());
        // No pass runs any more: a change of state is not shown.
        const size_t shown = Written(3).size();
        State(3, 1);
        usleep(50000);
        EXPECT_EQ(shown, Written(3).size());
        EXPECT_TRUE(Host().ClientExists(client));
        EXPECT_EQ(0u, trs_test::Count(32, "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()"))
            << "the thread lives until its client goes";
        State(3, 0);
        if (running) {
            // The client goes: the thread says so and ends by itself.
            ASSERT_EQ(0, KivRmClient(client));
            JoinOnlineTagsThread(instance, true);
            ASSERT_EQ(0, KivMkClient("WIT_No_01", 1, 0, &client));
            instance->clientId = client;
        } else {
            // The client could not be removed: the thread is made to end.
            JoinOnlineTagsThread(instance, false);
        }
        EXPECT_EQ(nullptr, instance->onlineThread);
        EXPECT_EQ(ThreadLines(running), Logged());
    }
}

} // namespace
} // namespace modem_test
