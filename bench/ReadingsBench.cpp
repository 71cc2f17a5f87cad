// The long readings through DrvMain against a simulated station on a pseudo-terminal: a
// journal of 1000 events, and the history of a trace of 4096 samples with and without its
// gate (the difference is the host's storing).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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

void *const kLinked[] = {reinterpret_cast<void *>(&ColdStart), reinterpret_cast<void *>(&EndDrv),
                         reinterpret_cast<void *>(&SingleParse), reinterpret_cast<void *>(&SingleRead),
                         reinterpret_cast<void *>(&SingleWrite)};

struct Rig {
    Rig()
    {
        std::string pattern = (fs::temp_directory_path() / "trs-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        path = pattern;
        previous = fs::current_path();
        fs::current_path(path);
        std::ofstream("TRSLNK01.INT") << "CLOCK_SYNC = NEVER\nCOM_TIMEOUT = 5\n005 = 'PLC5' , '1234'\n";
        kiv::Runtime::Get().Reset();
    }
    ~Rig()
    {
        host.EndDrv();
        simulator.Stop();
        fs::current_path(previous);
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    uint32_t Gate(const char *address, uint16_t type)
    {
        kiv::GateSpec spec;
        spec.name = spec.address = address;
        spec.type = type;
        return kiv::Runtime::Get().AddGate(spec);
    }
    bool Start(benchmark::State &state)
    {
        auto port = simulator.OpenPty();
        if (!port) {
            state.SkipWithError("no pseudo-terminal");
            return false;
        }
        host.Attach(DrvMain);
        ColdStartParams params{};
        std::snprintf(params.portName, sizeof params.portName, "%s", port->c_str());
        params.enabled = 1;
        params.hostTimeout = 1500;
        params.lineSettings = LineSettings{9600, 7, 0, 2};
        if (host.ColdStart(1, params) != 0) {
            state.SkipWithError("the instance did not start");
            return false;
        }
        host.BindAll();
        return true;
    }
    fs::path path, previous;
    trs::sim::Simulator simulator;
    kiv::DriverHost host;
};

void JournalOf1000Events(benchmark::State &state)
{
    benchmark::DoNotOptimize(kLinked);
    Rig rig;
    trs::sim::StationConfig station;
    station.identity = 5;
    station.name = "PLC5";
    station.journal.capacity = 1000;
    for (int i = 0; i < 1000; i++) {
        trs::sim::Event e;
        e.number = static_cast<uint16_t>(i + 1);
        e.time = trs::sim::MakeStationTime(2003, 12, 15) + std::chrono::minutes(i);
        e.resource = 2;
        e.state = i % 2 ? "0" : "1";
        station.journal.events.push_back(e);
    }
    station.journal.nextNumber = 1001;
    rig.simulator.AddStation(station);
    const uint32_t jr = rig.Gate("005JR", GATE_TYPE_U16), first = rig.Gate("005_FIRST_EVENT", GATE_TYPE_U16);
    rig.Gate("005RD002", GATE_TYPE_DIGITAL);
    if (!rig.Start(state))
        return;
    auto &runtime = kiv::Runtime::Get();
    for (auto _ : state) {
        rig.host.Write(first, 0);
        runtime.ClearLog();
        rig.host.Write(jr, 1);
        bool done = false;
        while (!done) {
            for (const auto &line : runtime.Log())
                if (line.text == "TRSLNK: Station 5. Reading alerts completed")
                    done = true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000);
}
BENCHMARK(JournalOf1000Events)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void HistoryOf4096Samples(benchmark::State &state)
{
    Rig rig;
    trs::sim::StationConfig station;
    station.identity = 5;
    station.name = "PLC5";
    trs::sim::HistoryTrace trace;
    trace.resource = "RA1";
    trace.periodCount = 1;
    trace.newest = trs::sim::MakeStationTime(2003, 12, 15, 12);
    for (int i = 0; i < 4096; i++)
        trace.values.push_back(std::to_string(i % 1000).append(",5"));
    station.traces[1] = trace;
    rig.simulator.AddStation(station);
    const uint32_t hs = rig.Gate("005HS", GATE_TYPE_U16);
    const uint32_t date = rig.Gate("005_START_DATE", GATE_TYPE_TEXT), time = rig.Gate("005_START_TIME", GATE_TYPE_TEXT);
    if (state.range(0))
        rig.Gate("005RA001", GATE_TYPE_FLOAT);
    if (!rig.Start(state))
        return;
    rig.host.WriteText(date, "01/01/2003");
    rig.host.WriteText(time, "00:00");
    for (auto _ : state)
        if (rig.host.Read(hs) != 0)
            state.SkipWithError("history read failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 4096);
    state.SetLabel(state.range(0) ? "stored into the gate" : "no gate: transfer and decoding only");
}
BENCHMARK(HistoryOf4096Samples)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
