// trs-host: a small host for commissioning. It loads the driver, starts one instance on
// a serial port (the initialisation file is read from the current directory, as the
// driver always does), binds the gates of a gate list, and samples them, printing every
// value; it can also write gates and log stations on.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <iostream>
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
    app.add_option("--module", module, "path of TRSLNK32.so");
    app.add_option("--drv", drv, "drv number of the instance (init file TRSLNKnn.INT)")->check(CLI::Range(1, 99));
    app.add_option("--port", port, "serial port: ttyS0, /dev/ttyUSB0, pts/3 or NUL");
    app.add_option("--baud", baud, "baud rate");
    app.add_option("--data-bits", data, "data bits");
    app.add_option("--stop-bits", stop, "stop-bit code: 0 one, 1 one and a half, 2 two");
    app.add_option("--parity", parity, "parity code: 0 none, 1 odd, 2 even, 3 mark, 4 space");
    app.add_option("--gates", gateList, "gate list (TOML)")->required();
    app.add_option("--period", period, "sampling period in ms");
    app.add_option("--cycles", cycles, "stop after this many sampling periods (0 = until Ctrl-C)");
    app.add_option("--warm-start", warmStarts, "log these stations on first");
    app.add_option("--write", writes, "write ADDRESS=VALUE once bound (text gates take the text)");
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
    for (unsigned cycle = 0; !gStop && (cycles == 0 || cycle < cycles); cycle++) {
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
    return 0;
}
