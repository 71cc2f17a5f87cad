// Every command's exact reply, as the driver sees it on the pty.
#include <gtest/gtest.h>

#include "SimClient.h"

namespace {

using trs::sim::Frame;
using trs::sim::Resource;

struct Exchange {
    const char *request;
    const char *reply;
};

class SimCommand : public sim_test::PtyTest {
protected:
    void SetUp() override {
        PtyTest::SetUp();
        for (const auto &[token, value] : std::initializer_list<std::pair<const char *, const char *>>{
                 {"AI12", "42"}, {"AI13", "-7"}, {"FR2", "3,25"}, {"FR3", "1.5"}, {"SR1", "\"ABC\""}, {"SR2", "XYZ"},
                 {"DI3.7", "1"}, {"DI3.8", "0"}, {"TB", "1"}, {"WX0", "65535"}})
            sim.SetVariable(5, token, value);
        sim.SetResource(5, 7, Resource{'A', "   Pump 1 :   12"});
        sim.SetResource(5, 9, Resource{'P', "    Level :12,5 "});
        sim.SetVariable(9, "AI12", "900");
    }
    void Check(const std::vector<Exchange> &table) {
        for (const auto &e : table) EXPECT_EQ(client.Ask(e.request), Frame(e.reply)) << trs::sim::Printable(e.request);
    }
};

TEST_F(SimCommand, IdentAndAccess) {
    Check({
        {"IDENT?\t", "IDENT=\t005\t"},            // the line's primary station
        {"PLC1\tIDENT?\t", "IDENT=\t005\t"},      // by name
        {"SEC7\tIDENT?\t", "IDENT=\t007\t"},      // a named secondary needs no STX
        {"PLC1\tACCES\t1234\t", "STATUT\t000\t"},
        {"PLC1\tACCES\t9999\t", "STATUT\t132\t"},
        {"PLC1\tACCES\t\t", "STATUT\t132\t"},     // empty code is a wrong code
        {"ACCES\t1234\t", "STATUT\t000\t"},
        {"SEC7\tACCES\t77\t", "STATUT\t000\t"},
        {"SEC7\tACCES\t1234\t", "STATUT\t132\t"}, // another station's code
        {"PLC1\tACCES\t", "STATUT\t129\t"},       // no code field
        {"IDENT?\textra\t", "STATUT\t129\t"},
    });
}

TEST_F(SimCommand, VariableReads) {
    Check({
        {"PLC1\tVAR?\tAI12\t1\t", "VAR=\tAI12\t42\t"},
        {"PLC1\tVAR?\tAI12\t2\t", "VAR=\tAI12\t42\t-7\t"},
        {"VAR?\tAI12\t1\t", "VAR=\tAI12\t42\t"},
        {"PLC1\tVAR?\tAI14\t1\t", "VAR=\tAI14\t0\t"},           // unknown integer: 0
        {"PLC1\tVAR?\tFR2\t2\t", "VAR=\tFR2\t3,25\t1,5\t"},      // decimal comma going out
        {"PLC1\tVAR?\tSR1\t1\t", "VAR=\tSR1\t\"ABC\"\t"},
        {"PLC1\tVAR?\tSR2\t1\t", "VAR=\tSR2\t\"XYZ\"\t"},        // stored bare, sent quoted
        {"PLC1\tVAR?\tSR3\t1\t", "VAR=\tSR3\t\"\"\t"},
        {"PLC1\tVAR?\tDI3.7\t2\t", "VAR=\tDI3.7\t1\t0\t"},       // the address part counts up
        {"PLC1\tVAR?\tAI012\t1\t", "VAR=\tAI012\t42\t"},         // leading zeros: same variable
        {"PLC1\tVAR?\tWX0\t1\t", "VAR=\tWX0\t65535\t"},
        {"PLC1\tVAR?\tTB\t", "VAR=\tTB\t1\t"},
        {"PLC1\tVAR?\tTS\t", "VAR=\tTS\t0\t"},
        {"PLC1\tVAR?\tTB\t1\t", "VAR=\tTB\t1\t"},
        {"PLC1\tVAR?\tQQ1\t1\t", "STATUT\t140\t"},              // no such kind of variable
        {"PLC1\tVAR?\tai12\t1\t", "STATUT\t129\t"},
        {"PLC1\tVAR?\tAI12x\t1\t", "STATUT\t129\t"},
        {"PLC1\tVAR?\tAI12\t", "STATUT\t129\t"},                // count missing
        {"PLC1\tVAR?\tAI12\tone\t", "STATUT\t129\t"},
        {"PLC1\tVAR?\tAI12\t0\t", "STATUT\t133\t"},
        {"PLC1\tVAR?\tAI12\t1001\t", "STATUT\t133\t"},
        {"PLC1\tVAR?\tTB\t2\t", "STATUT\t133\t"},
        {"PLC1\tVAR?\t", "STATUT\t129\t"},
    });
    // The unnamed station 9 keeps its own variables.
    EXPECT_EQ(sim.Variable(9, "AI12"), "900");
    EXPECT_EQ(sim.Variable(5, "AI012"), "42");
}

TEST_F(SimCommand, ResourceReads) {
    Check({
        {"PLC1\tETAT?\t7\t1\t", "ETAT=\t007\tA\t   Pump 1 :   12\t"},
        {"PLC1\tETAT?\t7\t2\t", "ETAT=\t007\tA\t   Pump 1 :   12\t.\t          :    0\t"},
        {"PLC1\tETAT?\t9\t1\t", "ETAT=\t009\tP\t    Level :12,5 \t"},
        {"ETAT?\t1000\t1\t", "ETAT=\t1000\t.\t          :    0\t"},
        {"PLC1\tETAT?\tx\t1\t", "STATUT\t129\t"},
        {"PLC1\tETAT?\t7\t", "STATUT\t129\t"},
        {"PLC1\tETAT?\t7\t0\t", "STATUT\t133\t"},
    });
    // The driver counts on 19 characters per resource plus 4 behind "=\t".
    const std::string reply = client.Ask("PLC1\tETAT?\t1\t40\t");
    ASSERT_GT(reply.size(), 8u);
    EXPECT_EQ(reply.size() - 2 - 6, 19u * 40 + 4);
}

TEST_F(SimCommand, UnknownAndMalformed) {
    Check({
        {"FOO?\t", "STATUT\t128\t"},
        {"PLC1\tH?\t1\t", "STATUT\t128\t"},
        {"", "STATUT\t128\t"},
        {"IDENT?", "STATUT\t129\t"},        // no closing TAB
        {"PLC1\tVAR?\tAI12\t1", "STATUT\t129\t"},
        {"ident?\t", "STATUT\t128\t"},
    });
}

TEST_F(SimCommand, WritesChangeTheDataModel) {
    Check({
        {"PLC1\tVAR!\tAI5\t-1\t", "STATUT\t000\t"},
        {"PLC1\tVAR?\tAI5\t1\t", "VAR=\tAI5\t-1\t"},
        {"PLC1\tVAR!\tFR2\t1,500000\t", "STATUT\t000\t"},
        {"PLC1\tVAR?\tFR2\t1\t", "VAR=\tFR2\t1,500000\t"},
        {"PLC1\tVAR!\tSR1\t\"AB              \"\t", "STATUT\t000\t"},
        {"PLC1\tVAR?\tSR1\t1\t", "VAR=\tSR1\t\"AB              \"\t"},
        {"PLC1\tVAR!\tDI3.9\t1\t", "STATUT\t000\t"},
        {"PLC1\tVAR?\tDI3.8\t2\t", "VAR=\tDI3.8\t0\t1\t"},
        {"PLC1\tVAR!\tQQ1\t5\t", "STATUT\t140\t"},
        {"PLC1\tVAR!\tAI5\t", "STATUT\t129\t"},
        {"PLC1\tVAR!\t5\t1\t", "STATUT\t129\t"},
        {"PLC1\tETAT!\t7\t0\t", "STATUT\t000\t"},
        {"PLC1\tETAT?\t7\t1\t", "ETAT=\t007\t.\t   Pump 1 :    0\t"},
        {"PLC1\tETAT!\t8\t65535\t", "STATUT\t000\t"},
        {"PLC1\tETAT?\t8\t1\t", "ETAT=\t008\tA\t          :65535\t"},
        {"PLC1\tETAT!\t8\t-1078530011\t", "STATUT\t000\t"},
        {"PLC1\tETAT?\t8\t1\t", "ETAT=\t008\tA\t    :-1078530011\t"},
        {"PLC1\tETAT!\t9\t12,500000\t", "STATUT\t000\t"},
        {"PLC1\tETAT?\t9\t1\t", "ETAT=\t009\tA\t    Le:12,500000\t"},
        {"PLC1\tETAT!\t9\t-0,000000\t", "STATUT\t000\t"},
        {"PLC1\tETAT?\t9\t1\t", "ETAT=\t009\t.\t    Le:-0,000000\t"},
        {"PLC1\tETAT!\t8\tx\t", "STATUT\t129\t"},
        {"PLC1\tETAT!\t8\t1,2,3\t", "STATUT\t129\t"},
        {"PLC1\tETAT!\t8\t", "STATUT\t129\t"},
    });
    EXPECT_EQ(sim.Variable(5, "AI5"), "-1");
    EXPECT_EQ(sim.Variable(5, "FR2"), "1,500000");
    EXPECT_EQ(sim.Variable(9, "AI5"), std::nullopt); // named telegrams reach only their station
    auto r = sim.GetResource(5, 7);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->state, '.');
    EXPECT_EQ(r->field, "   Pump 1 :    0");
}

TEST_F(SimCommand, ClockSetAndRead) {
    Check({
        {"PLC1\tTIME!\t12:00:00\t", "STATUT\t000\t"},
        {"PLC1\tDATE!\t05/12/03\t", "STATUT\t000\t"},
        {"PLC1\tDATE?\t", "DATE=\t05/12/03\t"},
        {"PLC1\tTIME!\t24:00:00\t", "STATUT\t133\t"},
        {"PLC1\tTIME!\t9:05:07\t", "STATUT\t129\t"},
        {"PLC1\tTIME!\t\t", "STATUT\t129\t"},
        {"PLC1\tDATE!\t32/01/03\t", "STATUT\t133\t"},
        {"PLC1\tDATE!\t01/13/03\t", "STATUT\t133\t"},
        {"PLC1\tDATE!\t01-12-03\t", "STATUT\t129\t"},
        {"PLC1\tDATE?\textra\t", "STATUT\t129\t"},
        {"PLC1\tDATE?\t", "DATE=\t05/12/03\t"}, // refused writes left the clock alone
    });
    // Seconds tick on; the hour and minute stay.
    const std::string time = client.Ask("PLC1\tTIME?\t");
    ASSERT_EQ(time.size(), 6u + 9u + 2u) << trs::sim::Printable(time);
    EXPECT_EQ(time.substr(0, 13), "TIME=\t12:00:0");
    // The clock of the unnamed station was not touched: its offset is still zero.
    ASSERT_TRUE(sim.Station(9));
    EXPECT_EQ(sim.Station(9)->clockOffset.count(), 0);
    EXPECT_NE(sim.Station(5)->clockOffset.count(), 0);
}

TEST_F(SimCommand, StationOptions) {
    auto plc = *sim.Station(5);
    plc.strictVariables = true;
    plc.decimalPoint = true;
    sim.AddStation(plc); // same identity: replaces
    Check({
        {"PLC1\tVAR?\tAI14\t1\t", "STATUT\t140\t"},
        {"PLC1\tVAR?\tAI12\t3\t", "STATUT\t140\t"}, // one unknown in the run refuses it all
        {"PLC1\tVAR!\tAI14\t1\t", "STATUT\t140\t"},
        {"PLC1\tVAR!\tAI12\t1\t", "STATUT\t000\t"},
        {"PLC1\tVAR?\tFR2\t1\t", "VAR=\tFR2\t3.25\t"},
    });
    EXPECT_EQ(sim.Variable(5, "AI14"), std::nullopt);
}

TEST_F(SimCommand, LogOnRequired) {
    auto plc = *sim.Station(5);
    plc.requireLogon = true;
    sim.AddStation(plc);
    const std::string wakeUp("\x03\x1bW06\x03", 6);
    Check({
        {"PLC1\tVAR?\tAI12\t1\t", "STATUT\t132\t"},
        {"PLC1\tETAT!\t7\t1\t", "STATUT\t132\t"},
        {"PLC1\tTIME?\t", "STATUT\t132\t"},
        {"IDENT?\t", "IDENT=\t005\t"},          // log-on commands stay open
        {"PLC1\tACCES\t1\t", "STATUT\t132\t"},
        {"PLC1\tVAR?\tAI12\t1\t", "STATUT\t132\t"},
        {"PLC1\tACCES\t1234\t", "STATUT\t000\t"},
        {"PLC1\tVAR?\tAI12\t1\t", "VAR=\tAI12\t42\t"},
        {"VAR?\tAI12\t1\t", "VAR=\tAI12\t42\t"}, // the log-on holds for the line's primary too
    });
    ASSERT_TRUE(client.Send(wakeUp));
    Check({{"PLC1\tVAR?\tAI12\t1\t", "STATUT\t132\t"}}); // the wake-up ended the log-on
    EXPECT_EQ(sim.GetResource(5, 7)->state, 'A');      // the refused ETAT! did nothing
}

} // namespace
