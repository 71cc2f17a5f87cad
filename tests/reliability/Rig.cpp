#include "Rig.h"

#include <dirent.h>
#include <stdlib.h>
#include <time.h>

#include <fstream>

#include "config/Instance.h"
#include "dialx/Pool.h"
#include "platform/Platform.h"

namespace fs = std::filesystem;

namespace reliability {

const char kJournalDone[] = "TRSLNK: Station 5. Reading alerts completed";
const char kJournalFailed[] = "TRSLNK: ReadJournalThread() failed to read Alerts!";

trs::sim::Event MakeEvent(int i, int year)
{
    const std::string state = i % 3 == 0   ? "Level:" + std::to_string(i) + ",5"
                              : i % 3 == 1 ? std::to_string(i / 3 % 2)
                                           : "Pump " + std::to_string(i) + " on";
    return {.time = trs::sim::MakeStationTime(year, 12, 15) + std::chrono::minutes(i), .code = 1, .word1 = "ALARM",
            .resource = static_cast<uint16_t>(1 + i % 3), .word2 = "PUMP HOUSE", .mark = 'A', .state = state};
}

trs::sim::StationConfig Plc5(int events)
{
    trs::sim::StationConfig station{.identity = 5, .name = "PLC5", .variables = {{"AI12", "1234"}}, .resources = {}};
    station.journal.capacity = 9999;
    for (int i = 0; i < events; i++)
        station.journal.events.push_back(MakeEvent(i));
    return station;
}

static size_t Entries(const char *folder)
{
    size_t count = 0;
    if (DIR *dir = opendir(folder)) {
        while (const dirent *entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

size_t ThreadCount() { return Entries("/proc/self/task"); }
size_t DescriptorCount() { return Entries("/proc/self/fd") - 1; } // less the listing's own

size_t ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoul(line.substr(6));
    return 0;
}

void Rig::SetUp()
{
    // A first thread, so that a runtime's own helper (ThreadSanitizer starts one with the
    // first thread) exists before any test counts threads.
    std::thread([] {}).join();
    setenv("TZ", "UTC", 1);
    tzset();
    PlatformSetTimeScale(0.01);
    Runtime().Reset();
    Runtime().SetWaitMsgPeriod(5);
    dialx::Reset();
    std::string pattern = (fs::temp_directory_path() / "trs-rel-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    previous_ = fs::current_path();
    fs::current_path(directory_);
    trs_test::ClearLog();
}

void Rig::TearDown()
{
    host_.EndDrv();
    simulator_.Stop();
    dialx::Reset();
    Runtime().ClearFailures();
    fs::current_path(previous_);
    std::error_code error;
    fs::permissions(directory_, fs::perms::owner_all, error);
    fs::remove_all(directory_, error);
    PlatformSetTimeScale(1.0);
}

uint32_t Rig::AddGate(const std::string &address, uint16_t type)
{
    return gates_[address] = trs_test::AddGate(address, type);
}

void Rig::Start(const std::string &init, const char *portName)
{
    AddGate("005RA001", GATE_TYPE_FLOAT);
    AddGate("005RD002", GATE_TYPE_DIGITAL);
    AddGate("005SR003", GATE_TYPE_TEXT);
    AddGate("005JR", GATE_TYPE_U16);
    AddGate("005_LAST_EVENT", GATE_TYPE_U16);
    std::ofstream("TRSLNK01.INT") << init << "005 = 'PLC5' , '1234'\n";
    host_.Attach(DrvMain);
    ASSERT_EQ(host_.ColdStart(1, trs_test::StartParams(portName)), 0u) << trs_test::Dump();
    ASSERT_EQ(host_.BindAll(), gates_.size()) << trs_test::Dump();
}

void Rig::StartSerial(const std::string &keys)
{
    auto port = simulator_.OpenPty();
    ASSERT_TRUE(port);
    port_ = *port;
    // Ten seconds: a tenth of a second at the tests' time scale, for a loaded machine.
    Start("CLOCK_SYNC = NEVER\nCOM_TIMEOUT = 10\n" + keys, port_.c_str());
}

void Rig::StartModem(const std::string &keys)
{
    auto port = simulator_.ListenTcp(0);
    ASSERT_TRUE(port);
    ASSERT_EQ("", dialx::AddDialEntry({kDialRef, "127.0.0.1", *port, 3000}));
    AddGate("005M_TIMESTAMP", GATE_TYPE_U16);
    AddGate("005M_DISCONNECT", GATE_TYPE_U16);
    Start("MODEM = YES\nCLOCK_SYNC = NEVER\nCOM_TIMEOUT = 10\n" + keys, "NUL");
}

void Rig::ReadJournal(size_t runs)
{
    ASSERT_EQ(host_.Write(Gate("005JR"), 1), 0u) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return JournalRuns() >= runs; })) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return JournalIdle(); })) << trs_test::Dump();
}

bool Rig::JournalIdle() const
{
    const StationRecord *record = StationOf(Instance(), 5);
    return record && record->journalBusy.load() == 0;
}

double Rig::LastEvent() const
{
    return Runtime().Gate(Gate("005_LAST_EVENT"))->current.value;
}

void Rig::ExpectStoredOnce(const std::vector<trs::sim::Event> &events) const
{
    std::map<std::string, std::vector<std::pair<std::string, uint32_t>>> expected;
    for (const trs::sim::Event &e : events) {
        std::string value = e.state;
        if (e.resource == 1) { // "Level:12,5" is stored as 12.5
            value = value.substr(value.find(':') + 1);
            value[value.find(',')] = '.';
        }
        const char *gate = e.resource == 1 ? "005RA001" : e.resource == 2 ? "005RD002" : "005SR003";
        expected[gate].emplace_back(value, static_cast<uint32_t>(trs::sim::HostTime(e.time)));
    }
    for (const char *gate : {"005RA001", "005RD002", "005SR003"}) {
        std::vector<std::pair<std::string, uint32_t>> stored;
        const auto history = Runtime().Gate(Gate(gate))->history;
        for (const kiv::GateSample &s : history) {
            char number[32];
            snprintf(number, sizeof number, "%.10g", s.value);
            stored.emplace_back(std::string(gate) == "005SR003" ? s.text : number, s.timeStamp);
        }
        EXPECT_EQ(stored, expected[gate]) << gate;
    }
}

std::vector<std::string> Rig::JournalRequests() const
{
    std::vector<std::string> requests;
    for (const auto &t : simulator_.Telegrams())
        if (t.rfind("J?", 0) == 0)
            requests.push_back(t);
    return requests;
}

} // namespace reliability
