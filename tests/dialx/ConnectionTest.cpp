// Outgoing calls and the byte exchange of the DIALX_* calls against real TCP peers.
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Peers.h"
#include "entry/DialX.h"

namespace dialx_test {
namespace {

using ConnectionTest = PoolTest;

// Connects dial reference 1 to a fresh station and accepts the call on the station side.
struct Call {
    Station station;
    uint16_t ref = DIALX_NO_CONNECTION;
    int peer = -1;
    ~Call() { Close(peer); }
};

void Open(Call &call, uint32_t timeoutCs = 100)
{
    ASSERT_EQ(dialx::AddDialEntry({1, "127.0.0.1", call.station.Port(), 2000}), "");
    ASSERT_EQ(DIALX_Connect(1, timeoutCs, &call.ref), DIALX_OK);
    call.peer = call.station.Accept();
    ASSERT_GE(call.peer, 0);
}

TEST_F(ConnectionTest, EveryCallReportsNotInitialisedUntilConfigured)
{
    uint16_t ref = 99;
    uint8_t byte = 0;
    uint32_t received = 9;
    EXPECT_EQ(DIALX_Connect(1, 100, &ref), DIALX_NOT_INITIALISED);
    EXPECT_EQ(ref, 99u);
    EXPECT_EQ(DIALX_Disconnect(1), DIALX_NOT_INITIALISED);
    EXPECT_EQ(DIALX_Send(1, "x", 1), DIALX_NOT_INITIALISED);
    EXPECT_EQ(DIALX_Flush(1), DIALX_NOT_INITIALISED);
    EXPECT_EQ(DIALX_Receive(1, &byte, 1, &received), DIALX_NOT_INITIALISED);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(DIALX_Timeout(1, 100), DIALX_NOT_INITIALISED);
    EXPECT_FALSE(dialx::IsConfigured());
}

TEST_F(ConnectionTest, UnknownConnectionReferencesAreRefusedByEveryCall)
{
    Call call;
    Open(call);
    ASSERT_NE(call.ref, 2u); // the first reference handed out is 1
    for (uint16_t ref : {0, 2, 254, 255, 256, 65535}) {
        SCOPED_TRACE(ref);
        uint8_t byte = 0;
        uint32_t received = 5;
        EXPECT_EQ(DIALX_Send(ref, "x", 1), DIALX_ILL_CONN_REFERENCE);
        EXPECT_EQ(DIALX_Flush(ref), DIALX_ILL_CONN_REFERENCE);
        EXPECT_EQ(DIALX_Receive(ref, &byte, 1, &received), DIALX_ILL_CONN_REFERENCE);
        EXPECT_EQ(received, 0u);
        EXPECT_EQ(DIALX_Timeout(ref, 10), DIALX_ILL_CONN_REFERENCE);
        EXPECT_EQ(DIALX_Disconnect(ref), DIALX_ILL_CONN_REFERENCE);
    }
    EXPECT_EQ(call.ref, 1u);
}

TEST_F(ConnectionTest, ConnectFailuresGiveTheirCodes)
{
    ClosedPort closed;
    BlackHole hole;
    AddEntry(20, closed.Port());
    AddEntry(30, hole.Port(), 100);
    ASSERT_EQ(dialx::AddDialEntry({50, "255.255.255.255", 5001, 500}), "");

    struct { uint16_t dialRef; int32_t expected; } cases[] = {
        {11, DIALX_ILLEGAL_DIALREF}, {20, DIALX_MODEM_NOT_RESPONDING}, {30, DIALX_CONNECTION_TIMEOUT},
        {50, DIALX_COMM_ERROR},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dialRef);
        uint16_t ref = 77;
        EXPECT_EQ(DIALX_Connect(c.dialRef, 100, &ref), c.expected);
        EXPECT_EQ(ref, 77u);
    }
    dialx::Counters counters = dialx::GetCounters();
    EXPECT_EQ(counters.failedCalls, 3u); // an unknown dial reference is no call
    EXPECT_EQ(counters.outgoingCalls, 0u);
    EXPECT_EQ(counters.openConnections, 0u);
}

TEST_F(ConnectionTest, BytesGoBothWaysExactlyAndALargeSendArrivesWhole)
{
    Call call;
    Open(call);
    const std::string request = "PLC1\tVAR?\tAI12\t1\t\x2a\r";
    ASSERT_EQ(DIALX_Send(call.ref, request.data(), static_cast<uint32_t>(request.size())), DIALX_OK);
    EXPECT_EQ(ReadUpTo(call.peer, request.size() + 1, 200), request);
    const std::string reply = std::string("VAR\tAI12=\x00\xff", 11) + "\r";
    WriteAll(call.peer, reply);
    std::string got;
    ASSERT_EQ(ReceiveBytes(call.ref, reply.size(), got), DIALX_OK);
    EXPECT_EQ(got, reply);
    dialx::Counters counters = dialx::GetCounters();
    EXPECT_EQ(counters.bytesOut, request.size());
    EXPECT_EQ(counters.bytesIn, reply.size());
    EXPECT_EQ(counters.outgoingCalls, 1u);
    EXPECT_EQ(counters.openConnections, 1u);

    // 1 MiB while the peer reads slowly: nothing lost or reordered.
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7 + i / 251);
    std::string seen;
    std::thread reader([&] { seen = ReadUpTo(call.peer, block.size(), 3000); });
    EXPECT_EQ(DIALX_Send(call.ref, block.data(), static_cast<uint32_t>(block.size())), DIALX_OK);
    reader.join();
    EXPECT_TRUE(seen == block) << "received " << seen.size() << " of " << block.size() << " bytes";
}

TEST_F(ConnectionTest, ReceiveTimesOutWithNothingAndTheTimeoutCallLengthensTheWait)
{
    Call call;
    Open(call, 5); // 50 ms
    uint8_t byte = 0;
    uint32_t received = 3;
    EXPECT_EQ(DIALX_Receive(call.ref, &byte, 1, &received), DIALX_CONNECTION_TIMEOUT);
    EXPECT_EQ(received, 0u);
    WriteAll(call.peer, "Z");
    EXPECT_EQ(DIALX_Receive(call.ref, &byte, 1, &received), DIALX_OK) << "still usable";
    EXPECT_EQ(byte, 'Z');
    EXPECT_EQ(received, 1u);

    ASSERT_EQ(DIALX_Timeout(call.ref, 500), DIALX_OK); // the late byte below would miss 50 ms
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        WriteAll(call.peer, "L");
    });
    EXPECT_EQ(DIALX_Receive(call.ref, &byte, 1, &received), DIALX_OK);
    EXPECT_EQ(byte, 'L');
    late.join();
}

TEST_F(ConnectionTest, PeerThatVanishesBreaksTheConnection)
{
    for (bool reset : {false, true}) {
        for (bool midReply : {false, true}) {
            SCOPED_TRACE(std::string(reset ? "reset" : "orderly close") + (midReply ? ", mid-reply" : ", idle"));
            dialx::Reset();
            Call call;
            Open(call);
            std::string got;
            if (midReply) {
                WriteAll(call.peer, "VAR\t");
                if (reset) { // a reset drops what the socket holds; what the pool buffered is kept
                    ASSERT_EQ(ReceiveBytes(call.ref, 1, got), DIALX_OK);
                }
            }
            reset ? CloseWithReset(call.peer) : Close(call.peer);
            call.peer = -1;
            if (midReply) {
                EXPECT_EQ(ReceiveBytes(call.ref, 10, got), DIALX_CONN_BROKEN);
                EXPECT_EQ(got, "VAR\t");
            }
            // Every attempt says so, not only the one after the peer's answer to the first.
            EXPECT_EQ(DIALX_Send(call.ref, "PLC1\t", 5), DIALX_CONN_BROKEN);
            EXPECT_EQ(DIALX_Send(call.ref, "PLC1\t", 5), DIALX_CONN_BROKEN);
            // The reference stays valid until the host lets go of it.
            EXPECT_EQ(DIALX_Disconnect(call.ref), DIALX_OK);
            EXPECT_EQ(DIALX_Disconnect(call.ref), DIALX_ILL_CONN_REFERENCE);
        }
    }
}

TEST_F(ConnectionTest, FlushDiscardsStaleBytesWhereverTheyWait)
{
    // Stale bytes may wait in the socket or already in the pool's read buffer.
    for (bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "read buffer" : "socket");
        dialx::Reset();
        Call call;
        Open(call);
        WriteAll(call.peer, "stale reply\r");
        std::string got;
        if (buffered) {
            ASSERT_EQ(ReceiveBytes(call.ref, 1, got), DIALX_OK);
        } else {
            // Let the bytes reach the pool's socket before the flush.
            ASSERT_TRUE(ReadUpTo(call.peer, 1, 20).empty());
        }
        EXPECT_EQ(DIALX_Flush(call.ref), DIALX_OK);
        WriteAll(call.peer, "OK\r");
        got.clear();
        ASSERT_EQ(ReceiveBytes(call.ref, 3, got), DIALX_OK);
        EXPECT_EQ(got, "OK\r");
    }
}

TEST_F(ConnectionTest, DisconnectWakesAReceiveWaitingInAnotherThread)
{
    Call call;
    Open(call, 3000); // 30 s: only the disconnection can end this wait early
    std::atomic<int32_t> result{-1};
    std::thread waiter([&] {
        uint8_t byte = 0;
        uint32_t received = 0;
        result = DIALX_Receive(call.ref, &byte, 1, &received);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(DIALX_Disconnect(call.ref), DIALX_OK);
    waiter.join();
    EXPECT_EQ(result.load(), DIALX_ILL_CONN_REFERENCE);
    EXPECT_TRUE(SeesClose(call.peer));
    EXPECT_EQ(DIALX_Send(call.ref, "x", 1), DIALX_ILL_CONN_REFERENCE);
    EXPECT_EQ(dialx::GetCounters().openConnections, 0u);
}

TEST_F(ConnectionTest, ResetEndsAConnectUnderWayAndEveryConnection)
{
    Call call;
    Open(call);
    BlackHole hole;
    AddEntry(2, hole.Port(), 60000);
    std::atomic<int32_t> result{-1};
    std::thread caller([&] {
        uint16_t ref = 0;
        result = DIALX_Connect(2, 100, &ref);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dialx::Reset();
    caller.join();
    EXPECT_EQ(result.load(), DIALX_TERMINATED);
    EXPECT_TRUE(SeesClose(call.peer));
    EXPECT_EQ(DIALX_Send(call.ref, "x", 1), DIALX_NOT_INITIALISED);
    EXPECT_EQ(dialx::GetCounters().outgoingCalls, 0u);
}

TEST_F(ConnectionTest, PoolHolds254ConnectionsAndReusesAFreedReferenceOnlyWhenItMust)
{
    Station station(512);
    AddEntry(1, station.Port());
    uint16_t first = 0, ref = 0;
    ASSERT_EQ(DIALX_Connect(1, 100, &first), DIALX_OK);
    ASSERT_EQ(DIALX_Disconnect(first), DIALX_OK);
    std::set<uint16_t> refs;
    for (int i = 0; i < 254; ++i) {
        ASSERT_EQ(DIALX_Connect(1, 100, &ref), DIALX_OK) << "connection " << i;
        if (i == 0) {
            EXPECT_NE(ref, first) << "a freed reference is not reused at once";
            EXPECT_EQ(DIALX_Send(first, "x", 1), DIALX_ILL_CONN_REFERENCE);
        }
        refs.insert(ref);
    }
    EXPECT_EQ(refs.size(), 254u);
    EXPECT_EQ(*refs.begin(), 1u);
    EXPECT_EQ(*refs.rbegin(), 254u);
    EXPECT_EQ(DIALX_Connect(1, 100, &ref), DIALX_NO_FREE_CONNECTION);
    EXPECT_EQ(dialx::GetCounters().openConnections, 254u);
    ASSERT_EQ(DIALX_Disconnect(100), DIALX_OK);
    EXPECT_EQ(DIALX_Connect(1, 100, &ref), DIALX_OK);
    EXPECT_EQ(ref, 100u);
}

TEST_F(ConnectionTest, BadArgumentsAreRefusedWithoutHarm)
{
    Call call;
    Open(call);
    EXPECT_EQ(DIALX_Connect(1, 100, nullptr), DIALX_COMM_ERROR);
    uint32_t received = 4;
    EXPECT_EQ(DIALX_Receive(call.ref, nullptr, 1, &received), DIALX_COMM_ERROR);
    EXPECT_EQ(received, 0u);
    uint8_t byte = 0;
    EXPECT_EQ(DIALX_Receive(call.ref, &byte, 1, nullptr), DIALX_COMM_ERROR);
    EXPECT_EQ(DIALX_Receive(call.ref, &byte, 0, &received), DIALX_COMM_ERROR);
    EXPECT_EQ(DIALX_Send(call.ref, nullptr, 3), DIALX_WRITING_ERROR);
    EXPECT_EQ(DIALX_Send(call.ref, nullptr, 0), DIALX_OK);

    // Asked for more, the call still hands out exactly one byte.
    WriteAll(call.peer, "AB");
    uint8_t area[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(DIALX_Receive(call.ref, area, 4, &received), DIALX_OK);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(std::string(area, area + 4), "A---");
    EXPECT_EQ(DIALX_Receive(call.ref, area, 4, &received), DIALX_OK);
    EXPECT_EQ(std::string(area, area + 4), "B---");
    EXPECT_EQ(dialx::GetCounters().openConnections, 1u);
}

// Several exchanges at once on their own connections, with calls made and ended beside
// them: every station gets exactly its own request and every exchange its own answer.
TEST_F(ConnectionTest, ParallelExchangesKeepTheirOwnBytes)
{
    Station station(64);
    AddEntry(1, station.Port());
    constexpr int kThreads = 4;
    constexpr int kRounds = 15;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    std::mutex acceptMutex;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                uint16_t ref = 0;
                int peer = -1;
                {
                    std::lock_guard<std::mutex> lock(acceptMutex); // pairs each call with its accept
                    if (DIALX_Connect(1, 200, &ref) != DIALX_OK || (peer = station.Accept()) < 0) {
                        failures++;
                        continue;
                    }
                }
                std::string request = std::string("T").append(std::to_string(t)).append("R").append(std::to_string(round)).append("\r");
                if (DIALX_Send(ref, request.data(), static_cast<uint32_t>(request.size())) != DIALX_OK ||
                    ReadUpTo(peer, request.size(), 2000) != request)
                    failures++;
                std::string answer = std::string("A").append(request);
                WriteAll(peer, answer);
                std::string got;
                if (ReceiveBytes(ref, answer.size(), got) != DIALX_OK || got != answer)
                    failures++;
                if (DIALX_Disconnect(ref) != DIALX_OK)
                    failures++;
                Close(peer);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    dialx::Counters counters = dialx::GetCounters();
    EXPECT_EQ(counters.outgoingCalls, uint64_t{kThreads * kRounds});
    EXPECT_EQ(counters.openConnections, 0u);
}

} // namespace
} // namespace dialx_test
