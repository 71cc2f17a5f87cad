// Single-gate reads per second through DrvMain against a simulated station on a
// pseudo-terminal, and the decoding cost of a 255-element resource block.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
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

// DrvMain reaches the operations through weak references, which do not pull their objects
// out of the static driver library: name them here so that they are linked.
void *const kLinked[] = {reinterpret_cast<void *>(&ColdStart), reinterpret_cast<void *>(&EndDrv),
                         reinterpret_cast<void *>(&SingleParse), reinterpret_cast<void *>(&SingleRead),
                         reinterpret_cast<void *>(&SingleWrite)};

// A working directory with the instance's initialisation file, removed afterwards.
struct WorkDirectory {
    WorkDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "trs-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        path = pattern;
        previous = fs::current_path();
        fs::current_path(path);
        std::ofstream("TRSLNK01.INT", std::ios::binary) << "001 = 'PLC1' , '1234'\n";
    }
    ~WorkDirectory()
    {
        fs::current_path(previous);
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path, previous;
};

void SingleGateReadsThroughDrvMain(benchmark::State &state)
{
    benchmark::DoNotOptimize(kLinked);
    WorkDirectory directory;
    trs::sim::Simulator simulator;
    trs::sim::StationConfig station;
    station.identity = 1;
    station.name = "PLC1";
    station.accessCode = "1234";
    station.variables = {{"AI12", "1234"}};
    simulator.AddStation(station);
    auto port = simulator.OpenPty();
    if (!port) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    auto &runtime = kiv::Runtime::Get();
    runtime.Reset();
    kiv::GateSpec spec;
    spec.name = "flow";
    spec.address = "001AI012";
    spec.type = GATE_TYPE_U16;
    const uint32_t gate = runtime.AddGate(spec);

    kiv::DriverHost host;
    host.Attach(DrvMain);
    ColdStartParams params{};
    std::snprintf(params.portName, sizeof params.portName, "%s", port->c_str());
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{9600, 8, 0, 0};
    // The log-on at start sleeps; the reads themselves never do.
    PlatformSetTimeScale(0.01);
    const uint32_t started = host.ColdStart(1, params);
    const unsigned bound = started == 0 ? host.BindAll() : 0;
    if (started != 0 || bound != 1) {
        for (const auto &line : runtime.Log())
            std::fprintf(stderr, "[%d] %s\n", line.level, line.text.c_str());
        state.SkipWithError("the instance did not start");
        return;
    }
    PlatformSetTimeScale(1.0);
    for (auto _ : state) {
        if (host.Read(gate) != 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    host.EndDrv();
}
BENCHMARK(SingleGateReadsThroughDrvMain)->Unit(benchmark::kMicrosecond)->UseRealTime();

void StoreDataEtatBlock255(benchmark::State &state)
{
    const uint32_t count = 255;
    std::string reply = "001\t";
    for (uint32_t i = 0; i < count; i++) {
        char field[32];
        std::snprintf(field, sizeof field, "%16s", ("Level:" + std::to_string(i) + ",5").c_str());
        reply += std::string(".\t") + field + "\t";
    }
    std::vector<uint8_t> area(4 * count);
    std::string gas = "001RA001";
    GateRequest gate{};
    gate.gas = gas.data();
    gate.address.station = 1;
    gate.address.memoryType = MT_RA;
    gate.address.address = 1;
    gate.gateType = GATE_TYPE_S16;
    gate.blockLength = count;
    gate.value = area.data();
    RequestBlock request{};
    request.function = FN_BLOCK_READ;
    request.params = &gate;
    std::vector<char> work(reply.size() + 1);
    for (auto _ : state) {
        std::memcpy(work.data(), reply.c_str(), reply.size() + 1);
        if (StoreData(&request, work.data(), FN_BLOCK_READ) != 0) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::DoNotOptimize(area.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(StoreDataEtatBlock255)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
