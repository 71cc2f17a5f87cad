// Shared set-up of the modem tests: a driver instance with a host client, an empty host
// runtime, and helpers to read gates.
#pragma once

#include <gtest/gtest.h>

#include "host/Host.h"
#include "platform/Platform.h"
#include "support/Support.h"

namespace modem_test {

using trs_test::IndexOf;
using trs_test::Line;
using trs_test::Logged;
using trs_test::WaitUntil;

// A gate named by its address, of this drv number.
inline kiv::GateSpec NewGate(const std::string &address, uint8_t drv = 1)
{
    return {.id = {}, .name = address, .address = address, .drvNumber = drv, .scaling = {}};
}

inline kiv::GateState GateOf(uint32_t id)
{
    auto gate = kiv::Runtime::Get().Gate(id);
    EXPECT_TRUE(gate.has_value()) << "gate " << id;
    return gate.value_or(kiv::GateState{});
}

inline std::vector<double> Values(const std::vector<kiv::GateSample> &samples)
{
    std::vector<double> values;
    for (const auto &sample : samples)
        values.push_back(sample.value);
    return values;
}

// An alert's client, source, text, severity, flags, zone, attributes and whether it has ended.
inline auto Fields(const kiv::Alert &a)
{
    return std::make_tuple(a.clientId, a.source, a.text, a.severity, a.flags, a.zone, a.attributes, a.endTime != 0);
}

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        Host().Reset();
        instance = trs_test::NewInstance(1);
        ASSERT_EQ(0, KivMkClient("WIT_No_01", 1, 0, &client));
        instance->clientId = client;
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        KivRmClient(client);
        trs_test::FreeInstance(instance);
        Host().Reset();
    }
    static kiv::Runtime &Host() { return kiv::Runtime::Get(); }
    static uint32_t AddGate(const kiv::GateSpec &def) { return Host().AddGate(def); }

    DriverInstance *instance = nullptr;
    uint8_t client = 0;
};

} // namespace modem_test
