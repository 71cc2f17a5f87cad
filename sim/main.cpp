// trs-sim: TRS II stations on a pseudo-terminal, a serial port or TCP, for driver tests and
// bench work.
#if defined(_WIN32)
#include <windows.h>

#include <thread>
#else
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>
#include <mutex>

#include <CLI/CLI.hpp>

#include "sim/Protocol.h"
#include "sim/Simulator.h"

namespace {

using trs::sim::Simulator;
using trs::sim::StationConfig;

// "ID[:NAME[:CODE]]"
bool ParseQuickStation(const std::string &text, bool secondary, StationConfig &out, std::string &error) {
    StationConfig s;
    s.secondary = secondary;
    size_t first = text.find(':');
    const std::string id = text.substr(0, first);
    if (id.empty() || id.size() > 3 || id.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(id) == 0) {
        error = "station '" + text + "': the identity must be a number from 1 to 999";
        return false;
    }
    s.identity = static_cast<uint32_t>(std::stoul(id));
    if (first != std::string::npos) {
        size_t second = text.find(':', first + 1);
        s.name = text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        if (second != std::string::npos) s.accessCode = text.substr(second + 1);
    }
    out = s;
    return true;
}

// "ID:TOKEN=VALUE"
bool ParseSetting(const std::string &text, uint32_t &identity, std::string &token, std::string &value) {
    size_t colon = text.find(':'), equals = text.find('=');
    if (colon == std::string::npos || equals == std::string::npos || equals < colon || colon == 0) return false;
    const std::string id = text.substr(0, colon);
    if (id.size() > 3 || id.find_first_not_of("0123456789") != std::string::npos) return false;
    identity = static_cast<uint32_t>(std::stoul(id));
    token = text.substr(colon + 1, equals - colon - 1);
    value = text.substr(equals + 1);
    auto parsed = trs::sim::ParseToken(token);
    return parsed && trs::sim::KindOf(parsed->letters) != trs::sim::VarKind::Unknown;
}

// "HOST:PORT:STATION"
bool ParseCallIn(const std::string &text, std::string &host, uint16_t &port, uint32_t &identity) {
    size_t last = text.rfind(':');
    if (last == std::string::npos || last == 0) return false;
    size_t middle = text.rfind(':', last - 1);
    if (middle == std::string::npos || middle == 0) return false;
    const std::string portText = text.substr(middle + 1, last - middle - 1), idText = text.substr(last + 1);
    for (const std::string *t : {&portText, &idText})
        if (t->empty() || t->size() > 5 || t->find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long p = std::stoul(portText), id = std::stoul(idText);
    if (p == 0 || p > 65535 || id == 0 || id > 999) return false;
    host = text.substr(0, middle);
    port = static_cast<uint16_t>(p);
    identity = static_cast<uint32_t>(id);
    return true;
}

#if defined(_WIN32)
// Set by Ctrl+C, Ctrl+Break, closing the console, or the end of standard input.
HANDLE gStop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD)
{
    SetEvent(gStop);
    return TRUE;
}
#endif

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"TRS II station simulator: answers a driver on a pseudo-terminal or over TCP"};
    bool pty = false, verbose = false, exitOnEof = false, requireLogon = false, strict = false;
    int tcpPort = -1;
    uint32_t eventsEvery = 0;
    std::string configPath, callIn, serial;
    std::vector<std::string> quickStations, quickSecondaries, settings;
    app.add_flag("--pty", pty, "serve a new pseudo-terminal; prints \"PORT <device>\"");
    app.add_option("--serial", serial, "serve a serial port (COM3 on Windows, a device path elsewhere)");
    app.add_option("--tcp", tcpPort, "accept connections on 127.0.0.1:PORT (0 = any); prints \"TCP <port>\"")
        ->check(CLI::Range(0, 65535));
    app.add_option("--config", configPath, "station file (TOML)")->check(CLI::ExistingFile);
    app.add_option("--call-in", callIn, "place an alarm call to HOST:PORT as STATION");
    app.add_option("--station", quickStations, "add a station ID[:NAME[:CODE]]");
    app.add_option("--secondary", quickSecondaries, "add a secondary station ID[:NAME[:CODE]]");
    app.add_option("--set", settings, "set a variable ID:TOKEN=VALUE (e.g. 5:AI12=42)");
    app.add_flag("--require-logon", requireLogon, "stations from --station/--secondary want ACCES first");
    app.add_flag("--strict", strict, "stations from --station/--secondary answer 140 for unknown variables");
    app.add_option("--events-every", eventsEvery,
                   "every station records an event every MS milliseconds (resource 1, state 1 and 0 in turn)")
        ->check(CLI::Range(1, 86400000));
    app.add_flag("--verbose,-v", verbose, "print every telegram received and sent on stderr");
    app.add_flag("--exit-on-eof", exitOnEof, "stop when standard input closes");
    CLI11_PARSE(app, argc, argv);

    std::string host;
    uint16_t callPort = 0;
    uint32_t callIdentity = 0;
    if (!callIn.empty() && !ParseCallIn(callIn, host, callPort, callIdentity)) {
        std::cerr << "trs-sim: --call-in wants HOST:PORT:STATION, got '" << callIn << "'\n";
        return 1;
    }
    if (!pty && serial.empty() && tcpPort < 0 && callIn.empty()) {
        std::cerr << "trs-sim: give --pty, --serial DEVICE, --tcp PORT or --call-in HOST:PORT:STATION\n";
        return 1;
    }

#if defined(_WIN32)
    gStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    // Signals are taken through a descriptor, so every thread started below (lines, growth) has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
#endif

    Simulator sim;
    std::string error;
    if (!configPath.empty() && !sim.LoadConfig(configPath, &error)) {
        std::cerr << "trs-sim: " << error << "\n";
        return 1;
    }
    for (size_t i = 0; i < quickStations.size() + quickSecondaries.size(); ++i) {
        const bool secondary = i >= quickStations.size();
        StationConfig s;
        if (!ParseQuickStation(secondary ? quickSecondaries[i - quickStations.size()] : quickStations[i], secondary, s,
                               error)) {
            std::cerr << "trs-sim: " << error << "\n";
            return 1;
        }
        s.requireLogon = requireLogon;
        s.strictVariables = strict;
        sim.AddStation(s);
    }
    if (sim.Stations().empty()) sim.AddStation(StationConfig{}); // station 1, code 1234
    for (const auto &text : settings) {
        uint32_t identity = 0;
        std::string token, value;
        if (!ParseSetting(text, identity, token, value) || !sim.Station(identity)) {
            std::cerr << "trs-sim: --set wants ID:TOKEN=VALUE of a configured station, got '" << text << "'\n";
            return 1;
        }
        sim.SetVariable(identity, token, value);
    }

    if (eventsEvery > 0) {
        for (StationConfig s : sim.Stations()) {
            s.journal.generator.everyMs = eventsEvery;
            sim.AddStation(s);
        }
    }

    std::mutex printMu;
    if (verbose) {
        sim.SetTrace([&printMu](bool incoming, const std::string &bytes) {
            std::lock_guard lock(printMu);
            std::fprintf(stderr, "%s %s\n", incoming ? "<-" : "->", trs::sim::Printable(bytes).c_str());
        });
    }

    if (pty) {
        auto path = sim.OpenPty(&error);
        if (!path) {
            std::cerr << "trs-sim: " << error << "\n";
            return 1;
        }
        std::printf("PORT %s\n", path->c_str());
    }
    if (!serial.empty()) {
        if (!sim.OpenSerial(serial, &error)) {
            std::cerr << "trs-sim: " << error << "\n";
            return 1;
        }
        std::printf("SERIAL %s\n", serial.c_str());
    }
    if (tcpPort >= 0) {
        auto port = sim.ListenTcp(static_cast<uint16_t>(tcpPort), &error);
        if (!port) {
            std::cerr << "trs-sim: " << error << "\n";
            return 1;
        }
        std::printf("TCP %u\n", static_cast<unsigned>(*port));
    }
    if (!callIn.empty() && !sim.CallIn(host, callPort, callIdentity, &error)) {
        std::cerr << "trs-sim: " << error << "\n";
        return 1;
    }
    std::fflush(stdout);

#if defined(_WIN32)
    if (exitOnEof) {
        std::thread([] {
            char buffer[256];
            while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
            }
            SetEvent(gStop);
        }).detach();
    }
    WaitForSingleObject(gStop, INFINITE);
#else
    for (;;) {
        pollfd p[2] = {{signalFd, POLLIN, 0}, {exitOnEof ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) continue;
        if (p[0].revents) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) == sizeof info && info.ssi_signo == SIGPIPE) continue;
            break;
        }
        if (p[1].revents) {
            char buffer[256];
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
        }
    }
#endif
    sim.Stop();
    const auto c = sim.GetCounters();
    if (verbose) {
        std::fprintf(stderr, "telegrams %llu, checksum errors %llu, wake-ups %llu, overflows %llu\n",
                     static_cast<unsigned long long>(c.telegrams), static_cast<unsigned long long>(c.checksumErrors),
                     static_cast<unsigned long long>(c.wakeUps), static_cast<unsigned long long>(c.overflows));
    }
#if !defined(_WIN32)
    close(signalFd);
#endif
    return 0;
}
