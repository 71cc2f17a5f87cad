// The host runtime's contract with the driver: status codes, the gate definition record,
// cooking, bounded log and values, clients.
#include <gtest/gtest.h>

#include <cstring>

#include "host/Host.h"

namespace {

kiv::Runtime &Rt() { return kiv::Runtime::Get(); }

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { Rt().Reset(); }
    static uint32_t Add(const std::string &address, uint16_t type, std::optional<kiv::Scaling> scaling = {})
    {
        return Rt().AddGate({.id = {}, .name = "G_" + address, .address = address, .type = type, .scaling = scaling});
    }
};

TEST_F(RuntimeTest, GateDefinitionRecordAndStatusCodes)
{
    Rt().AddGate({.id = 4, .name = std::string(300, 'N'), .address = std::string(300, 'A'), .type = GATE_TYPE_FLOAT,
                  .drvNumber = 3, .recordSetting = 0x01020304, .scaling = {}});
    std::vector<unsigned char> expected(KIV_GATEDEF_SIZE, 0), def(KIV_GATEDEF_SIZE + 8, 0xCC);
    memset(&expected[0], 'N', 95);
    memcpy(&expected[96], "\x04\x03\x02\x01", 4);
    expected[164] = 1; // source kind
    expected[166] = 3; // type
    expected[168] = 2; // drv number 3 - 1
    memset(&expected[172], 'A', 155);
    ASSERT_EQ(KivGetGateDef(1, 4, def.data()), 0);
    EXPECT_EQ(std::vector<unsigned char>(def.begin(), def.begin() + KIV_GATEDEF_SIZE), expected);
    EXPECT_EQ(def[KIV_GATEDEF_SIZE], 0xCC) << "wrote past the record";
    uint32_t count = 0, id = 0;
    ASSERT_EQ(KivGetGateCount(1, &count, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(count, 5u) << "the highest id + 1";
    EXPECT_EQ(KivGetGateDef(1, 3, def.data()), 48) << "a hole";
    EXPECT_EQ(KivGetGateIdByAddressStr(1, 3, std::string(300, 'a').c_str(), &id), 0) << "address compared caselessly";
    EXPECT_EQ(id, 4u);
    EXPECT_EQ(KivGetGateIdByAddressStr(1, 1, std::string(300, 'A').c_str(), &id), 5) << "another drv number";
    memset(def.data() + 96, 0, 4);
    ASSERT_EQ(KivChangeGateDef(1, 4, def.data()), 0);
    EXPECT_EQ(Rt().Gate(4)->spec.recordSetting, 0u);
    EXPECT_EQ(KivChangeGateDef(1, 5, def.data()) + KivSetGateFlag(1, 77, 16, 0), 2 * 48);
}

TEST_F(RuntimeTest, CookPutAndGet)
{
    float f = -273.25f;
    uint32_t floatBits;
    memcpy(&floatBits, &f, 4);
    using S = kiv::Scaling;
    const struct { uint16_t type; std::optional<S> scaling; uint32_t raw; uint16_t status; double cooked; } cases[] = {
        {GATE_TYPE_U16, {}, 0xFFFF1234u, 0, 65535}, {GATE_TYPE_S16, {}, 0x80000000u, 0, -32768},
        {GATE_TYPE_FLOAT, {}, floatBits, 0, -273.25},
        {GATE_TYPE_S16, S{-1000, 1000, 0, 10}, 0xFF9C0000u /* -100 */, 0, 4.5},
        {GATE_TYPE_U16, S{5, 5, 0, 1}, 5u << 16, 1, 0}, {GATE_TYPE_TEXT, {}, 0x00410000u, 8, 0},
    };
    for (const auto &c : cases) {
        double cooked = 12345;
        EXPECT_EQ(KivCook(1, Add("001AI001", c.type, c.scaling), c.raw, &cooked), c.status) << c.raw;
        EXPECT_DOUBLE_EQ(cooked, c.cooked) << c.raw;
    }
    const uint32_t number = Add("001AI002", GATE_TYPE_FLOAT), text = Add("001ST001", GATE_TYPE_TEXT);
    EXPECT_EQ(KivPutGateVal(1, number, 2, 21.5, 1700000000u, 0), 0);
    EXPECT_EQ(KivPutGateVal(1, text, 2, 1, 1, 0), 8);
    EXPECT_EQ(KivPutGateVal(1, 99, 2, 1, 1, 0), 48);
    EXPECT_EQ(KivPutGateStr(1, text, 2, std::string(600, 'T').c_str(), 1700000002u, 0), 0);
    EXPECT_EQ(KivPutGateStr(1, number, 2, "1", 1, 0), 8);
    double value = 0;
    EXPECT_EQ(KivGetGateVal(1, 0, number, &value, 0, 0), 0);
    EXPECT_EQ(value, 21.5);
    char buffer[KIV_GATESTR_SIZE + 4];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(KivGetGateStr(1, 0, text, buffer, 0, 0), 0);
    EXPECT_EQ(std::string(buffer), std::string(99, 'T'));
    EXPECT_EQ(buffer[KIV_GATESTR_SIZE], 'Z');
    EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, number, &value, 0, 0), 6) << "no driver serves drv number 1";
    Rt().InjectFailure(kiv::Call::PutGateVal, number, 4);
    EXPECT_EQ(KivPutGateVal(1, number, 2, 1, 1, 0), 4);
    EXPECT_EQ(Rt().Gate(number)->history.size(), 1u) << "a failed put stores nothing";
}

TEST_F(RuntimeTest, LogAndClients)
{
    KivErr(32, "%s", std::string(70000, 'x').c_str());
    KivErr(32, "TRSLNK%02u %s", 3u, "up");
    ASSERT_EQ(Rt().Log().size(), 2u);
    EXPECT_EQ(Rt().Log()[0].text.size(), 65535u);
    EXPECT_EQ(Rt().Log()[1].text, "TRSLNK03 up");
    // A host that only subscribes keeps fewer lines, or none, and still hears every one.
    std::vector<std::string> heard;
    const int subscription = Rt().Subscribe([&](const kiv::LogLine &line) { heard.push_back(line.text); });
    Rt().SetLogKept(1);
    ASSERT_EQ(Rt().Log().size(), 1u);
    KivErr(64, "third");
    ASSERT_EQ(Rt().Log().size(), 1u);
    EXPECT_EQ(Rt().Log()[0].text, "third");
    Rt().SetLogKept(0);
    KivErr(64, "fourth");
    EXPECT_TRUE(Rt().Log().empty());
    Rt().Unsubscribe(subscription);
    EXPECT_EQ(heard, (std::vector<std::string>{"third", "fourth"}));
    uint8_t id = 0;
    for (unsigned expected = 1; expected <= 255; expected++)
        ASSERT_EQ(KivMkClient("WIT", 1, 0, &id) + id, expected);
    EXPECT_EQ(KivMkClient("one too many", 1, 0, &id), 2);
    EXPECT_EQ(KivRmClient(7), 0);
    EXPECT_EQ(KivRmClient(7), 1);
    unsigned char message[KIV_MESSAGE_SIZE];
    EXPECT_EQ(KivWaitMsg(7, message, 1), 0) << "a removed client's wait ends";
}

} // namespace
