#include "ModemRig.h"

#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <ostream>

#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "address/Address.h"
#include "config/Lifecycle.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "entry/Entry.h"
#include "platform/Platform.h"
#include "support/Support.h"

namespace fs = std::filesystem;

namespace modem_it {

// DrvMain reaches its operations through weak references, which do not pull objects out
// of a static library: these strong ones make this program hold the whole driver.
using Operation = uint32_t (*)(RequestBlock *);
extern const Operation kDriverOperations[11];
[[gnu::used]] const Operation kDriverOperations[11] = {ColdStart,  WarmStart,  EndDrv,     CloseCom,
                                                       ChangeDrvParams, SingleParse, BlockParse, SingleRead,
                                                       BlockRead, SingleWrite, BlockWrite};

void PrintTo(const Logged &line, std::ostream *out)
{
    *out << "[" << line.level << "] " << line.text;
}

void ModemRig::SetUp()
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
    simulatorPort_ = *port;
    ASSERT_EQ("", dialx::AddDialEntry({kDialRef, "127.0.0.1", simulatorPort_, 3000}));
    host_.Attach(DrvMain);
}

void ModemRig::TearDown()
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

void ModemRig::WriteInitFile(const std::string &text)
{
    std::ofstream("TRSLNK01.INT", std::ios::binary) << text;
}

uint32_t ModemRig::AddGate(const std::string &address, uint16_t type, uint32_t recordSetting)
{
    kiv::GateSpec spec;
    spec.name = "G" + address;
    spec.address = address;
    spec.type = type;
    spec.drvNumber = 1;
    spec.recordSetting = recordSetting;
    return Runtime().AddGate(spec);
}

void ModemRig::Start(unsigned expectedBound)
{
    ColdStartParams params{};
    // Ignored in modem mode: no port is opened.
    CopyText(params.portName, sizeof params.portName, "NUL");
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{9600, 7, 0, 2};
    ASSERT_EQ(0u, host_.ColdStart(1, params)) << trs_test::Dump();
    ASSERT_EQ(1u, Instance()->modemMode);
    ASSERT_EQ(500u, Instance()->comTimeout.load());
    ASSERT_EQ(expectedBound, host_.BindAll()) << trs_test::Dump();
}

DriverInstance *ModemRig::Instance() const
{
    return static_cast<DriverInstance *>(host_.Instance());
}

StationRecord *ModemRig::Station(uint32_t number) const
{
    return StationOf(Instance(), number);
}

uint16_t ModemRig::Dial(uint32_t station)
{
    uint16_t ref = DIALX_NO_CONNECTION;
    EXPECT_EQ(DIALX_OK, DIALX_Connect(kDialRef, Instance()->comTimeout.load(), &ref));
    EXPECT_NE(DIALX_NO_CONNECTION, ref);
    if (StationRecord *record = Station(station))
        record->connRef = ref;
    else
        ADD_FAILURE() << "station " << station << " is not declared";
    return ref;
}

std::vector<Logged> ModemRig::Lines() const
{
    std::vector<Logged> lines;
    for (const auto &line : trs_test::Lines())
        lines.push_back({line.level, line.text});
    return lines;
}

size_t ModemRig::Count(int level, const std::string &text) const
{
    return trs_test::Count(level, text);
}

long ModemRig::IndexOf(int level, const std::string &text) const
{
    auto lines = Lines();
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].level == level && lines[i].text == text)
            return static_cast<long>(i);
    return -1;
}

std::vector<Logged> ModemRig::LinesStartingWith(const std::string &prefix) const
{
    std::vector<Logged> found;
    for (const auto &line : Lines())
        if (line.text.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

kiv::GateState ModemRig::Gate(uint32_t id) const
{
    auto gate = Runtime().Gate(id);
    EXPECT_TRUE(gate.has_value()) << "gate " << id;
    return gate.value_or(kiv::GateState{});
}

} // namespace modem_it
