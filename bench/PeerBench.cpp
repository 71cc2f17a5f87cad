// Overhead against a peer: single-gate reads through DrvMain against a minimal TRS II
// responder on one pseudo-terminal, side by side with libmodbus reading one holding
// register from a minimal RTU responder on another. Runs alternate; the figures are the
// medians of exchanges per second and of the calling thread's CPU time per exchange.
//
//   bench_peer [--runs N] [--seconds S] [--only trslnk|libmodbus]     (21 runs of 0.3 s)
//
// --only runs one side, for counting its system calls (strace -c -f).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"
#include "address/Address.h"
#include "config/Lifecycle.h"
#include "entry/Entry.h"
#include "host/Host.h"
#include "platform/Platform.h"

#if defined(TRS_HAVE_LIBMODBUS)
#include <modbus.h>
#endif

namespace {

namespace fs = std::filesystem;

// DrvMain reaches the operations through weak references: name them so that they link.
void *const kLinked[] = {reinterpret_cast<void *>(&ColdStart), reinterpret_cast<void *>(&EndDrv),
                         reinterpret_cast<void *>(&SingleParse), reinterpret_cast<void *>(&SingleRead),
                         reinterpret_cast<void *>(&SingleWrite)};

double Seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double ThreadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// One pseudo-terminal: the responder reads and answers on the master; the client opens
// the slave by name. The responder keeps a slave descriptor of its own open, so that
// the master never sees a hang-up while the client reopens.
struct Pty {
    int master = -1;
    int keep = -1;
    std::string slave;
    bool Open()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return false;
        const char *name = ptsname(master);
        if (!name)
            return false;
        slave = name;
        keep = open(name, O_RDWR | O_NOCTTY);
        if (keep < 0)
            return false;
        termios raw{};
        tcgetattr(keep, &raw);
        cfmakeraw(&raw);
        tcsetattr(keep, TCSANOW, &raw);
        return true;
    }
    ~Pty()
    {
        if (keep >= 0)
            close(keep);
        if (master >= 0)
            close(master);
    }
};

// Waits up to 50 ms for input, so that the responder sees its stop flag.
ssize_t ReadSome(int fd, unsigned char *buffer, size_t size)
{
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0)
        return 0;
    ssize_t n = read(fd, buffer, size);
    return n < 0 ? 0 : n;
}

void WriteAll(int fd, const void *bytes, size_t count)
{
    const char *at = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t n = write(fd, at, count);
        if (n <= 0)
            return;
        at += n;
        count -= static_cast<size_t>(n);
    }
}

// A reply with its checksum character and CR.
std::string Framed(const char *reply)
{
    unsigned sum = 0;
    for (const char *c = reply; *c; c++)
        sum += static_cast<unsigned char>(*c);
    return std::string(reply) + static_cast<char>(0x40 + (64 - sum % 64) % 64) + '\r';
}

// TRS II: answers IDENT?, ACCES and VAR? of the one station that the driver knows, with
// replies framed once beforehand, as lean per telegram as the RTU responder below.
void TrsResponder(int fd, const std::atomic<bool> *stop)
{
    const std::string ident = Framed("IDENT=\t001\t"), accepted = Framed("STATUT\t000\t"),
                      value = Framed("VAR=\tAI12\t1234\t"), unknown = Framed("STATUT\t128\t");
    char pending[1024];
    size_t have = 0;
    while (!stop->load()) {
        ssize_t n = ReadSome(fd, reinterpret_cast<unsigned char *>(pending + have), sizeof pending - 1 - have);
        have += static_cast<size_t>(n);
        pending[have] = '\0';
        char *start = pending, *cr;
        while ((cr = static_cast<char *>(memchr(start, '\r', have - static_cast<size_t>(start - pending))))) {
            *cr = '\0';
            const std::string *reply = &unknown;
            if (strstr(start, "VAR?\tAI12\t"))
                reply = &value;
            else if (strstr(start, "IDENT?"))
                reply = &ident;
            else if (strstr(start, "ACCES"))
                reply = &accepted;
            WriteAll(fd, reply->data(), reply->size());
            start = cr + 1;
        }
        have -= static_cast<size_t>(start - pending);
        memmove(pending, start, have);
        if (have == sizeof pending - 1)
            have = 0; // no CR in a full buffer: not a telegram
    }
}

struct Figures {
    double perSecond = 0;
    double cpuMicroseconds = 0;
};

// The driver as a host loads it, with one bound gate on the pseudo-terminal.
struct DriverSide {
    fs::path directory, previous;
    Pty pty;
    std::atomic<bool> stop{false};
    std::thread responder;
    kiv::DriverHost host;
    uint32_t gate = 0;
    bool ready = false;

    bool Start()
    {
        std::string pattern = (fs::temp_directory_path() / "trs-peer-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return false;
        directory = pattern;
        previous = fs::current_path();
        fs::current_path(directory);
        std::ofstream("TRSLNK01.INT", std::ios::binary) << "001 = 'PLC1' , '1234'\n";
        if (!pty.Open())
            return false;
        responder = std::thread(TrsResponder, pty.master, &stop);
        auto &runtime = kiv::Runtime::Get();
        runtime.Reset();
        kiv::GateSpec spec;
        spec.name = "flow";
        spec.address = "001AI012";
        spec.type = GATE_TYPE_U16;
        gate = runtime.AddGate(spec);
        host.Attach(DrvMain);
        ColdStartParams params{};
        std::snprintf(params.portName, sizeof params.portName, "%s", pty.slave.c_str());
        params.enabled = 1;
        params.hostTimeout = 1500;
        params.lineSettings = LineSettings{9600, 8, 0, 0};
        PlatformSetTimeScale(0.01); // the log-on at start sleeps; the reads never do
        const bool started = host.ColdStart(1, params) == 0 && host.BindAll() == 1;
        PlatformSetTimeScale(1.0);
        if (!started)
            for (const auto &line : runtime.Log())
                std::fprintf(stderr, "[%d] %s\n", line.level, line.text.c_str());
        ready = started && host.Read(gate) == 0;
        return ready;
    }
    bool Run(double seconds, Figures *figures)
    {
        uint64_t count = 0;
        const double cpu0 = ThreadCpuSeconds(), t0 = Seconds();
        double t = t0;
        while (t - t0 < seconds) {
            for (int i = 0; i < 16; i++, count++)
                if (host.Read(gate) != 0)
                    return false;
            t = Seconds();
        }
        figures->perSecond = static_cast<double>(count) / (t - t0);
        figures->cpuMicroseconds = (ThreadCpuSeconds() - cpu0) * 1e6 / static_cast<double>(count);
        return true;
    }
    ~DriverSide()
    {
        if (ready)
            host.EndDrv();
        stop = true;
        if (responder.joinable())
            responder.join();
        if (!previous.empty()) {
            fs::current_path(previous);
            std::error_code ignored;
            fs::remove_all(directory, ignored);
        }
    }
};

#if defined(TRS_HAVE_LIBMODBUS)
uint16_t Crc16(const unsigned char *bytes, size_t count)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

// Modbus RTU: answers "read holding registers" of one register at slave 1, with its reply
// put together once beforehand, as lean per request as the TRS responder above.
void RtuResponder(int fd, const std::atomic<bool> *stop)
{
    unsigned char reply[7] = {1, 3, 2, 0x04, 0xD2, 0, 0};
    const uint16_t out = Crc16(reply, 5);
    reply[5] = static_cast<unsigned char>(out & 0xFF);
    reply[6] = static_cast<unsigned char>(out >> 8);
    unsigned char pending[256];
    size_t have = 0;
    while (!stop->load()) {
        have += static_cast<size_t>(ReadSome(fd, pending + have, sizeof pending - have));
        size_t at = 0;
        while (have - at >= 8) {
            const unsigned char *frame = pending + at;
            const uint16_t crc = Crc16(frame, 6);
            if (frame[0] != 1 || frame[1] != 3 || frame[6] != (crc & 0xFF) || frame[7] != (crc >> 8)) {
                at++; // out of step: look for the next frame
                continue;
            }
            at += 8;
            WriteAll(fd, reply, sizeof reply);
        }
        have -= at;
        memmove(pending, pending + at, have);
    }
}

struct ModbusSide {
    Pty pty;
    std::atomic<bool> stop{false};
    std::thread responder;
    modbus_t *context = nullptr;
    bool connected = false;

    bool Start()
    {
        if (!pty.Open())
            return false;
        responder = std::thread(RtuResponder, pty.master, &stop);
        context = modbus_new_rtu(pty.slave.c_str(), 9600, 'N', 8, 1);
        if (!context || modbus_set_slave(context, 1) != 0 || modbus_connect(context) != 0)
            return false;
        connected = true;
        uint16_t value = 0;
        return modbus_read_registers(context, 0, 1, &value) == 1 && value == 1234;
    }
    bool Run(double seconds, Figures *figures)
    {
        uint64_t count = 0;
        uint16_t value = 0;
        const double cpu0 = ThreadCpuSeconds(), t0 = Seconds();
        double t = t0;
        while (t - t0 < seconds) {
            for (int i = 0; i < 16; i++, count++)
                if (modbus_read_registers(context, 0, 1, &value) != 1)
                    return false;
            t = Seconds();
        }
        figures->perSecond = static_cast<double>(count) / (t - t0);
        figures->cpuMicroseconds = (ThreadCpuSeconds() - cpu0) * 1e6 / static_cast<double>(count);
        return true;
    }
    ~ModbusSide()
    {
        if (context) {
            if (connected)
                modbus_close(context);
            modbus_free(context);
        }
        stop = true;
        if (responder.joinable())
            responder.join();
    }
};
#endif

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    volatile const void *linked = kLinked;
    (void)linked;
    // Many short runs: on a shared machine the load drifts, and short alternations let both
    // clients see the same load.
    int runs = 21;
    double seconds = 0.3;
    bool driverRuns = true, peerRuns = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, atoi(argv[i + 1]));
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = std::max(0.05, atof(argv[i + 1]));
        else if (strcmp(argv[i], "--only") == 0) {
            driverRuns = strcmp(argv[i + 1], "trslnk") == 0;
            peerRuns = !driverRuns;
        }
    }
#if !defined(TRS_HAVE_LIBMODBUS)
    driverRuns = true; // nothing else to run
#endif
    DriverSide driver;
    if (!driver.Start()) {
        std::fprintf(stderr, "bench_peer: the driver instance did not start\n");
        return 1;
    }
#if defined(TRS_HAVE_LIBMODBUS)
    ModbusSide modbus;
    if (!modbus.Start()) {
        std::fprintf(stderr, "bench_peer: libmodbus did not read from its responder\n");
        return 1;
    }
#endif
    std::vector<double> rate[2], cpu[2];
    std::printf("%-5s %-10s %14s %14s\n", "run", "client", "exchanges/s", "CPU us/exch");
    for (int run = 0; run < runs; run++) {
        Figures figures;
        if (driverRuns && !driver.Run(seconds, &figures)) {
            std::fprintf(stderr, "bench_peer: a driver read failed\n");
            return 1;
        }
        if (driverRuns) {
            rate[0].push_back(figures.perSecond);
            cpu[0].push_back(figures.cpuMicroseconds);
            std::printf("%-5d %-10s %14.0f %14.2f\n", run + 1, "TRSLNK", figures.perSecond, figures.cpuMicroseconds);
        }
#if defined(TRS_HAVE_LIBMODBUS)
        if (peerRuns && !modbus.Run(seconds, &figures)) {
            std::fprintf(stderr, "bench_peer: a libmodbus read failed\n");
            return 1;
        }
        if (peerRuns) {
            rate[1].push_back(figures.perSecond);
            cpu[1].push_back(figures.cpuMicroseconds);
            std::printf("%-5d %-10s %14.0f %14.2f\n", run + 1, "libmodbus", figures.perSecond, figures.cpuMicroseconds);
        }
#endif
        std::fflush(stdout);
    }
    if (!driverRuns || !peerRuns) {
        const int side = driverRuns ? 0 : 1;
        std::printf("median %-10s %12.0f %14.2f\n", driverRuns ? "TRSLNK" : "libmodbus", Median(rate[side]),
                    Median(cpu[side]));
        return 0;
    }
    std::printf("median %-10s %12.0f %14.2f\n", "TRSLNK", Median(rate[0]), Median(cpu[0]));
#if defined(TRS_HAVE_LIBMODBUS)
    std::printf("median %-10s %12.0f %14.2f\n", "libmodbus", Median(rate[1]), Median(cpu[1]));
    std::vector<double> pairRate, pairCpu;
    for (size_t i = 0; i < rate[0].size(); i++) {
        pairRate.push_back(rate[0][i] / rate[1][i]);
        pairCpu.push_back(cpu[0][i] / cpu[1][i]);
    }
    std::printf("median of the run-by-run ratios: exchanges/s %.2f, CPU per exchange %.2f\n", Median(pairRate),
                Median(pairCpu));
    std::printf("ratio TRSLNK/libmodbus: exchanges/s %.2f, CPU per exchange %.2f\n", Median(rate[0]) / Median(rate[1]),
                Median(cpu[0]) / Median(cpu[1]));
#else
    std::printf("libmodbus not found at build time: no peer figures\n");
#endif
    return 0;
}
