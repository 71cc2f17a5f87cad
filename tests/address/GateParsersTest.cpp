// Function codes 3 and 4: gate types of single gates, extents of block gates.
#include <set>
#include <string>

#include "AddressTestSupport.h"

namespace {

using address_test::AddressTest;
using address_test::Line;
using trs_test::Format;

const char kFloatTag[] = "TRSLNK> SingleParse() error, gate type should be 'FLOAT', Tag '%s'";
const char kIeee[] = "TRSLNK> SingleParse() error, gate type should be FLOAT (IEEE), gate '%s'";
const char kDigital[] = "TRSLNK> SingleParse() error, gate type should be DIGITAL, gate '%s'";
const char k16Bit[] = "TRSLNK> SingleParse() error, gate type should be 16-BIT, gate '%s'";
const char k16BitOrDigital[] = "TRSLNK> SingleParse() error, gate type should be 16-BIT or DIGITAL, gate '%s'";
const char kStringTag[] = "TRSLNK: SingleParse() Tag '%s' type must be 'String'!";
const char kString[] = "TRSLNK> SingleParse() error, Tag type should be STRING, Tag '%s'";

struct GateTypeRow {
    const char *gas;
    std::set<uint32_t> allowed;
    int level;
    const char *message;
};

const GateTypeRow kGateTypeRows[] = {
    {"001RA005", {3}, 32, kFloatTag},
    {"001ra005", {3}, 32, kFloatTag}, // the line quotes the string as the host gave it
    {"001FR005", {3}, 64, kIeee},
    {"001FX005.001", {3}, 64, kIeee},
    {"001DI005", {6}, 64, kDigital},
    {"001RD005", {6}, 64, kDigital},
    {"001TB", {6}, 64, kDigital},
    {"001ET005", {6}, 64, kDigital},
    {"001AI005", {0, 1}, 64, k16Bit},
    {"001EC", {0, 1}, 64, k16Bit},
    {"001WX005", {0, 1}, 64, k16Bit},
    {"001TM000", {0, 1}, 64, k16Bit},
    {"$A01-007", {0, 1}, 64, k16Bit},
    {"002M_CONNECT", {0, 1}, 64, k16Bit},
    {"001VE005", {0, 1, 6}, 64, k16BitOrDigital},
    {"001VX005", {0, 1, 6}, 64, k16BitOrDigital},
    {"001SR005", {7}, 32, kStringTag},
    {"001SX005", {7}, 32, kStringTag},
    {"003_START_DATE", {7}, 64, kString},
    {"003_START_TIME", {7}, 64, kString},
    {"003_FIRST_EVENT", {0}, 64, k16Bit},
    {"003_LAST_EVENT", {0}, 64, k16Bit},
};

// Every host gate type against each row: accepted ones are marked, others give the row's line.
TEST_F(AddressTest, SingleParseAcceptsOnlyTheDemandedTypes)
{
    trs_test::SetModemMode(instance_, true);
    uint32_t index = 100; // a fresh index for every try
    for (const GateTypeRow &row : kGateTypeRows) {
        for (uint32_t gateType : {0u, 1u, 2u, 3u, 6u, 7u, 8u, 31u, 32u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(Format("%s, gate type %u", row.gas, gateType));
            const bool allowed = row.allowed.count(gateType) != 0;
            EXPECT_EQ(Run(SingleParse, row.gas, gateType, 1, ++index), allowed ? 0u : 1u);
            EXPECT_EQ(instance_->gateParsed[index].load(), allowed ? 1u : 0u);
            const std::vector<Line> none, line = {{row.level, Format(row.message, row.gas)}};
            EXPECT_EQ(address_test::Logged(), allowed ? none : line);
        }
    }
}

TEST_F(AddressTest, SingleParseMarksOnlyIndexesThatFit)
{
    EXPECT_EQ(Run(SingleParse, "001AI005", 0, 1, 65534), 0u);
    EXPECT_EQ(instance_->gateParsed[65534].load(), 1u);
    EXPECT_TRUE(address_test::Logged().empty());

    for (uint32_t index : {65535u, 70000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Run(SingleParse, "001AI005", 0, 1, index), 0u) << index;
        EXPECT_EQ(address_test::Logged(),
                  (std::vector<Line>{{64, Format("TRSLNK> SingleParse() warning, gate index %u out of range, "
                                                 "gate '001AI005'",
                                                 index)}}));
    }
    for (uint32_t index = 0; index < MAX_GATE_INDEX - 1; index++)
        ASSERT_EQ(instance_->gateParsed[index].load(), 0u) << index;
    EXPECT_EQ(instance_->statesStation.load(), 0u); // the word after the flags is untouched
}

struct BlockCase {
    const char *gas;
    uint32_t blockLength;
    const char *message; // null: accepted
    int level = 64;
};

const char kBlockRange[] = "TRSLNK> BlockParse() error, block size out of range, block '%s'";
const char kTimeDate[] =
    "TRSLNK> BlockParse() error, time/date block should start at addr 0 and have length 3, block '%s'";
const char kNoBlocks[] = "TRSLNK: BlockParse() error, Blocks not allowed for Tag '%s'";

const BlockCase kBlockCases[] = {
    // the end address is checked, not the extension; lengths 0 and ~0 must not wrap round
    {"001AI250", 6, nullptr},  {"001AI250", 7, kBlockRange}, {"001DI001.250", 6, nullptr},
    {"001DI001.250", 7, kBlockRange}, {"001RA000", 256, nullptr}, {"001RA000", 257, kBlockRange},
    {"001AI255", 1, nullptr},  {"001AI005", 0, kBlockRange}, {"001AI002", 0xFFFFFFFFu, kBlockRange},
    {"001AI000", 0xFFFFFFFFu, kBlockRange},
    {"001BR000", 10, nullptr}, {"001VE000", 10, nullptr}, {"001DO000", 10, nullptr},
    {"001FR000", 10, nullptr}, {"001ET000", 10, nullptr}, {"001WX000", 10, nullptr},
    // time/date blocks: address 0, length 3
    {"001TM000", 3, nullptr},  {"001DT000", 3, nullptr},     {"001TM001", 3, kTimeDate},
    {"001TM000", 2, kTimeDate}, {"001DT000", 4, kTimeDate},
    {"001TB", 1, kNoBlocks, 32},    {"001SR005", 1, kNoBlocks, 32},    {"001EC", 1, kNoBlocks, 32},
    {"001JR", 1, kNoBlocks, 32},    {"$A01-005", 1, kNoBlocks, 32},    {"002M_ONLINE", 1, kNoBlocks, 32},
    {"003_START_DATE", 1, kNoBlocks, 32},
};

// Gate types are not checked for blocks, and blocks are never marked.
TEST_F(AddressTest, BlockParseAppliesTheBlockRule)
{
    trs_test::SetModemMode(instance_, true);
    for (const BlockCase &c : kBlockCases) {
        SCOPED_TRACE(Format("%s x %u", c.gas, c.blockLength));
        EXPECT_EQ(Run(BlockParse, c.gas, GATE_TYPE_TEXT, c.blockLength, 7), c.message ? 1u : 0u);
        EXPECT_EQ(instance_->gateParsed[7].load(), 0u);
        const std::vector<Line> none, line = {{c.level, c.message ? Format(c.message, c.gas) : ""}};
        EXPECT_EQ(address_test::Logged(), c.message ? line : none);
    }
}

// A failed Parse gives result 1, marks nothing, and BlockParse adds its line with a 32-character copy.
TEST_F(AddressTest, ParseFailuresPassThrough)
{
    const std::string longGas = "001AI005" + std::string(40, '9');
    const struct {
        uint32_t (*parser)(RequestBlock *);
        const char *gas;
        std::vector<Line> lines;
    } cases[] = {
        {SingleParse, "004AI005", {{64, "TRSLNK> Parse() error, plc 4 not defined in init file, gate '004AI005'"}}},
        {BlockParse, "004AI000",
         {{64, "TRSLNK> Parse() error, plc 4 not defined in init file, gate '004AI000'"},
          {32, "TRSLNK: BlockParse() parse failed. Tag '004AI000'"}}},
        {BlockParse, nullptr,
         {{64, "TRSLNK> Parse() illegal length gate address string ''"},
          {32, "TRSLNK: BlockParse() parse failed. Tag ''"}}},
        {BlockParse, longGas.c_str(),
         {{32, "TRSLNK> Parse() Illegal character 9 in '" + longGas + "'"},
          {32, "TRSLNK: BlockParse() parse failed. Tag '" + longGas.substr(0, 32) + "'"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gas ? c.gas : "(null)");
        EXPECT_EQ(Run(c.parser, c.gas, 0, 3, 9), 1u);
        EXPECT_EQ(instance_->gateParsed[9].load(), 0u);
        EXPECT_EQ(address_test::Logged(), c.lines);
    }
}

} // namespace
