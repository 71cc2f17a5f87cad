// The station log-on and the request cycle against a scripted station on a pseudo-terminal.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "PtyPeer.h"
#include "link/Port.h"
#include "link/Station.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "support/Support.h"

using link_test::Frame;
using link_test::LogLines;
using link_test::Peer;
using Events = std::vector<std::string>;
using Lines = std::vector<std::pair<int, std::string>>;

namespace {

const std::string kIdent = "IDENT?\t";
const std::string kAccess = "PLC1\tACCES\t1234\t";
const std::string kRequest = "PLC1\tVAR?\tAI12\t1\t";

/* Answers IDENT? with `ident`, the log-on with `access` and anything else with `other`. */
Peer::Responder Station(const std::string &ident, const std::string &access, const std::string &other = "")
{
    return [=](const std::string &payload) -> std::optional<std::string> {
        if (payload == kIdent)
            return ident;
        return payload.find("ACCES\t") != std::string::npos ? access : other;
    };
}

class StationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        instance_ = link_test::OpenInstance(pty_);
        trs_test::AddStation(instance_, 5, "PLC1", "1234");
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        peer_.reset();
        link_test::CloseInstance(instance_);
        PlatformSetTimeScale(1.0);
    }
    void Answer(Peer::Responder responder) { peer_ = std::make_unique<Peer>(pty_, std::move(responder)); }

    link_test::Pty pty_;
    DriverInstance *instance_ = nullptr;
    std::unique_ptr<Peer> peer_;
};

TEST_F(StationTest, LogOnSendsWakeUpIdentityAndAccessCode)
{
    Answer(Station(Frame("IDENT=\t005\t"), Frame("STATUT\t000\t")));
    int32_t identity = -1;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 0u);
    EXPECT_EQ(identity, 5);
    EXPECT_EQ(peer_->Wire(), "\x03\x1bW06\x03" + Frame(kIdent) + Frame(kAccess));
    EXPECT_EQ(instance_->loggedOnStation.load(), 5);
    EXPECT_EQ(instance_->transparentMode.load(), 0u);
    EXPECT_TRUE(LogLines(32).empty()) << trs_test::Dump();
    std::atomic<int> other{-1};
    std::thread([&] {
        other = PlatformWaitMutex(instance_->busMutex, 0);
        PlatformReleaseMutex(instance_->busMutex);
    }).join();
    EXPECT_EQ(other, MUTEX_ACQUIRED) << "the bus mutex is free again";
}

TEST_F(StationTest, UnnamedAndSecondaryStations)
{
    trs_test::AddStation(instance_, 7, "", "42");
    trs_test::AddStation(instance_, 9, "SUB", "7", true);
    Answer(Station(Frame("IDENT=\t9\t"), Frame("STATUT\t0\t")));
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 7, &identity), 0u);
    EXPECT_EQ(instance_->loggedOnStation.load(), 7);
    EXPECT_EQ(instance_->transparentMode.load(), 0u);
    EXPECT_EQ(InitStation(instance_, 9, &identity), 0u);
    EXPECT_EQ(instance_->loggedOnStation.load(), 9);
    EXPECT_EQ(instance_->transparentMode.load(), 1u);
    EXPECT_EQ(peer_->Events(), (Events{"WAKE", kIdent, "ACCES\t42\t", "WAKE", "STX", kIdent, "SUB\tACCES\t7\t"}));
}

TEST_F(StationTest, EveryRefusalCostsFourAttempts)
{
    const std::string ident5 = Frame("IDENT=\t005\t");
    const std::string missing = "TRSLNK> InitStation() illegal answer, command missing, retry %d";
    const struct Row {
        const char *name;
        std::string ident, access;
        std::string line; /* per attempt, %d = attempt number (or attempts left) */
        bool identOnly;   /* the log-on telegram never goes out */
        bool countDown;
    } rows[] = {
        {"status in the identity reply", Frame("STATUT\t000\t"), "",
         "TRSLNK> InitStation() error, Wit status message 'STATUS OK' in reply, retry %d", true, false},
        {"identity 256", Frame("IDENT=\t256\t"), "", "TRSLNK> InitStation() Invalid station ID (256). retry %d", true,
         false},
        {"no identity number", Frame("IDENT=\tXY\t"), "", "TRSLNK> InitStation() Invalid station ID (XY). retry %d",
         true, false},
        {"wrong command", Frame("HELLO=\t005\t"), "", missing, true, false},
        {"one word only", Frame("IDENT=\t"), "", missing, true, false},
        {"access reply without status", ident5, Frame("OK\t"),
         "TRSLNK> InitStation() illegal answer on access code, 'STATUT' missing, retry %d", false, false},
        {"access status unreadable", ident5, Frame("STATUT\t?\t"),
         "TRSLNK> InitStation() error reading status info in reply on access code, retry %d", false, false},
        {"wrong access code", ident5, Frame("PLC1\tSTATUT\t132\t"),
         "TRSLNK> InitStation() error, Wit status message 'access not allowed (invalid access code?)' in reply on "
         "access code, retry %d",
         false, true},
        {"silent station", "", "", "TRSLNK> InitStation() Station 5 error receiving reply on 'IDENT?' retry %d", true,
         false},
        {"silent after identity", ident5, "",
         "TRSLNK> InitStation() Station 5 error receiving reply on Access Code. retry %d", false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        trs_test::ClearLog();
        instance_->loggedOnStation = 0;
        Answer(Station(row.ident, row.access));
        int32_t identity = 0;
        EXPECT_EQ(InitStation(instance_, 5, &identity), 1u);
        Lines expected;
        Events events;
        for (int attempt = 0; attempt < 4; attempt++) {
            expected.emplace_back(32, trs_test::Format(row.line.c_str(), row.countDown ? 4 - attempt : attempt));
            events.insert(events.end(), {"WAKE", kIdent});
            if (!row.identOnly)
                events.push_back(kAccess);
        }
        EXPECT_EQ(LogLines(32), expected) << trs_test::Dump();
        EXPECT_EQ(peer_->Events(), events);
        EXPECT_EQ(instance_->loggedOnStation.load(), 0);
        peer_.reset();
    }
}

TEST_F(StationTest, SecondAttemptSucceedsAfterAFirstRefusal)
{
    std::atomic<int> idents{0};
    Answer([&](const std::string &payload) -> std::optional<std::string> {
        if (payload == kIdent)
            return Frame(++idents == 1 ? "IDENT=\t000\t" : "IDENT=\t005\t");
        return Frame("STATUT\t000\t");
    });
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 0u);
    EXPECT_EQ(identity, 5);
    EXPECT_EQ(LogLines(32), (Lines{{32, "TRSLNK> InitStation() Invalid station ID (000). retry 0"}}));
    EXPECT_EQ(peer_->Events(), (Events{"WAKE", kIdent, "WAKE", kIdent, kAccess}));
}

TEST_F(StationTest, UndefinedStationIsALinkFailureWithoutTraffic)
{
    Answer(Station(Frame("IDENT=\t005\t"), Frame("STATUT\t000\t")));
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 9, &identity), 2u);
    EXPECT_EQ(LogLines(), (Lines{{32, "TRSLNK: InitStation() Station 9 not defined"}}));
    EXPECT_TRUE(peer_->Wire().empty());
}

/* The request cycle of a read of AI12 from station 5. */
RequestCycle ReadCycle(DriverInstance *instance, char (&payload)[64], char (&reply)[256])
{
    CopyText(payload, sizeof payload, kRequest.c_str());
    RequestCycle cycle = {};
    cycle.instance = instance;
    cycle.station = 5;
    cycle.payload = payload;
    cycle.payloadLength = static_cast<uint32_t>(kRequest.size());
    cycle.reply = reply;
    cycle.maxLength = sizeof reply;
    return cycle;
}

TEST_F(StationTest, CycleLogsOnAgainBeforeTheThirdAttempt)
{
    std::atomic<int> requests{0};
    Answer([&](const std::string &payload) -> std::optional<std::string> {
        if (payload == kIdent)
            return Frame("IDENT=\t005\t");
        if (payload == kAccess)
            return Frame("STATUT\t000\t");
        switch (++requests) {
        case 1: return std::string();               /* silence */
        case 2: return std::string("VAR=\t1\tA\r"); /* wrong checksum */
        default: return Frame("VAR=\t12\t");
        }
    });
    char payload[64], reply[256];
    RequestCycle cycle = ReadCycle(instance_, payload, reply);
    EXPECT_EQ(RunRequestCycle(&cycle), 0u);
    EXPECT_STREQ(reply, "VAR=\t12\t");
    EXPECT_EQ(peer_->Events(), (Events{kRequest, kRequest, "WAKE", kIdent, kAccess, kRequest}));
    EXPECT_EQ(StationOf(instance_, 5)->loggedOn.load(), 1);
    EXPECT_EQ(payload, kRequest) << "the payload is intact for every attempt";
}

TEST_F(StationTest, CycleResultComesFromTheCheckOrTheLastAttempt)
{
    struct Check {
        CycleVerdict verdict;
        uint32_t result;
        int calls;
    };
    const struct {
        CycleVerdict verdict;
        uint32_t checkResult, result;
        int calls;
    } rows[] = {{CYCLE_REPLY_GOOD, 0, 0, 1}, {CYCLE_REPLY_GOOD, 3, 3, 1} /* the command's own */, {CYCLE_REPLY_BAD, 0, 1, 4}};
    Answer(Station(Frame("IDENT=\t005\t"), Frame("STATUT\t000\t"), Frame("VAR=\t12\t")));
    for (const auto &row : rows) {
        char payload[64], reply[256];
        RequestCycle cycle = ReadCycle(instance_, payload, reply);
        Check check = {row.verdict, row.checkResult, 0};
        cycle.context = &check;
        static const CycleHooks hooks = {nullptr, nullptr, nullptr, nullptr,
                                         [](RequestCycle *c, int, uint32_t, uint32_t *result) {
                                             Check *check = static_cast<Check *>(c->context);
                                             check->calls++;
                                             *result = check->result;
                                             return check->verdict;
                                         }};
        cycle.hooks = &hooks;
        EXPECT_EQ(RunRequestCycle(&cycle), row.result);
        EXPECT_EQ(check.calls, row.calls);
    }
}

} // namespace
