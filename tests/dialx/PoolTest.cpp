// The multi-modem pool's contract with the driver: status codes, exact bytes both ways,
// time-outs, broken connections, alarm calls with their allow lists, the dial directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "dialx/Pool.h"

namespace {

// A listening (or with backlog 0 and a filled queue: never answering) socket on a free loopback port.
struct Listener {
    explicit Listener(bool answering = true)
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        listen(fd, answering ? 16 : 0);
        for (int i = 0; !answering && i < 8; i++) { // fill the accept queue until a connect hangs
            pollfd connected{fillers[i] = Dial("127.0.0.1", port, true), POLLOUT, 0};
            if (poll(&connected, 1, 200) == 0)
                break;
        }
    }
    ~Listener()
    {
        for (int filler : fillers)
            if (filler >= 0)
                close(filler);
        close(fd);
    }
    int Accept()
    {
        pollfd ready{fd, POLLIN, 0};
        return poll(&ready, 1, 2000) > 0 ? accept(fd, nullptr, nullptr) : -1;
    }
    static int Dial(const char *source, uint16_t port, bool nonBlocking = false)
    {
        int s = socket(AF_INET, SOCK_STREAM | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
        sockaddr_in from{AF_INET, 0, {}, {}}, address{AF_INET, htons(port), {}, {}};
        inet_pton(AF_INET, source, &from.sin_addr);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
            (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 || nonBlocking))
            return s;
        close(s);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = 0;
    int fillers[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

std::string ReadUpTo(int fd, size_t count) // until `count` bytes, the peer closes or 2 s pass
{
    std::string got;
    char chunk[256];
    ssize_t n;
    for (pollfd p{fd, POLLIN, 0}; got.size() < count && poll(&p, 1, 2000) > 0 && (n = recv(fd, chunk, std::min(count - got.size(), sizeof chunk), 0)) > 0;)
        got.append(chunk, size_t(n));
    return got;
}
bool SeesClose(int fd) { return ReadUpTo(fd, 1).empty(); }
int32_t Receive(uint16_t ref, size_t count, std::string &got) // byte by byte, as the driver reads
{
    for (uint8_t byte; got.size() < count;) {
        uint32_t received = 7;
        if (int32_t rc = DIALX_Receive(ref, &byte, 4, &received); rc != DIALX_OK)
            return rc;
        EXPECT_EQ(received, 1u);
        got.push_back(static_cast<char>(byte));
    }
    return DIALX_OK;
}

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(dialx::kConfigEnv, "/nonexistent/dialx-test-none.toml", 1);
        dialx::Reset();
        dialx::SetLogSink([this](const std::string &line) {
            std::lock_guard lock(mutex);
            log.push_back(line);
        });
    }
    void TearDown() override { dialx::Reset(); }
    // Connects dial reference 1 to `station` and accepts the call there.
    uint16_t Open(Listener &station, int &peer, uint32_t timeoutCs = 100)
    {
        uint16_t ref = 0;
        EXPECT_EQ(dialx::AddDialEntry({1, "127.0.0.1", station.port, 2000}), "");
        EXPECT_EQ(DIALX_Connect(1, timeoutCs, &ref), DIALX_OK);
        peer = station.Accept();
        return ref;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> log; // the pool's lines
    std::vector<std::pair<uint32_t, uint16_t>> handed; // alarm calls: station and reference
};

TEST_F(PoolTest, StatusCodesOfTheCalls)
{
    uint16_t ref = 99;
    uint8_t byte = 0;
    uint32_t received = 9;
    EXPECT_EQ(DIALX_Connect(1, 100, &ref), DIALX_NOT_INITIALISED);
    EXPECT_EQ(DIALX_Receive(1, &byte, 1, &received), DIALX_NOT_INITIALISED);
    EXPECT_EQ(DIALX_Send(1, "x", 1) + DIALX_Flush(1) + DIALX_Timeout(1, 5) + DIALX_Disconnect(1), 4 * DIALX_NOT_INITIALISED);
    EXPECT_EQ(std::make_pair(ref, received), std::make_pair(uint16_t{99}, 0u));
    Listener closed, hole(false);
    close(std::exchange(closed.fd, socket(AF_INET, SOCK_STREAM, 0))); // nobody listens there now
    ASSERT_EQ(dialx::AddDialEntry({20, "127.0.0.1", closed.port, 2000}), "");
    ASSERT_EQ(dialx::AddDialEntry({30, "127.0.0.1", hole.port, 100}), "");
    ASSERT_EQ(dialx::AddDialEntry({50, "255.255.255.255", 5001, 500}), "");
    EXPECT_EQ(dialx::AddDialEntry({50, "127.0.0.1", 1, 1}), "duplicate dial reference 50");
    const std::pair<uint16_t, int32_t> connects[] = {{11, DIALX_ILLEGAL_DIALREF}, {20, DIALX_MODEM_NOT_RESPONDING},
                                                     {30, DIALX_CONNECTION_TIMEOUT}, {50, DIALX_COMM_ERROR}};
    for (const auto &[dialRef, expected] : connects) {
        EXPECT_EQ(DIALX_Connect(dialRef, 100, &ref), expected) << dialRef;
        EXPECT_EQ(ref, 99u);
    }
    EXPECT_EQ(dialx::GetCounters().failedCalls, 3u); // an unknown dial reference is no call
    for (uint16_t unknown : {0, 1, 255, 65535})
        EXPECT_EQ(DIALX_Send(unknown, "x", 1) + DIALX_Receive(unknown, &byte, 1, &received) + DIALX_Disconnect(unknown),
                  3 * DIALX_ILL_CONN_REFERENCE) << unknown;
}

TEST_F(PoolTest, BytesTimeOutsAndBrokenConnections)
{
    Listener station;
    int peer = -1;
    uint16_t ref = Open(station, peer, 3000); // 30 s: only the time-out call shortens the wait below
    EXPECT_EQ(ref, 1u) << "the first reference handed out";
    const std::string request = "PLC1\tVAR?\tAI12\t1\t\x2a\r", reply = std::string("VAR\tAI12=\x00\xff\r", 11);
    ASSERT_EQ(DIALX_Send(ref, request.data(), static_cast<uint32_t>(request.size())), DIALX_OK);
    EXPECT_EQ(ReadUpTo(peer, request.size()), request);
    write(peer, ("stale" + reply).data(), 5 + reply.size());
    std::string got;
    ASSERT_EQ(Receive(ref, 1, got), DIALX_OK); // the rest waits in the pool's buffer
    EXPECT_EQ(DIALX_Flush(ref), DIALX_OK);
    write(peer, reply.data(), reply.size());
    got.clear();
    ASSERT_EQ(Receive(ref, reply.size(), got), DIALX_OK);
    EXPECT_EQ(got, reply) << "the flush dropped the stale bytes";
    ASSERT_EQ(DIALX_Timeout(ref, 5), DIALX_OK);
    got.clear();
    EXPECT_EQ(Receive(ref, 1, got), DIALX_CONNECTION_TIMEOUT);
    close(peer); // the peer vanishes: every attempt says so until the host lets go
    EXPECT_EQ(Receive(ref, 1, got), DIALX_CONN_BROKEN);
    EXPECT_EQ(DIALX_Send(ref, "x", 1) + DIALX_Send(ref, "x", 1), 2 * DIALX_CONN_BROKEN);
    EXPECT_EQ(DIALX_Disconnect(ref), DIALX_OK);
    EXPECT_EQ(DIALX_Disconnect(ref), DIALX_ILL_CONN_REFERENCE);
}

// Alarm calls on a dual-stack listener, so that IPv4 callers arrive as ::ffff:a.b.c.d and are
// still matched against IPv4 prefixes; sources are loopback addresses bound by the caller.
TEST_F(PoolTest, AlarmCallsIdentifyThemselvesAndPassTheirAllowList)
{
    dialx::SetAlarmCallback([this](uint32_t station, uint16_t ref) {
        std::lock_guard lock(mutex);
        handed.emplace_back(station, ref);
        changed.notify_all();
    });
    auto configure = [](bool requireLists) {
        dialx::Directory directory;
        directory.alarm = {true, "::", 0, 200, {{}, requireLists}};
        for (auto [station, text] : {std::pair<uint32_t, const char *>{17, "127.0.0.2"}, {18, "127.0.1.0/24"},
                                     {21, "::ffff:127.0.0.4"} /* matched as the IPv4 address it carries */}) {
            dialx::AddressPrefix prefix;
            EXPECT_EQ(dialx::AddressPrefix::Parse(text, prefix), "");
            directory.alarm.access.allowFrom[station].push_back(prefix);
        }
        directory.alarm.access.allowFrom[19] = {}; // nobody may call as 19
        return dialx::Configure(directory);
    };
    if (!configure(false).empty())
        GTEST_SKIP() << "no IPv6 listener here: " << dialx::LastError();
    const struct { const char *source, *line; uint32_t station; /* 0: closed without a byte */
        const char *following = ""; const char *logged = nullptr; bool requireLists = false; } calls[] = {
        {"127.0.0.2", "17\n", 17}, {"127.0.1.9", "\r\n018\r\nHI", 18, "HI"}, {"127.0.0.1", "17\n", 0, "", "alarm call from 127.0.0.1 as station 17 refused: the address is not on the station's allow list"},
        {"127.0.0.2", "19\n", 0, "", "alarm call from 127.0.0.2 as station 19 refused: the address is not on the station's allow list"},
        {"127.0.0.3", "20\r", 20, "", "alarm call from 127.0.0.3 as station 20 accepted: the station has no allow list"},
        {"127.0.0.3", "20\n", 0, "", "alarm call from 127.0.0.3 as station 20 refused: the station has no allow list and lists are required", true}, {"127.0.0.2", "12a\n", 0},
        {"127.0.0.2", "", 0} /* silent */, {"127.0.0.4", "21\n", 21},
    };
    uint64_t refused = 0;
    for (const auto &c : calls) {
        SCOPED_TRACE(std::string(c.source) + " " + c.line);
        if (c.requireLists) {
            ASSERT_EQ(configure(true), "");
        }
        int caller = Listener::Dial(c.source, dialx::ListenPort());
        ASSERT_GE(caller, 0);
        write(caller, c.line, strlen(c.line));
        if (c.station) {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(3), [&] { return !handed.empty(); }));
            auto [station, ref] = handed.back();
            handed.clear();
            lock.unlock();
            EXPECT_EQ(station, c.station);
            std::string got;
            write(caller, "I", 1);
            ASSERT_EQ(Receive(ref, strlen(c.following) + 1, got), DIALX_OK);
            EXPECT_EQ(got, c.following + std::string("I")) << "what followed the line is kept";
            EXPECT_EQ(DIALX_Disconnect(ref), DIALX_OK);
        } else {
            EXPECT_TRUE(SeesClose(caller));
            EXPECT_EQ(dialx::GetCounters().rejectedCalls, ++refused);
        }
        if (c.logged) {
            std::lock_guard lock(mutex);
            EXPECT_EQ(log.back(), c.logged);
        }
        close(caller);
    }
}

} // namespace
