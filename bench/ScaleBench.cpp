// Scale: what the instance block costs, how start-up time and memory grow with declared
// stations and with instances in one host, and how long one current-states pass over all
// 65535 gate indexes takes with many bound gates. Each figure is taken at two sizes, so
// that growth shows as the ratio of the two.
//
//   bench_scale
//
// The current-states pass has every host value read fail at once (an injected host
// status), so that it measures the walk itself: definitions, record settings and the
// failure line of each gate. A read that succeeds adds one ordinary exchange per gate,
// whose cost bench_peer and bench_wire give.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Modules/CurrentStates.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "address/Address.h"
#include "config/Instance.h"
#include "config/Lifecycle.h"
#include "entry/Entry.h"
#include "host/Host.h"
#include "platform/Platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void *const kLinked[] = {reinterpret_cast<void *>(&ColdStart), reinterpret_cast<void *>(&EndDrv),
                         reinterpret_cast<void *>(&SingleParse), reinterpret_cast<void *>(&SingleRead),
                         reinterpret_cast<void *>(&SingleWrite)};

// Heap in use, in KiB: the allocator's blocks in use and its mapped blocks (the instance
// block is large enough to be mapped).
long ResidentKiB()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

double Since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

ColdStartParams NullPort()
{
    ColdStartParams params{};
    std::snprintf(params.portName, sizeof params.portName, "NUL");
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{9600, 8, 0, 0};
    return params;
}

void WriteStations(unsigned drvNumber, unsigned stations)
{
    char name[32];
    std::snprintf(name, sizeof name, "TRSLNK%02u.INT", drvNumber);
    std::ofstream file(name, std::ios::binary);
    for (unsigned s = 0; s < stations; s++)
        file << (s < 100 ? (s < 10 ? "00" : "0") : "") << s << " = 'PLC" << s << "' , '1234'\n";
}

// One instance with `stations` declared: ColdStart time and memory.
void Stations(unsigned stations)
{
    kiv::Runtime::Get().Reset();
    WriteStations(1, stations);
    const long before = ResidentKiB();
    const auto start = Clock::now();
    auto host = std::make_unique<kiv::DriverHost>();
    host->Attach(DrvMain);
    const uint32_t rc = host->ColdStart(1, NullPort());
    const double ms = Since(start);
    const long grown = ResidentKiB() - before;
    std::printf("%-44s %8u %10.2f ms %8ld KiB  rc %u\n", "one instance, stations declared", stations, ms, grown, rc);
    const auto end = Clock::now();
    host->EndDrv();
    std::printf("%-44s %8u %10.2f ms\n", "  EndDrv", stations, Since(end));
}

// `count` instances with 256 stations each in one host.
void Instances(unsigned count)
{
    kiv::Runtime::Get().Reset();
    for (unsigned drv = 1; drv <= count; drv++)
        WriteStations(drv, 256);
    const long before = ResidentKiB();
    const auto start = Clock::now();
    std::vector<std::unique_ptr<kiv::DriverHost>> hosts;
    unsigned started = 0;
    for (unsigned drv = 1; drv <= count; drv++) {
        hosts.push_back(std::make_unique<kiv::DriverHost>());
        hosts.back()->Attach(DrvMain);
        started += hosts.back()->ColdStart(drv, NullPort()) == 0;
    }
    const double ms = Since(start);
    const long grown = ResidentKiB() - before;
    std::printf("%-44s %8u %10.2f ms %8ld KiB  %u started\n", "instances of 256 stations in one host", count, ms, grown,
                started);
    for (auto &host : hosts)
        host->EndDrv();
}

// One current-states pass of station 5 with `bound` gates of it bound, spread over the
// gate indexes 0..65534: its time in ms, or a negative number when it did not run.
double CurrentStatesPass(unsigned bound, long *heapKiB, unsigned *accepted)
{
    auto &runtime = kiv::Runtime::Get();
    runtime.Reset();
    WriteStations(1, 8);
    // Resources with an extension, so that every gate has an address of its own.
    static const char *const kTypes[] = {"AI", "AO", "DI", "DO", "EA", "ET", "ST", "BR", "WR", "BX", "WX", "FR", "FX"};
    const unsigned spread = 65535 / bound;
    for (unsigned i = 0; i < bound; i++) {
        const char *type = kTypes[i % std::size(kTypes)];
        const unsigned n = i / static_cast<unsigned>(std::size(kTypes));
        char address[24];
        std::snprintf(address, sizeof address, "005%s%03u.%03u", type, n / 256 + 1, n % 256);
        kiv::GateSpec spec;
        spec.id = i * spread;
        spec.name = address;
        spec.address = address;
        static const char kDigital[] = "DI DO ET ST BR BX";
        spec.type = type[0] == 'F' ? GATE_TYPE_FLOAT : strstr(kDigital, type) ? GATE_TYPE_DIGITAL : GATE_TYPE_U16;
        spec.recordSetting = 3;
        runtime.AddGate(spec);
    }
    kiv::DriverHost host;
    host.Attach(DrvMain);
    if (host.ColdStart(1, NullPort()) != 0) {
        std::printf("current-states pass: the instance did not start\n");
        return -1;
    }
    *accepted = host.BindAll();
    runtime.InjectFailure(kiv::Call::GetGateVal, kiv::kAllGates, 77);
    runtime.InjectFailure(kiv::Call::GetGateStr, kiv::kAllGates, 78);
    auto *instance = static_cast<DriverInstance *>(host.Instance());
    instance->noRecord = 1; // the record settings go off and back on around each read
    StationRecord *station = instance->stations[5].load();
    station->connRef = 9; // the reader walks while a connection stands

    // The pass runs between its start and end lines.
    std::atomic<int64_t> begun{0}, ended{0};
    const int subscription = runtime.Subscribe([&](const kiv::LogLine &line) {
        const int64_t now = Clock::now().time_since_epoch().count();
        if (line.text == "TRSLNK: Station 5. reading Current states. Please wait...")
            begun = now;
        else if (line.text == "TRSLNK: ReadCurrentStatesThread() Station 5. reading Current states completed")
            ended = now;
    });
    GateRequest gate{};
    gate.address.station = 5;
    RequestBlock request{instance, FN_SINGLE_WRITE, instance->drvNumber, 0, &gate};
    const long before = ResidentKiB();
    PlatformSetTimeScale(0.01); // the reader's second of grace before it starts
    const uint32_t rc = StartReadingCurrentStates(&request, 1);
    while (rc == 0 && ended.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    PlatformSetTimeScale(1.0);
    *heapKiB = ResidentKiB() - before;
    while (instance->workers.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    runtime.Unsubscribe(subscription);
    runtime.ClearFailures();
    // Less the pass's 5 ms pause, scaled like every driver sleep.
    host.EndDrv();
    return rc == 0 ? static_cast<double>(ended.load() - begun.load()) / 1e6 - 5 * 0.01 : -1;
}

// The median of three passes.
void CurrentStates(unsigned bound)
{
    double ms[3];
    long heap = 0;
    unsigned accepted = 0;
    for (double &one : ms)
        one = CurrentStatesPass(bound, &heap, &accepted);
    std::sort(std::begin(ms), std::end(ms));
    std::printf("%-44s %8u %10.2f ms %8ld KiB  %u bound, median of 3\n", "current-states pass over 65535 indexes", bound,
                ms[1], heap, accepted);
}

} // namespace

int main()
{
    volatile const void *linked = kLinked;
    (void)linked;
    std::string pattern = (fs::temp_directory_path() / "trs-scale-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    const fs::path directory = pattern, previous = fs::current_path();
    fs::current_path(directory);

    std::printf("sizeof(DriverInstance) %zu bytes, sizeof(StationRecord) %zu bytes\n", sizeof(DriverInstance),
                sizeof(StationRecord));
    std::printf("%-44s %8s %13s %12s\n", "", "size", "time", "heap");
    Stations(128);
    Stations(256);
    Instances(8);
    Instances(16);
    CurrentStates(10000);
    CurrentStates(20000);

    fs::current_path(previous);
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    return 0;
}
