// Read and write telegrams: exact payload bytes (the common forms are checked on the wire in StationTest).
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "support/Support.h"

using rw_test::GateRig;

namespace {

const uint32_t kExt37 = (3u << 16) | 7u; // written 3.7

std::string InternalError(const char *command, const char *module, int line)
{
    return trs_test::Format("TRSLNK> %s() illegal memory type, internal error file "
                            "D:\\Developpement\\drivers\\wit\\WIT\\Modules\\%s line %d, gate 'TEST'",
                            command, module, line);
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
    DriverInstance *instance = nullptr;
};

TEST_F(BuildTest, ReadPayloads)
{
    const struct {
        const char *what;
        uint32_t station, memoryType, address, blockLength;
        std::string payload;
        uint32_t commandStart;
    } cases[] = {
        {"named AI", 1, MT_AI, 12, 1, "PLC1\tVAR?\tAI12\t1\t", 5},
        {"unnamed AI", 2, MT_AI, 12, 1, "VAR?\tAI12\t1\t", 0},
        {"extension", 1, MT_DI, kExt37, 1, "PLC1\tVAR?\tDI3.7\t1\t", 5},
        {"below 65536 plain", 1, MT_DI, 65535, 4, "PLC1\tVAR?\tDI65535\t4\t", 5},
        {"digital resources", 2, MT_RD, 9, 1, "ETAT?\t9\t1\t", 0},
        {"bit TB", 1, MT_TB, 99, 7, "PLC1\tVAR?\tTB\t", 5},
        {"bit TS", 2, MT_TS, 0, 1, "VAR?\tTS\t", 0},
        {"time", 2, MT_TM, 2, 1, "TIME?\t", 0},
        {"longest name", 3, MT_WX, kExt37, 65535, std::string(64, 'N') + "\tVAR?\tWX3.7\t65535\t", 65},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        GateRig gate(instance, c.memoryType, GATE_TYPE_U16, c.address, c.blockLength, c.station);
        uint32_t commandStart = 999;
        EXPECT_EQ(BuildReadRequest(&gate.request, instance->txBuffer, &commandStart), 0u);
        EXPECT_EQ(rw_test::TxText(instance), c.payload);
        EXPECT_EQ(commandStart, c.commandStart);
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
    for (uint32_t type : {MT_HS, MT_EC, MT_JR, MT_AA, MT_MC, MT_START_DATE}) {
        trs_test::ClearLog();
        GateRig gate(instance, type, GATE_TYPE_U16, 1, 1, 1);
        uint32_t commandStart = 0;
        EXPECT_EQ(BuildReadRequest(&gate.request, instance->txBuffer, &commandStart), 1u) << type;
        EXPECT_EQ(trs_test::Count(32, InternalError("DoRead", "WITREAD", 211)), 1u) << trs_test::Dump();
    }
}

using Setter = std::function<void(GateRig &)>;
Setter U16(uint16_t v)
{
    return [=](GateRig &g) { g.SetU16(v); };
}
Setter F(float v)
{
    return [=](GateRig &g) { g.SetFloat(v); };
}
Setter T(const std::string &v)
{
    return [=](GateRig &g) { g.SetText(v); };
}

TEST_F(BuildTest, WritePayloads)
{
    const struct {
        const char *what;
        uint32_t station, memoryType, gateType, address;
        Setter set;
        std::string payload;
    } cases[] = {
        {"unsigned 65535", 1, MT_AI, GATE_TYPE_U16, 5, U16(65535), "PLC1\tVAR!\tAI5\t65535\t"},
        {"digital gate unsigned", 2, MT_DO, GATE_TYPE_DIGITAL, 1, U16(1), "VAR!\tDO1\t1\t"},
        {"signed minimum", 1, MT_WR, GATE_TYPE_S16, 1, U16(0x8000), "PLC1\tVAR!\tWR1\t-32768\t"},
        {"float-typed VAR is signed", 1, MT_VE, GATE_TYPE_FLOAT, 1, U16(0xFFFE), "PLC1\tVAR!\tVE1\t-2\t"},
        {"integer with extension", 1, MT_BX, GATE_TYPE_U16, kExt37, U16(42), "PLC1\tVAR!\tBX3.7\t42\t"},
        {"digital RA unsigned", 1, MT_RA, GATE_TYPE_DIGITAL, 7, U16(65535), "PLC1\tETAT!\t7\t65535\t"},
        {"negative float", 1, MT_FR, GATE_TYPE_FLOAT, 2, F(-0.125f), "PLC1\tVAR!\tFR2\t-0,125000\t"},
        {"float with extension keeps its point", 1, MT_FR, GATE_TYPE_FLOAT, kExt37, F(3.25f),
         "PLC1\tVAR!\tFR3.7\t3,250000\t"},
        {"text cut to 16", 1, MT_SX, GATE_TYPE_TEXT, 2, T("ABCDEFGHIJKLMNOPQRST"), "PLC1\tVAR!\tSX2\t\"ABCDEFGHIJKLMNOP\"\t"},
        {"empty text", 2, MT_SR, GATE_TYPE_TEXT, 1, T(""), "VAR!\tSR1\t\"                \"\t"},
        {"full text area without terminator", 1, MT_SR, GATE_TYPE_TEXT, 1, T(std::string(500, 'Q')),
         "PLC1\tVAR!\tSR1\t\"" + std::string(16, 'Q') + "\"\t"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        GateRig gate(instance, c.memoryType, c.gateType, c.address, 0, c.station);
        c.set(gate);
        EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 0u);
        EXPECT_EQ(rw_test::TxText(instance), c.payload);
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();

    // The widest float a gate can hold, behind the longest station name, still fits.
    GateRig gate(instance, MT_FR, GATE_TYPE_FLOAT, (65535u << 16) | 65535u, 0, 3);
    gate.SetFloat(-std::numeric_limits<float>::max());
    EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 0u);
    const std::string tx = rw_test::TxText(instance);
    EXPECT_LE(tx.size(), 254u);
    EXPECT_EQ(tx.rfind(std::string(64, 'N') + "\tVAR!\tFR65535.65535\t-340282346638528859811704183484516925440,000000\t", 0),
              0u);
}

TEST_F(BuildTest, WriteRefusals)
{
    const std::string readOnly = "TRSLNK> DoWrite() no write allowed for TB or TS gates, gate 'TEST'";
    const struct {
        uint32_t memoryType, gateType;
        float f;
        int level;
        std::string line;
    } cases[] = {
        {MT_TB, GATE_TYPE_DIGITAL, 0, 64, readOnly},
        {MT_TS, GATE_TYPE_DIGITAL, 0, 64, readOnly},
        {MT_TM, GATE_TYPE_U16, 0, 32, InternalError("DoWrite", "WITWRITE", 438)}, // the clock has no VAR!
        {MT_HS, GATE_TYPE_U16, 0, 32, InternalError("DoWrite", "WITWRITE", 438)},
        {MT_FR, GATE_TYPE_FLOAT, std::numeric_limits<float>::quiet_NaN(), 32,
         "TRSLNK> DoWrite() value is not a number, gate 'TEST'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.memoryType);
        trs_test::ClearLog();
        GateRig gate(instance, c.memoryType, c.gateType, 1, 0, 1);
        gate.SetFloat(c.f);
        EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 1u);
        EXPECT_EQ(trs_test::Count(c.level, c.line), 1u) << trs_test::Dump();
        EXPECT_EQ(trs_test::Lines().size(), 1u);
    }
}

} // namespace
