// trs-host: a small host for commissioning. It loads the driver, starts one instance on
// a serial port (the initialisation file is read from the current directory, as the
// driver always does), binds the gates of a gate list, and samples them, printing every
// value; it can also write gates and log stations on.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <signal.h>
#include <stdio.h>
#include <thread>

#include "host/Host.h"
#include "tools/ToolSupport.h"

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int)
{
    gStop = true;
}

bool ParseAssignment(const std::string &text, std::string *address, std::string *value)
{
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        return false;
    *address = text.substr(0, equals);
    *value = text.substr(equals + 1);
    return true;
}

/* Reads the journal of a station through its JR gate (added when the gate list has none)
 * and prints every value stored into a gate while it runs. */
int ReadJournal(kiv::DriverHost &host, kiv::Runtime &runtime, unsigned drv, unsigned station)
{
    char address[16];
    snprintf(address, sizeof address, "%03uJR", station);
    auto jr = runtime.FindGate(address, static_cast<uint8_t>(drv));
    if (!jr) {
        kiv::GateSpec spec;
        spec.name = address;
        spec.address = address;
        spec.drvNumber = static_cast<uint8_t>(drv);
        spec.sampling = false;
        jr = runtime.AddGate(spec);
        if (host.Bind(*jr) != 0) {
            std::cerr << "trs-host: station " << station << " is not declared in the initialisation file\n";
            return 1;
        }
    }
    // The driver tells each event it stores and the end of the read in its log.
    char storing[96], done[64];
    snprintf(storing, sizeof storing, "TRSLNK: StoreEventData() storing data from station %u event #", station);
    snprintf(done, sizeof done, "TRSLNK: Station %u. Reading alerts completed", station);
    std::atomic<unsigned> events{0};
    std::atomic<int> lastEvent{-1};
    std::atomic<bool> finished{false};
    int subscription = runtime.Subscribe([&](const kiv::LogLine &line) {
        if (line.text.rfind(storing, 0) == 0) {
            events++;
            lastEvent = std::atoi(line.text.c_str() + strlen(storing));
        } else if (line.text == done) {
            finished = true;
        }
    });
    std::map<uint32_t, size_t> seen;
    for (uint32_t id : runtime.GateIds())
        if (auto gate = runtime.Gate(id))
            seen[id] = gate->history.size();
    uint32_t rc = host.Write(*jr, 1);
    std::cout << "journal of station " << station << ": " << (rc == 0 ? "reading" : "not started (" + std::to_string(rc) + ")")
              << "\n";
    auto showNew = [&] {
        for (auto &[id, count] : seen) {
            auto gate = runtime.Gate(id);
            if (!gate)
                continue;
            for (size_t k = count; k < gate->history.size(); k++) {
                const kiv::GateSample &sample = gate->history[k];
                time_t stamp = sample.timeStamp;
                char when[32];
                strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime(&stamp));
                std::cout << "  " << when << "  " << gate->spec.address << " = "
                          << (gate->spec.type == GATE_TYPE_TEXT ? sample.text : std::to_string(sample.value)) << "\n";
            }
            count = gate->history.size();
        }
        std::cout.flush();
    };
    while (rc == 0 && !finished && !gStop) {
        showNew();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    showNew();
    runtime.Unsubscribe(subscription);
    std::cout << "journal of station " << station << ": " << events << " events stored";
    if (lastEvent >= 0)
        std::cout << ", last event " << lastEvent;
    std::cout << "\n";
    return rc == 0 && finished ? 0 : 1;
}

/* A gate of the station's special gates, added and bound when the gate list has none. */
std::optional<uint32_t> StationGate(kiv::DriverHost &host, kiv::Runtime &runtime, unsigned drv, unsigned station,
                                    const char *suffix, uint16_t type)
{
    char address[32];
    snprintf(address, sizeof address, "%03u%s", station, suffix);
    if (auto id = runtime.FindGate(address, static_cast<uint8_t>(drv)))
        return id;
    kiv::GateSpec spec;
    spec.name = address;
    spec.address = address;
    spec.type = type;
    spec.drvNumber = static_cast<uint8_t>(drv);
    spec.sampling = false;
    uint32_t id = runtime.AddGate(spec);
    if (host.Bind(id) != 0) {
        std::cerr << "trs-host: " << address << " refused; is station " << station << " declared?\n";
        return std::nullopt;
    }
    return id;
}

std::string Stamp(uint32_t seconds)
{
    time_t t = seconds;
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", localtime(&t));
    return text;
}

/* Reads the history of a station from `from` ("dd/mm/yyyy hh:mm") through its HS gate and
 * shows per gate the samples stored and their time span; writes them to csv if named. */
int ReadHistory(kiv::DriverHost &host, kiv::Runtime &runtime, unsigned drv, unsigned station, const std::string &from,
                const std::string &csv)
{
    const size_t blank = from.find(' ');
    const std::string date = from.substr(0, blank), time = blank == std::string::npos ? "00:00" : from.substr(blank + 1);
    auto hs = StationGate(host, runtime, drv, station, "HS", GATE_TYPE_U16);
    auto startDate = StationGate(host, runtime, drv, station, "_START_DATE", GATE_TYPE_TEXT);
    auto startTime = StationGate(host, runtime, drv, station, "_START_TIME", GATE_TYPE_TEXT);
    if (!hs || !startDate || !startTime)
        return 1;
    if (host.WriteText(*startDate, date) != 0 || host.WriteText(*startTime, time) != 0) {
        std::cerr << "trs-host: start '" << from << "' refused (dd/mm/yyyy hh:mm)\n";
        return 1;
    }
    std::map<uint32_t, size_t> before;
    for (uint32_t id : runtime.GateIds())
        if (auto gate = runtime.Gate(id))
            before[id] = gate->history.size();
    std::cout << "history of station " << station << " from " << date << " " << time << "\n";
    std::cout.flush();
    const uint32_t rc = host.Read(*hs);
    std::ofstream out;
    if (!csv.empty()) {
        out.open(csv);
        out << "gate,address,time,value\n";
    }
    unsigned total = 0;
    char prefix[8];
    snprintf(prefix, sizeof prefix, "%03u", station);
    for (const auto &[id, count] : before) {
        auto gate = runtime.Gate(id);
        if (id == *hs || !gate || gate->history.size() <= count || gate->spec.address.rfind(prefix, 0) != 0)
            continue;
        const std::vector<kiv::GateSample> added(gate->history.begin() + static_cast<long>(count), gate->history.end());
        uint32_t first = added.front().timeStamp, last = first;
        for (const auto &sample : added) {
            first = std::min(first, sample.timeStamp);
            last = std::max(last, sample.timeStamp);
            if (out.is_open())
                out << gate->spec.name << "," << gate->spec.address << "," << Stamp(sample.timeStamp) << "," << sample.value << "\n";
        }
        total += static_cast<unsigned>(added.size());
        std::cout << "  " << gate->spec.address << " " << gate->spec.name << ": " << added.size() << " samples, "
                  << Stamp(first) << " .. " << Stamp(last) << "\n";
    }
    std::cout << "history of station " << station << ": " << total << " samples stored, result " << rc << "\n";
    if (out.is_open())
        std::cout << "samples written to " << csv << "\n";
    return rc == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Loads TRSLNK32.so, starts an instance on a port and samples the gates of a gate list."};
    std::string module = tools::DefaultModulePath(argv[0]);
    std::string port = "ttyS0", gateList;
    unsigned drv = 1, baud = 1200, data = 7, stop = 0, parity = 2, period = 1000, cycles = 0;
    int logLevel = 32;
    std::vector<unsigned> warmStarts;
    std::vector<std::string> writes;
    std::vector<unsigned> journals;
    unsigned historyStation = 0;
    std::string historyFrom, historyCsv;
    app.add_option("--module", module, "path of TRSLNK32.so");
    app.add_option("--drv", drv, "drv number of the instance (init file TRSLNKnn.INT)")->check(CLI::Range(1, 99));
    app.add_option("--port", port, "serial port: ttyS0, /dev/ttyUSB0, pts/3 or NUL");
    app.add_option("--baud", baud, "baud rate");
    app.add_option("--data-bits", data, "data bits");
    app.add_option("--stop-bits", stop, "stop-bit code: 0 one, 1 one and a half, 2 two");
    app.add_option("--parity", parity, "parity code: 0 none, 1 odd, 2 even, 3 mark, 4 space");
    app.add_option("--gates", gateList, "gate list (TOML)")->required();
    app.add_option("--period", period, "sampling period in ms");
    auto *cyclesOption =
        app.add_option("--cycles", cycles, "stop after this many sampling periods (0 = until Ctrl-C; with --journal, none)");
    app.add_option("--warm-start", warmStarts, "log these stations on first");
    app.add_option("--write", writes, "write ADDRESS=VALUE once bound (text gates take the text)");
    app.add_option("--journal", journals, "read the journal of these stations (shows every event stored)");
    app.add_option("--history", historyStation, "read the history of this station (needs --from)");
    app.add_option("--from", historyFrom, "start of the history read: \"dd/mm/yyyy hh:mm\"");
    app.add_option("--history-csv", historyCsv, "write the history samples stored to this CSV file");
    app.add_option("--log-level", logLevel, "print driver log lines up to this level (64 = all)");
    CLI11_PARSE(app, argc, argv);

    kiv::Runtime &runtime = kiv::Runtime::Get();
    runtime.SetLogThreshold(logLevel);
    std::string error;
    auto ids = runtime.LoadGateList(gateList, &error);
    if (!ids) {
        std::cerr << "trs-host: " << error << "\n";
        return 1;
    }

    kiv::DriverHost host;
    if (!host.Load(module, &error)) {
        std::cerr << "trs-host: cannot load " << module << ": " << error << "\n";
        return 1;
    }
    ColdStartParams params{};
    snprintf(params.portName, sizeof params.portName, "%s", port.c_str());
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{static_cast<uint16_t>(baud), static_cast<uint16_t>(data),
                                       static_cast<uint16_t>(stop), static_cast<uint16_t>(parity)};
    uint32_t rc = host.ColdStart(drv, params);
    if (rc != 0) {
        std::cerr << "trs-host: ColdStart failed with " << rc << "\n";
        return 1;
    }
    for (unsigned station : warmStarts)
        std::cout << "WarmStart " << station << ": " << host.WarmStart(station) << "\n";
    std::cout << "bound " << host.BindAll() << " of " << ids->size() << " gates\n";

    for (const std::string &assignment : writes) {
        std::string address, value;
        auto id = ParseAssignment(assignment, &address, &value) ? runtime.FindGate(address, drv) : std::nullopt;
        if (!id) {
            std::cerr << "trs-host: no gate for '" << assignment << "'\n";
            continue;
        }
        auto gate = runtime.Gate(*id);
        uint32_t result = gate->spec.type == GATE_TYPE_TEXT ? host.WriteText(*id, value)
                                                            : host.Write(*id, std::stod(value));
        std::cout << "write " << address << " = " << value << ": " << result << "\n";
    }

    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    int status = 0;
    for (unsigned station : journals)
        if (ReadJournal(host, runtime, drv, station) != 0)
            status = 1;
    if (historyStation != 0 && ReadHistory(host, runtime, drv, historyStation, historyFrom, historyCsv) != 0)
        status = 1;
    const bool sample = (journals.empty() && historyStation == 0) || cyclesOption->count() > 0;
    for (unsigned cycle = 0; sample && !gStop && (cycles == 0 || cycle < cycles); cycle++) {
        for (uint32_t id : *ids) {
            auto gate = runtime.Gate(id);
            if (!gate || !gate->spec.sampling || gate->samplingOff)
                continue;
            uint32_t result = host.Read(id);
            gate = runtime.Gate(id);
            std::cout << gate->spec.address << " " << gate->spec.name << ": "
                      << (result == 0 ? tools::FormatGateValue(*gate) : "read failed (" + std::to_string(result) + ")")
                      << "\n";
        }
        std::cout.flush();
        for (unsigned waited = 0; waited < period && !gStop; waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::cout << "EndDrv: " << host.EndDrv() << "\n";
    return status;
}
