// Start date and time of history reading, and calendar conversions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "GateRig.h"
#include "link/Clock.h"
#include "platform/Platform.h"
#include "support/Support.h"

using rw_test::GateRig;

namespace {

// Runs the test body under a fixed time zone and restores the previous one.
class ZoneTest : public ::testing::Test {
protected:
    void UseZone(const char *zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    void SetUp() override
    {
        const char *previous = getenv("TZ");
        hadZone_ = previous != nullptr;
        if (previous)
            previous_ = previous;
        UseZone("UTC0");
        instance = trs_test::NewInstance(63);
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        trs_test::FreeInstance(instance);
        if (hadZone_)
            setenv("TZ", previous_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    DriverInstance *instance = nullptr;
    bool hadZone_ = false;
    std::string previous_;
};

struct StartCase {
    std::string text;
    uint16_t result;
    std::string line; // "" = no line, text stored
};

TEST_F(ZoneTest, StartDateChecks)
{
    const StartCase cases[] = {
        {"31/12/2003", 0, ""},
        {"1/6/2003", 0, ""},
        {"31/2/2003", 0, ""}, // the month's length is not checked
        {"1/13/2003", 1, "TRSLNK: Tag 001START_DATE. Illegal date '1/13/2003' entered"},
        {"1/1/1969", 1, "TRSLNK: Tag 001START_DATE. Illegal date '1/1/1969' entered"},
        {"0/1/2003", 1, "TRSLNK: Tag 001START_DATE. Illegal date '0/1/2003' entered"},
        {"1/1", 1, "TRSLNK: Tag 001START_DATE. Illegal date '1/1' entered"},
        {"", 1, "TRSLNK: Tag 001START_DATE. Illegal date '' entered"},
        {"01/01/20034", 1, "TRSLNK: Tag 001START_DATE. Date String '01/01/20034' too long!"},
    };
    for (const StartCase &c : cases) {
        trs_test::ClearLog();
        CopyText(instance->startDate[1], START_DATE_SIZE, "2/2/2002");
        GateRig gate(instance, MT_START_DATE, GATE_TYPE_TEXT, 0, 0, 1);
        gate.gas = "001start_date";
        gate.gate.gas = gate.gas.data();
        gate.SetText(c.text);
        EXPECT_EQ(SetStartDate(&gate.request), c.result) << c.text;
        if (c.line.empty()) {
            EXPECT_STREQ(instance->startDate[1], c.text.c_str());
            EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
        } else {
            EXPECT_STREQ(instance->startDate[1], "2/2/2002") << "a refused date replaced the old one";
            EXPECT_EQ(trs_test::Count(32, c.line), 1u) << trs_test::Dump();
        }
    }
}

TEST_F(ZoneTest, StartTimeChecks)
{
    const StartCase cases[] = {
        {"23:59", 0, ""},
        {"0:0", 0, ""},
        {"24:00", 1, "TRSLNK: Tag 001START_TIME. Illegal time '24:00' entered"},
        {"12:60", 1, "TRSLNK: Tag 001START_TIME. Illegal time '12:60' entered"},
        {"-1:05", 1, "TRSLNK: Tag 001START_TIME. Illegal time '-1:05' entered"},
        {"noon", 1, "TRSLNK: Tag 001START_TIME. Illegal time 'noon' entered"},
        {"12:30:00", 1, "TRSLNK: Tag 001START_TIME. Time String '12:30:00' too long!"},
    };
    for (const StartCase &c : cases) {
        trs_test::ClearLog();
        CopyText(instance->startTime[1], START_TIME_SIZE, "1:01");
        GateRig gate(instance, MT_START_TIME, GATE_TYPE_TEXT, 0, 0, 1);
        gate.gas = "001Start_Time";
        gate.gate.gas = gate.gas.data();
        gate.SetText(c.text);
        EXPECT_EQ(SetStartTime(&gate.request), c.result) << c.text;
        if (c.line.empty()) {
            EXPECT_STREQ(instance->startTime[1], c.text.c_str());
            EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
        } else {
            EXPECT_STREQ(instance->startTime[1], "1:01");
            EXPECT_EQ(trs_test::Count(32, c.line), 1u) << trs_test::Dump();
        }
    }
}

TEST_F(ZoneTest, StartTextFillingTheWholeAreaIsRefusedSafely)
{
    GateRig gate(instance, MT_START_DATE, GATE_TYPE_TEXT, 0, 0, 1);
    gate.Fill('9'); // 500 characters, no terminator inside the area
    EXPECT_EQ(SetStartDate(&gate.request), 1);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: Tag TEST. Date String '" + std::string(500, '9') + "' too long!"), 1u);
    EXPECT_STREQ(instance->startDate[1], "");
}

TEST_F(ZoneTest, GetDatTimeFromStoredTexts)
{
    struct {
        const char *date, *time;
        uint32_t seconds;
    } cases[] = {
        {"1/6/2003", "", 1054425600u},           // midnight, no start time
        {"1/6/2003", "12:30", 1054425600u + 45000u},
        {"31/12/1970", "23:59", 31535940u},
        {"19/1/2038", "3:14", 2147483640u},       // the last minute that fits 32 bits
    };
    for (const auto &c : cases) {
        CopyText(instance->startDate[4], START_DATE_SIZE, c.date);
        CopyText(instance->startTime[4], START_TIME_SIZE, c.time);
        EXPECT_EQ(GetDatTime(instance, 4), c.seconds) << c.date << " " << c.time;
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();

    CopyText(instance->startDate[4], START_DATE_SIZE, "");
    EXPECT_EQ(GetDatTime(instance, 4), 0u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetDatTime() Start Date & Time not entered!"), 1u);

    trs_test::ClearLog();
    CopyText(instance->startDate[4], START_DATE_SIZE, "19/1/2038");
    CopyText(instance->startTime[4], START_TIME_SIZE, "3:15");
    EXPECT_EQ(GetDatTime(instance, 4), 0u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetDatTime() Start Date & Time '19/1/2038 3:15' out of range!"), 1u)
        << trs_test::Dump();
}

TEST_F(ZoneTest, GetDatTimeFollowsLocalTime)
{
    UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
    CopyText(instance->startDate[4], START_DATE_SIZE, "1/6/2003");
    EXPECT_EQ(GetDatTime(instance, 4), 1054425600u - 2 * 3600u); // summer time: UTC+2
}

struct CalendarCase {
    int year, month, day, hour, minute, second;
    bool ok;
    uint32_t seconds;
};

TEST_F(ZoneTest, CalendarRange)
{
    const CalendarCase cases[] = {
        {1970, 1, 1, 0, 0, 0, true, 0u},
        {1969, 12, 31, 23, 59, 59, false, 0},
        {2038, 1, 19, 3, 14, 7, true, 2147483647u},
        {2038, 1, 19, 3, 14, 8, false, 0},
        {2100, 1, 1, 0, 0, 0, false, 0},
        {2003, 12, 5, 9, 5, 7, true, 1070615107u},
        {2003, 13, 1, 0, 0, 0, true, 1072915200u},  // month 13 carries into 2004
        {2003, 1, 32, 0, 0, 0, true, 1044057600u},  // day 32 carries into February
        {2003, 1, 1, 24, 60, 60, true, 1041379200u + 86400u + 3600u + 60u},
        {1970, 1, 1, 0, 0, -1, false, 0},           // carries back before 1970
        {-2147483647, 1, 1, 0, 0, 0, false, 0},
        {2147483647, 1, 1, 0, 0, 0, false, 0},
    };
    for (const CalendarCase &c : cases) {
        uint32_t seconds = 12345;
        EXPECT_EQ(CalendarToSeconds(c.year, c.month, c.day, c.hour, c.minute, c.second, &seconds), c.ok)
            << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute << ":" << c.second;
        if (c.ok) {
            EXPECT_EQ(seconds, c.seconds);
        } else {
            EXPECT_EQ(seconds, 12345u) << "a refused time changed the output";
        }
    }
}

TEST_F(ZoneTest, CalendarRangeIsCheckedInLocalTime)
{
    UseZone("CET-1");
    uint32_t seconds = 0;
    EXPECT_FALSE(CalendarToSeconds(1970, 1, 1, 0, 30, 0, &seconds)); // 1969-12-31 23:30 UTC
    EXPECT_TRUE(CalendarToSeconds(1970, 1, 1, 1, 0, 0, &seconds));
    EXPECT_EQ(seconds, 0u);
    EXPECT_TRUE(CalendarToSeconds(2038, 1, 19, 4, 14, 7, &seconds));
    EXPECT_EQ(seconds, 2147483647u);
    EXPECT_FALSE(CalendarToSeconds(2038, 1, 19, 4, 14, 8, &seconds));
}

} // namespace
