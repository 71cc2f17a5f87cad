// Wire efficiency: the driver, loaded through DrvMain, against the simulator with line
// pacing at a given baud rate (10 bits a character both ways). For each operation it
// prints the time from the first request byte in to the last reply byte out (the line's
// busy window, as the station sees it), the wire time of all bytes exchanged, their
// ratio, and the host's own time of the call, whose surplus over the window is spent in
// the driver's and host's prescribed waits and bookkeeping before and after the line.
//
//   bench_wire [--bauds 1200,9600,38400] [--full]
//
// Without --full the slow rates get smaller workloads, so that a run stays within minutes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "address/Address.h"
#include "config/Lifecycle.h"
#include "entry/Entry.h"
#include "host/Host.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void *const kLinked[] = {reinterpret_cast<void *>(&ColdStart), reinterpret_cast<void *>(&EndDrv),
                         reinterpret_cast<void *>(&SingleParse), reinterpret_cast<void *>(&SingleRead),
                         reinterpret_cast<void *>(&SingleWrite)};

const auto kNewest = trs::sim::MakeStationTime(2003, 12, 15, 12, 0, 0);
const uint32_t kBlockLength = 255;

struct Workload {
    int singleReads;
    uint32_t blockLength;
    int events;
    int samples;
};

Workload WorkloadFor(uint32_t baud, bool full)
{
    if (full)
        return {20, kBlockLength, 1000, 4096};
    if (baud < 9600)
        return {3, 32, 20, 128};
    if (baud < 38400)
        return {20, kBlockLength, 200, 1024};
    return {20, kBlockLength, 1000, 4096};
}

trs::sim::Event MakeEvent(int i)
{
    trs::sim::Event e;
    e.time = kNewest - std::chrono::hours(24) + std::chrono::minutes(i);
    e.code = 1;
    e.word1 = "ALARM";
    e.resource = 300;
    e.word2 = "PUMP HOUSE";
    e.mark = 'A';
    e.state = "Level:" + std::to_string(i % 100) + ",5";
    e.word3 = "X";
    e.word4 = "Y";
    return e;
}

struct Row {
    std::string what;
    double window = 0, wire = 0, host = 0;
    uint64_t bytes = 0, telegrams = 0;
};

void Print(uint32_t baud, const Row &row)
{
    std::printf("%6u  %-26s %9llu %6llu %10.3f %10.3f %7.1f%% %10.3f\n", baud, row.what.c_str(),
                static_cast<unsigned long long>(row.bytes), static_cast<unsigned long long>(row.telegrams), row.wire,
                row.window, row.window > 0 ? 100.0 * row.wire / row.window : 0.0, row.host);
    std::fflush(stdout);
}

double SecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Runs one operation and reads the simulator's counters around it.
template <typename Operation> bool Measure(trs::sim::Simulator &sim, uint32_t baud, Row *row, Operation &&operation)
{
    sim.ClearCounters();
    const auto start = Clock::now();
    if (!operation())
        return false;
    const auto end = Clock::now();
    const trs::sim::Counters c = sim.GetCounters();
    row->bytes = c.bytesIn + c.bytesOut;
    row->telegrams = c.telegrams;
    row->wire = static_cast<double>(row->bytes) * 10.0 / baud;
    row->window = c.firstIn == Clock::time_point{} ? 0 : SecondsBetween(c.firstIn, c.lastOut);
    row->host = SecondsBetween(start, end);
    return true;
}

// Waits until `flag` is set, up to `limit`.
bool WaitFor(const std::atomic<bool> &flag, std::chrono::seconds limit)
{
    const auto end = Clock::now() + limit;
    while (!flag.load() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag.load();
}

int RunBaud(uint32_t baud, bool full)
{
    const Workload work = WorkloadFor(baud, full);
    std::string pattern = (fs::temp_directory_path() / "trs-wire-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    const fs::path directory = pattern, previous = fs::current_path();
    fs::current_path(directory);
    std::ofstream("TRSLNK01.INT", std::ios::binary)
        << "CLOCK_SYNC = NEVER\nCOM_TIMEOUT = 300\n005 = 'PLC5' , '1234'\n";

    trs::sim::Simulator sim;
    trs::sim::StationConfig station;
    station.identity = 5;
    station.name = "PLC5";
    station.accessCode = "1234";
    station.variables = {{"AI12", "1234"}};
    for (uint32_t i = 0; i < kBlockLength; i++)
        station.resources[1 + i] = trs::sim::Resource{'.', "       Level:" + std::to_string(i % 10) + ",5"};
    station.journal.capacity = 9999;
    trs::sim::HistoryTrace trace;
    trace.number = 1;
    trace.resource = "RA300";
    trace.periodCount = 15;
    trace.periodUnit = '1';
    trace.newest = kNewest;
    trace.capacity = static_cast<size_t>(work.samples);
    for (int i = 0; i < work.samples; i++)
        trace.values.push_back(std::to_string(i % 1000) + ",5");
    station.traces[1] = trace;
    sim.AddStation(station);
    for (int i = 0; i < work.events; i++)
        sim.RecordEvent(5, MakeEvent(i));
    auto port = sim.OpenPty();
    if (!port)
        return 1;

    auto &runtime = kiv::Runtime::Get();
    runtime.Reset();
    auto add = [&](const char *address, uint16_t type, uint32_t blockLength = 0) {
        kiv::GateSpec spec;
        spec.name = address;
        spec.address = address;
        spec.type = type;
        spec.blockLength = blockLength;
        return runtime.AddGate(spec);
    };
    const uint32_t single = add("005AI012", GATE_TYPE_U16);
    const uint32_t block = add("005RA001", GATE_TYPE_S16, work.blockLength);
    add("005RA300", GATE_TYPE_FLOAT); // the journal's events and the history's samples
    const uint32_t jr = add("005JR", GATE_TYPE_U16);
    const uint32_t hs = add("005HS", GATE_TYPE_U16);
    const uint32_t date = add("005_START_DATE", GATE_TYPE_TEXT), time = add("005_START_TIME", GATE_TYPE_TEXT);

    kiv::DriverHost host;
    host.Attach(DrvMain);
    ColdStartParams params{};
    std::snprintf(params.portName, sizeof params.portName, "%s", port->c_str());
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{static_cast<uint16_t>(baud), 8, 0, 0};
    int failed = 0;
    // The log-on at start sleeps and is no part of the figures: it runs unpaced.
    PlatformSetTimeScale(0.01);
    if (host.ColdStart(1, params) != 0) {
        std::fprintf(stderr, "bench_wire: the instance did not start\n");
        failed = 1;
    }
    PlatformSetTimeScale(1.0);
    host.BindAll();
    // The history from just before its oldest sample.
    const time_t from = trs::sim::HostTime(kNewest) - static_cast<time_t>(work.samples) * 900 + 60;
    tm local{};
    localtime_r(&from, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d", local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
    host.WriteText(date, text);
    std::snprintf(text, sizeof text, "%02d:%02d", local.tm_hour, local.tm_min);
    host.WriteText(time, text);
    sim.SetLinePacing(baud);

    Row row;
    if (!failed) {
        row.what = std::to_string(work.singleReads) + " single-gate reads";
        failed = !Measure(sim, baud, &row, [&] {
            for (int i = 0; i < work.singleReads; i++)
                if (host.Read(single) != 0)
                    return false;
            return true;
        });
        if (!failed)
            Print(baud, row);
    }
    if (!failed) {
        row.what = "ETAT block of " + std::to_string(work.blockLength);
        failed = !Measure(sim, baud, &row, [&] { return host.Read(block) == 0; });
        if (!failed)
            Print(baud, row);
    }
    if (!failed) {
        row.what = "journal of " + std::to_string(work.events) + " events";
        // The reader's end line, seen by a subscriber: polling the log would copy it.
        std::atomic<bool> done{false};
        const int subscription = runtime.Subscribe([&](const kiv::LogLine &line) {
            if (line.text == "TRSLNK: Station 5. Reading alerts completed")
                done = true;
        });
        failed = !Measure(sim, baud, &row, [&] { return host.Write(jr, 1) == 0 && WaitFor(done, std::chrono::hours(1)); });
        runtime.Unsubscribe(subscription);
        if (!failed)
            Print(baud, row);
    }
    if (!failed) {
        row.what = "history of " + std::to_string(work.samples) + " samples";
        failed = !Measure(sim, baud, &row, [&] { return host.Read(hs) == 0; });
        if (!failed)
            Print(baud, row);
    }
    if (failed) {
        std::fprintf(stderr, "bench_wire: %s failed at %u baud; the log:\n", row.what.c_str(), baud);
        std::vector<kiv::LogLine> errors; // the port's refusal of RTS repeats on every send
        for (const auto &line : runtime.Log())
            if (line.text.find("EscapeCommFunction") == std::string::npos)
                errors.push_back(line);
        for (size_t i = errors.size() > 30 ? errors.size() - 30 : 0; i < errors.size(); i++)
            std::fprintf(stderr, "[%d] %s\n", errors[i].level, errors[i].text.c_str());
    }
    sim.SetLinePacing(0);
    host.EndDrv();
    fs::current_path(previous);
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    return failed;
}

} // namespace

int main(int argc, char **argv)
{
    volatile const void *linked = kLinked;
    (void)linked;
    setenv("TZ", "UTC", 1);
    tzset();
    std::vector<uint32_t> bauds = {1200, 9600, 38400};
    bool full = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--full") == 0) {
            full = true;
        } else if (strcmp(argv[i], "--bauds") == 0 && i + 1 < argc) {
            bauds.clear();
            for (char *item = strtok(argv[++i], ","); item; item = strtok(nullptr, ","))
                bauds.push_back(static_cast<uint32_t>(strtoul(item, nullptr, 10)));
        }
    }
    std::printf("%6s  %-26s %9s %6s %10s %10s %8s %10s\n", "baud", "operation", "bytes", "tgms", "wire s", "line s",
                "of wire", "host s");
    int failed = 0;
    for (uint32_t baud : bauds)
        failed |= RunBaud(baud, full);
    return failed;
}
