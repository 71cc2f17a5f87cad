// trs-host and trs-sim options and exit codes, as a field engineer meets them.
#include <algorithm>

#include <gtest/gtest.h>

#include "Run.h"

namespace {

using tools_test::Folder;
using tools_test::Station;

struct Case { const char *what; std::vector<std::string> args; int code; const char *message; /* in stderr */ };

// Every case runs in a folder with the example initialisation file; "GATES" stands for
// the example gate list.
class HostOptions : public testing::TestWithParam<Case> {};

TEST_P(HostOptions, ExitCodeAndMessage)
{
    Folder folder(true);
    std::vector<std::string> args;
    if (std::find(GetParam().args.begin(), GetParam().args.end(), "--module") == GetParam().args.end())
        args = {"--module", TRSLNK32_PATH};
    for (const std::string &a : GetParam().args)
        args.push_back(a == "GATES" ? TRS_EXAMPLES "/gates.toml" : a == "DIR" ? folder.Path() : a);
    const auto r = tools_test::Run(TRS_HOST_PATH, args, folder.Path());
    EXPECT_EQ(r.code, GetParam().code) << r.err;
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, HostOptions,
    testing::Values(
        Case{"unknown option", {"--gates", "GATES", "--bogus"}, 2, "--bogus"},
        Case{"no gate list", {"--check"}, 2, "--gates FILE is required"},
        Case{"text for a number", {"--gates", "GATES", "--check", "--write", "005AI012=abc"}, 2, "'abc' is not a number"},
        Case{"no value", {"--gates", "GATES", "--check", "--write", "005AI012="}, 2, "'' is not a number"},
        Case{"out of range", {"--gates", "GATES", "--check", "--write", "005AI012=1e9"}, 2, "0 to 65535"},
        Case{"no equals sign", {"--gates", "GATES", "--check", "--write", "005AI012"}, 2, "ADDRESS=VALUE"},
        Case{"port name too long", {"--gates", "GATES", "--port", "/dev/ttyUSB0"}, 2, "at most 11 characters"},
        Case{"baud beyond 16 bits", {"--gates", "GATES", "--baud", "66736"}, 2, "--baud 66736"},
        Case{"undeclared station", {"--gates", "GATES", "--check", "--warm-start", "1"}, 2, "declared: 5, 7"},
        Case{"modem job in serial mode", {"--gates", "GATES", "--check", "--hangup", "5"}, 2, "MODEM = YES"},
        Case{"gate list is a folder", {"--gates", "DIR", "--check"}, 2, "not a file"},
        Case{"bad history start", {"--gates", "GATES", "--check", "--history", "5", "--from", "2003-12-15"}, 2,
             "dd/mm/yyyy hh:mm"},
        Case{"missing port", {"--gates", "GATES", "--port", "ttyQQ9"}, 3, "/dev/ttyQQ9: no such device"},
        Case{"not a character device", {"--gates", "GATES", "--port", "/etc/passwd"}, 3, "not a character device"},
        Case{"not a terminal", {"--gates", "GATES", "--port", "/dev/zero"}, 3, "not a terminal"},
        Case{"no driver", {"--gates", "GATES", "--port", "NUL", "--module", "/nonexistent.so"}, 4, "cannot load"},
        Case{"configuration good", {"--gates", "GATES", "--check"}, 0, "no problem found"}),
    [](const auto &info) {
        std::string name = info.param.what;
        for (char &c : name)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST(Tools, MissingInitialisationFileIsNamedWithItsFolder)
{
    Folder folder;
    const auto r = tools_test::Run(TRS_HOST_PATH, {"--gates", TRS_EXAMPLES "/gates.toml", "--check"}, folder.Path());
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("no initialisation file for drv 1 in " + folder.Path()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("TRSLNK01.INT, TRSLNK1.INT, TRSLNK.INT"), std::string::npos) << r.err;
}

// A silent station keeps a driver read waiting for seconds; a signal ends the host all
// the same, with exit code 0, whether the read ends within the grace or is left.
TEST(Tools, SignalEndsTheHostWithASilentStation)
{
    for (int sig : {SIGINT, SIGTERM}) {
        Station station({"--fault", "silent"});
        ASSERT_FALSE(station.port.empty());
        Folder folder(true);
        tools_test::Child host(TRS_HOST_PATH, station.HostArgs({"--log-level", "32"}), folder.Path());
        // The first failed attempt shows that the read is under way.
        std::string seen;
        while (seen.find("retry 0") == std::string::npos && seen.size() < 100000) {
            const std::string line = host.Line(true);
            if (line.empty())
                break;
            seen += line;
        }
        host.Signal(sig);
        const auto r = host.Wait();
        EXPECT_EQ(r.code, 0) << r.err;
        const bool ended = r.err.find("driver ended") != std::string::npos ||
                           r.err.find("leaving without EndDrv") != std::string::npos;
        EXPECT_TRUE(ended) << r.err;
    }
}

TEST(Tools, SimulatorRefusesBadOptionsWithCodeTwo)
{
    Folder folder;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--pty", "--fault", "loud"}, "'loud' is not a fault"},
        {{"--pty", "--fault", "delay,ms=x"}, "ms must be a number"},
        {{"--pty", "--station", "5", "--set", "5:AI12=99999999999999"}, "does not fit a 16-bit variable"},
        {{"--pty", "--station", "5", "--set", "5:FR2=abc"}, "'abc' is not a number"},
        {{"--pty", "--config", folder.Write("s.toml", "[[station]]\nidentity = 5\n[station.variables]\nAI12 = 99999999999999\n")},
         "s.toml:4: station 1, variable AI12"},
        {{"--pty", "--config", folder.Write("r.toml", "[[station]]\nidentity = 5\n\n[[station.resources]]\naddress = 1\nfield = \"x\"\n")},
         "r.toml:6: station 1, resource 1: field must be exactly 16 characters"},
        {{"--tcp", "70000"}, "--tcp"},
    };
    for (const auto &[args, message] : cases) {
        const auto r = tools_test::Run(TRS_SIM_PATH, args);
        EXPECT_EQ(r.code, 2) << message << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

// --trace decodes every telegram with its checksum verdict; a wrong-checksum fault shows.
TEST(Tools, SimulatorTraceShowsFieldsAndChecksums)
{
    Station station({"--trace", "--fault", "checksum,command=VAR?,count=1"});
    Folder folder(true);
    const auto r = tools_test::Run(TRS_HOST_PATH, station.HostArgs({"--read", "005AI012"}), folder.Path());
    EXPECT_EQ(r.code, 0) << r.err;
    station.sim->Signal(SIGTERM);
    const auto sim = station.sim->Wait();
    EXPECT_NE(sim.err.find("<- PLC1 | VAR? | AI12 | 1"), std::string::npos) << sim.err;
    EXPECT_NE(sim.err.find("-> VAR= | AI12 | 42   [checksum BAD]"), std::string::npos) << sim.err;
    EXPECT_NE(sim.err.find("-> VAR= | AI12 | 42   [checksum good]"), std::string::npos) << sim.err;
}

} // namespace
