// The initialisation file: names, keys, station lines, messages and hostile contents.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "config/Config.h"
#include "entry/KivRun.h"
#include "support/Support.h"

namespace {

using trs_test::Format;

struct Line {
    int level;
    std::string text;
    bool operator==(const Line &other) const { return level == other.level && text == other.text; }
};

std::ostream &operator<<(std::ostream &out, const Line &line) { return out << "[" << line.level << "] " << line.text; }

std::vector<Line> Logged()
{
    std::vector<Line> lines;
    for (const auto &line : trs_test::Lines())
        lines.push_back({line.level, line.text});
    return lines;
}

// Runs each test in a private directory, since the file is looked up in the current one.
class InitFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = std::filesystem::current_path();
        char pattern[] = "/tmp/trs_initfile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        std::filesystem::current_path(dir_ = pattern);
    }

    void TearDown() override
    {
        trs_test::FreeInstance(instance_);
        std::filesystem::current_path(saved_);
        EXPECT_GT(std::filesystem::remove_all(dir_), 0u);
    }

    static void Write(const std::string &name, const std::string &contents)
    {
        std::ofstream(name, std::ios::binary) << contents;
    }

    // Reads TRSLNK<drv>.INT holding contents into a fresh instance.
    DriverInstance *Read(const std::string &contents, uint32_t drvNumber = 1)
    {
        Write(Format("TRSLNK%02u.INT", drvNumber), contents);
        return ReadFiles(drvNumber);
    }

    DriverInstance *ReadFiles(uint32_t drvNumber = 1)
    {
        trs_test::FreeInstance(instance_); // a test may read several files
        instance_ = trs_test::NewInstance(drvNumber);
        ResetInstance(instance_); // as cold start leaves it before the file is read
        trs_test::ClearLog();
        RequestBlock request{instance_, FN_COLD_START, drvNumber, 1, nullptr};
        ReadInitFile(&request);
        return instance_;
    }

    // The log without the three closing lines (checked on their own).
    static std::vector<Line> LinesBeforeSummary()
    {
        std::vector<Line> lines = Logged();
        EXPECT_GE(lines.size(), 3u) << trs_test::Dump();
        lines.resize(lines.size() >= 3 ? lines.size() - 3 : 0);
        return lines;
    }

    std::filesystem::path saved_, dir_;
    DriverInstance *instance_ = nullptr;
};

const char kFile[] = "TRSLNK01.INT";

std::string Illegal(unsigned line)
{
    return Format("TRSLNK> ReadIntFile() error, illegal line %u in '%s'", line, kFile);
}

// Every setting a key line can change, by name, so that each case checks all of them.
using Settings = std::map<std::string, long long>;

Settings SettingsOf(const DriverInstance &i)
{
    return {{"modem", i.modemMode},       {"timeout", i.comTimeout},      {"ifg", i.ifg},
            {"csPopup", i.statesPopup},   {"jlPopup", i.journalPopup},    {"hsPopup", i.historyPopup},
            {"readStatus", i.readStatus}, {"noRecord", i.noRecord},       {"storeLast", i.storeLastEvent},
            {"online", i.onlineSampleFlag}, {"clock", i.clockSync},       {"class", i.alertClass},
            {"severity", i.alertSeverity}, {"zone", i.alertZone},         {"noComError", i.noComError}};
}

Settings With(Settings changes)
{
    Settings all = {{"modem", 0},    {"timeout", 0}, {"ifg", 0},   {"csPopup", 0},     {"jlPopup", 0},
                    {"hsPopup", 0},  {"readStatus", 0}, {"noRecord", 0}, {"storeLast", 0}, {"online", 8},
                    {"clock", 1},    {"class", 2},   {"severity", 1000}, {"zone", 1000}, {"noComError", 0}};
    for (const auto &[key, value] : changes)
        all.at(key) = value;
    return all;
}

struct KeyCase {
    const char *name;
    std::string file;
    Settings changed; // from the defaults
    std::vector<Line> log;
};

std::string IllegalWord(const char *line, unsigned number)
{
    return Format("TRSLNK> ReadIntFile() illegal line '%s', line %u in '%s'", line, number, kFile);
}

std::string IllegalAlert(const char *what, const char *line)
{
    return Format("TRSLNK> ReadIntFile() illegal alert %s in '%s', line 1 in '%s'", what, line, kFile);
}

const char kTimeoutWarning[] = "TRSLNK> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds";
const char kCsPopup[] = "TRSLNK01:  ReadInitFile() 'Reading Current States' POPUP enabled";

const KeyCase kKeyCases[] = {
    {"ModemYes", "MODEM = yes\n", {{"modem", 1}}, {}},
    {"ModemWordStartingWithYes", "  MODEM=YESTERDAY\n", {{"modem", 1}}, {}},
    {"ModemNoAfterYes", "MODEM = yes\n\tMODEM\t=\tnope\n", {}, {}},
    {"ModemIllegalWordUpperCasedInMessage", "MODEM = yes\nMODEM = maybe\n", {}, {{32, IllegalWord("MODEM=MAYBE", 2)}}},
    {"ModemCaseSensitiveAndNeedsWord", "modem = yes\nMODEM =\n", {}, {{32, Illegal(1)}, {32, Illegal(2)}}},
    {"ComTimeoutAboveTwentyWarns", "COM_TIMEOUT = 30\n", {{"timeout", 3000}}, {{32, kTimeoutWarning}}},
    {"ComTimeoutTwentyQuiet", " COM_TIMEOUT=20\n", {{"timeout", 2000}}, {}},
    {"ComTimeoutZeroStays", "COM_TIMEOUT = 0\n", {}, {}},
    {"ComTimeoutNeedsAPlainNumber", "COM_TIMEOUT = -5\nCOM_TIMEOUT = soon\n", {}, {{32, Illegal(1)}, {32, Illegal(2)}}},
    {"ComTimeoutHugeHeldAtLimit", "COM_TIMEOUT = 99999999999999\n", {{"timeout", UINT32_MAX}}, {{32, kTimeoutWarning}}},
    {"PopupsAndFlags", "CS_POPUP\nJL_POPUP = NO\nHS_POPUP whatever\nREAD_STATUS\nNO_RECORD\nSTORE_LAST_EVENT\n",
     {{"csPopup", 1}, {"jlPopup", 1}, {"hsPopup", 1}, {"readStatus", 1}, {"noRecord", 1}, {"storeLast", 1}},
     {{32, kCsPopup},
      {32, "TRSLNK01:  ReadInitFile() 'Reading Journal' POPUP enabled"},
      {32, "TRSLNK01:  ReadInitFile() 'Reading History' POPUP enabled"},
      {32, "TRSLNK01: ReadInitFile() Reading status after incoming call enabled"},
      {32, "TRSLNK> ReadInitFile() Recording to History of current statuses disabled"},
      {32, "TRSLNK01: ReadInitFile() last event no. will be stored in 'Last_eve.ini' file"}}},
    {"ColumnOneKeysRefuseLeadingBlanks", " CS_POPUP\n\tNO_RECORD\n ONLINE_SAMPLE = ALWAYS\n", {},
     {{32, Illegal(1)}, {32, Illegal(2)}, {32, Illegal(3)}}},
    {"Ifg", "  IFG =  50\n", {{"ifg", 50}}, {}},
    {"OnlineSampleAnyCase", "ONLINE_SAMPLE = always\n", {{"online", 4}}, {}},
    {"OnlineSampleMonitorPrefix", "ONLINE_SAMPLE=Always\nONLINE_SAMPLE = Monitoring\n", {}, {}},
    {"OnlineSampleIllegalKeepsFlagAndQuotesWordAsWritten", "ONLINE_SAMPLE = always\nONLINE_SAMPLE = Often\n",
     {{"online", 4}}, {{32, IllegalWord("ONLINE_SAMPLE=Often", 2)}}},
    {"AlertsStored", "ALERTS = 3 , 500 , 600\n", {{"class", 3}, {"severity", 500}, {"zone", 600}}, {}},
    {"AlertsUpperLimits", "ALERTS=5,50000,50000\n", {{"class", 5}, {"severity", 50000}, {"zone", 50000}}, {}},
    {"AlertsIllegalClass", "ALERTS = 6 , 10 , 10\n", {}, {{32, IllegalAlert("class", "ALERTS = 6 , 10 , 10")}}},
    {"AlertsSeverityCheckedBeforeZone", "ALERTS = 1 , 50001 , 99999\n", {},
     {{32, IllegalAlert("severity", "ALERTS = 1 , 50001 , 99999")}}},
    {"AlertsIllegalZone", "ALERTS = 1 , 2 , 50001\n", {}, {{32, IllegalAlert("zone", "ALERTS = 1 , 2 , 50001")}}},
    {"AlertsClassTooBigForThirtyTwoBits", "ALERTS = 4294967298 , 2 , 3\n", {},
     {{32, IllegalAlert("class", "ALERTS = 4294967298 , 2 , 3")}}},
    {"AlertsNeedAllThree", "ALERTS = 1 , 2\n", {}, {{32, Illegal(1)}}},
    {"ClockSyncValues", "CLOCK_SYNC = never\nCLOCK_SYNC = Modem\nCLOCK_SYNC=TIMESTAMPS\nCLOCK_SYNC = NEVERMORE\n",
     {{"clock", 0}},
     {{32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'NEVER'"},
      {32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'MODEM'"},
      {32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'TIMESTAMP'"},
      {32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'NEVER'"}}},
    {"ClockSyncIllegalSetsTimestamp", "CLOCK_SYNC = MODEM\nCLOCK_SYNC = sometimes\n", {},
     {{32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'MODEM'"}, {32, IllegalWord("CLOCK_SYNC = SOMETIMES", 2)}}},
    {"NoComError", "NO_COM_ERROR = yes\n", {{"noComError", 1}}, {{32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = TRUE"}}},
    {"NoComErrorOnAndOff", "NO_COM_ERROR = yes\n NO_COM_ERROR=no\n", {},
     {{32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = TRUE"}, {32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = FALSE"}}},
    {"NoComErrorIllegalLeavesModemAlone", "MODEM = YES\nNO_COM_ERROR = yes\nNO_COM_ERROR = perhaps\n", {{"modem", 1}},
     {{32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = TRUE"}, {32, IllegalWord("NO_COM_ERROR=PERHAPS", 3)}}},
    {"CommentsAndEmptyLines", "// MODEM = YES\n\n//\nCS_POPUP\n", {{"csPopup", 1}}, {{32, kCsPopup}}},
    {"EmptyFile", "", {}, {}},
    {"BlankLinesAndIndentedCommentsAreIllegal", "   \n // note\n/ single\nrubbish\n", {},
     {{32, Illegal(1)}, {32, Illegal(2)}, {32, Illegal(3)}, {32, Illegal(4)}}},
};

TEST_F(InitFileTest, KeysSetFieldsAndLogExactly)
{
    for (const KeyCase &c : kKeyCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SettingsOf(*Read(c.file)), With(c.changed));
        EXPECT_EQ(LinesBeforeSummary(), c.log) << trs_test::Dump();
    }
}

// Station lines: what is stored and what is logged, in the order the checks run.
struct StationCase {
    const char *name;
    std::string file;
    std::vector<Line> log;
    int station;            // its slot is checked
    const char *storedName; // null: the slot stays empty
    const char *storedCode;
    uint32_t secondary;
};

std::string Station(const char *message, unsigned station, unsigned line)
{
    return Format(message, station, kFile, line);
}

const char kDefinition[] = "TRSLNK> ReaddInitFile() error, illegal station definition, station %u, '%s' line %u";
const char kNameLength[] = "TRSLNK> ReaddInitFile() error, illegal length of station name, station %u, '%s' line %u";
const char kCodeLength[] = "TRSLNK> ReaddInitFile() error, illegal length of access code, station %u, '%s' line %u";
const char kNumber[] = "TRSLNK> ReaddInitFile() error, illegal station number %u, '%s' line %u";
const char kDefined[] = "TRSLNK> ReaddInitFile() error, station %u already defined, '%s' line %u";

const std::string k64(64, 'N');
const std::string k65(65, 'N');

const StationCase kStationCases[] = {
    {"SecondaryNameAfterBlank", "7 = 'PUMP STATION' , 'AB12'\n",
     {{64, "TRSLNK> station 007 = 'PUMP STATION', access code 'AB12'"}}, 7, "STATION", "AB12", 1},
    {"PrimaryWithoutBlanks", "  12='PLC1','X'\n", {{64, "TRSLNK> station 012 = 'PLC1', access code 'X'"}}, 12,
     "PLC1", "X", 0},
    {"OnlyFirstBlankSplits", "200 = 'A B C', 'Z'\n", {{64, "TRSLNK> station 200 = 'A B C', access code 'Z'"}}, 200,
     "B C", "Z", 1},
    {"StationZeroAndEmptyName", "000 = '' , 'CODE'\n", {{64, "TRSLNK> station 000 = '', access code 'CODE'"}}, 0, "",
     "CODE", 0},
    {"AccessCodeRunsToLineEnd", "9 = 'N', 'OPEN\n", {{64, "TRSLNK> station 009 = 'N', access code 'OPEN'"}}, 9, "N",
     "OPEN", 0},
    {"LongestNameAndCode", "255 = '" + k64 + "', '12345678'\n",
     {{64, "TRSLNK> station 255 = '" + k64 + "', access code '12345678'"}}, 255, k64.c_str(), "12345678", 0},
    {"OnlyThreeDigitsRead", "1234 = 'A', 'B'\n", {{64, "TRSLNK> station 123 = 'A', access code 'B'"}}, 123, "A", "B",
     0},
    // Each refused line leaves station 7 free for the next one.
    {"RefusedInTheOrderTheChecksRun",
     "7 = 'A' , ''\n7 = 'A' 'B'\n7 = 'A',\n7 = 'A, 'B'\n7 = A, B\n"     // definitions
     "7 = '" + k65 + "', 'B'\n7 = 'A', '123456789'\n"                 // lengths
     "7 = '" + k65 + "', ''\n7 = '" + k65 + "', '123456789'\n"        // definition, then name, then code
     "256 = 'A', ''\n-5 = 'A', 'B'\n"                                 // the number comes first
     "7 = '" + std::string(260, 'L') + "', 'B'\n"                     // cut inside the name: never closed
     "7 = 'A' junk , 'B'\n7 = 'A' , zz 'B'\n",                         // only blanks around the comma
     {{32, Station(kDefinition, 7, 1)}, {32, Station(kDefinition, 7, 2)}, {32, Station(kDefinition, 7, 3)},
      {32, Station(kDefinition, 7, 4)}, {32, Station(kDefinition, 7, 5)}, {32, Station(kNameLength, 7, 6)},
      {32, Station(kCodeLength, 7, 7)}, {32, Station(kDefinition, 7, 8)}, {32, Station(kNameLength, 7, 9)},
      {32, Station(kNumber, 256, 10)}, {32, Illegal(11)}, {32, Station(kDefinition, 7, 12)}, {32, Illegal(13)},
      {32, Station(kDefinition, 7, 14)}, {32, Station(kDefinition, 7, 15)}},
     7, nullptr, nullptr, 0},
    {"FirstDefinitionStays", "7 = 'FIRST', 'A'\n// again\n7 = 'SECOND', 'B'\n7 = 'THIRD', '123456789'\n",
     {{64, "TRSLNK> station 007 = 'FIRST', access code 'A'"},
      {32, Station(kDefined, 7, 3)},
      {32, Station(kCodeLength, 7, 4)}},
     7, "FIRST", "A", 0},
};

TEST_F(InitFileTest, StationLinesStoreRecordsAndLog)
{
    for (const StationCase &c : kStationCases) {
        SCOPED_TRACE(c.name);
        const StationRecord *record = Read(c.file)->stations[c.station].load();
        EXPECT_EQ(LinesBeforeSummary(), c.log) << trs_test::Dump();
        if (!c.storedName) {
            EXPECT_EQ(record, nullptr);
            continue;
        }
        ASSERT_NE(record, nullptr);
        EXPECT_STREQ(record->name, c.storedName);
        EXPECT_STREQ(record->accessCode, c.storedCode);
        EXPECT_EQ(record->secondary, c.secondary);
        EXPECT_EQ(record->loggedOn, 0);
        EXPECT_EQ(record->connRef, 255);
        EXPECT_EQ(record->onlineState, 0);
        EXPECT_EQ(record->disconnectAfterRead, 1u);
        EXPECT_EQ(record->journalBusy + record->statesBusy + record->readAllBusy + record->incomingCall, 0u);
    }
}

// The three closing lines name the file's instance; a missing file gives only the warning.
TEST_F(InitFileTest, SummaryLinesAndMissingFile)
{
    Read("IFG = 7\nCOM_TIMEOUT = 3\nMODEM = YES\nbad\n", 4);
    EXPECT_EQ(Logged(), (std::vector<Line>{{32, "TRSLNK> ReadIntFile() error, illegal line 4 in 'TRSLNK04.INT'"},
                                           {32, "TRSLNK04: ReadInitFile() IFG set to 7"},
                                           {32, "TRSLNK04: ReadInitFile() COM_TIMEOUT set to 3 seconds"},
                                           {32, "TRSLNK04: is set for MULTI_MODEM communication"}}));
    Read("// nothing\n", 2);
    EXPECT_EQ(Logged(), (std::vector<Line>{{32, "TRSLNK02: ReadInitFile() IFG set to 0"},
                                           {32, "TRSLNK02: ReadInitFile() COM_TIMEOUT set to 0 seconds"},
                                           {32, "TRSLNK02: is set for SERIAL communication"}}));
    Write("TRSLNK2.INT", "MODEM = YES\n"); // another instance's file
    EXPECT_EQ(SettingsOf(*ReadFiles(1)), With({}));
    EXPECT_EQ(Logged(), (std::vector<Line>{{32, "TRSLNK> ReadInitFile() warning, initialisation file not found!!!"}}));
}

// Which of the three names is opened, and what the name buffer holds.
struct NameCase {
    const char *name;
    std::vector<std::string> present;
    uint32_t drvNumber;
    const char *opened; // null: nothing opens
    const char *lastTried;
};

const NameCase kNameCases[] = {
    {"TwoDigitsFirst", {"TRSLNK01.INT", "TRSLNK1.INT", "TRSLNK.INT"}, 1, "TRSLNK01.INT", "TRSLNK01.INT"},
    {"OneDigitSecond", {"TRSLNK1.INT", "TRSLNK.INT"}, 1, "TRSLNK1.INT", "TRSLNK1.INT"},
    {"BaseLast", {"TRSLNK.INT", "TRSLNK02.INT"}, 1, "TRSLNK.INT", "TRSLNK.INT"},
    {"TwoDigitNumberHasNoShortName", {"TRSLNK1.INT", "TRSLNK.INT"}, 12, "TRSLNK.INT", "TRSLNK.INT"},
    {"TwoDigitNumberOwnFile", {"TRSLNK12.INT", "TRSLNK.INT"}, 12, "TRSLNK12.INT", "TRSLNK12.INT"},
    {"NoneLeavesLastTried", {"TRSLNK3.INT", "trslnk01.int"}, 1, nullptr, "TRSLNK.INT"},
};

TEST_F(InitFileTest, PrecedenceOfTheThreeNames)
{
    for (const NameCase &c : kNameCases) {
        SCOPED_TRACE(c.name);
        for (const auto &file : c.present)
            Write(file, file + "\n"); // each file holds its own name
        char name[64] = "untouched";
        FILE *file = OpenInitFile("TRSLNK", name, sizeof name, c.drvNumber);
        EXPECT_STREQ(name, c.lastTried);
        char contents[64] = {};
        EXPECT_EQ(file && fgets(contents, sizeof contents, file) ? std::string(contents) : "(none)\n",
                  std::string(c.opened ? c.opened : "(none)") + "\n");
        if (file)
            fclose(file);
        for (const auto &present : c.present)
            std::filesystem::remove(present);
    }
}

TEST_F(InitFileTest, FallbackNameInMessagesAndBoundedNameBuffer)
{
    Write("TRSLNK.INT", "junk\n");
    ReadFiles(3);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReadIntFile() error, illegal line 1 in 'TRSLNK.INT'"), 1u)
        << trs_test::Dump();
    ASSERT_EQ(remove("TRSLNK.INT"), 0);
    char name[9];
    memset(name, 'x', sizeof name);
    EXPECT_EQ(OpenInitFile("TRSLNK", name, 8, 1), nullptr);
    EXPECT_STREQ(name, "TRSLNK.");
    EXPECT_EQ(name[8], 'x');
}

// Long lines come in pieces of 255 characters, each counted as a line; a line of exactly
// one piece leaves an empty line behind.
TEST_F(InitFileTest, LongLinesAreReadInPiecesNumberedInTurn)
{
    for (const std::string &first : {std::string(255, ' ') + "MODEM = YES", std::string(255, 'x')}) {
        const DriverInstance *instance = Read(first + "\nrubbish\n");
        EXPECT_EQ(instance->modemMode, first[0] == ' ' ? 1u : 0u);
        EXPECT_EQ(LinesBeforeSummary(), (std::vector<Line>{{32, Illegal(1)}, {32, Illegal(3)}}));
    }
}

TEST_F(InitFileTest, CrLfLinesReadLikeLfLines)
{
    const DriverInstance *instance = Read("MODEM = maybe\r\n\r\n7 = 'A', 'OPEN\r\nCS_POPUP\r\nIFG = 5\r");
    EXPECT_EQ(instance->statesPopup, 1u);
    EXPECT_EQ(instance->ifg, 5u);
    ASSERT_NE(instance->stations[7].load(), nullptr);
    EXPECT_STREQ(instance->stations[7].load()->accessCode, "OPEN");
    EXPECT_EQ(LinesBeforeSummary(),
              (std::vector<Line>{
                  {32, Format("TRSLNK> ReadIntFile() illegal line 'MODEM=MAYBE', line 1 in '%s'", kFile)},
                  {64, "TRSLNK> station 007 = 'A', access code 'OPEN'"},
                  {32, "TRSLNK01:  ReadInitFile() 'Reading Current States' POPUP enabled"},
              }));
}

TEST_F(InitFileTest, NulBytesEndTheVisibleLine)
{
    static const char kContents[] = "CS_POPUP\0garbage\n\0MODEM = YES\nJL_POPUP";
    const DriverInstance *instance = Read(std::string(kContents, sizeof kContents - 1));
    EXPECT_EQ(instance->statesPopup, 1u);
    EXPECT_EQ(instance->journalPopup, 1u); // no final newline
    EXPECT_EQ(instance->modemMode, 0u);
    EXPECT_EQ(trs_test::Count(32, Illegal(2)), 0u) << trs_test::Dump();
}

TEST_F(InitFileTest, BinaryGarbageIsRejectedLineByLine)
{
    std::mt19937 random(7);
    std::string contents;
    for (int i = 0; i < 20000; i++)
        contents += random() % 40 == 0 ? '\n' : static_cast<char>(0x80 + random() % 0x80);
    contents += '\n';
    Read(contents);
    // No byte above 0x7F is a blank, a digit or a key letter: every non-empty piece of
    // 255 characters or less is an illegal line of its own.
    size_t pieces = 0;
    for (size_t start = 0, end; (end = contents.find('\n', start)) != std::string::npos; start = end + 1)
        pieces += (end - start + 254) / 255;
    size_t illegal = 0;
    for (const auto &line : trs_test::Lines())
        if (line.text.rfind("TRSLNK> ReadIntFile() error, illegal line ", 0) == 0)
            illegal++;
    EXPECT_EQ(illegal, pieces);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK01: is set for SERIAL communication"), 1u);
}

TEST_F(InitFileTest, LineNumbersWrapAtSixteenBits)
{
    std::string contents;
    for (int i = 0; i < 65535; i++)
        contents += "//\n";
    contents += "rubbish\n";
    Read(contents);
    EXPECT_EQ(LinesBeforeSummary(), (std::vector<Line>{{32, Illegal(0)}}));
}

TEST_F(InitFileTest, ThousandStationLines)
{
    std::string contents;
    for (unsigned n = 0; n < 1000; n++)
        contents += Format("%u = 'S%u', 'C%u'\n", n, n, n % 1000);
    const DriverInstance *instance = Read(contents);
    for (unsigned n = 0; n < MAX_STATIONS; n++) {
        const StationRecord *record = instance->stations[n].load();
        ASSERT_NE(record, nullptr) << n;
        EXPECT_EQ(record->name, Format("S%u", n));
    }
    for (unsigned n = 256; n < 1000; n += 123)
        EXPECT_EQ(trs_test::Count(32, Station(kNumber, n, n + 1)), 1u) << n;
    size_t defined = 0;
    for (const auto &line : trs_test::Lines())
        defined += line.level == 64;
    EXPECT_EQ(defined, 256u);
}

// ResetInstance sets every default over whatever the block held.
TEST(ResetInstanceTest, SetsEveryDefault)
{
    DriverInstance *instance = trs_test::NewInstance(1);
    StationRecord *record = trs_test::AddStation(instance, 5, "S", "C");
    instance->modemMode = instance->noComError = instance->comTimeout = instance->ifg = 7;
    instance->statesPopup = instance->journalPopup = instance->historyPopup = 1;
    instance->readStatus = instance->noRecord = instance->storeLastEvent = 1;
    instance->onlineSampleFlag = 4;
    instance->clockSync = 2;
    instance->alertClass = instance->alertSeverity = instance->alertZone = 3;
    instance->comHandle = 3;
    instance->loggedOnStation = 4;
    instance->transparentMode = 1;
    instance->lastEventNo[255] = 12;
    instance->lastEventTime[255][0] = 2020;
    instance->startDate[255][0] = 'x';
    instance->startTime[0][6] = 'y';
    instance->traces[80].number = 80;
    instance->gateParsed[65534] = 1;

    ResetInstance(instance);
    EXPECT_EQ(instance->stations[5].load(), nullptr); // not freed: EndDrv owns that
    delete record;

    EXPECT_EQ(SettingsOf(*instance), With({}));
    EXPECT_EQ(instance->comHandle, 0u);
    EXPECT_EQ(instance->loggedOnStation, 0);
    EXPECT_EQ(instance->transparentMode, 0u);
    EXPECT_EQ(instance->lastEventNo[255], 0);
    const uint16_t first[6] = {1993, 1, 1, 1, 0, 0};
    for (unsigned s : {0u, 255u})
        for (int f = 0; f < 6; f++)
            EXPECT_EQ(instance->lastEventTime[s][f], first[f]) << s << " " << f;
    EXPECT_EQ(instance->startDate[255][0], '\0');
    EXPECT_EQ(instance->startTime[0][6], '\0');
    EXPECT_EQ(instance->traces[80].number, 0);
    EXPECT_EQ(instance->gateParsed[65534], 0u);
    trs_test::FreeInstance(instance);
}

} // namespace
