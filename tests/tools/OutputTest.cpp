// What the tools write for people and programs: JSON lines, the history chart, the live
// table on a terminal.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "Run.h"
#include "tools/Common.h"

namespace {

using tools_test::Folder;

// The members of a line that is one JSON object of plain values (as the tools write them),
// by name and as raw text; none when the line is anything else.
std::map<std::string, std::string> Members(const std::string &line)
{
    static const std::regex member(R"re("([a-z]+)":(null|-?[0-9][0-9.eE+-]*|"(?:[^"\\\x00-\x1f]|\\["\\/bfnrtu])*")([,}]))re");
    std::map<std::string, std::string> members;
    std::smatch m;
    for (auto at = line.begin() + !line.empty(); !line.empty() && line[0] == '{' && at != line.end(); at = m[0].second) {
        if (!std::regex_search(at, line.end(), m, member, std::regex_constants::match_continuous))
            break;
        members[m[1]] = m[2];
        if (m[3] == "}")
            return m[0].second == line.end() ? members : std::map<std::string, std::string>{};
    }
    return {};
}

TEST(Output, JsonLinesParseBack)
{
    tools_test::Station station;
    Folder folder(true);
    const auto r = tools_test::Run(TRS_HOST_PATH, station.HostArgs({"--json", "--cycles", "1", "--period", "10"}), folder.Path());
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::map<std::string, std::string> byAddress;
    for (std::string line; std::getline(lines, line);) {
        auto members = Members(line);
        ASSERT_FALSE(members.empty()) << line;
        for (const char *key : {"time", "epoch", "gate", "address", "name", "value", "unit", "quality"})
            EXPECT_TRUE(members.count(key)) << key << " in " << line;
        byAddress[members["address"]] = members["value"] + " " + members["unit"] + " " + members["quality"];
    }
    EXPECT_EQ(byAddress["\"005AI012\""], "42 \"m3\" \"good\"");
    EXPECT_EQ(byAddress["\"005SR001\""], "\"PUMP HOUSE\" \"\" \"good\"");
    EXPECT_EQ(byAddress.size(), 8u) << "every sampled gate of the list" << r.out;
}

TEST(Output, HistoryChartIsOnePolylinePerGateInTimeOrder)
{
    Folder folder;
    const std::string path = folder.Path() + "/h.svg";
    std::vector<tools::ChartSeries> series = {
        {"005AI012 <Tank & level>", {{1071489600, 12}, {1071486000, 17}, {1071490500, 3}}},
        {"005RA005 Level", {{1071489600, 12.5}}},
        {"empty", {}}};
    std::string error;
    ASSERT_TRUE(tools::WriteHistorySvg(path, "History \"5\"", series, &error)) << error;
    std::ifstream in(path);
    const std::string svg(std::istreambuf_iterator<char>(in), {});
    // Well-formed: every element closed in order, no bare '&' or '<' in text.
    std::vector<std::string> open;
    for (size_t i = svg.find("<svg"); i != std::string::npos && i < svg.size(); i = svg.find('<', i + 1)) {
        const size_t end = svg.find('>', i);
        ASSERT_NE(end, std::string::npos);
        const std::string tag = svg.substr(i + 1, end - i - 1);
        const std::string name = tag.substr(tag[0] == '/', tag.find_first_of(" />", 1) - (tag[0] == '/'));
        if (tag[0] == '/') {
            ASSERT_FALSE(open.empty());
            EXPECT_EQ(open.back(), name);
            open.pop_back();
        } else if (tag.back() != '/')
            open.push_back(name);
        const size_t next = svg.find('<', end);
        const std::string text = svg.substr(end + 1, next == std::string::npos ? 0 : next - end - 1);
        EXPECT_EQ(text.find_first_of("<>"), std::string::npos);
        for (size_t amp = text.find('&'); amp != std::string::npos; amp = text.find('&', amp + 1))
            EXPECT_TRUE(text.compare(amp, 5, "&amp;") == 0 || text.compare(amp, 6, "&quot;") == 0 ||
                        text.compare(amp, 4, "&lt;") == 0 ||
                        text.compare(amp, 4, "&gt;") == 0) << text;
    }
    EXPECT_TRUE(open.empty());
    // One polyline per gate; its x coordinates grow (time order).
    size_t polylines = 0;
    for (size_t at = svg.find("<polyline"); at != std::string::npos; at = svg.find("<polyline", at + 1), polylines++) {
        const size_t from = svg.find("points=\"", at) + 8;
        std::istringstream points(svg.substr(from, svg.find('"', from) - from));
        double last = -1, x = 0, y = 0;
        char comma = 0;
        while (points >> x >> comma >> y) {
            EXPECT_GT(x, last);
            last = x;
        }
    }
    EXPECT_EQ(polylines, 3u);
    EXPECT_NE(svg.find("2003-12-15"), std::string::npos) << "dates on the time axis";
    EXPECT_NE(svg.find("&lt;Tank &amp; level&gt; (3)"), std::string::npos) << "the legend";
}

TEST(Output, LiveTableOnATerminal)
{
    tools_test::Station station;
    Folder folder(true);
    tools_test::Child host(TRS_HOST_PATH, station.HostArgs({"--cycles", "2", "--period", "10"}), folder.Path(), true);
    const auto r = host.Wait();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("GATE"), std::string::npos);
    EXPECT_NE(r.out.find("LAST GOOD"), std::string::npos);
    EXPECT_NE(r.out.find("\x1b[K"), std::string::npos) << "lines drawn in place";
    EXPECT_NE(r.out.find("cycle 2"), std::string::npos);
    EXPECT_NE(r.out.find("PUMP HOUSE"), std::string::npos);
}

} // namespace
