// The current-states reader over a pool connection: the host re-reads the station's gates
// through the driver while the connection lasts, and the reader ends once it is gone.
#include "ModemRig.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "Modules/CurrentStates.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "support/Support.h"

namespace modem_it {
namespace {

const std::string kInitFile = std::string(kModemMode) + "001 = 'PLC1' , '1234'\n";

trs::sim::StationConfig Plc1()
{
    trs::sim::StationConfig station;
    station.identity = 1;
    station.name = "PLC1";
    station.variables = {{"AI12", "1234"}, {"FR2", "3,25"}};
    station.resources[5] = trs::sim::Resource{'A', "   Level  :  4,5"};
    station.resources[6] = trs::sim::Resource{'A', "   Pump   :    1"};
    return station;
}

class StatesReaderTest : public ModemRig {
protected:
    size_t Seen(const std::string &telegram) const
    {
        size_t n = 0;
        for (const auto &t : simulator_.Telegrams())
            n += t == telegram;
        return n;
    }
};

TEST_F(StatesReaderTest, EcGateKeepsTheStationsGatesCurrentWhileConnected)
{
    WriteInitFile(kInitFile);
    simulator_.AddStation(Plc1());
    uint32_t ec = AddGate("001EC");
    uint32_t flow = AddGate("001AI012");
    uint32_t level = AddGate("001FR002", GATE_TYPE_FLOAT);
    uint32_t disconnect = AddGate("001M_DISCONNECT");
    AddGate("001M_ONLINE");
    // Served by another instance: never read by this one.
    kiv::GateSpec other;
    other.name = "other";
    other.address = "001AI013";
    other.drvNumber = 2;
    Runtime().AddGate(other);
    Start(5);
    Dial(1);
    ASSERT_EQ(0u, host_.WarmStart(1)) << trs_test::Dump();
    StationRecord *record = Station(1);
    simulator_.ClearLog();
    trs_test::ClearLog();

    ASSERT_EQ(0u, host_.Read(ec)) << trs_test::Dump();
    EXPECT_EQ(1.0, Gate(ec).current.value);
    ASSERT_TRUE(WaitUntil([&] { return record->statesBusy.load() == 1; })) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return Seen("PLC1\tVAR?\tAI12\t1\t") >= 2; })) << "passes follow each other";
    EXPECT_EQ(1234, Gate(flow).current.value);
    EXPECT_FLOAT_EQ(3.25f, static_cast<float>(Gate(level).current.value));

    // A change at the station reaches the gate without any read by the host's own loop.
    simulator_.SetVariable(1, "AI12", "4321");
    ASSERT_TRUE(WaitUntil([&] { return Gate(flow).current.value == 4321; })) << trs_test::Dump();

    // One reader per station.
    EXPECT_EQ(1u, host_.Read(ec));
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK> StartReadingCurrentStates() Station (1) already reading current states"));

    ASSERT_EQ(0u, host_.Write(disconnect, 1)) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return record->statesBusy.load() == 0; })) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] {
        return Count(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Station 1. reading Current states completed") == 1;
    })) << trs_test::Dump();
    long started = IndexOf(LOG_ERROR, "TRSLNK: Station 1. reading Current states. Please wait...");
    long gone = IndexOf(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Modem disconnected. exiting thread");
    long completed = IndexOf(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Station 1. reading Current states completed");
    EXPECT_GE(started, 0);
    EXPECT_LT(started, gone);
    EXPECT_LT(gone, completed);
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK: Station 1. reading Current states. Please wait..."));

    // Only the data gates of this instance's station went on the wire.
    auto telegrams = simulator_.Telegrams();
    std::set<std::string> distinct(telegrams.begin(), telegrams.end());
    EXPECT_EQ((std::set<std::string>{"PLC1\tVAR?\tAI12\t1\t", "PLC1\tVAR?\tFR2\t1\t"}), distinct);
    // The walk itself never read the EC gate: that would have been a second start.
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK> StartReadingCurrentStates() Station (1) already reading current states"));
    // Without a 'Reading Data' pop-up nothing is raised.
    EXPECT_TRUE(Runtime().Alerts().empty());
    EXPECT_EQ(DIALX_NO_CONNECTION, record->connRef.load());
}

struct RecordCase {
    const char *label;
    bool noRecord;
    // Record setting of each gate at the moment the station was asked for its value.
    std::map<std::string, uint32_t> duringRead;
    unsigned raChanges;
};

void PrintTo(const RecordCase &c, std::ostream *out)
{
    *out << c.label;
}

class NoRecordTest : public ModemRig, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(NoRecordTest, RecordSettingsAreSwitchedOffOnlyAroundTheReads)
{
    const RecordCase &c = GetParam();
    WriteInitFile((c.noRecord ? "NO_RECORD\n" : "") + kInitFile);
    simulator_.AddStation(Plc1());
    std::map<std::string, uint32_t> gateOf = {
        {"PLC1\tETAT?\t5\t1\t", AddGate("001RA005", GATE_TYPE_FLOAT, 3)},
        {"PLC1\tETAT?\t6\t1\t", AddGate("001RD006", GATE_TYPE_DIGITAL, 2)},
        {"PLC1\tVAR?\tAI12\t1\t", AddGate("001AI012", GATE_TYPE_U16, 3)},
        {"PLC1\tVAR?\tFR2\t1\t", AddGate("001FR002", GATE_TYPE_FLOAT, 0)},
    };
    Start(4);
    Dial(1);
    ASSERT_EQ(0u, host_.WarmStart(1)) << trs_test::Dump();

    // The record setting of the gate at the moment its request reaches the station. The
    // simulator's line thread owns a share of this, so it may outlive the test's scope.
    struct Watch {
        std::map<std::string, uint32_t> gateOf;
        std::mutex guard;
        std::map<std::string, uint32_t> seen;
    };
    auto watch = std::make_shared<Watch>();
    watch->gateOf = gateOf;
    simulator_.SetTrace([watch](bool incoming, const std::string &payload) {
        auto it = watch->gateOf.find(payload);
        if (!incoming || it == watch->gateOf.end())
            return;
        uint32_t setting = kiv::Runtime::Get().Gate(it->second)->spec.recordSetting;
        std::lock_guard<std::mutex> lock(watch->guard);
        watch->seen.emplace(payload, setting);
    });

    // One pass that hangs up afterwards, as after an answered alarm call.
    GateRequest gate{};
    gate.address.station = 1;
    RequestBlock request{Instance(), FN_SINGLE_WRITE, 1, 0, &gate};
    ASSERT_EQ(0u, StartReadingCurrentStates(&request, 1));
    StationRecord *record = Station(1);
    ASSERT_TRUE(WaitUntil([&] { return record->connRef.load() == DIALX_NO_CONNECTION; })) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return record->statesBusy.load() == 0; }));
    simulator_.SetTrace(nullptr);

    std::map<std::string, uint32_t> expected;
    for (const auto &[telegram, id] : gateOf)
        expected[telegram] = c.duringRead.at(Runtime().Gate(id)->spec.address);
    {
        std::lock_guard<std::mutex> lock(watch->guard);
        EXPECT_EQ(expected, watch->seen);
    }
    // Every setting is back as the host had it, and the values arrived.
    EXPECT_EQ(3u, Gate(gateOf["PLC1\tETAT?\t5\t1\t"]).spec.recordSetting);
    EXPECT_EQ(2u, Gate(gateOf["PLC1\tETAT?\t6\t1\t"]).spec.recordSetting);
    EXPECT_EQ(3u, Gate(gateOf["PLC1\tVAR?\tAI12\t1\t"]).spec.recordSetting);
    EXPECT_EQ(c.raChanges, Gate(gateOf["PLC1\tETAT?\t5\t1\t"]).definitionChanges);
    EXPECT_EQ(0u, Gate(gateOf["PLC1\tVAR?\tAI12\t1\t"]).definitionChanges);
    EXPECT_EQ(0u, Gate(gateOf["PLC1\tVAR?\tFR2\t1\t"]).definitionChanges);
    EXPECT_EQ(1234, Gate(gateOf["PLC1\tVAR?\tAI12\t1\t"]).current.value);
    EXPECT_EQ(1.0, Gate(gateOf["PLC1\tETAT?\t6\t1\t"]).current.value);
    EXPECT_FLOAT_EQ(4.5f, static_cast<float>(Gate(gateOf["PLC1\tETAT?\t5\t1\t"]).current.value));
    EXPECT_EQ(0u, dialx::GetCounters().openConnections);
    EXPECT_EQ(1u, Count(LOG_ERROR, "TRSLNK: ReadCurrentStatesThread() Station 1. reading Current states completed"));
}

INSTANTIATE_TEST_SUITE_P(
    Modem, NoRecordTest,
    ::testing::Values(
        RecordCase{"NoRecord", true, {{"001RA005", 0}, {"001RD006", 0}, {"001AI012", 3}, {"001FR002", 0}}, 2},
        RecordCase{"Recording", false, {{"001RA005", 3}, {"001RD006", 2}, {"001AI012", 3}, {"001FR002", 0}}, 0}),
    [](const auto &info) { return std::string(info.param.label); });

} // namespace
} // namespace modem_it
