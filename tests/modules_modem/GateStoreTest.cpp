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

const uint32_t kGate = 26; // 0x1a
const uint32_t kStamp = 1234567;

struct PutCase {
    const char *name;
    uint8_t gateDrv; // drv number of the gate that has the address
    std::vector<Injection> failures;
    uint32_t result;
    std::vector<Line> lines;
    bool stored, forced;
};

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
    for (auto [samples, expected] : {std::pair{&gate.history, c.stored}, std::pair{&gate.forcedLog, c.forced}}) {
        ASSERT_EQ(expected ? 1u : 0u, samples->size());
        if (expected) { // cooked through the gate's scaling, with the caller's stamp
            EXPECT_DOUBLE_EQ(30.0, (*samples)[0].value);
            EXPECT_EQ(kStamp, (*samples)[0].timeStamp);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PutGateValueTest,
    ::testing::Values(
        // Another instance's gate does not answer this address; a cook failure armed for
        // every gate shows that cooking is never reached.
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
    const char *name;
    uint16_t alertClass;
    uint32_t flags; // 0: no alert
    int level;      // -1: not logged
    std::string text = "TRSLNK01 005: OUTCALL connection failed";
    bool refused = false; // the host refuses the alert
};

class NotifyOperatorTest : public InstanceTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(NotifyOperatorTest, AlertAndLogFollowTheClass)
{
    const NoticeCase &c = GetParam();
    instance->alertClass = c.alertClass;
    instance->alertSeverity = 700;
    instance->alertZone = 12;
    if (c.refused)
        Host().InjectFailure(Call::StartAlert, kiv::kAllGates, 2);

    NotifyOperator(instance, c.text.c_str());

    auto alerts = Host().Alerts();
    ASSERT_EQ(c.flags == 0 || c.refused ? 0u : 1u, alerts.size());
    if (!alerts.empty()) { // an operator notice stays up
        EXPECT_EQ(AlertFields(client, "WIT", c.text, 700, c.flags, 12, 0x14, 1, 65535, false), Fields(alerts[0]));
    }
    std::vector<Line> expected;
    if (c.level >= 0)
        expected.emplace_back(c.level, c.text); // verbatim, also its percent signs
    EXPECT_EQ(expected, Logged());
}

INSTANTIATE_TEST_SUITE_P(
    Classes, NotifyOperatorTest,
    ::testing::Values(NoticeCase{"Class0", 0, 0, 64}, NoticeCase{"Class1", 1, 0, 32},
                      NoticeCase{"Class2", 2, 0x40000000u, 32}, NoticeCase{"Class3", 3, 0xC0000000u, 32},
                      NoticeCase{"Class4", 4, 0x60000000u, 32}, NoticeCase{"Class5", 5, 0xE0000000u, 32},
                      NoticeCase{"Class6", 6, 0, -1}, NoticeCase{"Class200", 200, 0, -1},
                      NoticeCase{"PercentSigns", 4, 0x60000000u, 32, "TRSLNK01 005: 100% %s %n %d done"},
                      NoticeCase{"AlertRefused", 3, 0xC0000000u, 32, "TRSLNK01 007: ALARMCALL init. comm. failed",
                                 true}),
    [](const auto &info) { return std::string(info.param.name); });

using ReadingDataAlertTest = InstanceTest;

TEST_F(ReadingDataAlertTest, StartsWithItsAttributesEndsAndHandsBackHostStatus)
{
    const std::string text = "TRSLNK: Station 5. reading Current states. Please wait...";
    KivAlertRef reference = 0;
    ASSERT_EQ(0, StartReadingDataAlert(client, text.c_str(), &reference));
    ASSERT_EQ(1u, Host().Alerts().size());
    EXPECT_EQ(AlertFields(client, "WIT", text, 1000, 0x60000000u, 1000, 0x04, 1, 65535, false),
              Fields(Host().Alerts()[0]));
    EXPECT_EQ(Host().Alerts()[0].reference, reference);
    ASSERT_EQ(0, EndReadingDataAlert(client, reference));
    EXPECT_NE(0u, Host().Alerts()[0].endTime);

    // Host refusals come back as they are; the callers log them.
    Host().InjectFailure(Call::StartAlert, kiv::kAllGates, 11);
    EXPECT_EQ(11, StartReadingDataAlert(client, "x", &reference));
    Host().ClearFailures();
    ASSERT_EQ(0, StartReadingDataAlert(client, "x", &reference));
    Host().InjectFailure(Call::StampAlert, kiv::kAllGates, 13);
    EXPECT_EQ(13, EndReadingDataAlert(client, reference));
    EXPECT_EQ(0u, Host().Alerts().back().endTime);
    EXPECT_TRUE(Logged().empty());
}

} // namespace
} // namespace modem_test
