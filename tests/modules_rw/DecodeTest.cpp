// Reply decoding: value-area bytes, results and log lines for every reply layout.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "support/Support.h"

using rw_test::GateRig;

namespace {

using Line = std::pair<int, std::string>;
using Check = std::function<void(const GateRig &)>;

// A 16-character resource value field: text right-aligned behind blanks.
std::string Field(const std::string &text)
{
    return std::string(16 - text.size(), ' ') + text;
}
std::string Resource(char state, const std::string &text)
{
    return std::string(1, state) + "\t" + Field(text) + "\t";
}
// The decoder's own lines, which all end in the gate's name.
Line Store(int level, const std::string &text)
{
    return {level, "TRSLNK> StoreData() " + text + ", gate 'TEST'"};
}
Line NoValue(const std::string &nth = "")
{
    return Store(64, "error reading " + nth + "data value in reply telegram");
}
Line Length(int level, int got, int wanted)
{
    return Store(level, "illegal reply length (" + std::to_string(got) + " / " + std::to_string(wanted) + ")");
}
Line Analog(const std::string &data)
{
    return Store(64, "error reading data '" + data + "' in reply for analog resource");
}
const Line kNoTab = Store(64, "error, TAB character not found in reply");
const Line kNoString = {32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"};

// Value-area checks; the area starts filled with 0xEE.
Check U16At(size_t offset, uint16_t value)
{
    return [=](const GateRig &g) { EXPECT_EQ(g.U16(offset), value) << "offset " << offset; };
}
Check U16s(std::vector<uint16_t> values)
{
    return [=](const GateRig &g) {
        for (size_t i = 0; i < values.size(); i++)
            EXPECT_EQ(g.U16(2 * i), values[i]) << "element " << i;
    };
}
Check I32s(std::vector<int32_t> values)
{
    return [=](const GateRig &g) {
        for (size_t i = 0; i < values.size(); i++)
            EXPECT_EQ(static_cast<int32_t>(g.U32(4 * i)), values[i]) << "element " << i;
    };
}
Check Floats(std::vector<float> values)
{
    return [=](const GateRig &g) {
        for (size_t i = 0; i < values.size(); i++)
            EXPECT_FLOAT_EQ(g.Float(4 * i), values[i]) << "element " << i;
    };
}
Check TextIs(const std::string &text)
{
    return [=](const GateRig &g) { EXPECT_EQ(g.Text(), text); };
}
const int32_t kEE = static_cast<int32_t>(0xEEEEEEEEu);
const Check kUntouched = I32s({kEE});

struct StoreCase {
    const char *name;
    uint32_t memoryType, gateType, address, blockLength; // blockLength 0: single read
    std::string reply;
    uint32_t result;
    Check check;
    std::vector<Line> lines;
};

std::vector<StoreCase> StoreCases()
{
    const std::string zero = Field(":0") + "\t";
    const std::string block = "007\t" + Resource('.', ":1") + Resource('.', ":2") + Resource('.', ":3");
    return {
        {"DigitalSet", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\tA\t" + zero, 0, U16s({0xEEEE, 1}), {}},
        {"DigitalPulse", MT_RA, GATE_TYPE_DIGITAL, 7, 0, "007\tP\t" + zero, 0, U16At(2, 1), {}},
        {"DigitalClear", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\t.\t" + zero, 0, U16At(2, 0), {}},
        {"DigitalBadState", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\tX\t" + zero, 1, kUntouched,
         {Store(64, "illegal data 'X' in reply for digital resource")}},
        {"WrongResourceAddressStillDecodes", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "008\tA\t" + zero, 1, U16At(2, 1),
         {Store(64, "illegal resource address in reply")}},
        {"ShortEtatNoStateCharacter", MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007", 1, kUntouched,
         {Length(8, 3, 23), Store(64, "illegal data ' ' in reply for digital resource")}},
        {"AnalogSingleFloat", MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + Field("Temp:12,5") + "\t", 0, Floats({12.5f}), {}},
        {"AnalogSingleNoColon", MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + Field("12,5") + "\t", 1, kUntouched,
         {{32, "TRSLNK: StoreData() Tag 'TEST' Invalid data ('007\t.\t" + Field("12,5") + "\t') for 'Float' Resource"}}},
        {"AnalogSingleOutOfFloatRange", MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + Field(":9e99") + "\t", 1, kUntouched,
         {{32, "TRSLNK: StoreData() Tag 'TEST' Invalid data ('007\t.\t" + Field(":9e99") + "\t') for 'Float' Resource"}}},
        {"AnalogBlockOfThree", MT_RA, GATE_TYPE_S16, 7, 3,
         "007\t" + Resource('.', "Temp:12,5") + Resource('A', ":-7") + Resource('.', "x:  300"), 0, I32s({125, -7, 300}),
         {}},
        {"BlockOneShortStillDecodes", MT_RA, GATE_TYPE_S16, 7, 3, block.substr(0, 60), 1, I32s({1, 2, 3}),
         {Length(8, 60, 61)}},
        {"AnalogFieldOf15Characters", MT_RA, GATE_TYPE_S16, 7, 1, "007\t.\t" + Field(":5").substr(1) + "\t", 1,
         kUntouched, {Length(8, 22, 23), Analog(Field(":5").substr(1) + "\t")}},
        {"AnalogBadSecondFieldKeepsOthers", MT_RA, GATE_TYPE_S16, 7, 3,
         "007\t" + Resource('.', ":1") + Resource('.', "no colon here") + Resource('.', ":3"), 1, I32s({1, kEE, 3}),
         {Analog(Field("no colon here"))}},
        {"AnalogNumberOutOfRange", MT_RA, GATE_TYPE_S16, 7, 1, "007\t" + Resource('.', ":99999999999"), 1, kUntouched,
         {Analog(Field(":99999999999"))}},
        {"DigitalBlockBadState", MT_RD, GATE_TYPE_DIGITAL, 7, 3,
         "007\t" + Resource('A', ":0") + Resource('?', ":0") + Resource('.', ":0"), 1, U16s({1, 0xEEEE, 0}),
         {Store(64, "illegal 1th data '?' in reply for digital resource")}},
        {"DigitalBlockTruncatedLogsOnce", MT_RD, GATE_TYPE_DIGITAL, 7, 200, "007\t" + Resource('A', ":0"), 1,
         U16s({1, 0xEEEE}), {Length(8, 23, 3804), Store(64, "illegal 1th data ' ' in reply for digital resource")}},

        {"IntegerNegative", MT_AI, GATE_TYPE_S16, 12, 0, "AI12\t-5\t", 0, U16s({0xEEEE, 0xFFFB}), {}},
        {"IntegerLow16Bits", MT_AI, GATE_TYPE_U16, 12, 0, "AI12\t70000\t", 0, U16At(2, 70000 - 65536), {}},
        {"IntegerNoTab", MT_AI, GATE_TYPE_S16, 12, 0, "AI12", 1, kUntouched, {kNoTab}},
        {"IntegerNotANumber", MT_AI, GATE_TYPE_S16, 12, 0, "AI12\tabc\t", 1, kUntouched, {NoValue()}},
        {"IntegerBeyond32Bits", MT_AI, GATE_TYPE_S16, 12, 0, "AI12\t99999999999999\t", 1, kUntouched, {NoValue()}},
        {"StatusHashIsZero", MT_ST, GATE_TYPE_U16, 3, 0, "ST3\t#\t", 0, U16At(2, 0), {}},
        {"HashIsNoNumberForOthers", MT_AI, GATE_TYPE_U16, 3, 0, "AI3\t#\t", 1, kUntouched, {NoValue()}},
        {"IntegerBlock", MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\t-2\t3\t", 0, U16s({1, 0xFFFE, 3}), {}},
        {"IntegerBlockBadElement", MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\tx\t3\t", 1, U16s({1, 0xEEEE, 3}),
         {NoValue("2th ")}},
        {"IntegerBlockMissingTabStops", MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\t2", 1, U16s({1, 2, 0xEEEE}), {kNoTab}},

        {"FloatDecimalComma", MT_FR, GATE_TYPE_FLOAT, 2, 0, "FR2\t3,25\t", 0, Floats({3.25f}), {}},
        {"FloatBlockMixedSeparators", MT_FX, GATE_TYPE_FLOAT, 1, 2, "FX1\t1,5\t-2.25\t", 0, Floats({1.5f, -2.25f}), {}},
        {"FloatOutOfRange", MT_FR, GATE_TYPE_FLOAT, 2, 0, "FR2\t1e50\t", 1, kUntouched, {NoValue()}},
        {"FloatHashIsNoNumber", MT_FR, GATE_TYPE_FLOAT, 2, 0, "FR2\t#\t", 1, kUntouched, {NoValue()}},
        {"FloatBlockBadSecond", MT_FR, GATE_TYPE_FLOAT, 1, 2, "FR1\t1\tnope\t", 1, I32s({0x3f800000 /* 1.0f */, kEE}),
         {NoValue("2th ")}},

        {"BitSet", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TB\t1\t", 0, U16At(2, 1), {}},
        {"BitClear", MT_TS, GATE_TYPE_DIGITAL, 0, 0, "TS\t0\t", 0, U16At(2, 0), {}},
        {"BitWrongLengthStillStored", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TB\t1\t\t", 1, U16At(2, 1), {Length(32, 6, 5)}},
        {"BitWrongLettersStillStored", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TS\t1\t", 1, U16At(2, 1),
         {Store(64, "illegal reply, no 'TB' in answer")}},
        {"BitEmptyReply", MT_TB, GATE_TYPE_DIGITAL, 0, 0, "", 1, U16At(2, 0),
         {Length(32, 0, 5), Store(64, "illegal reply, no 'TB' in answer")}},

        {"TimeThirdField", MT_TM, GATE_TYPE_U16, 2, 0, "09:05:07\t", 0, U16At(2, 7), {}},
        {"TimeFirstField", MT_TM, GATE_TYPE_U16, 0, 0, "09:05:07\t", 0, U16At(2, 9), {}},
        {"TimeShortStillStored", MT_TM, GATE_TYPE_U16, 1, 0, "09:05:07", 1, U16At(2, 5), {Length(64, 8, 9)}},
        {"TimeFieldBeyondReply", MT_TM, GATE_TYPE_U16, 5, 0, "09:05:07\t", 1, kUntouched, {NoValue("6th ")}},
        {"DateBlock", MT_DT, GATE_TYPE_U16, 0, 3, "05/12/03\t", 0, U16s({5, 12, 3}), {}},
        {"DateBlockTooLong", MT_DT, GATE_TYPE_U16, 0, 5, "05/12/03\t", 1, U16s({5, 12, 3, 0xEEEE}), {NoValue("4th ")}},
        {"DateNotDigits", MT_DT, GATE_TYPE_U16, 1, 0, "05/xx/03\t", 1, U16At(2, 0xEEEE), {NoValue("2th ")}},

        {"TextQuoted", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t\"ABC\"\t", 0, TextIs("ABC"), {}},
        {"TextUnquoted", MT_SX, GATE_TYPE_TEXT, 1, 0, "SX1\tABC\t", 0, TextIs("ABC"), {}},
        {"TextLoneQuote", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t\"\t", 0, TextIs(""), {}},
        {"TextOneTabOnly", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\tABC", 1, kUntouched, {kNoString}},
        {"TextNoTab", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1", 1, kUntouched,
         {{32, "TRSLNK: GetStringValueFromResponse() TAB character not found in response, Tag 'TEST'"}}},
        {"Text499CharactersDoNotFit", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t" + std::string(499, 'y') + "\t", 1,
         kUntouched, {kNoString}},
        {"Text498Characters", MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t" + std::string(498, 'y') + "\t", 0,
         TextIs(std::string(498, 'y')), {}},

        {"NoReadCommand", MT_HS, GATE_TYPE_U16, 1, 0, "HS\t1\t", 1, kUntouched,
         {{32, "TRSLNK> StoreData() invalid memory type, Tag 'TEST'"}}},
    };
}

class StoreDataTest : public ::testing::TestWithParam<StoreCase> {};

TEST_P(StoreDataTest, ValueAreaResultAndLog)
{
    const StoreCase &c = GetParam();
    GateRig gate(nullptr, c.memoryType, c.gateType, c.address, c.blockLength);
    if (c.blockLength == 0)
        gate.gate.blockLength = 1; // a host reads a single gate with a block length of 1
    gate.Fill(0xEE);
    std::vector<char> reply(c.reply.begin(), c.reply.end());
    reply.push_back('\0');
    trs_test::ClearLog();
    EXPECT_EQ(StoreData(&gate.request, reply.data(), c.blockLength > 0 ? FN_BLOCK_READ : FN_SINGLE_READ), c.result);
    c.check(gate);
    EXPECT_TRUE(gate.GuardIntact()) << "written past the value area";
    EXPECT_EQ(trs_test::Lines().size(), c.lines.size()) << trs_test::Dump();
    for (const auto &[level, text] : c.lines)
        EXPECT_EQ(trs_test::Count(level, text), 1u) << "missing [" << level << "] " << text << "\n" << trs_test::Dump();
}

INSTANTIATE_TEST_SUITE_P(Replies, StoreDataTest, ::testing::ValuesIn(StoreCases()),
                         [](const ::testing::TestParamInfo<StoreCase> &info) { return std::string(info.param.name); });

TEST(FieldParsers, AnalogFieldAndFloatAfterColon)
{
    const struct {
        std::string field;
        uint32_t ok;
        int32_t value;
    } analog[] = {
        {Field(":-42") + "\ttrailing", 1, -42},
        {Field("a:b:7"), 1, 7},  // the last colon counts
        {Field("12,5"), 0, 0},   // no colon
        {Field(":5") + "x", 0, 0}, // 17 characters
        {Field("label:"), 0, 0}, // nothing behind the colon
        {"", 0, 0},
        {"\t" + Field(":5"), 0, 0}, // empty field
    };
    for (const auto &c : analog) {
        int32_t value = -999;
        EXPECT_EQ(ParseAnalogField(c.field.c_str(), &value), c.ok) << "'" << c.field << "'";
        if (c.ok) {
            EXPECT_EQ(value, c.value) << "'" << c.field << "'";
        }
    }
    const struct {
        std::string text;
        uint32_t ok;
        float value;
    } floats[] = {
        {"x:-0.25", 1, -0.25f},
        {"x:abc", 1, 0.0f},   // no number reads as 0
        {"a:1,5:2", 1, 1.5f}, // the first colon counts
        {"no colon", 0, 0.0f},
        {"x:" + std::string(200, '9'), 0, 0.0f}, // cut to 99 characters: beyond the float range
    };
    for (const auto &c : floats) {
        float value = -999.0f;
        EXPECT_EQ(ParseFloatAfterColon(c.text.c_str(), &value), c.ok) << "'" << c.text << "'";
        if (c.ok) {
            EXPECT_FLOAT_EQ(value, c.value) << "'" << c.text << "'";
        }
    }
}

} // namespace
