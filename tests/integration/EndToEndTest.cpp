// A host with gates, the driver and a simulated station on a pseudo-terminal: the road of
// a read and of a write, checked on the wire and in the gate database.
#include <gtest/gtest.h>

#include "Fixture.h"
#include "host/Host.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

namespace {

class EndToEnd : public trs_test::InstanceFixture {
protected:
    void SetUp() override
    {
        InstanceFixture::SetUp();
        kiv::Runtime::Get().Reset();
        trs::sim::StationConfig station;
        station.identity = 1;
        station.name = "PLC1";
        station.accessCode = "1234";
        station.variables = {{"AI12", "1234"}, {"FR2", "3,25"}, {"SR1", "\"North\""}};
        simulator_.AddStation(station);
        auto port = simulator_.OpenPty();
        ASSERT_TRUE(port);
        port_ = *port;
        WriteInitFile("001 = 'PLC1' , '1234'\n");
    }

    uint32_t AddGate(const char *address, uint16_t type, uint32_t blockLength = 0)
    {
        kiv::GateSpec spec;
        spec.name = address;
        spec.address = address;
        spec.type = type;
        spec.blockLength = blockLength;
        return kiv::Runtime::Get().AddGate(spec);
    }

    ColdStartParams Params() const
    {
        ColdStartParams params{};
        CopyText(params.portName, sizeof params.portName, port_.c_str());
        params.enabled = 1;
        params.hostTimeout = 1500;
        params.lineSettings = LineSettings{9600, 7, 0, 2};
        return params;
    }

    trs::sim::Simulator simulator_;
    std::string port_;
};

TEST_F(EndToEnd, ReadsAndWritesThroughTheHost)
{
    uint32_t flow = AddGate("001AI012", GATE_TYPE_U16);
    uint32_t level = AddGate("001FR002", GATE_TYPE_FLOAT);
    uint32_t site = AddGate("001SR001", GATE_TYPE_TEXT);
    kiv::DriverHost host;
    host.Attach(DrvMain);
    ASSERT_EQ(host.ColdStart(1, Params()), 0u) << trs_test::Dump();
    EXPECT_EQ(host.BindAll(), 3u) << trs_test::Dump();

    ASSERT_EQ(host.Read(flow), 0u) << trs_test::Dump();
    ASSERT_EQ(host.Read(level), 0u) << trs_test::Dump();
    ASSERT_EQ(host.Read(site), 0u) << trs_test::Dump();
    auto &runtime = kiv::Runtime::Get();
    EXPECT_EQ(runtime.Gate(flow)->current.value, 1234);
    EXPECT_FLOAT_EQ(static_cast<float>(runtime.Gate(level)->current.value), 3.25f);
    EXPECT_EQ(runtime.Gate(site)->current.text, "North");

    EXPECT_EQ(host.Write(flow, 345), 0u) << trs_test::Dump();
    EXPECT_EQ(host.Write(level, 1.5), 0u);
    EXPECT_EQ(simulator_.Variable(1, "AI12"), std::optional<std::string>("345"));

    auto telegrams = simulator_.Telegrams();
    std::vector<std::string> expected = {"PLC1\tVAR?\tAI12\t1\t", "PLC1\tVAR?\tFR2\t1\t", "PLC1\tVAR?\tSR1\t1\t",
                                         "PLC1\tVAR!\tAI12\t345\t", "PLC1\tVAR!\tFR2\t1,500000\t"};
    EXPECT_EQ(telegrams, expected);
    EXPECT_EQ(host.EndDrv(), 0u);
}

TEST_F(EndToEnd, TheLoadedModuleServesAHostWrittenAgainstTheContract)
{
    uint32_t flow = AddGate("001AI012", GATE_TYPE_U16);
    kiv::DriverHost host;
    std::string error;
    ASSERT_TRUE(host.Load(TRSLNK32_PATH, &error)) << error;
    DrvInfo info{};
    ASSERT_EQ(host.GetDrvInfo(&info), 0u);
    EXPECT_EQ(info.version, 70u);
    ASSERT_EQ(host.ColdStart(1, Params()), 0u) << trs_test::Dump();
    ASSERT_EQ(host.Bind(flow), 0u);
    ASSERT_EQ(host.Read(flow), 0u) << trs_test::Dump();
    EXPECT_EQ(kiv::Runtime::Get().Gate(flow)->current.value, 1234);
    EXPECT_EQ(host.EndDrv(), 0u);
}

} // namespace
