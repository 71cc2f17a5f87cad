// The current-states reader with everything real behind it: the host reads each gate
// through the driver, the driver asks a simulated station over a pool connection.
#include "Fixture.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "Modules/CurrentStates.h"
#include "Modules/WitRead.h"
#include "address/Address.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "entry/Entry.h"
#include "sim/Simulator.h"

namespace modem_test {
namespace {

// Runs the test in a private working directory, where ColdStart finds its file.
class WorkingDirectory {
public:
    WorkingDirectory()
    {
        char pattern[] = "/tmp/trs-modem-XXXXXX";
        if (mkdtemp(pattern) && getcwd(previous_, sizeof previous_) && chdir(pattern) == 0)
            path_ = pattern;
    }
    ~WorkingDirectory()
    {
        if (path_.empty())
            return;
        if (chdir(previous_) != 0)
            return;
        std::remove((path_ + "/TRSLNK01.INT").c_str());
        rmdir(path_.c_str());
    }
    bool Ready() const { return !path_.empty(); }

private:
    char previous_[4096] = {};
    std::string path_;
};

// The entry table may reach operations by weak reference, which does not pull them out of
// the static driver library; naming them here does.
__attribute__((used)) DrvMainFn const kLinked[] = {SingleParse, SingleRead};

TEST(ReaderEndToEnd, GatesAreReadThroughTheDriverFromTheStation)
{
    PlatformSetTimeScale(0.01);
    kiv::Runtime &host = kiv::Runtime::Get();
    host.Reset();
    dialx::Reset();
    WorkingDirectory directory;
    ASSERT_TRUE(directory.Ready());
    std::ofstream("TRSLNK01.INT") << "MODEM = YES\nNO_RECORD = YES\n005 = 'PLC5' , '1234'\n";

    trs::sim::Simulator station;
    trs::sim::StationConfig config;
    config.identity = 5;
    config.name = "PLC5";
    config.variables = {{"AI1", "42"}, {"FR2", "3,25"}};
    station.AddStation(config);
    auto port = station.ListenTcp(0);
    ASSERT_TRUE(port.has_value());
    ASSERT_EQ("", dialx::AddDialEntry({1, "127.0.0.1", *port, 3000}));

    kiv::DriverHost driver;
    driver.Attach(DrvMain);
    ColdStartParams params{};
    strcpy(params.portName, "NUL");
    params.enabled = 1;
    params.hostTimeout = 1500;
    ASSERT_EQ(0u, driver.ColdStart(1, params)) << trs_test::Dump();
    uint32_t ai = host.AddGate(NewGate("005AI001"));
    kiv::GateSpec fr = NewGate("005FR002");
    fr.type = GATE_TYPE_FLOAT;
    fr.recordSetting = 3;
    uint32_t fr2 = host.AddGate(fr);
    ASSERT_EQ(2u, driver.BindAll()) << trs_test::Dump();

    auto *instance = static_cast<DriverInstance *>(driver.Instance());
    StationRecord *record = instance->stations[5].load();
    ASSERT_NE(nullptr, record);
    uint16_t ref = DIALX_NO_CONNECTION;
    ASSERT_EQ(0, DIALX_Connect(1, 100, &ref));
    record->connRef = ref;
    record->disconnectAfterRead = 1;
    instance->statesStation = 5;

    ReadCurrentStatesThread(instance);

    EXPECT_EQ(42.0, host.Gate(ai)->current.value) << trs_test::Dump();
    EXPECT_FLOAT_EQ(3.25f, static_cast<float>(host.Gate(fr2)->current.value));
    EXPECT_EQ(3u, host.Gate(fr2)->spec.recordSetting);
    EXPECT_EQ(2u, host.Gate(fr2)->definitionChanges);
    EXPECT_EQ(0u, host.Gate(ai)->definitionChanges);
    auto telegrams = station.Telegrams();
    EXPECT_NE(telegrams.end(), std::find(telegrams.begin(), telegrams.end(), "PLC5\tVAR?\tAI1\t1\t"));
    EXPECT_NE(telegrams.end(), std::find(telegrams.begin(), telegrams.end(), "PLC5\tVAR?\tFR2\t1\t"));
    EXPECT_EQ(DIALX_NO_CONNECTION, record->connRef.load()) << "hung up after the pass";

    EXPECT_EQ(0u, driver.EndDrv());
    dialx::Reset();
}

} // namespace
} // namespace modem_test
