// TRSLNK32.dll loaded with LoadLibrary, as a Windows host loads it, against a simulated
// station behind a COM port (scripts/wine-test.sh: the simulator runs on the build machine
// behind a pseudo-terminal that Wine maps to the port named by TRS_WINE_PORT; its
// stations are those of stations.toml). Gates live in KIVRUN.dll, which the driver calls.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdlib.h>
#include <string>
#include <thread>
#include <time.h>
#include <windows.h>

#include "host/Host.h"

namespace fs = std::filesystem;

namespace {

const char kJournalDone[] = "TRSLNK: Station 5. Reading alerts completed";
const char kHistoryDone[] = "TRSLNK: Station 5. reading History completed";

size_t Count(int level, const std::string &text)
{
    size_t n = 0;
    for (const auto &line : kiv::Runtime::Get().Log())
        n += line.level == level && line.text == text;
    return n;
}

std::string Dump()
{
    std::string text;
    for (const auto &line : kiv::Runtime::Get().Log())
        text += std::to_string(line.level) + " " + line.text + "\n";
    return text;
}

// Waits until the line has been logged `count` times; a worker thread of the driver logs it.
bool WaitForCount(const char *line, size_t count)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Count(32, line) < count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A station's local time as the driver converts it (the same C runtime, the same zone).
uint32_t LocalTime(int year, int month, int day, int hour, int minute)
{
    struct tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<uint32_t>(mktime(&t));
}

std::vector<std::pair<double, uint32_t>> Stored(uint32_t gate)
{
    std::vector<std::pair<double, uint32_t>> samples;
    const auto state = kiv::Runtime::Get().Gate(gate);
    for (const auto &s : state->history)
        samples.emplace_back(s.value, s.timeStamp);
    return samples;
}

class WineHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *port = getenv("TRS_WINE_PORT");
        ASSERT_NE(port, nullptr) << "TRS_WINE_PORT names the COM port of the simulator";
        port_ = port;
        kiv::Runtime::Get().Reset();
        // A working folder of its own: the initialisation file and Last_Eve.ini go there.
        char name[64];
        snprintf(name, sizeof name, "trs-wine-%lu-%d", GetCurrentProcessId(), ++serial_);
        directory_ = fs::temp_directory_path() / name;
        fs::create_directories(directory_);
        previous_ = fs::current_path();
        fs::current_path(directory_);
        // The module beside this program, as a host keeps its drivers beside itself.
        char self[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
        ASSERT_TRUE(n > 0 && n < sizeof self);
        module_ = (fs::path(self).parent_path() / "TRSLNK32.dll").string();
    }

    void TearDown() override
    {
        fs::current_path(previous_);
        std::error_code error;
        fs::remove_all(directory_, error);
    }

    uint32_t Add(const char *address, uint16_t type)
    {
        kiv::GateSpec spec;
        spec.name = address;
        spec.address = address;
        spec.type = type;
        return kiv::Runtime::Get().AddGate(spec);
    }

    void WriteInitFile(const std::string &text)
    {
        std::ofstream("TRSLNK01.INT") << text;
    }

    ColdStartParams Params() const
    {
        ColdStartParams params{};
        snprintf(params.portName, sizeof params.portName, "%s", port_.c_str());
        params.enabled = 1;
        params.hostTimeout = 1500;
        params.lineSettings = LineSettings{9600, 7, 0, 2};
        return params;
    }

    // Loads the module and starts drv 1 on the simulator's port with these keys.
    void Start(kiv::DriverHost &host, const std::string &keys)
    {
        WriteInitFile(keys + "COM_TIMEOUT = 5\n005 = 'PLC5' , '1234'\n");
        std::string error;
        ASSERT_TRUE(host.Load(module_, &error)) << error;
        ASSERT_EQ(host.ColdStart(1, Params()), 0u) << Dump();
        ASSERT_GT(host.BindAll(), 0u) << Dump();
    }

    static int serial_;
    std::string port_, module_;
    fs::path directory_, previous_;
};

int WineHost::serial_ = 0;

TEST_F(WineHost, TheModuleTellsItsContractAndStartsAndEndsOnTheComPort)
{
    kiv::DriverHost host;
    std::string error;
    ASSERT_TRUE(host.Load(module_, &error)) << error;
    HMODULE module = GetModuleHandleA("TRSLNK32.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(module, "DrvMain")), reinterpret_cast<void *>(host.Entry()));
    DrvInfo info{};
    ASSERT_EQ(host.GetDrvInfo(&info), 0u);
    EXPECT_EQ(info.version, 70u);
    EXPECT_STREQ(info.shortName, "Wit");
    EXPECT_EQ(info.four, 4u);
    EXPECT_EQ(info.one, 1u);
    EXPECT_EQ(info.lineSettings.baudRate, 1200u);

    WriteInitFile("005 = 'PLC5' , '1234'\n");
    // Started, ended and started again: the port opens anew each time, also where the
    // port refuses to be given the settings it already has.
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        kiv::Runtime::Get().ClearLog();
        ASSERT_EQ(host.ColdStart(1, Params()), 0u) << Dump();
        EXPECT_EQ(kiv::Runtime::Get().ClientNames(), std::vector<std::string>{"WIT_No_01"});
        bool opened = false;
        for (const auto &line : kiv::Runtime::Get().Log())
            opened |= line.text.rfind("TRSLNK> OpenCom() exited OK, file handle ", 0) == 0;
        EXPECT_TRUE(opened) << Dump();

        // A second instance on the same port in this process is refused the port.
        kiv::DriverHost second;
        second.Attach(host.Entry());
        kiv::Runtime::Get().ClearLog();
        EXPECT_EQ(second.ColdStart(2, Params()), 1u);
        EXPECT_EQ(Count(32, "TRSLNK> OpenCom() exited with error"), 1u) << Dump();

        EXPECT_EQ(host.EndDrv(), 0u) << Dump();
        EXPECT_TRUE(kiv::Runtime::Get().ClientNames().empty());
    }
}

TEST_F(WineHost, ReadsAndWritesValuesOfEveryKind)
{
    const uint32_t flow = Add("005AI012", GATE_TYPE_U16), level = Add("005FR002", GATE_TYPE_FLOAT);
    const uint32_t site = Add("005SR001", GATE_TYPE_TEXT);
    kiv::Runtime &runtime = kiv::Runtime::Get();
    kiv::DriverHost host;
    Start(host, "CLOCK_SYNC = NEVER\n");

    ASSERT_EQ(host.Read(flow), 0u) << Dump();
    ASSERT_EQ(host.Read(level), 0u) << Dump();
    ASSERT_EQ(host.Read(site), 0u) << Dump();
    EXPECT_EQ(runtime.Gate(flow)->current.value, 1234);
    EXPECT_FLOAT_EQ(static_cast<float>(runtime.Gate(level)->current.value), 3.25f);
    EXPECT_EQ(runtime.Gate(site)->current.text, "North");

    ASSERT_EQ(host.Write(flow, 345), 0u) << Dump();
    ASSERT_EQ(host.Write(level, 1.5), 0u) << Dump();
    ASSERT_EQ(host.WriteText(site, "South"), 0u) << Dump();
    ASSERT_EQ(host.Read(flow), 0u) << Dump();
    EXPECT_EQ(runtime.Gate(flow)->current.value, 345);
    ASSERT_EQ(host.Read(level), 0u) << Dump();
    EXPECT_FLOAT_EQ(static_cast<float>(runtime.Gate(level)->current.value), 1.5f);
    ASSERT_EQ(host.Read(site), 0u) << Dump();
    EXPECT_EQ(runtime.Gate(site)->current.text, "South           ") << "a text goes out in a field of 16";

    // The station's values as they were, for the tests after this one.
    EXPECT_EQ(host.Write(flow, 1234), 0u);
    EXPECT_EQ(host.Write(level, 3.25), 0u);
    EXPECT_EQ(host.WriteText(site, "North"), 0u);
    EXPECT_EQ(host.EndDrv(), 0u);
}

TEST_F(WineHost, JournalGoesIntoItsGatesAndItsLastNumberIntoTheProfileFile)
{
    const uint32_t analog = Add("005RA001", GATE_TYPE_FLOAT), digital = Add("005RD002", GATE_TYPE_DIGITAL);
    const uint32_t text = Add("005SR003", GATE_TYPE_TEXT), jr = Add("005JR", GATE_TYPE_U16);
    const uint32_t last = Add("005_LAST_EVENT", GATE_TYPE_U16);
    std::ofstream("Last_Eve.ini") << "; kept\r\n[OTHER]\r\nkey=value\r\n";
    kiv::DriverHost host;
    Start(host, "STORE_LAST_EVENT\nCLOCK_SYNC = NEVER\n");

    ASSERT_EQ(host.Write(jr, 1), 0u) << Dump();
    ASSERT_TRUE(WaitForCount(kJournalDone, 1)) << Dump();
    using Samples = std::vector<std::pair<double, uint32_t>>;
    EXPECT_EQ(Stored(analog), (Samples{{12.5, LocalTime(2003, 12, 15, 12, 0)}, {7.25, LocalTime(2003, 12, 15, 12, 3)}}));
    EXPECT_EQ(Stored(digital), (Samples{{1, LocalTime(2003, 12, 15, 12, 1)}}));
    ASSERT_EQ(kiv::Runtime::Get().Gate(text)->history.size(), 1u);
    EXPECT_EQ(kiv::Runtime::Get().Gate(text)->history[0].text, "Pump on");
    EXPECT_EQ(kiv::Runtime::Get().Gate(last)->current.value, 4);

    // The profile calls keep what was there and write with CR LF.
    std::ifstream file("Last_Eve.ini", std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written.rfind("; kept\r\n[OTHER]\r\nkey=value\r\n", 0), 0u) << written;
    EXPECT_NE(written.find("[STATIONS]\r\n005=4\r\n"), std::string::npos) << written;
    EXPECT_EQ(host.EndDrv(), 0u);

    // The next start goes on from the number in the file: nothing new to store.
    kiv::Runtime::Get().ClearLog();
    kiv::DriverHost again;
    Start(again, "STORE_LAST_EVENT\nCLOCK_SYNC = NEVER\n");
    ASSERT_EQ(again.Write(jr, 1), 0u) << Dump();
    ASSERT_TRUE(WaitForCount(kJournalDone, 1)) << Dump();
    EXPECT_EQ(Count(32, "TRSLNK: ReadEventFromJournal() Last event (4) was read from file"), 1u) << Dump();
    EXPECT_EQ(Stored(analog).size(), 2u);
    EXPECT_EQ(again.EndDrv(), 0u);
}

TEST_F(WineHost, HistoryFromTheStartTimeWithTheSamplesOwnTimes)
{
    const uint32_t level = Add("005RA005", GATE_TYPE_FLOAT), hs = Add("005HS", GATE_TYPE_U16);
    const uint32_t date = Add("005_START_DATE", GATE_TYPE_TEXT), time = Add("005_START_TIME", GATE_TYPE_TEXT);
    kiv::DriverHost host;
    Start(host, "CLOCK_SYNC = NEVER\n");
    ASSERT_EQ(host.WriteText(date, "15/12/2003"), 0u) << Dump();
    ASSERT_EQ(host.WriteText(time, "11:00"), 0u) << Dump();

    ASSERT_EQ(host.Read(hs), 0u) << Dump();
    EXPECT_EQ(Count(32, kHistoryDone), 1u) << Dump();
    // An hour from the newest sample back to the start: four quarter hours, newest first.
    const uint32_t newest = LocalTime(2003, 12, 15, 12, 0);
    EXPECT_EQ(Stored(level), (std::vector<std::pair<double, uint32_t>>{
                                 {12.5, newest}, {11, newest - 900}, {10.5, newest - 1800}, {10, newest - 2700}}));
    EXPECT_EQ(host.EndDrv(), 0u);
}

} // namespace
