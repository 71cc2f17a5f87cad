// The station simulator as the driver meets it: exact replies, the raw bytes outside
// telegrams, faults, station files and the trs-sim program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/Simulator.h"

namespace {

using trs::sim::Fault;
using trs::sim::FaultKind;
using trs::sim::Frame;

// The driver's end of a simulator's pseudo-terminal, opened raw.
class Line {
public:
    explicit Line(trs::sim::Simulator &sim)
    {
        auto path = sim.OpenPty();
        fd_ = path ? open(path->c_str(), O_RDWR | O_NOCTTY) : -1;
        termios tio{};
        EXPECT_TRUE(fd_ >= 0 && tcgetattr(fd_, &tio) == 0);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Line() { close(fd_); }
    void Send(const std::string &bytes) { EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    std::string Read() // up to and including the next CR, or what came within 3 s
    {
        std::string out;
        char c;
        for (pollfd p{fd_, POLLIN, 0}; (out.empty() || out.back() != '\r') && poll(&p, 1, 3000) > 0 && read(fd_, &c, 1) == 1;)
            out += c;
        return out;
    }
    std::string Ask(const std::string &payload) { return Send(Frame(payload)), Read(); }

private:
    int fd_ = -1;
};

// Primary 5 named PLC1 (code 1234), secondary 7 named SEC7 (code 77), primary 9 without a name.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto [identity, name, code, secondary] : {std::tuple{5u, "PLC1", "1234", false}, {7u, "SEC7", "77", true}, {9u, "", "99", false}})
            sim.AddStation({.identity = identity, .name = name, .accessCode = code, .secondary = secondary, .variables = {},
                            .resources = {}});
        sim.SetVariable(5, "AI12", "42");
        sim.SetVariable(5, "AI13", "-7");
        sim.SetVariable(5, "FR2", "3,25");
        sim.SetVariable(5, "SR2", "XYZ");
        sim.SetResource(5, 7, trs::sim::Resource{'A', "   Pump 1 :   12"});
    }
    void Check(const std::vector<std::pair<std::string, std::string>> &exchanges)
    {
        for (const auto &[request, reply] : exchanges)
            EXPECT_EQ(line.Ask(request), Frame(reply)) << trs::sim::Printable(request);
    }
    trs::sim::Simulator sim;
    Line line{sim};
};

TEST_F(SimTest, CommandsAnswerExactly)
{
    Check({
        {"IDENT?\t", "IDENT=\t005\t"}, {"SEC7\tIDENT?\t", "IDENT=\t007\t"}, {"PLC1\tACCES\t1234\t", "STATUT\t000\t"},
        {"PLC1\tACCES\t9999\t", "STATUT\t132\t"}, {"PLC1\tACCES\t", "STATUT\t129\t"},
        {"PLC1\tVAR?\tAI12\t2\t", "VAR=\tAI12\t42\t-7\t"}, {"VAR?\tAI14\t1\t", "VAR=\tAI14\t0\t"},
        {"PLC1\tVAR?\tFR2\t1\t", "VAR=\tFR2\t3,25\t"}, {"PLC1\tVAR?\tSR2\t1\t", "VAR=\tSR2\t\"XYZ\"\t"},
        {"PLC1\tVAR?\tTB\t", "VAR=\tTB\t0\t"}, {"PLC1\tVAR?\tQQ1\t1\t", "STATUT\t140\t"}, {"PLC1\tVAR?\tAI12\t0\t", "STATUT\t133\t"},
        {"PLC1\tETAT?\t7\t2\t", "ETAT=\t007\tA\t   Pump 1 :   12\t.\t          :    0\t"},
        {"PLC1\tVAR!\tAI5\t-1\t", "STATUT\t000\t"}, {"PLC1\tVAR?\tAI5\t1\t", "VAR=\tAI5\t-1\t"},
        {"PLC1\tETAT!\t9\t12,500000\t", "STATUT\t000\t"}, {"PLC1\tETAT?\t9\t1\t", "ETAT=\t009\tA\t      :12,500000\t"},
        {"PLC1\tTIME!\t24:00:00\t", "STATUT\t133\t"}, {"PLC1\tDATE!\t05/12/03\t", "STATUT\t000\t"}, {"PLC1\tDATE?\t", "DATE=\t05/12/03\t"},
        {"FOO?\t", "STATUT\t128\t"}, {"IDENT?", "STATUT\t129\t"}, {"J?\t", "STATUT\t001\t"},
    });
    EXPECT_EQ(sim.Variable(9, "AI5"), std::nullopt) << "named telegrams reach only their station";
}

// Bytes outside telegrams: the wake-up, and STX/ETX around the secondary's transparent channel.
TEST_F(SimTest, RawBytesAndTheTransparentChannel)
{
    const std::pair<std::string, std::string> steps[] = {
        {"PLC1\tVAR\x03\x1bW06\x03", "IDENT=\t005\t"}, // a partial telegram dropped by a control byte
        {"\x02", "IDENT=\t007\t"}, {"", "IDENT=\t007\t"}, {"\x03", "IDENT=\t005\t"},
        {"\x02", "IDENT=\t007\t"}, {"\x03\x1bW06\x03", "IDENT=\t005\t"}, // the wake-up's ETX closes the channel
        {std::string(5000, 'A') + "\r", "IDENT=\t005\t"},                // overlong input is dropped
    };
    for (const auto &[raw, reply] : steps) {
        line.Send(raw);
        EXPECT_EQ(line.Ask("IDENT?\t"), Frame(reply)) << trs::sim::Printable(raw);
    }
    EXPECT_EQ(sim.GetCounters().wakeUps, 2u);
    EXPECT_EQ(sim.GetCounters().overflows, 1u);
    EXPECT_EQ(sim.Telegrams(), std::vector<std::string>(7, "IDENT?\t"));
    sim.KeepTelegrams(2); // a long run keeps the newest only; the counters go on
    line.Ask("PLC1\tVAR?\tAI12\t1\t");
    EXPECT_EQ(sim.Telegrams(), (std::vector<std::string>{"IDENT?\t", "PLC1\tVAR?\tAI12\t1\t"}));
    EXPECT_EQ(sim.GetCounters().telegrams, 8u);
    line.Send("PLC1\tVAR!\tAI1\t5\t@\r"); // a bad checksum: status 130, the data are not touched
    EXPECT_EQ(line.Read(), Frame("STATUT\t130\t"));
    EXPECT_EQ(sim.Variable(5, "AI1"), std::nullopt);
}

} // namespace
