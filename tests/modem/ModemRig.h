// Modem mode with every piece real and in one process: the host runtime with its gates,
// the driver called through DrvMain, the multi-modem pool carrying TCP connections, and
// simulated stations at the far end of them.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../modules_modem/Fixture.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "address/Address.h"
#include "config/Instance.h"
#include "config/Lifecycle.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "entry/Entry.h"
#include "sim/Simulator.h"

namespace modem_it {

namespace fs = std::filesystem;

using modem_test::IndexOf;
using modem_test::Line;
using modem_test::WaitUntil;
using trs_test::Count;

// The dial reference under which the pool reaches the simulator's TCP port.
constexpr uint16_t kDialRef = 12;

// The first lines of every initialisation file here: the time-out bounds each reply.
constexpr char kModemMode[] = "MODEM = YES\nCOM_TIMEOUT = 5\n";

// The wake-up sequence that every log-on sends ahead of IDENT?.
inline std::string WakeUp()
{
    return std::string("\x03\x1b", 2) + "W06\x03";
}

inline trs::sim::StationConfig Plc(uint32_t identity, std::map<std::string, std::string> variables = {},
                                   const std::string &accessCode = "1234", bool secondary = false)
{
    trs::sim::StationConfig station;
    station.identity = identity;
    station.name = "PLC" + std::to_string(identity);
    station.accessCode = accessCode;
    station.secondary = secondary;
    station.variables = std::move(variables);
    return station;
}

// Lines whose text starts with this prefix, in their order.
inline std::vector<Line> LinesStartingWith(const std::string &prefix)
{
    std::vector<Line> found;
    for (const auto &line : modem_test::Logged())
        if (line.second.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

class ModemRig : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        Runtime().Reset();
        // The online-tags thread makes one pass per host message wait: keep the waits short.
        Runtime().SetWaitMsgPeriod(5);
        dialx::Reset();
        std::string pattern = (fs::temp_directory_path() / "trs-modem-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        previous_ = fs::current_path().string();
        fs::current_path(directory_);
        auto port = simulator_.ListenTcp(0);
        ASSERT_TRUE(port.has_value());
        ASSERT_EQ("", dialx::AddDialEntry({kDialRef, "127.0.0.1", *port, 3000}));
        host_.Attach(DrvMain);
    }
    void TearDown() override
    {
        host_.EndDrv();
        simulator_.Stop();
        dialx::Reset();
        Runtime().Reset();
        if (!previous_.empty())
            fs::current_path(previous_);
        std::error_code error;
        if (!directory_.empty())
            fs::remove_all(directory_, error);
        PlatformSetTimeScale(1.0);
    }

    // The initialisation file of drv number 1, after kModemMode, in the private directory.
    void WriteInitFile(const std::string &text)
    {
        std::ofstream("TRSLNK01.INT", std::ios::binary) << kModemMode << text;
    }
    // Adds a gate of drv number 1 to the host's database.
    uint32_t AddGate(const std::string &address, uint16_t type = GATE_TYPE_U16, uint32_t recordSetting = 0)
    {
        kiv::GateSpec spec = modem_test::NewGate(address, 1, "G" + address);
        spec.type = type;
        spec.recordSetting = recordSetting;
        return Runtime().AddGate(spec);
    }
    // Starts the instance through DrvMain (code 1) and binds every gate (code 3).
    void Start(unsigned expectedBound)
    {
        ColdStartParams params{};
        CopyText(params.portName, sizeof params.portName, "NUL"); // ignored in modem mode
        params.enabled = 1;
        params.hostTimeout = 1500;
        params.lineSettings = LineSettings{9600, 7, 0, 2};
        ASSERT_EQ(0u, host_.ColdStart(1, params)) << trs_test::Dump();
        ASSERT_EQ(1u, Instance()->modemMode);
        ASSERT_EQ(500u, Instance()->comTimeout.load());
        ASSERT_EQ(expectedBound, host_.BindAll()) << trs_test::Dump();
    }
    DriverInstance *Instance() const { return static_cast<DriverInstance *>(host_.Instance()); }
    StationRecord *Station(uint32_t number) const { return StationOf(Instance(), number); }
    // Calls the simulator through the pool, as a connect command does, and hands the
    // reference to the station.
    void Dial(uint32_t station)
    {
        uint16_t ref = DIALX_NO_CONNECTION;
        EXPECT_EQ(DIALX_OK, DIALX_Connect(kDialRef, Instance()->comTimeout.load(), &ref));
        EXPECT_NE(DIALX_NO_CONNECTION, ref);
        ASSERT_NE(nullptr, Station(station)) << "station " << station << " is not declared";
        Station(station)->connRef = ref;
    }
    // Dial, log-on (code 2), and the marks a connect command sets after it.
    void Connect(uint32_t station)
    {
        Dial(station);
        ASSERT_EQ(0u, host_.WarmStart(station)) << trs_test::Dump();
        Station(station)->loggedOn = 1;
        Station(station)->onlineState = 1;
    }
    static kiv::Runtime &Runtime() { return kiv::Runtime::Get(); }
    static kiv::GateState Gate(uint32_t id) { return modem_test::GateOf(id); }

    trs::sim::Simulator simulator_;
    kiv::DriverHost host_;

private:
    std::string directory_, previous_;
};

// DrvMain reaches its operations through weak references, which do not pull objects out
// of a static library: these strong ones make this program hold the whole driver.
using Operation = uint32_t (*)(RequestBlock *);
[[gnu::used]] inline const Operation kDriverOperations[11] = {
    ColdStart, WarmStart, EndDrv, CloseCom, ChangeDrvParams, SingleParse, BlockParse, SingleRead, BlockRead,
    SingleWrite, BlockWrite};

} // namespace modem_it
