// Line behaviour: raw bytes outside telegrams, station selection, bad input, faults, TCP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "SimClient.h"

namespace {

using trs::sim::Fault;
using trs::sim::FaultKind;
using trs::sim::Frame;

const std::string kWakeUp("\x03\x1bW06\x03", 6);
const std::string kStx("\x02", 1);
const std::string kEtx("\x03", 1);
const std::string kIdent5 = Frame("IDENT=\t005\t");

using SimLine = sim_test::PtyTest;

// Bytes outside telegrams never become telegrams of their own, and the next telegram is answered.
TEST_F(SimLine, RawInputBeforeATelegram) {
    const struct {
        const char *what;
        std::string raw;
        uint64_t wakeUps, overflows;
    } cases[] = {
        {"wake-up", kWakeUp, 1, 0},
        {"two wake-ups, as before every log-on attempt", kWakeUp + kWakeUp, 2, 0},
        {"broken wake-up", std::string("\x03\x1bW0", 4), 0, 0},
        {"partial telegram dropped by a control byte", "PLC1\tVAR" + kWakeUp, 1, 0},
        {"overlong input", std::string(5000, 'A') + "\r", 0, 1},
        {"lone CR", "\r", 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim.ClearLog();
        const auto before = sim.GetCounters();
        ASSERT_TRUE(client.Send(c.raw));
        EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
        EXPECT_EQ(sim.Telegrams(), std::vector<std::string>{"IDENT?\t"});
        const auto after = sim.GetCounters();
        EXPECT_EQ(after.wakeUps - before.wakeUps, c.wakeUps);
        EXPECT_EQ(after.overflows - before.overflows, c.overflows);
        EXPECT_EQ(after.telegrams - before.telegrams, 1u);
    }
    sim.ClearLog();
    ASSERT_TRUE(client.Send(kWakeUp));
    EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
    EXPECT_EQ(sim.RawInput(), kWakeUp);
}

TEST_F(SimLine, TransparentChannelReachesTheSecondary) {
    const struct {
        std::string raw, request, reply;
    } steps[] = {
        {kWakeUp + kStx, "IDENT?\t", "IDENT=\t007\t"},
        {"", "ACCES\t77\t", "STATUT\t000\t"},
        {"", "ACCES\t1234\t", "STATUT\t132\t"},
        {"", "PLC1\tIDENT?\t", "IDENT=\t005\t"}, // a name still picks its station
        {kEtx, "IDENT?\t", "IDENT=\t005\t"},
        {kStx, "IDENT?\t", "IDENT=\t007\t"},
        {kWakeUp, "IDENT?\t", "IDENT=\t005\t"}, // the wake-up's ETX closes the channel
        {kWakeUp + kStx, "IDENT?\t", "IDENT=\t007\t"},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(trs::sim::Printable(s.raw + s.request));
        ASSERT_TRUE(s.raw.empty() || client.Send(s.raw));
        EXPECT_EQ(client.Ask(s.request), Frame(s.reply));
    }
    EXPECT_EQ(sim.RawInput(), kWakeUp + kStx + kEtx + kStx + kWakeUp + kWakeUp + kStx);
}

TEST_F(SimLine, BadChecksumAnswered130) {
    ASSERT_TRUE(client.Send("IDENT?\tE\r"));
    EXPECT_EQ(client.ReadFrame(), Frame("STATUT\t130\t"));
    // A named telegram gets the status from its station; the data are not touched.
    ASSERT_TRUE(client.Send("PLC1\tVAR!\tAI1\t5\t@\r"));
    EXPECT_EQ(client.ReadFrame(), Frame("STATUT\t130\t"));
    EXPECT_EQ(sim.Variable(5, "AI1"), std::nullopt);
    EXPECT_EQ(sim.GetCounters().checksumErrors, 2u);
    EXPECT_EQ(sim.Telegrams(), (std::vector<std::string>{"IDENT?\t", "PLC1\tVAR!\tAI1\t5\t"}));
}

// Closing and reopening works; Stop makes the port vanish, so the driver's read ends with EOF or EIO.
TEST_F(SimLine, ReopenThenStop) {
    EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
    client.Close();
    ASSERT_TRUE(client.OpenPty(devicePath));
    EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
    sim.Stop();
    EXPECT_TRUE(client.PeerGone());
}

TEST(SimLineStations, PortIsRawBeforeTheDriverSetsItUp) {
    // No CR translation, no echo, even when the opener leaves the settings alone.
    trs::sim::Simulator sim;
    sim_test::AddStandardStations(sim);
    sim_test::Client client;
    ASSERT_FALSE(sim_test::OpenPtyLine(sim, client, false).empty());
    EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
    EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
    EXPECT_EQ(sim.Telegrams(), (std::vector<std::string>{"IDENT?\t", "IDENT?\t"}));
}

TEST_F(SimLine, CountersAndWaiting) {
    EXPECT_FALSE(sim.WaitForTelegrams(1, std::chrono::milliseconds(1)));
    const std::string reply = client.Ask("IDENT?\t");
    EXPECT_TRUE(sim.WaitForTelegrams(1, std::chrono::milliseconds(1)));
    // The reply may reach the client a moment before the line thread counts it.
    auto c = sim.GetCounters();
    for (int i = 0; i < 200 && c.bytesOut < reply.size(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c = sim.GetCounters();
    }
    EXPECT_EQ(c.bytesIn, Frame("IDENT?\t").size());
    EXPECT_EQ(c.bytesOut, reply.size());
    sim.ClearLog();
    EXPECT_TRUE(sim.Telegrams().empty());
    EXPECT_EQ(sim.GetCounters().telegrams, 1u); // counters keep counting across ClearLog
}

TEST(SimLineStations, OpenChannelWithoutSecondaryStaysSilent) {
    trs::sim::Simulator sim;
    trs::sim::StationConfig only;
    only.identity = 3;
    sim.AddStation(only);
    sim_test::Client client;
    ASSERT_FALSE(sim_test::OpenPtyLine(sim, client).empty());
    ASSERT_TRUE(client.Send(kStx));
    ASSERT_TRUE(client.SendFrame("IDENT?\t"));
    ASSERT_TRUE(sim.WaitForTelegrams(1, std::chrono::seconds(3)));
    ASSERT_TRUE(client.Send(kEtx));
    // The first reply on the wire is the one to the telegram after ETX.
    EXPECT_EQ(client.Ask("IDENT?\t"), Frame("IDENT=\t003\t"));
    EXPECT_EQ(sim.GetCounters().unanswered, 1u);
}

// Faults on the reply to IDENT?; count 1 affects one reply only.
TEST_F(SimLine, FaultKinds) {
    std::string wrong = kIdent5;
    wrong[wrong.size() - 2] = 'i'; // 'h' + 1
    const struct {
        const char *what;
        Fault fault;
        std::string expected;
    } cases[] = {
        {"wrong checksum", {FaultKind::WrongChecksum, "IDENT?", 1, 0, 0, ""}, wrong},
        {"delay", {FaultKind::Delay, "IDENT?", 1, 20, 0, ""}, kIdent5},
        {"status", {FaultKind::Status, "", 1, 0, 2, ""}, Frame("STATUT\t002\t")},
        {"raw", {FaultKind::Raw, "", 1, 0, 0, "XYZ\r"}, "XYZ\r"},
        // the CR is missing, so this reply runs into the next one
        {"missing CR", {FaultKind::MissingCr, "", 1, 0, 0, ""}, "IDENT=\t005\th" + kIdent5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim.InjectFault(c.fault);
        if (c.fault.kind == FaultKind::MissingCr) {
            ASSERT_TRUE(client.SendFrame("IDENT?\t"));
        }
        EXPECT_EQ(client.Ask("IDENT?\t"), c.expected);
        EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
    }
}

TEST_F(SimLine, SplitReplyComesInTwoWrites) {
    std::mutex mu;
    std::vector<std::string> sent;
    sim.SetTrace([&](bool incoming, const std::string &bytes) {
        std::lock_guard lock(mu);
        if (!incoming) sent.push_back(bytes);
    });
    sim.InjectFault({FaultKind::Split, "IDENT?", 1, 20, 0, ""});
    EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5);
    // The second half can reach the client a moment before the line thread traces it.
    for (int i = 0; i < 400; i++) {
        {
            std::lock_guard lock(mu);
            if (sent.size() >= 2) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard lock(mu);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0] + sent[1], kIdent5);
    EXPECT_FALSE(sent[0].empty());
    EXPECT_FALSE(sent[1].empty());
}

TEST_F(SimLine, FaultMatchingAndLifetime) {
    sim.InjectFault({FaultKind::Status, "VAR?", -1, 0, 135, ""});
    EXPECT_EQ(client.Ask("IDENT?\t"), kIdent5); // other commands untouched
    EXPECT_EQ(client.Ask("PLC1\tVAR?\tAI1\t1\t"), Frame("STATUT\t135\t"));
    EXPECT_EQ(client.Ask("VAR?\tAI1\t1\t"), Frame("STATUT\t135\t")); // until cleared
    sim.ClearFaults();
    EXPECT_EQ(client.Ask("VAR?\tAI1\t1\t"), Frame("VAR=\tAI1\t0\t"));
    // A refused write does not happen.
    sim.InjectFault({FaultKind::Status, "VAR!", 1, 0, 141, ""});
    EXPECT_EQ(client.Ask("PLC1\tVAR!\tAI1\t5\t"), Frame("STATUT\t141\t"));
    EXPECT_EQ(sim.Variable(5, "AI1"), std::nullopt);
    // A lost reply does: the station executed the write, only its answer is missing, and the
    // first reply on the wire belongs to the next telegram.
    sim.InjectFault({FaultKind::NoReply, "VAR!", 1, 0, 0, ""});
    ASSERT_TRUE(client.SendFrame("PLC1\tVAR!\tAI1\t6\t"));
    EXPECT_EQ(client.Ask("ACCES\t1234\t"), Frame("STATUT\t000\t"));
    EXPECT_EQ(sim.Variable(5, "AI1"), "6");
}

TEST_F(SimLine, DataModelChangesWhileServing) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; !done; ++i) sim.SetVariable(5, "AI1", (i % 2) ? "1" : "2");
    });
    for (int i = 0; i < 50; ++i) {
        const std::string reply = client.Ask("PLC1\tVAR?\tAI1\t1\t");
        EXPECT_TRUE(reply == Frame("VAR=\tAI1\t1\t") || reply == Frame("VAR=\tAI1\t2\t") ||
                    reply == Frame("VAR=\tAI1\t0\t"))
            << trs::sim::Printable(reply);
    }
    done = true;
    writer.join();
}

// TCP: every connection is a line of its own.
TEST(SimTcp, SeveralConnectionsAtOnce) {
    trs::sim::Simulator sim;
    sim_test::AddStandardStations(sim);
    std::string error;
    auto port = sim.ListenTcp(0, &error);
    ASSERT_TRUE(port) << error;
    sim_test::Client a, b;
    ASSERT_TRUE(a.ConnectTcp(*port));
    ASSERT_TRUE(b.ConnectTcp(*port));
    ASSERT_TRUE(a.Send(kStx)); // transparent on line a only
    EXPECT_EQ(a.Ask("IDENT?\t"), Frame("IDENT=\t007\t"));
    EXPECT_EQ(b.Ask("IDENT?\t"), kIdent5);
    EXPECT_EQ(b.Ask("PLC1\tVAR!\tAI1\t3\t"), Frame("STATUT\t000\t"));
    EXPECT_EQ(a.Ask("PLC1\tVAR?\tAI1\t1\t"), Frame("VAR=\tAI1\t3\t")); // one data model
    sim.Stop();
    EXPECT_TRUE(a.PeerGone());
    EXPECT_TRUE(b.PeerGone());
    EXPECT_FALSE(sim_test::Client().ConnectTcp(*port));
}

TEST(SimTcp, CallInIdentifiesThenAnswers) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);

    trs::sim::Simulator sim;
    sim_test::AddStandardStations(sim);
    std::string error;
    ASSERT_TRUE(sim.CallIn("127.0.0.1", ntohs(addr.sin_port), 9, &error)) << error;
    sim_test::Client pool;
    ASSERT_TRUE(pool.Adopt(::accept(listener, nullptr, nullptr)));
    ::close(listener);
    EXPECT_EQ(pool.ReadBytes(2), "9\n");
    // The caller, not the first configured station, answers unnamed telegrams.
    EXPECT_EQ(pool.Ask("IDENT?\t"), Frame("IDENT=\t009\t"));
    EXPECT_EQ(pool.Ask("PLC1\tIDENT?\t"), kIdent5);

    EXPECT_FALSE(sim.CallIn("127.0.0.1", ntohs(addr.sin_port), 9, &error)); // nobody listens now
    EXPECT_FALSE(error.empty());
}

} // namespace
