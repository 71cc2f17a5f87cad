// Start, restart, port change and end of an instance, through DrvMain.
#include <gtest/gtest.h>

#include <algorithm>

#include "Fixture.h"
#include "host/Host.h"
#include "platform/Platform.h"
#include "support/SimLine.h"

namespace {

using trs_test::Count;
using trs_test::Format;
using Lifecycle = trs_test::InstanceFixture;

kiv::Runtime &Host() { return kiv::Runtime::Get(); }

TEST_F(Lifecycle, SwitchedOffInstanceDoesNothingButIsSafeToEnd)
{
    WriteInitFile("001 = 'PLC1' , '1234'\n");
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL", 1, /*enabled*/ 0), 0u);
    ASSERT_EQ(trs_test::Lines().size(), 1u) << "no file read, no port, no client: " << trs_test::Dump();
    EXPECT_EQ(trs_test::Lines()[0].text.rfind("TRSLNK> version compiled on ", 0), 0u);
    EXPECT_EQ(std::make_tuple(instance->enabled, instance->comHandle.load(), instance->busMutex, StationOf(instance, 1)),
              std::make_tuple(0u, PortHandle{0}, nullptr, nullptr));
    EXPECT_EQ(EndDrv(instance), 0u);
}

// The time-out defaults by mode; a host time-out below 15 s is warned about.
TEST_F(Lifecycle, TimeoutsAndModes)
{
    const struct {
        const char *file;
        uint32_t hostTimeout, comTimeout;
    } cases[] = {{"", 1500, 100}, {"MODEM = YES\n", 1000, 700}, {"MODEM = YES\nCOM_TIMEOUT = 3\n", 1500, 300}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        trs_test::ClearLog();
        WriteInitFile(c.file);
        DriverInstance *instance = NewBlock();
        ASSERT_EQ(ColdStart(instance, c.file[0] ? "ttyDoesNotExist" : "NUL", 1, 1, c.hostTimeout), 0u) << trs_test::Dump();
        EXPECT_EQ(instance->comTimeout, c.comTimeout);
        EXPECT_EQ(instance->hostTimeoutMs, c.hostTimeout * 10);
        EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> ColdStart() WARNING: Kivora DRV timeout < 15 sec"), c.hostTimeout < 1500 ? 1u : 0u);
        EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> ColdStart() Driver for DRV 1 loaded successfully"), 1u);
        const bool modem = c.file[0] != 0; // modem mode opens and closes no port
        EXPECT_EQ(instance->comHandle != 0, !modem);
        EXPECT_EQ(EndDrv(instance), 0u);
        EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> EndDrv() disconnecting all MM connections"), modem ? 1u : 0u);
        EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> CloseCom() exited 0"), modem ? 0u : 1u);
    }
}

// A missing port fails the start before the mutex; instances of one drv number share it.
TEST_F(Lifecycle, PortAndBusMutex)
{
    DriverInstance *missing = NewBlock();
    EXPECT_EQ(ColdStart(missing, "ttyNone9"), 1u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> ColdStart() unable to open ttyNone9 port"), 1u) << trs_test::Dump();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> OpenCom() exited with error"), 1u);
    EXPECT_EQ(missing->busMutex, nullptr);
    EXPECT_TRUE(Host().ClientNames().empty());
    DriverInstance *first = NewBlock(), *second = NewBlock(), *other = NewBlock();
    ASSERT_EQ(ColdStart(first, "NUL", 4) + ColdStart(second, "NUL", 4) + ColdStart(other, "NUL", 5), 0u);
    EXPECT_TRUE(first->busMutex && first->busMutex == second->busMutex && first->busMutex != other->busMutex);
    auto names = Host().ClientNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "WIT_No_04"), 2);
    EXPECT_EQ(std::count(names.begin(), names.end(), "WIT_No_05"), 1);
    EXPECT_EQ(EndDrv(first, 4) + EndDrv(second, 4) + EndDrv(other, 5), 0u);
}

TEST_F(Lifecycle, EndDrvClosesThePortRemovesTheClientAndStopsTheThread)
{
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL"), 0u);
    EXPECT_TRUE(trs_test::WaitForLine(LOG_ERROR, "TrsLNK: DRV 1 Starting UpdateOnlineTagsThread()...")) << trs_test::Dump();
    uint8_t client = instance->clientId;
    EXPECT_TRUE(Host().ClientExists(client));
    EXPECT_EQ(Call(instance, FN_CLOSE_COM, nullptr), 0u); // twice: the second finds nothing to close
    EXPECT_EQ(Call(instance, FN_CLOSE_COM, nullptr), 0u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> CloseCom() exited 0"), 2u);
    trs_test::ClearLog();
    EXPECT_EQ(EndDrv(instance), 0u);
    EXPECT_EQ(instance->comHandle, 0u);
    EXPECT_FALSE(Host().ClientExists(client));
    // The thread ends when it learns that its client is gone, after EndDrv's own lines.
    EXPECT_EQ(trs_test::Logged(), (std::vector<trs_test::Line>{{LOG_TRACE, "TRSLNK> CloseCom() exited 0"},
                                                               {LOG_TRACE, "TRSLNK> EndDrv() exited, 0"},
                                                               {LOG_ERROR, "TrsLNK: DRV 1 Closing UpdateOnlineTagsThread()"}}));
}

// A refused client fails the start (the port stays open until EndDrv); a failed removal is logged.
TEST_F(Lifecycle, HostRefusalsOfTheClient)
{
    DriverInstance *instance = NewBlock();
    Host().InjectFailure(kiv::Call::MkClient, kiv::kAllGates, 3);
    EXPECT_EQ(ColdStart(instance, "NUL", 7), 1u);
    Host().ClearFailures();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: Failed to Make Client. Drv 7"), 1u);
    EXPECT_NE(instance->comHandle, 0u);
    EXPECT_EQ(EndDrv(instance, 7), 0u);
    EXPECT_EQ(instance->comHandle, 0u);

    instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, "NUL"), 0u);
    trs_test::ClearLog();
    Host().InjectFailure(kiv::Call::RmClient, kiv::kAllGates, 9);
    EXPECT_EQ(EndDrv(instance), 0u);
    Host().ClearFailures();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: EndDrv() Failed to remove Client!"), 1u);
    EXPECT_EQ(Count(LOG_TRACE, "TRSLNK> EndDrv() exited, 9"), 1u);
}

TEST_F(Lifecycle, ChangeDrvParamsMovesToANewPort)
{
    trs::sim::Simulator first, second;
    auto firstPort = first.OpenPty(), secondPort = second.OpenPty();
    ASSERT_TRUE(firstPort && secondPort);
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, *firstPort), 0u) << trs_test::Dump();
    PortChangeParams change{};
    CopyText(change.portName, sizeof change.portName, secondPort->c_str());
    change.lineSettings = LineSettings{0, 0, 0, 0}; // keep the current settings
    EXPECT_EQ(Call(instance, FN_CHANGE_DRV_PARAMS, &change), 0u) << trs_test::Dump();
    EXPECT_EQ(Count(LOG_ERROR, Format("TRSLNK01: ChangeDrvParams() successful. %s closed, %s opened",
                                      firstPort->c_str(), secondPort->c_str())), 1u) << trs_test::Dump();
    EXPECT_EQ(instance->lineSettings.baudRate, 9600);
    EXPECT_STREQ(instance->portName, secondPort->c_str());
    // The same name again: the open port is not closed first, so the new open fails.
    PortHandle open = instance->comHandle;
    EXPECT_EQ(Call(instance, FN_CHANGE_DRV_PARAMS, &change), 2u);
    EXPECT_EQ(Count(LOG_ERROR, Format("TRSLNK01: ChangeDrvParams() failed to close %s and open %s",
                                      secondPort->c_str(), secondPort->c_str())), 1u);
    EXPECT_EQ(instance->comHandle, open);
    EXPECT_EQ(EndDrv(instance), 0u);
}

// WarmStart logs a station on; EndDrv sends ETX to a secondary before the port closes.
TEST_F(Lifecycle, WarmStartAndEndOnTheWire)
{
    trs::sim::Simulator simulator;
    simulator.AddStation(trs_test::SimStation(3, "PLC3", "4711"));
    auto port = simulator.OpenPty();
    ASSERT_TRUE(port);
    WriteInitFile("003 = 'PLC3' , '4711'\n002 = 'MAIN PUMPS' , '2'\n");
    DriverInstance *instance = NewBlock();
    ASSERT_EQ(ColdStart(instance, *port), 0u) << trs_test::Dump();
    uint32_t number = 3;
    EXPECT_EQ(Call(instance, FN_WARM_START, &number), 0u) << trs_test::Dump();
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: DRV 1 station 3. Warm Start"), 1u);
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK> WarmStart() exited, rc 0"), 1u);
    EXPECT_EQ(instance->loggedOnStation, 3);
    EXPECT_EQ(simulator.Telegrams(), (std::vector<std::string>{"IDENT?\t", "PLC3\tACCES\t4711\t"}));
    // A station the file does not declare, and one beyond the table.
    for (uint32_t undeclared : {9u, 259u}) {
        trs_test::ClearLog();
        EXPECT_EQ(Call(instance, FN_WARM_START, &undeclared), 2u);
        EXPECT_EQ(trs_test::Logged(), (std::vector<trs_test::Line>{
                                          {LOG_ERROR, Format("TRSLNK: DRV 1 station %u. Warm Start", undeclared)},
                                          {LOG_ERROR, Format("TRSLNK: InitStation() Station %u not defined", undeclared)},
                                          {LOG_ERROR, "TRSLNK: WarmStart() InitStation failed"},
                                          {LOG_ERROR, "TRSLNK> WarmStart() exited, rc 2"}}));
    }
    EXPECT_EQ(StationOf(instance, 2)->secondary, 1u);
    instance->transparentMode = 1;
    simulator.ClearLog();
    EXPECT_EQ(EndDrv(instance), 0u);
    EXPECT_EQ(instance->transparentMode, 0u);
    EXPECT_EQ(StationOf(instance, 2), nullptr);
    EXPECT_EQ(Count(LOG_ERROR, "TRSLNK: EndDrv() Failed to send ETX to secondary station"), 0u) << trs_test::Dump();
    EXPECT_TRUE(trs_test::WaitUntil([&] { return !simulator.RawInput().empty(); }));
    EXPECT_EQ(simulator.RawInput(), std::string("\x03"));
}

} // namespace
