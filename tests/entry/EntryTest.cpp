// The entry point: function-code checks, GetDrvInfo, ReOpenCom and the modem code texts.
#include <gtest/gtest.h>

#include <string.h>

#include "entry/DialX.h"
#include "entry/Entry.h"
#include "support/Support.h"

namespace {

using trs_test::Count;

uint32_t Call(RequestBlock &request, uint32_t function, uint32_t hostRequest, void *params = nullptr,
              void *instance = nullptr)
{
    request = RequestBlock{instance, function, 1, hostRequest, params};
    return DrvMain(&request);
}

// Codes outside the table leave the request alone; empty slots set hostRequest first.
TEST(Entry, UnservedCodesAreRejected)
{
    const struct { uint32_t code, hostRequestAfter;
        const char *line; } cases[] = {{0, 42, "TRSLNK> Exited DrvMain() #1"}, {17, 42, "TRSLNK> Exited DrvMain() #1"},
                 {8, 1, "TRSLNK> Exited DrvMain() #2"}, {16, 1, "TRSLNK> Exited DrvMain() #2"}};
    for (const auto &c : cases) {
        trs_test::ClearLog();
        RequestBlock request;
        EXPECT_EQ(Call(request, c.code, 42), 2u) << c.code;
        EXPECT_EQ(request.hostRequest, c.hostRequestAfter) << c.code;
        EXPECT_EQ(trs_test::Logged(), (std::vector<trs_test::Line>{{LOG_ERROR, c.line}})) << c.code;
    }
}

TEST(Entry, GetDrvInfoFillsTheRecordWithoutAnInstance)
{
    trs_test::ClearLog();
    DrvInfo info, again;
    memset(&info, 0xEE, sizeof info);
    RequestBlock request;
    EXPECT_EQ(Call(request, FN_GET_DRV_INFO, 5, &info), 0u);
    EXPECT_EQ(request.hostRequest, 5u) << "code 14 must not touch hostRequest";
    EXPECT_EQ(std::make_tuple(info.version, info.instanceSize, info.four, info.one),
              std::make_tuple(70u, uint32_t{sizeof(DriverInstance)}, 4u, 1u));
    EXPECT_STREQ(info.shortName, "Wit");
    const LineSettings &line = info.lineSettings;
    EXPECT_EQ(std::make_tuple(line.baudRate, line.dataBits, line.stopBits, line.parity), std::make_tuple(1200, 7, 0, 2));
    const std::string box(77, '\xCD');
    EXPECT_EQ(std::string(info.banner),
              "\x08\xC9" + box + "\xBB\n\xBA TRSLNK:  Wit  TRS II protocol for Force and Clip modules. (serial or modem) "
              "\xBA\n\xC8" + box + "\xBC");
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> GetDrvInfo() exited"), 1u);
    ASSERT_EQ(Call(request, FN_GET_DRV_INFO, 0, &again), 0u);
    EXPECT_TRUE(again.banner == info.banner && again.shortName == info.shortName) << "the same pointers every time";
}

TEST(Entry, ReOpenComRefusesWhateverTheInstance)
{
    trs_test::ClearLog();
    RequestBlock request;
    EXPECT_EQ(Call(request, FN_REOPEN_COM, 0), 1u);
    EXPECT_EQ(request.hostRequest, 1u);
    DriverInstance *instance = trs_test::NewInstance();
    EXPECT_EQ(Call(request, FN_REOPEN_COM, 0, nullptr, instance), 1u);
    trs_test::FreeInstance(instance);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> ReOpenCom() not supported"), 2u);
}

// Fixed texts for 0..15; other codes, signed, in one 15-byte buffer per thread.
TEST(Entry, ModemErrorText)
{
    const char *expected[16] = {"no error", "TEMP_ERROR", "RECOVERY_ERROR", "writing error", "modem not responding",
                                "not initialised", "conn. broken", "ill. conn. reference", "DIALX terminated",
                                "comm. error", "illegal dialref", "no free modem", "connection timeout",
                                "no free connection", "rc 14", "rc 15"};
    for (int code = 0; code < 16; code++)
        EXPECT_STREQ(ModemErrorText(code), expected[code]) << code;
    EXPECT_STREQ(ModemErrorText(DIALX_ILLEGAL_DIALREF), "illegal dialref");
    const char *first = ModemErrorText(100);
    EXPECT_EQ(first, ModemErrorText(2147483647));
    EXPECT_STREQ(first, "rc 2147483647");
    EXPECT_STREQ(ModemErrorText(-2147483647 - 1), "rc -2147483648");
}

} // namespace
