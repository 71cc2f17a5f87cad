// Start date and time of history reading, and calendar conversions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "GateRig.h"
#include "link/Clock.h"
#include "platform/Platform.h"
#include "support/Support.h"

namespace {

// Runs under UTC (or the zone a test picks) and restores the previous zone afterwards.
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
        previous_ = previous ? std::optional<std::string>(previous) : std::nullopt;
        UseZone("UTC0");
        instance = trs_test::NewInstance(63);
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        trs_test::FreeInstance(instance);
        if (previous_)
            setenv("TZ", previous_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    void SetStart(int station, const char *date, const char *time)
    {
        CopyText(instance->startDate[station], START_DATE_SIZE, date);
        CopyText(instance->startTime[station], START_TIME_SIZE, time);
    }
    DriverInstance *instance = nullptr;
    std::optional<std::string> previous_;
};

TEST_F(ZoneTest, StartDateAndTimeChecks)
{
    const std::string badDate = "TRSLNK: Tag 001START_DATE. Illegal date '%s' entered";
    const std::string longDate = "TRSLNK: Tag 001START_DATE. Date String '%s' too long!";
    const std::string badTime = "TRSLNK: Tag 001START_TIME. Illegal time '%s' entered";
    const std::string longTime = "TRSLNK: Tag 001START_TIME. Time String '%s' too long!";
    const struct {
        bool date;
        std::string text;
        std::string line; // "" = stored without a line
    } cases[] = {
        {true, "31/12/2003", ""},
        {true, "1/6/2003", ""},
        {true, "31/2/2003", ""}, // the month's length is not checked
        {true, "1/13/2003", badDate},
        {true, "1/1/1969", badDate},
        {true, "0/1/2003", badDate},
        {true, "1/1", badDate},
        {true, "", badDate},
        {true, "01/01/20034", longDate},
        {true, std::string(500, '9'), longDate}, // fills the area, no terminator
        {false, "23:59", ""},
        {false, "0:0", ""},
        {false, "24:00", badTime},
        {false, "12:60", badTime},
        {false, "-1:05", badTime},
        {false, "noon", badTime},
        {false, "12:30:00", longTime},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        trs_test::ClearLog();
        SetStart(1, "2/2/2002", "1:01");
        rw_test::GateRig gate(instance, c.date ? MT_START_DATE : MT_START_TIME, GATE_TYPE_TEXT, 0, 0, 1);
        gate.Tag(c.date ? "001start_date" : "001Start_Time");
        gate.SetText(c.text);
        EXPECT_EQ(c.date ? SetStartDate(&gate.request) : SetStartTime(&gate.request), c.line.empty() ? 0 : 1);
        const char *stored = c.date ? instance->startDate[1] : instance->startTime[1];
        if (c.line.empty()) {
            EXPECT_EQ(stored, c.text);
            EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
        } else {
            EXPECT_STREQ(stored, c.date ? "2/2/2002" : "1:01") << "a refused text replaced the old one";
            EXPECT_EQ(trs_test::Lines().size(), 1u) << trs_test::Dump();
            EXPECT_EQ(trs_test::Count(32, trs_test::Format(c.line.c_str(), c.text.c_str())), 1u) << trs_test::Dump();
        }
    }
}

TEST_F(ZoneTest, GetDatTimeFromStoredTexts)
{
    const struct {
        const char *date, *time;
        uint32_t seconds;
    } cases[] = {
        {"1/6/2003", "", 1054425600u}, // midnight, no start time
        {"1/6/2003", "12:30", 1054425600u + 45000u},
        {"31/12/1970", "23:59", 31535940u},
        {"19/1/2038", "3:14", 2147483640u}, // the last minute that fits 32 bits
    };
    for (const auto &c : cases) {
        SetStart(4, c.date, c.time);
        EXPECT_EQ(GetDatTime(instance, 4), c.seconds) << c.date << " " << c.time;
    }
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();

    SetStart(4, "", "3:14");
    EXPECT_EQ(GetDatTime(instance, 4), 0u);
    SetStart(4, "19/1/2038", "3:15");
    EXPECT_EQ(GetDatTime(instance, 4), 0u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetDatTime() Start Date & Time not entered!"), 1u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK: GetDatTime() Start Date & Time '19/1/2038 3:15' out of range!"), 1u)
        << trs_test::Dump();

    UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
    SetStart(4, "1/6/2003", "");
    EXPECT_EQ(GetDatTime(instance, 4), 1054425600u - 2 * 3600u) << "local summer time: UTC+2";
}

TEST_F(ZoneTest, CalendarRange)
{
    const struct {
        int year, month, day, hour, minute, second;
        bool ok;
        uint32_t seconds;
    } cases[] = {
        {1970, 1, 1, 0, 0, 0, true, 0u},
        {1969, 12, 31, 23, 59, 59, false, 0},
        {2038, 1, 19, 3, 14, 7, true, 2147483647u},
        {2038, 1, 19, 3, 14, 8, false, 0},
        {2100, 1, 1, 0, 0, 0, false, 0},
        {2003, 12, 5, 9, 5, 7, true, 1070615107u},
        {2003, 13, 1, 0, 0, 0, true, 1072915200u}, // month 13 carries into 2004
        {2003, 1, 32, 0, 0, 0, true, 1044057600u}, // day 32 carries into February
        {2003, 1, 1, 24, 60, 60, true, 1041379200u + 86400u + 3600u + 60u},
        {1970, 1, 1, 0, 0, -1, false, 0}, // carries back before 1970
        {-2147483647, 1, 1, 0, 0, 0, false, 0},
        {2147483647, 1, 1, 0, 0, 0, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":"
                                        << c.minute << ":" << c.second);
        uint32_t seconds = 12345;
        EXPECT_EQ(CalendarToSeconds(c.year, c.month, c.day, c.hour, c.minute, c.second, &seconds), c.ok);
        EXPECT_EQ(seconds, c.ok ? c.seconds : 12345u) << "a refused time leaves the output alone";
    }

    // The range is checked in local time.
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
