// Alarm calls: stations that call the pool, identify themselves and are handed over.
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Peers.h"
#include "entry/DialX.h"

namespace dialx_test {
namespace {

// Records what the pool hands to the host.
class AlarmCallTest : public PoolTest {
protected:
    struct Handed { uint32_t station; uint16_t ref; };

    void SetUp() override
    {
        PoolTest::SetUp();
        dialx::SetIdentTimeoutMs(200);
        dialx::SetAlarmCallback([this](uint32_t station, uint16_t ref) {
            std::lock_guard<std::mutex> lock(mutex_);
            handed_.push_back({station, ref});
            changed_.notify_all();
        });
        port_ = dialx::Listen(0);
        ASSERT_GT(port_, 0);
    }

    // Waits (bounded) until `count` calls were handed over; returns what was handed.
    std::vector<Handed> WaitHanded(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(3), [&] { return handed_.size() >= count; });
        return handed_;
    }
    int Call() { return Dial(static_cast<uint16_t>(port_)); }

    int port_ = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Handed> handed_;
};

TEST_F(AlarmCallTest, GoodIdentificationLinesHandTheCallOver)
{
    // `later` is sent after the hand-over, ahead of the station's first answer "I".
    struct { std::string line; uint32_t station; std::string following, later; } cases[] = {
        {"17\n", 17, "", ""}, {"042\r\n", 42, "", ""}, {"0\r", 0, "", ""}, {"999\n", 999, "", ""},
        {"4294967295\r\n", 4294967295u, "", ""},
        {"5\nHELLO", 5, "HELLO", ""}, {"6\rHELLO", 6, "HELLO", ""}, {"7\r\nHI", 7, "HI", ""}, // kept
        {"\r\n\n\r8\n", 8, "", ""},                    // empty lines first
        {std::string(20, '\n') + "13\r\n", 13, "", ""}, // more of them than a line may hold
        {"9\r", 9, "", "\n"},                           // the LF of a CR LF that came late
        {"12\r\r\n", 12, "\r\n", ""},                   // one line end only
    };
    size_t count = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        int caller = Call();
        ASSERT_GE(caller, 0);
        WriteAll(caller, c.line);
        auto handed = WaitHanded(++count);
        ASSERT_EQ(handed.size(), count);
        EXPECT_EQ(handed.back().station, c.station);
        const uint16_t ref = handed.back().ref;
        EXPECT_GE(ref, 1u);
        EXPECT_LE(ref, 254u);

        // The call carries bytes both ways, and the host ends it.
        ASSERT_EQ(DIALX_Send(ref, "IDENT?\r", 7), DIALX_OK);
        EXPECT_EQ(ReadUpTo(caller, 7), "IDENT?\r");
        WriteAll(caller, c.later + "I");
        std::string got;
        ASSERT_EQ(ReceiveBytes(ref, c.following.size() + 1, got), DIALX_OK);
        EXPECT_EQ(got, c.following + "I");
        EXPECT_EQ(DIALX_Disconnect(ref), DIALX_OK);
        EXPECT_TRUE(SeesClose(caller));
        Close(caller);
    }
    dialx::Counters counters = dialx::GetCounters();
    EXPECT_EQ(counters.alarmCalls, std::size(cases));
    EXPECT_EQ(counters.rejectedCalls, 0u);
}

TEST_F(AlarmCallTest, BadOrMissingIdentificationClosesTheCall)
{
    const std::string cases[] = {
        "12a\n",              // not a number
        " 7\n",               // no blanks
        "-1\n",               // no sign
        "\r\n\r\n",           // empty lines only, then silence
        "4294967296\r",       // beyond 32 bits
        "1234567890123456",   // 16 bytes without line end: too long
        "000000000000001\n",  // 15 digits: too long for a station number
        "",                   // silent until the identification time-out
        "12",                 // line never finished
    };
    uint64_t refused = 0;
    for (const std::string &line : cases) {
        SCOPED_TRACE(line);
        int caller = Call();
        ASSERT_GE(caller, 0);
        if (!line.empty())
            WriteAll(caller, line);
        EXPECT_TRUE(SeesClose(caller));
        Close(caller);
        EXPECT_EQ(dialx::GetCounters().rejectedCalls, ++refused);
    }
    EXPECT_TRUE(WaitHanded(0).empty());
    EXPECT_EQ(dialx::GetCounters().alarmCalls, 0u);
    EXPECT_EQ(dialx::GetCounters().openConnections, 0u);
}

TEST_F(AlarmCallTest, SilentCallerDoesNotHoldUpOthers)
{
    dialx::SetIdentTimeoutMs(500);
    int silent = Call();
    ASSERT_GE(silent, 0);
    int caller = Call();
    ASSERT_GE(caller, 0);
    WriteAll(caller, "3\n");
    auto handed = WaitHanded(1);
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].station, 3u);
    // The silent one is still waiting for its deadline while the other was handed over.
    EXPECT_EQ(dialx::GetCounters().rejectedCalls, 0u);
    EXPECT_TRUE(SeesClose(silent));
    EXPECT_EQ(dialx::GetCounters().rejectedCalls, 1u);
    Close(silent);
    Close(caller);
}

TEST_F(AlarmCallTest, CallsAreRefusedWithoutCallbackOrFreeReference)
{
    // The pool full of outgoing calls.
    Station station(512);
    AddEntry(1, station.Port());
    for (int i = 0; i < 254; ++i) {
        uint16_t ref = 0;
        ASSERT_EQ(DIALX_Connect(1, 100, &ref), DIALX_OK);
    }
    for (uint64_t round = 1; round <= 2; ++round) {
        if (round == 2) { // room again, but nobody to answer
            ASSERT_EQ(DIALX_Disconnect(1), DIALX_OK);
            dialx::SetAlarmCallback(nullptr);
        }
        int caller = Call();
        WriteAll(caller, "8\n");
        EXPECT_TRUE(SeesClose(caller));
        Close(caller);
        EXPECT_EQ(dialx::GetCounters().rejectedCalls, round);
    }
    EXPECT_TRUE(WaitHanded(0).empty());
    EXPECT_EQ(dialx::GetCounters().openConnections, 253u);
}

TEST_F(AlarmCallTest, ResetStopsAnsweringAndClosesHandedCalls)
{
    int caller = Call();
    WriteAll(caller, "9\n");
    ASSERT_EQ(WaitHanded(1).size(), 1u);
    int waiting = Call(); // not yet identified
    dialx::Reset();
    EXPECT_TRUE(SeesClose(caller));
    EXPECT_TRUE(SeesClose(waiting));
    EXPECT_EQ(Call(), -1);
    EXPECT_EQ(dialx::ListenPort(), 0u);
    Close(caller);
    Close(waiting);
}

// Allow lists on a dual-stack listener, so that IPv4 callers arrive as ::ffff:a.b.c.d
// and are still matched against IPv4 prefixes. Sources are loopback addresses bound by
// the caller.
class AlarmAccessTest : public AlarmCallTest {
protected:
    bool Reconfigure(bool requireLists)
    {
        dialx::Directory directory;
        directory.alarm.enabled = true;
        directory.alarm.address = "::";
        directory.alarm.access.requireAllowList = requireLists;
        for (auto [station, text] : {std::pair<uint32_t, const char *>{17, "127.0.0.2"}, {18, "127.0.1.0/24"},
                                     {18, "::1"}}) {
            dialx::AddressPrefix prefix;
            EXPECT_EQ(dialx::AddressPrefix::Parse(text, prefix), "");
            directory.alarm.access.allowFrom[station].push_back(prefix);
        }
        directory.alarm.access.allowFrom[19] = {}; // nobody may call as 19
        if (!dialx::Configure(directory).empty())
            return false;
        port_ = dialx::ListenPort();
        return true;
    }
};

TEST_F(AlarmAccessTest, CallersOutsideTheirStationsListAreClosedBeforeTheHostHearsOfThem)
{
    if (!Reconfigure(false))
        GTEST_SKIP() << "no IPv6 listener here: " << dialx::LastError();
    struct { bool requireLists; const char *source, *to; const char *line; bool answered; const char *logged; } cases[] = {
        {false, "127.0.0.2", "127.0.0.1", "17\n", true, nullptr},
        {false, "127.0.0.1", "127.0.0.1", "17\n", false, "not on the station's allow list"},
        {false, "127.0.1.9", "127.0.0.1", "18\n", true, nullptr},
        {false, "127.0.2.1", "127.0.0.1", "18\n", false, "not on the station's allow list"},
        {false, "::1", "::1", "18\n", true, nullptr},
        {false, "::1", "::1", "17\n", false, "not on the station's allow list"},
        {false, "127.0.0.2", "127.0.0.1", "19\n", false, "not on the station's allow list"},
        {false, "127.0.0.3", "127.0.0.1", "20\n", true, "accepted: the station has no allow list"},
        {true, "127.0.0.3", "127.0.0.1", "20\n", false, "no allow list and lists are required"},
        {true, "127.0.0.2", "127.0.0.1", "17\n", true, nullptr},
    };
    std::vector<uint32_t> answered;
    uint64_t refused = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.source) + " " + c.line + (c.requireLists ? " lists required" : ""));
        if (c.requireLists) {
            ASSERT_TRUE(Reconfigure(true));
        }
        int caller = DialFrom(c.source, c.to, static_cast<uint16_t>(port_));
        ASSERT_GE(caller, 0);
        WriteAll(caller, c.line);
        const uint32_t station = static_cast<uint32_t>(std::stoul(c.line));
        if (c.answered) {
            answered.push_back(station);
            auto handed = WaitHanded(answered.size());
            ASSERT_EQ(handed.size(), answered.size());
            EXPECT_EQ(handed.back().station, station);
            EXPECT_EQ(DIALX_Disconnect(handed.back().ref), DIALX_OK);
        } else {
            // Closed without a byte, and counted and logged by then.
            EXPECT_EQ(ReadUpTo(caller, 1, 3000), "");
            EXPECT_TRUE(SeesClose(caller, 0));
            EXPECT_EQ(dialx::GetCounters().rejectedCalls, ++refused);
        }
        if (c.logged != nullptr) {
            const std::string source = c.source;
            EXPECT_EQ(Logged({"from " + source + " as station " + std::to_string(station), c.logged}), 1u);
        }
        Close(caller);
    }
    EXPECT_EQ(Logged({"alarm call from"}), 6u) << "a caller on its station's list is not logged";
    EXPECT_EQ(WaitHanded(answered.size()).size(), answered.size()) << "no refused call reached the host";
}

} // namespace
} // namespace dialx_test
