// trs-demo: the whole system on one machine, without hardware.
//
// A simulated station answers on a pseudo-terminal; the host runtime loads TRSLNK32.so,
// starts an instance on that port, binds a handful of gates, reads and writes them, sets
// the station's clock, and ends the instance. Every telegram that crossed the line is
// printed at the end, as the station saw it.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "host/Host.h"
#include "sim/Simulator.h"
#include "tools/ToolSupport.h"

namespace fs = std::filesystem;

namespace {

struct DemoGate {
    const char *name, *address;
    uint16_t type;
    uint32_t blockLength;
};

const DemoGate kGates[] = {
    {"Flow (AI12)", "001AI012", GATE_TYPE_U16, 0},
    {"Level (FR2)", "001FR002", GATE_TYPE_FLOAT, 0},
    {"Pump states (DI1..4)", "001DI001", GATE_TYPE_DIGITAL, 4},
    {"Alarm bit (TB)", "001TB", GATE_TYPE_DIGITAL, 0},
    {"Site name (SR1)", "001SR001", GATE_TYPE_TEXT, 0},
    {"Reservoir (RA5)", "001RA005", GATE_TYPE_FLOAT, 0},
    {"Station clock (TM)", "001TM000", GATE_TYPE_U16, 3},
    {"History start date", "001_START_DATE", GATE_TYPE_TEXT, 0},
};

trs::sim::StationConfig DemoStation()
{
    trs::sim::StationConfig station;
    station.identity = 1;
    station.name = "PLC1";
    station.accessCode = "1234";
    station.variables = {{"AI12", "1234"}, {"FR2", "3,25"},      {"DI1", "1"},  {"DI2", "0"},
                         {"DI3", "1"},     {"DI4", "1"},         {"TB", "1"},   {"SR1", "\"North reservoir\""}};
    station.resources[5] = trs::sim::Resource{'A', "Level    :  87,5"};
    return station;
}

std::string Show(const std::string &payload)
{
    std::string out;
    for (unsigned char c : payload) {
        if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Runs the driver against a simulated station on a pseudo-terminal."};
    std::string module = tools::DefaultModulePath(argv[0]);
    bool verbose = false;
    app.add_option("--module", module, "path of TRSLNK32.so");
    app.add_flag("-v,--verbose", verbose, "print every driver log line (trace included)");
    CLI11_PARSE(app, argc, argv);

    kiv::Runtime &runtime = kiv::Runtime::Get();
    // The driver's log goes to standard output in order with the rest: its errors and
    // notices always, its trace with --verbose.
    runtime.Subscribe([verbose](const kiv::LogLine &line) {
        if (verbose || line.level == LOG_ERROR)
            std::cout << "    log " << line.level << ": " << line.text << "\n";
    });

    trs::sim::Simulator simulator;
    simulator.AddStation(DemoStation());
    std::string error;
    auto port = simulator.OpenPty(&error);
    if (!port) {
        std::cerr << "trs-demo: cannot open a pseudo-terminal: " << error << "\n";
        return 1;
    }
    std::cout << "Simulated station 001 'PLC1' answers on " << *port << "\n";

    // The driver reads its initialisation file from the current directory.
    tools::ScratchDirectory scratch("trs-demo");
    if (!scratch.Enter(&error)) {
        std::cerr << "trs-demo: " << error << "\n";
        return 1;
    }
    std::ofstream("TRSLNK01.INT") << "// demo instance\nCOM_TIMEOUT = 2\nCLOCK_SYNC = TIMESTAMP\n001 = 'PLC1' , '1234'\n";

    kiv::DriverHost host;
    if (!host.Load(module, &error)) {
        std::cerr << "trs-demo: cannot load " << module << ": " << error << "\n";
        return 1;
    }
    ColdStartParams params{};
    snprintf(params.portName, sizeof params.portName, "%s", port->c_str());
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{9600, 7, 0, 2};
    uint32_t rc = host.ColdStart(1, params);
    std::cout << "ColdStart on " << *port << ": " << rc << "\n";
    if (rc != 0)
        return 1;

    std::cout << "Logging station 001 on (wake-up, IDENT?, ACCES)...\n";
    uint32_t logOn = host.WarmStart(1);
    std::cout << "WarmStart: " << logOn << "\n";

    std::vector<uint32_t> ids;
    for (const DemoGate &gate : kGates) {
        kiv::GateSpec spec;
        spec.name = gate.name;
        spec.address = gate.address;
        spec.type = gate.type;
        spec.blockLength = gate.blockLength;
        spec.drvNumber = 1;
        ids.push_back(runtime.AddGate(spec));
    }
    std::cout << "Bound " << host.BindAll() << " of " << ids.size() << " gates\n\n";

    auto print = [&](uint32_t id) {
        auto gate = runtime.Gate(id);
        if (!gate)
            return;
        std::cout << "  " << gate->spec.address << "  " << gate->spec.name << " = ";
        if (gate->spec.type == GATE_TYPE_TEXT)
            std::cout << "'" << gate->current.text << "'";
        else
            std::cout << tools::FormatGateValue(*gate);
        std::cout << "\n";
    };

    std::cout << "Reading every gate:\n";
    for (uint32_t id : ids) {
        uint32_t result = host.Read(id);
        if (result != 0)
            std::cout << "  " << runtime.Gate(id)->spec.address << " read failed, result " << result << "\n";
        else
            print(id);
    }

    std::cout << "\nWriting: AI12 := 345, FR2 := 1.5, SR1 := 'Pump house', clock := computer's clock\n";
    struct {
        const char *label;
        uint32_t result;
    } writes[] = {{"AI12 write", host.Write(ids[0], 345)},
                  {"FR2 write", host.Write(ids[1], 1.5)},
                  {"SR1 write", host.WriteText(ids[4], "Pump house")},
                  {"TM write", host.Write(ids[6], 0)},
                  {"start date", host.WriteText(ids[7], "01/06/2026")}};
    for (const auto &write : writes)
        std::cout << "  " << write.label << ": " << write.result << "\n";
    std::cout << "\nReading back:\n";
    for (uint32_t index : {0u, 1u, 4u, 7u}) {
        host.Read(ids[index]);
        print(ids[index]);
    }

    std::cout << "\nEnding the instance...\n";
    uint32_t ended = host.EndDrv();
    std::cout << "EndDrv: " << ended << "\n";
    std::cout << "\nTelegrams the station received:\n";
    for (const std::string &telegram : simulator.Telegrams())
        std::cout << "  " << Show(telegram) << "\n";
    return 0;
}
