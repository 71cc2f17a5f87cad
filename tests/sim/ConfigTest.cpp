// Station files: what a good file gives, and how bad ones are refused.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

#include "SimClient.h"
#include "sim/Config.h"

namespace {

using trs::sim::Frame;

// A file in the temporary directory, removed again at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string &text) {
        char name[] = "/tmp/trssim-XXXXXX";
        int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

const char *const kGood = R"(
# two stations on one line
[[station]]
identity = 5
name = "PLC1"
access_code = "4321"
require_logon = true
clock_offset = 3600

[station.variables]
AI12 = 42
AI013 = -7
FR2 = 3.25
FR3 = "1,5"
SR1 = "ABC"
"DI3.7" = true
TB = 1

[[station.resources]]
address = 7
state = "A"
field = "   Pump 1 :   12"

[[station.resources]]
address = 8
value = 0

[[station.resources]]
address = 9
value = -123456

[[station]]
identity = 7
secondary = true
strict_variables = true
decimal_point = true
)";

TEST(SimConfig, GoodFileGivesTheStations) {
    TempFile file(kGood);
    trs::sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.LoadConfig(file.Path(), &error)) << error;
    auto plc = sim.Station(5);
    ASSERT_TRUE(plc);
    EXPECT_EQ(plc->name, "PLC1");
    EXPECT_EQ(plc->accessCode, "4321");
    EXPECT_FALSE(plc->secondary);
    EXPECT_TRUE(plc->requireLogon);
    EXPECT_FALSE(plc->strictVariables);
    EXPECT_EQ(plc->clockOffset.count(), 3600);
    const std::map<std::string, std::string> vars = {{"AI12", "42"}, {"AI13", "-7"}, {"FR2", "3.25"}, {"FR3", "1,5"},
                                                     {"SR1", "ABC"},  {"DI3.7", "1"}, {"TB", "1"}};
    EXPECT_EQ(plc->variables, vars);
    ASSERT_EQ(plc->resources.size(), 3u);
    for (const auto &[address, state, field] : std::initializer_list<std::tuple<uint32_t, char, const char *>>{
             {7u, 'A', "   Pump 1 :   12"}, {8u, '.', "          :    0"}, {9u, 'A', "        :-123456"}}) {
        EXPECT_EQ(plc->resources.at(address).state, state) << address;
        EXPECT_EQ(plc->resources.at(address).field, field) << address;
    }

    auto sec = sim.Station(7);
    ASSERT_TRUE(sec);
    EXPECT_TRUE(sec->secondary);
    EXPECT_TRUE(sec->strictVariables);
    EXPECT_TRUE(sec->decimalPoint);
    EXPECT_EQ(sec->accessCode, "1234"); // the default
    EXPECT_EQ(sec->name, "");
    EXPECT_EQ(sim.Stations().size(), 2u);

    // and they answer as loaded
    sim_test::Client client;
    ASSERT_FALSE(sim_test::OpenPtyLine(sim, client).empty());
    EXPECT_EQ(client.Ask("PLC1\tACCES\t4321\t"), Frame("STATUT\t000\t"));
    EXPECT_EQ(client.Ask("PLC1\tVAR?\tFR2\t2\t"), Frame("VAR=\tFR2\t3,25\t1,5\t"));
    EXPECT_EQ(client.Ask("PLC1\tETAT?\t8\t2\t"), Frame("ETAT=\t008\t.\t          :    0\tA\t        :-123456\t"));
    ASSERT_TRUE(client.Send(std::string("\x02", 1)));
    EXPECT_EQ(client.Ask("IDENT?\t"), Frame("IDENT=\t007\t"));
    EXPECT_EQ(client.Ask("VAR?\tAI1\t1\t"), Frame("STATUT\t140\t"));
}

TEST(SimConfig, ExampleFileServes) {
    trs::sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.LoadConfig(TRS_EXAMPLE_STATIONS, &error)) << error;
    sim_test::Client client;
    ASSERT_FALSE(sim_test::OpenPtyLine(sim, client).empty());
    const std::pair<const char *, const char *> exchanges[] = {
        {"IDENT?\t", "IDENT=\t005\t"},
        {"PLC1\tVAR?\tAI12\t2\t", "VAR=\tAI12\t42\t-7\t"},
        {"PLC1\tVAR?\tSR1\t1\t", "VAR=\tSR1\t\"PUMP HOUSE\"\t"},
        {"PLC1\tVAR?\tDI3.7\t2\t", "VAR=\tDI3.7\t1\t0\t"},
        {"PLC1\tETAT?\t10\t2\t", "ETAT=\t010\t.\t    Level :12,5 \tA\t          :  250\t"},
        {"SEC7\tVAR?\tAI2\t1\t", "STATUT\t140\t"},
        {"J?\t#9999\t", "J=\tE\t0001\t20031215121000\t0000\t-\t003\t-\t-\tPump running\t-\t-\t"},
        {"PLC1\tTP?\t1\t80\t",
         "TP=\t001\tM\tRA5\t15\t1\t0\t0,0\t100,0\t0\t-\t002\tM\tAI12\t0\t1\t0\t0,0\t100,0\t0\t-\t"},
        {"T?\t1\t9\t", "T=\t1\tM\t1\t900\t15\t12\t2003\t12\t00\t00\t12,5\t12,0\t11,5\t11\t"},
        {"T?\t2\t", "T=\t2\tM\t1\t0\t15\t12\t2003\t12\t15\t00\t20031215121500=17\t20031215120000=12\t"},
    };
    for (const auto &[request, reply] : exchanges) EXPECT_EQ(client.Ask(request), Frame(reply)) << request;
}

TEST(SimConfig, JournalAndTracesFromFile) {
    TempFile file(R"([[station]]
identity = 3
journal = { capacity = 2, first_number = 9999, states = ["On", 0] }
events = [{ resource = 1, state = 1 },
          { time = "2003-12-15 12:00:05", resource = 2, state = "Pump running" },
          { time = "2003-12-15 12:00:10", code = 77, resource = 999, mark = "X", state = "Level:1,5", word4 = "END" }]
traces = [{ number = 4, resource = "RA7", period = "2 h", samples = 5, cycle = ["1", 2.5], grow = true },
          { number = 2, resource = "AI2", period = "external", records = [
              { time = "2003-12-15 12:00:00", value = "1" }, { time = "2003-12-15 12:15:00", value = 2.5 }] }]
)");
    trs::sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.LoadConfig(file.Path(), &error)) << error;
    using trs::sim::MakeStationTime;
    const auto station = *sim.Station(3);
    ASSERT_EQ(station.journal.events.size(), 2u); // the oldest went beyond the capacity
    EXPECT_EQ(station.journal.events[1], (trs::sim::Event{.number = 2, .time = MakeStationTime(2003, 12, 15, 12, 0, 10),
                                                           .code = 77, .resource = 999, .mark = 'X',
                                                           .state = "Level:1,5", .word4 = "END"}));
    EXPECT_EQ(station.journal.nextNumber, 3);
    EXPECT_EQ(station.journal.generator.states, (std::vector<std::string>{"On", "0"}));
    const auto periodic = station.traces.at(4), external = station.traces.at(2);
    EXPECT_EQ(periodic.values, (std::vector<std::string>{"1", "2,5", "1", "2,5", "1"}));
    EXPECT_EQ(std::tuple(periodic.PeriodSeconds(), periodic.cycleNext, periodic.tickMs),
              std::tuple(7200u, size_t{1}, uint32_t{7200000}));
    EXPECT_EQ(external.records, (std::vector<trs::sim::TraceRecord>{{MakeStationTime(2003, 12, 15, 12, 15), "2,5"},
                                                                    {MakeStationTime(2003, 12, 15, 12, 0), "1"}}));
}

TEST(SimConfig, BadFilesAreRefused) {
    struct Case {
        const char *text;
        const char *errorPart;
    };
    const Case cases[] = {
        {"[[station]\nidentity = 1\n", ":1:"}, // syntax error, with line number
        {"title = \"x\"\n", "unknown key 'title'"},
        {"", "no [[station]] tables"},
        {"[[station]]\nname = \"A\"\n", "identity must be an integer"},
        {"[[station]]\nidentity = \"5\"\n", "identity must be an integer"},
        {"[[station]]\nidentity = 1000\n", "identity must be from 1 to 999"},
        {"[[station]]\nidentity = 0\n", "identity must be from 1 to 999"},
        {"[[station]]\nidentity = 1\n[[station]]\nidentity = 1\n", "station 2: identity 1 given twice"},
        {"[[station]]\nidentity = 1\nname = \"A\"\n[[station]]\nidentity = 2\nname = \"A\"\n", "name 'A' given twice"},
        {"[[station]]\nidentity = 1\nnmae = \"A\"\n", "unknown key 'nmae'"},
        {"[[station]]\nidentity = 1\nname = \"A\\tB\"\n", "name must not hold TAB"},
        {"[[station]]\nidentity = 1\nsecondary = 1\n", "secondary must be true or false"},
        {"[[station]]\nidentity = 1\n[station.variables]\nQQ1 = 1\n", "'QQ1' is not a variable token"},
        {"[[station]]\nidentity = 1\n[station.variables]\nAI1 = [1]\n", "variable AI1: a value must be"},
        {"[[station]]\nidentity = 1\n[[station.resources]]\nstate = \"A\"\n", "resource 1: address must be an integer"},
        {"[[station]]\nidentity = 1\n[[station.resources]]\naddress = 1\nfield = \"short\"\n",
         "field must be exactly 16 characters"},
        {"[[station]]\nidentity = 1\n[[station.resources]]\naddress = 1\nstate = \"X\"\n", "state must be"},
        {"[[station]]\nidentity = 1\n[[station.resources]]\naddress = 1\nvalue = 1\nfield = \"          :    1\"\n",
         "either field or value"},
        {"[[station]]\nidentity = 1\n[[station.resources]]\naddress = 1\n[[station.resources]]\naddress = 1\n",
         "resource 2: address 1 given twice"},
        {"[[station]]\nidentity = 1\n[[station.events]]\nresource = 1\nstate = \"1\"\ntime = \"2003-02-29 00:00:00\"\n",
         "event 1: time must be a time like"},
        {"[[station]]\nidentity = 1\n[[station.events]]\nresource = 1\n", "event 1: state must be given"},
        {"[[station]]\nidentity = 1\n[[station.traces]]\nnumber = 1\nresource = \"RA1\"\nperiod = \"15 minutes\"\n",
         "trace 1: period must be like"},
        {"[[station]]\nidentity = 1\n[[station.traces]]\nnumber = 1\nresource = \"RA1\"\nperiod = \"external\"\n"
         "values = [1]\n",
         "values needs a periodic trace"},
    };
    for (const auto &c : cases) {
        TempFile file(c.text);
        trs::sim::Simulator sim;
        std::string error;
        EXPECT_FALSE(sim.LoadConfig(file.Path(), &error)) << c.text;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << "error: " << error << "\nexpected: " << c.errorPart;
        EXPECT_TRUE(sim.Stations().empty()) << c.text; // nothing half-loaded
    }
    trs::sim::Simulator sim;
    std::string error;
    EXPECT_FALSE(sim.LoadConfig("/nonexistent/stations.toml", &error));
    EXPECT_EQ(error, "/nonexistent/stations.toml: cannot open");
}

} // namespace
