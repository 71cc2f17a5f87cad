// Values put into gates by address, and the operator alerts.
#include "Fixture.h"

#include "Modules/GateStore.h"

namespace modem_test {
namespace {

using kiv::Call;

struct Injection {
    Call call;
    uint32_t gate;
    uint16_t status;
};

struct PutCase {
    const char *name;
    uint8_t gateDrv; // drv number of the gate that has the address
    std::vector<Injection> failures;
    uint32_t result;
    std::vector<Line> lines;
    bool stored;
    bool forced;
};

class GateStoreTest : public InstanceTest {};

const uint32_t kGate = 26; // 0x1a
const uint32_t kStamp = 1234567;

class PutGateValueTest : public InstanceTest, public ::testing::WithParamInterface<PutCase> {};

TEST_P(PutGateValueTest, StopsAtFirstFailureWithItsMessages)
{
    const PutCase &c = GetParam();
    kiv::GateSpec def = NewGate("005M_ONLINE", c.gateDrv);
    def.id = kGate;
    def.scaling = kiv::Scaling{0, 10, 0, 100};
    AddGate(def);
    for (const auto &f : c.failures)
        Host().InjectFailure(f.call, f.gate, f.status);

    EXPECT_EQ(c.result, PutGateValue(instance, "005M_ONLINE", 3u << 16, kStamp));

    EXPECT_EQ(c.lines, Logged());
    kiv::GateState gate = GateOf(kGate);
    if (c.stored) {
        ASSERT_EQ(1u, gate.history.size());
        EXPECT_DOUBLE_EQ(30.0, gate.history[0].value);
        EXPECT_EQ(kStamp, gate.history[0].timeStamp);
    } else {
        EXPECT_TRUE(gate.history.empty());
    }
    if (c.forced) {
        ASSERT_EQ(1u, gate.forcedLog.size());
        EXPECT_DOUBLE_EQ(30.0, gate.forcedLog[0].value);
        EXPECT_EQ(kStamp, gate.forcedLog[0].timeStamp);
    } else {
        EXPECT_TRUE(gate.forcedLog.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PutGateValueTest,
    ::testing::Values(
        // The gate of another instance does not answer this instance's address; a cook
        // failure armed for every gate shows that cooking is never reached.
        PutCase{"UnknownAddress", 2, {{Call::Cook, kiv::kAllGates, 9}}, 0,
                {{32, "TRSLNK: Tag 005M_ONLINE not found in Database"},
                 {32, "TRSLNK: Failed to get gate ID Gate 005M_ONLINE: rc = 5"}},
                false, false},
        PutCase{"LookupFailsOtherwise", 1, {{Call::GetGateIdByAddressStr, kiv::kAllGates, 7}}, 0,
                {{32, "TRSLNK: Failed to get gate ID Gate 005M_ONLINE: rc = 7"}}, false, false},
        PutCase{"CookFails", 1, {{Call::Cook, kGate, 9}}, 0,
                {{32, "TRSLNK: Kiv Cook Failed. GAS: 005M_ONLINE rc = 9"}}, false, false},
        PutCase{"StoreFails", 1, {{Call::PutGateVal, kGate, 4}}, 0, {{32, "TrsLNK: Write gate id 1a fail"}}, false,
                false},
        PutCase{"ForcedLogFails", 1, {{Call::GateForceLogEx, kGate, 4}}, 0,
                {{32, "TrsLNK: Force gate log fail Tag 005M_ONLINE"}}, true, false},
        PutCase{"Success", 1, {}, 1, {}, true, true}),
    [](const auto &info) { return std::string(info.param.name); });

struct NoticeCase {
    uint16_t alertClass;
    uint32_t flags; // 0: no alert
    int level;      // -1: not logged
};

class NotifyOperatorTest : public InstanceTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(NotifyOperatorTest, AlertAndLogFollowTheClass)
{
    const NoticeCase &c = GetParam();
    instance->alertClass = c.alertClass;
    instance->alertSeverity = 700;
    instance->alertZone = 12;
    const std::string text = "TRSLNK01 005: OUTCALL connection failed";

    NotifyOperator(instance, text.c_str());

    auto alerts = Host().Alerts();
    if (c.flags == 0) {
        EXPECT_TRUE(alerts.empty());
    } else {
        ASSERT_EQ(1u, alerts.size());
        const kiv::Alert &a = alerts[0];
        EXPECT_EQ(client, a.clientId);
        EXPECT_EQ("WIT", a.source);
        EXPECT_EQ(text, a.text);
        EXPECT_EQ(700u, a.severity);
        EXPECT_EQ(c.flags, a.flags);
        EXPECT_EQ(12u, a.zone);
        EXPECT_EQ(0x0014, a.attributes);
        EXPECT_EQ(1u, a.one);
        EXPECT_EQ(65535u, a.mask);
        EXPECT_EQ(0u, a.endTime) << "an operator notice stays up";
    }
    std::vector<Line> expected;
    if (c.level >= 0)
        expected.emplace_back(c.level, text);
    EXPECT_EQ(expected, Logged());
}

INSTANTIATE_TEST_SUITE_P(Classes, NotifyOperatorTest,
                         ::testing::Values(NoticeCase{0, 0, 64}, NoticeCase{1, 0, 32},
                                           NoticeCase{2, 0x40000000u, 32}, NoticeCase{3, 0xC0000000u, 32},
                                           NoticeCase{4, 0x60000000u, 32}, NoticeCase{5, 0xE0000000u, 32},
                                           NoticeCase{6, 0, -1}, NoticeCase{200, 0, -1}),
                         [](const auto &info) { return "Class" + std::to_string(info.param.alertClass); });

TEST_F(GateStoreTest, NotifyOperatorLogsPercentSignsVerbatim)
{
    instance->alertClass = 4;
    const std::string text = "TRSLNK01 005: 100% %s %n %d done";
    NotifyOperator(instance, text.c_str());
    EXPECT_EQ(std::vector<Line>{Line(32, text)}, Logged());
    ASSERT_EQ(1u, Host().Alerts().size());
    EXPECT_EQ(text, Host().Alerts()[0].text);
}

TEST_F(GateStoreTest, NotifyOperatorGoesOnWhenTheAlertIsRefused)
{
    instance->alertClass = 3;
    Host().InjectFailure(Call::StartAlert, kiv::kAllGates, 2);
    NotifyOperator(instance, "TRSLNK01 007: ALARMCALL init. comm. failed");
    EXPECT_TRUE(Host().Alerts().empty());
    EXPECT_EQ(std::vector<Line>{Line(32, "TRSLNK01 007: ALARMCALL init. comm. failed")}, Logged());
}

TEST_F(GateStoreTest, ReadingDataAlertStartsWithItsAttributesAndEnds)
{
    KivAlertRef reference = 0;
    ASSERT_EQ(0, StartReadingDataAlert(client, "TRSLNK: Station 5. reading Current states. Please wait...",
                                       &reference));
    auto alerts = Host().Alerts();
    ASSERT_EQ(1u, alerts.size());
    const kiv::Alert &a = alerts[0];
    EXPECT_EQ("WIT", a.source);
    EXPECT_EQ("TRSLNK: Station 5. reading Current states. Please wait...", a.text);
    EXPECT_EQ(1000u, a.severity);
    EXPECT_EQ(0x60000000u, a.flags);
    EXPECT_EQ(1000u, a.zone);
    EXPECT_EQ(0x0004, a.attributes);
    EXPECT_EQ(1u, a.one);
    EXPECT_EQ(65535u, a.mask);
    EXPECT_EQ(a.reference, reference);
    EXPECT_EQ(0u, a.endTime);

    ASSERT_EQ(0, EndReadingDataAlert(client, reference));
    EXPECT_NE(0u, Host().Alerts()[0].endTime);
    EXPECT_TRUE(Logged().empty()) << "the callers log the failures";
}

TEST_F(GateStoreTest, ReadingDataAlertHandsBackTheHostStatus)
{
    KivAlertRef reference = 0;
    Host().InjectFailure(Call::StartAlert, kiv::kAllGates, 11);
    EXPECT_EQ(11, StartReadingDataAlert(client, "x", &reference));
    Host().ClearFailures();
    ASSERT_EQ(0, StartReadingDataAlert(client, "x", &reference));
    Host().InjectFailure(Call::StampAlert, kiv::kAllGates, 13);
    EXPECT_EQ(13, EndReadingDataAlert(client, reference));
    EXPECT_EQ(0u, Host().Alerts().back().endTime);
}

} // namespace
} // namespace modem_test
