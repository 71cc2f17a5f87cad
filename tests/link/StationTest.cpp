// The station log-on and the request cycle against the station simulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "link/Station.h"
#include "link/Telegram.h"
#include "support/SimLine.h"

namespace {

using trs::sim::Fault;
using trs::sim::FaultKind;
using trs::sim::Frame;
using Telegrams = std::vector<std::string>;
const std::string kWakeUp = "\x03\x1bW06\x03", kIdent = "IDENT?\t", kAccess = "PLC1\tACCES\t1234\t";
const std::string kRequest = "PLC1\tVAR?\tAI12\t1\t";

std::vector<trs_test::Line> Errors() // the lines of level 32 (the pseudo-terminal's missing RTS is noted at 64)
{
    auto lines = trs_test::Logged();
    std::erase_if(lines, [](const trs_test::Line &line) { return line.first != 32; });
    return lines;
}

// Station 5 "PLC1" (code 1234) on the simulator and in the driver, and the secondary 9.
class StationTest : public trs_test::SimLineTest {
protected:
    void SetUp() override
    {
        SimLineTest::SetUp();
        sim.AddStation(trs_test::SimStation(5, "PLC1", "1234", false, {{"AI12", "12"}}));
        sim.AddStation(trs_test::SimStation(9, "SUB", "7", true));
        Open();
        trs_test::AddStation(instance, 5, "PLC1", "1234");
    }
    uint32_t LogOn(uint32_t station)
    {
        sim.ClearLog();
        trs_test::ClearLog();
        int32_t identity = -1;
        uint32_t result = InitStation(instance, static_cast<uint8_t>(station), &identity);
        if (result == 0) {
            EXPECT_EQ(identity, int32_t(station));
        }
        return result;
    }
};

TEST_F(StationTest, LogOnSendsWakeUpIdentityAndAccessCode)
{
    EXPECT_EQ(LogOn(5), 0u);
    EXPECT_EQ(sim.Telegrams(), (Telegrams{kIdent, kAccess}));
    EXPECT_EQ(sim.RawInput(), kWakeUp);
    EXPECT_EQ(instance->loggedOnStation.load(), 5);
    EXPECT_EQ(instance->transparentMode.load(), 0u);
    EXPECT_TRUE(Errors().empty()) << trs_test::Dump();
    int other = -1;
    std::thread([&] { (other = PlatformWaitMutex(instance->busMutex, 0)) == 0 && PlatformReleaseMutex(instance->busMutex); }).join();
    EXPECT_EQ(other, MUTEX_ACQUIRED) << "the bus mutex is free again";
    // Unnamed stations log on without a name; a secondary station is reached through STX.
    trs_test::AddStation(instance, 5, "", "1234");
    EXPECT_EQ(LogOn(5), 0u);
    EXPECT_EQ(sim.Telegrams(), (Telegrams{kIdent, "ACCES\t1234\t"}));
    trs_test::AddStation(instance, 9, "SUB", "7", true);
    EXPECT_EQ(LogOn(9), 0u);
    EXPECT_EQ(sim.RawInput(), kWakeUp + "\x02");
    EXPECT_EQ(instance->transparentMode.load(), 1u);
    EXPECT_EQ(instance->loggedOnStation.load(), 9);
    EXPECT_EQ(LogOn(7), 2u) << "an undeclared station is a link failure without traffic";
    EXPECT_EQ(Errors(), (std::vector<trs_test::Line>{{32, "TRSLNK: InitStation() Station 7 not defined"}}));
    EXPECT_TRUE(sim.Telegrams().empty());
}

TEST_F(StationTest, EveryRefusalCostsFourAttempts)
{
    const std::string missing = "TRSLNK> InitStation() illegal answer, command missing, retry %d";
    // line: logged per attempt, %d = the attempt (or attempts left); identOnly: no log-on telegram goes out
    const struct { Fault fault; std::string line; bool identOnly; } rows[] = {
        {{FaultKind::Status, "IDENT?", -1, 0, 148, ""}, "TRSLNK> InitStation() error, Wit status message 'unknown status 148' in reply, retry %d", true},
        {{FaultKind::Raw, "IDENT?", -1, 0, 0, Frame("IDENT=\t256\t")}, "TRSLNK> InitStation() Invalid station ID (256). retry %d", true},
        {{FaultKind::Raw, "IDENT?", -1, 0, 0, Frame("HELLO=\t005\t")}, missing, true},
        {{FaultKind::NoReply, "IDENT?", -1, 0, 0, ""}, "TRSLNK> InitStation() Station 5 error receiving reply on 'IDENT?' retry %d", true},
        {{FaultKind::Raw, "ACCES", -1, 0, 0, Frame("OK\t")}, "TRSLNK> InitStation() illegal answer on access code, 'STATUT' missing, retry %d", false},
        {{FaultKind::Raw, "ACCES", -1, 0, 0, Frame("STATUT\t?\t")}, "TRSLNK> InitStation() error reading status info in reply on access code, retry %d", false},
        {{FaultKind::Status, "ACCES", -1, 0, 132, ""}, "TRSLNK> InitStation() error, Wit status message 'access not allowed (invalid access code?)' in reply on access code, retry %d", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        sim.ClearFaults();
        sim.InjectFault(row.fault);
        instance->loggedOnStation = 0;
        EXPECT_EQ(LogOn(5), 1u);
        std::vector<trs_test::Line> expected;
        Telegrams telegrams;
        const bool countDown = row.fault.status == 132; // the refused access code counts the attempts left
        for (int attempt = 0; attempt < 4; attempt++) {
            expected.emplace_back(32, trs_test::Format(row.line.c_str(), countDown ? 4 - attempt : attempt));
            telegrams.push_back(kIdent);
            if (!row.identOnly)
                telegrams.push_back(kAccess);
        }
        EXPECT_EQ(Errors(), expected);
        EXPECT_EQ(sim.Telegrams(), telegrams);
        EXPECT_EQ(sim.RawInput(), kWakeUp + kWakeUp + kWakeUp + kWakeUp);
        EXPECT_EQ(instance->loggedOnStation.load(), 0);
    }
    sim.ClearFaults();
    sim.InjectFault({FaultKind::Raw, "IDENT?", 1, 0, 0, Frame("IDENT=\t000\t")});
    EXPECT_EQ(LogOn(5), 0u) << "a second attempt after a first refusal";
    EXPECT_EQ(Errors(), (std::vector<trs_test::Line>{{32, "TRSLNK> InitStation() Invalid station ID (000). retry 0"}}));
    EXPECT_EQ(sim.Telegrams(), (Telegrams{kIdent, kIdent, kAccess}));
}

/* The request cycle of a read of AI12 from station 5; the check hook counts its calls. */
struct Cycle {
    explicit Cycle(DriverInstance *instance, CycleVerdict verdict = CYCLE_REPLY_GOOD, uint32_t checkResult = 0)
        : verdict(verdict), checkResult(checkResult)
    {
        CopyText(payload, sizeof payload, kRequest.c_str());
        cycle = RequestCycle{instance, 5, payload, static_cast<uint32_t>(kRequest.size()), reply, sizeof reply, this, nullptr};
        static const CycleHooks hooks = {nullptr, nullptr, nullptr, nullptr, [](RequestCycle *c, int, uint32_t, uint32_t *result) {
                                             Cycle *self = static_cast<Cycle *>(c->context);
                                             self->calls++;
                                             *result = self->checkResult;
                                             return self->verdict;
                                         }};
        cycle.hooks = &hooks;
    }
    char payload[64], reply[256];
    RequestCycle cycle;
    CycleVerdict verdict;
    uint32_t checkResult;
    int calls = 0;
};

TEST_F(StationTest, CycleLogsOnAgainBeforeTheThirdAttempt)
{
    sim.InjectFault({FaultKind::NoReply, "VAR?", 1, 0, 0, ""});
    sim.InjectFault({FaultKind::WrongChecksum, "VAR?", 1, 0, 0, ""});
    Cycle read(instance);
    EXPECT_EQ(RunRequestCycle(&read.cycle), 0u);
    EXPECT_STREQ(read.reply, "VAR=\tAI12\t12\t");
    EXPECT_EQ(sim.Telegrams(), (Telegrams{kRequest, kRequest, kIdent, kAccess, kRequest}));
    EXPECT_EQ(StationOf(instance, 5)->loggedOn.load(), 1);
    EXPECT_EQ(read.payload, kRequest) << "the payload is intact for every attempt";
    // The result comes from the check, or from the last attempt.
    Cycle good(instance, CYCLE_REPLY_GOOD, 3), bad(instance, CYCLE_REPLY_BAD, 0);
    EXPECT_EQ(std::make_pair(RunRequestCycle(&good.cycle), good.calls), std::make_pair(3u, 1)) << "the command's own result";
    EXPECT_EQ(std::make_pair(RunRequestCycle(&bad.cycle), bad.calls), std::make_pair(1u, 4));
    // The station goes away mid-exchange: a link failure, without a long wait.
    sim.Stop();
    PlatformSetTimeScale(1.0);
    char reply[100];
    SendTelegram(read.payload, static_cast<uint32_t>(kRequest.size()), instance, 5);
    EXPECT_EQ(ReceiveMsg(reply, nullptr, instance, 5, sizeof reply), 2u);
}

} // namespace
