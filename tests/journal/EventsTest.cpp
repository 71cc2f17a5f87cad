// Event records stored into resource gates: the decoding of the record, the choice of the
// gate, the event's own time stamp, and what a bad record does to the numbering.
#include <stdlib.h>
#include <time.h>

#include "journal/Journal.h"
#include "modules_modem/Fixture.h"

namespace journal_test {
namespace {

using modem_test::Line;

// 2003-12-15 12:00:00 UTC.
const uint32_t kStamp = 1071489600;

std::string Record(const std::string &number, const std::string &time, const std::string &state,
                   const std::string &tail = "\tX\tY\t", const std::string &word = "LEVEL ALARM")
{
    return "J=\tE\t" + number + "\t" + time + "\t0001\t" + word + "\t012\tPUMP 1\tA\t" + state + tail;
}

// The gates of station 5, resource 12; the year of lastEventTime before the event; the gate
// that gets the value (or null), and the lines besides the level-0 progress line.
struct EventCase { const char *name; std::string reply; std::vector<const char *> gates; uint32_t first; uint16_t previousYear;
    uint32_t result; uint16_t lastEventNo; const char *storedIn; double value; std::string text; uint32_t stamp; std::vector<Line> lines; };

class StoreEventTest : public modem_test::InstanceTest, public ::testing::WithParamInterface<EventCase> {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        InstanceTest::SetUp();
        trs_test::AddStation(instance, 5, "PLC5", "1234");
        instance->lastEventNo[5] = 41;
    }
    uint32_t Store(std::string reply, uint32_t first) // as a read of station 5's JR gate does
    {
        char gas[] = "005JR";
        GateRequest gate{};
        gate.gas = gas;
        gate.address.station = 5;
        RequestBlock request{instance, 0, 1, 0, &gate};
        return StoreEventData(&request, reply.data(), first);
    }
};

TEST_P(StoreEventTest, StoresTheEventInItsGate)
{
    const EventCase &c = GetParam();
    std::map<std::string, uint32_t> ids;
    for (const char *address : c.gates) {
        kiv::GateSpec gate = modem_test::NewGate(address);
        gate.type = address[3] == 'S' ? GATE_TYPE_TEXT : address[4] == 'A' ? GATE_TYPE_FLOAT : GATE_TYPE_DIGITAL;
        ids[address] = AddGate(gate);
    }
    instance->lastEventTime[5][0] = c.previousYear;
    EXPECT_EQ(c.result, Store(c.reply, c.first));

    EXPECT_EQ(c.lastEventNo, instance->lastEventNo[5].load());
    std::vector<Line> lines = modem_test::Logged();
    std::erase_if(lines, [](const Line &line) { return line.first == LOG_PROGRESS; });
    EXPECT_EQ(c.lines, lines);
    for (const auto &[address, id] : ids) {
        kiv::GateState state = modem_test::GateOf(id);
        if (!c.storedIn || address != c.storedIn) {
            EXPECT_TRUE(state.history.empty()) << address;
            continue;
        }
        ASSERT_EQ(1u, state.history.size()) << address;
        EXPECT_DOUBLE_EQ(c.value, state.history[0].value);
        EXPECT_EQ(c.text, state.history[0].text);
        EXPECT_EQ(c.stamp, state.history[0].timeStamp);
    }
}

const char kTime[] = "20031215120000";
const std::vector<const char *> kAll = {"005RA012", "005RD012", "005SR012"};
const std::vector<const char *> kText = {"005SR012"};
const std::vector<const char *> kDigital = {"005RD012", "005SR012"};

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreEventTest,
    ::testing::Values(
        EventCase{"DigitalOne", Record("0042", kTime, "1"), kDigital, 0, 1993, 1, 42, "005RD012", 1, "", kStamp, {}},
        EventCase{"DigitalWithLeadingZero", Record("0042", kTime, "01"), kDigital, 0, 1993, 1, 42, "005RD012", 1, "", kStamp, {}},
        EventCase{"DigitalTenIsInvalid", Record("0042", kTime, "10"), kDigital, 0, 1993, 1, 42, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() Station '5' Event 42 Resource 12 invalid state '10'"}}},
        // A blank after the colon changes nothing; the digital and string gates are not asked.
        EventCase{"AnalogWithDecimalComma", Record("0042", kTime, "Level: 12,5"), kAll, 0, 1993, 1, 42, "005RA012", 12.5, "",
                  kStamp, {}},
        EventCase{"FreeTextGetsItsBlanksBack", Record("0042", kTime, "Pump running"), kText, 0, 1993, 1, 42, "005SR012", 0,
                  "Pump running", kStamp, {}},
        EventCase{"NoGate", Record("0042", kTime, "Pump running"), {}, 0, 1993, 1, 42, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() Station (5) Event# 42 Digital (005RD012) and String (005SR012) resource "
                        "tags not found!"}}},
        EventCase{"AnalogWithoutItsGate", Record("0042", kTime, "L:1"), kDigital, 0, 1993, 1, 42, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() Station (5) Event# 42 resource Tag '005RA012' not found"}}},
        // The next request names 9999, and the station answers with event 1.
        EventCase{"Event9999", Record("9999", kTime, "0"), kDigital, 0, 1993, 1, 9999, "005RD012", 0, "", kStamp,
                  {{32, "TRSLNK> StoreEventData() Event 9999 was stored. Event 1 will be read next"}}},
        EventCase{"YearsBefore1950AreThisCentury", Record("0042", "19301215120000", "1"), kDigital, 0, 1993, 1, 42,
                  "005RD012", 1, "", 1923566400, {}},
        EventCase{"MonthThirteenCarriesOver", Record("0042", "20031315120000", "1"), kDigital, 0, 1993, 1, 42, "005RD012", 1,
                  "", 1074168000, {}},
        // The number advances, nothing is stored.
        EventCase{"Year1965IsIllegal", Record("0042", "19651215120000", "1"), kDigital, 0, 1993, 1, 42, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() illegal time in event, 15/12/65 12:00:00"}}},
        EventCase{"Year2040IsIllegal", Record("0042", "20401215120000", "1"), kDigital, 0, 1993, 1, 42, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() illegal time in event, 15/12/140 12:00:00"}}},
        // The first event of an alarm call is stored only when none was since start.
        EventCase{"FirstOfAlarmCallAfterStart", Record("0042", kTime, "1"), kDigital, 1, 1993, 1, 42, "005RD012", 1, "", kStamp,
                  {}},
        EventCase{"FirstOfAlarmCallSeenBefore", Record("0042", kTime, "1"), kDigital, 1, 2003, 1, 42, nullptr, 0, "", 0, {}},
        // Unreadable records: the numbering stays where it was.
        EventCase{"FourteenValues", Record("0042", kTime, "1", "\tX\t"), kDigital, 0, 1993, 0, 41, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() error in event data, Tag '005JR'"}}},
        EventCase{"NonDigitNumber", Record("00A2", kTime, "1"), kDigital, 0, 1993, 0, 41, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() error in event data, Tag '005JR'"}}},
        EventCase{"WordOf2000Characters", Record("0042", kTime, "1", "\tX\tY\t", std::string(2000, 'w')), kDigital, 0, 1993, 0,
                  41, nullptr, 0, "", 0, {{32, "TRSLNK> StoreEventData() error in event data, Tag '005JR'"}}},
        // The last three words are read 99 characters at a time: a long state is cut.
        EventCase{"StateOf2000Characters", Record("0042", kTime, std::string(2000, 'w')), kDigital, 0, 1993, 1, 42,
                  nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() Station '5' Event 42 Resource 12 invalid state '" + std::string(99, 'w') +
                            "'"}}},
        EventCase{"ShorterThanItsPrefix", "J=", kDigital, 0, 1993, 0, 41, nullptr, 0, "", 0,
                  {{32, "TRSLNK> StoreEventData() error in event data, Tag '005JR'"}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(StoreEventTest, EventTimeBecomesTheLastEventTime)
{
    ASSERT_EQ(1u, Store(Record("0007", "20040229235958", "1"), 0));
    const uint16_t expected[6] = {2004, 2, 29, 23, 59, 58};
    EXPECT_TRUE(std::equal(expected, expected + 6, instance->lastEventTime[5]));
}

} // namespace
} // namespace journal_test
