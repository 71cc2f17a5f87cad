// Soak and stress: a station that records events and samples all the time, a host that
// reads the journal and the history from it over and over, and meanwhile host reads and
// writes on three threads of their own. SOAK_SECONDS sets the length (a few seconds in
// the suite, also under the sanitizers; two minutes in the extended test mode; an hour
// for a release). At the end every event the station recorded has been stored exactly
// once, in order, across the wrap of the numbering; every host call succeeded, the last
// write is the station's value; and the process holds no more threads, descriptors or
// memory than after the first rounds.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "Rig.h"

namespace reliability {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// The events stored so far, checked as they come rather than kept: an hour's list of
// numbers would itself be the growth the soak looks for.
struct StoredEvents {
    size_t count = 0;
    unsigned first = 0, last = 0;
    std::string fault; // the first break in the numbering, empty while there is none

    void Add(unsigned number)
    {
        if (count > 0 && fault.empty() && number != (last == 9999 ? 1 : last + 1))
            fault = "event #" + std::to_string(number) + " after #" + std::to_string(last) + " (stored event " +
                    std::to_string(count + 1) + ")";
        first = count++ == 0 ? number : first;
        last = number;
    }
};

// The number of the event that a log line says the driver stored, if it says so.
bool StoredNumber(const std::string &text, unsigned *number)
{
    static const std::string kStoring = "TRSLNK: StoreEventData() storing data from station 5 event #";
    return text.rfind(kStoring, 0) == 0 && sscanf(text.c_str() + kStoring.size(), "%u", number) == 1;
}

// Takes the event numbers of the storing lines logged since the last call; the log is
// emptied so that it does not grow over the run.
void TakeStoredNumbers(StoredEvents &stored)
{
    for (const auto &line : trs_test::Lines()) {
        unsigned number = 0;
        if (StoredNumber(line.text, &number))
            stored.Add(number);
    }
    trs_test::ClearLog();
}

size_t StoringLines()
{
    size_t count = 0;
    unsigned number = 0;
    for (const auto &line : trs_test::Lines())
        count += StoredNumber(line.text, &number);
    return count;
}

// Bytes the process has allocated and not freed, in KiB: what a leak or an unbounded list
// grows, without the allocator's own slack that resident memory also counts.
size_t HeapInUseKiB()
{
    const struct mallinfo2 heap = mallinfo2();
    return (heap.uordblks + heap.hblkhd) / 1024;
}

TEST_F(Rig, SoakEveryEventOnceAndNothingGrows)
{
    const char *text = getenv("SOAK_SECONDS");
    const int seconds = text && atoi(text) > 0 ? atoi(text) : 4;
    trs::sim::StationConfig station = Plc5();
    station.variables["AO1"] = "0";
    station.resources[5] = trs::sim::Resource{'A', "Flow     :  12,5"};
    station.journal.nextNumber = 9990; // the numbering wraps early in every run
    station.journal.capacity = 500;    // the station keeps its newest events, as a real one does
    // Fast enough to wrap within a short run; in a long one slow enough that a reader sharing
    // a loaded machine with three host threads still catches up with the station.
    station.journal.generator.everyMs = seconds >= 60 ? 100 : 20;
    station.journal.generator.states = {"Level:1,5", "Level:2,5", "Level:3,5"};
    station.traces[1] = {.resource = "RA007", .periodCount = 1, .newest = trs::sim::MakeStationTime(2003, 12, 15, 12),
                         .values = {"1,5"}, .capacity = 500, .tickMs = 50};
    simulator_.AddStation(station);
    for (const char *gate : {"005AI012", "005AO001", "005HS"})
        AddGate(gate, GATE_TYPE_U16);
    AddGate("005RA005", GATE_TYPE_FLOAT);
    AddGate("005RA007", GATE_TYPE_FLOAT);
    AddGate("005_START_DATE", GATE_TYPE_TEXT);
    // One second for a reply (at the tests' time scale): a loaded machine or a sanitizer
    // may be slow, and a read that fails anyway is taken up by the next one.
    StartSerial("COM_TIMEOUT = 100\n");
    ASSERT_EQ(host_.WriteText(Gate("005_START_DATE"), "15/12/2003"), 0u);

    StoredEvents stored;
    size_t failedReads = 0;
    // Journal reads that have ended since the log was last emptied, whole or not.
    auto Ended = [] { return trs_test::Count(32, kJournalDone) + trs_test::Count(32, kJournalFailed); };
    size_t threads = 0, descriptors = 0, heapKiB = 0, residentKiB = 0;
    std::string heapSeries; // KiB in use at every tenth of the run, to show its course
    int heapSamples = 0;
    std::atomic<bool> stop{false};
    std::atomic<unsigned> failures{0};
    std::atomic<int> written{0};
    std::vector<std::thread> callers;
    auto joinCallers = [&] {
        stop = true;
        for (std::thread &caller : callers)
            if (caller.joinable())
                caller.join();
    };
    struct Joined { std::function<void()> join; ~Joined() { join(); } } joined{joinCallers}; // also on a failed ASSERT
    for (std::function<bool()> step : std::initializer_list<std::function<bool()>>{
             [&] { return host_.Read(Gate("005AI012")) == 0 && Runtime().Gate(Gate("005AI012"))->current.value == 1234; },
             [&] { return host_.Write(Gate("005AO001"), static_cast<uint32_t>(++written % 30000)) == 0; },
             [&] { return host_.Read(Gate("005RA005")) == 0; }})
        callers.emplace_back([&, step] {
            while (!stop)
                failures += !step();
        });
    const auto start = std::chrono::steady_clock::now(), end = start + std::chrono::seconds(seconds);
    for (unsigned round = 0; round < 3 || std::chrono::steady_clock::now() < end; round++) {
        const size_t runs = Ended();
        ASSERT_TRUE(WaitUntil([&] { return JournalIdle(); })) << "the last reader lets go";
        ASSERT_EQ(host_.Write(Gate("005JR"), 1), 0u) << trs_test::Dump();
        // A read ends once it has caught up with the station: it fails only when it stops
        // storing events, however long it takes.
        for (size_t seen = SIZE_MAX; !WaitUntil([&] { return Ended() > runs; });) {
            const size_t now = StoringLines();
            ASSERT_NE(now, seen) << trs_test::Dump();
            seen = now;
        }
        if (round % 4 == 0) {
            ASSERT_EQ(host_.Read(Gate("005HS")), 0u) << trs_test::Dump();
        }
        failedReads += trs_test::Count(32, kJournalFailed);
        TakeStoredNumbers(stored);
        // What the station and the host keep for the tests' eyes (every telegram, the newest
        // 10000 alerts) would fill during the run and hide the growth that matters.
        simulator_.ClearLog();
        Runtime().ClearAlerts();
        if (round == 2) { // the first rounds have started every thread and opened every file
            threads = ThreadCount();
            descriptors = DescriptorCount();
        }
        // Memory after a quarter of the run: by then the bounded histories of the gates
        // (the newest 1000 values each) are full.
        if (heapKiB == 0 && std::chrono::steady_clock::now() >= start + std::chrono::seconds(seconds) / 4) {
            heapKiB = HeapInUseKiB();
            residentKiB = ResidentKiB();
        }
        if (std::chrono::steady_clock::now() >= start + std::chrono::seconds(seconds) * heapSamples / 10)
            heapSeries += (heapSamples++ ? " " : "") + std::to_string(HeapInUseKiB());
    }
    // What the process holds now, with everything still running, against the first rounds
    // (a journal worker that has logged its end may still be on its way out). The log and
    // the telegram record are emptied first, as after every round.
    TakeStoredNumbers(stored);
    simulator_.ClearLog();
    Runtime().ClearAlerts();
    const size_t heapEndKiB = HeapInUseKiB(), residentEndKiB = ResidentKiB();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; })) << ThreadCount() << " threads, " << threads;
    EXPECT_TRUE(WaitUntil([&] { return DescriptorCount() <= descriptors; })) << DescriptorCount() << " descriptors";
    joinCallers();
    EXPECT_EQ(failures, 0u) << trs_test::Dump();
    EXPECT_EQ(simulator_.Variable(5, "AO1"), std::to_string(written.load() % 30000)) << "the last write is the value";
    simulator_.StopGrowth(5);
    const size_t runs = JournalRuns();
    ASSERT_TRUE(WaitUntil([&] { return JournalIdle(); })) << "the last reader lets go";
    ASSERT_EQ(host_.Write(Gate("005JR"), 1), 0u) << trs_test::Dump();
    ASSERT_TRUE(WaitUntil([&] { return JournalRuns() > runs; })) << "the last read is whole";
    TakeStoredNumbers(stored);

    // From the first recorded event to the station's newest, each once, 9999 followed by 1.
    EXPECT_EQ(stored.fault, "");
    EXPECT_EQ(stored.first, 9990u);
    EXPECT_EQ(stored.last, simulator_.Journal(5).back().number);
    EXPECT_GT(stored.count, 10u);
    EXPECT_FALSE(Runtime().Gate(Gate("005RA007"))->history.empty()) << "the history reads stored samples";
    // Bounded histories and an emptied log: the heap may settle a little, not grow with time.
    // A minute at least, for the histories to fill first; the sanitizers hold freed memory
    // back on purpose, and there LeakSanitizer is the check.
    if (!kSanitized && seconds >= 60) {
        EXPECT_LT(heapEndKiB, heapKiB + 512) << "heap KiB in use " << heapKiB << " after a quarter of the run";
    }
    printf("soak: %d s, %zu events stored once, %zu reads cut short and taken up, from a quarter of the run to its end: "
           "heap in use %zu KiB -> %zu KiB, resident %zu KiB -> %zu KiB; %zu threads, %zu descriptors\n"
           "soak: heap in use (KiB) at every tenth of the run: %s %zu\n",
           seconds, stored.count, failedReads, heapKiB, heapEndKiB, residentKiB, residentEndKiB, threads, descriptors,
           heapSeries.c_str(), heapEndKiB);
}

} // namespace
} // namespace reliability
