// The entry point: function-code checks, GetDrvInfo, ReOpenCom and the modem code texts.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "entry/Entry.h"
#include "entry/KivRun.h"
#include "support/Support.h"

using trs_test::Count;

namespace {

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override { trs_test::ClearLog(); }

    uint32_t Call(uint32_t function, uint32_t hostRequest, void *params = nullptr, void *instance = nullptr)
    {
        request_ = RequestBlock{instance, function, 1, hostRequest, params};
        return DrvMain(&request_);
    }

    RequestBlock request_{};
};

TEST_F(EntryTest, CodesOutsideTheTableAreRejectedAndLeaveTheRequestAlone)
{
    for (uint32_t code : {0u, 17u, 18u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        trs_test::ClearLog();
        EXPECT_EQ(Call(code, 42), 2u);
        EXPECT_EQ(request_.hostRequest, 42u);
        EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> Exited DrvMain() #1"), 1u) << trs_test::Dump();
        EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> Exited DrvMain() #2"), 0u);
    }
}

TEST_F(EntryTest, EmptySlotsAreRejectedAfterHostRequestIsSet)
{
    for (uint32_t code : {8u, 9u, 16u}) {
        SCOPED_TRACE(code);
        trs_test::ClearLog();
        EXPECT_EQ(Call(code, 0), 2u);
        EXPECT_EQ(request_.hostRequest, 1u);
        EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> Exited DrvMain() #2"), 1u) << trs_test::Dump();
        EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> Exited DrvMain() #1"), 0u);
    }
}

std::string ExpectedBanner()
{
    std::string top = "\xC9" + std::string(77, '\xCD') + "\xBB\n";
    std::string middle = "\xBA TRSLNK:  Wit  TRS II protocol for Force and Clip modules. (serial or modem) \xBA\n";
    std::string bottom = "\xC8" + std::string(77, '\xCD') + "\xBC";
    return "\x08" + top + middle + bottom;
}

TEST_F(EntryTest, GetDrvInfoFillsTheRecordWithoutAnInstance)
{
    DrvInfo info;
    memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(Call(FN_GET_DRV_INFO, 5, &info), 0u);
    EXPECT_EQ(request_.hostRequest, 5u) << "code 14 must not touch hostRequest";
    EXPECT_EQ(info.version, 70u);
    EXPECT_STREQ(info.shortName, "Wit");
    EXPECT_EQ(info.instanceSize, sizeof(DriverInstance));
    EXPECT_EQ(info.four, 4u);
    EXPECT_EQ(info.lineSettings.baudRate, 1200);
    EXPECT_EQ(info.lineSettings.dataBits, 7);
    EXPECT_EQ(info.lineSettings.stopBits, 0);
    EXPECT_EQ(info.lineSettings.parity, 2);
    EXPECT_EQ(info.one, 1u);
    ASSERT_NE(info.banner, nullptr);
    EXPECT_EQ(std::string(info.banner), ExpectedBanner());
    EXPECT_EQ(strlen(info.banner), 1u + 3 * 79 + 2);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> GetDrvInfo() exited"), 1u);
}

TEST_F(EntryTest, GetDrvInfoTwiceGivesTheSameRecordAndPointers)
{
    DrvInfo first, second;
    memset(&first, 0x11, sizeof first);
    memset(&second, 0x22, sizeof second);
    ASSERT_EQ(Call(FN_GET_DRV_INFO, 0, &first), 0u);
    ASSERT_EQ(Call(FN_GET_DRV_INFO, 0, &second), 0u);
    EXPECT_EQ(first.shortName, second.shortName);
    EXPECT_EQ(first.banner, second.banner);
    EXPECT_EQ(first.version, second.version);
    EXPECT_EQ(first.instanceSize, second.instanceSize);
    EXPECT_EQ(memcmp(&first.lineSettings, &second.lineSettings, sizeof first.lineSettings), 0);
}

TEST_F(EntryTest, ReOpenComRefusesWhateverTheInstance)
{
    EXPECT_EQ(Call(FN_REOPEN_COM, 0), 1u);
    EXPECT_EQ(request_.hostRequest, 1u);
    DriverInstance *instance = trs_test::NewInstance();
    EXPECT_EQ(Call(FN_REOPEN_COM, 0, nullptr, instance), 1u);
    trs_test::FreeInstance(instance);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> ReOpenCom() not supported"), 2u);
}

TEST(ModemErrorText, FixedTexts)
{
    const char *expected[16] = {"no error",           "TEMP_ERROR",      "RECOVERY_ERROR", "writing error",
                                "modem not responding", "not initialised", "conn. broken",   "ill. conn. reference",
                                "DIALX terminated",   "comm. error",     "illegal dialref", "no free modem",
                                "connection timeout", "no free connection", "rc 14",        "rc 15"};
    for (int code = 0; code < 16; code++)
        EXPECT_STREQ(ModemErrorText(code), expected[code]) << code;
}

TEST(ModemErrorText, HigherCodesShareOneBuffer)
{
    EXPECT_STREQ(ModemErrorText(16), "rc 16");
    EXPECT_STREQ(ModemErrorText(40), "rc 40");
    const char *first = ModemErrorText(100);
    const char *second = ModemErrorText(200);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "rc 200");
    // The buffer holds 15 bytes: the largest code still fits whole.
    EXPECT_STREQ(ModemErrorText(2147483647), "rc 2147483647");
}

TEST(ModemErrorText, NegativeCodesReadAsSignedNumbers)
{
    EXPECT_STREQ(ModemErrorText(-1), "rc -1");
    EXPECT_STREQ(ModemErrorText(-2147483647 - 1), "rc -2147483648");
}

} // namespace
