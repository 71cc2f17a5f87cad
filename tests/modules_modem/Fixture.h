// Shared set-up of the modem tests: a driver instance with a host client, an empty host
// runtime, and helpers to read what the driver logged.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "host/Host.h"
#include "platform/Platform.h"
#include "support/Support.h"

namespace modem_test {

using Line = std::pair<int, std::string>;

inline std::vector<Line> Logged()
{
    std::vector<Line> lines;
    for (const auto &line : trs_test::Lines())
        lines.emplace_back(line.level, line.text);
    return lines;
}

// Index of the first line with this level and text, or -1.
inline long IndexOf(int level, const std::string &text)
{
    auto lines = Logged();
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i] == Line(level, text))
            return static_cast<long>(i);
    return -1;
}

// Polls until `done` holds; false when it did not within the bound (a guard against hangs).
template <typename Predicate> bool WaitUntil(Predicate done, int boundMs = 10000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline kiv::GateSpec NewGate(const std::string &address, uint8_t drv = 1, const std::string &name = "")
{
    kiv::GateSpec def;
    def.name = name.empty() ? address : name;
    def.address = address;
    def.drvNumber = drv;
    return def;
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

// An alert's client, source, text, severity, flags, zone, attributes, the two fixed
// words, and whether it has ended: compared in one go.
using AlertFields = std::tuple<uint8_t, std::string, std::string, uint32_t, uint32_t, uint32_t, uint16_t, uint32_t,
                               uint32_t, bool>;
inline AlertFields Fields(const kiv::Alert &a)
{
    return {a.clientId, a.source, a.text, a.severity, a.flags, a.zone, a.attributes, a.one, a.mask, a.endTime != 0};
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
