// Start, restart, port change and end of an instance, through DrvMain.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "Fixture.h"
#include "entry/KivRun.h"
#include "host/Host.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

using trs_test::Count;
using trs_test::Format;

namespace {

class Lifecycle : public trs_test::InstanceFixture {
protected:
    size_t CountPrefix(int level, const std::string &prefix)
    {
        size_t n = 0;
        for (const auto &line : trs_test::Lines())
            n += line.level == level && line.text.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
};

TEST_F(Lifecycle, SwitchedOffInstanceDoesNothingButIsSafeToEnd)
{
    WriteInitFile("001 = 'PLC1' , '1234'\n");
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL", 1, /*enabled*/ 0), 0u);
    EXPECT_EQ(CountPrefix(LOG_TRACE, "TRSLNK> version compiled on "), 1u);
    EXPECT_EQ(trs_test::Lines().size(), 1u) << "no file read, no port, no client: " << trs_test::Dump();
    EXPECT_EQ(instance->enabled, 0u);
    EXPECT_EQ(instance->comHandle, 0u);
    EXPECT_EQ(instance->busMutex, nullptr);
    EXPECT_EQ(StationOf(instance, 1), nullptr);
    EXPECT_TRUE(kiv::Runtime::Get().ClientNames().empty());
    EXPECT_EQ(EndDrv(instance), 0u);
}

TEST_F(Lifecycle, ShortHostTimeoutWarnsAndStillStarts)
{
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL", 1, 1, /*10 s*/ 1000), 0u) << trs_test::Dump();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> ColdStart() WARNING: Kivora DRV timeout < 15 sec"), 1u);
    EXPECT_EQ(instance->hostTimeoutMs, 10000u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> ColdStart() Driver for DRV 1 loaded successfully"), 1u);
    EXPECT_EQ(EndDrv(instance), 0u);
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> ColdStart() WARNING: Kivora DRV timeout < 15 sec"), 1u);
}

TEST_F(Lifecycle, DefaultTimeoutDependsOnTheMode)
{
    struct {
        const char *file;
        uint32_t expected;
    } cases[] = {{"", 100}, {"MODEM = YES\n", 700}, {"MODEM = YES\nCOM_TIMEOUT = 3\n", 300}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        WriteInitFile(c.file);
        DriverInstance *instance = NewBlock();
        ASSERT_EQ(ColdStart(instance, "NUL"), 0u) << trs_test::Dump();
        EXPECT_EQ(instance->comTimeout, c.expected);
        EXPECT_EQ(EndDrv(instance), 0u);
    }
}

TEST_F(Lifecycle, ModemModeOpensNoPort)
{
    WriteInitFile("MODEM = YES\n");
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "ttyDoesNotExist"), 0u) << trs_test::Dump();
    EXPECT_EQ(instance->comHandle, 0u);
    EXPECT_EQ(CountPrefix(LOG_TRACE, "TRSLNK> ColdStart() port "), 0u);
    EXPECT_EQ(EndDrv(instance), 0u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> EndDrv() disconnecting all MM connections"), 1u);
    EXPECT_EQ(CountPrefix(LOG_TRACE, "TRSLNK> CloseCom()"), 0u) << "modem mode closes no port";
}

TEST_F(Lifecycle, MissingPortFailsBeforeTheMutex)
{
    DriverInstance *instance = NewBlock();
    EXPECT_EQ(ColdStart(instance, "ttyNone9"), 1u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> ColdStart() unable to open ttyNone9 port"), 1u) << trs_test::Dump();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> OpenCom() exited with error"), 1u);
    EXPECT_EQ(instance->busMutex, nullptr);
    EXPECT_TRUE(kiv::Runtime::Get().ClientNames().empty());
}

TEST_F(Lifecycle, InstancesOfOneDrvNumberShareTheBusMutex)
{
    DriverInstance *first = NewBlock();
    DriverInstance *second = NewBlock();
    DriverInstance *other = NewBlock();
    ASSERT_EQ(ColdStart(first, "NUL", 4), 0u);
    ASSERT_EQ(ColdStart(second, "NUL", 4), 0u);
    ASSERT_EQ(ColdStart(other, "NUL", 5), 0u);
    EXPECT_NE(first->busMutex, nullptr);
    EXPECT_EQ(first->busMutex, second->busMutex);
    EXPECT_NE(first->busMutex, other->busMutex);
    auto names = kiv::Runtime::Get().ClientNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "WIT_No_04"), 2);
    EXPECT_EQ(std::count(names.begin(), names.end(), "WIT_No_05"), 1);
    EXPECT_EQ(EndDrv(first, 4), 0u);
    EXPECT_EQ(EndDrv(second, 4), 0u);
    EXPECT_EQ(EndDrv(other, 5), 0u);
}

TEST_F(Lifecycle, EndDrvClosesThePortRemovesTheClientAndStopsTheThread)
{
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL"), 0u);
    EXPECT_NE(instance->comHandle, 0u);
    EXPECT_TRUE(trs_test::WaitForLine(LOG_ERROR, "TrsLNK: DRV 1 Starting UpdateOnlineTagsThread()...")) << trs_test::Dump();
    uint8_t client = instance->clientId;
    EXPECT_TRUE(kiv::Runtime::Get().ClientExists(client));
    EXPECT_EQ(EndDrv(instance), 0u);
    EXPECT_EQ(instance->comHandle, 0u);
    EXPECT_FALSE(kiv::Runtime::Get().ClientExists(client));
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> CloseCom() exited 0"), 1u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> EndDrv() exited, 0"), 1u);
    EXPECT_EQ(Count(LOG_ERROR, "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()"), 1u) << trs_test::Dump();
    // The thread ends when it learns that its client is gone, after EndDrv's own lines.
    auto lines = trs_test::Lines();
    auto at = [&](const std::string &text) {
        return std::find_if(lines.begin(), lines.end(), [&](const kiv::LogLine &l) { return l.text == text; });
    };
    EXPECT_LT(at("TRSLNK> EndDrv() exited, 0"), at("TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()"));
}

TEST_F(Lifecycle, EndDrvReportsAFailedClientRemoval)
{
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL"), 0u);
    kiv::Runtime::Get().InjectFailure(kiv::Call::RmClient, kiv::kAllGates, 9);
    EXPECT_EQ(EndDrv(instance), 0u);
    kiv::Runtime::Get().ClearFailures();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: EndDrv() Failed to remove Client!"), 1u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> EndDrv() exited, 9"), 1u);
}

TEST_F(Lifecycle, FailedClientFailsTheColdStart)
{
    DriverInstance *instance = NewBlock();
    kiv::Runtime::Get().InjectFailure(kiv::Call::MkClient, kiv::kAllGates, 3);
    EXPECT_EQ(ColdStart(instance, "NUL", 7), 1u);
    kiv::Runtime::Get().ClearFailures();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: Failed to Make Client. Drv 7"), 1u);
    // The port that step opened stays open until EndDrv closes it.
    EXPECT_NE(instance->comHandle, 0u);
    EXPECT_EQ(EndDrv(instance, 7), 0u);
    EXPECT_EQ(instance->comHandle, 0u);
}

TEST_F(Lifecycle, CloseComTwiceSucceedsBothTimes)
{
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL"), 0u);
    EXPECT_EQ(Call(instance, FN_CLOSE_COM, nullptr), 0u);
    EXPECT_EQ(Call(instance, FN_CLOSE_COM, nullptr), 0u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> CloseCom() exited 0"), 2u);
    EXPECT_EQ(EndDrv(instance), 0u);
}

TEST_F(Lifecycle, ChangeDrvParamsMovesToANewPort)
{
    trs::sim::Simulator first, second;
    auto firstPort = first.OpenPty();
    auto secondPort = second.OpenPty();
    ASSERT_TRUE(firstPort && secondPort);
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, *firstPort), 0u) << trs_test::Dump();

    PortChangeParams change{};
    CopyText(change.portName, sizeof change.portName, secondPort->c_str());
    change.lineSettings = LineSettings{0, 0, 0, 0}; // keep the current settings
    trs_test::ClearLog();
    EXPECT_EQ(Call(instance, FN_CHANGE_DRV_PARAMS, &change), 0u) << trs_test::Dump();
    EXPECT_EQ(Count(LOG_ERROR, Format("TRSLNK01: ChangeDrvParams() successful. %s closed, %s opened",
                                      firstPort->c_str(), secondPort->c_str())),
              1u)
        << trs_test::Dump();
    EXPECT_EQ(instance->lineSettings.baudRate, 9600);
    EXPECT_STREQ(instance->portName, secondPort->c_str());

    // The same name again: the open port is not closed first, so the new open fails and
    // the open handle stays.
    PortHandle open = instance->comHandle;
    EXPECT_EQ(Call(instance, FN_CHANGE_DRV_PARAMS, &change), 2u);
    EXPECT_EQ(Count(LOG_ERROR, Format("TRSLNK01: ChangeDrvParams() failed to close %s and open %s",
                                      secondPort->c_str(), secondPort->c_str())),
              1u);
    EXPECT_EQ(instance->comHandle, open);
    EXPECT_EQ(EndDrv(instance), 0u);
}

TEST_F(Lifecycle, WarmStartLogsTheStationOn)
{
    trs::sim::Simulator simulator;
    trs::sim::StationConfig station;
    station.identity = 3;
    station.name = "PLC3";
    station.accessCode = "4711";
    simulator.AddStation(station);
    auto port = simulator.OpenPty();
    ASSERT_TRUE(port);
    WriteInitFile("003 = 'PLC3' , '4711'\n");
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, *port), 0u) << trs_test::Dump();

    uint32_t number = 3;
    EXPECT_EQ(Call(instance, FN_WARM_START, &number), 0u) << trs_test::Dump();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: DRV 1 station 3. Warm Start"), 1u);
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> WarmStart() exited, rc 0"), 1u);
    EXPECT_EQ(instance->loggedOnStation, 3);
    auto telegrams = simulator.Telegrams();
    ASSERT_EQ(telegrams.size(), 2u);
    EXPECT_EQ(telegrams[0], "IDENT?\t");
    EXPECT_EQ(telegrams[1], "PLC3\tACCES\t4711\t");

    // A station the file does not declare, and one beyond the table.
    for (uint32_t undeclared : {9u, 259u}) {
        trs_test::ClearLog();
        EXPECT_EQ(Call(instance, FN_WARM_START, &undeclared), 2u);
        EXPECT_EQ(Count(LOG_ERROR, Format("TRSLNK: InitStation() Station %u not defined", undeclared)), 1u)
            << trs_test::Dump();
        EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: WarmStart() InitStation failed"), 1u);
        EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> WarmStart() exited, rc 2"), 1u);
    }
    EXPECT_EQ(EndDrv(instance), 0u);
}

TEST_F(Lifecycle, EndDrvSendsEtxToSecondaryStations)
{
    trs::sim::Simulator simulator;
    auto port = simulator.OpenPty();
    ASSERT_TRUE(port);
    WriteInitFile("001 = 'MAIN' , '1'\n002 = 'MAIN PUMPS' , '2'\n");
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, *port), 0u) << trs_test::Dump();
    ASSERT_NE(StationOf(instance, 2), nullptr);
    EXPECT_EQ(StationOf(instance, 2)->secondary, 1u);
    instance->transparentMode = 1;
    simulator.ClearLog();
    EXPECT_EQ(EndDrv(instance), 0u);
    EXPECT_EQ(instance->transparentMode, 0u);
    EXPECT_EQ(StationOf(instance, 1), nullptr);
    EXPECT_EQ(StationOf(instance, 2), nullptr);
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: EndDrv() Failed to send ETX to secondary station"), 0u) << trs_test::Dump();
    // The ETX is on the line before the port closed.
    for (int i = 0; i < 100 && simulator.RawInput().find('\x03') == std::string::npos; i++)
        usleep(10000);
    EXPECT_EQ(simulator.RawInput(), std::string("\x03"));
}

} // namespace
