// The driver's link layer against the station simulator over a pseudo-terminal.
#include <chrono>
#include <gtest/gtest.h>
#include <stdio.h>

#include "link/Port.h"
#include "link/Station.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

namespace {

using trs::sim::Simulator;
using trs::sim::StationConfig;

class SimLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        if (instance_) {
            if (instance_->comHandle.load() != 0)
                ClosePort(instance_->comHandle.exchange(0));
            trs_test::FreeInstance(instance_);
        }
        sim_.reset();
        PlatformSetTimeScale(1.0);
    }

    /* One station 5 "PLC1" with access code 1234 on the simulator, declared alike in the
     * driver (with `driverCode` as the access code it knows). */
    void Start(bool secondary = false, const char *driverCode = "1234")
    {
        sim_ = std::make_unique<Simulator>();
        StationConfig station;
        station.identity = 5;
        station.name = "PLC1";
        station.accessCode = "1234";
        station.secondary = secondary;
        sim_->AddStation(station);
        std::string error;
        auto path = sim_->OpenPty(&error);
        ASSERT_TRUE(path) << error;
        instance_ = trs_test::NewInstance(1);
        // Port names hold 11 characters: the name under /dev is shorter than the path.
        CopyText(instance_->portName, sizeof instance_->portName, path->substr(5).c_str());
        instance_->lineSettings = LineSettings{1200, 7, 0, 2};
        instance_->lineControl = 0x0303;
        instance_->comTimeout = 1000; /* 100 ms per byte at this scale */
        instance_->comHandle = OpenCom(instance_);
        ASSERT_NE(instance_->comHandle.load(), 0u) << trs_test::Dump();
        SetReadTimeout(instance_->comHandle, instance_->comTimeout);
        trs_test::AddStation(instance_, 5, "PLC1", driverCode, secondary);
        trs_test::ClearLog();
    }

    std::unique_ptr<Simulator> sim_;
    DriverInstance *instance_ = nullptr;
};

TEST_F(SimLinkTest, LogOnSucceeds)
{
    Start();
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 0u) << trs_test::Dump();
    EXPECT_EQ(identity, 5);
    EXPECT_EQ(sim_->Telegrams(), (std::vector<std::string>{"IDENT?\t", "PLC1\tACCES\t1234\t"}));
    EXPECT_EQ(sim_->RawInput(), "\x03\x1bW06\x03");
    EXPECT_EQ(instance_->loggedOnStation.load(), 5);
    EXPECT_EQ(sim_->GetCounters().checksumErrors, 0u);
}

TEST_F(SimLinkTest, WrongAccessCodeIsRefusedFourTimes)
{
    Start(false, "0000");
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 1u);
    for (int left = 4; left >= 1; left--)
        EXPECT_EQ(trs_test::Count(32, trs_test::Format("TRSLNK> InitStation() error, Wit status message 'access not allowed "
                                                       "(invalid access code?)' in reply on access code, retry %d",
                                                       left)),
                  1u)
            << trs_test::Dump();
    EXPECT_EQ(sim_->Telegrams().size(), 8u);
}

TEST_F(SimLinkTest, SilentStationFailsEveryAttempt)
{
    Start();
    trs::sim::Fault silence;
    silence.kind = trs::sim::FaultKind::NoReply;
    sim_->InjectFault(silence);
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 1u);
    for (int attempt = 0; attempt < 4; attempt++)
        EXPECT_EQ(trs_test::Count(32, trs_test::Format("TRSLNK> InitStation() Station 5 error receiving reply on "
                                                       "'IDENT?' retry %d",
                                                       attempt)),
                  1u)
            << trs_test::Dump();
}

TEST_F(SimLinkTest, SecondaryStationGetsStxBeforeIdentity)
{
    Start(true);
    int32_t identity = 0;
    EXPECT_EQ(InitStation(instance_, 5, &identity), 0u) << trs_test::Dump();
    EXPECT_EQ(sim_->RawInput(), "\x03\x1bW06\x03\x02");
    EXPECT_EQ(instance_->transparentMode.load(), 1u);
}

TEST_F(SimLinkTest, SimulatorGoneMidExchangeIsALinkFailure)
{
    Start();
    int32_t identity = 0;
    ASSERT_EQ(InitStation(instance_, 5, &identity), 0u);
    sim_->Stop();
    PlatformSetTimeScale(1.0); /* a wait for the gone line would now take seconds */
    char payload[32] = "IDENT?\t";
    uint32_t sent = SendTelegram(payload, 7, instance_, 5);
    char reply[100];
    uint32_t length = 0;
    uint32_t received = ReceiveMsg(reply, &length, instance_, 5, sizeof reply);
    EXPECT_TRUE(sent == 2 || received == 2) << sent << " " << received;
    EXPECT_EQ(received, 2u);
}

TEST_F(SimLinkTest, MeasureOneIdentityExchange)
{
    Start();
    PlatformSetTimeScale(1.0);
    const int rounds = 50;
    PortStatistics before = {}, after = {};
    PortGetStatistics(instance_->comHandle, &before);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        char payload[32] = "IDENT?\t";
        ASSERT_EQ(SendTelegram(payload, 7, instance_, 5), 0u);
        char reply[100];
        uint32_t length = 0;
        ASSERT_EQ(ReceiveMsg(reply, &length, instance_, 5, sizeof reply), 0u);
        ASSERT_STREQ(reply, "IDENT=\t005\t");
    }
    auto elapsed = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    PortGetStatistics(instance_->comHandle, &after);
    double readsPerReply = double(after.systemReads - before.systemReads) / rounds;
    printf("IDENT? exchange: %.0f us each, %.2f read() calls per reply (reply 13 bytes)\n", elapsed / rounds,
           readsPerReply);
    RecordProperty("exchange_us", static_cast<int>(elapsed / rounds));
    EXPECT_LT(readsPerReply, 13.0) << "the reply is not read a byte per system call";
}

} // namespace
