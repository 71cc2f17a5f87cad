// Request telegrams and reply decoding: exact payload bytes, value-area bytes, results and
// log lines for every layout.
#include <gtest/gtest.h>

#include <limits>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "support/Support.h"

namespace {

using namespace rw_test;
using trs_test::Line;
using Lines = std::vector<Line>;
const uint32_t kExt37 = (3u << 16) | 7u; // written 3.7

std::string Field(const std::string &text) { return std::string(16 - text.size(), ' ') + text; }
std::string Resource(char state, const std::string &text) { return std::string(1, state) + "\t" + Field(text) + "\t"; }
Line Store(int level, const std::string &text) { return {level, "TRSLNK> StoreData() " + text + ", gate 'TEST'"}; }
Line NoValue(const std::string &nth = "") { return Store(64, "error reading " + nth + "data value in reply telegram"); }
Line Length(int level, int got, int wanted)
{
    return Store(level, "illegal reply length (" + std::to_string(got) + " / " + std::to_string(wanted) + ")");
}
Line Analog(const std::string &data) { return Store(64, "error reading data '" + data + "' in reply for analog resource"); }
Line InternalError(const char *command, const char *module, int line)
{
    return {32, trs_test::Format("TRSLNK> %s() illegal memory type, internal error file D:\\Developpement\\drivers\\wit"
                                 "\\WIT\\Modules\\%s line %d, gate 'TEST'", command, module, line)};
}

TEST(StoreData, ValueAreaResultAndLog)
{
    const std::string zero = Field(":0") + "\t", kNoTab = "error, TAB character not found in reply";
    const Line kNoString = {32, "TRSLNK: GetStringValueFromResponse() failed to read string. Tag 'TEST'"};
    const struct { uint32_t memoryType, gateType, address, blockLength; /* blockLength 0: single read */
        std::string reply; uint32_t result; std::string area; /* the value area's first bytes afterwards */ Lines lines; } cases[] = {
        {MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\tA\t" + zero, 0, Word(1), {}},
        {MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\t.\t" + zero, 0, Word(0), {}},
        {MT_RD, GATE_TYPE_DIGITAL, 7, 0, "007\tX\t" + zero, 1, kEE, {Store(64, "illegal data 'X' in reply for digital resource")}},
        {MT_RD, GATE_TYPE_DIGITAL, 7, 0, "008\tA\t" + zero, 1, Word(1), {Store(64, "illegal resource address in reply")}},
        {MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + Field("Temp:12,5") + "\t", 0, F32(12.5f), {}},
        {MT_RA, GATE_TYPE_FLOAT, 7, 0, "007\t.\t" + Field(":9e99") + "\t", 1, kEE,
         {{32, "TRSLNK: StoreData() Tag 'TEST' Invalid data ('007\t.\t" + Field(":9e99") + "\t') for 'Float' Resource"}}},
        {MT_RA, GATE_TYPE_S16, 7, 3, "007\t" + Resource('.', "Temp:12,5") + Resource('A', ":-7") + Resource('.', "x:  300"),
         0, I32(125) + I32(-7) + I32(300), {}},
        {MT_RA, GATE_TYPE_S16, 7, 3, ("007\t" + Resource('.', ":1") + Resource('.', ":2") + Resource('.', ":3")).substr(0, 60),
         1, I32(1) + I32(2) + I32(3), {Length(8, 60, 61)}},
        {MT_RA, GATE_TYPE_S16, 7, 1, "007\t.\t" + Field(":5").substr(1) + "\t", 1, kEE,
         {Length(8, 22, 23), Analog(Field(":5").substr(1) + "\t")}},
        {MT_RA, GATE_TYPE_S16, 7, 3, "007\t" + Resource('.', ":1") + Resource('.', "no colon here") + Resource('.', ":3"), 1,
         I32(1) + kEE + I32(3), {Analog(Field("no colon here"))}},
        {MT_RD, GATE_TYPE_DIGITAL, 7, 3, "007\t" + Resource('A', ":0") + Resource('?', ":0") + Resource('.', ":0"), 1,
         U16(1) + "\xEE\xEE" + U16(0), {Store(64, "illegal 1th data '?' in reply for digital resource")}},
        {MT_RD, GATE_TYPE_DIGITAL, 7, 200, "007\t" + Resource('A', ":0"), 1, U16(1) + "\xEE\xEE",
         {Length(8, 23, 3804), Store(64, "illegal 1th data ' ' in reply for digital resource")}},
        {MT_AI, GATE_TYPE_S16, 12, 0, "AI12\t-5\t", 0, Word(0xFFFB), {}},
        {MT_AI, GATE_TYPE_U16, 12, 0, "AI12\t70000\t", 0, Word(70000 - 65536), {}},
        {MT_AI, GATE_TYPE_S16, 12, 0, "AI12", 1, kEE, {Store(64, kNoTab)}},
        {MT_ST, GATE_TYPE_U16, 3, 0, "ST3\t#\t", 0, Word(0), {}},
        {MT_AI, GATE_TYPE_U16, 3, 0, "AI3\t#\t", 1, kEE, {NoValue()}},
        {MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\tx\t3\t", 1, U16(1) + "\xEE\xEE" + U16(3), {NoValue("2th ")}},
        {MT_WR, GATE_TYPE_S16, 1, 3, "WR1\t1\t2", 1, U16(1) + U16(2) + "\xEE\xEE", {Store(64, kNoTab)}},
        {MT_FX, GATE_TYPE_FLOAT, 1, 2, "FX1\t1,5\t-2.25\t", 0, F32(1.5f) + F32(-2.25f), {}},
        {MT_FR, GATE_TYPE_FLOAT, 1, 2, "FR1\t1\tnope\t", 1, F32(1) + kEE, {NoValue("2th ")}},
        {MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TB\t1\t\t", 1, Word(1), {Length(32, 6, 5)}},
        {MT_TB, GATE_TYPE_DIGITAL, 0, 0, "TS\t0\t", 1, Word(0), {Store(64, "illegal reply, no 'TB' in answer")}},
        {MT_TM, GATE_TYPE_U16, 2, 0, "09:05:07\t", 0, Word(7), {}},
        {MT_TM, GATE_TYPE_U16, 1, 0, "09:05:07", 1, Word(5), {Length(64, 8, 9)}},
        {MT_DT, GATE_TYPE_U16, 0, 5, "05/12/03\t", 1, U16(5) + U16(12) + U16(3) + "\xEE\xEE", {NoValue("4th ")}},
        {MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t\"ABC\"\t", 0, std::string("ABC\0", 4), {}},
        {MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\tABC", 1, kEE, {kNoString}},
        {MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t" + std::string(499, 'y') + "\t", 1, kEE, {kNoString}},
        {MT_SR, GATE_TYPE_TEXT, 1, 0, "SR1\t" + std::string(498, 'y') + "\t", 0, std::string(498, 'y') + '\0', {}},
        {MT_HS, GATE_TYPE_U16, 1, 0, "HS\t1\t", 1, kEE, {{32, "TRSLNK> StoreData() invalid memory type, Tag 'TEST'"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        GateRig gate(nullptr, c.memoryType, c.gateType, c.address, c.blockLength);
        gate.gate.blockLength = std::max(c.blockLength, 1u); // a host reads a single gate with a block length of 1
        std::string reply = c.reply;
        trs_test::ClearLog();
        EXPECT_EQ(StoreData(&gate.request, reply.data(), c.blockLength > 0 ? FN_BLOCK_READ : FN_SINGLE_READ), c.result);
        EXPECT_EQ(gate.Area(c.area.size()), c.area);
        EXPECT_TRUE(gate.GuardIntact()) << "written past the value area";
        EXPECT_EQ(trs_test::Logged(), c.lines);
    }
    int32_t analog = -999;
    EXPECT_EQ(ParseAnalogField((Field("a:b:7") + "\ttrailing").c_str(), &analog), 1u); // the last colon counts
    EXPECT_EQ(analog, 7);
    EXPECT_EQ(ParseAnalogField((Field(":5") + "x").c_str(), &analog), 0u); // 17 characters
    float value = -999.0f;
    EXPECT_EQ(ParseFloatAfterColon("a:1,5:2", &value), 1u); // the first colon counts
    EXPECT_EQ(value, 1.5f);
    EXPECT_EQ(ParseFloatAfterColon(("x:" + std::string(200, '9')).c_str(), &value), 0u); // beyond the float range
}

class BuildTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        instance = trs_test::NewInstance(61);
        trs_test::AddStation(instance, 1, "PLC1", "1234");
        trs_test::AddStation(instance, 2, "", "1234");
        trs_test::AddStation(instance, 3, std::string(64, 'N').c_str(), "1234");
        trs_test::ClearLog();
    }
    void TearDown() override { trs_test::FreeInstance(instance); }
    std::string Tx() const { return std::string(instance->txBuffer, strnlen(instance->txBuffer, TX_BUFFER_SIZE)); }
    DriverInstance *instance = nullptr;
};

TEST_F(BuildTest, ReadPayloads)
{
    const struct { uint32_t station, memoryType, address, blockLength; std::string payload; uint32_t commandStart; } cases[] = {
        {2, MT_AI, 12, 1, "VAR?\tAI12\t1\t", 0},           {1, MT_DI, kExt37, 1, "PLC1\tVAR?\tDI3.7\t1\t", 5},
        {2, MT_RD, 9, 1, "ETAT?\t9\t1\t", 0},
        {1, MT_TB, 99, 7, "PLC1\tVAR?\tTB\t", 5},          {2, MT_TM, 2, 1, "TIME?\t", 0},
        {3, MT_WX, kExt37, 65535, std::string(64, 'N') + "\tVAR?\tWX3.7\t65535\t", 65},
    };
    for (const auto &c : cases) {
        GateRig gate(instance, c.memoryType, GATE_TYPE_U16, c.address, c.blockLength, c.station);
        uint32_t commandStart = 999;
        EXPECT_EQ(BuildReadRequest(&gate.request, instance->txBuffer, &commandStart), 0u);
        EXPECT_EQ(Tx(), c.payload);
        EXPECT_EQ(commandStart, c.commandStart) << c.payload;
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
    GateRig gate(instance, MT_HS, GATE_TYPE_U16, 1, 1, 1); // a gate that the driver serves without a telegram
    uint32_t commandStart = 0;
    EXPECT_EQ(BuildReadRequest(&gate.request, instance->txBuffer, &commandStart), 1u);
    EXPECT_EQ(trs_test::Logged(), Lines{InternalError("DoRead", "WITREAD", 211)});
}

TEST_F(BuildTest, WritePayloads)
{
    const struct { uint32_t station, memoryType, gateType, address; std::string value, payload; } cases[] = {
        {1, MT_AI, GATE_TYPE_U16, 5, Word(65535), "PLC1\tVAR!\tAI5\t65535\t"},
        {1, MT_WR, GATE_TYPE_S16, 1, Word(0x8000), "PLC1\tVAR!\tWR1\t-32768\t"},
        {1, MT_VE, GATE_TYPE_FLOAT, 1, Word(0xFFFE), "PLC1\tVAR!\tVE1\t-2\t"}, // a float-typed VAR is signed
        {1, MT_RA, GATE_TYPE_DIGITAL, 7, Word(65535), "PLC1\tETAT!\t7\t65535\t"},
        {1, MT_FR, GATE_TYPE_FLOAT, kExt37, F32(-0.125f), "PLC1\tVAR!\tFR3.7\t-0,125000\t"},
        {1, MT_SX, GATE_TYPE_TEXT, 2, "ABCDEFGHIJKLMNOPQRST", "PLC1\tVAR!\tSX2\t\"ABCDEFGHIJKLMNOP\"\t"},
        {2, MT_SR, GATE_TYPE_TEXT, 1, "", "VAR!\tSR1\t\"                \"\t"},
        {1, MT_SR, GATE_TYPE_TEXT, 1, std::string(500, 'Q'), "PLC1\tVAR!\tSR1\t\"" + std::string(16, 'Q') + "\"\t"},
        // The widest float a gate can hold, behind the longest station name, still fits.
        {3, MT_FR, GATE_TYPE_FLOAT, 0xFFFFFFFFu, F32(-std::numeric_limits<float>::max()),
         std::string(64, 'N') + "\tVAR!\tFR65535.65535\t-340282346638528859811704183484516925440,000000\t"},
    };
    for (const auto &c : cases) {
        GateRig gate(instance, c.memoryType, c.gateType, c.address, 0, c.station);
        c.gateType == GATE_TYPE_TEXT ? gate.SetText(c.value) : gate.Set(c.value);
        EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 0u);
        EXPECT_EQ(Tx(), c.payload);
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
    const struct { uint32_t memoryType; float value; Line line; } refused[] = {
        {MT_TS, 0, {64, "TRSLNK> DoWrite() no write allowed for TB or TS gates, gate 'TEST'"}},
        {MT_TM, 0, InternalError("DoWrite", "WITWRITE", 438)}, // the clock has no VAR!
        {MT_FR, std::numeric_limits<float>::quiet_NaN(), {32, "TRSLNK> DoWrite() value is not a number, gate 'TEST'"}},
    };
    for (const auto &c : refused) {
        trs_test::ClearLog();
        GateRig gate(instance, c.memoryType, GATE_TYPE_FLOAT, 1, 0, 1);
        gate.Set(F32(c.value));
        EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 1u);
        EXPECT_EQ(trs_test::Logged(), Lines{c.line});
    }
}

} // namespace
