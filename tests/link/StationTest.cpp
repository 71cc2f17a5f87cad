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
using link_test::Peer;
using link_test::Pty;

namespace {

const std::string kIdent = "IDENT?\t";
const std::string kAccess = "PLC1\tACCES\t1234\t";

using Lines = std::vector<std::pair<int, std::string>>;

Lines ErrorLines()
{
    Lines lines;
    for (const auto &line : trs_test::Lines())
        if (line.level == 32)
            lines.emplace_back(line.level, line.text);
    return lines;
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

    Pty pty_;
    DriverInstance *instance_ = nullptr;
    std::unique_ptr<Peer> peer_;
};

/* A station that answers IDENT? with `ident` and the log-on with `access`. */
Peer::Responder Station(const std::string &ident, const std::string &access)
{
    return [=](const std::string &payload) -> std::optional<std::string> {
        if (payload == "IDENT?\t")
            return ident;
        if (payload.find("ACCES\t") != std::string::npos)
            return access;
        return std::string();
    };
}

TEST_F(StationTest, LogOnSendsWakeUpIdentityAndAccessCode)
{
    Answer(Station(Frame("IDENT=\t005\t"), Frame("STATUT\t000\t")));
    int32_t identity = -1;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 0u);
    EXPECT_EQ(identity, 5);
    EXPECT_EQ(peer_->Events(), (std::vector<std::string>{"WAKE", kIdent, kAccess}));
    EXPECT_EQ(peer_->Wire(), "\x03\x1bW06\x03" + Frame(kIdent) + Frame(kAccess));
    EXPECT_EQ(instance_->loggedOnStation.load(), 5);
    EXPECT_EQ(instance_->transparentMode.load(), 0u);
    EXPECT_TRUE(ErrorLines().empty()) << trs_test::Dump();
    // The bus mutex is free again for another thread.
    std::atomic<int> other{-1};
    std::thread([&] {
        other = PlatformWaitMutex(instance_->busMutex, 0);
        PlatformReleaseMutex(instance_->busMutex);
    }).join();
    EXPECT_EQ(other, MUTEX_ACQUIRED);
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
    EXPECT_EQ(peer_->Events(), (std::vector<std::string>{"WAKE", kIdent, "ACCES\t42\t", "WAKE", "STX", kIdent,
                                                         "SUB\tACCES\t7\t"}));
}

struct RefusalRow {
    const char *name;
    std::string ident, access;
    uint32_t result;
    std::vector<std::string> lines; /* per attempt, %d = attempt number */
    bool identOnly;                 /* the log-on telegram never goes out */
};

TEST_F(StationTest, EveryRefusalCostsFourAttempts)
{
    const RefusalRow rows[] = {
        {"status in the identity reply", Frame("STATUT\t000\t"), "", 1,
         {"TRSLNK> InitStation() error, Wit status message 'STATUS OK' in reply, retry %d"}, true},
        {"identity 256", Frame("IDENT=\t256\t"), "", 1, {"TRSLNK> InitStation() Invalid station ID (256). retry %d"}, true},
        {"no identity number", Frame("IDENT=\tXY\t"), "", 1, {"TRSLNK> InitStation() Invalid station ID (XY). retry %d"}, true},
        {"wrong command", Frame("HELLO=\t005\t"), "", 1, {"TRSLNK> InitStation() illegal answer, command missing, retry %d"}, true},
        {"one word only", Frame("IDENT=\t"), "", 1, {"TRSLNK> InitStation() illegal answer, command missing, retry %d"}, true},
        {"access reply without status", Frame("IDENT=\t005\t"), Frame("OK\t"), 1,
         {"TRSLNK> InitStation() illegal answer on access code, 'STATUT' missing, retry %d"}, false},
        {"access status unreadable", Frame("IDENT=\t005\t"), Frame("STATUT\t?\t"), 1,
         {"TRSLNK> InitStation() error reading status info in reply on access code, retry %d"}, false},
        {"silent station", "", "", 1,
         {"TRSLNK> InitStation() Station 5 error receiving reply on 'IDENT?' retry %d"}, true},
        {"silent after identity", Frame("IDENT=\t005\t"), "", 1,
         {"TRSLNK> InitStation() Station 5 error receiving reply on Access Code. retry %d"}, false},
    };
    for (const RefusalRow &row : rows) {
        SCOPED_TRACE(row.name);
        trs_test::ClearLog();
        instance_->loggedOnStation = 0;
        Answer(Station(row.ident, row.access));
        int32_t identity = 0;
        EXPECT_EQ(InitStation(instance_, 5, &identity), row.result);
        Lines expected;
        std::vector<std::string> events;
        for (int attempt = 0; attempt < 4; attempt++) {
            for (const std::string &line : row.lines)
                expected.emplace_back(32, trs_test::Format(line.c_str(), attempt));
            events.insert(events.end(), {"WAKE", kIdent});
            if (!row.identOnly)
                events.push_back(kAccess);
        }
        EXPECT_EQ(ErrorLines(), expected) << trs_test::Dump();
        EXPECT_EQ(peer_->Events(), events);
        EXPECT_EQ(instance_->loggedOnStation.load(), 0);
        peer_.reset();
    }
}

TEST_F(StationTest, WrongAccessCodeCountsTheAttemptsLeft)
{
    Answer(Station(Frame("IDENT=\t005\t"), Frame("PLC1\tSTATUT\t132\t")));
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 1u);
    Lines expected;
    for (int left = 4; left >= 1; left--)
        expected.emplace_back(32, trs_test::Format("TRSLNK> InitStation() error, Wit status message "
                                                   "'access not allowed (invalid access code?)' in reply on access code, "
                                                   "retry %d",
                                                   left));
    EXPECT_EQ(ErrorLines(), expected) << trs_test::Dump();
}

TEST_F(StationTest, SecondAttemptSucceedsAfterAFirstRefusal)
{
    std::atomic<int> idents{0};
    Answer([&](const std::string &payload) -> std::optional<std::string> {
        if (payload == kIdent)
            return ++idents == 1 ? Frame("IDENT=\t000\t") : Frame("IDENT=\t005\t");
        return Frame("STATUT\t000\t");
    });
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 0u);
    EXPECT_EQ(identity, 5);
    EXPECT_EQ(ErrorLines(), (Lines{{32, "TRSLNK> InitStation() Invalid station ID (000). retry 0"}}));
    EXPECT_EQ(peer_->Events(), (std::vector<std::string>{"WAKE", kIdent, "WAKE", kIdent, kAccess}));
}

TEST_F(StationTest, UndefinedStationIsALinkFailureWithoutTraffic)
{
    Answer(Station(Frame("IDENT=\t005\t"), Frame("STATUT\t000\t")));
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 9, &identity), 2u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: InitStation() Station 9 not defined"), 1u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Lines().size(), 1u);
    EXPECT_TRUE(peer_->Wire().empty());
}

/* The request cycle of a read, with hooks that record what they saw. */
struct CycleRig {
    RequestCycle cycle = {};
    char payload[64] = "PLC1\tVAR?\tAI12\t1\t";
    char reply[256] = {};
    std::vector<std::string> calls;
    CycleVerdict verdict = CYCLE_REPLY_GOOD;
    uint32_t checkResult = 0;

    explicit CycleRig(DriverInstance *instance)
    {
        cycle.instance = instance;
        cycle.station = 5;
        cycle.payload = payload;
        cycle.payloadLength = static_cast<uint32_t>(strlen(payload));
        cycle.reply = reply;
        cycle.maxLength = sizeof reply;
        cycle.context = this;
        cycle.onAttempt = [](RequestCycle *c, int attempt) { Rig(c)->calls.push_back("attempt " + std::to_string(attempt)); };
        cycle.onLogOnFailed = [](RequestCycle *c) { Rig(c)->calls.push_back("log-on failed"); };
        cycle.onSendFailed = [](RequestCycle *c, int attempt) { Rig(c)->calls.push_back("send " + std::to_string(attempt)); };
        cycle.onReceiveFailed = [](RequestCycle *c, int attempt) {
            Rig(c)->calls.push_back("receive " + std::to_string(attempt));
        };
        cycle.checkReply = [](RequestCycle *c, int attempt, uint32_t length, uint32_t *result) {
            CycleRig *rig = Rig(c);
            rig->calls.push_back("check " + std::to_string(attempt) + " " + std::string(c->reply, length));
            *result = rig->checkResult;
            return rig->verdict;
        };
    }
    static CycleRig *Rig(RequestCycle *c) { return static_cast<CycleRig *>(c->context); }
};

TEST_F(StationTest, CycleLogsOnAgainBeforeTheThirdAttempt)
{
    const std::string request = "PLC1\tVAR?\tAI12\t1\t";
    std::atomic<int> requests{0};
    Answer([&](const std::string &payload) -> std::optional<std::string> {
        if (payload == kIdent)
            return Frame("IDENT=\t005\t");
        if (payload == kAccess)
            return Frame("STATUT\t000\t");
        switch (++requests) {
        case 1: return std::string();             /* silence */
        case 2: return std::string("VAR=\t1\tA\r"); /* wrong checksum */
        default: return Frame("VAR=\t12\t");
        }
    });
    CycleRig rig(instance_);
    EXPECT_EQ(RunRequestCycle(&rig.cycle), 0u);
    EXPECT_EQ(rig.calls, (std::vector<std::string>{"attempt 0", "receive 0", "attempt 1", "receive 1", "attempt 2",
                                                   "check 2 VAR=\t12\t"}));
    EXPECT_EQ(peer_->Events(), (std::vector<std::string>{request, request, "WAKE", kIdent, kAccess, request}));
    EXPECT_EQ(StationOf(instance_, 5)->loggedOn.load(), 1);
    EXPECT_STREQ(rig.payload, request.c_str()) << "the payload is intact for every attempt";
}

TEST_F(StationTest, CycleEndsAtAFailedLogOn)
{
    Answer([](const std::string &) -> std::optional<std::string> { return std::string(); });
    StationOf(instance_, 5)->loggedOn = 1;
    CycleRig rig(instance_);
    EXPECT_EQ(RunRequestCycle(&rig.cycle), 2u);
    EXPECT_EQ(rig.calls,
              (std::vector<std::string>{"attempt 0", "receive 0", "attempt 1", "receive 1", "attempt 2", "log-on failed"}));
    EXPECT_EQ(StationOf(instance_, 5)->loggedOn.load(), 0);
}

TEST_F(StationTest, CycleResultComesFromTheCheckOrTheLastAttempt)
{
    struct Row {
        CycleVerdict verdict;
        uint32_t checkResult;
        uint32_t result;
        size_t checks;
    } rows[] = {
        {CYCLE_REPLY_GOOD, 0, 0, 1},
        {CYCLE_REPLY_GOOD, 3, 3, 1}, /* the command's own result */
        {CYCLE_REPLY_BAD, 0, 1, 4},
    };
    Answer([](const std::string &payload) -> std::optional<std::string> {
        if (payload == kIdent)
            return Frame("IDENT=\t005\t");
        if (payload == kAccess)
            return Frame("STATUT\t000\t");
        return Frame("VAR=\t12\t");
    });
    for (const Row &row : rows) {
        CycleRig rig(instance_);
        rig.verdict = row.verdict;
        rig.checkResult = row.checkResult;
        EXPECT_EQ(RunRequestCycle(&rig.cycle), row.result);
        size_t checks = 0;
        for (const std::string &call : rig.calls)
            checks += call.rfind("check ", 0) == 0;
        EXPECT_EQ(checks, row.checks);
    }
}

} // namespace
