// Gate-list files: a good file with every field, and files the runtime must refuse whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "host/Host.h"

namespace {

kiv::Runtime &Rt() { return kiv::Runtime::Get(); }

class GateListTest : public ::testing::Test {
protected:
    void SetUp() override { Rt().Reset(); }
    void TearDown() override
    {
        Rt().Reset();
        std::remove(path_.c_str());
    }

    std::optional<std::vector<uint32_t>> Load(const std::string &text, std::string *error)
    {
        std::ofstream(path_) << text;
        return Rt().LoadGateList(path_, error);
    }

    std::string path_ = testing::TempDir() + "gates_" + std::to_string(getpid()) + ".toml";
};

TEST_F(GateListTest, GoodFileDefinesEveryField)
{
    std::string error;
    auto ids = Load(R"(
# two instances, holes in the ids
[[gate]]
id = 4
name = "Level tank 1"
address = "003AI012"
type = "u16"
drv = 3
source = 1
record = 2
scale = { raw = [0, 4095], eng = [0.0, 250.0] }

[[gate]]
name = "Online"
address = "003M_ONLINE"
type = "digital"
sampling = false

[[gate]]
id = 9
name = "Temperatures"
address = "003FR001"
type = 3
block = 8

[[gate]]
name = "Event text"
address = "003RA001"
type = "text"

[[gate]]
name = "Signed"
address = "003AI013"
type = "s16"
)",
                    &error);
    ASSERT_TRUE(ids) << error;
    // Gates without an id take the free ids that no gate of the file claims.
    EXPECT_EQ(*ids, (std::vector<uint32_t>{4, 0, 9, 1, 2}));

    auto gate = Rt().Gate(4);
    ASSERT_TRUE(gate);
    const kiv::GateSpec &level = gate->spec;
    EXPECT_EQ(std::tie(level.name, level.address, level.type, level.drvNumber, level.sourceKind, level.recordSetting,
                       level.blockLength, level.sampling),
              std::make_tuple("Level tank 1", "003AI012", uint16_t{GATE_TYPE_U16}, uint8_t{3}, uint8_t{1}, 2u, 0u, true));
    double cooked;
    ASSERT_EQ(KivCook(1, 4, 4095u << 16, &cooked), 0);
    EXPECT_DOUBLE_EQ(cooked, 250) << "scale raw 0..4095 to 0..250";
    auto online = Rt().Gate(0);
    EXPECT_EQ(online->spec.type, GATE_TYPE_DIGITAL);
    EXPECT_EQ(online->spec.drvNumber, 1) << "drv defaults to 1";
    EXPECT_FALSE(online->spec.sampling);
    EXPECT_TRUE(online->samplingOff);
    EXPECT_EQ(Rt().Gate(9)->spec.type, GATE_TYPE_FLOAT);
    EXPECT_EQ(Rt().Gate(9)->spec.blockLength, 8u);
    EXPECT_EQ(Rt().Gate(1)->spec.type, GATE_TYPE_TEXT);
    EXPECT_EQ(Rt().Gate(2)->spec.type, GATE_TYPE_S16);
    uint32_t count;
    ASSERT_EQ(KivGetGateCount(1, &count, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(count, 10u);

    // An empty file and the shipped example load too.
    Rt().Reset();
    ids = Load("# nothing yet\n", &error);
    ASSERT_TRUE(ids) << error;
    EXPECT_TRUE(ids->empty());
    ids = Rt().LoadGateList(EXAMPLE_GATES_PATH, &error);
    ASSERT_TRUE(ids) << error;
    EXPECT_FALSE(ids->empty());
}

TEST_F(GateListTest, FaultyFilesAreRefusedWholeWithTheReason)
{
    const std::string good = "[[gate]]\nname = \"ok\"\naddress = \"001AI001\"\ntype = \"u16\"\n";
    struct { const char *what; std::string text, reason; } cases[] = {
        {"bad type name", good + "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = \"double\"\n", "gate 2: 'type' must be"},
        {"bad type number", good + "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 2\n", "gate 2: 'type' must be"},
        {"missing address", good + "[[gate]]\nname = \"x\"\ntype = \"u16\"\n", "gate 2: missing field 'address'"},
        {"missing name", "[[gate]]\naddress = \"a\"\ntype = \"u16\"\n", "gate 1: missing field 'name'"},
        {"missing type", "[[gate]]\nname = \"x\"\naddress = \"a\"\n", "gate 1: missing field 'type'"},
        {"unknown field", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\nsample = true\n", "unknown field 'sample'"},
        {"drv zero", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\ndrv = 0\n", "'drv' must be an integer from 1 to 255"},
        {"drv too big", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\ndrv = 256\n", "'drv' must be"},
        {"negative id", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\nid = -1\n", "'id' must be"},
        {"id as text", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\nid = \"3\"\n", "'id' must be"},
        {"duplicate id", "[[gate]]\nid = 3\nname = \"x\"\naddress = \"a\"\ntype = 0\n[[gate]]\nid = 3\nname = \"y\"\naddress = \"b\"\ntype = 0\n", "gate 2: id 3 is used twice"},
        {"sampling not bool", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\nsampling = 1\n", "'sampling' must be true or false"},
        {"scale one bound", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\nscale = { raw = [0], eng = [0, 1] }\n", "'scale.raw' must be two numbers"},
        {"scale no eng", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\nscale = { raw = [0, 1] }\n", "'scale.eng' must be two numbers"},
        {"scale zero width", "[[gate]]\nname = \"x\"\naddress = \"a\"\ntype = 0\nscale = { raw = [7, 7], eng = [0, 1] }\n", "non-zero width"},
        {"address too long", "[[gate]]\nname = \"x\"\naddress = \"" + std::string(156, 'A') + "\"\ntype = 0\n", "'address' than 156"},
        {"other table", good + "[station]\nx = 1\n", "unknown table 'station'"},
        {"gate not a table array", "gate = 5\n", "'gate' must be an array of tables"},
        {"syntax", "[[gate]\nname = \"x\"\n", " at line 1"},
    };
    for (const auto &c : cases) {
        std::string error;
        auto ids = Load(c.text, &error);
        EXPECT_FALSE(ids) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.rfind(path_ + ": ", 0), 0u) << c.what << ": the error names the file";
        EXPECT_TRUE(Rt().GateIds().empty()) << c.what << ": a refused file adds no gate";
    }
    std::string error;
    EXPECT_FALSE(Rt().LoadGateList(testing::TempDir() + "no-such-gates.toml", &error));
    EXPECT_NE(error.find("no-such-gates.toml: "), std::string::npos) << error;
}

} // namespace
