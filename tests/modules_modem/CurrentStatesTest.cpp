// The current-states reader: which gates it has the host re-read, the record settings
// around each read, the passes, the guard against a second reader and the end of it.
#include "Fixture.h"

#include <algorithm>
#include <errno.h>
#include <functional>
#include <map>
#include <mutex>

#include "Modules/CurrentStates.h"
#include "entry/DialX.h"

namespace modem_test {
namespace {

using kiv::Call;

const char kReadPrefix[] = "TRSLNK: ReadCurrentStatesThread() Failed to get val. tag:";
const char kGone[] = "TRSLNK: ReadCurrentStatesThread() Modem disconnected. exiting thread";
const char kSampling[] = "TRSLNK: DisableSampling() for Plc (5)";
const uint16_t kValueStatus = 77; // every number read fails with this: no driver behind the host here
const uint16_t kTextStatus = 78;

struct GateRow {
    uint32_t id;
    const char *address;
    uint8_t drv;
    uint16_t type;
    uint32_t record;
    bool parsed;
};

const GateRow kGates[] = {
    {0, "005AI1", 1, GATE_TYPE_U16, 3, true},       {1, "005RA3", 1, GATE_TYPE_U16, 3, true},
    {2, "006AI1", 1, GATE_TYPE_U16, 0, true},
    {3, "005AI1", 2, GATE_TYPE_U16, 0, true},       // another instance's gate
    {4, "005ec1", 1, GATE_TYPE_U16, 0, true},       // lower-case e is read
    {5, "005EC", 1, GATE_TYPE_U16, 0, true},        {6, "005cX1", 1, GATE_TYPE_U16, 0, true},
    {7, "005JR", 1, GATE_TYPE_U16, 0, true},        {8, "005jr", 1, GATE_TYPE_U16, 0, true},
    {9, "005M_ONLINE", 1, GATE_TYPE_U16, 0, true},  {10, "005hs", 1, GATE_TYPE_U16, 0, true},
    {11, "005HS", 1, GATE_TYPE_U16, 0, true},       {12, "005_LAST_EVENT", 1, GATE_TYPE_U16, 0, true},
    {13, "005SR1", 1, GATE_TYPE_TEXT, 0, true},     // Record-Never already: left alone
    {14, "005rd4", 1, GATE_TYPE_U16, 5, true},      // memory type compared upper-cased
    {15, "005AI2", 1, GATE_TYPE_U16, 0, false},     // not accepted by this instance
};

const std::vector<std::string> kOnePass = {"005AI1", "005RA3", "005ec1", "005SR1", "005rd4"};

const std::string kStart = "TRSLNK: Station 5. reading Current states. Please wait...";
const std::string kDone = "TRSLNK: ReadCurrentStatesThread() Station 5. reading Current states completed";

class CurrentStatesTest : public InstanceTest {
protected:
    void SetUp() override
    {
        InstanceTest::SetUp();
        trs_test::SetModemMode(instance, true);
        station = trs_test::AddStation(instance, 5, "PLC5", "1234");
        station->connRef = 9; // the reader only looks for 255; the release of 9 is refused
        trs_test::AddStation(instance, 6, "PLC6", "1234");
        for (const auto &g : kGates) {
            kiv::GateSpec def = NewGate(g.address, g.drv);
            def.id = g.id;
            def.type = g.type;
            def.recordSetting = g.record;
            AddGate(def);
            instance->gateParsed[g.id] = g.parsed ? 1 : 0;
        }
        ArmReadFailures();
        subscription = Host().Subscribe([this](const kiv::LogLine &line) { Observe(line); });
    }
    void TearDown() override
    {
        station->connRef = DIALX_NO_CONNECTION;
        EXPECT_TRUE(Ended()) << "reader did not end";
        Host().Unsubscribe(subscription);
        InstanceTest::TearDown();
    }
    void ArmReadFailures()
    {
        Host().ClearFailures();
        Host().InjectFailure(Call::GetGateVal, kiv::kAllGates, kValueStatus);
        Host().InjectFailure(Call::GetGateStr, kiv::kAllGates, kTextStatus);
    }

    // Runs on the reader's thread at every log line.
    void Observe(const kiv::LogLine &line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        busySeen[line.text] = station->statesBusy.load();
        if (line.level != 8 || line.text.rfind(kReadPrefix, 0) != 0)
            return;
        std::string rest = line.text.substr(sizeof kReadPrefix - 1);
        std::string tag = rest.substr(0, rest.find(" rc:"));
        reads.push_back(tag);
        for (const auto &g : kGates)
            if (g.drv == 1 && tag == g.address)
                settingDuringRead[tag] = kiv::Runtime::Get().Gate(g.id)->spec.recordSetting;
        if (onRead)
            onRead(tag);
    }
    std::vector<std::string> Reads()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reads;
    }
    // A fresh row: station 5 connected again, nothing read or logged yet.
    void NextRow()
    {
        std::lock_guard<std::mutex> lock(mutex);
        reads.clear();
        settingDuringRead.clear();
        busySeen.clear();
        station->connRef = 9;
        trs_test::ClearLog();
    }
    uint32_t Start(uint32_t number, uint32_t disconnectAfterRead)
    {
        GateRequest gate{};
        gate.address.station = number;
        RequestBlock request{instance, FN_SINGLE_WRITE, instance->drvNumber, 0, &gate};
        return StartReadingCurrentStates(&request, disconnectAfterRead);
    }
    bool Ended()
    {
        return WaitUntil([&] { return instance->workers.load() == 0; });
    }

    StationRecord *station = nullptr;
    int subscription = 0;
    std::mutex mutex;
    std::vector<std::string> reads;
    std::map<std::string, uint32_t> settingDuringRead, busySeen;
    std::function<void(const std::string &)> onRead;
};

// NO_RECORD switches the record setting of RA/RD gates off around their read and puts it
// back although the read failed; AI gates and settings already at 0 are left alone.
TEST_F(CurrentStatesTest, OnePassReadsTheStationsGatesAndHangsUp)
{
    for (bool noRecord : {false, true}) {
        SCOPED_TRACE(noRecord ? "NO_RECORD and CS_POPUP" : "neither");
        NextRow();
        instance->noRecord = noRecord;
        instance->statesPopup = noRecord;
        ASSERT_EQ(0u, Start(5, 1));
        ASSERT_TRUE(Ended());

        EXPECT_EQ(kOnePass, Reads());
        EXPECT_GE(IndexOf(8, std::string(kReadPrefix) + "005SR1 rc:" + std::to_string(kTextStatus)), 0)
            << "text gates are read as text\n" << trs_test::Dump();
        EXPECT_EQ(noRecord ? 0u : 3u, settingDuringRead["005RA3"]);
        EXPECT_EQ(noRecord ? 0u : 5u, settingDuringRead["005rd4"]);
        EXPECT_EQ(3u, settingDuringRead["005AI1"]);
        for (const auto &g : kGates) { // the counts add up over the rows
            EXPECT_EQ(g.record, GateOf(g.id).spec.recordSetting) << g.address;
            EXPECT_EQ(noRecord && (g.id == 1 || g.id == 14) ? 2u : 0u, GateOf(g.id).definitionChanges) << g.address;
        }

        EXPECT_EQ(1u, busySeen[kStart]) << "claimed by the start, before the thread runs";
        EXPECT_EQ(1u, busySeen[std::string(kReadPrefix) + "005AI1 rc:77"]) << "busy during the reads";
        EXPECT_EQ(1u, busySeen[kDone]) << "cleared after the completion line";
        EXPECT_EQ(0u, station->statesBusy.load());
        EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load()) << "hung up after the pass";
        EXPECT_EQ(0, IndexOf(32, kStart)) << trs_test::Dump();
        long done = IndexOf(32, kDone);
        EXPECT_EQ(static_cast<long>(kOnePass.size()) + 1, done) << trs_test::Dump();
        EXPECT_EQ(done + 1, IndexOf(32, kSampling)) << trs_test::Dump();

        auto alerts = Host().Alerts();
        ASSERT_EQ(noRecord ? 1u : 0u, alerts.size()) << "a pop-up only with CS_POPUP";
        if (noRecord) {
            EXPECT_EQ(kStart, alerts[0].text);
            EXPECT_EQ(0x60000000u, alerts[0].flags);
            EXPECT_NE(0u, alerts[0].endTime);
        }
    }
}

TEST_F(CurrentStatesTest, RecordSettingFailuresAreLoggedAndTheWalkGoesOn)
{
    instance->noRecord = 1;
    Host().InjectFailure(Call::ChangeGateDef, 1, 12);
    ASSERT_EQ(0u, Start(5, 1));
    ASSERT_TRUE(Ended());
    EXPECT_EQ(kOnePass, Reads());
    long set = IndexOf(32, "TRSLNK: ReadCurrentStatesThread. Failed to set 'Record-Never' Tag:(005RA3) rc:12");
    ASSERT_GE(set, 0) << trs_test::Dump();
    EXPECT_EQ(set + 1, IndexOf(8, std::string(kReadPrefix) + "005RA3 rc:77"));
    EXPECT_EQ(set + 2,
              IndexOf(32, "TRSLNK: ReadCurrentStatesThread. Failed to Change 'Record' to (3). Tag:(005RA3) rc:12"));
    EXPECT_EQ(3u, GateOf(1).spec.recordSetting);
}

TEST_F(CurrentStatesTest, PassesGoOnUntilTheConnectionIsGone)
{
    // The third read of the first gate drops the connection, as a break would.
    onRead = [this](const std::string &tag) {
        if (tag == "005AI1" && std::count(reads.begin(), reads.end(), tag) == 3)
            station->connRef = DIALX_NO_CONNECTION;
    };
    ASSERT_EQ(0u, Start(5, 0));
    ASSERT_TRUE(Ended());

    std::vector<std::string> expected;
    for (int pass = 0; pass < 2; pass++)
        expected.insert(expected.end(), kOnePass.begin(), kOnePass.end());
    expected.push_back("005AI1");
    EXPECT_EQ(expected, Reads());
    long gone = IndexOf(32, kGone);
    ASSERT_GE(gone, 0);
    EXPECT_EQ(gone + 1, IndexOf(32, kDone));
    EXPECT_EQ(-1, IndexOf(32, kSampling)) << "no hang-up asked";
    EXPECT_EQ(0u, station->statesBusy.load());
}

TEST_F(CurrentStatesTest, UndeclaredOrBusyStationIsRefusedFromTheFirstMoment)
{
    EXPECT_EQ(1u, Start(7, 1));
    EXPECT_EQ(std::vector<Line>{Line(32, "TRSLNK> StartReadingCurrentStates() Station (7) not declared")}, Logged());

    const std::string refused = "TRSLNK> StartReadingCurrentStates() Station (5) already reading current states";
    ASSERT_EQ(0u, Start(5, 0));
    EXPECT_EQ(3u, Start(5, 1)) << "refused before the reader set its flag";
    EXPECT_EQ(0u, station->disconnectAfterRead.load()) << "a refused start changes nothing";
    ASSERT_TRUE(WaitUntil([&] { return station->statesBusy.load() == 1; }));
    EXPECT_EQ(3u, Start(5, 1));
    EXPECT_EQ(2u, trs_test::Count(32, refused));

    station->connRef = DIALX_NO_CONNECTION;
    ASSERT_TRUE(Ended());
    EXPECT_EQ(0u, station->statesBusy.load());
    EXPECT_EQ(0u, Start(5, 0)) << "a finished reader frees the station";
    ASSERT_TRUE(Ended());
}

TEST_F(CurrentStatesTest, WithoutConnectionTheReaderEndsAtOnce)
{
    trs_test::SetModemMode(instance, false); // serial mode: stations never hold a connection
    for (uint32_t hangUp : {0u, 1u}) {
        SCOPED_TRACE(hangUp);
        NextRow();
        station->connRef = DIALX_NO_CONNECTION;
        ASSERT_EQ(0u, Start(5, hangUp));
        ASSERT_TRUE(Ended());
        std::vector<Line> expected = {{32, kStart}, {32, kGone}, {32, kDone}};
        if (hangUp)
            expected.insert(expected.end(),
                            {{32, kSampling},
                             {64, "TRSLNK> DisconnectModem() error, station 005 was not connected on-line"}});
        EXPECT_EQ(expected, Logged());
        EXPECT_EQ(1u, busySeen[kGone]);
        EXPECT_EQ(0u, station->statesBusy.load());
        EXPECT_TRUE(Reads().empty());
    }
}

TEST_F(CurrentStatesTest, StationsStartedBackToBackEachGetTheirReader)
{
    instance->stations[6].load()->connRef = 9;
    kiv::GateSpec def = NewGate("006AI7");
    def.id = 20;
    AddGate(def);
    instance->gateParsed[20] = 1;

    ASSERT_EQ(0u, Start(5, 1));
    ASSERT_EQ(0u, Start(6, 1));
    ASSERT_TRUE(Ended());

    EXPECT_GE(IndexOf(32, kStart), 0) << trs_test::Dump();
    EXPECT_GE(IndexOf(32, "TRSLNK: Station 6. reading Current states. Please wait..."), 0) << trs_test::Dump();
    auto all = Reads();
    for (const char *tag : {"006AI7", "006AI1", "005RA3"})
        EXPECT_EQ(1, std::count(all.begin(), all.end(), tag)) << tag;
}

TEST_F(CurrentStatesTest, CalledDirectlyItReadsTheNamedStationOnTheCallersThread)
{
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named by the caller" : "through statesStation");
        NextRow();
        station->disconnectAfterRead = 1;
        if (named) {
            instance->statesStation = 6; // another start's station must not matter
            ReadStationCurrentStates(instance, 5);
        } else {
            instance->statesStation = 5;
            ReadCurrentStatesThread(instance);
        }
        EXPECT_EQ(kOnePass, Reads());
        EXPECT_EQ(DIALX_NO_CONNECTION, station->connRef.load());
        EXPECT_GE(IndexOf(32, kDone), 0);
        EXPECT_EQ(5u, instance->statesStation.load());
    }
}

TEST_F(CurrentStatesTest, EndingInstanceStopsTheReaderWithoutHangingUp)
{
    onRead = [this](const std::string &) { instance->stopping = 1; };
    ASSERT_EQ(0u, Start(5, 1));
    ASSERT_TRUE(Ended());
    EXPECT_EQ(std::vector<std::string>{"005AI1"}, Reads());
    EXPECT_GE(IndexOf(32, kDone), 0);
    EXPECT_EQ(0u, station->statesBusy.load());
    EXPECT_EQ(9u, station->connRef.load()) << "the ending instance releases connections itself";

    trs_test::ClearLog();
    EXPECT_EQ(1u, Start(5, 1));
    EXPECT_EQ((std::vector<Line>{{32, trs_test::Format("TRSLNK> StartReadStatusesThread() _beginthread err %u",
                                                       static_cast<unsigned>(ECANCELED))}}),
              Logged());

    instance->stopping = 0;
    station->connRef = DIALX_NO_CONNECTION;
    EXPECT_EQ(0u, Start(5, 0)) << "a failed start leaves no claim behind";
    ASSERT_TRUE(Ended());
}

TEST_F(CurrentStatesTest, AlertFailuresAreLoggedAndTheReadingGoesOn)
{
    instance->statesPopup = 1;
    for (auto [call, line] :
         {std::pair{Call::StartAlert, "TRSLNK: ReadCurrentStatesThread() Failed to start 'Reading Data' Alert!"},
          std::pair{Call::StampAlert, "TRSLNK: ReadCurrentStatesThread() Failed to end 'Reading Data' Alert!"}}) {
        SCOPED_TRACE(line);
        NextRow();
        ArmReadFailures();
        Host().InjectFailure(call, kiv::kAllGates, 6);
        ASSERT_EQ(0u, Start(5, 1));
        ASSERT_TRUE(Ended());
        EXPECT_EQ(1u, trs_test::Count(32, line)) << trs_test::Dump();
        EXPECT_EQ(kOnePass, Reads());
    }
}

} // namespace
} // namespace modem_test
