// A driver instance whose port is the pseudo-terminal of a simulated station line.
#pragma once

#include <gtest/gtest.h>

#include "link/Port.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

namespace trs_test {

inline trs::sim::StationConfig SimStation(uint32_t identity, const std::string &name, const std::string &accessCode = "1234",
                                          bool secondary = false, std::map<std::string, std::string> variables = {})
{
    return {.identity = identity, .name = name, .accessCode = accessCode, .secondary = secondary,
            .variables = std::move(variables), .resources = {}};
}

class SimLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        kiv::Runtime::Get().Reset();
        instance = NewInstance(1);
    }
    void TearDown() override
    {
        ClosePort(instance->comHandle);
        FreeInstance(instance);
        PlatformSetTimeScale(1.0);
    }
    // Opens the line once the stations are added; the read time-out bounds each byte.
    void Open(uint32_t comTimeout = 1000)
    {
        auto path = sim.OpenPty();
        ASSERT_TRUE(path);
        const LineSettings line{1200, 7, 0, 2};
        PortHandle handle = 0;
        ASSERT_EQ(OpenPort(path->c_str(), &line, 0x0303, &handle), 0u);
        instance->comHandle = handle;
        Timeout(comTimeout);
        ClearLog();
    }
    void Timeout(uint32_t comTimeout)
    {
        instance->comTimeout = comTimeout;
        SetReadTimeout(instance->comHandle, comTimeout);
    }
    trs::sim::Simulator sim;
    DriverInstance *instance = nullptr;
};

} // namespace trs_test
