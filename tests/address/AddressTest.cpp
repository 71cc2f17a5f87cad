// The gate address parser, function codes 3 and 4, and the conversions on memory types.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "address/Address.h"
#include "support/Support.h"

namespace {

using trs_test::Format;
using trs_test::Line;
using Lines = std::vector<Line>;
constexpr uint32_t kUnset = 0xEEEEEEEEu; // what a field not written by the parser holds

// Stations 1, 2, 3, 5 and 255 are declared; 4 is not.
class AddressTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        instance_ = trs_test::NewInstance(1);
        for (unsigned station : {1u, 2u, 3u, 5u, 255u})
            trs_test::AddStation(instance_, station, "PLC", "CODE");
    }
    void TearDown() override { trs_test::FreeInstance(instance_); }
    // Runs one function code on gas; the address record starts filled with 0xEE bytes.
    uint32_t Run(uint32_t (*parser)(RequestBlock *), const char *gas, uint32_t gateType = 0, uint32_t blockLength = 1,
                 uint32_t gateIndex = 0, uint32_t drvNumber = 1)
    {
        block_ = AddressParseBlock{};
        block_.gas = const_cast<char *>(gas);
        block_.gateIndex = gateIndex;
        block_.gateType = gateType;
        block_.blockLength = blockLength;
        memset(&block_.address, 0xEE, sizeof block_.address);
        instance_->drvNumber = drvNumber;
        RequestBlock request{instance_, FN_SINGLE_ADDRESS_PARSER, drvNumber, 1, &block_};
        trs_test::ClearLog();
        return parser(&request);
    }
    DriverInstance *instance_ = nullptr;
    AddressParseBlock block_{};
};

std::string Upper(std::string text) { return std::transform(text.begin(), text.end(), text.begin(), ::toupper), text; }

TEST_F(AddressTest, ParseFillsTheRecord)
{
    const struct { const char *gas; uint32_t station, memoryType, address, valueBits, drvNumber = 1; bool modem = false; } cases[] = {
        {"001RA005", 1, 0x4152, 5, 32},          {"001RD255", 1, 0x4452, 255, 16},
        {"001FX999.255", 1, 0x5846, (999u << 16) | 255, 32}, {"001TM002", 1, 0x4d54, 2, 16},
        {"001TS", 1, 0x5354, 0, 16},             {"255JR", 255, 0x524a, 0, 16},
        {"001ai005", 1, 0x4941, 5, 16},          {"001DI 1 . 12", 1, 0x4944, 0x1000C, 16},
        // alarm-call gates: the station is not looked up
        {"$A01-005", 5, 0x4141, 0, 16},          {"$a12-999", 999, 0x4141, 0, 16, 12},
        {"002M_CONNECT", 1002, 0x434d, 0, 16, 1, true}, {"255m_read_all", 1255, 0x414d, 0, 16, 1, true},
        // named gates: only station and memory type are written
        {"003_start_date", 3, 300, kUnset, kUnset}, {"003_START_TIME", 3, 200, kUnset, kUnset},
        {"255_LAST_EVENT", 255, 500, kUnset, kUnset},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gas);
        trs_test::SetModemMode(instance_, c.modem);
        ASSERT_EQ(Run(Parse, c.gas, 0, 1, 0, c.drvNumber), 0u) << trs_test::Dump();
        EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
        const GateAddress &a = block_.address;
        EXPECT_EQ(std::tie(a.station, a.memoryType, a.address, a.valueBits),
                  std::tie(c.station, c.memoryType, c.address, c.valueBits));
        EXPECT_EQ(static_cast<uint32_t>(a.spare), c.valueBits == kUnset ? kUnset : 0xFFFFFFFFu);
    }
}

TEST_F(AddressTest, ParseRejectsWithOneLine)
{
    const char *const kLength = "TRSLNK> Parse() illegal gate address string length, gate '%s'";
    const char *const kShort = "TRSLNK> Parse() illegal length gate address string '%s'";
    const char *const kNotDefined = "TRSLNK> Parse() error, plc 4 not defined in init file, gate '%s'";
    const struct { const char *gas; int level; const char *message; /* printf format of the one line, with the upper-cased string */
        uint32_t drvNumber = 1; bool modem = false; } cases[] = {
        {"001RA005.012", 64, "TRSLNK> Parse() error, no extension allowed for register or time/date gate, gate '%s'"},
        {"001ra5", 64, kLength}, {"001TM002.000", 64, kLength},
        {"0010RA5", 32, "TRSLNK> Parse() Illegal character 4 in '%s'"},
        {"001AI005.00-", 32, "TRSLNK> Parse() Illegal character 12 in '%s'"},
        {"300RA001", 32, "TRSLNK> Parse() Illegal character 1 in '%s'"},
        {"001RT005", 64, "TRSLNK> Parse() illegal memory type, gate '%s'"},
        {"001DI001.256", 64, "TRSLNK> Parse() error, gate address out of range, gate '%s'"},
        {"001DI001.   ", 64, "TRSLNK> Parse() error, reading gate address, gate '%s'"},
        {"001DI   .005", 64, "TRSLNK> Parse() error, reading extension number, gate '%s'"},
        {"001TM003", 64, "TRSLNK> Parse() error, tiem our date address 0->2, gate '%s'"},
        {"001TB001", 64, "TRSLNK> Parse() illegal gate address string length for memory type, gate '%s'"},
        {"000RA001", 64, "TRSLNK> Parse() error, plc address 0 out of range, gate '%s'"},
        {"004RA001", 64, kNotDefined}, {"001", 64, kShort}, {"", 64, kShort},
        {"002M_CONNECT", 64, "TRSLNK> Parse() multi-modem support not enabled in init file, gate '%s'"},
        {"002M_CALL", 64, "TRSLNK> Parse() error, illegal modem command gate, '%s'", 1, true},
        {"004M_CONNECT", 64, kNotDefined, 1, true},
        {"$A01-0050", 64, "TRSLNK> Parse() illegal length alarm call gate, '%s'"},
        {"$A01-005", 64, "TRSLNK> Parse() drv number in alarm call gate different from real drv number, '%s'", 2},
        {"$A-1-005", 64, "TRSLNK> Parse() illegal drv number in alarm call gate, '%s'"},
        {"$A01-ABC", 64, "TRSLNK> Parse() illegal plc number in alarm call gate, '%s'"},
        {"003_START", 32, "TRSLNK: ParseAddress() Invalid Tag (%s)"},
        {"0A3_START_DATE", 32, "TRSLNK: ParseAddress() Invalid PLC Address in tag (%s)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gas);
        trs_test::SetModemMode(instance_, c.modem);
        EXPECT_EQ(Run(Parse, c.gas, 0, 1, 0, c.drvNumber), 1u);
        EXPECT_EQ(trs_test::Logged(), (Lines{{c.level, Format(c.message, Upper(c.gas).c_str())}}));
    }
}

// Null, overlong and caller-owned strings: never read past, never written.
TEST_F(AddressTest, StringBoundsAndOwnership)
{
    EXPECT_EQ(Run(Parse, nullptr), 1u);
    EXPECT_EQ(trs_test::Logged(), (Lines{{64, "TRSLNK> Parse() illegal length gate address string ''"}}));
    std::string gas = "001ai005" + std::string(292, 'x');
    EXPECT_EQ(Run(Parse, gas.c_str()), 1u);
    EXPECT_EQ(trs_test::Logged(),
              (Lines{{64, "TRSLNK> Parse() illegal length gate address string '" + Upper(gas.substr(0, 255)) + "'"}}));
    gas.resize(255); // 255 characters still go through the ordinary checks
    EXPECT_EQ(Run(Parse, gas.c_str()), 1u);
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK> Parse() Illegal character 9 in '" + Upper(gas) + "'"}}));
    char own[] = "001ai005";
    EXPECT_EQ(Run(Parse, own), 0u);
    EXPECT_STREQ(own, "001ai005");
}

// Every host gate type against each row: accepted ones are marked, others give the row's line.
TEST_F(AddressTest, SingleParseAcceptsOnlyTheDemandedTypes)
{
    const char *const k16Bit = "TRSLNK> SingleParse() error, gate type should be 16-BIT, gate '%s'";
    const struct { const char *gas; std::set<uint32_t> allowed; int level; const char *message; } rows[] = {
        {"001ra005", {3}, 32, "TRSLNK> SingleParse() error, gate type should be 'FLOAT', Tag '%s'"},
        {"001FX005.001", {3}, 64, "TRSLNK> SingleParse() error, gate type should be FLOAT (IEEE), gate '%s'"},
        {"001TB", {6}, 64, "TRSLNK> SingleParse() error, gate type should be DIGITAL, gate '%s'"},
        {"$A01-007", {0, 1}, 64, k16Bit}, {"002M_CONNECT", {0, 1}, 64, k16Bit},
        {"001VE005", {0, 1, 6}, 64, "TRSLNK> SingleParse() error, gate type should be 16-BIT or DIGITAL, gate '%s'"},
        {"001SR005", {7}, 32, "TRSLNK: SingleParse() Tag '%s' type must be 'String'!"},
        {"003_START_DATE", {7}, 64, "TRSLNK> SingleParse() error, Tag type should be STRING, Tag '%s'"},
        {"003_LAST_EVENT", {0}, 64, k16Bit},
    };
    trs_test::SetModemMode(instance_, true);
    uint32_t index = 100; // a fresh index for every try
    for (const auto &row : rows) {
        for (uint32_t gateType : {0u, 1u, 2u, 3u, 6u, 7u, 32u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(Format("%s, gate type %u", row.gas, gateType));
            const bool allowed = row.allowed.count(gateType) != 0;
            EXPECT_EQ(Run(SingleParse, row.gas, gateType, 1, ++index), allowed ? 0u : 1u);
            EXPECT_EQ(instance_->gateParsed[index].load(), allowed ? 1u : 0u);
            EXPECT_EQ(trs_test::Logged(), (allowed ? Lines{} : Lines{{row.level, Format(row.message, row.gas)}}));
        }
    }
}

TEST_F(AddressTest, SingleParseMarksOnlyIndexesThatFit)
{
    EXPECT_EQ(Run(SingleParse, "001AI005", 0, 1, 65534), 0u);
    EXPECT_EQ(instance_->gateParsed[65534].load(), 1u);
    for (uint32_t index : {65535u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Run(SingleParse, "001AI005", 0, 1, index), 0u) << index;
        EXPECT_EQ(trs_test::Logged(),
                  (Lines{{64, Format("TRSLNK> SingleParse() warning, gate index %u out of range, gate '001AI005'",
                                     index)}}));
    }
    EXPECT_EQ(instance_->statesStation.load(), 0u); // the word after the flags is untouched
}

// Gate types are not checked for blocks, and blocks are never marked; a failed Parse adds
// BlockParse's own line with a 32-character copy of the string.
TEST_F(AddressTest, BlockParseAppliesTheBlockRule)
{
    const char *const kRange = "TRSLNK> BlockParse() error, block size out of range, block '%s'";
    const char *const kTimeDate =
        "TRSLNK> BlockParse() error, time/date block should start at addr 0 and have length 3, block '%s'";
    const char *const kNone = "TRSLNK: BlockParse() error, Blocks not allowed for Tag '%s'";
    const std::string longGas = "001AI005" + std::string(40, '9');
    const struct { std::string gas; uint32_t blockLength; Lines lines; } cases[] = {
        // the end address is checked, not the extension; lengths 0 and ~0 must not wrap round
        {"001DI001.250", 6, {}}, {"001AI250", 7, {{64, Format(kRange, "001AI250")}}}, {"001RA000", 256, {}},
        {"001AI005", 0, {{64, Format(kRange, "001AI005")}}}, {"001AI002", 0xFFFFFFFFu, {{64, Format(kRange, "001AI002")}}},
        {"001TM000", 3, {}}, {"001TM001", 3, {{64, Format(kTimeDate, "001TM001")}}},
        {"001DT000", 4, {{64, Format(kTimeDate, "001DT000")}}},
        {"001SR005", 1, {{32, Format(kNone, "001SR005")}}}, {"002M_ONLINE", 1, {{32, Format(kNone, "002M_ONLINE")}}},
        {"004AI000", 3,
         {{64, "TRSLNK> Parse() error, plc 4 not defined in init file, gate '004AI000'"},
          {32, "TRSLNK: BlockParse() parse failed. Tag '004AI000'"}}},
        {longGas, 3,
         {{32, "TRSLNK> Parse() Illegal character 9 in '" + longGas + "'"},
          {32, "TRSLNK: BlockParse() parse failed. Tag '" + longGas.substr(0, 32) + "'"}}},
    };
    trs_test::SetModemMode(instance_, true);
    for (const auto &c : cases) {
        SCOPED_TRACE(Format("%s x %u", c.gas.c_str(), c.blockLength));
        EXPECT_EQ(Run(BlockParse, c.gas.c_str(), GATE_TYPE_TEXT, c.blockLength, 7), c.lines.empty() ? 0u : 1u);
        EXPECT_EQ(instance_->gateParsed[7].load(), 0u);
        EXPECT_EQ(trs_test::Logged(), c.lines);
    }
    EXPECT_EQ(Run(BlockParse, nullptr, 0, 3), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: BlockParse() parse failed. Tag ''"), 1u);
}

// Conversions for the history reader: memory-type codes, values from texts, resource names.
TEST(Conversions, CodesValuesAndNames)
{
    trs_test::ClearLog();
    EXPECT_EQ(GetMemTypeFromGAS("xxxAIjunk"), 0x4941);
    EXPECT_EQ(GetMemTypeFromGAS(("001VE" + std::string(400, '9')).c_str()), 0); // a type without a code
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK: GetMemTypeFromGAS() Invalid tag '001VE" + std::string(250, '9') + "'"}}));
    unsigned char value[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    ValueFromText(value, 0x4941, "70000"); // an integer's low 16 bits in bytes 2 and 3
    EXPECT_EQ(std::vector<unsigned char>(value, value + 4), (std::vector<unsigned char>{0xAA, 0xBB, 0x70, 0x11}));
    ValueFromText(value, 0x5846, "1e40"); // a float beyond the range becomes an infinity
    EXPECT_EQ(*reinterpret_cast<float *>(value), HUGE_VALF);
    char source[] = "b99999999999", target[8];
    memset(target, 'x', sizeof target);
    NormaliseResourceName(source, target, 6); // bounded by the size given
    EXPECT_STREQ(source, "B99999999999");
    EXPECT_STREQ(target, "B4294");
    EXPECT_EQ(target[6], 'x');
}

} // namespace
