// trs-host: the commissioning host. It checks the configuration (initialisation file,
// gate list, dial directory, port) before anything starts, loads the driver, starts one
// instance, binds the gates, runs the jobs asked for (reads, writes, log-ons, clock,
// journal, history, calls, alarm calls) and samples the gates in a live table.
//
// Every driver call runs on a thread of its own while the main thread waits for it or
// for a signal: a request to a silent station takes seconds (retries, log-on), and
// Ctrl-C must not wait for it. On a stop the tool calls EndDrv at once: the driver makes
// the calls in progress give up, and EndDrv returns when they have left.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sys/ioctl.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "platform/common/TomlText.h"

#include "dialx/Pool.h"
#include "host/Host.h"
#include "tools/Common.h"
#include "tools/ToolSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

tools::Log &L = tools::Log::Get();

// ---- stopping ----

// Heap objects that are never destroyed: a driver call abandoned at exit may still
// notify them.
std::mutex &gMutex = *new std::mutex;
std::condition_variable &gWake = *new std::condition_variable;
std::atomic<bool> gStop{false};
std::atomic<int> gSignals{0};
constexpr auto kGrace = 10000ms; // how long the end waits for driver calls that EndDrv stopped

void WatchSignals(sigset_t set)
{
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            continue;
        if (++gSignals > 1) {
            std::fprintf(stderr, "\n%s: second signal, leaving at once\n", L.Program().c_str());
            _exit(130);
        }
        L.Info(std::string("signal ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ": stopping");
        {
            std::lock_guard lock(gMutex);
            gStop = true;
        }
        gWake.notify_all();
    }
}

bool Sleep(std::chrono::milliseconds time)
{
    std::unique_lock lock(gMutex);
    return !gWake.wait_for(lock, time, [] { return gStop.load(); });
}

std::atomic<unsigned> gRunningCalls{0}; // driver calls whose threads have not returned

// Runs fn on a thread; waits for it, calling tick every 200 ms. A stop returns at once
// (result 1): the call goes on until EndDrv makes it give up, and WaitForCalls then waits
// for its thread.
uint32_t Call(const std::string &, std::function<uint32_t()> fn, const std::function<void()> &tick = {})
{
    struct State {
        bool done = false;
        uint32_t result = 1;
    };
    auto state = std::make_shared<State>();
    gRunningCalls++;
    std::thread([state, fn = std::move(fn)] {
        const uint32_t result = fn();
        {
            std::lock_guard lock(gMutex);
            state->result = result;
            state->done = true;
            gRunningCalls--;
        }
        gWake.notify_all();
    }).detach();
    std::unique_lock lock(gMutex);
    while (!state->done && !gStop) {
        gWake.wait_for(lock, 200ms, [&] { return state->done || gStop.load(); });
        if (!state->done && !gStop && tick) {
            lock.unlock();
            tick();
            lock.lock();
        }
    }
    return state->result;
}

// After EndDrv: the calls it stopped leave within a reply time-out. Should one not, the
// process goes without it rather than hang (the system closes the port).
void WaitForCalls()
{
    std::unique_lock lock(gMutex);
    if (!gWake.wait_for(lock, kGrace, [] { return gRunningCalls.load() == 0; })) {
        L.Error("a driver call did not return after EndDrv; leaving without it");
        std::fflush(stdout);
        _exit(tools::kExitOk);
    }
}

// ---- options ----

struct Options {
    std::string module, port = "ttyS0", gateList, configDir, logFile, dialDirectory;
    unsigned drv = 1, baud = 1200, dataBits = 7, stopBits = 0, parity = 2, period = 1000, cycles = 0;
    int logLevel = 32;
    bool json = false, checkOnly = false, plain = false;
    std::vector<unsigned> warmStarts, setClocks, journals, readAlls, hangups;
    std::vector<std::string> writes, reads;
    unsigned historyStation = 0, callStation = 0, dialRef = 0;
    std::string historyFrom, historyCsv, historySvg, callMode = "connect";
    double listenSeconds = -1;
    unsigned maxCalls = 0;
    unsigned jobTimeout = 300;
};

const char *kExitCodes = R"(Exit codes:
  0  done (also after Ctrl-C or SIGTERM)
  1  a job failed: a read, write, log-on, journal, history, call or file write,
     or a gate was never read good while sampling a fixed number of cycles
  2  wrong options or a faulty configuration file (the message names file and line)
  3  the serial port cannot be used: missing, not a terminal, permission, busy
  4  the driver cannot be loaded or its instance does not start
 130 a second Ctrl-C: left at once
Results of the driver and the host: 0 ok, 1 failed (refused, no or a wrong reply),
2 link failure, 3 already running; 1000 no driver, 1001 no instance, 1002 no gate,
1003 gate not bound, 1004 wrong gate type.)";

const char *kExamples = R"(Examples:
  trs-host --port pts/3 --gates examples/gates.toml                 live table
  trs-host --port ttyUSB0 --baud 9600 --gates g.toml --read 005AI012 --write 005AO001=12
  trs-host --port ttyS0 --gates g.toml --warm-start 5 --set-clock 5 --journal 5
  trs-host --port ttyS0 --gates g.toml --history 5 --from "15/12/2003 10:00" --history-svg h.svg
  trs-host --gates g.toml --dial-directory dialx.toml --call 5 --dial 12 --hangup 5   (MODEM = YES)
  trs-host --gates g.toml --dial-directory dialx.toml --listen 600                      (alarm calls)
The initialisation file TRSLNKnn.INT is read from the current directory (or --config-dir).)";

// ---- gates ----

struct GateInfo {
    std::string unit;
    unsigned line = 0;
};

// A gate's type from its address, for the gates that trs-host adds itself.
uint16_t TypeOf(const std::string &address)
{
    if (address.size() >= 5 && address[3] == '_')
        return address.find("_START_") != std::string::npos ? GATE_TYPE_TEXT : GATE_TYPE_U16;
    const std::string letters = address.size() >= 5 ? address.substr(3, 2) : "";
    if (letters == "FR" || letters == "FX" || letters == "RA")
        return GATE_TYPE_FLOAT;
    if (letters == "SR" || letters == "SX")
        return GATE_TYPE_TEXT;
    if (letters == "RD" || letters == "DI" || letters == "DO" || letters == "TB" || letters == "TS")
        return GATE_TYPE_DIGITAL;
    return GATE_TYPE_U16;
}

const char *TypeName(uint16_t type)
{
    switch (type) {
    case GATE_TYPE_S16: return "s16";
    case GATE_TYPE_FLOAT: return "float";
    case GATE_TYPE_DIGITAL: return "digital";
    case GATE_TYPE_TEXT: return "text";
    default: return "u16";
    }
}

std::optional<unsigned> StationOf(const std::string &address)
{
    if (address.size() < 3 || address.find_first_not_of("0123456789") < 3)
        return std::nullopt;
    return static_cast<unsigned>(std::stoul(address.substr(0, 3)));
}

// A number for a gate of this type: "" when it fits, else why not.
std::string CheckValue(uint16_t type, const std::string &text, double *value)
{
    auto number = tools::ParseNumber(text);
    if (!number)
        return "'" + text + "' is not a number";
    *value = *number;
    switch (type) {
    case GATE_TYPE_U16:
        if (*number < 0 || *number > 65535 || *number != std::floor(*number))
            return "a u16 gate takes whole numbers from 0 to 65535, not " + text;
        break;
    case GATE_TYPE_S16:
        if (*number < -32768 || *number > 32767 || *number != std::floor(*number))
            return "an s16 gate takes whole numbers from -32768 to 32767, not " + text;
        break;
    case GATE_TYPE_DIGITAL:
        if (*number != 0 && *number != 1)
            return "a digital gate takes 0 or 1, not " + text;
        break;
    case GATE_TYPE_FLOAT:
        if (std::fabs(*number) > FLT_MAX)
            return text + " is beyond the range of a float gate";
        break;
    default:
        break;
    }
    return "";
}

// ---- the host ----

struct GateView {
    std::string value = "-";
    std::string quality = "-";
    std::time_t lastGood = 0;
    unsigned failures = 0;
    bool everGood = false;
};

class HostTool {
public:
    explicit HostTool(Options o) : o_(std::move(o)), rt_(kiv::Runtime::Get()) {}
    int Run();

private:
    Options o_;
    kiv::Runtime &rt_;
    kiv::DriverHost host_;
    tools::InitCheck init_;
    std::vector<uint32_t> listIds_; // the gate list's gates, in file order
    std::map<uint32_t, GateInfo> info_;
    std::map<uint32_t, GateView> views_;
    bool tty_ = false;
    unsigned drawnLines_ = 0;
    int status_ = tools::kExitOk;
    std::mutex outMutex_;
    // Alarm calls answered on threads of their own; joined at the very end, after EndDrv.
    std::mutex callsMutex_;
    std::vector<std::thread> calls_;
    std::atomic<unsigned> answered_{0}, arrived_{0};
    std::atomic<bool> callFailed_{false};
    void JoinCalls()
    {
        std::lock_guard lock(callsMutex_);
        for (auto &call : calls_)
            call.join();
        calls_.clear();
    }
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

    int Fail(int code, const std::string &text)
    {
        L.Error(text);
        return code;
    }
    void JobFailed() { status_ = std::max(status_, int{tools::kExitFailed}); }
    std::string Drv() const
    {
        char text[8];
        std::snprintf(text, sizeof text, "%02u", o_.drv % 100);
        return text;
    }

    int CheckConfiguration();
    int LoadGates();
    int CheckJobs();
    int StartDriver();
    int BindGates();
    std::optional<uint32_t> Gate(const std::string &address, std::optional<uint16_t> type = std::nullopt);
    std::optional<uint32_t> StationGate(unsigned station, const char *suffix);
    void Emit(uint32_t id, const kiv::GateSample &sample, const char *source);
    std::map<uint32_t, size_t> HistorySizes();
    unsigned EmitNew(std::map<uint32_t, size_t> &sizes, const char *source, unsigned station = 1000);
    void Progress(const std::string &text);
    void EndProgress();

    void WarmStart(unsigned station);
    void SetClock(unsigned station);
    void DoWrite(const std::string &assignment);
    void DoRead(const std::string &address);
    void Journal(unsigned station);
    void History();
    bool StartFrom(unsigned station);
    bool WaitForLine(const std::vector<std::string> &done, const std::vector<std::string> &failed, const std::string &what,
                     unsigned station, bool *failedSeen);
    void ReadAll(unsigned station);
    void CallStation();
    void HangUp(unsigned station);
    void Listen();
    void Sample();
    void Render(unsigned cycle, const std::string &busy);
    void PrintPlain(uint32_t id, const GateView &view, uint32_t result);
};

// ---- configuration, before anything starts ----

int HostTool::CheckConfiguration()
{
    if (o_.port.empty() || o_.port.size() > 11)
        return Fail(tools::kExitUsage,
                    "--port '" + o_.port + "': the driver's port name holds at most 11 characters; give a device "
                    "under /dev without it (ttyUSB0 for /dev/ttyUSB0) or a short path");
    if (!tools::KnownBaudRate(o_.baud))
        return Fail(tools::kExitUsage, "--baud " + std::to_string(o_.baud) +
                                           ": not a serial speed the port field can carry (300 ... 57600)");

    std::error_code error;
    init_ = tools::CheckInitFile(o_.configDir, o_.drv);
    const std::string folder = fs::absolute(o_.configDir.empty() ? "." : o_.configDir, error).lexically_normal().string();
    if (init_.file.empty()) {
        std::string tried;
        for (const auto &name : init_.tried)
            tried += (tried.empty() ? "" : ", ") + name;
        return Fail(tools::kExitUsage, "no initialisation file for drv " + std::to_string(o_.drv) + " in " + folder +
                                           " (tried " + tried +
                                           "); the driver reads it from the current directory: copy "
                                           "examples/TRSLNK01.INT there or give --config-dir");
    }
    for (const tools::ConfigProblem &p : init_.problems)
        L.Error(p.Format());
    if (init_.HasErrors())
        return Fail(tools::kExitUsage, init_.file + ": the driver would skip the lines above; put them right first");
    std::string stations;
    for (const auto &[number, s] : init_.stations)
        stations += (stations.empty() ? "" : ", ") + std::to_string(number) + (s.name.empty() ? "" : " '" + s.name + "'");
    L.Info("initialisation file " + init_.file + ": " + (init_.modem ? "modem" : "serial") + " mode, stations " +
           (stations.empty() ? "none" : stations));
    if (init_.stations.empty())
        L.Error(init_.file + ": warning: no station is declared: every gate will be refused");
    return tools::kExitOk;
}

int HostTool::LoadGates()
{
    std::error_code error;
    if (o_.gateList.empty())
        return Fail(tools::kExitUsage, "--gates FILE is required (see examples/gates.toml)");
    if (!fs::is_regular_file(o_.gateList, error))
        return Fail(tools::kExitUsage, o_.gateList + ": " +
                                           (fs::exists(o_.gateList, error) ? "not a file" : "no such file") +
                                           " (the gate list is a TOML file, see examples/gates.toml)");
    std::string why;
    auto ids = rt_.LoadGateList(o_.gateList, &why);
    if (!ids)
        return Fail(tools::kExitUsage, why);
    listIds_ = *ids;
    // Units and lines, for the table and for messages; the runtime keeps neither.
    try {
        toml::table root = tomltext::ParseFile(o_.gateList);
        if (const toml::array *gates = root["gate"].as_array())
            for (size_t i = 0; i < gates->size() && i < listIds_.size(); i++) {
                const toml::node &gate = *gates->get(i);
                GateInfo gi;
                gi.line = gate.source().begin.line;
                if (const toml::table *t = gate.as_table())
                    gi.unit = (*t)["unit"].value_or(std::string());
                info_[listIds_[i]] = gi;
            }
    } catch (const toml::parse_error &) {
    }
    int status = tools::kExitOk;
    unsigned ours = 0;
    for (uint32_t id : listIds_) {
        auto gate = rt_.Gate(id);
        const std::string where = o_.gateList + ":" + std::to_string(info_[id].line) + ": gate '" + gate->spec.name + "' (" +
                                  gate->spec.address + ")";
        if (gate->spec.drvNumber != o_.drv) {
            L.Error(where + ": warning: drv " + std::to_string(gate->spec.drvNumber) + ", this instance is drv " +
                    std::to_string(o_.drv) + ": not served");
            continue;
        }
        ours++;
        auto station = StationOf(gate->spec.address);
        if (station && !init_.stations.count(*station)) {
            L.Error(where + ": station " + std::to_string(*station) + " is not declared in " + init_.file);
            status = tools::kExitUsage;
        }
    }
    if (ours == 0 && o_.reads.empty() && o_.writes.empty())
        L.Error(o_.gateList + ": warning: no gate of drv " + std::to_string(o_.drv));
    return status;
}

int HostTool::CheckJobs()
{
    auto declared = [&](unsigned station, const char *option) {
        if (init_.stations.count(station))
            return true;
        std::string list;
        for (const auto &[n, s] : init_.stations)
            list += (list.empty() ? "" : ", ") + std::to_string(n);
        L.Error(std::string(option) + " " + std::to_string(station) + ": station " + std::to_string(station) +
                " is not declared in " + init_.file + " (declared: " + (list.empty() ? "none" : list) + ")");
        return false;
    };
    bool good = true;
    for (unsigned s : o_.warmStarts)
        good = declared(s, "--warm-start") && good;
    for (unsigned s : o_.setClocks)
        good = declared(s, "--set-clock") && good;
    for (unsigned s : o_.journals)
        good = declared(s, "--journal") && good;
    for (unsigned s : o_.readAlls)
        good = declared(s, "--read-all") && good;
    for (unsigned s : o_.hangups)
        good = declared(s, "--hangup") && good;
    if (o_.historyStation) {
        good = declared(o_.historyStation, "--history") && good;
        if (o_.historyFrom.empty()) {
            L.Error("--history needs --from \"dd/mm/yyyy hh:mm\"");
            good = false;
        }
    }
    if (!o_.historyFrom.empty()) {
        unsigned d = 0, m = 0, y = 0, h = 0, mi = 0;
        char tail = 0;
        const int n = std::sscanf(o_.historyFrom.c_str(), "%2u/%2u/%4u %2u:%2u%c", &d, &m, &y, &h, &mi, &tail);
        if ((n != 3 && n != 5) || d < 1 || d > 31 || m < 1 || m > 12 || y < 1970 || y > 2037 || h > 23 || mi > 59) {
            L.Error("--from '" + o_.historyFrom + "': write it as \"dd/mm/yyyy hh:mm\", e.g. \"15/12/2003 10:00\"");
            good = false;
        }
    }
    if (o_.callStation) {
        good = declared(o_.callStation, "--call") && good;
        static const std::set<std::string> modes = {"connect", "read-all", "timestamp", "sample"};
        if (!modes.count(o_.callMode)) {
            L.Error("--call-mode must be connect, read-all, timestamp or sample");
            good = false;
        }
    }
    const bool modemJobs = o_.callStation || !o_.hangups.empty() || o_.listenSeconds >= 0;
    if (modemJobs && !init_.modem) {
        L.Error("--call, --hangup and --listen need modem mode: put MODEM = YES in " + init_.file);
        good = false;
    }
    for (const std::string &address : o_.reads) {
        auto station = StationOf(address);
        if (station && !init_.stations.count(*station))
            good = declared(*station, ("--read " + address + ":").c_str()) && good;
    }
    for (const std::string &assignment : o_.writes) {
        const size_t equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0) {
            L.Error("--write '" + assignment + "': write it as ADDRESS=VALUE, e.g. 005AI012=42");
            good = false;
            continue;
        }
        const std::string address = assignment.substr(0, equals), value = assignment.substr(equals + 1);
        auto existing = rt_.FindGate(address, static_cast<uint8_t>(o_.drv));
        const uint16_t type = existing ? rt_.Gate(*existing)->spec.type : TypeOf(address);
        double number = 0;
        if (type != GATE_TYPE_TEXT) {
            const std::string why = CheckValue(type, value, &number);
            if (!why.empty()) {
                L.Error("--write " + address + ": " + why);
                good = false;
            }
        }
        auto station = StationOf(address);
        if (station && !init_.stations.count(*station))
            good = declared(*station, ("--write " + address + ":").c_str()) && good;
    }
    if (!good)
        return tools::kExitUsage;

    if (init_.modem) {
        // The pool would read its directory at the first call and only then complain.
        std::string path = o_.dialDirectory;
        if (path.empty()) {
            const char *env = std::getenv(dialx::kConfigEnv);
            path = env && *env ? env : dialx::kDefaultConfigFile;
        }
        std::error_code error;
        if (!fs::exists(path, error)) {
            if (modemJobs)
                return Fail(tools::kExitUsage, "no dial directory: " + path +
                                                   " does not exist (give --dial-directory FILE, see examples/dialx.toml)");
            L.Info("modem mode without a dial directory (" + path + " does not exist): calls will fail");
            return tools::kExitOk;
        }
        dialx::SetLogSink([](const std::string &line) { L.Write(32, "DIALXNT", line); });
        const std::string problem = dialx::LoadDirectory(path);
        if (!problem.empty())
            return Fail(tools::kExitUsage, problem);
        L.Info("dial directory " + path + " loaded" +
               (dialx::ListenPort() ? ", alarm calls on port " + std::to_string(dialx::ListenPort()) : ""));
    } else if (!o_.dialDirectory.empty()) {
        return Fail(tools::kExitUsage, "--dial-directory needs MODEM = YES in " + init_.file);
    }
    return tools::kExitOk;
}

int HostTool::StartDriver()
{
    if (!init_.modem) {
        std::string device;
        const std::string problem = tools::CheckPort(o_.port, &device);
        if (!problem.empty())
            return Fail(tools::kExitPort, "port " + o_.port + ": " + problem);
    }
    std::string error;
    if (!host_.Load(o_.module, &error))
        return Fail(tools::kExitDriver, "cannot load the driver " + o_.module + ": " + error);
    ColdStartParams params{};
    std::snprintf(params.portName, sizeof params.portName, "%s", init_.modem ? "NUL" : o_.port.c_str());
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{static_cast<uint16_t>(o_.baud), static_cast<uint16_t>(o_.dataBits),
                                       static_cast<uint16_t>(o_.stopBits), static_cast<uint16_t>(o_.parity)};
    const uint32_t rc = Call("the cold start", [&] { return host_.ColdStart(o_.drv, params); });
    if (rc != 0)
        return Fail(tools::kExitDriver, "the driver's cold start failed (" + tools::ResultText(rc) + ")" +
                                            (init_.modem ? "" : " on port " + tools::PortDevice(o_.port)) +
                                            "; the driver's log above says why");
    L.Info(init_.modem ? "driver started in modem mode, drv " + std::to_string(o_.drv)
                       : "driver started on " + tools::PortDevice(o_.port) + " at " + std::to_string(o_.baud) +
                             " baud, drv " + std::to_string(o_.drv));
    return tools::kExitOk;
}

int HostTool::BindGates()
{
    // Gates the same address twice would be read twice a cycle and fight over values.
    unsigned refused = 0, bound = 0;
    for (uint32_t id : listIds_) {
        auto gate = rt_.Gate(id);
        if (!gate || gate->spec.drvNumber != o_.drv)
            continue;
        std::vector<std::string> reasons;
        const int subscription = rt_.Subscribe([&](const kiv::LogLine &line) {
            if (line.text.find(gate->spec.address) != std::string::npos || line.text.find("Parse") != std::string::npos)
                reasons.push_back(line.text);
        });
        const uint32_t rc = host_.Bind(id);
        rt_.Unsubscribe(subscription);
        if (rc == 0) {
            bound++;
            continue;
        }
        refused++;
        L.Error(o_.gateList + ":" + std::to_string(info_[id].line) + ": gate '" + gate->spec.name + "' (" +
                gate->spec.address + ", " + TypeName(gate->spec.type) +
                (gate->spec.blockLength ? ", block " + std::to_string(gate->spec.blockLength) : "") +
                ") refused by the driver" + (reasons.empty() ? "" : ": " + reasons.back()));
    }
    if (refused > 0)
        return Fail(tools::kExitUsage, std::to_string(refused) + " of " + std::to_string(refused + bound) +
                                           " gates refused: put the gate list right (addresses: docs/GATES.md)");
    L.Info("bound " + std::to_string(bound) + " gates");
    return tools::kExitOk;
}

// A gate by address: the gate list's, or one added and bound here.
std::optional<uint32_t> HostTool::Gate(const std::string &address, std::optional<uint16_t> type)
{
    if (auto id = rt_.FindGate(address, static_cast<uint8_t>(o_.drv)))
        return id;
    kiv::GateSpec spec;
    spec.name = address;
    spec.address = address;
    spec.type = type.value_or(TypeOf(address));
    spec.drvNumber = static_cast<uint8_t>(o_.drv);
    spec.sampling = false;
    const uint32_t id = rt_.AddGate(spec);
    std::string reason;
    const int subscription = rt_.Subscribe([&](const kiv::LogLine &line) { reason = line.text; });
    const uint32_t rc = host_.Bind(id);
    rt_.Unsubscribe(subscription);
    if (rc != 0) {
        L.Error("gate " + address + " (" + TypeName(spec.type) + ") refused by the driver" +
                (reason.empty() ? "" : ": " + reason));
        rt_.RemoveGate(id);
        return std::nullopt;
    }
    return id;
}

std::optional<uint32_t> HostTool::StationGate(unsigned station, const char *suffix)
{
    char address[32];
    std::snprintf(address, sizeof address, "%03u%s", station % 1000, suffix);
    return Gate(address);
}

// ---- output ----

void HostTool::Emit(uint32_t id, const kiv::GateSample &sample, const char *source)
{
    auto gate = rt_.Gate(id);
    if (!gate)
        return;
    const std::string unit = info_.count(id) ? info_[id].unit : "";
    std::string value;
    if (gate->spec.type == GATE_TYPE_TEXT)
        value = o_.json ? tools::JsonString(sample.text) : "'" + sample.text + "'";
    else {
        std::ostringstream text;
        text << sample.value;
        value = text.str();
    }
    std::lock_guard lock(outMutex_);
    if (o_.json) {
        std::cout << "{\"time\":" << tools::JsonString(tools::TimeText(sample.timeStamp))
                  << ",\"epoch\":" << sample.timeStamp << ",\"gate\":" << id
                  << ",\"address\":" << tools::JsonString(gate->spec.address)
                  << ",\"name\":" << tools::JsonString(gate->spec.name) << ",\"value\":" << value
                  << ",\"unit\":" << tools::JsonString(unit) << ",\"quality\":\"" << (sample.good ? "good" : "bad")
                  << "\",\"source\":\"" << source << "\"}" << std::endl;
    } else {
        std::cout << "  " << tools::TimeText(sample.timeStamp) << "  " << gate->spec.address << "  " << gate->spec.name
                  << " = " << value << (unit.empty() ? "" : " " + unit) << (sample.good ? "" : " (bad)") << std::endl;
    }
}

std::map<uint32_t, size_t> HostTool::HistorySizes()
{
    std::map<uint32_t, size_t> sizes;
    for (uint32_t id : rt_.GateIds())
        if (auto gate = rt_.Gate(id))
            sizes[id] = gate->history.size();
    return sizes;
}

// Shows the values the driver stored since `sizes` was taken; returns how many.
unsigned HostTool::EmitNew(std::map<uint32_t, size_t> &sizes, const char *source, unsigned station)
{
    unsigned count = 0;
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%03u", station % 1000);
    for (uint32_t id : rt_.GateIds()) {
        auto gate = rt_.Gate(id);
        if (!gate)
            continue;
        size_t &seen = sizes[id];
        if (station < 1000 && gate->spec.address.rfind(prefix, 0) != 0) {
            seen = gate->history.size();
            continue;
        }
        // The history keeps the newest 1000 values: what dropped out of it is gone.
        seen = std::min(seen, gate->history.size());
        for (size_t k = seen; k < gate->history.size(); k++, count++)
            Emit(id, gate->history[k], source);
        seen = gate->history.size();
    }
    return count;
}

void HostTool::Progress(const std::string &text)
{
    if (!tty_ || o_.json)
        return;
    std::lock_guard lock(outMutex_);
    std::cout << "\r\x1b[2K  ... " << text << std::flush;
}

void HostTool::EndProgress()
{
    if (!tty_ || o_.json)
        return;
    std::lock_guard lock(outMutex_);
    std::cout << "\r\x1b[2K" << std::flush;
}

std::string Seconds(std::chrono::steady_clock::time_point since)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count());
    return text;
}

// ---- one-shot jobs ----

void HostTool::WarmStart(unsigned station)
{
    const uint32_t rc = Call("the log-on of station " + std::to_string(station), [&] { return host_.WarmStart(station); });
    L.Info("log-on of station " + std::to_string(station) + ": " + tools::ResultText(rc));
    if (rc != 0)
        JobFailed();
}

void HostTool::SetClock(unsigned station)
{
    for (const char *suffix : {"TM000", "DT000"}) {
        auto id = StationGate(station, suffix);
        const uint32_t rc = id ? Call("the clock of station " + std::to_string(station), [&] { return host_.Write(*id, 0); })
                               : kiv::kHostNotBound;
        L.Info(std::string(suffix[0] == 'T' ? "time" : "date") + " of station " + std::to_string(station) +
               " set from this computer's clock (" + tools::TimeText(std::time(nullptr)) + "): " + tools::ResultText(rc));
        if (rc != 0) {
            JobFailed();
            return;
        }
    }
}

void HostTool::DoWrite(const std::string &assignment)
{
    const size_t equals = assignment.find('=');
    const std::string address = assignment.substr(0, equals), value = assignment.substr(equals + 1);
    auto id = Gate(address);
    if (!id) {
        JobFailed();
        return;
    }
    auto gate = rt_.Gate(*id);
    double number = 0;
    if (gate->spec.type != GATE_TYPE_TEXT)
        CheckValue(gate->spec.type, value, &number);
    const uint32_t rc = Call("the write of " + address, [&] {
        return gate->spec.type == GATE_TYPE_TEXT ? host_.WriteText(*id, value) : host_.Write(*id, number);
    });
    L.Info("write " + address + " = " + value + ": " + tools::ResultText(rc));
    if (rc != 0)
        JobFailed();
}

void HostTool::DoRead(const std::string &address)
{
    auto id = Gate(address);
    if (!id) {
        JobFailed();
        return;
    }
    const uint32_t rc = Call("the read of " + address, [&] { return host_.Read(*id); });
    if (rc != 0) {
        L.Error("read " + address + ": " + tools::ResultText(rc));
        JobFailed();
        return;
    }
    Emit(*id, rt_.Gate(*id)->current, "read");
}

// Waits until the driver logs one of `done` (or `failed`), showing the values it stores.
bool HostTool::WaitForLine(const std::vector<std::string> &done, const std::vector<std::string> &failed,
                           const std::string &what, unsigned station, bool *failedSeen)
{
    std::atomic<bool> finished{false}, bad{false};
    const int subscription = rt_.Subscribe([&](const kiv::LogLine &line) {
        for (const auto &text : failed)
            if (line.text.find(text) != std::string::npos)
                bad = true;
        for (const auto &text : done)
            if (line.text.find(text) != std::string::npos)
                finished = true;
    });
    auto sizes = HistorySizes();
    unsigned stored = 0;
    const auto since = std::chrono::steady_clock::now();
    bool timedOut = false;
    while (!finished && !gStop) {
        if (std::chrono::steady_clock::now() - since > std::chrono::seconds(o_.jobTimeout)) {
            timedOut = true;
            break;
        }
        EndProgress();
        stored += EmitNew(sizes, what.c_str(), station);
        Progress(what + " of station " + std::to_string(station) + ": " + std::to_string(stored) + " values stored, " +
                 Seconds(since));
        Sleep(100ms);
    }
    // The failure line follows the completion line on the driver's thread.
    if (finished)
        Sleep(50ms);
    EndProgress();
    stored += EmitNew(sizes, what.c_str(), station);
    rt_.Unsubscribe(subscription);
    *failedSeen = bad;
    L.Info(what + " of station " + std::to_string(station) + ": " + std::to_string(stored) + " values stored in " +
           Seconds(since) + (timedOut ? ", gave up waiting (--job-timeout)" : gStop ? ", stopped" : bad ? ", failed" : ""));
    return finished && !bad;
}

void HostTool::Journal(unsigned station)
{
    auto jr = StationGate(station, "JR");
    auto last = StationGate(station, "_LAST_EVENT");
    if (!jr || !last) {
        JobFailed();
        return;
    }
    const size_t before = rt_.Gate(*last)->history.size();
    const uint32_t rc = Call("the journal start", [&] { return host_.Write(*jr, 1); });
    if (rc != 0) {
        L.Error("journal of station " + std::to_string(station) + " not started: " + tools::ResultText(rc));
        JobFailed();
        return;
    }
    bool failed = false;
    char done[64];
    std::snprintf(done, sizeof done, "Station %u. Reading alerts completed", station);
    WaitForLine({done}, {"failed to read Alerts", "failed to read Incoming call Alerts"}, "journal", station, &failed);
    auto gate = rt_.Gate(*last);
    if (gate->history.size() > before)
        L.Info("journal of station " + std::to_string(station) + ": last event " +
               std::to_string(static_cast<unsigned>(gate->current.value)));
    else
        JobFailed();
}

bool HostTool::StartFrom(unsigned station)
{
    const size_t blank = o_.historyFrom.find(' ');
    const std::string date = o_.historyFrom.substr(0, blank),
                      time = blank == std::string::npos ? "00:00" : o_.historyFrom.substr(blank + 1);
    auto startDate = StationGate(station, "_START_DATE");
    auto startTime = StationGate(station, "_START_TIME");
    if (!startDate || !startTime)
        return false;
    if (Call("the start date", [&] { return host_.WriteText(*startDate, date); }) != 0 ||
        Call("the start time", [&] { return host_.WriteText(*startTime, time); }) != 0) {
        L.Error("--from '" + o_.historyFrom + "' refused by the driver: write it as \"dd/mm/yyyy hh:mm\"");
        return false;
    }
    return true;
}

void HostTool::History()
{
    const unsigned station = o_.historyStation;
    const size_t blank = o_.historyFrom.find(' ');
    const std::string date = o_.historyFrom.substr(0, blank),
                      time = blank == std::string::npos ? "00:00" : o_.historyFrom.substr(blank + 1);
    auto hs = StationGate(station, "HS");
    if (!hs || !StartFrom(station)) {
        JobFailed();
        return;
    }
    auto before = HistorySizes();
    std::atomic<unsigned> traces{0};
    const int subscription = rt_.Subscribe([&](const kiv::LogLine &line) {
        if (line.text.find("Reading History from Trace") != std::string::npos && line.text.find("completed") == std::string::npos)
            traces++;
    });
    L.Info("history of station " + std::to_string(station) + " from " + date + " " + time);
    const auto since = std::chrono::steady_clock::now();
    const uint32_t rc = Call("the history read", [&] { return host_.Read(*hs); }, [&] {
        unsigned samples = 0;
        for (const auto &[id, count] : before)
            if (auto gate = rt_.Gate(id); gate && id != *hs)
                samples += static_cast<unsigned>(gate->history.size() - std::min(count, gate->history.size()));
        Progress("history of station " + std::to_string(station) + ": trace " + std::to_string(traces) + ", " +
                 std::to_string(samples) + " samples stored, " + Seconds(since));
    });
    rt_.Unsubscribe(subscription);
    EndProgress();

    std::ofstream csv;
    if (!o_.historyCsv.empty()) {
        csv.open(o_.historyCsv);
        csv << "gate,address,time,value\n";
    }
    std::vector<tools::ChartSeries> series;
    unsigned total = 0;
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%03u", station % 1000);
    for (const auto &[id, count] : before) {
        auto gate = rt_.Gate(id);
        if (id == *hs || !gate || gate->history.size() <= count || gate->spec.address.rfind(prefix, 0) != 0 ||
            gate->spec.type == GATE_TYPE_TEXT)
            continue;
        tools::ChartSeries s;
        s.name = gate->spec.address + " " + gate->spec.name;
        for (size_t k = count; k < gate->history.size(); k++) {
            const kiv::GateSample &sample = gate->history[k];
            s.points.emplace_back(sample.timeStamp, sample.value);
            if (csv.is_open())
                csv << gate->spec.name << "," << gate->spec.address << "," << tools::TimeText(sample.timeStamp) << ","
                    << sample.value << "\n";
            if (o_.json)
                Emit(id, sample, "history");
        }
        std::sort(s.points.begin(), s.points.end());
        total += static_cast<unsigned>(s.points.size());
        if (!o_.json)
            std::cout << "  " << gate->spec.address << " " << gate->spec.name << ": " << s.points.size() << " samples, "
                      << tools::TimeText(s.points.front().first) << " .. " << tools::TimeText(s.points.back().first)
                      << std::endl;
        series.push_back(std::move(s));
    }
    L.Info("history of station " + std::to_string(station) + ": " + std::to_string(total) + " samples stored in " +
           Seconds(since) + ", " + tools::ResultText(rc));
    if (rc != 0)
        JobFailed();
    if (csv.is_open()) {
        csv.close();
        if (!csv) {
            L.Error(o_.historyCsv + ": cannot write the samples");
            JobFailed();
        } else
            L.Info("samples written to " + o_.historyCsv);
    }
    if (!o_.historySvg.empty()) {
        std::string error;
        if (tools::WriteHistorySvg(o_.historySvg, "History of station " + std::to_string(station) + " from " + date +
                                                      " " + time,
                                   series, &error))
            L.Info("chart of " + std::to_string(series.size()) + " gates written to " + o_.historySvg);
        else {
            L.Error(error);
            JobFailed();
        }
    }
}

void HostTool::ReadAll(unsigned station)
{
    // The read-all of a connected station: journal, history and the current states.
    auto ec = StationGate(station, "EC");
    if (!ec) {
        JobFailed();
        return;
    }
    const uint32_t rc = Call("the current-states start", [&] { return host_.Write(*ec, 1); });
    if (rc != 0) {
        L.Error("current states of station " + std::to_string(station) + " not started: " + tools::ResultText(rc));
        JobFailed();
        return;
    }
    bool failed = false;
    char done[80];
    std::snprintf(done, sizeof done, "Station %u. reading Current states completed", station);
    if (!WaitForLine({done}, {}, "current states", station, &failed))
        JobFailed();
}

void HostTool::CallStation()
{
    const unsigned station = o_.callStation;
    static const std::map<std::string, const char *> suffixes = {
        {"connect", "M_CONNECT"}, {"read-all", "M_READ_ALL"}, {"timestamp", "M_TIMESTAMP"}, {"sample", "M_SAMPLE"}};
    auto gate = StationGate(station, suffixes.at(o_.callMode));
    if (!gate) {
        JobFailed();
        return;
    }
    bool failed = false;
    // The read-all of a call reads the history from the station's start time.
    if (!o_.historyFrom.empty() && !StartFrom(station)) {
        JobFailed();
        return;
    }
    auto sizes = HistorySizes();
    L.Info("calling station " + std::to_string(station) + " with dial reference " + std::to_string(o_.dialRef) + " (" +
           o_.callMode + ")");
    const auto since = std::chrono::steady_clock::now();
    const uint32_t rc = Call("the call of station " + std::to_string(station), [&] { return host_.Write(*gate, o_.dialRef); });
    L.Info("call of station " + std::to_string(station) + ": " + (rc == 0 ? "connected and logged on" : tools::ResultText(rc)) +
           " after " + Seconds(since));
    if (rc != 0) {
        JobFailed();
        return;
    }
    EmitNew(sizes, "call", station);
    char text[96];
    if (o_.callMode == "connect") {
        std::snprintf(text, sizeof text, "Station %u. reading History completed", station);
        if (!WaitForLine({text, "Failed to read History"}, {"Failed to read History"}, "read-all", station, &failed))
            JobFailed();
    } else if (o_.callMode == "read-all") {
        std::snprintf(text, sizeof text, "Station %u. reading Current states completed", station);
        if (!WaitForLine({text}, {}, "read-all", station, &failed))
            JobFailed();
    } else if (o_.callMode == "timestamp") {
        std::snprintf(text, sizeof text, "Station %u. Reading alerts completed", station);
        if (!WaitForLine({text}, {"failed to read Alerts"}, "journal", station, &failed))
            JobFailed();
    }
}

void HostTool::HangUp(unsigned station)
{
    auto gate = StationGate(station, "M_DISCONNECT");
    const uint32_t rc = gate ? Call("the hang-up", [&] { return host_.Write(*gate, 1); }) : kiv::kHostNotBound;
    L.Info("hang-up of station " + std::to_string(station) + ": " +
           (rc == 1 ? std::string("1 the station was not connected") : tools::ResultText(rc)));
    if (rc != 0)
        JobFailed();
}

void HostTool::Listen()
{
    // Every declared station gets its alarm-call gate, so that the driver can take the call.
    for (const auto &[number, s] : init_.stations) {
        char address[16];
        std::snprintf(address, sizeof address, "$A%s-%03u", Drv().c_str(), number);
        Gate(address, GATE_TYPE_U16);
    }
    dialx::SetAlarmCallback([this](uint32_t station, uint16_t connRef) {
        arrived_++;
        L.Info("alarm call from station " + std::to_string(station) + " on connection " + std::to_string(connRef) +
               ": answering");
        std::lock_guard lock(callsMutex_);
        // Each call is answered on a thread of its own: the driver's answer reads the
        // journal, and the pool's listener must stay free for the next caller.
        calls_.emplace_back([this, station, connRef] {
            auto sizes = HistorySizes();
            const auto since = std::chrono::steady_clock::now();
            const uint32_t rc = host_.DeliverAlarmCall(station, connRef);
            if (rc == kiv::kHostNoGate) {
                DIALX_Disconnect(connRef);
                L.Error("alarm call from station " + std::to_string(station) + ": not declared in " + init_.file +
                        ", hung up");
            }
            const unsigned stored = EmitNew(sizes, "alarm call", station);
            L.Info("alarm call of station " + std::to_string(station) + ": " + tools::ResultText(rc) + ", " +
                   std::to_string(stored) + " values stored in " + Seconds(since));
            if (rc != 0)
                callFailed_ = true;
            answered_++;
            gWake.notify_all();
        });
    });
    const int port = dialx::ListenPort();
    if (port == 0) {
        L.Error("the dial directory has no [alarm] table: no port to answer alarm calls on");
        JobFailed();
        return;
    }
    {
        std::lock_guard lock(outMutex_);
        if (!o_.json)
            std::cout << "LISTEN " << port << std::endl;
    }
    L.Info("waiting for alarm calls on port " + std::to_string(port) +
           (o_.listenSeconds > 0 ? " for " + std::to_string(static_cast<int>(o_.listenSeconds)) + " s" : "") +
           (o_.maxCalls ? ", until " + std::to_string(o_.maxCalls) + " calls are answered" : "") + "; Ctrl-C ends");
    const auto since = std::chrono::steady_clock::now();
    while (!gStop) {
        if (o_.maxCalls && answered_ >= o_.maxCalls)
            break;
        if (o_.listenSeconds > 0 && std::chrono::steady_clock::now() - since > std::chrono::duration<double>(o_.listenSeconds))
            break;
        Sleep(100ms);
    }
    dialx::SetAlarmCallback({});
    // Calls in progress are part of the instance: without a stop they end before EndDrv;
    // after one, EndDrv makes them give up and the end waits for their threads.
    while (!gStop && answered_ < arrived_)
        Sleep(50ms);
    if (!gStop)
        JoinCalls();
    L.Info(std::to_string(answered_.load()) + " alarm calls answered");
    if (callFailed_)
        JobFailed();
}

// ---- sampling ----

void HostTool::PrintPlain(uint32_t id, const GateView &view, uint32_t result)
{
    auto gate = rt_.Gate(id);
    std::lock_guard lock(outMutex_);
    if (o_.json) {
        if (result == 0)
            return; // the value itself went out through Emit
        std::cout << "{\"time\":" << tools::JsonString(tools::TimeText(std::time(nullptr))) << ",\"epoch\":"
                  << std::time(nullptr) << ",\"gate\":" << id << ",\"address\":" << tools::JsonString(gate->spec.address)
                  << ",\"name\":" << tools::JsonString(gate->spec.name)
                  << ",\"value\":null,\"unit\":" << tools::JsonString(info_[id].unit)
                  << ",\"quality\":\"bad\",\"result\":" << result
                  << ",\"meaning\":" << tools::JsonString(tools::ResultText(result)) << ",\"failures\":" << view.failures
                  << "}" << std::endl;
        return;
    }
    std::cout << tools::TimeText(std::time(nullptr)) << "  " << gate->spec.address << "  " << gate->spec.name << " = "
              << view.value << (info_[id].unit.empty() || result != 0 ? "" : " " + info_[id].unit) << "  "
              << view.quality << std::endl;
}

void HostTool::Render(unsigned cycle, const std::string &busy)
{
    struct winsize size{};
    unsigned columns = 100;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 40)
        columns = size.ws_col;
    // Redrawn in place: up over the table drawn last, each line overwritten, so that
    // whatever the terminal showed above the table stays.
    std::ostringstream screen;
    if (drawnLines_ > 0)
        screen << "\r\x1b[" << drawnLines_ << "A";
    unsigned lines = 0;
    auto line = [&](const std::string &text) {
        screen << text.substr(0, columns) << "\x1b[K\n";
        lines++;
    };
    line("trs-host  drv " + std::to_string(o_.drv) + " on " + tools::PortDevice(o_.port) + " at " +
         std::to_string(o_.baud) + " baud   cycle " + std::to_string(cycle) + ", every " + std::to_string(o_.period) +
         " ms   " + tools::ClockText(std::time(nullptr)) + "   Ctrl-C ends");
    line("");
    char row[512];
    std::snprintf(row, sizeof row, "%-10s %-24s %16s %-6s %-28s %-9s %8s", "GATE", "DESCRIPTION", "VALUE", "UNIT",
                  "QUALITY", "LAST GOOD", "FAILURES");
    line(row);
    for (uint32_t id : listIds_) {
        auto gate = rt_.Gate(id);
        if (!gate || gate->spec.drvNumber != o_.drv || !gate->spec.sampling)
            continue;
        const GateView &v = views_[id];
        std::snprintf(row, sizeof row, "%-10.10s %-24.24s %16.16s %-6.6s %-28.28s %-9s %8u", gate->spec.address.c_str(),
                      gate->spec.name.c_str(), v.value.c_str(), info_[id].unit.c_str(), v.quality.c_str(),
                      v.lastGood ? tools::ClockText(v.lastGood).c_str() : "-", v.failures);
        line(row);
    }
    line("");
    line(busy.empty() ? "" : "reading " + busy + " ...");
    line("log:");
    for (const std::string &text : L.Recent(8))
        line("  " + text);
    screen << "\x1b[J";
    drawnLines_ = lines;
    std::lock_guard lock(outMutex_);
    std::cout << screen.str() << std::flush;
}

void HostTool::Sample()
{
    const bool table = tty_ && !o_.json && !o_.plain;
    if (table)
        L.Hold(true);
    std::vector<uint32_t> gates;
    for (uint32_t id : listIds_)
        if (auto gate = rt_.Gate(id); gate && gate->spec.drvNumber == o_.drv && gate->spec.sampling)
            gates.push_back(id);
    if (gates.empty())
        L.Error("no gate to sample: every gate of the list has sampling = false or another drv number");
    unsigned cycle = 0;
    for (; !gStop && !gates.empty() && (o_.cycles == 0 || cycle < o_.cycles); cycle++) {
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t id : gates) {
            if (gStop)
                break;
            auto gate = rt_.Gate(id);
            if (!gate || gate->samplingOff)
                continue; // the driver switched it off (a modem station hung up)
            if (table)
                Render(cycle + 1, gate->spec.address);
            const uint32_t rc = Call("the read of " + gate->spec.address, [&] { return host_.Read(id); },
                                     [&] { if (table) Render(cycle + 1, gate->spec.address); });
            gate = rt_.Gate(id);
            GateView &view = views_[id];
            const GateView before = view;
            if (rc == 0) {
                view.value = tools::FormatGateValue(*gate);
                view.quality = "good";
                view.lastGood = gate->current.timeStamp;
                view.everGood = true;
            } else {
                view.failures++;
                view.quality = "bad: " + tools::ResultText(rc);
            }
            const bool changed = view.value != before.value || view.quality != before.quality;
            if (!table && changed) {
                if (rc == 0 && o_.json)
                    Emit(id, gate->current, "sample");
                else
                    PrintPlain(id, view, rc);
            }
        }
        if (table)
            Render(cycle + 1, "");
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (!gStop && (o_.cycles == 0 || cycle + 1 < o_.cycles) && elapsed < std::chrono::milliseconds(o_.period))
            Sleep(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::milliseconds(o_.period) - elapsed));
    }
    if (table)
        L.Hold(false);
    if (gStop)
        return;
    for (uint32_t id : gates)
        if (!views_[id].everGood) {
            L.Error("gate " + rt_.Gate(id)->spec.address + " was never read good in " + std::to_string(cycle) + " cycles");
            JobFailed();
        }
}

int HostTool::Run()
{
    tty_ = isatty(STDOUT_FILENO);
    int rc = CheckConfiguration();
    if (rc == tools::kExitOk)
        rc = LoadGates();
    if (rc == tools::kExitOk)
        rc = CheckJobs();
    if (rc != tools::kExitOk || o_.checkOnly) {
        if (rc == tools::kExitOk)
            L.Info("configuration checked: no problem found");
        return rc;
    }
    rc = StartDriver();
    if (rc == tools::kExitOk)
        rc = BindGates();
    if (rc == tools::kExitOk) {
        for (unsigned s : o_.warmStarts)
            if (!gStop)
                WarmStart(s);
        for (unsigned s : o_.setClocks)
            if (!gStop)
                SetClock(s);
        for (const auto &w : o_.writes)
            if (!gStop)
                DoWrite(w);
        for (const auto &r : o_.reads)
            if (!gStop)
                DoRead(r);
        for (unsigned s : o_.journals)
            if (!gStop)
                Journal(s);
        if (o_.historyStation && !gStop)
            History();
        for (unsigned s : o_.readAlls)
            if (!gStop)
                ReadAll(s);
        if (o_.callStation && !gStop)
            CallStation();
        for (unsigned s : o_.hangups)
            if (!gStop)
                HangUp(s);
        if (o_.listenSeconds >= 0 && !gStop)
            Listen();
        const bool jobs = !o_.warmStarts.empty() || !o_.setClocks.empty() || !o_.writes.empty() || !o_.reads.empty() ||
                          !o_.journals.empty() || o_.historyStation || !o_.readAlls.empty() || o_.callStation ||
                          !o_.hangups.empty() || o_.listenSeconds >= 0;
        if (!gStop && (!jobs || o_.cycles > 0))
            Sample();
        rc = status_;
    }
    // EndDrv runs on this thread also after a stop: it makes the calls in progress give up.
    const uint32_t ended = host_.EndDrv();
    WaitForCalls();
    JoinCalls();
    if (ended != kiv::kHostNoInstance)
        L.Info("driver ended (EndDrv " + std::to_string(ended) + ")" + (init_.modem ? "" : ", port closed"));
    return gStop ? tools::kExitOk : rc;
}

} // namespace

int main(int argc, char **argv)
{
    L.SetProgram("trs-host");
    // Signals go to one thread that waits for them; every thread started later (the
    // runtime's, the driver's, the pool's) inherits the blocked set.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Options o;
    o.module = tools::DefaultModulePath(argv[0]);
    CLI::App app{"trs-host: commissioning host for TRS II stations. Loads TRSLNK32.so, checks the configuration, "
                 "starts one instance and runs the jobs given, in the order listed below; without a job it samples "
                 "the gates in a live table (plain lines when the output is not a terminal)."};
    app.footer(std::string(kExamples) + "\n\n" + kExitCodes);
    app.get_formatter()->column_width(34);
    app.add_option("--gates", o.gateList, "gate list (TOML, docs/GATES.md)")->type_name("FILE");
    app.add_option("--port", o.port, "serial port, at most 11 characters: ttyS0, ttyUSB0 (= /dev/ttyUSB0), pts/3, NUL")
        ->capture_default_str();
    app.add_option("--baud", o.baud, "baud rate, 300 to 57600")->capture_default_str();
    app.add_option("--data-bits", o.dataBits, "data bits")->check(CLI::Range(5, 8))->capture_default_str();
    app.add_option("--stop-bits", o.stopBits, "stop bits: 0 one, 1 one and a half, 2 two")
        ->check(CLI::Range(0, 2))->capture_default_str();
    app.add_option("--parity", o.parity, "parity: 0 none, 1 odd, 2 even, 3 mark, 4 space")
        ->check(CLI::Range(0, 4))->capture_default_str();
    app.add_option("--drv", o.drv, "drv number of the instance (its file: TRSLNKnn.INT)")
        ->check(CLI::Range(1, 99))->capture_default_str();
    app.add_option("--config-dir", o.configDir, "folder of the initialisation file (default: the current one)")
        ->type_name("DIR");
    app.add_option("--dial-directory", o.dialDirectory,
                   "dial directory of the modem pool (default: $DIALXNT_CONFIG, else ./DIALXNT.toml)")
        ->type_name("FILE");
    app.add_option("--module", o.module, "path of TRSLNK32.so")->type_name("FILE");
    app.add_flag("--check", o.checkOnly, "check the configuration files and options, start nothing");
    // Jobs, in the order they run.
    app.add_option("--warm-start", o.warmStarts, "1. log these stations on")->type_name("STATION");
    app.add_option("--set-clock", o.setClocks, "2. set these stations' clocks from this computer's")->type_name("STATION");
    app.add_option("--write", o.writes, "3. write ADDRESS=VALUE (text gates take the text)")->type_name("ADDR=VALUE");
    app.add_option("--read", o.reads, "4. read these gates once")->type_name("ADDRESS");
    app.add_option("--journal", o.journals, "5. read these stations' journals into their gates")->type_name("STATION");
    app.add_option("--history", o.historyStation, "6. read this station's history (needs --from)")->type_name("STATION");
    app.add_option("--from", o.historyFrom, "   start of the history read: \"dd/mm/yyyy hh:mm\"");
    app.add_option("--history-csv", o.historyCsv, "   write the samples read to this CSV file")->type_name("FILE");
    app.add_option("--history-svg", o.historySvg, "   draw the samples read as an SVG chart")->type_name("FILE");
    app.add_option("--read-all", o.readAlls, "7. read the current states of these connected stations")->type_name("STATION");
    app.add_option("--call", o.callStation, "8. call this station through the modem pool (needs --dial)")
        ->type_name("STATION");
    app.add_option("--dial", o.dialRef, "   dial reference of the call (an entry of the dial directory)")
        ->type_name("REF")->check(CLI::Range(0, 65535));
    app.add_option("--call-mode", o.callMode,
                   "   connect (read all, stay on line), read-all (read all, hang up), timestamp (journal), sample")
        ->capture_default_str();
    app.add_option("--hangup", o.hangups, "9. end these stations' modem connections")->type_name("STATION");
    app.add_option("--listen", o.listenSeconds, "10. answer alarm calls for SECONDS (0 = until Ctrl-C); prints LISTEN <port>")
        ->type_name("SECONDS")->check(CLI::Range(0.0, 1e7));
    app.add_option("--max-calls", o.maxCalls, "    stop listening after this many answered calls")->type_name("N");
    app.add_option("--job-timeout", o.jobTimeout, "give up waiting for a journal, read-all or call after this many seconds")
        ->capture_default_str();
    // Sampling.
    app.add_option("--period", o.period, "sampling period in ms")->check(CLI::Range(10u, 86400000u))->capture_default_str();
    app.add_option("--cycles", o.cycles, "sample this many cycles, then end (0 = until Ctrl-C; after jobs: none)");
    app.add_flag("--json", o.json, "one JSON object per value change on stdout, for other programs");
    app.add_flag("--plain", o.plain, "plain lines instead of the live table, also on a terminal");
    // Log.
    app.add_option("--log", o.logFile, "write log lines to this file instead of stderr")->type_name("FILE");
    app.add_option("--log-level", o.logLevel,
                   "driver log lines up to this level: 0 progress, 8, 32 errors and notices, 64 trace; -1 none")
        ->check(CLI::Range(-1, 64))->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        std::cerr << "Run trs-host --help for the options.\n";
        return tools::kExitUsage;
    }
    std::string error;
    if (!L.Open(o.logFile, &error)) {
        std::cerr << "trs-host: " << error << "\n";
        return tools::kExitUsage;
    }
    // Tool lines (level 33) always show; driver lines up to the chosen level.
    L.SetThreshold(std::max(o.logLevel, 33));
    const int driverLevel = o.logLevel;
    // The lines are printed as they come; kept in memory as well, they would only grow
    // through a sampling run of days.
    kiv::Runtime::Get().SetLogKept(0);
    kiv::Runtime::Get().Subscribe([driverLevel](const kiv::LogLine &line) {
        if (line.level <= driverLevel)
            L.Write(line.level, "", line.text);
    });
    // Paths given relative to where the tool was started stay valid after --config-dir.
    std::error_code code;
    for (std::string *path : {&o.gateList, &o.dialDirectory, &o.historyCsv, &o.historySvg, &o.module})
        if (!path->empty())
            *path = fs::absolute(*path, code).string();
    if (!o.configDir.empty()) {
        fs::current_path(o.configDir, code);
        if (code) {
            std::cerr << "trs-host: --config-dir " << o.configDir << ": " << code.message() << "\n";
            return tools::kExitUsage;
        }
        o.configDir.clear();
    }
    std::thread(WatchSignals, signals).detach();
    HostTool tool(o);
    const int rc = tool.Run();
    std::cout.flush();
    // Driver threads may still be ending: leave without running static destructors under them.
    std::fflush(nullptr);
    _exit(rc);
}
