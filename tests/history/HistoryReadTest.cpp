// History reads through DrvMain against a simulated station on a pseudo-terminal: every
// sample in its trace's gate with the time the station took it, the 4096 limit, the
// read-all sequence, and replies that are short, foreign or out of range.
#include <gtest/gtest.h>

#include <algorithm>

#include "address/Address.h"
#include "history/History.h"
#include "platform/Platform.h"
#include "reliability/Rig.h"

namespace history_test {
namespace {

using trs::sim::HistoryTrace;
using trs::sim::MakeStationTime;

const auto kNewest = MakeStationTime(2003, 12, 15, 12, 0, 0);

HistoryTrace Periodic(uint16_t number, const char *resource, uint16_t count, char unit, std::vector<std::string> values)
{
    return {.number = number, .resource = resource, .periodCount = count, .periodUnit = unit, .newest = kNewest,
            .values = std::move(values)};
}

std::vector<std::string> Ramp(int count, const char *suffix = ",5")
{
    std::vector<std::string> values;
    for (int i = 0; i < count; i++)
        values.push_back(std::to_string(i) + suffix);
    return values;
}

// Station 5 without events, on the rig of the reliability tests (which has the journal gates).
class HistoryReadTest : public reliability::Rig {
protected:
    void SetUp() override { Rig::SetUp(); simulator_.AddStation(reliability::Plc5()); }

    // Starts the instance with the history command gate and the start date and time (or neither).
    void Start(const char *startDate = "15/12/2003", const char *startTime = "07:00")
    {
        for (const char *gate : {"005HS", "005_START_DATE", "005_START_TIME"})
            AddGate(gate, gate[3] == '_' ? GATE_TYPE_TEXT : GATE_TYPE_U16);
        StartSerial();
        hs_ = Gate("005HS");
        if (startDate) {
            ASSERT_EQ(host_.WriteText(Gate("005_START_DATE"), startDate), 0u);
            ASSERT_EQ(host_.WriteText(Gate("005_START_TIME"), startTime), 0u);
        }
        simulator_.ClearLog();
        trs_test::ClearLog();
    }

    // The samples of a periodic trace that a read from `start` stores, newest first.
    static std::vector<std::pair<double, uint32_t>> Expected(const HistoryTrace &trace, size_t count)
    {
        std::vector<std::pair<double, uint32_t>> samples;
        const uint32_t newest = static_cast<uint32_t>(trs::sim::HostTime(trace.newest));
        for (size_t k = 0; k < count && k < trace.values.size(); k++) {
            std::string text = trace.values[k];
            std::replace(text.begin(), text.end(), ',', '.');
            samples.emplace_back(std::stod(text), newest - static_cast<uint32_t>(k * trace.PeriodSeconds()));
        }
        return samples;
    }

    static std::vector<std::pair<double, uint32_t>> Stored(uint32_t gate)
    {
        std::vector<std::pair<double, uint32_t>> samples;
        const auto history = kiv::Runtime::Get().Gate(gate)->history;
        for (const auto &s : history)
            samples.emplace_back(s.value, s.timeStamp);
        return samples;
    }

    std::vector<std::string> TraceRequests()
    {
        std::vector<std::string> requests;
        for (const auto &t : simulator_.Telegrams())
            if (t.rfind("T", 0) == 0)
                requests.push_back(t);
        return requests;
    }

    // Whether these texts were logged in this order, among other lines.
    static bool LoggedInOrder(const std::vector<std::string> &texts)
    {
        size_t next = 0;
        for (const auto &line : trs_test::Lines())
            next += next < texts.size() && line.text == texts[next];
        return next == texts.size();
    }

    uint32_t hs_ = 0;
};

TEST_F(HistoryReadTest, EveryTraceGoesIntoItsGateWithTheSamplesOwnTimes)
{
    HistoryTrace level = Periodic(1, "ra1", 15, '1', Ramp(30));
    HistoryTrace flow = Periodic(2, "AI12", 1, '2', Ramp(10, ""));
    flow.mode = 'A';
    HistoryTrace daily = Periodic(4, "RA4", 1, '3', Ramp(3));
    HistoryTrace counts{.number = 3, .resource = "FR2", .periodCount = 0};
    for (int i = 0; i < 5; i++)
        counts.records.push_back({kNewest - std::chrono::minutes(7 * i) - std::chrono::hours(24 * 400), std::to_string(i) + ",25"});
    for (const auto &trace : {level, flow, counts, daily})
        simulator_.SetHistoryTrace(5, trace);
    const uint32_t ai = AddGate("005AI012", GATE_TYPE_U16), fr = AddGate("005FR002", GATE_TYPE_FLOAT),
                   day = AddGate("005RA004", GATE_TYPE_FLOAT);
    Start("12/12/2003", "12:00");
    const uint32_t ra = Gate("005RA001");

    ASSERT_EQ(host_.Read(hs_), 0u) << trs_test::Dump();
    // 3 days from the start time: 30 of 288 quarter hours exist, 72 hours, 3 days.
    EXPECT_EQ(TraceRequests(), (std::vector<std::string>{"TP?\t1\t80\t", "T?\t1\t1\t", "T?\t1\t288\t", "T?\t2\t1\t",
                                                         "T?\t2\t72\t", "T?\t3\t", "T?\t4\t1\t", "T?\t4\t3\t"}));
    EXPECT_EQ(Stored(ra), Expected(level, 30));
    EXPECT_EQ(Stored(ai), Expected(flow, 10));
    EXPECT_EQ(Stored(day), Expected(daily, 3)) << "a day's period is not cut to 16 bits";
    std::vector<std::pair<double, uint32_t>> external;
    for (const auto &r : counts.records)
        external.emplace_back(std::stod(r.value.substr(0, r.value.find(','))) + 0.25,
                              static_cast<uint32_t>(trs::sim::HostTime(r.time)));
    EXPECT_EQ(Stored(fr), external) << "read whole, although before the start time";
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: ReadHistory() Warning. Station (5) Trace (2) in STOP ('Arret') Mode"), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: ReadHistory() Station (5). Trace (3) is 'Ext Clock'"), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: Station 5. reading History completed"), 1u);
    EXPECT_EQ(Instance()->comTimeout.load(), 1000u) << "the long time-outs are this read's alone";
    EXPECT_STREQ(Instance()->traces[1].resource, "RA001");
}

TEST_F(HistoryReadTest, AtMost4096SamplesAreAskedForAndStored)
{
    HistoryTrace minutes = Periodic(1, "RA1", 1, '1', Ramp(5000));
    simulator_.SetHistoryTrace(5, minutes);
    Start("01/01/2003", "00:00");
    const uint32_t ra = Gate("005RA001");
    ASSERT_EQ(host_.Read(hs_), 0u) << trs_test::Dump();
    EXPECT_EQ(TraceRequests(), (std::vector<std::string>{"TP?\t1\t80\t", "T?\t1\t1\t", "T?\t1\t4096\t"}));
    // The host keeps the newest 1000 entries of a gate's history: the last of them is
    // the 4096th sample.
    auto expected = Expected(minutes, 4096);
    const std::vector<std::pair<double, uint32_t>> newest1000(expected.end() - 1000, expected.end());
    EXPECT_EQ(Stored(ra), newest1000);
}

TEST_F(HistoryReadTest, RepliesThatAreShortForeignOrOutOfRange)
{
    simulator_.SetHistoryTrace(5, Periodic(1, "RA1", 15, '1', Ramp(4)));
    Start();
    const uint32_t ra = Gate("005RA001");
    struct Reply { std::string command, payload; int count; };
    struct Row { const char *name;
        std::vector<Reply> replies; uint32_t result; std::vector<std::string> lines; /* in this order among the others */ size_t stored; };
    const std::string tp = "TP=\t001\tM\tRA1\t15\t1\t0\t0,0\t100,0\t0\t-\t";
    const std::string header = "T=\t1\tM\t1\t900\t15\t12\t2003\t12\t00\t00\t";
    const Row rows[] = {
        {"status instead of traces", {{"TP?", "STATUT\t000\t", 4}}, 1,
         {"TRSLNK> GetTraceInfo() retry 3", "TRSLNK: ReadHistory() GetTraceInfo() Failed"}, 0},
        {"no start time", {}, 1, {"TRSLNK: ReadHistory() Station 5. Start time was not entered!"}, 0},
        {"period 0", {{"TP?", tp, 1}, {"T?", "T=\t1\tM\t1\t0\t15\t12\t2003\t12\t00\t00\t", 1}}, 1,
         {"TRSLNK> GetLastSampleTime() error. A sample time of 0 received for Trace (1)"}, 0},
        {"blank before the hour",
         {{"TP?", tp, 1}, {"T?", "T=\t1\tM\t1\t900\t15\t12\t2003\t 9\t00\t00\t", 1}, {"T?", header + "1,5\t2,5\t", 1}}, 0,
         {"TRSLNK: Station 5. Reading History from Trace 1 completed"}, 2},
        {"1965", {{"TP?", tp, 1}, {"T?", "T=\t1\tM\t1\t900\t15\t12\t1965\t12\t00\t00\t", 4}}, 1,
         {"TRSLNK: GetLastSampleTime() illegal time in event, 15/12/65 12:00:00"}, 0},
        {"short header", {{"TP?", tp, 1}, {"T?", "T=\t1\tM\t1\t", 4}}, 1,
         {"TRSLNK: GetLastSampleTime() Invalid response string (T=\t1\tM\t1\t)"}, 0},
        {"unknown period unit", {{"TP?", "TP=\t001\tM\tRA1\t15\t9\t0\t0,0\t100,0\t0\t-\t", 1}}, 0,
         {"TRSLNK: ReadHistory() Station (5) Trace (1) period unit '9' unknown, trace skipped"}, 0},
        {"resource of 40 characters", {{"TP?", "TP=\t001\tM\t" + std::string(40, 'R') + "\t15\t1\t0\t0,0\t100,0\t0\t-\t", 1}}, 0,
         {"TRSLNK> GetTraceInfo() Trace (1) resource name '" + std::string(32, 'R') + "...' too long, trace ignored"}, 0},
        {"no TAB after the last value", {{"TP?", tp, 1}, {"T?", header, 1}, {"T?", header + "1,5\t2,5\t3,5", 1}}, 0, {}, 2},
        {"2040 in the data", {{"TP?", tp, 1}, {"T?", header, 1}, {"T?", "T=\t1\tM\t1\t900\t15\t12\t2040\t12\t00\t00\t1\t", 4}}, 1,
         {"TRSLNK: GetHistoryData() illegal time in event, 15/12/140 12:00:00",
          "TRSLNK: Station 5. Read History from Trace 1 failed! rc=1"}, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        simulator_.ClearFaults();
        trs_test::ClearLog();
        const size_t before = kiv::Runtime::Get().Gate(ra)->history.size();
        CopyText(Instance()->startDate[5], sizeof Instance()->startDate[5], row.lines.size() == 1 && row.result == 1 &&
                 row.replies.empty() ? "" : "15/12/2003");
        for (const Reply &reply : row.replies)
            simulator_.InjectFault({trs::sim::FaultKind::Raw, reply.command, reply.count, 0, 0, trs::sim::Frame(reply.payload)});
        EXPECT_EQ(host_.Read(hs_), row.result) << trs_test::Dump();
        EXPECT_TRUE(LoggedInOrder(row.lines)) << trs_test::Dump();
        EXPECT_EQ(kiv::Runtime::Get().Gate(ra)->history.size() - before, row.stored);
        EXPECT_EQ(Instance()->comTimeout.load(), 1000u);
    }
}

TEST_F(HistoryReadTest, ReadAllGoesOnToTheCurrentStatesWhenTheHistoryFails)
{
    Start(nullptr, nullptr);
    char gas[] = "005M_READ_ALL";
    GateRequest gate{};
    gate.gas = gas;
    gate.address.station = 5;
    gate.address.memoryType = MemType('M', 'A');
    RequestBlock request{Instance(), FN_SINGLE_WRITE, 1, 0, &gate};
    ASSERT_EQ(StartReadAllData(&request, 1), 0u);
    EXPECT_EQ(StartReadAllData(&request, 1), 3u) << "refused from the first moment";
    const std::vector<std::string> order = {"TRSLNK: Reading all data from station (5). Please wait...",
                                            "TRSLNK: Station 5. Reading alerts completed",
                                            "TRSLNK: ReadHistory() GetTraceInfo() Failed",
                                            "TRSLNK: ReadAllDataThread() Failed to read History from station (5)",
                                            "TRSLNK: ReadCurrentStatesThread() Station 5. reading Current states completed"};
    ASSERT_TRUE(trs_test::WaitForLine(32, order[4], 20000)) << trs_test::Dump();
    StationRecord *record = StationOf(Instance(), 5);
    EXPECT_TRUE(trs_test::WaitUntil([&] { return record->readAllBusy.load() == 0; }, 20000));
    EXPECT_EQ(record->journalBusy.load(), 0u);
    EXPECT_TRUE(LoggedInOrder(order)) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> StartReadAllData() error, already reading all data Station (5)"), 1u);
}

TEST_F(HistoryReadTest, EndDrvDuringAReadEndsItAtOnce)
{
    simulator_.SetHistoryTrace(5, Periodic(1, "RA1", 15, '1', Ramp(4)));
    Start();
    simulator_.InjectFault({trs::sim::FaultKind::NoReply, "T?", -1, 0, 0, ""});
    char gas[] = "005HS";
    uint32_t value = 0;
    GateRequest request{};
    request.gas = gas;
    request.address.station = 5;
    request.address.memoryType = MemType('H', 'S');
    request.value = &value;
    uint32_t result = 0;
    std::thread reader([&] { result = host_.Call(FN_SINGLE_READ, &request); });
    ASSERT_TRUE(simulator_.WaitForTelegrams(3, std::chrono::seconds(20))) << "TP? and the first T?";
    EXPECT_EQ(host_.EndDrv(), 0u);
    reader.join();
    EXPECT_NE(result, 0u);
    EXPECT_LT(std::ranges::count(simulator_.Telegrams(), "T?\t1\t1\t"), 4)
        << "the read gave up without its remaining attempts";
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> EndDrv() exited, 0"), 1u) << trs_test::Dump();
}

} // namespace
} // namespace history_test
