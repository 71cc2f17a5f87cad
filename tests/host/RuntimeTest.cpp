// The runtime's C calls and API: log, clients, gates, cooking, values, alerts, failures, threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "host/Host.h"

namespace {

kiv::Runtime &Rt() { return kiv::Runtime::Get(); }

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { Rt().Reset(); }
    void TearDown() override { Rt().Reset(); }

    static uint32_t Add(const std::string &address, uint16_t type, std::optional<uint32_t> id = std::nullopt,
                        uint8_t drv = 1, std::optional<kiv::Scaling> scaling = std::nullopt)
    {
        kiv::GateSpec spec;
        spec.id = id;
        spec.name = "G_" + address;
        spec.address = address;
        spec.type = type;
        spec.drvNumber = drv;
        spec.scaling = scaling;
        return Rt().AddGate(spec);
    }
    static std::vector<std::string> LogTexts()
    {
        std::vector<std::string> texts;
        for (const auto &line : Rt().Log())
            texts.push_back(std::to_string(line.level) + " " + line.text);
        return texts;
    }
};

// ---- log

TEST_F(RuntimeTest, LogFormatsKeepsLevelsAndFeedsSubscribersUntilUnsubscribed)
{
    std::vector<std::string> seen;
    int first = Rt().Subscribe([&](const kiv::LogLine &line) { seen.push_back(line.text); });
    // A subscriber that logs from its callback must not block the runtime.
    int echo = Rt().Subscribe([](const kiv::LogLine &line) {
        if (line.level == 32)
            KivErr(64, "echo %s", line.text.c_str());
    });
    KivErr(32, "TRSLNK> %s() rc = %d", "DoRead", 2);
    Rt().Unsubscribe(first);
    KivErr(32, "TRSLNK%02u %s", 3u, "up");
    Rt().Unsubscribe(echo);
    KivErr(32, "%s", "");
    EXPECT_EQ(seen, (std::vector<std::string>{"TRSLNK> DoRead() rc = 2", "echo TRSLNK> DoRead() rc = 2"}));
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{"32 TRSLNK> DoRead() rc = 2", "64 echo TRSLNK> DoRead() rc = 2",
                                                    "32 TRSLNK03 up", "64 echo TRSLNK03 up", "32 "}));
    Rt().ClearLog();
    EXPECT_TRUE(Rt().Log().empty());
}

TEST_F(RuntimeTest, LogBoundsLineLengthAndLineCount)
{
    for (size_t length : {1023, 1024, 65535, 65536, 200000}) {
        SCOPED_TRACE(length);
        Rt().ClearLog();
        std::string text(length, 'x');
        text[0] = 'A';
        KivErr(32, "%s", text.c_str());
        ASSERT_EQ(Rt().Log().size(), 1u);
        EXPECT_EQ(Rt().Log()[0].text, text.substr(0, 65535));
    }
    Rt().ClearLog();
    for (int i = 0; i < 100002; i++)
        KivErr(0, "line %d", i);
    auto log = Rt().Log();
    ASSERT_EQ(log.size(), 100000u);
    EXPECT_EQ(log.front().text, "line 2");
    EXPECT_EQ(log.back().text, "line 100001");
}

TEST_F(RuntimeTest, UnsubscribeWaitsForACallbackRunningOnAnotherThread)
{
    std::promise<void> entered, release;
    std::atomic<bool> finished{false};
    int id = Rt().Subscribe([&](const kiv::LogLine &) {
        entered.set_value();
        release.get_future().wait();
        finished = true;
    });
    std::thread logger([] { KivErr(32, "from another thread"); });
    entered.get_future().wait();
    std::thread unsubscriber([&] {
        Rt().Unsubscribe(id);
        EXPECT_TRUE(finished) << "what the callback captured may go away now";
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let Unsubscribe start waiting
    release.set_value();
    unsubscriber.join();
    logger.join();
}

TEST_F(RuntimeTest, PrintsLinesAtOrBelowTheThresholdToTheLogFile)
{
    std::string path = testing::TempDir() + "host_log_" + std::to_string(getpid()) + ".txt";
    std::remove(path.c_str());
    ASSERT_TRUE(Rt().SetLogFile(path));
    KivErr(0, "silent by default");
    Rt().SetLogThreshold(32);
    KivErr(0, "progress %d", 7);
    KivErr(8, "eight");
    KivErr(32, "TRSLNK: notice");
    KivErr(64, "TRSLNK> trace");
    Rt().SetLogThreshold(-1);
    KivErr(-5, "below the default never prints either");
    ASSERT_TRUE(Rt().SetLogFile(""));
    std::stringstream file;
    file << std::ifstream(path).rdbuf();
    EXPECT_EQ(file.str(), "0 progress 7\n8 eight\n32 TRSLNK: notice\n");
    EXPECT_EQ(Rt().Log().size(), 6u) << "printing or not, every line is kept";
    EXPECT_FALSE(Rt().SetLogFile("/nonexistent-dir/x/log.txt"));
    std::remove(path.c_str());
}

// ---- clients

TEST_F(RuntimeTest, ClientsGetTheLowestFreeIdFrom1To255)
{
    uint8_t id = 0;
    for (unsigned expected = 1; expected <= 255; expected++) {
        char name[16];
        snprintf(name, sizeof name, "WIT_No_%.2u", expected);
        ASSERT_EQ(KivMkClient(name, 1, 0, &id), 0);
        ASSERT_EQ(id, expected);
    }
    EXPECT_EQ(KivMkClient("one too many", 1, 0, &id), 2);
    EXPECT_EQ(KivRmClient(7), 0);
    EXPECT_EQ(KivRmClient(7), 1);
    EXPECT_FALSE(Rt().ClientExists(7));
    EXPECT_EQ(KivMkClient("again", 1, 0, &id), 0);
    EXPECT_EQ(id, 7);
    EXPECT_EQ(Rt().ClientNames().front(), "WIT_No_01");
    EXPECT_EQ(KivRmClient(0), 1);
    EXPECT_EQ(KivMkClient(nullptr, 1, 0, &id), 1);
    EXPECT_EQ(KivMkClient("x", 1, 0, nullptr), 1);
}

TEST_F(RuntimeTest, WaitMsgIsNonZeroWhileTheClientLivesAndWakesWhenItIsRemoved)
{
    Rt().SetWaitMsgPeriod(1);
    uint8_t id = 0;
    ASSERT_EQ(KivMkClient("WIT_No_01", 1, 0, &id), 0);
    unsigned char message[KIV_MESSAGE_SIZE];
    memset(message, 0xEE, sizeof message);
    EXPECT_NE(KivWaitMsg(id, message, 1), 0);
    EXPECT_EQ(message[0], 0);
    EXPECT_EQ(message[KIV_MESSAGE_SIZE - 1], 0);
    EXPECT_EQ(KivWaitMsg(static_cast<uint8_t>(id + 1), message, 1), 0);

    // A period far beyond the test's patience: only the wake-up can end the wait.
    Rt().SetWaitMsgPeriod(10 * 60 * 1000);
    auto waiting = std::async(std::launch::async, [id] {
        unsigned char buffer[KIV_MESSAGE_SIZE];
        return KivWaitMsg(id, buffer, 1);
    });
    std::thread remover([id] { EXPECT_EQ(KivRmClient(id), 0); });
    remover.join();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_EQ(KivWaitMsg(id, message, 1), 0);
}

// ---- gates

TEST_F(RuntimeTest, GateIdsMayHaveHolesAndHolesAnswer48)
{
    Add("001AI000", GATE_TYPE_U16, 0);
    Add("001AI002", GATE_TYPE_U16, 2);
    Add("001AI005", GATE_TYPE_U16, 5);
    EXPECT_EQ(Add("001AI001", GATE_TYPE_U16), 1u); // next free id
    uint32_t count = 0, u1 = 9, u2 = 9, u3 = 9;
    ASSERT_EQ(KivGetGateCount(1, &count, &u1, &u2, &u3), 0);
    EXPECT_EQ(count, 6u);
    unsigned char def[KIV_GATEDEF_SIZE];
    struct { uint32_t id; uint16_t status; } cases[] = {{0, 0}, {1, 0}, {3, 48}, {5, 0}, {6, 48}, {0xFFFFFFFF, 48}};
    for (const auto &c : cases)
        EXPECT_EQ(KivGetGateDef(1, c.id, def), c.status) << "id " << c.id;
    EXPECT_TRUE(Rt().RemoveGate(5));
    ASSERT_EQ(KivGetGateCount(1, &count, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(count, 3u);
    Rt().Reset();
    ASSERT_EQ(KivGetGateCount(1, &count, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(count, 0u);
}

TEST_F(RuntimeTest, GateDefinitionRecordHasTheFixedLayoutAndCutsOverlongText)
{
    kiv::GateSpec spec;
    spec.id = 4;
    spec.name = "Pump 1 pressure";
    spec.address = "003AI012";
    spec.type = GATE_TYPE_FLOAT;
    spec.drvNumber = 3;
    spec.recordSetting = 0x01020304;
    Rt().AddGate(spec);
    std::vector<unsigned char> expected(KIV_GATEDEF_SIZE, 0);
    memcpy(&expected[0], "Pump 1 pressure", 15);
    expected[96] = 0x04, expected[97] = 0x03, expected[98] = 0x02, expected[99] = 0x01;
    expected[164] = 1;                  // source kind
    expected[166] = 3, expected[167] = 0; // type
    expected[168] = 2;                  // drv number 3 - 1
    memcpy(&expected[172], "003AI012", 8);
    std::vector<unsigned char> def(KIV_GATEDEF_SIZE + 8, 0xCC);
    ASSERT_EQ(KivGetGateDef(1, 4, def.data()), 0);
    EXPECT_EQ(std::vector<unsigned char>(def.begin(), def.begin() + KIV_GATEDEF_SIZE), expected);
    EXPECT_EQ(def[KIV_GATEDEF_SIZE], 0xCC) << "wrote past the record";

    spec = kiv::GateSpec{};
    spec.name = std::string(300, 'N');
    spec.address = std::string(300, 'A');
    ASSERT_EQ(KivGetGateDef(1, Rt().AddGate(spec), def.data()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(def.data())), std::string(95, 'N'));
    EXPECT_EQ(def[96], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(def.data() + 172)), std::string(155, 'A'));
}

TEST_F(RuntimeTest, GateIdByAddressMatchesAddressCaselessAndDrvNumber)
{
    uint32_t a = Add("003M_ONLINE", GATE_TYPE_DIGITAL, 10, 1);
    uint32_t b = Add("003M_ONLINE", GATE_TYPE_DIGITAL, 11, 2);
    struct { uint8_t drv; const char *gas; uint16_t status; uint32_t id; } cases[] = {
        {1, "003M_ONLINE", 0, a}, {2, "003M_ONLINE", 0, b}, {1, "003m_online", 0, a},
        {3, "003M_ONLINE", 5, 0}, {1, "003M_ONLIN", 5, 0},  {1, "", 5, 0},
    };
    for (const auto &c : cases) {
        uint32_t id = 0;
        EXPECT_EQ(KivGetGateIdByAddressStr(1, c.drv, c.gas, &id), c.status) << c.gas << " drv " << int(c.drv);
        if (c.status == 0) {
            EXPECT_EQ(id, c.id) << c.gas;
        }
    }
    uint32_t id;
    EXPECT_EQ(KivGetGateIdByAddressStr(1, 1, nullptr, &id), 1);
    EXPECT_EQ(Rt().FindGate("003m_online", 2), b);
    EXPECT_FALSE(Rt().FindGate("003M_ONLINE", 4));
}

TEST_F(RuntimeTest, ChangeGateDefTakesBackTheRecordSettingOnly)
{
    uint32_t id = Add("001RA001", GATE_TYPE_U16);
    ASSERT_TRUE(Rt().SetRecordSetting(id, 5));
    unsigned char def[KIV_GATEDEF_SIZE];
    ASSERT_EQ(KivGetGateDef(1, id, def), 0);
    EXPECT_EQ(def[96], 5);
    memset(def + 96, 0, 4);
    memcpy(def, "renamed", 8);
    ASSERT_EQ(KivChangeGateDef(1, id, def), 0);
    EXPECT_EQ(KivChangeGateDef(1, id + 1, def), 48);
    EXPECT_EQ(KivChangeGateDef(1, id, nullptr), 1);
    auto gate = Rt().Gate(id);
    ASSERT_TRUE(gate);
    EXPECT_EQ(gate->spec.recordSetting, 0u);
    EXPECT_EQ(gate->spec.name, "G_001RA001");
    EXPECT_EQ(gate->definitionChanges, 1u);
}

TEST_F(RuntimeTest, Flag16SwitchesSamplingOffOtherFlagsAreKept)
{
    uint32_t id = Add("001AI001", GATE_TYPE_U16);
    ASSERT_EQ(KivSetGateFlag(1, id, 4, 0), 0);
    EXPECT_FALSE(Rt().Gate(id)->samplingOff);
    ASSERT_EQ(KivSetGateFlag(1, id, KIV_FLAG_NO_SAMPLING, 0), 0);
    EXPECT_TRUE(Rt().Gate(id)->samplingOff);
    EXPECT_FALSE(Rt().Gate(id)->spec.sampling);
    EXPECT_EQ(Rt().Gate(id)->flags, 20u);
    EXPECT_EQ(KivSetGateFlag(1, 77, 16, 0), 48);
    ASSERT_TRUE(Rt().SetSampling(id, true));
    EXPECT_FALSE(Rt().Gate(id)->samplingOff);
}

// ---- cooking

TEST_F(RuntimeTest, CookDecodesTheValueAreaLayoutAndScales)
{
    auto floatBits = [](float f) { uint32_t raw; memcpy(&raw, &f, 4); return raw; };
    using S = kiv::Scaling;
    struct { const char *what; uint16_t type; std::optional<S> scaling; uint32_t raw; uint16_t status; double cooked; }
    cases[] = {
        {"u16 top", GATE_TYPE_U16, {}, 0xFFFF0000u, 0, 65535},
        {"u16 low half ignored", GATE_TYPE_U16, {}, 0x1234ABCDu, 0, 0x1234},
        {"s16 min", GATE_TYPE_S16, {}, 0x80000000u, 0, -32768},
        {"s16 max", GATE_TYPE_S16, {}, 0x7FFF0000u, 0, 32767},
        {"digital word", GATE_TYPE_DIGITAL, {}, 0x00050000u, 0, 5},
        {"float negative", GATE_TYPE_FLOAT, {}, floatBits(-273.25f), 0, -273.25},
        {"u16 offset range", GATE_TYPE_U16, S{1000, 2000, -50, 50}, 1500u << 16, 0, 0},
        {"s16 scaled", GATE_TYPE_S16, S{-1000, 1000, 0, 10}, 0xFF9C0000u /* -100 */, 0, 4.5},
        {"float scaled", GATE_TYPE_FLOAT, S{0, 10, 100, 200}, floatBits(2.5f), 0, 125},
        {"inverted range", GATE_TYPE_U16, S{0, 100, 100, 0}, 25u << 16, 0, 75},
        {"degenerate scaling", GATE_TYPE_U16, S{5, 5, 0, 1}, 5u << 16, 1, 0},
        {"text gate", GATE_TYPE_TEXT, {}, 0x00410000u, 8, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Rt().Reset();
        double cooked = 12345;
        EXPECT_EQ(KivCook(1, Add("001AI001", c.type, std::nullopt, 1, c.scaling), c.raw, &cooked), c.status);
        EXPECT_DOUBLE_EQ(cooked, c.cooked);
    }
    double cooked = 12345;
    EXPECT_EQ(KivCook(1, 99, 0, &cooked), 48);
    EXPECT_EQ(cooked, 0);
}

// ---- values, history and forced log

TEST_F(RuntimeTest, PutsStoreValueTimeStampAndQualityAndGetsReadThemBack)
{
    uint32_t number = Add("001AI001", GATE_TYPE_FLOAT);
    uint32_t text = Add("001ST001", GATE_TYPE_TEXT);
    std::string longText(300, 'T');
    struct { const char *what; uint16_t status, expected; } results[] = {
        {"value", KivPutGateVal(1, number, 2, 21.5, 1700000000u, 0), 0},
        {"value other quality", KivPutGateVal(1, number, 3, 12.5, 1700000001u, 0), 0},
        {"value into text gate", KivPutGateVal(1, text, 2, 1, 1, 0), 8},
        {"value unknown gate", KivPutGateVal(1, 99, 2, 1, 1, 0), 48},
        {"text", KivPutGateStr(1, text, 2, longText.c_str(), 1700000002u, 0), 0},
        {"text into number gate", KivPutGateStr(1, number, 2, "1", 1, 0), 8},
        {"text null", KivPutGateStr(1, text, 2, nullptr, 1, 0), 1},
        {"text unknown gate", KivPutGateStr(1, 99, 2, "x", 1, 0), 48},
    };
    for (const auto &r : results)
        EXPECT_EQ(r.status, r.expected) << r.what;
    auto gate = Rt().Gate(number);
    ASSERT_TRUE(gate && gate->hasValue);
    ASSERT_EQ(gate->history.size(), 2u);
    EXPECT_EQ(gate->history[0].value, 21.5);
    EXPECT_EQ(gate->history[0].timeStamp, 1700000000u);
    EXPECT_TRUE(gate->history[0].good);
    EXPECT_FALSE(gate->history[1].good);
    EXPECT_EQ(gate->current.value, 12.5);
    EXPECT_EQ(gate->current.timeStamp, 1700000001u);
    EXPECT_EQ(Rt().Gate(text)->current.timeStamp, 1700000002u);
    EXPECT_FALSE(Rt().Gate(Add("001AI002", GATE_TYPE_U16))->hasValue);

    double value = 0;
    EXPECT_EQ(KivGetGateVal(1, 0, number, &value, 0, 0), 0);
    EXPECT_EQ(value, 12.5);
    EXPECT_EQ(KivGetGateVal(1, 0, text, &value, 0, 0), 8);
    EXPECT_EQ(KivGetGateVal(1, 0, 99, &value, 0, 0), 48);
    char buffer[KIV_GATESTR_SIZE + 4];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(KivGetGateStr(1, 0, text, buffer, 0, 0), 0);
    EXPECT_EQ(std::string(buffer), std::string(99, 'T'));
    EXPECT_EQ(buffer[KIV_GATESTR_SIZE], 'Z');
    EXPECT_EQ(KivGetGateStr(1, 0, number, buffer, 0, 0), 0);
    EXPECT_STREQ(buffer, "12.5");
    EXPECT_EQ(KivGetGateStr(1, 0, 99, buffer, 0, 0), 48);
    // Kind 14 with no driver serving the drv number.
    EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, number, &value, 0, 0), 6);
    EXPECT_EQ(KivGetGateStr(1, KIV_KIND_DEVICE_READ, text, buffer, 0, 0), 6);
}

TEST_F(RuntimeTest, HistoryAndForcedLogKeepTheNewestThousand)
{
    uint32_t id = Add("001AI001", GATE_TYPE_U16);
    for (uint32_t i = 0; i < 1005; i++) {
        ASSERT_EQ(KivPutGateVal(1, id, 2, i, 1000 + i, 0), 0);
        ASSERT_EQ(KivGateForceLogEx(1, id, i * 2.0, 0, 5000 + i, 0), 0);
    }
    auto gate = Rt().Gate(id);
    ASSERT_EQ(gate->history.size(), 1000u);
    EXPECT_EQ(gate->history.front().value, 5);
    EXPECT_EQ(gate->history.back().value, 1004);
    ASSERT_EQ(gate->forcedLog.size(), 1000u);
    EXPECT_EQ(gate->forcedLog.front().value, 10);
    EXPECT_EQ(gate->forcedLog.front().timeStamp, 5005u);
    EXPECT_EQ(gate->forcedLog.back().timeStamp, 6004u);
    EXPECT_EQ(KivGateForceLogEx(1, 77, 1, 0, 1, 0), 48);
}

// ---- alerts

TEST_F(RuntimeTest, AlertsKeepEveryArgumentAndEndWithTheirStamp)
{
    std::vector<kiv::Alert> notified;
    Rt().SubscribeAlerts([&](const kiv::Alert &alert) { notified.push_back(alert); });
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    KivAlertRef first = 0, second = 0;
    ASSERT_EQ(KivStartAlert(4, "WIT", "Reading Data PLC1", 1, 0x20, 7, 0, 0xBEEF, 0, 0, 1, 65535, &first), 0);
    ASSERT_EQ(KivStartAlert(4, "WIT", "second", 2, 0, 0, 0, 1, 0, 0, 1, 65535, &second), 0);
    uint32_t after = static_cast<uint32_t>(time(nullptr));
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    auto alerts = Rt().Alerts();
    ASSERT_EQ(alerts.size(), 2u);
    const kiv::Alert &a = alerts[0];
    EXPECT_EQ(std::tie(a.clientId, a.source, a.text, a.severity, a.flags, a.zone, a.attributes, a.one, a.mask),
              std::make_tuple(uint8_t{4}, "WIT", "Reading Data PLC1", 1u, 0x20u, 7u, uint16_t{0xBEEF}, 1u, 65535u));
    EXPECT_EQ(a.reference, first);
    EXPECT_GE(a.startTime, before);
    EXPECT_LE(a.startTime, after);
    EXPECT_EQ(a.endTime, 0u);
    ASSERT_EQ(notified.size(), 2u);
    EXPECT_EQ(notified[0].text, "Reading Data PLC1");
    EXPECT_EQ(notified[1].reference, second);

    EXPECT_EQ(KivStampAlert(4, 1, &first, 6, 0, 0, 0), 0);
    alerts = Rt().Alerts();
    EXPECT_GE(alerts[0].endTime, alerts[0].startTime);
    EXPECT_NE(alerts[0].endTime, 0u);
    EXPECT_EQ(alerts[1].endTime, 0u);
    EXPECT_EQ(KivStampAlert(4, 1, &first, 6, 0, 0, 0), 9) << "already ended";
    KivAlertRef unknown = 12345;
    EXPECT_EQ(KivStampAlert(4, 1, &unknown, 6, 0, 0, 0), 9);
    EXPECT_EQ(KivStampAlert(4, 1, nullptr, 6, 0, 0, 0), 1);
    EXPECT_EQ(KivStartAlert(4, "WIT", "x", 1, 0, 0, 0, 0, 0, 0, 1, 65535, nullptr), 1);
}

// ---- failure injection

TEST_F(RuntimeTest, InjectedFailuresApplyPerGateOrToAllGates)
{
    uint32_t a = Add("001AI001", GATE_TYPE_U16);
    uint32_t b = Add("001AI002", GATE_TYPE_U16);
    unsigned char def[KIV_GATEDEF_SIZE];
    double value;
    uint32_t id;
    Rt().InjectFailure(kiv::Call::GetGateDef, b, 77);
    EXPECT_EQ(KivGetGateDef(1, a, def), 0);
    EXPECT_EQ(KivGetGateDef(1, b, def), 77);
    Rt().InjectFailure(kiv::Call::PutGateVal, kiv::kAllGates, 3);
    EXPECT_EQ(KivPutGateVal(1, a, 2, 1, 1, 0), 3);
    EXPECT_FALSE(Rt().Gate(a)->hasValue) << "a failed put stores nothing";
    Rt().InjectFailure(kiv::Call::PutGateVal, b, 4);
    EXPECT_EQ(KivPutGateVal(1, b, 2, 1, 1, 0), 4) << "a gate's own failure wins over the one for all gates";
    Rt().InjectFailure(kiv::Call::GetGateIdByAddressStr, b, 9);
    EXPECT_EQ(KivGetGateIdByAddressStr(1, 1, "001AI001", &id), 0);
    EXPECT_EQ(KivGetGateIdByAddressStr(1, 1, "001AI002", &id), 9);
    Rt().InjectFailure(kiv::Call::Cook, kiv::kAllGates, 12);
    EXPECT_EQ(KivCook(1, a, 0, &value), 12);

    // Calls without a gate take the failure set for all gates.
    struct { kiv::Call call; std::function<uint16_t()> run; } gateless[] = {
        {kiv::Call::MkClient, [] { uint8_t c; return KivMkClient("c", 1, 0, &c); }},
        {kiv::Call::RmClient, [] { return KivRmClient(1); }},
        {kiv::Call::GetGateCount, [] { uint32_t n; return KivGetGateCount(1, &n, nullptr, nullptr, nullptr); }},
        {kiv::Call::StartAlert, [] { KivAlertRef r; return KivStartAlert(1, "WIT", "t", 0, 0, 0, 0, 0, 0, 0, 1, 65535, &r); }},
        {kiv::Call::StampAlert, [] { KivAlertRef r = 1; return KivStampAlert(1, 1, &r, 6, 0, 0, 0); }},
        {kiv::Call::WaitMsg, [] { unsigned char m[24]; return KivWaitMsg(1, m, 1); }},
    };
    for (const auto &c : gateless) {
        Rt().InjectFailure(c.call, kiv::kAllGates, 55);
        EXPECT_EQ(c.run(), 55) << static_cast<int>(c.call);
    }
    EXPECT_TRUE(Rt().Alerts().empty());
    EXPECT_TRUE(Rt().ClientNames().empty());

    Rt().ClearFailures();
    EXPECT_EQ(KivGetGateDef(1, b, def), 0);
    EXPECT_EQ(KivPutGateVal(1, b, 2, 1, 1, 0), 0);
    EXPECT_EQ(KivCook(1, a, 0, &value), 0);
}

// ---- threads

TEST_F(RuntimeTest, ManyThreadsPutAndLogAtOnce)
{
    constexpr int kThreads = 4, kRounds = 400;
    std::vector<uint32_t> ids;
    for (int t = 0; t < kThreads; t++)
        ids.push_back(Add("001AI00" + std::to_string(t), GATE_TYPE_U16));
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            (void)Rt().Log();
            (void)Rt().Gate(ids[0]);
            uint32_t count;
            KivGetGateCount(1, &count, nullptr, nullptr, nullptr);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++) {
        writers.emplace_back([t, &ids] {
            for (int i = 0; i < kRounds; i++) {
                EXPECT_EQ(KivPutGateVal(1, ids[t], 2, i, static_cast<uint32_t>(i), 0), 0);
                KivErr(64, "thread %d round %d", t, i);
                KivAlertRef ref;
                if (i % 100 == 0) {
                    EXPECT_EQ(KivStartAlert(1, "WIT", "t", 0, 0, 0, 0, 0, 0, 0, 1, 65535, &ref), 0);
                }
            }
        });
    }
    for (auto &w : writers)
        w.join();
    done = true;
    reader.join();
    EXPECT_EQ(Rt().Log().size(), static_cast<size_t>(kThreads * kRounds));
    for (uint32_t id : ids) {
        ASSERT_EQ(Rt().Gate(id)->history.size(), static_cast<size_t>(kRounds));
        EXPECT_EQ(Rt().Gate(id)->current.value, kRounds - 1);
    }
    std::set<KivAlertRef> refs;
    for (const auto &alert : Rt().Alerts())
        refs.insert(alert.reference);
    EXPECT_EQ(refs.size(), static_cast<size_t>(kThreads * kRounds / 100)) << "alert references are unique";
}

} // namespace
