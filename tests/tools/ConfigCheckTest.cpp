// Configuration files: the host tool's check of the initialisation file agrees with the
// driver's own reading of it, and every file names the line of its fault.
#include <gtest/gtest.h>

#include "Run.h"
#include "entry/Entry.h"
#include "host/Host.h"
#include "platform/Platform.h"
#include "support/Support.h"
#include "tools/Common.h"

namespace {

using tools_test::Folder;

// The driver's messages for a line it skips or takes with a warning.
bool DriverComplains(const std::vector<kiv::LogLine> &log)
{
    for (const auto &line : log)
        if (line.text.find("illegal") != std::string::npos || line.text.find("ReaddInitFile() error") != std::string::npos ||
            line.text.find("WARNING: COM_TIMEOUT") != std::string::npos)
            return true;
    return false;
}

// Each line goes through the checker and through the driver's ColdStart: both must find
// a fault in it, or neither.
TEST(ConfigCheck, InitFileCheckAgreesWithTheDriver)
{
    const char *lines[] = {
        "MODEM = NO",          "MODEM = maybe",       "  COM_TIMEOUT = 3",      "COM_TIMEOUT = 30",
        "COM_TIMEOUT = -1",    "IFG = 5",             "IFG = -1",               "CS_POPUP = NO",
        " CS_POPUP",           "ONLINE_SAMPLE = x",   "ONLINE_SAMPLE = always", "ALERTS = 6 , 10 , 10",
        "ALERTS = 1 , 2",      "ALERTS = 1 , 2 , 50001", "CLOCK_SYNC = sometimes", "CLOCK_SYNC = modem",
        "NO_COM_ERROR = perhaps", "NO_COM_ERROR = YES", "007 = 'PUMP STATION' , '77'", "007 = '' , ''",
        "256 = 'A' , '1'",     "007 = 'A' , '123456789'", "007 = 'A' 'B'",        "// comment",
        "   ",                 "",                    "COLD = 1",               "007 = 'A' , '1'\n007 = 'B' , '2'",
    };
    kiv::Runtime &rt = kiv::Runtime::Get();
    PlatformSetTimeScale(0.01); // the driver's start and end waits, in milliseconds
    for (const char *text : lines) {
        rt.Reset();
        rt.SetWaitMsgPeriod(10); // EndDrv waits for the online-tags thread to see its client gone
        SCOPED_TRACE(text);
        Folder folder;
        folder.Write("TRSLNK01.INT", std::string(text) + "\n");
        const tools::InitCheck check = tools::CheckInitFile(folder.Path(), 1);
        ASSERT_FALSE(check.file.empty());

        const auto previous = std::filesystem::current_path();
        std::filesystem::current_path(folder.Path());
        kiv::DriverHost host;
        host.Attach(DrvMain);
        ASSERT_EQ(host.ColdStart(1, trs_test::StartParams("NUL")), 0u);
        const auto log = rt.Log();
        host.EndDrv();
        std::filesystem::current_path(previous);

        EXPECT_EQ(!check.problems.empty(), DriverComplains(log));
        for (const auto &p : check.problems)
            EXPECT_EQ(p.Format().rfind(check.file + ":", 0), 0u) << p.Format();
    }
}

TEST(ConfigCheck, ProblemsNameFileLineAndCause)
{
    Folder folder;
    folder.Write("TRSLNK01.INT", "// plant\nALERTS = 6 , 10 , 10\n005 = 'PLC1' , '1234'\n 005 = 'X' , '1'\n");
    const auto check = tools::CheckInitFile(folder.Path(), 1);
    ASSERT_EQ(check.problems.size(), 2u);
    EXPECT_EQ(check.problems[0].Format(), folder.Path() + "/TRSLNK01.INT:2: ALERTS: the class must be 0 to 5, not 6 "
                                                          "(the line is ignored)");
    EXPECT_NE(check.problems[1].Format().find("TRSLNK01.INT:4: station 5: already declared on line 3"), std::string::npos);
    EXPECT_EQ(check.stations.size(), 1u);
}

// The host refuses faulty files before it starts anything, naming the line.
TEST(ConfigCheck, HostNamesTheLineOfEveryFaultyFile)
{
    Folder folder;
    folder.Write("TRSLNK01.INT", "MODEM = YES\n005 = 'PLC1' , '1234'\n");
    const std::string gate = "[[gate]]\nname = \"a\"\naddress = \"005AI012\"\ntype = \"u16\"\n";
    struct { std::string file, text, message; std::vector<std::string> extra; } cases[] = {
        {"g.toml", gate + gate, "g.toml: gate 2: address '005AI012' of drv 1 is gate 1's already (line 7)", {}},
        {"g.toml", gate + "\n[[gate]]\nname = \"b\"\naddress = \"\"\ntype = \"u16\"\n", "gate 2: 'address' is empty (line 8)", {}},
        {"g.toml", gate + "unit = 5\n", "'unit' must be a string of at most 15 characters (line 5)", {}},
        {"g.toml", "[[gate]]\nname = \"x\"\naddress = \"009AI001\"\ntype = 0\n", "g.toml:1: gate 'x' (009AI001): station 9 is not declared", {}},
        {"d.toml", "[[dial]]\nref = 12\nhost = \"127.0.0.1\"\nport = 0\n", "d.toml: dial entry 1: 'port' = 0 is not within 1..65535 (line 4)",
         {"--dial-directory"}},
    };
    const std::string gates = folder.Write("good.toml", gate);
    for (const auto &c : cases) {
        const std::string path = folder.Write(c.file, c.text);
        std::vector<std::string> args = {"--check", "--gates", c.file == "d.toml" ? gates : path};
        if (!c.extra.empty())
            args.insert(args.end(), {c.extra[0], path});
        const auto r = tools_test::Run(TRS_HOST_PATH, args, folder.Path());
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

} // namespace
