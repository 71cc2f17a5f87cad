// The current-states reader over a pool connection: the host re-reads the station's gates
// through the driver while the connection lasts, and the reader ends once it is gone.
#include "ModemRig.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>

namespace modem_it {
namespace {

const char kRefused[] = "TRSLNK> StartReadingCurrentStates() Station (1) already reading current states";
const char kStarted[] = "TRSLNK: Station 1. reading Current states. Please wait...";
const char kCompleted[] = "TRSLNK: ReadCurrentStatesThread() Station 1. reading Current states completed";

using ModemStatesReaderTest = ModemRig;

TEST_F(ModemStatesReaderTest, EcGateKeepsTheStationsGatesCurrentWhileConnected)
{
    WriteInitFile("NO_RECORD\n001 = 'PLC1' , '1234'\n");
    trs::sim::StationConfig plc1 = Plc(1, {{"AI12", "1234"}, {"FR2", "3,25"}});
    plc1.resources[5] = trs::sim::Resource{'A', "   Level  :  4,5"};
    plc1.resources[6] = trs::sim::Resource{'A', "   Pump   :    1"};
    simulator_.AddStation(plc1);
    struct Row {
        uint32_t gate, recordSetting, duringRead;
        bool switched; // NO_RECORD switches RA and RD gates off around their read
    };
    // By the request that reaches the station.
    std::map<std::string, Row> rows = {
        {"PLC1\tETAT?\t5\t1\t", {AddGate("001RA005", GATE_TYPE_FLOAT, 3), 3, 0, true}},
        {"PLC1\tETAT?\t6\t1\t", {AddGate("001RD006", GATE_TYPE_DIGITAL, 2), 2, 0, true}},
        {"PLC1\tVAR?\tAI12\t1\t", {AddGate("001AI012", GATE_TYPE_U16, 3), 3, 3, false}},
        {"PLC1\tVAR?\tFR2\t1\t", {AddGate("001FR002", GATE_TYPE_FLOAT, 0), 0, 0, false}},
    };
    const uint32_t flow = rows["PLC1\tVAR?\tAI12\t1\t"].gate;
    uint32_t ec = AddGate("001EC");
    uint32_t disconnect = AddGate("001M_DISCONNECT");
    AddGate("001M_ONLINE");
    Runtime().AddGate(modem_test::NewGate("001AI013", 2, "other")); // another instance's: never read
    Start(7);
    Dial(1);
    ASSERT_EQ(0u, host_.WarmStart(1)) << trs_test::Dump();
    StationRecord *record = Station(1);
    simulator_.ClearLog();
    trs_test::ClearLog();

    // Every record setting seen when a request reaches the station. The simulator's line
    // thread owns a share of this, so it may outlive the test's scope.
    struct Watch {
        std::map<std::string, uint32_t> gateOf;
        std::map<std::string, std::set<uint32_t>> seen;
        std::mutex guard;
    };
    auto watch = std::make_shared<Watch>();
    for (const auto &[telegram, row] : rows)
        watch->gateOf[telegram] = row.gate;
    simulator_.SetTrace([watch](bool incoming, const std::string &payload) {
        auto it = watch->gateOf.find(payload);
        if (!incoming || it == watch->gateOf.end())
            return;
        uint32_t setting = kiv::Runtime::Get().Gate(it->second)->spec.recordSetting;
        std::lock_guard<std::mutex> lock(watch->guard);
        watch->seen[payload].insert(setting);
    });

    ASSERT_EQ(0u, host_.Read(ec)) << trs_test::Dump();
    EXPECT_EQ(1.0, Gate(ec).current.value);
    ASSERT_TRUE(WaitUntil([&] { return record->statesBusy.load() == 1; })) << trs_test::Dump();
    auto seen = [&](const std::string &telegram) {
        auto all = simulator_.Telegrams();
        return std::count(all.begin(), all.end(), telegram);
    };
    ASSERT_TRUE(WaitUntil([&] { return seen("PLC1\tVAR?\tAI12\t1\t") >= 2; })) << "passes follow each other";
    // A change at the station reaches the gate without any read by the host's own loop.
    simulator_.SetVariable(1, "AI12", "4321");
    ASSERT_TRUE(WaitUntil([&] { return Gate(flow).current.value == 4321; })) << trs_test::Dump();

    EXPECT_EQ(1u, host_.Read(ec)) << "one reader per station";
    EXPECT_EQ(1u, Count(LOG_ERROR, kRefused));

    ASSERT_EQ(0u, host_.Write(disconnect, 1)) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return record->statesBusy.load() == 0; })) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return Count(LOG_ERROR, kCompleted) == 1; })) << trs_test::Dump();
    simulator_.SetTrace(nullptr);
    long started = IndexOf(LOG_ERROR, kStarted);
    long gone = IndexOf(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Modem disconnected. exiting thread");
    EXPECT_GE(started, 0);
    EXPECT_LT(started, gone);
    EXPECT_LT(gone, IndexOf(LOG_ERROR, kCompleted));
    EXPECT_EQ(1u, Count(LOG_ERROR, kStarted));
    EXPECT_EQ(DIALX_NO_CONNECTION, record->connRef.load());
    EXPECT_EQ(0u, dialx::GetCounters().openConnections);

    // Only the data gates of this instance's station went on the wire; the walk never
    // read the EC gate (that would have been a second, refused start).
    auto telegrams = simulator_.Telegrams();
    std::set<std::string> expected;
    for (const auto &[telegram, row] : rows)
        expected.insert(telegram);
    EXPECT_EQ(expected, std::set<std::string>(telegrams.begin(), telegrams.end()));
    EXPECT_EQ(1u, Count(LOG_ERROR, kRefused));
    EXPECT_TRUE(Runtime().Alerts().empty()) << "no 'Reading Data' pop-up asked";

    std::lock_guard<std::mutex> lock(watch->guard);
    for (const auto &[telegram, row] : rows) {
        SCOPED_TRACE(telegram);
        EXPECT_EQ(std::set<uint32_t>{row.duringRead}, watch->seen[telegram]);
        kiv::GateState gate = Gate(row.gate);
        EXPECT_EQ(row.recordSetting, gate.spec.recordSetting) << "put back as the host had it";
        if (row.switched) { // off and back once per pass
            EXPECT_GE(gate.definitionChanges, 2u);
            EXPECT_EQ(0u, gate.definitionChanges % 2);
        } else {
            EXPECT_EQ(0u, gate.definitionChanges);
        }
    }
    EXPECT_FLOAT_EQ(3.25f, static_cast<float>(Gate(rows["PLC1\tVAR?\tFR2\t1\t"].gate).current.value));
    EXPECT_EQ(1.0, Gate(rows["PLC1\tETAT?\t6\t1\t"].gate).current.value);
    EXPECT_FLOAT_EQ(4.5f, static_cast<float>(Gate(rows["PLC1\tETAT?\t5\t1\t"].gate).current.value));
}

} // namespace
} // namespace modem_it
