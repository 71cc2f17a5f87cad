// The faults of real lines, stations, networks and hosts, each against a station's
// journal: what the host sees (results, log lines at their levels, gate values), and
// that every event the station recorded reaches its gate exactly once in the end.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "Rig.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "journal/Journal.h"
#include "platform/Platform.h"
#include "platform/common/Profile.h"
#include "sim/Records.h"

namespace reliability {
namespace {

using trs::sim::Event;
using trs::sim::Fault;
using trs::sim::FaultKind;

using Lines = std::vector<std::tuple<int, std::string, size_t>>; // level, text, how often

std::vector<Event> Journal(const trs::sim::Simulator &simulator) { return simulator.Journal(5); }

Fault Make(FaultKind kind, int count, std::string raw = "", uint32_t delayMs = 0)
{
    return Fault{kind, "J?", count, delayMs, 0, std::move(raw)};
}

// The frame the station sends for the first request of a read of its whole journal.
std::string FirstReply(const trs::sim::Simulator &simulator)
{
    return trs::sim::Frame(trs::sim::JournalReply(*simulator.Station(5), {}));
}

struct JournalFault {
    const char *name;
    std::function<std::vector<Fault>(const trs::sim::Simulator &)> faults;
    bool firstReadCompletes;
    Lines lines;
};

const std::string kReceiveFailed = "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (0 read)";
const std::string kChecksum = "TRSLNK> ReceiveMsg() checksum error";

void PrintTo(const JournalFault &fault, std::ostream *out) { *out << fault.name; }

class JournalFaultTest : public Rig, public ::testing::WithParamInterface<JournalFault> {};

TEST_P(JournalFaultTest, EveryEventReachesItsGateOnce)
{
    const JournalFault &row = GetParam();
    simulator_.AddStation(Plc5(6));
    StartSerial();
    for (const Fault &fault : row.faults(simulator_))
        simulator_.InjectFault(fault);
    ReadJournal(1);
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), row.firstReadCompletes ? 0u : 1u) << trs_test::Dump();
    for (const auto &[level, text, count] : row.lines) {
        size_t seen = 0;
        for (const auto &line : trs_test::Lines())
            seen += line.level == level && line.text.rfind(text, 0) == 0;
        EXPECT_EQ(seen, count) << level << " " << text << "\n" << trs_test::Dump();
    }
    simulator_.ClearFaults();
    if (!row.firstReadCompletes) {
        EXPECT_EQ(LastEvent(), 0) << "the last event is shown only for a whole read";
        ReadJournal(2);
    }
    ExpectStoredOnce(Journal(simulator_));
    EXPECT_EQ(LastEvent(), 6);
}

const JournalFault kJournalFaults[] = {
    {"StationSilent", [](auto &) { return std::vector<Fault>{Make(FaultKind::NoReply, 4)}; }, false,
     {{64, kReceiveFailed, 4},
      {32, "TRSLNK> ReadEventFromJournal() error reading reply, retry 0 '005JR'", 1},
      {32, "TRSLNK> ReadEventFromJournal() error reading reply, retry 3 '005JR'", 1},
      {64, "TRSLNK> ReadJournal() reading of events failed, '005JR'", 1}}},
    {"WrongChecksum", [](auto &) { return std::vector<Fault>{Make(FaultKind::WrongChecksum, 1)}; }, true,
     {{64, kChecksum, 1}}},
    {"GarbageAndNulsBeforeAReply",
     [](auto &sim) { return std::vector<Fault>{Make(FaultKind::Raw, 1, std::string("\0\x7fgarbage\0", 10) + FirstReply(sim))}; },
     true, {{64, kChecksum, 1}}},
    {"GarbageAndNulsAfterAReply",
     [](auto &sim) { return std::vector<Fault>{Make(FaultKind::Raw, 1, FirstReply(sim) + std::string("\0\x7fgarbage\0", 10))}; },
     true, {{64, kChecksum, 0}, {64, "TRSLNK> ReceiveMsg() (SERIAL MODE)", 0}}},
    // One byte beyond the receive buffer: whether it is purged before the retry or comes in
    // front of the next reply (and spoils its checksum), a retry gets the event.
    {"ReplyTooLong", [](auto &) { return std::vector<Fault>{Make(FaultKind::Raw, 1, std::string(10001, 'J'))}; }, true,
     {{32, "TRSLNK> ReceiveMsg() buffer overflow, reading message from controller", 1}}},
    {"ReplyJustAfterTheDeadline", [](auto &) { return std::vector<Fault>{Make(FaultKind::Delay, 1, "", 150)}; }, true,
     {{64, kReceiveFailed, 1}}},
    {"ReplyAfterTwoDeadlines", [](auto &) { return std::vector<Fault>{Make(FaultKind::Delay, 1, "", 250)}; }, true, {}},
    {"ReplyInTwoHalves", [](auto &) { return std::vector<Fault>{Make(FaultKind::Split, 3, "", 20)}; }, true, {}},
    // "%4u" takes a sign: "-001" would name event 65535 next and have every event stored twice.
    {"EventNumberWithASign", [](auto &) { return std::vector<Fault>{Make(FaultKind::Raw, 1, trs::sim::Frame(
         "J=\tE\t-001\t20031215010000\t0001\tALARM\t002\tPUMP_HOUSE\tA\t1\t-\t-\t"))}; }, false,
     {{32, "TRSLNK> StoreEventData() error in event data, Tag '005JR'", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Serial, JournalFaultTest, ::testing::ValuesIn(kJournalFaults),
                         [](const auto &info) { return std::string(info.param.name); });

// A reply that breaks off at any of its positions (and the station says nothing more)
// costs one attempt: the retry stores the event, once.
TEST_F(Rig, ReplyCutAtEveryPositionCostsOneAttempt)
{
    simulator_.AddStation(Plc5(1));
    StartSerial();
    ReadJournal(1);
    size_t length = SIZE_MAX; // of the first reply cut; the others are as long
    for (size_t cut = 0; cut < length; cut++) {
        SCOPED_TRACE(cut);
        Event event = MakeEvent(1);
        event.time += std::chrono::hours(1 + cut);
        simulator_.RecordEvent(5, event);
        const std::string asked = trs_test::Format("#%04u", static_cast<unsigned>(cut + 1));
        const std::string reply = trs::sim::Frame(trs::sim::JournalReply(*simulator_.Station(5), {asked}));
        length = cut == 0 ? reply.size() : length;
        ASSERT_EQ(reply.size(), length);
        simulator_.InjectFault(Make(FaultKind::Raw, 1, reply.substr(0, cut)));
        ReadJournal(cut + 2);
        const char *const broken = "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (%zu read)";
        EXPECT_EQ(trs_test::Count(64, trs_test::Format(broken, cut)), 1u);
    }
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 0u);
    ExpectStoredOnce(Journal(simulator_));
    EXPECT_EQ(LastEvent(), static_cast<double>(length + 1));
}

// The station restarts during a read: its journal is new and numbered from 1 again. The
// events read before and every event of the new journal are stored once.
TEST_F(Rig, StationRestartingMidJournal)
{
    simulator_.AddStation(Plc5(300));
    StartSerial();
    const std::vector<Event> before = Journal(simulator_);
    std::vector<Event> after = {MakeEvent(0, 2004), MakeEvent(1, 2004), MakeEvent(2, 2004)};
    std::thread restart([&] {
        simulator_.WaitForTelegrams(120, std::chrono::seconds(20));
        simulator_.SetNextEventNumber(5, 1);
        simulator_.SetJournal(5, after);
    });
    ReadJournal(1);
    restart.join();
    after = Journal(simulator_);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0].number, 1);
    size_t read = 0; // old events stored before the restart
    for (const char *gate : {"005RA001", "005RD002", "005SR003"}) {
        const auto history = Runtime().Gate(Gate(gate))->history;
        for (const auto &sample : history)
            read += sample.timeStamp < trs::sim::HostTime(after[0].time);
    }
    ASSERT_GE(read, 100u);
    std::vector<Event> expected(before.begin(), before.begin() + static_cast<long>(read));
    expected.insert(expected.end(), after.begin(), after.end());
    ExpectStoredOnce(expected);
    EXPECT_EQ(LastEvent(), 3);
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 0u);
}

// The numbering wraps after 9999 while replies come late around the wrap.
TEST_F(Rig, NumberingWrapsWhileRepliesComeLate)
{
    trs::sim::StationConfig station = Plc5();
    station.journal.nextNumber = 9994;
    for (int i = 0; i < 12; i++)
        station.journal.events.push_back(MakeEvent(i));
    simulator_.AddStation(station);
    StartSerial();
    std::thread late([&] {
        for (size_t telegrams : {5u, 7u}) {
            simulator_.WaitForTelegrams(telegrams, std::chrono::seconds(20));
            simulator_.InjectFault(Make(FaultKind::Delay, 1, "", 150));
        }
    });
    ReadJournal(1);
    late.join();
    if (trs_test::Count(32, kJournalFailed) != 0)
        ReadJournal(2);
    ExpectStoredOnce(Journal(simulator_));
    EXPECT_EQ(LastEvent(), 6);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> StoreEventData() Event 9999 was stored. Event 1 will be read next"), 1u);
}

// The pseudo-terminal goes away during a read (an adapter unplugged): the read ends with
// the line lost, later requests fail at once, and a port opened again goes on where the
// read stopped.
TEST_F(Rig, PseudoTerminalClosedUnderTheDriver)
{
    simulator_.AddStation(Plc5(300));
    StartSerial();
    AddGate("005AI012", GATE_TYPE_U16);
    ASSERT_EQ(host_.Bind(Gate("005AI012")), 0u);
    std::thread unplug([&] {
        simulator_.WaitForTelegrams(50, std::chrono::seconds(20));
        simulator_.Stop();
    });
    ReadJournal(1);
    unplug.join();
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 1u);
    size_t lost = 0;
    for (const auto &line : trs_test::Lines())
        lost += line.level == 32 && line.text.find("port " + port_ + " lost, error 5 (Input/output error)") != std::string::npos;
    EXPECT_EQ(lost, 1u) << trs_test::Dump();
    EXPECT_EQ(host_.Read(Gate("005AI012")), 2u) << "no line";

    auto port = simulator_.OpenPty();
    ASSERT_TRUE(port);
    PortChangeParams change{};
    CopyText(change.portName, sizeof change.portName, port->c_str());
    ASSERT_EQ(host_.ChangeDrvParams(change), 0u) << trs_test::Dump();
    EXPECT_EQ(host_.Read(Gate("005AI012")), 0u);
    ReadJournal(2);
    ExpectStoredOnce(Journal(simulator_));
    EXPECT_EQ(LastEvent(), 300);
}

// In modem mode the station's router vanishes in the middle of a reply during a journal
// read; a later call goes on where the read stopped.
TEST_F(Rig, PeerVanishingMidReplyDuringAJournalRead)
{
    simulator_.AddStation(Plc5(300));
    StartModem();
    std::atomic<bool> cut{false};
    const std::string partial = trs::sim::Frame(trs::sim::JournalReply(*simulator_.Station(5), {})).substr(0, 10);
    simulator_.SetTrace([&](bool incoming, const std::string &bytes) {
        if (!incoming && bytes == partial)
            cut = true;
    });
    std::thread vanish([&] {
        simulator_.WaitForTelegrams(50, std::chrono::seconds(20));
        simulator_.InjectFault(Make(FaultKind::Raw, 1, partial));
        WaitUntil([&] { return cut.load(); });
        simulator_.Stop();
    });
    ASSERT_EQ(host_.Write(Gate("005M_TIMESTAMP"), kDialRef), 0u) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return JournalRuns() >= 1; })) << trs_test::Dump();
    vanish.join();
    simulator_.SetTrace(nullptr);
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 1u) << trs_test::Dump();
    EXPECT_EQ(StationOf(Instance(), 5)->connRef.load(), DIALX_NO_CONNECTION);
    EXPECT_TRUE(WaitUntil([&] { return dialx::GetCounters().openConnections == 0; })) << "no reference is kept";

    auto port = simulator_.ListenTcp(0);
    ASSERT_TRUE(port);
    ASSERT_EQ("", dialx::AddDialEntry({kDialRef + 1, "127.0.0.1", *port, 3000}));
    ASSERT_EQ(host_.Write(Gate("005M_TIMESTAMP"), kDialRef + 1), 0u) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return JournalRuns() >= 2; })) << trs_test::Dump();
    ExpectStoredOnce(Journal(simulator_));
    EXPECT_EQ(LastEvent(), 300);
}

// Every connection reference of the pool in use: a call out fails and an alarm call is
// refused, both without a telegram; with one reference back the journal is read whole.
TEST_F(Rig, PoolWithEveryReferenceInUse)
{
    simulator_.AddStation(Plc5(5));
    StartModem();
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 300), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    ASSERT_EQ("", dialx::AddDialEntry({99, "127.0.0.1", ntohs(address.sin_port), 3000}));
    std::vector<uint16_t> held;
    for (int i = 0; i < 254; i++) {
        uint16_t ref = 0;
        ASSERT_EQ(DIALX_Connect(99, 500, &ref), DIALX_OK) << i;
        held.push_back(ref);
    }
    uint16_t extra = 0;
    EXPECT_EQ(DIALX_Connect(99, 500, &extra), DIALX_NO_FREE_CONNECTION);

    EXPECT_EQ(host_.Write(Gate("005M_TIMESTAMP"), kDialRef), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK01 005: OUTCALL connection failed"), 1u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> ConnectModem() error DIALX_Connect() no free connection"), 1u);
    dialx::SetAlarmCallback([&](uint32_t station, uint16_t ref) { host_.DeliverAlarmCall(station, ref); });
    const int alarmPort = dialx::Listen(0);
    ASSERT_GT(alarmPort, 0);
    trs::sim::Simulator caller;
    caller.AddStation(Plc5(5));
    ASSERT_TRUE(caller.CallIn("127.0.0.1", static_cast<uint16_t>(alarmPort), 5));
    EXPECT_TRUE(WaitUntil([] { return dialx::GetCounters().rejectedCalls == 1; }));
    EXPECT_TRUE(simulator_.Telegrams().empty() && caller.Telegrams().empty()) << "not a telegram";
    caller.Stop();

    ASSERT_EQ(DIALX_Disconnect(held.back()), DIALX_OK);
    ASSERT_EQ(host_.Write(Gate("005M_TIMESTAMP"), kDialRef), 0u) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return JournalRuns() >= 1; }));
    ExpectStoredOnce(Journal(simulator_));
    held.pop_back();
    for (uint16_t ref : held)
        DIALX_Disconnect(ref);
    close(listener);
}

// The host refuses calls during a journal and a history read: each refusal is logged,
// everything else is stored once, and the reads complete.
struct HostFailure {
    const char *name;
    kiv::Call call;
    const char *gate; // nullptr: every gate
    uint16_t status;
    Lines lines;
    size_t stored[3]; // values in 005RA001 (two events, three samples), 005RD002, 005SR003
    double lastEvent;
};

void PrintTo(const HostFailure &failure, std::ostream *out) { *out << failure.name; }

class HostFailureTest : public Rig, public ::testing::WithParamInterface<HostFailure> {};

TEST_P(HostFailureTest, RefusalsAreLoggedAndTheRestIsStoredOnce)
{
    const HostFailure &row = GetParam();
    trs::sim::StationConfig station = Plc5(6);
    station.traces[1] = {.newest = trs::sim::MakeStationTime(2003, 12, 15, 12), .values = {"1,5", "2,5", "3,5"}};
    simulator_.AddStation(station);
    AddGate("005HS", GATE_TYPE_U16);
    AddGate("005_START_DATE", GATE_TYPE_TEXT);
    AddGate("005_START_TIME", GATE_TYPE_TEXT);
    StartSerial("JL_POPUP\nHS_POPUP\n");
    ASSERT_EQ(host_.WriteText(Gate("005_START_DATE"), "15/12/2003"), 0u);
    ASSERT_EQ(host_.WriteText(Gate("005_START_TIME"), "11:00"), 0u);
    Runtime().InjectFailure(row.call, row.gate ? Gate(row.gate) : kiv::kAllGates, row.status);
    ReadJournal(1);
    EXPECT_EQ(host_.Read(Gate("005HS")), 0u) << trs_test::Dump();
    Runtime().ClearFailures();
    EXPECT_EQ(trs_test::Count(32, kJournalFailed), 0u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: Station 5. Reading History from Trace 1 completed"), 1u) << trs_test::Dump();
    for (const auto &[level, text, count] : row.lines)
        EXPECT_EQ(trs_test::Count(level, text), count) << text << "\n" << trs_test::Dump();
    const char *gates[3] = {"005RA001", "005RD002", "005SR003"};
    for (int g = 0; g < 3; g++)
        EXPECT_EQ(Runtime().Gate(Gate(gates[g]))->history.size(), row.stored[g]) << gates[g];
    EXPECT_EQ(LastEvent(), row.lastEvent);
}

const std::string kRefused = "TRSLNK> StoreEventData() resource ERROR, Kiv5PutGateVal(";

const HostFailure kHostFailures[] = {
    {"DigitalGateRefusesItsValue", kiv::Call::PutGateVal, "005RD002", 5, {{32, kRefused + "'005RD002') failed", 2}},
     {5, 0, 2}, 6},
    {"TextGateIsGone", kiv::Call::PutGateStr, "005SR003", 48, {{32, kRefused + "'005SR003') failed", 2}}, {5, 2, 0}, 6},
    {"AnalogGateRefusesEventsAndSamples", kiv::Call::PutGateVal, "005RA001", 48,
     {{32, kRefused + "'005RA001') failed", 2}, {32, "TRSLNK> StoreHistoryData() ERROR, Kiv5PutGateVal('005RA001') failed", 3}},
     {0, 2, 2}, 6},
    {"NoGateFound", kiv::Call::GetGateIdByAddressStr, nullptr, 5,
     {{32, "TRSLNK> StoreEventData() Station (5) Event# 1 resource Tag '005RA001' not found", 1},
      {32, "TRSLNK> StoreEventData() Station (5) Event# 2 Digital (005RD002) and String (005SR002) resource tags not found!", 1}},
     {0, 0, 0}, 0},
    {"AlertsRefused", kiv::Call::StartAlert, nullptr, 9,
     {{32, "TRSLNK: ReadJournal() Failed to start 'Reading Data' Alert!", 1},
      {32, "TRSLNK: ReadHistory() Failed to start 'Reading Data' Alert!", 1}},
     {5, 2, 2}, 6},
};

INSTANTIATE_TEST_SUITE_P(Host, HostFailureTest, ::testing::ValuesIn(kHostFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// The last-event file cannot be written (a folder in its place, or a file that is not
// ours): the reads go on from the number in memory, nothing is read twice, and the file is
// left as it was.
class LastEventFileTest : public Rig, public ::testing::WithParamInterface<bool> {};

TEST_P(LastEventFileTest, UnwritableFileLosesNothingWhileRunning)
{
    const bool folder = GetParam();
    if (folder)
        std::filesystem::create_directory("Last_Eve.ini");
    else
        std::ofstream("Last_Eve.ini") << "[STATIONS]\n005=2\n" << std::string(2 << 20, ';') << "\n";
    simulator_.AddStation(Plc5(4));
    StartSerial("STORE_LAST_EVENT\n");
    ReadJournal(1);
    simulator_.RecordEvent(5, MakeEvent(4));
    ReadJournal(2);
    ExpectStoredOnce(Journal(simulator_));
    EXPECT_EQ(LastEvent(), 5);
    const std::string refused = trs_test::Format("TRSLNK: StoreLastEventNo() Failed. Error %d", folder ? EISDIR : EFBIG);
    EXPECT_EQ(trs_test::Count(32, refused), 2u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: ReadJournal() Failed to store Last event no. in file"), 2u);
    EXPECT_EQ(JournalRequests().back(), "J?\t#0005\t") << "the second read went on from memory";
    EXPECT_EQ(std::filesystem::is_directory("Last_Eve.ini"), folder);
    if (!folder) {
        EXPECT_GT(std::filesystem::file_size("Last_Eve.ini"), 2u << 20);
    }
}

INSTANTIATE_TEST_SUITE_P(File, LastEventFileTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "FolderInItsPlace" : "FileTooLarge"; });

// A process killed while it writes the last-event file leaves it whole: the old or the
// new number, the other sections kept, and no lock held.
TEST_F(Rig, LastEventFileSurvivesAWriterKilledAtAnyMoment)
{
    std::ofstream("Last_Eve.ini") << "; plant A\n[OTHER]\nkeep=1\n[STATIONS]\n007=12\n005=0\n";
    auto read = [](const char *section, const char *key) {
        std::ifstream file("Last_Eve.ini");
        std::stringstream text;
        text << file.rdbuf();
        std::string value;
        return ProfileFind(text.str(), section, key, &value) ? value : std::string("missing");
    };
    std::mt19937 generator(7);
    unsigned seen = 0;
    for (int round = 0; round < 20; round++) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned n = seen + 1;; n++)
                StoreLastEventNo(static_cast<uint16_t>(n % 10000), 5);
        }
        // Killed after it has written a few numbers more.
        const unsigned target = seen + 1 + generator() % 20;
        ASSERT_TRUE(WaitUntil([&] {
            const std::string value = read("STATIONS", "005");
            return value != "missing" && std::stoul(value) >= target;
        }));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const std::string value = read("STATIONS", "005");
        ASSERT_NE(value, "missing") << "round " << round;
        EXPECT_GE(std::stoul(value), target);
        seen = static_cast<unsigned>(std::stoul(value));
        EXPECT_EQ(read("OTHER", "keep"), "1");
        EXPECT_EQ(read("STATIONS", "007"), "12");
    }
    size_t left = 0; // files of writers killed before their rename
    for (const auto &entry : std::filesystem::directory_iterator("."))
        left += entry.path().extension() == ".tmp";
    RecordProperty("temporaryFilesLeft", static_cast<int>(left));
    uint16_t number = 0;
    ASSERT_EQ(StoreLastEventNo(4321, 5), 1u) << "no lock was left behind";
    ASSERT_EQ(GetLastEventNo(&number, 5), 1u);
    EXPECT_EQ(number, 4321);
}

// A station calling in from an address its allow list does not name never gets a byte of
// a log-on; from an address on the list it is logged on and its journal read.
TEST_F(Rig, AlarmCallFromARefusedAddressGetsNoLogOn)
{
    simulator_.AddStation(Plc5(3));
    StartModem();
    std::mutex guard;
    std::vector<std::string> poolLog;
    dialx::SetLogSink([&](const std::string &line) {
        std::lock_guard<std::mutex> lock(guard);
        poolLog.push_back(line);
    });
    std::atomic<int> answered{0};
    dialx::SetAlarmCallback([&](uint32_t station, uint16_t ref) {
        EXPECT_EQ(host_.DeliverAlarmCall(station, ref), 0u);
        answered++;
    });
    AddGate("$A01-005", GATE_TYPE_U16);
    ASSERT_EQ(host_.Bind(Gate("$A01-005")), 0u);
    for (const char *allowed : {"127.0.0.2", "127.0.0.1"}) {
        SCOPED_TRACE(allowed);
        dialx::Directory directory;
        directory.alarm.enabled = true;
        dialx::AddressPrefix prefix;
        ASSERT_EQ(dialx::AddressPrefix::Parse(allowed, prefix), "");
        directory.alarm.access.allowFrom[5] = {prefix};
        ASSERT_EQ(dialx::Configure(directory), "");
        trs::sim::Simulator caller;
        caller.AddStation(Plc5(3));
        ASSERT_TRUE(caller.CallIn("127.0.0.1", static_cast<uint16_t>(dialx::ListenPort()), 5));
        if (std::string(allowed) == "127.0.0.2") {
            ASSERT_TRUE(WaitUntil([] { return dialx::GetCounters().rejectedCalls == 1; }));
            caller.Stop();
            EXPECT_EQ(caller.RawInput(), "") << "not even the wake-up";
            EXPECT_TRUE(caller.Telegrams().empty());
            std::lock_guard<std::mutex> lock(guard);
            const char *const refused =
                "alarm call from 127.0.0.1 as station 5 refused: the address is not on the station's allow list";
            EXPECT_EQ(std::count(poolLog.begin(), poolLog.end(), refused), 1);
        } else {
            // The host's answer returns once the journal is read and the call hung up.
            ASSERT_TRUE(WaitUntil([&] { return answered == 1; })) << trs_test::Dump();
            caller.Stop();
            EXPECT_EQ(caller.Telegrams().at(0), "IDENT?\t");
            ExpectStoredOnce(caller.Journal(5));
        }
    }
    EXPECT_EQ(answered, 1) << "one call reached the driver";
}

} // namespace
} // namespace reliability
