// The dial directory file and how the pool finds it.
#include <string>

#include "Peers.h"
#include "entry/DialX.h"

namespace dialx_test {
namespace {

using DirectoryTest = PoolTest;

TEST(DirectoryParse, ReadsEntriesAlarmSettingsAndDefaults)
{
    dialx::Directory directory;
    ASSERT_EQ(dialx::ParseDirectory(R"(
# two routers and the alarm line
[[dial]]
ref = 12
host = "127.0.0.1"
port = 5001
connect_timeout_ms = 2700

[[dial]]
ref = 65535
host = "10.1.2.3"
port = 65535

[tcp]
keepalive_idle_s = 7
user_timeout_ms = 9000

[alarm]
listen = 5100
address = "0.0.0.0"
ident_timeout_ms = 2500
require_allow_list = true

[alarm.allow]
17 = ["10.20.0.0/16", "2001:db8::7"]
042 = []
)",
                                      directory),
              "");
    ASSERT_EQ(directory.entries.size(), 2u);
    auto fields = [](const dialx::DialEntry &e) { return std::tie(e.ref, e.host, e.port, e.connectTimeoutMs); };
    EXPECT_EQ(fields(directory.entries[0]), std::make_tuple(12, "127.0.0.1", 5001, 2700u));
    EXPECT_EQ(fields(directory.entries[1]), std::make_tuple(65535, "10.1.2.3", 65535, 20000u)) << "time-out defaults";
    auto tcp = [](const dialx::TcpSettings &t) {
        return std::make_tuple(t.keepaliveIdleS, t.keepaliveIntervalS, t.keepaliveProbes, t.userTimeoutMs);
    };
    ASSERT_TRUE(directory.tcp.has_value());
    EXPECT_EQ(tcp(*directory.tcp), std::make_tuple(7u, 5u, 3u, 9000u)) << "the others default";
    EXPECT_TRUE(directory.alarm.enabled);
    EXPECT_EQ(directory.alarm.address, "0.0.0.0");
    EXPECT_EQ(directory.alarm.port, 5100u);
    EXPECT_EQ(directory.alarm.identTimeoutMs, 2500u);
    EXPECT_TRUE(directory.alarm.access.requireAllowList);
    const auto &lists = directory.alarm.access.allowFrom;
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_TRUE(lists.at(42).empty());
    ASSERT_EQ(lists.at(17).size(), 2u);
    EXPECT_EQ(lists.at(17)[0].family, AF_INET);
    EXPECT_EQ(lists.at(17)[0].length, 16u);
    EXPECT_EQ(lists.at(17)[1].family, AF_INET6);
    EXPECT_EQ(lists.at(17)[1].length, 128u);

    ASSERT_EQ(dialx::ParseDirectory("[alarm]\nlisten = 0\n", directory), "");
    EXPECT_TRUE(directory.entries.empty());
    EXPECT_TRUE(directory.alarm.enabled);
    EXPECT_EQ(directory.alarm.port, 0u);
    EXPECT_EQ(directory.alarm.address, "127.0.0.1");
    EXPECT_EQ(directory.alarm.identTimeoutMs, 5000u);
    EXPECT_FALSE(directory.alarm.access.requireAllowList);
    EXPECT_TRUE(directory.alarm.access.allowFrom.empty());
    EXPECT_FALSE(directory.tcp.has_value()) << "no [tcp] table: the pool keeps what it has";
    EXPECT_EQ(tcp(dialx::TcpSettings{}), std::make_tuple(10u, 5u, 3u, 30000u));
    ASSERT_EQ(dialx::ParseDirectory("", directory), "");
    EXPECT_TRUE(directory.entries.empty());
    EXPECT_FALSE(directory.alarm.enabled);

    ASSERT_EQ(dialx::ReadDirectoryFile(DIALX_EXAMPLE_FILE, directory), "") << "the shipped example";
    ASSERT_EQ(directory.entries.size(), 2u);
    EXPECT_EQ(directory.entries[0].ref, 12u);
    EXPECT_EQ(directory.entries[1].connectTimeoutMs, 20000u);
    EXPECT_EQ(directory.alarm.port, 5100u);
    EXPECT_TRUE(directory.tcp.has_value());
    EXPECT_EQ(directory.alarm.access.allowFrom.size(), 1u);
}

TEST(DirectoryParse, RefusesBadEntriesNamingWhatAndWhere)
{
    const std::string kAllow = "[alarm]\nlisten = 0\n[alarm.allow]\n";
    const std::string good = "[[dial]]\nref = 1\nhost = \"127.0.0.1\"\nport = 5001\n";
    struct { std::string text, problem; } cases[] = {
        {"[[dial]]\nhost = \"h\"\nport = 1\n", "dial entry 1: missing 'ref' (line 1)"},
        {"[[dial]]\nref = -1\nhost = \"h\"\nport = 1\n", "dial entry 1: 'ref' = -1 is not within 0..65535 (line 2)"},
        {"[[dial]]\nref = 65536\nhost = \"h\"\nport = 1\n",
         "dial entry 1: 'ref' = 65536 is not within 0..65535 (line 2)"},
        {"[[dial]]\nref = 1.5\nhost = \"h\"\nport = 1\n", "dial entry 1: 'ref' is not an integer (line 2)"},
        {"[[dial]]\nref = 1\nport = 1\n", "dial entry 1: missing 'host' (line 1)"},
        {"[[dial]]\nref = 1\nhost = \"\"\nport = 1\n", "dial entry 1: 'host' is not a non-empty string (line 3)"},
        {"[[dial]]\nref = 1\nhost = 7\nport = 1\n", "dial entry 1: 'host' is not a non-empty string (line 3)"},
        {"[[dial]]\nref = 1\nhost = \"h\"\nport = 0\n", "dial entry 1: 'port' = 0 is not within 1..65535 (line 4)"},
        {"[[dial]]\nref = 1\nhost = \"h\"\nport = \"5001\"\n", "dial entry 1: 'port' is not an integer (line 4)"},
        {good + "connect_timeout_ms = 0\n",
         "dial entry 1: 'connect_timeout_ms' = 0 is not within 1..600000 (line 5)"},
        {good + "prot = 5002\n", "dial entry 1: unknown key 'prot' (line 5)"},
        {good + good, "dial entry 2: duplicate ref 1 (line 5)"},
        {"dial = 5\n", "'dial' must be written as [[dial]] tables (line 1)"},
        {"dial = [5]\n", "dial entry 1: not a table (line 1)"},
        {"[alarm]\naddress = \"0.0.0.0\"\n", "alarm: missing 'listen' (line 1)"},
        {"[alarm]\nlisten = 70000\n", "alarm: 'listen' = 70000 is not within 0..65535 (line 2)"},
        {"[alarm]\nlisten = 1\nident_timeout_ms = -5\n",
         "alarm: 'ident_timeout_ms' = -5 is not within 1..600000 (line 3)"},
        {"alarm = 1\n", "alarm: not a table (line 1)"},
        {"[modem]\nx = 1\n", "directory: unknown key 'modem' (line 1)"},
        {"[tcp]\nkeepalive_idle_s = 0\n", "tcp: 'keepalive_idle_s' = 0 is not within 1..32767 (line 2)"},
        {"[tcp]\nkeepalive_probes = 128\n", "tcp: 'keepalive_probes' = 128 is not within 1..127 (line 2)"},
        {"[tcp]\nuser_timeout = 5\n", "tcp: unknown key 'user_timeout' (line 2)"},
        {"tcp = 1\n", "tcp: not a table (line 1)"},
        {"[alarm]\nlisten = 0\nrequire_allow_list = 1\n", "alarm: 'require_allow_list' is not true or false (line 3)"},
        {"[alarm]\nlisten = 0\nallow = 1\n", "alarm: 'allow' is not a table (line 3)"},
        {kAllow + "x7 = [\"10.0.0.1\"]\n", "alarm.allow.x7: not a station number (line 4)"},
        {kAllow + "4294967296 = []\n", "alarm.allow.4294967296: not a station number (line 4)"},
        {kAllow + "17 = \"10.0.0.1\"\n", "alarm.allow.17: not a list of addresses (line 4)"},
        {kAllow + "17 = [10]\n", "alarm.allow.17: not a list of addresses (line 4)"},
        {kAllow + "17 = [\"10.0.0.0/33\"]\n", "alarm.allow.17: '10.0.0.0/33': the prefix length must be 0 to 32 (line 4)"},
        {kAllow + "17 = [\"::/129\"]\n", "alarm.allow.17: '::/129': the prefix length must be 0 to 128 (line 4)"},
        {kAllow + "17 = [\"10.0.0.0/\"]\n", "alarm.allow.17: '10.0.0.0/': the prefix length must be 0 to 32 (line 4)"},
        {kAllow + "17 = [\"10.1.2.3/16\"]\n",
         "alarm.allow.17: '10.1.2.3/16' has address bits set past its prefix length (line 4)"},
        {kAllow + "17 = [\"2001:db8::1/64\"]\n",
         "alarm.allow.17: '2001:db8::1/64' has address bits set past its prefix length (line 4)"},
        {kAllow + "17 = [\"10.1\"]\n", "alarm.allow.17: '10.1' is not an IPv4 or IPv6 address or prefix (line 4)"},
        {kAllow + "17 = [\"fe80::1%eth0\"]\n",
         "alarm.allow.17: 'fe80::1%eth0' is not an IPv4 or IPv6 address or prefix (line 4)"},
        {kAllow + "17 = []\n017 = []\n", "alarm.allow.17: station 17 has a list already (line 4)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        dialx::Directory directory;
        directory.entries.push_back({9, "x", 9, 9});
        EXPECT_EQ(dialx::ParseDirectory(c.text, directory), c.problem);
        EXPECT_TRUE(directory.entries.empty());
        EXPECT_FALSE(directory.alarm.enabled);
    }
    dialx::Directory directory;
    std::string problem = dialx::ParseDirectory("[[dial]]\nref = 1\nhost = \"unterminated\n", directory);
    EXPECT_NE(problem.find("(line 3)"), std::string::npos) << "a syntax error names the line: " << problem;
    EXPECT_TRUE(directory.entries.empty());
}

TEST_F(DirectoryTest, FileNamedByTheEnvironmentIsLookedForAtEachCallUntilLoaded)
{
    Station station;
    TempFile file("[[dial]]\nref = 12\nhost = \"127.0.0.1\"\nport = " + std::to_string(station.Port()) +
                  "\nconnect_timeout_ms = 1000\n\n[alarm]\nlisten = 0\n");
    const std::string late = file.Path() + ".late";
    setenv(dialx::kConfigEnv, late.c_str(), 1);
    uint16_t ref = 0;
    EXPECT_EQ(DIALX_Connect(12, 100, &ref), DIALX_NOT_INITIALISED);
    EXPECT_EQ(DIALX_Flush(1), DIALX_NOT_INITIALISED);
    EXPECT_EQ(Logged({"dial directory not loaded: " + late + ": cannot open the file"}), 1u) << "logged once";
    ASSERT_EQ(std::rename(file.Path().c_str(), late.c_str()), 0);
    ASSERT_EQ(DIALX_Connect(12, 100, &ref), DIALX_OK) << "a file that appears later is taken";
    std::remove(late.c_str());
    EXPECT_TRUE(dialx::IsConfigured());
    int peer = station.Accept();
    EXPECT_GE(peer, 0);
    Close(peer);
    EXPECT_EQ(DIALX_Connect(13, 100, &ref), DIALX_ILLEGAL_DIALREF);
    EXPECT_NE(dialx::ListenPort(), 0u);
    int caller = Dial(dialx::ListenPort());
    EXPECT_GE(caller, 0);
    Close(caller);
}

TEST_F(DirectoryTest, BadOrMissingFileLeavesThePoolNotInitialised)
{
    TempFile bad("[alarm]\nlisten = 0\n[[dial]]\nref = 1\nhost = \"127.0.0.1\"\nport = 5001\n"
                 "[[dial]]\nref = 2\nport = 5002\n");
    const std::string missing = bad.Path() + ".missing";
    struct { std::string path, problem; } cases[] = {
        {bad.Path(), bad.Path() + ": dial entry 2: missing 'host' (line 7)"},
        {missing, missing + ": cannot open the file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        dialx::Reset();
        setenv(dialx::kConfigEnv, c.path.c_str(), 1);
        uint16_t ref = 0;
        EXPECT_EQ(DIALX_Connect(1, 100, &ref), DIALX_NOT_INITIALISED);
        EXPECT_EQ(DIALX_Disconnect(1), DIALX_NOT_INITIALISED);
        EXPECT_EQ(dialx::LastError(), c.problem);
        EXPECT_FALSE(dialx::IsConfigured());
        EXPECT_EQ(dialx::ListenPort(), 0u); // nothing of a bad file is used
    }
}

TEST_F(DirectoryTest, ExplicitConfigurationIsAllOrNothing)
{
    // A duplicate of an existing reference spoils the whole addition.
    AddEntry(1, 5001);
    dialx::Directory more;
    more.entries.push_back({2, "127.0.0.1", 5002, 1000});
    more.entries.push_back({1, "127.0.0.1", 5003, 1000});
    more.alarm.enabled = true;
    EXPECT_EQ(dialx::Configure(more), "duplicate dial reference 1");
    EXPECT_EQ(dialx::LastError(), "duplicate dial reference 1");
    uint16_t ref = 0;
    EXPECT_EQ(DIALX_Connect(2, 100, &ref), DIALX_ILLEGAL_DIALREF);
    EXPECT_EQ(dialx::ListenPort(), 0u);

    struct { dialx::DialEntry entry; const char *problem; } cases[] = {
        {{5, "127.0.0.1", 0, 1000}, "dial reference 5: port 0"},
        {{6, "127.0.0.1", 5001, 0}, "dial reference 6: connect time-out 0"},
        {{7, "", 5001, 1000}, "dial reference 7: empty host"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(dialx::AddDialEntry(c.entry), c.problem);
        EXPECT_EQ(DIALX_Connect(c.entry.ref, 100, &ref), DIALX_ILLEGAL_DIALREF);
    }
}

TEST_F(DirectoryTest, ListenReplacesTheEarlierPort)
{
    int first = dialx::Listen(0);
    ASSERT_GT(first, 0);
    int second = dialx::Listen(0);
    ASSERT_GT(second, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(dialx::ListenPort(), static_cast<uint16_t>(second));
    EXPECT_EQ(Dial(static_cast<uint16_t>(first)), -1);
    EXPECT_TRUE(dialx::IsConfigured());
    // A port that cannot be bound fails without taking the working one down.
    EXPECT_EQ(dialx::Listen(static_cast<uint16_t>(second)), -1);
    EXPECT_NE(dialx::LastError().find("cannot listen"), std::string::npos) << dialx::LastError();
    EXPECT_EQ(dialx::ListenPort(), static_cast<uint16_t>(second));
}

} // namespace
} // namespace dialx_test
