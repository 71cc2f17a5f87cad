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

void PrintTo(const Accepted &c, std::ostream *out)
{
    *out << c.gas;
}

class ParseAccepts : public AddressTest, public ::testing::WithParamInterface<Accepted> {};

TEST_P(ParseAccepts, FillsTheRecord)
{
    const Accepted &c = GetParam();
    instance_->modemMode = c.modem ? 1 : 0;
    ASSERT_EQ(Run(Parse, c.gas, 0, 1, 0, c.drvNumber), 0u) << trs_test::Dump();
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
    const GateAddress &a = block_.address;
    EXPECT_EQ(a.station, c.station);
    EXPECT_EQ(a.memoryType, c.memoryType);
    EXPECT_EQ(a.address, c.address);
    EXPECT_EQ(static_cast<uint32_t>(a.spare), c.valueBits == kUnset ? kUnset : 0xFFFFFFFFu);
    EXPECT_EQ(a.valueBits, c.valueBits);
}

const Accepted kAccepted[] = {
    // every addressable memory type, both address forms where they exist
    {"001RA005", 1, 0x4152, 5, 32},
    {"001RD255", 1, 0x4452, 255, 16},
    {"001FR005", 1, 0x5246, 5, 32},
    {"002FR001.002", 2, 0x5246, 0x10002, 32},
    {"001FX010", 1, 0x5846, 10, 32},
    {"001FX999.255", 1, 0x5846, (999u << 16) | 255, 32},
    {"001AI005", 1, 0x4941, 5, 16},
    {"001AO005", 1, 0x4f41, 5, 16},
    {"001DI005.012", 1, 0x4944, 5 * 65536 + 12, 16},
    {"001DO000", 1, 0x4f44, 0, 16},
    {"003EA007", 3, 0x4145, 7, 16},
    {"001ET007.000", 1, 0x5445, 7 << 16, 16},
    {"001ST007", 1, 0x5453, 7, 16},
    {"001BR007", 1, 0x5242, 7, 16},
    {"001WR007", 1, 0x5257, 7, 16},
    {"001BX007", 1, 0x5842, 7, 16},
    {"001WX007", 1, 0x5857, 7, 16},
    {"001VE007", 1, 0x4556, 7, 16},
    {"001VX007", 1, 0x5856, 7, 16},
    {"001SR007", 1, 0x5253, 7, 16},
    {"001SX007.001", 1, 0x5853, (7 << 16) | 1, 16},
    {"001TM002", 1, 0x4d54, 2, 16},
    {"001DT000", 1, 0x5444, 0, 16},
    {"001TB", 1, 0x4254, 0, 16},
    {"001TS", 1, 0x5354, 0, 16},
    {"001EC", 1, 0x4345, 0, 16},
    {"001HS", 1, 0x5348, 0, 16},
    {"255JR", 255, 0x524a, 0, 16},
    // case and blanks
    {"001ai005", 1, 0x4941, 5, 16},
    {"001AI  5", 1, 0x4941, 5, 16},
    {"001DI 1 . 12", 1, 0x4944, 0x1000C, 16},
    // alarm-call gates: the station is not looked up
    {"$A01-005", 5, 0x4141, 0, 16},
    {"$a12-999", 999, 0x4141, 0, 16, 12},
    // modem command gates
    {"002M_CONNECT", 1002, 0x434d, 0, 16, 1, true},
    {"002M_SAMPLE", 1002, 0x534d, 0, 16, 1, true},
    {"002M_TIMESTAMP", 1002, 0x544d, 0, 16, 1, true},
    {"255M_DISCONNECT", 1255, 0x444d, 0, 16, 1, true},
    {"002m_read_all", 1002, 0x414d, 0, 16, 1, true},
    {"002M_ONLINE", 1002, 0x4f4d, 0, 16, 1, true},
    // named gates: only station and memory type are written
    {"003_START_DATE", 3, 300, kUnset, kUnset},
    {"003_start_time", 3, 200, kUnset, kUnset},
    {"005_FIRST_EVENT", 5, 400, kUnset, kUnset},
    {"255_LAST_EVENT", 255, 500, kUnset, kUnset},
};

INSTANTIATE_TEST_SUITE_P(Forms, ParseAccepts, ::testing::ValuesIn(kAccepted));

struct Rejected {
    const char *gas;
    int level;
    const char *message; // printf format of the one line, with the upper-cased string
    uint32_t drvNumber = 1;
    bool modem = false;
};

void PrintTo(const Rejected &c, std::ostream *out)
{
    *out << c.gas;
}

class ParseRejects : public AddressTest, public ::testing::WithParamInterface<Rejected> {};

std::string Upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

TEST_P(ParseRejects, LogsOneLine)
{
    const Rejected &c = GetParam();
    instance_->modemMode = c.modem ? 1 : 0;
    EXPECT_EQ(Run(Parse, c.gas, 0, 1, 0, c.drvNumber), 1u);
    const std::vector<Line> expected = {{c.level, Format(c.message, Upper(c.gas).c_str())}};
    EXPECT_EQ(address_test::Logged(), expected);
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
    {"001AI005.0050", 64, kLength},
    {"001TM002.000", 64, kLength},
    {"001RA", 64, kLength},
    {"0010RA5", 32, "TRSLNK> Parse() Illegal character 4 in '%s'"},
    {"001DI0051", 32, "TRSLNK> Parse() Illegal character 9 in '%s'"},
    {"001AI005X", 32, "TRSLNK> Parse() Illegal character 9 in '%s'"},
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
    {"001AA005", 64, kMemoryType},
    {"001DI256", 64, kRange},
    {"001DI001.256", 64, kRange},
    {"001DI   ", 64, kReadAddress},
    {"001DI001.   ", 64, kReadAddress},
    {"001DI   .005", 64, "TRSLNK> Parse() error, reading extension number, gate '%s'"},
    {"001TM003", 64, "TRSLNK> Parse() error, tiem our date address 0->2, gate '%s'"},
    {"001TM   ", 64, kReadAddress},
    {"001TB001", 64, "TRSLNK> Parse() illegal gate address string length for memory type, gate '%s'"},
    {"001JR ", 64, "TRSLNK> Parse() illegal gate address string length for memory type, gate '%s'"},
    {"000RA001", 64, "TRSLNK> Parse() error, plc address 0 out of range, gate '%s'"},
    {"256RA001", 64, "TRSLNK> Parse() error, plc address 256 out of range, gate '%s'"},
    {"004RA001", 64, "TRSLNK> Parse() error, plc 4 not defined in init file, gate '%s'"},
    {"001", 64, kShort},
    {"", 64, kShort},
    {"002M_CONNECT", 64, "TRSLNK> Parse() multi-modem support not enabled in init file, gate '%s'"},
    {"002M_CALL", 64, "TRSLNK> Parse() error, illegal modem command gate, '%s'", 1, true},
    {"002M_CONNECTED", 64, "TRSLNK> Parse() error, illegal modem command gate, '%s'", 1, true},
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

INSTANTIATE_TEST_SUITE_P(Forms, ParseRejects, ::testing::ValuesIn(kRejected));

TEST_F(AddressTest, OverlongStringIsRejectedWithItsCutCopy)
{
    std::string gas = "001ai005" + std::string(292, 'x');
    EXPECT_EQ(Run(Parse, gas.c_str()), 1u);
    const std::string cut = Upper(gas.substr(0, 255));
    EXPECT_EQ(address_test::Logged(),
              (std::vector<Line>{{64, "TRSLNK> Parse() illegal length gate address string '" + cut + "'"}}));
    // 255 characters still go through the ordinary checks
    gas.resize(255);
    EXPECT_EQ(Run(Parse, gas.c_str()), 1u);
    EXPECT_EQ(address_test::Logged(), (std::vector<Line>{{32, "TRSLNK> Parse() Illegal character 9 in '" +
                                                                  Upper(gas) + "'"}}));
}

TEST_F(AddressTest, NullStringIsAnEmptyOne)
{
    EXPECT_EQ(Run(Parse, nullptr), 1u);
    EXPECT_EQ(address_test::Logged(), (std::vector<Line>{{64, "TRSLNK> Parse() illegal length gate address string ''"}}));
}

TEST_F(AddressTest, ParseLeavesTheCallersStringAlone)
{
    char gas[] = "001ai005";
    EXPECT_EQ(Run(Parse, gas), 0u);
    EXPECT_STREQ(gas, "001ai005");
}

// GetMemTypeFromGAS knows exactly 17 codes, by the fourth and fifth characters.
TEST(GetMemTypeFromGASTest, KnownAndUnknownCodes)
{
    const struct {
        const char *gas;
        uint16_t code;
    } cases[] = {
        {"001RA005", 0x4152}, {"001RD005", 0x4452}, {"001ET005", 0x5445}, {"001ST005", 0x5453},
        {"001EA005", 0x4145}, {"001TB", 0x4254},    {"001TS", 0x5354},    {"001DI005", 0x4944},
        {"001DO005", 0x4f44}, {"001AI005", 0x4941}, {"001AO005", 0x4f41}, {"001BX005", 0x5842},
        {"001WX005", 0x5857}, {"001BR005", 0x5242}, {"001WR005", 0x5257}, {"001FX005", 0x5846},
        {"001FR005.001", 0x5246}, {"xxxAIjunk", 0x4941},
        {"001VE005", 0}, {"001VX005", 0}, {"001SR005", 0}, {"001TM000", 0}, {"001EC", 0}, {"001M_ONLINE", 0},
        {"001ra005", 0}, {"001R", 0}, {"", 0},
    };
    for (const auto &c : cases) {
        trs_test::ClearLog();
        EXPECT_EQ(GetMemTypeFromGAS(c.gas), c.code) << c.gas;
        const size_t expectedLines = c.code == 0 ? 1 : 0;
        EXPECT_EQ(trs_test::Lines().size(), expectedLines) << c.gas;
        if (c.code == 0) {
            EXPECT_EQ(trs_test::Count(32, Format("TRSLNK: GetMemTypeFromGAS() Invalid tag '%s'", c.gas)), 1u)
                << trs_test::Dump();
        }
    }
}

TEST(GetMemTypeFromGASTest, NullAndOverlongStrings)
{
    trs_test::ClearLog();
    EXPECT_EQ(GetMemTypeFromGAS(nullptr), 0);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetMemTypeFromGAS() Invalid tag ''"), 1u);
    const std::string longGas = "001VE" + std::string(400, '9');
    trs_test::ClearLog();
    EXPECT_EQ(GetMemTypeFromGAS(longGas.c_str()), 0);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetMemTypeFromGAS() Invalid tag '" + longGas.substr(0, 255) + "'"), 1u);
}

// ValueFromText: floats in bytes 0..3, 16-bit integers in bytes 2 and 3, others untouched.
TEST(ValueFromTextTest, ConvertsByMemoryType)
{
    const struct {
        uint32_t memoryType;
        const char *text;
        bool isFloat;
        float single;
        uint16_t word;
        bool untouched;
    } cases[] = {
        {0x4152, "12.5", true, 12.5f, 0, false},     {0x5246, "-0.25", true, -0.25f, 0, false},
        {0x5846, "3", true, 3.0f, 0, false},         {0x5846, "1e40", true, HUGE_VALF, 0, false},
        {0x5242, "17", false, 0, 17, false},         {0x4941, "70000", false, 0, 4464, false},
        {0x4254, "-1", false, 0, 0xFFFF, false},     {0x4145, "12abc", false, 0, 12, false},
        {0x4452, "65535", false, 0, 65535, false},   {0x4944, "1", false, 0, 1, false},
        {0x4f41, "2", false, 0, 2, false},           {0x4f44, "0", false, 0, 0, false},
        {0x5453, "5", false, 0, 5, false},           {0x5354, "6", false, 0, 6, false},
        {0x5257, "7", false, 0, 7, false},           {0x5445, "8", false, 0, 8, false},
        {0x5842, "9", false, 0, 9, false},           {0x5857, "99999999999", false, 0, 0xFFFF, false},
        {0x4556, "5", false, 0, 0, true},            {0x5253, "5", false, 0, 0, true},
        {0x4d54, "5", false, 0, 0, true},            {300, "5", false, 0, 0, true},
        {0, "5", false, 0, 0, true},
    };
    for (const auto &c : cases) {
        unsigned char value[4] = {0xAA, 0xBB, 0xCC, 0xDD};
        ValueFromText(value, c.memoryType, c.text);
        if (c.untouched) {
            EXPECT_EQ(value[0], 0xAA);
            EXPECT_EQ(value[1], 0xBB);
            EXPECT_EQ(value[2], 0xCC);
            EXPECT_EQ(value[3], 0xDD);
        } else if (c.isFloat) {
            float single;
            memcpy(&single, value, sizeof single);
            EXPECT_EQ(single, c.single) << c.text;
        } else {
            uint16_t word;
            memcpy(&word, value + 2, sizeof word);
            EXPECT_EQ(word, c.word) << c.text;
            EXPECT_EQ(value[0], 0xAA) << c.text;
            EXPECT_EQ(value[1], 0xBB) << c.text;
        }
    }
}

TEST(NormaliseResourceNameTest, PrefixAndThreeDigitNumber)
{
    const struct {
        const char *source, *upper, *target;
    } cases[] = {
        {"ra5", "RA5", "RA005"},       {"di12x", "DI12X", "DI012"},      {"EA12", "EA12", "EA012"},
        {"X1234", "X1234", "X1234"},   {"RA5B", "RA5B", "RA005"},        {"ABC", "ABC", "ABC000"},
        {"", "", "000"},               {"7", "7", "007"},                {"ai007", "AI007", "AI007"},
        {"b99999999999", "B99999999999", "B4294967295"},
    };
    for (const auto &c : cases) {
        char source[64];
        strcpy(source, c.source);
        char target[33];
        NormaliseResourceName(source, target, sizeof target);
        EXPECT_STREQ(source, c.upper);
        EXPECT_STREQ(target, c.target) << c.source;
    }
}

TEST(NormaliseResourceNameTest, TargetIsBounded)
{
    char source[] = "abcdefghijklmnopqrstuvwxyz42";
    char target[8];
    memset(target, 'x', sizeof target);
    NormaliseResourceName(source, target, 6);
    EXPECT_STREQ(target, "ABCDE");
    EXPECT_EQ(target[6], 'x');
}

} // namespace
