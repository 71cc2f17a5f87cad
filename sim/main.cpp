// trs-sim: TRS II stations on a pseudo-terminal or TCP, for commissioning, driver tests
// and bench work: alarm calls on command, faults from the command line, and a decoded
// trace of every telegram.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>
#include "platform/common/TomlText.h"

#include "sim/Protocol.h"
#include "sim/Simulator.h"
#include "tools/Common.h"

namespace {

using trs::sim::Simulator;
using trs::sim::StationConfig;

tools::Log &L = tools::Log::Get();

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

// Whether a value text suits a variable of this kind: "" or why not.
std::string CheckValue(trs::sim::VarKind kind, const std::string &value) {
    using trs::sim::VarKind;
    if (kind == VarKind::Integer) {
        if (value == "#") return ""; // a station's "no value" mark
        size_t used = 0;
        long long number = 0;
        try {
            number = std::stoll(value, &used);
        } catch (...) {
            used = 0;
        }
        if (used != value.size() || value.empty()) return "'" + value + "' is not a whole number";
        if (number < -32768 || number > 65535) return value + " does not fit a 16-bit variable (-32768 to 65535)";
    } else if (kind == VarKind::Float) {
        std::string text = value;
        for (char &c : text)
            if (c == ',') c = '.';
        if (!tools::ParseNumber(text)) return "'" + value + "' is not a number (write 3,25 or 3.25)";
    } else if (kind == VarKind::Bit) {
        if (value != "0" && value != "1" && !value.empty()) return "a bit variable takes 0 or 1, not '" + value + "'";
    }
    return "";
}

// "ID:TOKEN=VALUE"
bool ParseSetting(const std::string &text, uint32_t &identity, std::string &token, std::string &value,
                  std::string &why) {
    size_t colon = text.find(':'), equals = text.find('=');
    why = "write it as ID:TOKEN=VALUE, e.g. 5:AI12=42";
    if (colon == std::string::npos || equals == std::string::npos || equals < colon || colon == 0) return false;
    const std::string id = text.substr(0, colon);
    if (id.size() > 3 || id.find_first_not_of("0123456789") != std::string::npos) return false;
    identity = static_cast<uint32_t>(std::stoul(id));
    token = text.substr(colon + 1, equals - colon - 1);
    value = text.substr(equals + 1);
    auto parsed = trs::sim::ParseToken(token);
    if (!parsed || trs::sim::KindOf(parsed->letters) == trs::sim::VarKind::Unknown) {
        why = "'" + token + "' is not a variable token (AI12, FR2, SR1, DI3.7, TB ...)";
        return false;
    }
    why = CheckValue(trs::sim::KindOf(parsed->letters), value);
    return why.empty();
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

// "KIND[,command=CMD][,count=N][,ms=N][,status=N][,raw=TEXT]"
bool ParseFault(const std::string &text, trs::sim::Fault &fault, std::string &why) {
    using trs::sim::FaultKind;
    static const std::map<std::string, FaultKind> kinds = {
        {"silent", FaultKind::NoReply}, {"checksum", FaultKind::WrongChecksum}, {"cut", FaultKind::MissingCr},
        {"delay", FaultKind::Delay},    {"split", FaultKind::Split},           {"status", FaultKind::Status},
        {"raw", FaultKind::Raw}};
    std::stringstream parts(text);
    std::string part;
    std::getline(parts, part, ',');
    auto kind = kinds.find(part);
    if (kind == kinds.end()) {
        why = "'" + part + "' is not a fault: silent, checksum, cut, delay, split, status or raw";
        return false;
    }
    fault = {};
    fault.kind = kind->second;
    while (std::getline(parts, part, ',')) {
        const size_t equals = part.find('=');
        const std::string key = part.substr(0, equals), value = equals == std::string::npos ? "" : part.substr(equals + 1);
        if (key == "command") {
            fault.command = value;
        } else if (key == "raw") {
            fault.raw = value;
        } else if (key == "count" && value == "-1") {
            fault.count = -1;
        } else if (key == "count" || key == "ms" || key == "status") {
            auto n = tools::ParseUnsigned(value, key == "count" ? 1 : 0, key == "status" ? 999 : 600000);
            if (!n) {
                why = "'" + part + "': " + key + " must be a number" + (key == "status" ? " from 0 to 999" : "");
                return false;
            }
            if (key == "count") fault.count = static_cast<int>(*n);
            else if (key == "ms") fault.delayMs = static_cast<uint32_t>(*n);
            else fault.status = static_cast<uint32_t>(*n);
        } else {
            why = "'" + part + "': give command=, count=, ms=, status= or raw=";
            return false;
        }
    }
    if ((fault.kind == FaultKind::Delay || fault.kind == FaultKind::Split) && fault.delayMs == 0) fault.delayMs = 1000;
    if (fault.kind == FaultKind::Status && fault.status == 0) fault.status = 128;
    return true;
}

// The line of the station file that an error of the station loader names
// ("FILE: station 2, resource 1: field must be ...").
unsigned ErrorLine(const std::string &path, const std::string &error) {
    try {
        toml::table root = tomltext::ParseFile(path);
        unsigned index = 0;
        if (std::sscanf(error.c_str() + std::min(error.size(), path.size()), ": station %u", &index) != 1) return 0;
        const toml::array *stations = root["station"].as_array();
        if (!stations || index == 0 || index > stations->size()) return 0;
        const toml::table *station = stations->get(index - 1)->as_table();
        const toml::node *best = stations->get(index - 1);
        std::string rest = error.substr(error.find("station " + std::to_string(index)));
        for (const char *list : {"resource", "event", "trace"}) {
            unsigned item = 0;
            const size_t at = rest.find(std::string(", ") + list + " ");
            if (at == std::string::npos || std::sscanf(rest.c_str() + at + 2 + std::strlen(list), " %u", &item) != 1) continue;
            const toml::array *items = (*station)[std::string(list) + "s"].as_array();
            if (items && item >= 1 && item <= items->size()) {
                best = items->get(item - 1);
                station = best->as_table();
            }
        }
        // The key the message begins with, where the table has it.
        const size_t colon = rest.find(": ");
        if (station && colon != std::string::npos) {
            const std::string what = rest.substr(colon + 2);
            const std::string key = what.substr(0, what.find_first_of(" '"));
            if (const toml::node *node = station->get(key)) best = node;
            const size_t variable = rest.find(", variable ");
            if (variable != std::string::npos)
                if (const toml::table *vars = (*station)["variables"].as_table())
                    if (const toml::node *node = vars->get(rest.substr(variable + 11, rest.find(':', variable) - variable - 11)))
                        best = node;
        }
        return best->source().begin.line;
    } catch (...) {
        return 0;
    }
}

// Values of the station file that the loader takes as text: each must suit its variable.
std::vector<std::string> CheckVariables(const std::string &path) {
    std::vector<std::string> problems;
    try {
        toml::table root = tomltext::ParseFile(path);
        const toml::array *stations = root["station"].as_array();
        for (size_t i = 0; stations && i < stations->size(); i++) {
            const toml::table *vars = (*stations->get(i)->as_table())["variables"].as_table();
            if (!vars) continue;
            for (const auto &[key, node] : *vars) {
                auto token = trs::sim::ParseToken(std::string(key.str()));
                if (!token) continue;
                std::string value;
                if (node.is_string()) value = *node.value<std::string>();
                else if (node.is_integer()) value = std::to_string(*node.value<int64_t>());
                else if (node.is_boolean()) value = *node.value<bool>() ? "1" : "0";
                else if (node.is_floating_point()) {
                    std::ostringstream text;
                    text << *node.value<double>();
                    value = text.str();
                }
                const std::string why = CheckValue(trs::sim::KindOf(token->letters), value);
                if (!why.empty())
                    problems.push_back(path + ":" + std::to_string(node.source().begin.line) + ": station " +
                                       std::to_string(i + 1) + ", variable " + std::string(key.str()) + ": " + why);
            }
        }
    } catch (...) {
        // syntax errors are the loader's to report
    }
    return problems;
}

// A telegram as a person reads it: fields split at TAB, the checksum verdict of a reply.
std::string Decode(bool incoming, const std::string &bytes) {
    std::string payload = bytes, verdict;
    if (!incoming) {
        const bool hasCr = !payload.empty() && payload.back() == '\r';
        if (hasCr) payload.pop_back();
        if (!payload.empty()) {
            const char sent = payload.back();
            payload.pop_back();
            verdict = sent == trs::sim::Checksum(payload) ? "checksum good" : "checksum BAD";
        }
        if (!hasCr) verdict += verdict.empty() ? "no CR" : ", no CR";
        if (payload.rfind("STATUT\t130\t", 0) == 0) verdict += " (the request's checksum was wrong)";
    }
    std::string fields;
    size_t start = 0;
    for (size_t tab; (tab = payload.find('\t', start)) != std::string::npos; start = tab + 1)
        fields += (fields.empty() ? "" : " | ") + trs::sim::Printable(payload.substr(start, tab - start));
    if (start < payload.size()) fields += (fields.empty() ? "" : " | ") + trs::sim::Printable(payload.substr(start)) + " (no final TAB)";
    return std::string(incoming ? "<- " : "-> ") + fields + (verdict.empty() ? "" : "   [" + verdict + "]");
}

const char *kHelpFooter = R"(Faults (--fault, repeatable; also typed on stdin as 'fault SPEC'):
  silent | checksum | cut | delay | split | status | raw, then optional ,command=CMD ,count=N ,ms=N ,status=N ,raw=TEXT
  silent          no reply at all (the command is executed)
  checksum        the reply's checksum character is wrong
  cut             the reply without its CR
  delay,ms=3000   the reply after 3 s
  split,ms=500    the reply in two halves, 500 ms apart
  status,status=132,command=ACCES,count=1    refuse once with STATUT 132 (not executed)
  command=VAR? limits a fault to one command; count=N to N replies (default: until 'clear')

Commands on stdin (a terminal or a pipe): call [HOST:PORT:STATION] | fault SPEC | clear |
  event STATION [STATE] | set ID:TOKEN=VALUE | stats | quit.  SIGUSR1 places the --call-in call again.

Exit codes: 0 ended by SIGINT, SIGTERM, 'quit' or end of input; 1 a line could not be opened or an
alarm call could not be placed; 2 wrong options or a faulty station file (file:line: problem).)";

} // namespace

int main(int argc, char **argv) {
    L.SetProgram("trs-sim");
    CLI::App app{"trs-sim: TRS II station simulator. Answers a driver on a pseudo-terminal or over TCP, places "
                 "alarm calls, and injects faults."};
    app.footer(kHelpFooter);
    bool pty = false, verbose = false, trace = false, exitOnEof = false, requireLogon = false, strict = false;
    int tcpPort = -1;
    uint32_t eventsEvery = 0, callDelay = 0, callRepeat = 1, callEvery = 10000, paceBaud = 0;
    std::string configPath, callIn, serial;
    std::vector<std::string> quickStations, quickSecondaries, settings, faults;
    app.add_flag("--pty", pty, "serve a new pseudo-terminal; prints \"PORT <device>\"");
    app.add_option("--serial", serial, "serve a serial port (a device path); prints \"SERIAL <device>\"");
    app.add_option("--tcp", tcpPort, "accept connections on 127.0.0.1:PORT (0 = any); prints \"TCP <port>\"")
        ->check(CLI::Range(0, 65535));
    app.add_option("--config", configPath, "station file (TOML, docs/STATIONS.md)");
    app.add_option("--call-in", callIn, "place an alarm call to HOST:PORT as STATION (the modem pool's alarm port)");
    app.add_option("--call-delay", callDelay, "wait this many ms before the first alarm call")->capture_default_str();
    app.add_option("--call-repeat", callRepeat, "place the alarm call this many times")->check(CLI::Range(1u, 100000u))
        ->capture_default_str();
    app.add_option("--call-every", callEvery, "ms between repeated alarm calls")->check(CLI::Range(1u, 86400000u))
        ->capture_default_str();
    app.add_option("--pace", paceBaud, "emulate a line of BAUD bits per second (10 bits a character) both ways; 0 = off")
        ->check(CLI::Range(0u, 1000000u))
        ->capture_default_str();
    app.add_option("--station", quickStations, "add a station ID[:NAME[:CODE]]");
    app.add_option("--secondary", quickSecondaries, "add a secondary station ID[:NAME[:CODE]]");
    app.add_option("--set", settings, "set a variable ID:TOKEN=VALUE (e.g. 5:AI12=42)");
    app.add_option("--fault", faults, "inject a fault (see below), e.g. silent or delay,ms=3000,command=VAR?");
    app.add_flag("--require-logon", requireLogon, "stations from --station/--secondary want ACCES first");
    app.add_flag("--strict", strict, "stations from --station/--secondary answer 140 for unknown variables");
    app.add_option("--events-every", eventsEvery,
                   "every station records an event every MS milliseconds (resource 1, state 1 and 0 in turn)")
        ->check(CLI::Range(1, 86400000));
    app.add_flag("--verbose,-v", verbose, "print every telegram received and sent on stderr, as bytes");
    app.add_flag("--trace", trace, "print every telegram decoded, with a time stamp, on stderr");
    app.add_flag("--exit-on-eof", exitOnEof, "stop when standard input closes");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        std::cerr << "Run trs-sim --help for the options.\n";
        return tools::kExitUsage;
    }
    auto usage = [](const std::string &text) {
        std::cerr << "trs-sim: " << text << "\n";
        return tools::kExitUsage;
    };

    std::string host;
    uint16_t callPort = 0;
    uint32_t callIdentity = 0;
    if (!callIn.empty() && !ParseCallIn(callIn, host, callPort, callIdentity))
        return usage("--call-in wants HOST:PORT:STATION, got '" + callIn + "'");
    if (!pty && serial.empty() && tcpPort < 0 && callIn.empty())
        return usage("give --pty, --serial DEVICE, --tcp PORT or --call-in HOST:PORT:STATION");
    std::vector<trs::sim::Fault> faultList;
    for (const auto &text : faults) {
        trs::sim::Fault fault;
        std::string why;
        if (!ParseFault(text, fault, why)) return usage("--fault " + why);
        faultList.push_back(fault);
    }

    // Signals are taken through a descriptor, so every thread started below (lines, growth) has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGPIPE, SIGUSR1}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    Simulator sim;
    sim.KeepTelegrams(0); // --verbose and --trace print them; kept, they would grow for days
    sim.SetLinePacing(paceBaud);
    std::string error;
    if (!configPath.empty()) {
        if (!sim.LoadConfig(configPath, &error)) {
            const unsigned line = ErrorLine(configPath, error);
            if (line > 0 && error.rfind(configPath + ": ", 0) == 0)
                error = configPath + ":" + std::to_string(line) + ": " + error.substr(configPath.size() + 2);
            return usage(error);
        }
        const auto problems = CheckVariables(configPath);
        for (const auto &p : problems) std::cerr << "trs-sim: " << p << "\n";
        if (!problems.empty()) return tools::kExitUsage;
    }
    for (size_t i = 0; i < quickStations.size() + quickSecondaries.size(); ++i) {
        const bool secondary = i >= quickStations.size();
        StationConfig s;
        if (!ParseQuickStation(secondary ? quickSecondaries[i - quickStations.size()] : quickStations[i], secondary, s,
                               error))
            return usage(error);
        s.requireLogon = requireLogon;
        s.strictVariables = strict;
        sim.AddStation(s);
    }
    if (sim.Stations().empty()) sim.AddStation(StationConfig{}); // station 1, code 1234
    for (const auto &text : settings) {
        uint32_t identity = 0;
        std::string token, value, why;
        if (!ParseSetting(text, identity, token, value, why)) return usage("--set '" + text + "': " + why);
        if (!sim.Station(identity)) return usage("--set '" + text + "': no station " + std::to_string(identity));
        sim.SetVariable(identity, token, value);
    }
    for (const auto &fault : faultList) sim.InjectFault(fault);

    if (eventsEvery > 0) {
        for (StationConfig s : sim.Stations()) {
            s.journal.generator.everyMs = eventsEvery;
            sim.AddStation(s);
        }
    }

    std::mutex printMu;
    if (verbose || trace) {
        sim.SetTrace([&printMu, verbose](bool incoming, const std::string &bytes) {
            std::lock_guard lock(printMu);
            if (verbose)
                std::fprintf(stderr, "%s %s\n", incoming ? "<-" : "->", trs::sim::Printable(bytes).c_str());
            else
                std::fprintf(stderr, "%s %s\n", tools::NowStamp().c_str(), Decode(incoming, bytes).c_str());
        });
    }

    if (pty) {
        auto path = sim.OpenPty(&error);
        if (!path) {
            std::cerr << "trs-sim: cannot open a pseudo-terminal: " << error << "\n";
            return tools::kExitFailed;
        }
        std::printf("PORT %s\n", path->c_str());
    }
    if (!serial.empty()) {
        if (!sim.OpenSerial(serial, &error)) {
            std::cerr << "trs-sim: " << error << "\n";
            return tools::kExitFailed;
        }
        std::printf("SERIAL %s\n", serial.c_str());
    }
    if (tcpPort >= 0) {
        auto port = sim.ListenTcp(static_cast<uint16_t>(tcpPort), &error);
        if (!port) {
            std::cerr << "trs-sim: cannot listen on 127.0.0.1:" << tcpPort << ": " << error << "\n";
            return tools::kExitFailed;
        }
        std::printf("TCP %u\n", static_cast<unsigned>(*port));
    }
    std::fflush(stdout);

    // Alarm calls: the first after --call-delay, then --call-repeat - 1 more.
    auto placeCall = [&](const std::string &toHost, uint16_t toPort, uint32_t identity) {
        L.Info("alarm call to " + toHost + ":" + std::to_string(toPort) + " as station " + std::to_string(identity));
        std::string why;
        if (!sim.CallIn(toHost, toPort, identity, &why)) {
            L.Error("alarm call to " + toHost + ":" + std::to_string(toPort) + " failed: " + why);
            return false;
        }
        L.Info("alarm call connected, identification '" + std::to_string(identity) + "' sent; answering as station " +
               std::to_string(identity));
        return true;
    };
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(callDelay);
    uint32_t callsLeft = callIn.empty() ? 0 : callRepeat;
    int status = tools::kExitOk;
    // A simulator started in the background of a shell must not read the terminal (it would be stopped).
    bool readStdin = !isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) == getpgrp();
    std::string input;

    for (;;) {
        int timeout = -1;
        if (callsLeft > 0) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
        }
        pollfd p[2] = {{signalFd, POLLIN, 0}, {readStdin ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(p, 2, timeout) < 0) continue;
        if (callsLeft > 0 && std::chrono::steady_clock::now() >= next) {
            callsLeft--;
            next += std::chrono::milliseconds(callEvery);
            if (!placeCall(host, callPort, callIdentity) && callRepeat == 1 && !pty && serial.empty() && tcpPort < 0) {
                status = tools::kExitFailed;
                break;
            }
        }
        if (p[0].revents) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) != sizeof info || info.ssi_signo == SIGPIPE) continue;
            if (info.ssi_signo == SIGUSR1) {
                if (callIn.empty()) L.Error("SIGUSR1: no --call-in target to call");
                else placeCall(host, callPort, callIdentity);
                continue;
            }
            break;
        }
        if (p[1].revents) {
            char buffer[256];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                if (exitOnEof) break;
                readStdin = false;
                continue;
            }
            input.append(buffer, static_cast<size_t>(n));
            bool quit = false;
            for (size_t end; (end = input.find('\n')) != std::string::npos;) {
                std::istringstream words(input.substr(0, end));
                input.erase(0, end + 1);
                std::string command, argument, extra;
                words >> command >> argument;
                std::getline(words, extra);
                if (command.empty()) continue;
                if (command == "quit" || command == "exit") {
                    quit = true;
                } else if (command == "call") {
                    std::string h = host;
                    uint16_t port = callPort;
                    uint32_t id = callIdentity;
                    if (!argument.empty() && !ParseCallIn(argument, h, port, id)) L.Error("call wants HOST:PORT:STATION");
                    else if (h.empty()) L.Error("call: give HOST:PORT:STATION (no --call-in target)");
                    else placeCall(h, port, id);
                } else if (command == "fault") {
                    trs::sim::Fault fault;
                    std::string why;
                    if (ParseFault(argument, fault, why)) {
                        sim.InjectFault(fault);
                        L.Info("fault " + argument + " injected");
                    } else
                        L.Error("fault " + why);
                } else if (command == "clear") {
                    sim.ClearFaults();
                    L.Info("faults cleared");
                } else if (command == "event") {
                    auto id = tools::ParseUnsigned(argument, 1, 999);
                    trs::sim::Event event;
                    event.resource = 1;
                    if (!extra.empty()) event.state = extra.substr(extra.find_first_not_of(' '));
                    const uint16_t number = id ? sim.RecordEvent(static_cast<uint32_t>(*id), event) : 0;
                    if (number) L.Info("station " + argument + " recorded event " + std::to_string(number));
                    else L.Error("event wants a configured STATION [STATE]");
                } else if (command == "set") {
                    uint32_t identity = 0;
                    std::string token, value, why;
                    if (ParseSetting(argument, identity, token, value, why) && sim.Station(identity)) {
                        sim.SetVariable(identity, token, value);
                        L.Info("station " + std::to_string(identity) + ": " + token + " = " + value);
                    } else
                        L.Error("set " + argument + ": " + (why.empty() ? "no such station" : why));
                } else if (command == "stats") {
                    const auto c = sim.GetCounters();
                    L.Info("telegrams " + std::to_string(c.telegrams) + ", checksum errors " +
                           std::to_string(c.checksumErrors) + ", wake-ups " + std::to_string(c.wakeUps) +
                           ", bytes in " + std::to_string(c.bytesIn) + ", out " + std::to_string(c.bytesOut));
                } else {
                    L.Error("unknown command '" + command + "': call, fault, clear, event, set, stats, quit");
                }
            }
            if (quit) break;
        }
    }
    sim.Stop();
    const auto c = sim.GetCounters();
    if (verbose || trace) {
        std::fprintf(stderr, "telegrams %llu, checksum errors %llu, wake-ups %llu, overflows %llu\n",
                     static_cast<unsigned long long>(c.telegrams), static_cast<unsigned long long>(c.checksumErrors),
                     static_cast<unsigned long long>(c.wakeUps), static_cast<unsigned long long>(c.overflows));
    }
    close(signalFd);
    return status;
}
