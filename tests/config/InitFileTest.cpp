// The initialisation file: names, keys, station lines, messages and hostile contents.
#include <gtest/gtest.h>

#include <functional>
#include <limits.h>
#include <random>
#include <stdlib.h>
#include <string>
#include <unistd.h>
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

std::ostream &operator<<(std::ostream &out, const Line &line)
{
    return out << "[" << line.level << "] " << line.text;
}

// Runs each test in a private directory, since the file is looked up in the current one.
class InitFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
        char pattern[] = "/tmp/trs_initfile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        trs_test::ClearLog();
    }

    void TearDown() override
    {
        trs_test::FreeInstance(instance_);
        EXPECT_EQ(chdir(saved_), 0);
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    static void Write(const std::string &name, const std::string &contents)
    {
        FILE *file = fopen(name.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(fwrite(contents.data(), 1, contents.size(), file), contents.size());
        fclose(file);
    }

    // Reads TRSLNK<drv>.INT holding contents into a fresh instance.
    DriverInstance *Read(const std::string &contents, uint32_t drvNumber = 1)
    {
        Write(Format("TRSLNK%02u.INT", drvNumber), contents);
        return ReadFiles(drvNumber);
    }

    DriverInstance *ReadFiles(uint32_t drvNumber = 1)
    {
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
        std::vector<Line> lines;
        for (const auto &line : trs_test::Lines())
            lines.push_back({line.level, line.text});
        EXPECT_GE(lines.size(), 3u) << trs_test::Dump();
        if (lines.size() >= 3)
            lines.resize(lines.size() - 3);
        return lines;
    }

    char saved_[PATH_MAX] = {};
    std::string dir_;
    DriverInstance *instance_ = nullptr;
};

const char kFile[] = "TRSLNK01.INT";

std::string Illegal(unsigned line)
{
    return Format("TRSLNK> ReadIntFile() error, illegal line %u in '%s'", line, kFile);
}

struct KeyCase {
    const char *name;
    std::string file;
    std::function<void(const DriverInstance &)> check;
    std::vector<Line> log;
};

void PrintTo(const KeyCase &c, std::ostream *out)
{
    *out << c.name;
}

class InitFileKeys : public InitFileTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(InitFileKeys, SetsFieldsAndLogsExactly)
{
    const KeyCase &c = GetParam();
    const DriverInstance *instance = Read(c.file);
    c.check(*instance);
    EXPECT_EQ(LinesBeforeSummary(), c.log) << trs_test::Dump();
}

const KeyCase kKeyCases[] = {
    {"ModemYes", "MODEM = yes\n", [](auto &i) { EXPECT_EQ(i.modemMode, 1u); }, {}},
    {"ModemWordStartingWithYes", "  MODEM=YESTERDAY\n", [](auto &i) { EXPECT_EQ(i.modemMode, 1u); }, {}},
    {"ModemNoAfterYes", "MODEM = yes\n\tMODEM\t=\tnope\n", [](auto &i) { EXPECT_EQ(i.modemMode, 0u); }, {}},
    {"ModemIllegalWordUpperCasedInMessage", "MODEM = yes\nMODEM = maybe\n",
     [](auto &i) { EXPECT_EQ(i.modemMode, 0u); },
     {{32, Format("TRSLNK> ReadIntFile() illegal line 'MODEM=MAYBE', line 2 in '%s'", kFile)}}},
    {"ModemKeyIsCaseSensitive", "modem = yes\n", [](auto &i) { EXPECT_EQ(i.modemMode, 0u); }, {{32, Illegal(1)}}},
    {"ModemWithoutWord", "MODEM =\n", [](auto &i) { EXPECT_EQ(i.modemMode, 0u); }, {{32, Illegal(1)}}},
    {"ComTimeoutAboveTwentyWarns", "COM_TIMEOUT = 30\n", [](auto &i) { EXPECT_EQ(i.comTimeout, 3000u); },
     {{32, "TRSLNK> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds"}}},
    {"ComTimeoutTwentyQuiet", " COM_TIMEOUT=20\n", [](auto &i) { EXPECT_EQ(i.comTimeout, 2000u); }, {}},
    {"ComTimeoutZeroStays", "COM_TIMEOUT = 0\n", [](auto &i) { EXPECT_EQ(i.comTimeout, 0u); }, {}},
    {"ComTimeoutNegativeIsNoNumber", "COM_TIMEOUT = -5\n", [](auto &i) { EXPECT_EQ(i.comTimeout, 0u); },
     {{32, Illegal(1)}}},
    {"ComTimeoutHugeHeldAtLimit", "COM_TIMEOUT = 99999999999999\n",
     [](auto &i) { EXPECT_EQ(i.comTimeout, UINT32_MAX); },
     {{32, "TRSLNK> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds"}}},
    {"ComTimeoutNeedsANumber", "COM_TIMEOUT = soon\n", [](auto &i) { EXPECT_EQ(i.comTimeout, 0u); },
     {{32, Illegal(1)}}},
    {"PopupsAndFlags", "CS_POPUP\nJL_POPUP = NO\nHS_POPUP whatever\nREAD_STATUS\nNO_RECORD\nSTORE_LAST_EVENT\n",
     [](auto &i) {
         EXPECT_EQ(i.statesPopup, 1u);
         EXPECT_EQ(i.journalPopup, 1u);
         EXPECT_EQ(i.historyPopup, 1u);
         EXPECT_EQ(i.readStatus, 1u);
         EXPECT_EQ(i.noRecord, 1u);
         EXPECT_EQ(i.storeLastEvent, 1u);
     },
     {{32, "TRSLNK01:  ReadInitFile() 'Reading Current States' POPUP enabled"},
      {32, "TRSLNK01:  ReadInitFile() 'Reading Journal' POPUP enabled"},
      {32, "TRSLNK01:  ReadInitFile() 'Reading History' POPUP enabled"},
      {32, "TRSLNK01: ReadInitFile() Reading status after incoming call enabled"},
      {32, "TRSLNK> ReadInitFile() Recording to History of current statuses disabled"},
      {32, "TRSLNK01: ReadInitFile() last event no. will be stored in 'Last_eve.ini' file"}}},
    {"ColumnOneKeysRefuseLeadingBlanks", " CS_POPUP\n\tNO_RECORD\n",
     [](auto &i) {
         EXPECT_EQ(i.statesPopup, 0u);
         EXPECT_EQ(i.noRecord, 0u);
     },
     {{32, Illegal(1)}, {32, Illegal(2)}}},
    {"Ifg", "  IFG =  50\n", [](auto &i) { EXPECT_EQ(i.ifg, 50u); }, {}},
    {"OnlineSampleAnyCase", "ONLINE_SAMPLE = always\n", [](auto &i) { EXPECT_EQ(i.onlineSampleFlag, 4); }, {}},
    {"OnlineSampleMonitorPrefix", "ONLINE_SAMPLE=Always\nONLINE_SAMPLE = Monitoring\n",
     [](auto &i) { EXPECT_EQ(i.onlineSampleFlag, 8); }, {}},
    {"OnlineSampleIllegalKeepsFlagAndQuotesWordAsWritten", "ONLINE_SAMPLE = always\nONLINE_SAMPLE = Often\n",
     [](auto &i) { EXPECT_EQ(i.onlineSampleFlag, 4); },
     {{32, Format("TRSLNK> ReadIntFile() illegal line 'ONLINE_SAMPLE=Often', line 2 in '%s'", kFile)}}},
    {"OnlineSampleIsColumnOne", " ONLINE_SAMPLE = ALWAYS\n", [](auto &i) { EXPECT_EQ(i.onlineSampleFlag, 8); },
     {{32, Illegal(1)}}},
    {"AlertsStored", "ALERTS = 3 , 500 , 600\n",
     [](auto &i) {
         EXPECT_EQ(i.alertClass, 3);
         EXPECT_EQ(i.alertSeverity, 500);
         EXPECT_EQ(i.alertZone, 600);
     },
     {}},
    {"AlertsUpperLimits", "ALERTS=5,50000,50000\n",
     [](auto &i) {
         EXPECT_EQ(i.alertClass, 5);
         EXPECT_EQ(i.alertSeverity, 50000);
         EXPECT_EQ(i.alertZone, 50000);
     },
     {}},
    {"AlertsIllegalClass", "ALERTS = 6 , 10 , 10\n",
     [](auto &i) {
         EXPECT_EQ(i.alertClass, 2);
         EXPECT_EQ(i.alertSeverity, 1000);
         EXPECT_EQ(i.alertZone, 1000);
     },
     {{32, Format("TRSLNK> ReadIntFile() illegal alert class in 'ALERTS = 6 , 10 , 10', line 1 in '%s'", kFile)}}},
    {"AlertsSeverityCheckedBeforeZone", "ALERTS = 1 , 50001 , 99999\n",
     [](auto &i) { EXPECT_EQ(i.alertClass, 2); },
     {{32, Format("TRSLNK> ReadIntFile() illegal alert severity in 'ALERTS = 1 , 50001 , 99999', line 1 in '%s'",
                  kFile)}}},
    {"AlertsIllegalZone", "ALERTS = 1 , 2 , 50001\n", [](auto &i) { EXPECT_EQ(i.alertZone, 1000); },
     {{32, Format("TRSLNK> ReadIntFile() illegal alert zone in 'ALERTS = 1 , 2 , 50001', line 1 in '%s'", kFile)}}},
    {"AlertsClassTooBigForThirtyTwoBits", "ALERTS = 4294967298 , 2 , 3\n",
     [](auto &i) { EXPECT_EQ(i.alertClass, 2); },
     {{32, Format("TRSLNK> ReadIntFile() illegal alert class in 'ALERTS = 4294967298 , 2 , 3', line 1 in '%s'",
                  kFile)}}},
    {"AlertsNeedAllThree", "ALERTS = 1 , 2\n", [](auto &i) { EXPECT_EQ(i.alertClass, 2); }, {{32, Illegal(1)}}},
    {"ClockSyncValues", "CLOCK_SYNC = never\nCLOCK_SYNC = Modem\nCLOCK_SYNC=TIMESTAMPS\nCLOCK_SYNC = NEVERMORE\n",
     [](auto &i) { EXPECT_EQ(i.clockSync, 0); },
     {{32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'NEVER'"},
      {32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'MODEM'"},
      {32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'TIMESTAMP'"},
      {32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'NEVER'"}}},
    {"ClockSyncIllegalSetsTimestamp", "CLOCK_SYNC = MODEM\nCLOCK_SYNC = sometimes\n",
     [](auto &i) { EXPECT_EQ(i.clockSync, 1); },
     {{32, "TRSLNK01: ReadInitFile() CLOCK_SYNC set to 'MODEM'"},
      {32, Format("TRSLNK> ReadIntFile() illegal line 'CLOCK_SYNC = SOMETIMES', line 2 in '%s'", kFile)}}},
    {"NoComError", "NO_COM_ERROR = yes\n", [](auto &i) { EXPECT_EQ(i.noComError, 1u); },
     {{32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = TRUE"}}},
    {"NoComErrorOff", "NO_COM_ERROR = yes\n NO_COM_ERROR=no\n", [](auto &i) { EXPECT_EQ(i.noComError, 0u); },
     {{32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = TRUE"}, {32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = FALSE"}}},
    {"NoComErrorIllegalLeavesModemAlone", "MODEM = YES\nNO_COM_ERROR = yes\nNO_COM_ERROR = perhaps\n",
     [](auto &i) {
         EXPECT_EQ(i.noComError, 0u);
         EXPECT_EQ(i.modemMode, 1u);
     },
     {{32, "TRSLNK01: ReadInitFile() NO_COM_ERROR = TRUE"},
      {32, Format("TRSLNK> ReadIntFile() illegal line 'NO_COM_ERROR=PERHAPS', line 3 in '%s'", kFile)}}},
    {"CommentsAndEmptyLines", "// MODEM = YES\n\n//\nCS_POPUP\n",
     [](auto &i) {
         EXPECT_EQ(i.modemMode, 0u);
         EXPECT_EQ(i.statesPopup, 1u);
     },
     {{32, "TRSLNK01:  ReadInitFile() 'Reading Current States' POPUP enabled"}}},
    {"BlankLinesAndIndentedCommentsAreIllegal", "   \n // note\n/ single\nrubbish\n",
     [](auto &i) { EXPECT_EQ(i.modemMode, 0u); },
     {{32, Illegal(1)}, {32, Illegal(2)}, {32, Illegal(3)}, {32, Illegal(4)}}},
    {"NothingTouchedByEmptyFile", "",
     [](auto &i) {
         EXPECT_EQ(i.clockSync, 1);
         EXPECT_EQ(i.onlineSampleFlag, 8);
         EXPECT_EQ(i.alertClass, 2);
         for (const auto &slot : i.stations)
             EXPECT_EQ(slot.load(), nullptr);
     },
     {}},
};

INSTANTIATE_TEST_SUITE_P(Keys, InitFileKeys, ::testing::ValuesIn(kKeyCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Station lines: what is stored and what is logged, in the order the checks run.
struct StationCase {
    const char *name;
    std::string file;
    std::vector<Line> log;
    int station;             // checked when >= 0
    const char *storedName;  // null: the slot stays empty
    const char *storedCode;
    uint32_t secondary;
};

void PrintTo(const StationCase &c, std::ostream *out)
{
    *out << c.name;
}

class InitFileStations : public InitFileTest, public ::testing::WithParamInterface<StationCase> {};

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

TEST_P(InitFileStations, StoresRecordAndLogs)
{
    const StationCase &c = GetParam();
    DriverInstance *instance = Read(c.file);
    EXPECT_EQ(LinesBeforeSummary(), c.log) << trs_test::Dump();
    if (c.station < 0)
        return;
    StationRecord *record = instance->stations[c.station].load();
    if (!c.storedName) {
        EXPECT_EQ(record, nullptr);
        return;
    }
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->name, c.storedName);
    EXPECT_STREQ(record->accessCode, c.storedCode);
    EXPECT_EQ(record->secondary, c.secondary);
    EXPECT_EQ(record->loggedOn, 0);
    EXPECT_EQ(record->connRef, 255);
    EXPECT_EQ(record->onlineState, 0);
    EXPECT_EQ(record->disconnectAfterRead, 1u);
    EXPECT_EQ(record->journalBusy, 0u);
    EXPECT_EQ(record->statesBusy, 0u);
    EXPECT_EQ(record->readAllBusy, 0u);
    EXPECT_EQ(record->incomingCall, 0u);
}

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
    {"EmptyAccessCode", "7 = 'A' , ''\n", {{32, Station(kDefinition, 7, 1)}}, 7, nullptr, nullptr, 0},
    {"NoComma", "7 = 'A' 'B'\n", {{32, Station(kDefinition, 7, 1)}}, 7, nullptr, nullptr, 0},
    {"NoAccessCode", "7 = 'A',\n", {{32, Station(kDefinition, 7, 1)}}, 7, nullptr, nullptr, 0},
    {"UnclosedName", "7 = 'A, 'B'\n", {{32, Station(kDefinition, 7, 1)}}, 7, nullptr, nullptr, 0},
    {"NoQuotes", "7 = A, B\n", {{32, Station(kDefinition, 7, 1)}}, 7, nullptr, nullptr, 0},
    {"NameTooLong", "7 = '" + k65 + "', 'B'\n", {{32, Station(kNameLength, 7, 1)}}, 7, nullptr, nullptr, 0},
    {"VeryLongNameInOnePiece", "7 = '" + std::string(260, 'L') + "', 'B'\n",
     // the piece ends inside the name, so the name is never closed
     {{32, Station(kDefinition, 7, 1)}, {32, Illegal(2)}}, 7, nullptr, nullptr, 0},
    {"AccessCodeTooLong", "7 = 'A', '123456789'\n", {{32, Station(kCodeLength, 7, 1)}}, 7, nullptr, nullptr, 0},
    {"StationNumberCheckedFirst", "256 = 'A', ''\n", {{32, Station(kNumber, 256, 1)}}, -1, nullptr, nullptr, 0},
    {"DefinitionCheckedBeforeNameLength", "7 = '" + k65 + "', ''\n", {{32, Station(kDefinition, 7, 1)}}, 7, nullptr,
     nullptr, 0},
    {"NameLengthCheckedBeforeCode", "7 = '" + k65 + "', '123456789'\n", {{32, Station(kNameLength, 7, 1)}}, 7,
     nullptr, nullptr, 0},
    {"FirstDefinitionStays", "7 = 'FIRST', 'A'\n// again\n7 = 'SECOND', 'B'\n7 = 'THIRD', '123456789'\n",
     {{64, "TRSLNK> station 007 = 'FIRST', access code 'A'"},
      {32, Station(kDefined, 7, 3)},
      {32, Station(kCodeLength, 7, 4)}},
     7, "FIRST", "A", 0},
    {"NegativeNumberIsNoStation", "-5 = 'A', 'B'\n", {{32, Illegal(1)}}, -1, nullptr, nullptr, 0},
};

INSTANTIATE_TEST_SUITE_P(Stations, InitFileStations, ::testing::ValuesIn(kStationCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InitFileTest, SummaryLinesCloseTheLogWithTheOpenedName)
{
    const DriverInstance *instance = Read("IFG = 7\nCOM_TIMEOUT = 3\nMODEM = YES\nbad\n", 4);
    EXPECT_EQ(instance->ifg, 7u);
    const std::vector<Line> expected = {
        {32, "TRSLNK> ReadIntFile() error, illegal line 4 in 'TRSLNK04.INT'"},
        {32, "TRSLNK04: ReadInitFile() IFG set to 7"},
        {32, "TRSLNK04: ReadInitFile() COM_TIMEOUT set to 3 seconds"},
        {32, "TRSLNK04: is set for MULTI_MODEM communication"},
    };
    std::vector<Line> lines;
    for (const auto &line : trs_test::Lines())
        lines.push_back({line.level, line.text});
    EXPECT_EQ(lines, expected);
}

TEST_F(InitFileTest, SummaryOfAFileWithoutSettingsShowsZeroSecondsAndSerial)
{
    Read("// nothing\n", 2);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK02: ReadInitFile() IFG set to 0"), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK02: ReadInitFile() COM_TIMEOUT set to 0 seconds"), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK02: is set for SERIAL communication"), 1u);
}

TEST_F(InitFileTest, MissingFileLeavesDefaultsAndLogsOnlyTheWarning)
{
    Write("TRSLNK2.INT", "MODEM = YES\n"); // another instance's file
    const DriverInstance *instance = ReadFiles(1);
    EXPECT_EQ(instance->modemMode, 0u);
    ASSERT_EQ(trs_test::Lines().size(), 1u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReadInitFile() warning, initialisation file not found!!!"), 1u);
}

// Which of the three names is opened, and what the name buffer holds.
struct NameCase {
    const char *name;
    std::vector<std::string> present;
    uint32_t drvNumber;
    const char *opened; // null: nothing opens
    const char *lastTried;
};

void PrintTo(const NameCase &c, std::ostream *out)
{
    *out << c.name;
}

class InitFileNames : public InitFileTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(InitFileNames, PrecedenceOfTheThreeNames)
{
    const NameCase &c = GetParam();
    for (const auto &file : c.present)
        Write(file, file + "\n"); // each file holds its own name
    char name[64] = "untouched";
    FILE *file = OpenInitFile("TRSLNK", name, sizeof name, c.drvNumber);
    EXPECT_STREQ(name, c.lastTried);
    if (!c.opened) {
        EXPECT_EQ(file, nullptr);
        return;
    }
    ASSERT_NE(file, nullptr);
    char contents[64] = {};
    EXPECT_NE(fgets(contents, sizeof contents, file), nullptr);
    fclose(file);
    EXPECT_EQ(std::string(contents), std::string(c.opened) + "\n");
}

const NameCase kNameCases[] = {
    {"TwoDigitsFirst", {"TRSLNK01.INT", "TRSLNK1.INT", "TRSLNK.INT"}, 1, "TRSLNK01.INT", "TRSLNK01.INT"},
    {"OneDigitSecond", {"TRSLNK1.INT", "TRSLNK.INT"}, 1, "TRSLNK1.INT", "TRSLNK1.INT"},
    {"BaseLast", {"TRSLNK.INT", "TRSLNK02.INT"}, 1, "TRSLNK.INT", "TRSLNK.INT"},
    {"TwoDigitNumberHasNoShortName", {"TRSLNK1.INT", "TRSLNK.INT"}, 12, "TRSLNK.INT", "TRSLNK.INT"},
    {"TwoDigitNumberOwnFile", {"TRSLNK12.INT", "TRSLNK.INT"}, 12, "TRSLNK12.INT", "TRSLNK12.INT"},
    {"NoneLeavesLastTried", {"TRSLNK3.INT", "trslnk01.int"}, 1, nullptr, "TRSLNK.INT"},
};

INSTANTIATE_TEST_SUITE_P(Names, InitFileNames, ::testing::ValuesIn(kNameCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InitFileTest, ReaderUsesTheFallbackNameInItsMessages)
{
    Write("TRSLNK.INT", "junk\n");
    ReadFiles(3);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReadIntFile() error, illegal line 1 in 'TRSLNK.INT'"), 1u)
        << trs_test::Dump();
}

TEST_F(InitFileTest, NameBufferIsNeverOverrun)
{
    char name[9];
    memset(name, 'x', sizeof name);
    FILE *file = OpenInitFile("TRSLNK", name, 8, 1);
    EXPECT_EQ(file, nullptr);
    EXPECT_STREQ(name, "TRSLNK.");
    EXPECT_EQ(name[8], 'x');
}

// Long lines come in pieces of 255 characters, each counted as a line.
TEST_F(InitFileTest, LongLineIsReadInPiecesNumberedInTurn)
{
    const DriverInstance *instance = Read(std::string(255, ' ') + "MODEM = YES\nrubbish\n");
    EXPECT_EQ(instance->modemMode, 1u);
    EXPECT_EQ(LinesBeforeSummary(), (std::vector<Line>{{32, Illegal(1)}, {32, Illegal(3)}}));
}

TEST_F(InitFileTest, LineOfExactlyAPieceLeavesAnEmptyLineBehind)
{
    Read(std::string(255, 'x') + "\nrubbish\n");
    EXPECT_EQ(LinesBeforeSummary(), (std::vector<Line>{{32, Illegal(1)}, {32, Illegal(3)}}));
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
    instance->modemMode = 1;
    instance->noComError = 1;
    instance->comTimeout = 7;
    instance->ifg = 9;
    instance->comHandle = 3;
    instance->loggedOnStation = 4;
    instance->transparentMode = 1;
    instance->statesPopup = instance->journalPopup = instance->historyPopup = 1;
    instance->readStatus = instance->noRecord = instance->storeLastEvent = 1;
    instance->onlineSampleFlag = 4;
    instance->clockSync = 2;
    instance->alertClass = instance->alertSeverity = instance->alertZone = 3;
    instance->lastEventNo[255] = 12;
    instance->lastEventTime[255][0] = 2020;
    instance->startDate[255][0] = 'x';
    instance->startTime[0][6] = 'y';
    instance->traces[80].number = 80;
    instance->gateParsed[65534] = 1;

    ResetInstance(instance);
    EXPECT_EQ(instance->stations[5].load(), nullptr); // not freed: EndDrv owns that
    delete record;

    EXPECT_EQ(instance->modemMode, 0u);
    EXPECT_EQ(instance->noComError, 0u);
    EXPECT_EQ(instance->comTimeout, 0u);
    EXPECT_EQ(instance->ifg, 0u);
    EXPECT_EQ(instance->comHandle, 0u);
    EXPECT_EQ(instance->loggedOnStation, 0);
    EXPECT_EQ(instance->transparentMode, 0u);
    EXPECT_EQ(instance->statesPopup + instance->journalPopup + instance->historyPopup, 0u);
    EXPECT_EQ(instance->readStatus + instance->noRecord + instance->storeLastEvent, 0u);
    EXPECT_EQ(instance->onlineSampleFlag, 8);
    EXPECT_EQ(instance->clockSync, 1);
    EXPECT_EQ(instance->alertClass, 2);
    EXPECT_EQ(instance->alertSeverity, 1000);
    EXPECT_EQ(instance->alertZone, 1000);
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
