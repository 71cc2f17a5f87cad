// The gate address parser, the memory-type look-up and the two small conversions.
#include <cmath>
#include <cstring>
#include <string>

#include "AddressTestSupport.h"

namespace {

using address_test::AddressTest;
using address_test::Line;
using trs_test::Format;

constexpr uint32_t kUnset = 0xEEEEEEEEu; // what a field not written by the parser holds

struct Accepted {
    const char *gas;
    uint32_t station, memoryType, address, valueBits;
    uint32_t drvNumber = 1;
    bool modem = false;
};

const Accepted kAccepted[] = {
    // memory types: 32-bit and 16-bit ones, with and without extension, at the bounds
    {"001RA005", 1, 0x4152, 5, 32},
    {"001RD255", 1, 0x4452, 255, 16},
    {"002FR001.002", 2, 0x5246, 0x10002, 32},
    {"001FX999.255", 1, 0x5846, (999u << 16) | 255, 32},
    {"001AI005", 1, 0x4941, 5, 16},
    {"001DI005.012", 1, 0x4944, 5 * 65536 + 12, 16},
    {"001DO000", 1, 0x4f44, 0, 16},
    {"003EA007", 3, 0x4145, 7, 16},
    {"001ET007.000", 1, 0x5445, 7 << 16, 16},
    {"001VX007", 1, 0x5856, 7, 16},
    {"001SX007.001", 1, 0x5853, (7 << 16) | 1, 16},
    {"001TM002", 1, 0x4d54, 2, 16},
    {"001DT000", 1, 0x5444, 0, 16},
    {"001TB", 1, 0x4254, 0, 16},
    {"001HS", 1, 0x5348, 0, 16},
    {"255JR", 255, 0x524a, 0, 16},
    // case and blanks
    {"001ai005", 1, 0x4941, 5, 16},
    {"001DI 1 . 12", 1, 0x4944, 0x1000C, 16},
    // alarm-call gates: the station is not looked up
    {"$A01-005", 5, 0x4141, 0, 16},
    {"$a12-999", 999, 0x4141, 0, 16, 12},
    // modem command gates
    {"002M_CONNECT", 1002, 0x434d, 0, 16, 1, true},
    {"255M_DISCONNECT", 1255, 0x444d, 0, 16, 1, true},
    {"002m_read_all", 1002, 0x414d, 0, 16, 1, true},
    // named gates: only station and memory type are written
    {"003_start_date", 3, 300, kUnset, kUnset},
    {"003_START_TIME", 3, 200, kUnset, kUnset},
    {"005_FIRST_EVENT", 5, 400, kUnset, kUnset},
    {"255_LAST_EVENT", 255, 500, kUnset, kUnset},
};

TEST_F(AddressTest, ParseFillsTheRecord)
{
    for (const Accepted &c : kAccepted) {
        SCOPED_TRACE(c.gas);
        trs_test::SetModemMode(instance_, c.modem);
        ASSERT_EQ(Run(Parse, c.gas, 0, 1, 0, c.drvNumber), 0u) << trs_test::Dump();
        EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
        const GateAddress &a = block_.address;
        EXPECT_EQ(a.station, c.station);
        EXPECT_EQ(a.memoryType, c.memoryType);
        EXPECT_EQ(a.address, c.address);
        EXPECT_EQ(static_cast<uint32_t>(a.spare), c.valueBits == kUnset ? kUnset : 0xFFFFFFFFu);
        EXPECT_EQ(a.valueBits, c.valueBits);
    }
}

struct Rejected {
    const char *gas;
    int level;
    const char *message; // printf format of the one line, with the upper-cased string
    uint32_t drvNumber = 1;
    bool modem = false;
};

std::string Upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

const char kLength[] = "TRSLNK> Parse() illegal gate address string length, gate '%s'";
const char kShort[] = "TRSLNK> Parse() illegal length gate address string '%s'";
const char kReadAddress[] = "TRSLNK> Parse() error, reading gate address, gate '%s'";
const char kRange[] = "TRSLNK> Parse() error, gate address out of range, gate '%s'";
const char kMemoryType[] = "TRSLNK> Parse() illegal memory type, gate '%s'";

const Rejected kRejected[] = {
    {"001RA005.012", 64, "TRSLNK> Parse() error, no extension allowed for register or time/date gate, gate '%s'"},
    {"001RD005.012", 64, "TRSLNK> Parse() error, no extension allowed for register or time/date gate, gate '%s'"},
    {"001ra5", 64, kLength},
    {"001DI05", 64, kLength},
    {"001DI005.1", 64, kLength},
    {"001TM002.000", 64, kLength},
    {"0010RA5", 32, "TRSLNK> Parse() Illegal character 4 in '%s'"},
    {"001DI0051", 32, "TRSLNK> Parse() Illegal character 9 in '%s'"},
    {"001DI00A", 32, "TRSLNK> Parse() Illegal character 8 in '%s'"},
    {"001AI005.00-", 32, "TRSLNK> Parse() Illegal character 12 in '%s'"},
    {"001XY005", 32, "TRSLNK> Parse() Illegal character 4 in '%s'"},
    {"001AQ005", 32, "TRSLNK> Parse() Illegal character 5 in '%s'"},
    {"300RA001", 32, "TRSLNK> Parse() Illegal character 1 in '%s'"},
    {"0A1RA001", 32, "TRSLNK> Parse() Illegal character 2 in '%s'"},
    {"\xC3\xA9" "1RA005", 32, "TRSLNK> Parse() Illegal character 1 in '%s'"},
    {"$A01", 32, "TRSLNK> Parse() Illegal character 1 in '%s'"},
    {"001RT005", 64, kMemoryType},
    {"001A 005", 64, kMemoryType},
    {"001DI256", 64, kRange},
    {"001DI001.256", 64, kRange},
    {"001DI   ", 64, kReadAddress},
    {"001DI001.   ", 64, kReadAddress},
    {"001DI   .005", 64, "TRSLNK> Parse() error, reading extension number, gate '%s'"},
    {"001TM003", 64, "TRSLNK> Parse() error, tiem our date address 0->2, gate '%s'"},
    {"001TM   ", 64, kReadAddress},
    {"001TB001", 64, "TRSLNK> Parse() illegal gate address string length for memory type, gate '%s'"},
    {"000RA001", 64, "TRSLNK> Parse() error, plc address 0 out of range, gate '%s'"},
    {"256RA001", 64, "TRSLNK> Parse() error, plc address 256 out of range, gate '%s'"},
    {"004RA001", 64, "TRSLNK> Parse() error, plc 4 not defined in init file, gate '%s'"},
    {"001", 64, kShort},
    {"", 64, kShort},
    {"002M_CONNECT", 64, "TRSLNK> Parse() multi-modem support not enabled in init file, gate '%s'"},
    {"002M_CALL", 64, "TRSLNK> Parse() error, illegal modem command gate, '%s'", 1, true},
    {"004M_CONNECT", 64, "TRSLNK> Parse() error, plc 4 not defined in init file, gate '%s'", 1, true},
    {"$A01-05", 64, "TRSLNK> Parse() illegal length alarm call gate, '%s'"},
    {"$A01-0050", 64, "TRSLNK> Parse() illegal length alarm call gate, '%s'"},
    {"$A01-005", 64, "TRSLNK> Parse() drv number in alarm call gate different from real drv number, '%s'", 2},
    {"$AXY-005", 64, "TRSLNK> Parse() illegal drv number in alarm call gate, '%s'"},
    {"$A-1-005", 64, "TRSLNK> Parse() illegal drv number in alarm call gate, '%s'"},
    {"$A01-ABC", 64, "TRSLNK> Parse() illegal plc number in alarm call gate, '%s'"},
    {"$A01--12", 64, "TRSLNK> Parse() illegal plc number in alarm call gate, '%s'"},
    {"003_START", 32, "TRSLNK: ParseAddress() Invalid Tag (%s)"},
    {"003_", 32, "TRSLNK: ParseAddress() Invalid Tag (%s)"},
    {"0A3_START_DATE", 32, "TRSLNK: ParseAddress() Invalid PLC Address in tag (%s)"},
    {"004_START_DATE", 64, "TRSLNK> Parse() error, plc 4 not defined in init file, gate '%s'"},
    {"999_LAST_EVENT", 64, "TRSLNK> Parse() error, plc 999 not defined in init file, gate '%s'"},
};

TEST_F(AddressTest, ParseRejectsWithOneLine)
{
    for (const Rejected &c : kRejected) {
        SCOPED_TRACE(c.gas);
        trs_test::SetModemMode(instance_, c.modem);
        EXPECT_EQ(Run(Parse, c.gas, 0, 1, 0, c.drvNumber), 1u);
        EXPECT_EQ(address_test::Logged(), (std::vector<Line>{{c.level, Format(c.message, Upper(c.gas).c_str())}}));
    }
}

// Null, overlong and caller-owned strings: never read past, never written.
TEST_F(AddressTest, StringBoundsAndOwnership)
{
    EXPECT_EQ(Run(Parse, nullptr), 1u);
    EXPECT_EQ(address_test::Logged(), (std::vector<Line>{{64, "TRSLNK> Parse() illegal length gate address string ''"}}));

    std::string gas = "001ai005" + std::string(292, 'x');
    EXPECT_EQ(Run(Parse, gas.c_str()), 1u);
    EXPECT_EQ(address_test::Logged(), (std::vector<Line>{{64, "TRSLNK> Parse() illegal length gate address string '" +
                                                                  Upper(gas.substr(0, 255)) + "'"}}));
    gas.resize(255); // 255 characters still go through the ordinary checks
    EXPECT_EQ(Run(Parse, gas.c_str()), 1u);
    EXPECT_EQ(address_test::Logged(),
              (std::vector<Line>{{32, "TRSLNK> Parse() Illegal character 9 in '" + Upper(gas) + "'"}}));

    char own[] = "001ai005";
    EXPECT_EQ(Run(Parse, own), 0u);
    EXPECT_STREQ(own, "001ai005");
}

// GetMemTypeFromGAS goes by the fourth and fifth characters and knows 17 codes only.
TEST(GetMemTypeFromGASTest, KnownAndUnknownCodes)
{
    const std::string overlong = "001VE" + std::string(400, '9');
    const struct {
        const char *gas;
        uint16_t code;
        std::string logged; // the copy quoted in the line of an unknown code
    } cases[] = {
        {"001RA005", 0x4152, ""}, {"001FR005.001", 0x5246, ""}, {"001TB", 0x4254, ""},
        {"001WX005", 0x5857, ""}, {"xxxAIjunk", 0x4941, ""},    {"001VE005", 0, "001VE005"},
        {"001TM000", 0, "001TM000"}, {"001EC", 0, "001EC"},     {"001M_ONLINE", 0, "001M_ONLINE"},
        {"001ra005", 0, "001ra005"}, {"001R", 0, "001R"},       {"", 0, ""},
        {nullptr, 0, ""},         {overlong.c_str(), 0, overlong.substr(0, 255)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gas ? c.gas : "(null)");
        trs_test::ClearLog();
        EXPECT_EQ(GetMemTypeFromGAS(c.gas), c.code);
        const std::vector<Line> expected =
            c.code ? std::vector<Line>{}
                   : std::vector<Line>{{32, "TRSLNK: GetMemTypeFromGAS() Invalid tag '" + c.logged + "'"}};
        EXPECT_EQ(address_test::Logged(), expected);
    }
}

// ValueFromText: floats in bytes 0..3, 16-bit integers in bytes 2 and 3, others untouched.
TEST(ValueFromTextTest, ConvertsByMemoryType)
{
    enum Kind { kFloat, kWord, kUntouched };
    const struct {
        uint32_t memoryType;
        const char *text;
        Kind kind;
        float single;
        uint16_t word;
    } cases[] = {
        {0x4152, "12.5", kFloat, 12.5f, 0},  {0x5246, "-0.25", kFloat, -0.25f, 0},
        {0x5846, "1e40", kFloat, HUGE_VALF, 0}, {0x5242, "17", kWord, 0, 17},
        {0x4941, "70000", kWord, 0, 4464},   {0x4254, "-1", kWord, 0, 0xFFFF},
        {0x4145, "12abc", kWord, 0, 12},     {0x4452, "65535", kWord, 0, 65535},
        {0x5857, "99999999999", kWord, 0, 0xFFFF},
        {0x4556, "5", kUntouched, 0, 0},     {0x4d54, "5", kUntouched, 0, 0},
        {300, "5", kUntouched, 0, 0},        {0, "5", kUntouched, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Format("type 0x%x, '%s'", c.memoryType, c.text));
        unsigned char value[4] = {0xAA, 0xBB, 0xCC, 0xDD};
        ValueFromText(value, c.memoryType, c.text);
        unsigned char expected[4] = {0xAA, 0xBB, 0xCC, 0xDD};
        if (c.kind == kFloat)
            memcpy(expected, &c.single, sizeof c.single);
        else if (c.kind == kWord)
            memcpy(expected + 2, &c.word, sizeof c.word);
        EXPECT_EQ(memcmp(value, expected, sizeof value), 0);
    }
}

TEST(NormaliseResourceNameTest, PrefixAndThreeDigitNumber)
{
    const struct {
        const char *source, *upper, *target;
    } cases[] = {
        {"ra5", "RA5", "RA005"},     {"di12x", "DI12X", "DI012"}, {"X1234", "X1234", "X1234"},
        {"RA5B", "RA5B", "RA005"},   {"ABC", "ABC", "ABC000"},    {"", "", "000"},
        {"7", "7", "007"},           {"ai007", "AI007", "AI007"}, {"b99999999999", "B99999999999", "B4294967295"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source);
        char source[64];
        strcpy(source, c.source);
        char target[33];
        NormaliseResourceName(source, target, sizeof target);
        EXPECT_STREQ(source, c.upper);
        EXPECT_STREQ(target, c.target);
    }
    // The target is bounded by the size given.
    char source[] = "abcdefghijklmnopqrstuvwxyz42";
    char target[8];
    memset(target, 'x', sizeof target);
    NormaliseResourceName(source, target, 6);
    EXPECT_STREQ(target, "ABCDE");
    EXPECT_EQ(target[6], 'x');
}

} // namespace
