// The initialisation file: names, keys, station lines, messages and hostile contents.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "config/Config.h"
#include "integration/Fixture.h"
#include "support/Support.h"

namespace {

using trs_test::Format;
using Lines = std::vector<trs_test::Line>;
using Settings = std::map<std::string, long long>; // every setting a key line can change, by name
const char kFile[] = "TRSLNK01.INT";

// Runs each test in a private directory, since the file is looked up in the current one.
class InitFileTest : public trs_test::InstanceFixture {
protected:
    void TearDown() override { trs_test::FreeInstance(instance_); InstanceFixture::TearDown(); }
    static void Write(const std::string &name, const std::string &text) { std::ofstream(name, std::ios::binary) << text; }
    // Reads TRSLNK<drv>.INT holding text into a fresh instance, as cold start leaves it.
    DriverInstance *Read(const std::string &text, uint32_t drvNumber = 1)
    {
        Write(Format("TRSLNK%02u.INT", drvNumber), text);
        return ReadFiles(drvNumber);
    }
    DriverInstance *ReadFiles(uint32_t drvNumber = 1)
    {
        trs_test::FreeInstance(instance_);
        instance_ = trs_test::NewInstance(drvNumber);
        ResetInstance(instance_);
        trs_test::ClearLog();
        RequestBlock request{instance_, FN_COLD_START, drvNumber, 1, nullptr};
        ReadInitFile(&request);
        return instance_;
    }
    // The log without the three closing lines (checked on their own).
    static Lines BeforeSummary()
    {
        Lines lines = trs_test::Logged();
        EXPECT_GE(lines.size(), 3u) << trs_test::Dump();
        lines.resize(lines.size() >= 3 ? lines.size() - 3 : 0);
        return lines;
    }
    DriverInstance *instance_ = nullptr;
};

std::string Illegal(unsigned line) { return Format("TRSLNK> ReadIntFile() error, illegal line %u in '%s'", line, kFile); }
std::string IllegalWord(const char *line, unsigned n)
{
    return Format("TRSLNK> ReadIntFile() illegal line '%s', line %u in '%s'", line, n, kFile);
}
std::string IllegalAlert(const char *what, const char *line)
{
    return Format("TRSLNK> ReadIntFile() illegal alert %s in '%s', line 1 in '%s'", what, line, kFile);
}

Settings SettingsOf(const DriverInstance &i)
{
    return {{"modem", i.modemMode},       {"timeout", i.comTimeout},      {"ifg", i.ifg},
            {"csPopup", i.statesPopup},   {"jlPopup", i.journalPopup},    {"hsPopup", i.historyPopup},
            {"readStatus", i.readStatus}, {"noRecord", i.noRecord},       {"storeLast", i.storeLastEvent},
            {"online", i.onlineSampleFlag}, {"clock", i.clockSync},       {"class", i.alertClass},
            {"severity", i.alertSeverity}, {"zone", i.alertZone},         {"noComError", i.noComError}};
}
Settings With(Settings changes) // the defaults with these changes
{
    Settings all = {{"modem", 0},   {"timeout", 0},    {"ifg", 0},      {"csPopup", 0},   {"jlPopup", 0},
                    {"hsPopup", 0}, {"readStatus", 0}, {"noRecord", 0}, {"storeLast", 0}, {"online", 8},
                    {"clock", 1},   {"class", 2},      {"severity", 1000}, {"zone", 1000}, {"noComError", 0}};
    for (const auto &[key, value] : changes)
        all.at(key) = value;
    return all;
}

TEST_F(InitFileTest, KeysSetFieldsAndLogExactly)
{
    const char *const kWarning = "TRSLNK> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds";
    const char *const kCsPopup = "TRSLNK01:  ReadInitFile() 'Reading Current States' POPUP enabled";
    const char *const kClock = "TRSLNK01: ReadInitFile() CLOCK_SYNC set to '%s'";
    const char *const kNoComError = "TRSLNK01: ReadInitFile() NO_COM_ERROR = %s";
    const struct { std::string file; Settings changed; Lines log; } cases[] = {
        {"  MODEM=YESTERDAY\n", {{"modem", 1}}, {}},
        {"MODEM = yes\nMODEM = maybe\n", {}, {{32, IllegalWord("MODEM=MAYBE", 2)}}},
        {"modem = yes\nMODEM =\n", {}, {{32, Illegal(1)}, {32, Illegal(2)}}},
        {"COM_TIMEOUT = 30\n", {{"timeout", 3000}}, {{32, kWarning}}},
        {"COM_TIMEOUT = -5\nCOM_TIMEOUT = soon\n", {}, {{32, Illegal(1)}, {32, Illegal(2)}}},
        {"COM_TIMEOUT = 99999999999999\n", {{"timeout", UINT32_MAX}}, {{32, kWarning}}},
        {"CS_POPUP\nJL_POPUP = NO\nHS_POPUP whatever\nREAD_STATUS\nNO_RECORD\nSTORE_LAST_EVENT\n",
         {{"csPopup", 1}, {"jlPopup", 1}, {"hsPopup", 1}, {"readStatus", 1}, {"noRecord", 1}, {"storeLast", 1}},
         {{32, kCsPopup},
          {32, "TRSLNK01:  ReadInitFile() 'Reading Journal' POPUP enabled"},
          {32, "TRSLNK01:  ReadInitFile() 'Reading History' POPUP enabled"},
          {32, "TRSLNK01: ReadInitFile() Reading status after incoming call enabled"},
          {32, "TRSLNK> ReadInitFile() Recording to History of current statuses disabled"},
          {32, "TRSLNK01: ReadInitFile() last event no. will be stored in 'Last_eve.ini' file"}}},
        {" CS_POPUP\n ONLINE_SAMPLE = ALWAYS\n", {}, {{32, Illegal(1)}, {32, Illegal(2)}}}, // column one only
        {"  IFG =  50\n", {{"ifg", 50}}, {}},
        {"ONLINE_SAMPLE = always\nONLINE_SAMPLE = Often\n", {{"online", 4}}, {{32, IllegalWord("ONLINE_SAMPLE=Often", 2)}}},
        {"ALERTS=5,50000,50000\n", {{"class", 5}, {"severity", 50000}, {"zone", 50000}}, {}},
        {"ALERTS = 6 , 10 , 10\n", {}, {{32, IllegalAlert("class", "ALERTS = 6 , 10 , 10")}}},
        {"ALERTS = 1 , 50001 , 99999\n", {}, {{32, IllegalAlert("severity", "ALERTS = 1 , 50001 , 99999")}}},
        {"ALERTS = 4294967298 , 2 , 3\n", {}, {{32, IllegalAlert("class", "ALERTS = 4294967298 , 2 , 3")}}},
        {"ALERTS = 1 , 2\n", {}, {{32, Illegal(1)}}},
        {"CLOCK_SYNC = never\nCLOCK_SYNC = Modem\nCLOCK_SYNC = NEVERMORE\nCLOCK_SYNC=TIMESTAMPS\n", {},
         {{32, Format(kClock, "NEVER")}, {32, Format(kClock, "MODEM")}, {32, Format(kClock, "NEVER")},
          {32, Format(kClock, "TIMESTAMP")}}},
        {"CLOCK_SYNC = NEVER\n", {{"clock", 0}}, {{32, Format(kClock, "NEVER")}}},
        {"CLOCK_SYNC = MODEM\nCLOCK_SYNC = sometimes\n", {},
         {{32, Format(kClock, "MODEM")}, {32, IllegalWord("CLOCK_SYNC = SOMETIMES", 2)}}},
        {"NO_COM_ERROR = yes\n NO_COM_ERROR=no\n", {}, {{32, Format(kNoComError, "TRUE")}, {32, Format(kNoComError, "FALSE")}}},
        {"MODEM = YES\nNO_COM_ERROR = yes\nNO_COM_ERROR = perhaps\n", {{"modem", 1}},
         {{32, Format(kNoComError, "TRUE")}, {32, IllegalWord("NO_COM_ERROR=PERHAPS", 3)}}},
        {"// MODEM = YES\n\n//\nCS_POPUP\n", {{"csPopup", 1}}, {{32, kCsPopup}}},
        {"   \n // note\n/ single\n", {}, {{32, Illegal(1)}, {32, Illegal(2)}, {32, Illegal(3)}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(SettingsOf(*Read(c.file)), With(c.changed));
        EXPECT_EQ(BeforeSummary(), c.log) << trs_test::Dump();
    }
}

// Station lines: what is stored and what is logged, in the order the checks run.
TEST_F(InitFileTest, StationLinesStoreRecordsAndLog)
{
    auto station = [](const char *what, unsigned number, unsigned line) {
        return trs_test::Line(32, Format("TRSLNK> ReaddInitFile() error, %s, '%s' line %u",
                                         Format(what, number).c_str(), kFile, line));
    };
    const char *const kDef = "illegal station definition, station %u";
    const char *const kName = "illegal length of station name, station %u";
    const char *const kCode = "illegal length of access code, station %u";
    const std::string k64(64, 'N'), k65(65, 'N');
    const struct { std::string file; Lines log; int number; /* its slot is checked */
        const char *storedName; /* null: the slot stays empty */ const char *storedCode; uint32_t secondary; } cases[] = {
        {"7 = 'PUMP STATION' , 'AB12'\n", {{64, "TRSLNK> station 007 = 'PUMP STATION', access code 'AB12'"}}, 7,
         "STATION", "AB12", 1},
        {"  12='PLC1','X'\n", {{64, "TRSLNK> station 012 = 'PLC1', access code 'X'"}}, 12, "PLC1", "X", 0},
        {"9 = 'N', 'OPEN\n", {{64, "TRSLNK> station 009 = 'N', access code 'OPEN'"}}, 9, "N", "OPEN", 0},
        {"255 = '" + k64 + "', '12345678'\n", {{64, "TRSLNK> station 255 = '" + k64 + "', access code '12345678'"}},
         255, k64.c_str(), "12345678", 0},
        {"1234 = 'A', 'B'\n", {{64, "TRSLNK> station 123 = 'A', access code 'B'"}}, 123, "A", "B", 0},
        // Each refused line leaves station 7 free for the next one.
        {"7 = 'A' , ''\n7 = 'A' 'B'\n7 = 'A, 'B'\n7 = '" + k65 + "', 'B'\n7 = 'A', '123456789'\n7 = '" + k65 +
             "', ''\n256 = 'A', ''\n-5 = 'A', 'B'\n7 = '" + std::string(260, 'L') + "', 'B'\n7 = 'A' junk , 'B'\n",
         {station(kDef, 7, 1), station(kDef, 7, 2), station(kDef, 7, 3), station(kName, 7, 4), station(kCode, 7, 5),
          station(kDef, 7, 6), station("illegal station number %u", 256, 7), {32, Illegal(8)}, station(kDef, 7, 9),
          {32, Illegal(10)}, station(kDef, 7, 11)},
         7, nullptr, nullptr, 0},
        {"7 = 'FIRST', 'A'\n7 = 'SECOND', 'B'\n",
         {{64, "TRSLNK> station 007 = 'FIRST', access code 'A'"}, station("station %u already defined", 7, 2)}, 7,
         "FIRST", "A", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const StationRecord *record = Read(c.file)->stations[c.number].load();
        EXPECT_EQ(BeforeSummary(), c.log) << trs_test::Dump();
        if (!c.storedName) {
            EXPECT_EQ(record, nullptr);
            continue;
        }
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->name, c.storedName);
        EXPECT_STREQ(record->accessCode, c.storedCode);
        EXPECT_EQ(std::make_tuple(record->secondary, record->connRef.load(), record->disconnectAfterRead.load()),
                  std::make_tuple(c.secondary, uint16_t{255}, 1u));
        EXPECT_EQ(record->loggedOn + record->onlineState + record->statesBusy + record->incomingCall, 0u);
    }
}

// The three closing lines name the file's instance; a missing file gives only the warning.
TEST_F(InitFileTest, SummaryLinesAndMissingFile)
{
    Read("IFG = 7\nCOM_TIMEOUT = 3\nMODEM = YES\n", 4);
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK04: ReadInitFile() IFG set to 7"},
                                         {32, "TRSLNK04: ReadInitFile() COM_TIMEOUT set to 3 seconds"},
                                         {32, "TRSLNK04: is set for MULTI_MODEM communication"}}));
    Read("", 2);
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK02: ReadInitFile() IFG set to 0"},
                                         {32, "TRSLNK02: ReadInitFile() COM_TIMEOUT set to 0 seconds"},
                                         {32, "TRSLNK02: is set for SERIAL communication"}}));
    Write("TRSLNK2.INT", "MODEM = YES\n"); // another instance's file
    EXPECT_EQ(SettingsOf(*ReadFiles(1)), With({}));
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK> ReadInitFile() warning, initialisation file not found!!!"}}));
}

// Which of the three names is opened, what the name buffer holds, and the fallback in messages.
TEST_F(InitFileTest, PrecedenceOfTheThreeNames)
{
    const struct {
        std::vector<std::string> present;
        uint32_t drvNumber;
        const char *opened; // "(none)": nothing opens
        const char *lastTried;
    } cases[] = {
        {{"TRSLNK01.INT", "TRSLNK1.INT", "TRSLNK.INT"}, 1, "TRSLNK01.INT", "TRSLNK01.INT"},
        {{"TRSLNK1.INT", "TRSLNK.INT"}, 12, "TRSLNK.INT", "TRSLNK.INT"},
        {{"TRSLNK3.INT", "trslnk01.int"}, 1, "(none)", "TRSLNK.INT"},
    };
    for (const auto &c : cases) {
        for (const auto &file : c.present)
            Write(file, file + "\n"); // each file holds its own name
        char name[64] = "untouched", contents[64] = "(none)";
        FILE *file = OpenInitFile("TRSLNK", name, sizeof name, c.drvNumber);
        EXPECT_STREQ(name, c.lastTried);
        if (file) {
            EXPECT_NE(fgets(contents, sizeof contents, file), nullptr);
            fclose(file);
        }
        EXPECT_EQ(std::string(contents), std::string(c.opened) + (file ? "\n" : ""));
        for (const auto &present : c.present)
            std::filesystem::remove(present);
    }
    Write("TRSLNK.INT", "junk\n");
    ReadFiles(3);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReadIntFile() error, illegal line 1 in 'TRSLNK.INT'"), 1u) << trs_test::Dump();
    char name[9];
    memset(name, 'x', sizeof name);
    EXPECT_EQ(OpenInitFile("TRSLNK", name, 8, 5), nullptr);
    EXPECT_STREQ(name, "TRSLNK.");
    EXPECT_EQ(name[8], 'x');
}

// Long lines come in pieces of 255 characters, each counted as a line; CR LF reads as LF;
// a NUL byte ends the visible line; line numbers wrap at 16 bits.
TEST_F(InitFileTest, HostileLayouts)
{
    for (const std::string &first : {std::string(255, ' ') + "MODEM = YES", std::string(255, 'x')}) {
        EXPECT_EQ(Read(first + "\nrubbish\n")->modemMode, first[0] == ' ' ? 1u : 0u);
        EXPECT_EQ(BeforeSummary(), (Lines{{32, Illegal(1)}, {32, Illegal(3)}}));
    }
    const DriverInstance *instance = Read("MODEM = maybe\r\n\r\n7 = 'A', 'OPEN\r\nIFG = 5\r");
    EXPECT_EQ(instance->ifg, 5u);
    EXPECT_EQ(BeforeSummary(), (Lines{{32, IllegalWord("MODEM=MAYBE", 1)},
                                      {64, "TRSLNK> station 007 = 'A', access code 'OPEN'"}}));
    static const char kNul[] = "CS_POPUP\0garbage\n\0MODEM = YES\nJL_POPUP";
    instance = Read(std::string(kNul, sizeof kNul - 1));
    EXPECT_EQ(std::make_tuple(instance->statesPopup, instance->journalPopup, instance->modemMode),
              std::make_tuple(1u, 1u, 0u));
    EXPECT_EQ(BeforeSummary().size(), 2u) << trs_test::Dump(); // the two pop-up lines
    std::string many;
    for (int i = 0; i < 65535; i++)
        many += "//\n";
    Read(many + "rubbish\n");
    EXPECT_EQ(BeforeSummary(), (Lines{{32, Illegal(0)}}));
}

// ResetInstance sets every default over whatever the block held.
TEST(ResetInstanceTest, SetsEveryDefault)
{
    DriverInstance *instance = trs_test::NewInstance(1);
    StationRecord *record = trs_test::AddStation(instance, 5, "S", "C");
    instance->modemMode = instance->comTimeout = instance->clockSync = instance->alertZone = instance->comHandle = 2;
    instance->transparentMode = instance->lastEventNo[255] = instance->gateParsed[65534] = 1;
    instance->lastEventTime[255][0] = 2020;
    instance->startDate[255][0] = 'x';
    ResetInstance(instance);
    EXPECT_EQ(instance->stations[5].load(), nullptr); // not freed: EndDrv owns that
    delete record;
    EXPECT_EQ(SettingsOf(*instance), With({}));
    EXPECT_EQ(instance->comHandle + instance->transparentMode + instance->gateParsed[65534] + instance->lastEventNo[255], 0u);
    const uint16_t first[6] = {1993, 1, 1, 1, 0, 0};
    for (unsigned s : {0u, 255u})
        EXPECT_TRUE(std::equal(first, first + 6, instance->lastEventTime[s])) << s;
    EXPECT_EQ(instance->startDate[255][0], '\0');
    trs_test::FreeInstance(instance);
}

} // namespace
