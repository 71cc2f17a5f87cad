// Reply decoding: value-area bytes, results and log lines for every reply layout.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "support/Support.h"

using rw_test::GateRig;

namespace {

struct Line {
    int level;
    std::string text;
};

// A 16-character resource value field: text right-aligned behind blanks.
std::string Field(const std::string &text)
{
    return std::string(16 - text.size(), ' ') + text;
}

std::string Resource(char state, const std::string &text)
{
    return std::string(1, state) + "\t" + Field(text) + "\t";
}

struct StoreCase {
    const char *name;
    uint32_t memoryType;
    uint32_t gateType;
    uint32_t address;
    uint32_t blockLength; // 0: single read
    std::string reply;
    uint32_t result;
    std::function<void(const GateRig &)> check; // value area after decoding (area starts filled with 0xEE)
    std::vector<Line> lines;
};

const std::string kTab = "\t";

std::vector<StoreCase> StoreCases()
{
    const std::string f12 = Field("Temp:12,5");
    return {
        {"DigitalSet", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\tA\t" + Field(":0") + "\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); EXPECT_EQ(g.U16(0), 0xEEEE); }, {}},
        {"DigitalPulse", MT_RA, GATE_TYPE_DIGITAL, 7, 0, "007\tP\t" + Field(":0") + "\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); }, {}},
        {"DigitalClear", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\t.\t" + Field(":0") + "\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0); }, {}},
        {"DigitalBadState", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\tX\t" + Field(":0") + "\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() illegal data 'X' in reply for digital resource, gate 'TEST'"}}},
        {"WrongResourceAddressStillDecodes", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "008\tA\t" + Field(":0") + "\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); },
         {{64, "TRSLNK> StoreData() illegal resource address in reply, gate 'TEST'"}}},
        {"ShortEtatNoStateCharacter", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{8, "TRSLNK> StoreData() illegal reply length (3 / 23), gate 'TEST'"},
          {64, "TRSLNK> StoreData() illegal data ' ' in reply for digital resource, gate 'TEST'"}}},
        {"AnalogSingleFloat", MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + f12 + "\t", 0,
         [](const GateRig &g) { EXPECT_FLOAT_EQ(g.Float(0), 12.5f); }, {}},
        {"AnalogSingleNoColon", MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + Field("12,5") + "\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{32, "TRSLNK: StoreData() Tag 'TEST' Invalid data ('007\t.\t" + Field("12,5") + "\t') for 'Float' Resource"}}},
        {"AnalogSingleOutOfFloatRange", MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + Field(":9e99") + "\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{32, "TRSLNK: StoreData() Tag 'TEST' Invalid data ('007\t.\t" + Field(":9e99") + "\t') for 'Float' Resource"}}},
        {"AnalogBlockOfThree", MT_RA, GATE_TYPE_S16, 7, 3,
         "007\t" + Resource('.', "Temp:12,5") + Resource('A', ":-7") + Resource('.', "x:  300"), 0,
         [](const GateRig &g) {
             EXPECT_EQ(static_cast<int32_t>(g.U32(0)), 125);
             EXPECT_EQ(static_cast<int32_t>(g.U32(4)), -7);
             EXPECT_EQ(static_cast<int32_t>(g.U32(8)), 300);
         },
         {}},
        {"BlockOneShortStillDecodes", MT_RA, GATE_TYPE_S16, 7, 3,
         ("007\t" + Resource('.', ":1") + Resource('.', ":2") + Resource('.', ":3")).substr(0, 60), 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 1u); EXPECT_EQ(g.U32(4), 2u); EXPECT_EQ(g.U32(8), 3u); },
         {{8, "TRSLNK> StoreData() illegal reply length (60 / 61), gate 'TEST'"}}},
        {"AnalogFieldOf15Characters", MT_RA, GATE_TYPE_S16, 7, 1, "007\t.\t" + Field(":5").substr(1) + "\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{8, "TRSLNK> StoreData() illegal reply length (22 / 23), gate 'TEST'"},
          {64, "TRSLNK> StoreData() error reading data '" + Field(":5").substr(1) +
                   "\t' in reply for analog resource, gate 'TEST'"}}},
        {"AnalogBadSecondFieldKeepsOthers", MT_RA, GATE_TYPE_S16, 7, 3,
         "007\t" + Resource('.', ":1") + Resource('.', "no colon here") + Resource('.', ":3"), 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 1u); EXPECT_EQ(g.U32(4), 0xEEEEEEEEu); EXPECT_EQ(g.U32(8), 3u); },
         {{64, "TRSLNK> StoreData() error reading data '" + Field("no colon here") +
                   "' in reply for analog resource, gate 'TEST'"}}},
        {"AnalogNumberOutOfRange", MT_RA, GATE_TYPE_S16, 7, 1, "007\t" + Resource('.', ":99999999999"), 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error reading data '" + Field(":99999999999") +
                   "' in reply for analog resource, gate 'TEST'"}}},
        {"DigitalBlockBadState", MT_RD, GATE_TYPE_DIGITAL, 7, 3,
         "007\t" + Resource('A', ":0") + Resource('?', ":0") + Resource('.', ":0"), 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(0), 1); EXPECT_EQ(g.U16(2), 0xEEEE); EXPECT_EQ(g.U16(4), 0); },
         {{64, "TRSLNK> StoreData() illegal 1th data '?' in reply for digital resource, gate 'TEST'"}}},
        {"DigitalBlockTruncatedLogsOnce", MT_RD, GATE_TYPE_DIGITAL, 7, 200, "007\t" + Resource('A', ":0"), 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(0), 1); EXPECT_EQ(g.U16(2), 0xEEEE); },
         {{8, "TRSLNK> StoreData() illegal reply length (23 / 3804), gate 'TEST'"},
          {64, "TRSLNK> StoreData() illegal 1th data ' ' in reply for digital resource, gate 'TEST'"}}},

        {"IntegerNegative", MT_AI, GATE_TYPE_S16, 12, 0, "AI12\t-5\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0xFFFB); EXPECT_EQ(g.U16(0), 0xEEEE); }, {}},
        {"IntegerLow16Bits", MT_AI, GATE_TYPE_U16, 12, 0, "AI12\t70000\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 70000 - 65536); }, {}},
        {"IntegerNoTab", MT_AI, GATE_TYPE_S16, 12, 0, "AI12", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error, TAB character not found in reply, gate 'TEST'"}}},
        {"IntegerNotANumber", MT_AI, GATE_TYPE_S16, 12, 0, "AI12\tabc\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error reading data value in reply telegram, gate 'TEST'"}}},
        {"IntegerBeyond32Bits", MT_AI, GATE_TYPE_S16, 12, 0, "AI12\t99999999999999\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error reading data value in reply telegram, gate 'TEST'"}}},
        {"StatusHashIsZero", MT_ST, GATE_TYPE_U16, 3, 0, "ST3\t#\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0); }, {}},
        {"HashIsNoNumberForOthers", MT_AI, GATE_TYPE_U16, 3, 0, "AI3\t#\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0xEEEE); },
         {{64, "TRSLNK> StoreData() error reading data value in reply telegram, gate 'TEST'"}}},
        {"IntegerBlock", MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\t-2\t3\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(0), 1); EXPECT_EQ(g.U16(2), 0xFFFE); EXPECT_EQ(g.U16(4), 3); }, {}},
        {"IntegerBlockBadElement", MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\tx\t3\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(0), 1); EXPECT_EQ(g.U16(2), 0xEEEE); EXPECT_EQ(g.U16(4), 3); },
         {{64, "TRSLNK> StoreData() error reading 2th data value in reply telegram, gate 'TEST'"}}},
        {"IntegerBlockMissingTabStops", MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\t2", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(0), 1); EXPECT_EQ(g.U16(2), 2); EXPECT_EQ(g.U16(4), 0xEEEE); },
         {{64, "TRSLNK> StoreData() error, TAB character not found in reply, gate 'TEST'"}}},

        {"FloatDecimalComma", MT_FR, GATE_TYPE_FLOAT, 2, 0, "FR2\t3,25\t", 0,
         [](const GateRig &g) { EXPECT_FLOAT_EQ(g.Float(0), 3.25f); }, {}},
        {"FloatBlockMixedSeparators", MT_FX, GATE_TYPE_FLOAT, 1, 2, "FX1\t1,5\t-2.25\t", 0,
         [](const GateRig &g) { EXPECT_FLOAT_EQ(g.Float(0), 1.5f); EXPECT_FLOAT_EQ(g.Float(4), -2.25f); }, {}},
        {"FloatOutOfRange", MT_FR, GATE_TYPE_FLOAT, 2, 0, "FR2\t1e50\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error reading data value in reply telegram, gate 'TEST'"}}},
        {"FloatHashIsNoNumber", MT_FR, GATE_TYPE_FLOAT, 2, 0, "FR2\t#\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error reading data value in reply telegram, gate 'TEST'"}}},
        {"FloatBlockBadSecond", MT_FR, GATE_TYPE_FLOAT, 1, 2, "FR1\t1\tnope\t", 1,
         [](const GateRig &g) { EXPECT_FLOAT_EQ(g.Float(0), 1.0f); EXPECT_EQ(g.U32(4), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error reading 2th data value in reply telegram, gate 'TEST'"}}},

        {"BitSet", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TB\t1\t", 0, [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); }, {}},
        {"BitClear", MT_TS, GATE_TYPE_DIGITAL, 0, 0, "TS\t0\t", 0, [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0); }, {}},
        {"BitWrongLengthStillStored", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TB\t1\t\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); },
         {{32, "TRSLNK> StoreData() illegal reply length (6 / 5), gate 'TEST'"}}},
        {"BitWrongLettersStillStored", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TS\t1\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 1); },
         {{64, "TRSLNK> StoreData() illegal reply, no 'TB' in answer, gate 'TEST'"}}},
        {"BitEmptyReply", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "", 1, [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0); },
         {{32, "TRSLNK> StoreData() illegal reply length (0 / 5), gate 'TEST'"},
          {64, "TRSLNK> StoreData() illegal reply, no 'TB' in answer, gate 'TEST'"}}},

        {"TimeThirdField", MT_TM, GATE_TYPE_U16, 2, 0, "09:05:07\t", 0, [](const GateRig &g) { EXPECT_EQ(g.U16(2), 7); }, {}},
        {"TimeFirstField", MT_TM, GATE_TYPE_U16, 0, 0, "09:05:07\t", 0, [](const GateRig &g) { EXPECT_EQ(g.U16(2), 9); }, {}},
        {"TimeShortStillStored", MT_TM, GATE_TYPE_U16, 1, 0, "09:05:07", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 5); },
         {{64, "TRSLNK> StoreData() illegal reply length (8 / 9), gate 'TEST'"}}},
        {"TimeFieldBeyondReply", MT_TM, GATE_TYPE_U16, 5, 0, "09:05:07\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{64, "TRSLNK> StoreData() error reading 6th data value in reply telegram, gate 'TEST'"}}},
        {"DateBlock", MT_DT, GATE_TYPE_U16, 0, 3, "05/12/03\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.U16(0), 5); EXPECT_EQ(g.U16(2), 12); EXPECT_EQ(g.U16(4), 3); }, {}},
        {"DateBlockTooLong", MT_DT, GATE_TYPE_U16, 0, 5, "05/12/03\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(4), 3); EXPECT_EQ(g.U16(6), 0xEEEE); },
         {{64, "TRSLNK> StoreData() error reading 4th data value in reply telegram, gate 'TEST'"}}},
        {"DateNotDigits", MT_DT, GATE_TYPE_U16, 1, 0, "05/xx/03\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U16(2), 0xEEEE); },
         {{64, "TRSLNK> StoreData() error reading 2th data value in reply telegram, gate 'TEST'"}}},

        {"TextQuoted", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t\"ABC\"\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.Text(), "ABC"); }, {}},
        {"TextUnquoted", MT_SX, GATE_TYPE_TEXT, 1, 0, "SX1\tABC\t", 0, [](const GateRig &g) { EXPECT_EQ(g.Text(), "ABC"); }, {}},
        {"TextLoneQuote", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t\"\t", 0, [](const GateRig &g) { EXPECT_EQ(g.Text(), ""); }, {}},
        {"TextOneTabOnly", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\tABC", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"}}},
        {"TextNoTab", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1", 1, [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{32, "TRSLNK: GetStringValueFromResponse() TAB character not found in response, Tag 'TEST'"}}},
        {"Text10000Characters", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t" + std::string(10000, 'x') + "\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"}}},
        {"Text499CharactersDoNotFit", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t" + std::string(499, 'y') + "\t", 1,
         [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"}}},
        {"Text498Characters", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t" + std::string(498, 'y') + "\t", 0,
         [](const GateRig &g) { EXPECT_EQ(g.Text(), std::string(498, 'y')); }, {}},

        {"NoReadCommand", MT_HS, GATE_TYPE_U16, 1, 0, "HS\t1\t", 1, [](const GateRig &g) { EXPECT_EQ(g.U32(0), 0xEEEEEEEEu); },
         {{32, "TRSLNK> StoreData() invalid memory type, Tag 'TEST'"}}},
    };
}

class StoreDataTest : public ::testing::TestWithParam<StoreCase> {};

TEST_P(StoreDataTest, ValueAreaResultAndLog)
{
    const StoreCase &c = GetParam();
    GateRig gate(nullptr, c.memoryType, c.gateType, c.address, c.blockLength);
    gate.Fill(0xEE);
    std::vector<char> reply(c.reply.begin(), c.reply.end());
    reply.push_back('\0');
    trs_test::ClearLog();

    const uint32_t result = StoreData(&gate.request, reply.data(), c.blockLength > 0 ? FN_BLOCK_READ : FN_SINGLE_READ);

    EXPECT_EQ(result, c.result);
    c.check(gate);
    EXPECT_TRUE(gate.GuardIntact()) << "written past the value area";
    EXPECT_EQ(trs_test::Lines().size(), c.lines.size()) << trs_test::Dump();
    for (const Line &line : c.lines)
        EXPECT_EQ(trs_test::Count(line.level, line.text), 1u) << "missing [" << line.level << "] " << line.text << "\n"
                                                              << trs_test::Dump();
}

INSTANTIATE_TEST_SUITE_P(Replies, StoreDataTest, ::testing::ValuesIn(StoreCases()),
                         [](const ::testing::TestParamInfo<StoreCase> &info) { return std::string(info.param.name); });

struct AnalogCase {
    std::string field;
    uint32_t ok;
    int32_t value;
};

TEST(ParseAnalogField, Table)
{
    const AnalogCase cases[] = {
        {Field("Temp:12,5"), 1, 125},
        {Field(":-42") + "\ttrailing", 1, -42},
        {Field("a:b:7"), 1, 7},     // the last colon counts
        {Field("12,5"), 0, 0},      // no colon
        {Field(":5").substr(1), 0, 0}, // 15 characters
        {Field(":5") + "x", 0, 0},  // 17 characters
        {Field("label:"), 0, 0},    // nothing behind the colon
        {"", 0, 0},
        {"\t" + Field(":5"), 0, 0}, // empty field
    };
    for (const AnalogCase &c : cases) {
        int32_t value = -999;
        EXPECT_EQ(ParseAnalogField(c.field.c_str(), &value), c.ok) << "'" << c.field << "'";
        if (c.ok) {
            EXPECT_EQ(value, c.value) << "'" << c.field << "'";
        }
    }
}

struct FloatCase {
    std::string text;
    uint32_t ok;
    float value;
};

TEST(ParseFloatAfterColon, Table)
{
    const FloatCase cases[] = {
        {"007\t.\t   Temp:12,5\t", 1, 12.5f},
        {"x:-0.25", 1, -0.25f},
        {"x:abc", 1, 0.0f},            // no number reads as 0
        {"a:1,5:2", 1, 1.5f},          // the first colon counts
        {"no colon", 0, 0.0f},
        {"x:" + std::string(200, '9'), 0, 0.0f}, // cut to 99 characters: beyond the float range
    };
    for (const FloatCase &c : cases) {
        float value = -999.0f;
        EXPECT_EQ(ParseFloatAfterColon(c.text.c_str(), &value), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_FLOAT_EQ(value, c.value) << "'" << c.text << "'";
        }
    }
}

} // namespace
