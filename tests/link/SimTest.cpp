// The driver's link layer against the station simulator over a pseudo-terminal.
#include <gtest/gtest.h>

#include "link/Port.h"
#include "link/Station.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

namespace {

struct Rig {
    trs::sim::Simulator sim;
    DriverInstance *instance = nullptr;

    /* Station 5 "PLC1" with access code 1234, declared alike on the simulator and in the driver. */
    explicit Rig(bool secondary)
    {
        trs::sim::StationConfig station;
        station.identity = 5;
        station.name = "PLC1";
        station.accessCode = "1234";
        station.secondary = secondary;
        sim.AddStation(station);
        std::string error;
        auto path = sim.OpenPty(&error);
        EXPECT_TRUE(path) << error;
        instance = trs_test::NewInstance(1);
        // Port names hold 11 characters: the name under /dev is shorter than the path.
        CopyText(instance->portName, sizeof instance->portName, path ? path->substr(5).c_str() : "");
        instance->lineSettings = LineSettings{1200, 7, 0, 2};
        instance->lineControl = 0x0303;
        instance->comHandle = OpenCom(instance);
        EXPECT_NE(instance->comHandle.load(), 0u) << trs_test::Dump();
        SetReadTimeout(instance->comHandle, 1000); /* 100 ms per byte at the scale of 0.01 */
        trs_test::AddStation(instance, 5, "PLC1", "1234", secondary);
        trs_test::ClearLog();
    }
    ~Rig()
    {
        if (instance->comHandle.load() != 0)
            ClosePort(instance->comHandle.exchange(0));
        trs_test::FreeInstance(instance);
    }
};

TEST(SimLinkTest, LogOnThenTheSimulatorGoesAway)
{
    PlatformSetTimeScale(0.01);
    for (bool secondary : {true, false}) {
        SCOPED_TRACE(secondary);
        Rig rig(secondary);
        int32_t identity = 0;
        EXPECT_EQ(InitStation(rig.instance, 5, &identity), 0u) << trs_test::Dump();
        EXPECT_EQ(identity, 5);
        EXPECT_EQ(rig.sim.Telegrams(), (std::vector<std::string>{"IDENT?\t", "PLC1\tACCES\t1234\t"}));
        EXPECT_EQ(rig.sim.RawInput(), secondary ? "\x03\x1bW06\x03\x02" : "\x03\x1bW06\x03");
        EXPECT_EQ(rig.instance->loggedOnStation.load(), 5);
        EXPECT_EQ(rig.instance->transparentMode.load(), secondary ? 1u : 0u);
        EXPECT_EQ(rig.sim.GetCounters().checksumErrors, 0u);
        if (secondary)
            continue;
        // The simulator vanishes mid-exchange: a link failure, without a long wait.
        rig.sim.Stop();
        PlatformSetTimeScale(1.0);
        char payload[32] = "IDENT?\t", reply[100];
        uint32_t length = 0;
        uint32_t sent = SendTelegram(payload, 7, rig.instance, 5);
        EXPECT_EQ(ReceiveMsg(reply, &length, rig.instance, 5, sizeof reply), 2u) << "sent: " << sent;
    }
}

} // namespace
