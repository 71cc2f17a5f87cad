// How the pool meets a network that fails: name lookups at each connect, every address
// of a name, keepalive and user time-out on every line, and a peer that vanishes.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include "Peers.h"
#include "dialx/PoolState.h"
#include "entry/DialX.h"

namespace dialx_test {
namespace {

using NetworkTest = PoolTest;

TEST(TransferStatus, APeerOrRouteThatHasGoneIsABrokenConnection)
{
    for (int error : {ECONNRESET, EPIPE, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH, ENETDOWN, EHOSTDOWN}) {
        EXPECT_EQ(dialx::detail::TransferStatus(error, DIALX_WRITING_ERROR), DIALX_CONN_BROKEN) << error;
        EXPECT_EQ(dialx::detail::TransferStatus(error, DIALX_COMM_ERROR), DIALX_CONN_BROKEN) << error;
    }
    for (int error : {EINVAL, ENOBUFS, EFAULT})
        EXPECT_EQ(dialx::detail::TransferStatus(error, DIALX_WRITING_ERROR), DIALX_WRITING_ERROR) << error;
}

TEST_F(NetworkTest, NamesAreLookedUpAtEachConnectAndAFailureFailsOnlyThatCall)
{
    Station station(8);
    std::mutex mutex;
    std::vector<std::string> asked;
    int failuresLeft = 1;
    dialx::SetResolver([&](const std::string &host, uint16_t port, std::vector<dialx::SocketAddress> &out) {
        dialx::GetCounters(); // takes the pool's lock: a lookup made under it would never finish
        std::lock_guard<std::mutex> lock(mutex);
        asked.push_back(host + ":" + std::to_string(port));
        if (host == "plc-7.example" && failuresLeft-- > 0)
            return std::string("temporary failure in name resolution");
        out.push_back(Address("127.0.0.1", port));
        return std::string();
    });
    ASSERT_EQ(dialx::AddDialEntry({7, "plc-7.example", station.Port(), 2000}), "");
    ASSERT_EQ(dialx::AddDialEntry({8, "plc-8.example", station.Port(), 2000}), "");
    uint16_t ref = 0;
    for (uint16_t unknown : {0, 9, 255, 65535})
        EXPECT_EQ(DIALX_Connect(unknown, 100, &ref), DIALX_ILLEGAL_DIALREF);

    EXPECT_EQ(DIALX_Connect(7, 100, &ref), DIALX_COMM_ERROR);
    EXPECT_EQ(Logged({"dial reference 7", "'plc-7.example'", "temporary failure in name resolution"}), 1u);
    EXPECT_EQ(DIALX_Connect(8, 100, &ref), DIALX_OK) << "the other entry is not touched";
    EXPECT_EQ(DIALX_Connect(7, 100, &ref), DIALX_OK) << "looked up again";
    const std::string port = std::to_string(station.Port());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(asked, (std::vector<std::string>{"plc-7.example:" + port, "plc-8.example:" + port,
                                               "plc-7.example:" + port}))
        << "only the directory's hosts and ports, once per connect";
    EXPECT_EQ(dialx::GetCounters().failedCalls, 1u);
}

TEST_F(NetworkTest, EveryAddressOfANameIsTriedWithinTheConnectTimeOut)
{
    Station station(8);
    ClosedPort refused;
    BlackHole hole;
    const std::map<std::string, dialx::SocketAddress> peers = {
        {"station", Address("127.0.0.1", station.Port())},
        {"refused", Address("127.0.0.1", refused.Port())},
        {"hole", Address("127.0.0.1", hole.Port())},
    };
    // The host name lists the peers that the name resolves to, in order ("none": none).
    dialx::SetResolver([&](const std::string &host, uint16_t, std::vector<dialx::SocketAddress> &out) {
        for (size_t at = 0; host != "none" && at < host.size();) {
            size_t end = std::min(host.find(' ', at), host.size());
            out.push_back(peers.at(host.substr(at, end - at)));
            at = end + 1;
        }
        return std::string();
    });
    struct { std::string addresses; int32_t expected; } cases[] = {
        {"refused station", DIALX_OK},
        {"hole station", DIALX_OK}, // the first never answers: the second still has its share of time
        {"refused refused", DIALX_MODEM_NOT_RESPONDING},
        {"refused hole", DIALX_CONNECTION_TIMEOUT}, // the last one's failure
        {"", DIALX_COMM_ERROR},                     // a name without addresses
    };
    uint16_t dialRef = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.addresses);
        ASSERT_EQ(dialx::AddDialEntry({dialRef, c.addresses.empty() ? "none" : c.addresses, 1, 600}), "");
        uint16_t ref = 0;
        EXPECT_EQ(DIALX_Connect(dialRef++, 100, &ref), c.expected);
        if (c.expected == DIALX_OK) {
            int peer = station.Accept();
            EXPECT_GE(peer, 0);
            Close(peer);
        }
    }

    // A lookup that outlasts the connect time-out ends the call, not the pool.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    dialx::SetResolver([released](const std::string &, uint16_t, std::vector<dialx::SocketAddress> &) {
        released.wait();
        return std::string("too late");
    });
    ASSERT_EQ(dialx::AddDialEntry({dialRef, "slow.example", 1, 100}), "");
    uint16_t ref = 0;
    EXPECT_EQ(DIALX_Connect(dialRef, 100, &ref), DIALX_CONNECTION_TIMEOUT);
    release.set_value();
    EXPECT_EQ(Logged({"'slow.example'", "no answer within the connect time-out"}), 1u);
}

// The pool's own end of the connection whose other end is `peer`, found among this
// process's descriptors; -1 if there is none.
int PoolSide(int peer)
{
    sockaddr_storage end{};
    socklen_t length = sizeof end;
    getsockname(peer, reinterpret_cast<sockaddr *>(&end), &length);
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        sockaddr_storage other{};
        socklen_t otherLength = sizeof other;
        if (fd != peer && getpeername(fd, reinterpret_cast<sockaddr *>(&other), &otherLength) == 0 &&
            otherLength == length && std::memcmp(&other, &end, length) == 0)
            return fd;
    }
    return -1;
}

// Keepalive on, idle, interval, probes, user time-out (ms).
std::array<int, 5> Options(int fd)
{
    std::array<int, 5> values{-1, -1, -1, -1, -1};
    const std::pair<int, int> names[] = {{SOL_SOCKET, SO_KEEPALIVE}, {IPPROTO_TCP, TCP_KEEPIDLE},
                                         {IPPROTO_TCP, TCP_KEEPINTVL}, {IPPROTO_TCP, TCP_KEEPCNT},
                                         {IPPROTO_TCP, TCP_USER_TIMEOUT}};
    for (size_t i = 0; i < values.size(); ++i) {
        socklen_t size = sizeof values[i];
        getsockopt(fd, names[i].first, names[i].second, &values[i], &size);
    }
    return values;
}

TEST_F(NetworkTest, BothKindsOfLineGetKeepaliveAndTheUserTimeOut)
{
    for (bool own : {false, true}) {
        SCOPED_TRACE(own ? "settings of the directory" : "defaults");
        dialx::Reset();
        CaptureLog();
        std::promise<uint16_t> handed;
        dialx::SetAlarmCallback([&](uint32_t, uint16_t ref) { handed.set_value(ref); });
        Station station;
        dialx::Directory directory;
        directory.entries.push_back({1, "127.0.0.1", station.Port(), 2000});
        directory.alarm.enabled = true;
        if (own)
            directory.tcp = dialx::TcpSettings{7, 3, 4, 12345};
        ASSERT_EQ(dialx::Configure(directory), "");
        const std::array<int, 5> expected = own ? std::array<int, 5>{1, 7, 3, 4, 12345}
                                                : std::array<int, 5>{1, 10, 5, 3, 30000};
        uint16_t ref = 0;
        ASSERT_EQ(DIALX_Connect(1, 100, &ref), DIALX_OK);
        int peer = station.Accept();
        EXPECT_EQ(Options(PoolSide(peer)), expected) << "outgoing call";
        int caller = Dial(dialx::ListenPort());
        WriteAll(caller, "5\n");
        ASSERT_EQ(handed.get_future().wait_for(std::chrono::seconds(3)), std::future_status::ready);
        EXPECT_EQ(Options(PoolSide(caller)), expected) << "alarm call";
        Close(peer);
        Close(caller);
    }
}

// Two network namespaces joined by a veth pair: the pool's side (192.0.2.1) and a
// station's (192.0.2.2), so that the station can vanish by taking its link down. Made
// with iproute2; nothing of it is seen outside the two namespaces.
class Link {
public:
    Link()
        : tag_(std::to_string(getpid())), pool_("dxpool" + tag_), peer_("dxpeer" + tag_), poolDev_("dxa" + tag_),
          peerDev_("dxb" + tag_)
    {
    }
    ~Link() { Run("ip netns del " + pool_ + "; ip netns del " + peer_); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // "" when the link is up, else why not.
    std::string Up()
    {
        if (geteuid() != 0)
            return "network namespaces need root";
        if (!Run("ip -V"))
            return "iproute2 ('ip') is not installed";
        const std::string steps[] = {
            "ip netns add " + pool_, "ip netns add " + peer_,
            "ip link add " + poolDev_ + " netns " + pool_ + " type veth peer name " + peerDev_ + " netns " + peer_,
            "ip -n " + pool_ + " addr add 192.0.2.1/24 dev " + poolDev_,
            "ip -n " + peer_ + " addr add 192.0.2.2/24 dev " + peerDev_,
            "ip -n " + pool_ + " link set " + poolDev_ + " up", "ip -n " + peer_ + " link set " + peerDev_ + " up",
        };
        for (const std::string &step : steps)
            if (!Run(step))
                return "'" + step + "' failed";
        return "";
    }
    void CutPeer() { EXPECT_TRUE(Run("ip -n " + peer_ + " link set " + peerDev_ + " down")); }

    // Runs `what` on a thread inside the pool's or the peer's namespace: sockets made
    // there stay in it, whichever thread uses them later.
    template <typename What>
    auto InPool(What what) { return In(pool_, what); }
    template <typename What>
    auto InPeer(What what) { return In(peer_, what); }

private:
    static bool Run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
    template <typename What>
    static auto In(const std::string &name, What what)
    {
        decltype(what()) result{};
        std::thread([&] {
            int ns = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0)
                result = what();
            Close(ns);
        }).join();
        return result;
    }
    std::string tag_, pool_, peer_, poolDev_, peerDev_;
};

int ListenOn(const std::string &address)
{
    dialx::SocketAddress at = Address(address, 0);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&at.storage), at.length) == 0 && listen(fd, 4) == 0)
        return fd;
    Close(fd);
    return -1;
}

uint16_t PortOf(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

// The user time-out ends a line whose peer has gone without a word: an idle one through
// its keepalive probes, one with data in flight through the data's retransmissions.
TEST_F(NetworkTest, PeerBehindALinkThatWentDownIsReportedBroken)
{
    Link link;
    if (std::string why = link.Up(); !why.empty())
        GTEST_SKIP() << why;
    std::promise<uint16_t> handed;
    dialx::SetAlarmCallback([&](uint32_t, uint16_t ref) { handed.set_value(ref); });
    int station = link.InPeer([] { return ListenOn("192.0.2.2"); });
    ASSERT_GE(station, 0);
    dialx::Directory directory;
    directory.entries.push_back({1, "192.0.2.2", PortOf(station), 2000});
    directory.alarm = {true, "192.0.2.1", 0, 1000, {}};
    directory.tcp = dialx::TcpSettings{1, 1, 2, 2000};
    ASSERT_EQ(link.InPool([&] { return dialx::Configure(directory); }), "");

    uint16_t outgoing = 0;
    ASSERT_EQ(link.InPool([&] { return DIALX_Connect(1, 2000, &outgoing); }), DIALX_OK);
    int called = accept4(station, nullptr, nullptr, SOCK_CLOEXEC);
    int caller = link.InPeer([] { return DialFrom("192.0.2.2", "192.0.2.1", dialx::ListenPort()); });
    ASSERT_GE(caller, 0);
    WriteAll(caller, "5\n");
    auto alarm = handed.get_future();
    ASSERT_EQ(alarm.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    const uint16_t alarmCall = alarm.get();
    ASSERT_EQ(DIALX_Timeout(alarmCall, 2000), DIALX_OK);
    for (auto [ref, peer] : {std::pair{outgoing, called}, std::pair{alarmCall, caller}}) {
        ASSERT_EQ(DIALX_Send(ref, "?", 1), DIALX_OK);
        EXPECT_EQ(ReadUpTo(peer, 1), "?");
    }

    link.CutPeer();
    const auto cut = std::chrono::steady_clock::now();
    EXPECT_EQ(DIALX_Send(alarmCall, "IDENT?\r", 7), DIALX_OK) << "taken by the kernel, never acknowledged";
    // Both waits would end with 12 after 20 s if the lines were not found broken first.
    for (auto [ref, what] : {std::pair{outgoing, "idle_outgoing_call_ms"}, std::pair{alarmCall, "alarm_call_in_flight_ms"}}) {
        uint8_t byte = 0;
        uint32_t received = 0;
        EXPECT_EQ(DIALX_Receive(ref, &byte, 1, &received), DIALX_CONN_BROKEN) << what;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - cut);
        RecordProperty(what, static_cast<int>(ms.count())); // broken this long after the cut
    }
    Close(called);
    Close(caller);
    Close(station);
}

} // namespace
} // namespace dialx_test
