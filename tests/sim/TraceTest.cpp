// History traces: TP? and T? replies as the driver reads them, the length cut, growth.
#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "SimClient.h"

namespace {

using std::chrono::seconds;
using trs::sim::Frame;
using trs::sim::HistoryTrace;
using trs::sim::MakeStationTime;

const auto kNoon = MakeStationTime(2003, 12, 15, 12, 0, 0);

std::string Payload(const std::string &frame) {
    return frame.size() < 2 ? frame : frame.substr(0, frame.size() - 2);
}

// Position just after the n-th TAB (npos if there are fewer).
size_t AfterTabs(const std::string &text, size_t n) {
    size_t pos = 0;
    for (; n > 0 && pos != std::string::npos; --n) pos = text.find('\t', pos) + 1;
    return pos == 0 ? std::string::npos : pos;
}

class SimTrace : public sim_test::PtyTest {
protected:
    void SetUp() override {
        PtyTest::SetUp();
        HistoryTrace periodic{.number = 1, .resource = "RA5", .periodCount = 10, .newest = kNoon - seconds(600)};
        periodic.values = {"2,5", "3,5"};
        HistoryTrace external{.number = 2, .resource = "AI12", .periodCount = 0};
        external.records = {{kNoon, "1,5"}};
        HistoryTrace daily{.number = 5, .mode = 'A', .resource = "ra5", .periodCount = 1, .periodUnit = '4',
                           .newest = MakeStationTime(2003, 12, 14)};
        for (const auto &t : {periodic, external, daily}) sim.SetHistoryTrace(5, t);
        ASSERT_TRUE(sim.AddSample(5, 1, "1,5"));                       // one period on: noon
        ASSERT_TRUE(sim.AddSample(5, 2, "3,5", kNoon + seconds(900))); // a record of its own time
        EXPECT_FALSE(sim.AddSample(5, 3, "1"));
    }
};

TEST_F(SimTrace, Replies) {
    const std::string head1 = "T=\t1\tM\t1\t600\t15\t12\t2003\t12\t00\t00\t";
    const std::string head2 = "T=\t2\tM\t1\t0\t15\t12\t2003\t12\t15\t00\t";
    const std::string tp2 = "002\tM\tAI12\t0\t1\t0\t0,0\t100,0\t0\t-\t";
    const std::pair<std::string, std::string> cases[] = {
        {"TP?\t1\t80\t",
         "TP=\t001\tM\tRA5\t10\t1\t0\t0,0\t100,0\t0\t-\t" + tp2 + "005\tA\tra5\t1\t4\t0\t0,0\t100,0\t0\t-\t"},
        {"TP?\t2\t4\t", "TP=\t" + tp2},
        {"TP?\t6\t80\t", "STATUT\t001\t"},
        {"TP?\t1\t", "STATUT\t129\t"},
        {"T?\t1\t2\t", head1 + "1,5\t2,5\t"},
        {"T?\t1\t9\t", head1 + "1,5\t2,5\t3,5\t"},
        {"T?\t1\t", head1 + "1,5\t2,5\t3,5\t"},
        {"T?\t2\t", head2 + "20031215121500=3,5\t20031215120000=1,5\t"},
        {"T?\t2\t1\t", head2 + "20031215121500=3,5\t"},
        {"T?\t5\t1\t", "T=\t5\tA\t4\t86400\t14\t12\t2003\t00\t00\t00\t"},
        {"T?\t3\t1\t", "STATUT\t001\t"},
        {"T?\t1\t0\t", "STATUT\t133\t"},
        {"T?\tx\t1\t", "STATUT\t129\t"},
        {"T?\t1\t1\t1\t", "STATUT\t129\t"},
    };
    for (const auto &[request, reply] : cases) EXPECT_EQ(client.Ask(request), Frame(reply)) << request;
}

TEST_F(SimTrace, DriverFormatsReadTheReplies) {
    std::string tp = Payload(client.Ask("TP?\t1\t80\t"));
    std::replace(tp.begin(), tp.end(), ' ', '_');
    std::vector<char> w[5];
    for (auto &b : w) b.resize(4096); // longer than any reply here
    unsigned number = 0, count = 0;
    char mode, unit, f6, f9;
    ASSERT_EQ(std::sscanf(tp.c_str(), "%s\t%03u\t%c\t%s\t%u\t%c\t%c\t%s\t%s\t%c\t%s", w[0].data(), &number, &mode,
                          w[1].data(), &count, &unit, &f6, w[2].data(), w[3].data(), &f9, w[4].data()),
              11);
    EXPECT_EQ(std::tuple(number, mode, std::string(w[1].data()), count, unit), std::tuple(1u, 'M', "RA5", 10u, '1'));

    // The last-sample-time question, read as the driver reads every T? header.
    std::string t = Payload(client.Ask("T?\t1\t1\t"));
    std::replace(t.begin(), t.end(), ' ', '0');
    std::vector<unsigned> h(8); // trace, period, day, month, year, hour, minute, second
    ASSERT_EQ(std::sscanf(t.c_str(), "%s\t%u\t%c\t%c\t%u\t%u\t%u\t%u\t%u\t%u\t%u", w[0].data(), &h[0], &mode, &unit,
                          &h[1], &h[2], &h[3], &h[4], &h[5], &h[6], &h[7]),
              11);
    EXPECT_EQ(h, (std::vector<unsigned>{1, 600, 15, 12, 2003, 12, 0, 0}));
    const std::string ext = Payload(client.Ask("T?\t2\t"));
    int d[6];
    ASSERT_EQ(std::sscanf(ext.c_str() + AfterTabs(ext, 12), "%04d%02d%02d%02d%02d%02d=\t%s", &d[0], &d[1], &d[2],
                          &d[3], &d[4], &d[5], w[0].data()),
              7);
    EXPECT_EQ(std::vector<int>(d, d + 6), (std::vector<int>{2003, 12, 15, 12, 0, 0}));
    EXPECT_STREQ(w[0].data(), "1,5");
}

TEST_F(SimTrace, LongRepliesAreCutAtAWholeSample) {
    for (bool external : {false, true}) {
        HistoryTrace t{.number = 9, .periodCount = static_cast<uint16_t>(external ? 0 : 1), .newest = kNoon,
                       .capacity = 20000};
        if (external)
            t.records.assign(20000, {kNoon, "123,456789"});
        else
            t.values.assign(20000, "12,3456"); // sized so that one more would fit if checksum and CR were forgotten
        sim.SetHistoryTrace(5, t);
        ASSERT_TRUE(client.SendFrame("T?\t9\t"));
        const std::string reply = client.ReadFrame(seconds(60)); // the test client reads byte by byte
        const size_t item = external ? 26 : 8;
        EXPECT_LE(reply.size(), 49000u);
        EXPECT_GT(reply.size() + item, 49000u);
        EXPECT_EQ(reply.substr(reply.size() - 3, 1), "\t");
        const size_t header = AfterTabs(reply, 11);
        EXPECT_EQ((reply.size() - 2 - header) % item, 0u);
    }
}

TEST_F(SimTrace, TracesGrow) {
    HistoryTrace periodic{.number = 7, .newest = kNoon, .tickMs = 2, .cycle = {"1", "2", "3"}};
    HistoryTrace external{.number = 8, .periodCount = 0, .tickMs = 2};
    sim.SetHistoryTrace(9, periodic);
    sim.SetHistoryTrace(9, external);
    ASSERT_TRUE(sim.WaitForStation(
        9, [](const auto &s) { return s.traces.at(7).values.size() >= 4 && s.traces.at(8).records.size() >= 2; },
        seconds(10)));
    const auto grown = *sim.GetHistoryTrace(9, 7);
    const size_t n = grown.values.size();
    EXPECT_EQ(grown.newest, kNoon + seconds(900 * n)); // stamps advance by the trace's own period
    for (size_t k = 0; k < n; ++k) EXPECT_EQ(grown.values[k], periodic.cycle[(n - 1 - k) % 3]) << k;
    const auto records = sim.GetHistoryTrace(9, 8)->records;
    EXPECT_TRUE(std::is_sorted(records.rbegin(), records.rend(), [](auto &a, auto &b) { return a.time < b.time; }));
    EXPECT_EQ(records.back().value, "0,0"); // the built-in ramp starts at zero
}

} // namespace
