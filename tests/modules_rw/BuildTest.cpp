// Read and write telegrams: exact payload bytes for every memory type and value form.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "GateRig.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "support/Support.h"

using rw_test::GateRig;

namespace {

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

struct ReadBuild {
    const char *what;
    uint32_t station, memoryType, address, blockLength;
    std::string payload; // "" = refused
    uint32_t commandStart;
};

TEST_F(BuildTest, ReadPayloads)
{
    const uint32_t ext37 = (3u << 16) | 7u;
    const ReadBuild cases[] = {
        {"named AI", 1, MT_AI, 12, 1, "PLC1\tVAR?\tAI12\t1\t", 5},
        {"unnamed AI", 2, MT_AI, 12, 1, "VAR?\tAI12\t1\t", 0},
        {"extension", 1, MT_DI, ext37, 1, "PLC1\tVAR?\tDI3.7\t1\t", 5},
        {"below 65536 plain", 1, MT_DI, 65535, 4, "PLC1\tVAR?\tDI65535\t4\t", 5},
        {"resource states", 1, MT_RA, 5, 3, "PLC1\tETAT?\t5\t3\t", 5},
        {"digital resources", 2, MT_RD, 9, 1, "ETAT?\t9\t1\t", 0},
        {"float variable", 1, MT_FR, 2, 1, "PLC1\tVAR?\tFR2\t1\t", 5},
        {"text variable", 1, MT_SX, 4, 1, "PLC1\tVAR?\tSX4\t1\t", 5},
        {"bit TB", 1, MT_TB, 99, 7, "PLC1\tVAR?\tTB\t", 5},
        {"bit TS", 2, MT_TS, 0, 1, "VAR?\tTS\t", 0},
        {"date", 1, MT_DT, 0, 1, "PLC1\tDATE?\t", 5},
        {"time", 2, MT_TM, 2, 1, "TIME?\t", 0},
        {"longest name", 3, MT_WX, ext37, 65535, std::string(64, 'N') + "\tVAR?\tWX3.7\t65535\t", 65},
    };
    for (const ReadBuild &c : cases) {
        GateRig gate(instance, c.memoryType, GATE_TYPE_U16, c.address, c.blockLength, c.station);
        uint32_t commandStart = 999;
        EXPECT_EQ(BuildReadRequest(&gate.request, instance->txBuffer, &commandStart), 0u) << c.what;
        EXPECT_EQ(rw_test::TxText(instance), c.payload) << c.what;
        EXPECT_EQ(commandStart, c.commandStart) << c.what;
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
}

TEST_F(BuildTest, ReadRefusesTypesWithoutReadCommand)
{
    for (uint32_t type : {MT_HS, MT_EC, MT_JR, MT_AA, MT_MC, MT_START_DATE}) {
        trs_test::ClearLog();
        GateRig gate(instance, type, GATE_TYPE_U16, 1, 1, 1);
        uint32_t commandStart = 0;
        EXPECT_EQ(BuildReadRequest(&gate.request, instance->txBuffer, &commandStart), 1u);
        EXPECT_EQ(trs_test::Count(32, "TRSLNK> DoRead() illegal memory type, internal error file "
                                      "D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITREAD line 211, gate 'TEST'"),
                  1u)
            << trs_test::Dump();
    }
}

struct WriteBuild {
    const char *what;
    uint32_t station, memoryType, gateType, address;
    enum { U16, FLOAT, TEXT } kind;
    uint16_t u16;
    float f;
    std::string text;
    std::string payload;
};

TEST_F(BuildTest, WritePayloads)
{
    const uint32_t ext37 = (3u << 16) | 7u;
    const WriteBuild cases[] = {
        {"signed -1", 1, MT_AI, GATE_TYPE_S16, 5, WriteBuild::U16, 65535, 0, "", "PLC1\tVAR!\tAI5\t-1\t"},
        {"unsigned 65535", 1, MT_AI, GATE_TYPE_U16, 5, WriteBuild::U16, 65535, 0, "", "PLC1\tVAR!\tAI5\t65535\t"},
        {"digital gate unsigned", 2, MT_DO, GATE_TYPE_DIGITAL, 1, WriteBuild::U16, 1, 0, "", "VAR!\tDO1\t1\t"},
        {"signed minimum", 1, MT_WR, GATE_TYPE_S16, 1, WriteBuild::U16, 0x8000, 0, "", "PLC1\tVAR!\tWR1\t-32768\t"},
        {"float-typed VAR is signed", 1, MT_VE, GATE_TYPE_FLOAT, 1, WriteBuild::U16, 0xFFFE, 0, "",
         "PLC1\tVAR!\tVE1\t-2\t"},
        {"integer with extension", 1, MT_BX, GATE_TYPE_U16, ext37, WriteBuild::U16, 42, 0, "", "PLC1\tVAR!\tBX3.7\t42\t"},
        {"digital resource", 1, MT_RD, GATE_TYPE_DIGITAL, 7, WriteBuild::U16, 1, 0, "", "PLC1\tETAT!\t7\t1\t"},
        {"digital RA unsigned", 1, MT_RA, GATE_TYPE_DIGITAL, 7, WriteBuild::U16, 65535, 0, "", "PLC1\tETAT!\t7\t65535\t"},
        {"analog resource as number", 1, MT_RA, GATE_TYPE_FLOAT, 12, WriteBuild::FLOAT, 0, 12.5f, "",
         "PLC1\tETAT!\t12\t12,500000\t"},
        {"float 1.5", 1, MT_FR, GATE_TYPE_FLOAT, 2, WriteBuild::FLOAT, 0, 1.5f, "", "PLC1\tVAR!\tFR2\t1,500000\t"},
        {"float 2.5 unnamed", 2, MT_FX, GATE_TYPE_FLOAT, 1, WriteBuild::FLOAT, 0, 2.5f, "", "VAR!\tFX1\t2,500000\t"},
        {"negative float", 1, MT_FR, GATE_TYPE_FLOAT, 2, WriteBuild::FLOAT, 0, -0.125f, "", "PLC1\tVAR!\tFR2\t-0,125000\t"},
        {"float with extension keeps its point", 1, MT_FR, GATE_TYPE_FLOAT, ext37, WriteBuild::FLOAT, 0, 3.25f, "",
         "PLC1\tVAR!\tFR3.7\t3,250000\t"},
        {"text padded", 1, MT_SR, GATE_TYPE_TEXT, 1, WriteBuild::TEXT, 0, 0, "AB",
         "PLC1\tVAR!\tSR1\t\"AB              \"\t"},
        {"text cut to 16", 1, MT_SX, GATE_TYPE_TEXT, 2, WriteBuild::TEXT, 0, 0, "ABCDEFGHIJKLMNOPQRST",
         "PLC1\tVAR!\tSX2\t\"ABCDEFGHIJKLMNOP\"\t"},
        {"empty text", 2, MT_SR, GATE_TYPE_TEXT, 1, WriteBuild::TEXT, 0, 0, "", "VAR!\tSR1\t\"                \"\t"},
    };
    for (const WriteBuild &c : cases) {
        GateRig gate(instance, c.memoryType, c.gateType, c.address, 0, c.station);
        if (c.kind == WriteBuild::U16)
            gate.SetU16(c.u16);
        else if (c.kind == WriteBuild::FLOAT)
            gate.SetFloat(c.f);
        else
            gate.SetText(c.text);
        EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 0u) << c.what;
        EXPECT_EQ(rw_test::TxText(instance), c.payload) << c.what;
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
}

TEST_F(BuildTest, WriteTextAreaWithoutTerminator)
{
    // A full area of 500 characters and no NUL: only the first 16 are read.
    GateRig gate(instance, MT_SR, GATE_TYPE_TEXT, 1, 0, 1);
    gate.Fill('Q');
    EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 0u);
    EXPECT_EQ(rw_test::TxText(instance), "PLC1\tVAR!\tSR1\t\"" + std::string(16, 'Q') + "\"\t");
}

struct WriteRefusal {
    const char *what;
    uint32_t memoryType, gateType;
    float f;
    int level;
    std::string line;
};

TEST_F(BuildTest, WriteRefusals)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const WriteRefusal cases[] = {
        {"TB is read-only", MT_TB, GATE_TYPE_DIGITAL, 0, 64,
         "TRSLNK> DoWrite() no write allowed for TB or TS gates, gate 'TEST'"},
        {"TS is read-only", MT_TS, GATE_TYPE_DIGITAL, 0, 64,
         "TRSLNK> DoWrite() no write allowed for TB or TS gates, gate 'TEST'"},
        {"clock has no VAR!", MT_TM, GATE_TYPE_U16, 0, 32,
         "TRSLNK> DoWrite() illegal memory type, internal error file "
         "D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITWRITE line 438, gate 'TEST'"},
        {"command gate", MT_HS, GATE_TYPE_U16, 0, 32,
         "TRSLNK> DoWrite() illegal memory type, internal error file "
         "D:\\Developpement\\drivers\\wit\\WIT\\Modules\\WITWRITE line 438, gate 'TEST'"},
        {"float not a number", MT_FR, GATE_TYPE_FLOAT, nan, 32, "TRSLNK> DoWrite() value is not a number, gate 'TEST'"},
    };
    for (const WriteRefusal &c : cases) {
        trs_test::ClearLog();
        GateRig gate(instance, c.memoryType, c.gateType, 1, 0, 1);
        gate.SetFloat(c.f);
        EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 1u) << c.what;
        EXPECT_EQ(trs_test::Count(c.level, c.line), 1u) << c.what << "\n" << trs_test::Dump();
        EXPECT_EQ(trs_test::Lines().size(), 1u) << c.what;
    }
}

TEST_F(BuildTest, HugeFloatStillFitsTheTelegram)
{
    // The widest float a gate can hold, behind the longest station name.
    GateRig gate(instance, MT_FR, GATE_TYPE_FLOAT, (65535u << 16) | 65535u, 0, 3);
    gate.SetFloat(-std::numeric_limits<float>::max());
    EXPECT_EQ(BuildWriteRequest(&gate.request, FN_SINGLE_WRITE), 0u);
    const std::string tx = rw_test::TxText(instance);
    EXPECT_LE(tx.size(), 254u);
    EXPECT_EQ(tx.rfind(std::string(64, 'N') + "\tVAR!\tFR65535.65535\t-340282346638528859811704183484516925440,000000\t", 0), 0u);
}

} // namespace
