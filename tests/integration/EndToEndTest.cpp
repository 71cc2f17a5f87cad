// A host with gates, the driver module loaded as a host loads it, and a simulated station
// on a pseudo-terminal: the road of a read and of a write, on the wire and in the gates.
#include <gtest/gtest.h>

#include "Fixture.h"
#include "host/Host.h"
#include "support/SimLine.h"

namespace {

using EndToEnd = trs_test::InstanceFixture;

TEST_F(EndToEnd, ReadsAndWritesThroughTheHost)
{
    auto &runtime = kiv::Runtime::Get();
    runtime.Reset();
    trs::sim::Simulator simulator;
    simulator.AddStation(trs_test::SimStation(1, "PLC1", "1234", false, {{"AI12", "1234"}, {"FR2", "3,25"}, {"SR1", "\"North\""}}));
    auto port = simulator.OpenPty();
    ASSERT_TRUE(port);
    WriteInitFile("001 = 'PLC1' , '1234'\n");
    uint32_t ids[3];
    const std::pair<const char *, uint16_t> gates[] = {
        {"001AI012", GATE_TYPE_U16}, {"001FR002", GATE_TYPE_FLOAT}, {"001SR001", GATE_TYPE_TEXT}};
    for (int i = 0; i < 3; i++) {
        kiv::GateSpec spec;
        spec.name = spec.address = gates[i].first;
        spec.type = gates[i].second;
        ids[i] = runtime.AddGate(spec);
    }
    kiv::DriverHost host;
    std::string error;
    ASSERT_TRUE(host.Load(TRSLNK32_PATH, &error)) << error;
    ColdStartParams params{};
    CopyText(params.portName, sizeof params.portName, port->c_str());
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{9600, 7, 0, 2};
    ASSERT_EQ(host.ColdStart(1, params), 0u) << trs_test::Dump();
    EXPECT_EQ(host.BindAll(), 3u) << trs_test::Dump();
    for (uint32_t id : ids)
        ASSERT_EQ(host.Read(id), 0u) << trs_test::Dump();
    EXPECT_EQ(runtime.Gate(ids[0])->current.value, 1234);
    EXPECT_FLOAT_EQ(static_cast<float>(runtime.Gate(ids[1])->current.value), 3.25f);
    EXPECT_EQ(runtime.Gate(ids[2])->current.text, "North");
    EXPECT_EQ(host.Write(ids[0], 345), 0u) << trs_test::Dump();
    EXPECT_EQ(host.Write(ids[1], 1.5), 0u);
    EXPECT_EQ(simulator.Variable(1, "AI12"), std::optional<std::string>("345"));
    EXPECT_EQ(simulator.Telegrams(),
              (std::vector<std::string>{"PLC1\tVAR?\tAI12\t1\t", "PLC1\tVAR?\tFR2\t1\t",
                                        "PLC1\tVAR?\tSR1\t1\t", "PLC1\tVAR!\tAI12\t345\t", "PLC1\tVAR!\tFR2\t1,500000\t"}));
    EXPECT_EQ(host.EndDrv(), 0u);
}

} // namespace
