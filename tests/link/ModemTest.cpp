// Sending and receiving in modem mode, against a scripted multi-modem pool: this test
// program defines the DIALX_* calls itself, so the driver's calls land here.
#include <deque>
#include <functional>
#include <gtest/gtest.h>

#include "entry/DialX.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

using trs::sim::Frame;
using Calls = std::vector<std::string>;

namespace {

struct Pool { // the driver calls it on the test's thread only
    Calls calls;
    std::string sent;
    std::deque<int32_t> sendCodes;
    std::deque<std::pair<int32_t, int>> incoming; // code and byte (-1: success without a byte)
    std::function<int32_t(const std::string &bytes)> onSend; /* when no send code is queued */
    void Queue(const std::string &bytes)
    {
        for (unsigned char c : bytes)
            incoming.emplace_back(0, c);
    }
} pool;

} // namespace

extern "C" {
int32_t DIALX_Connect(uint16_t, uint32_t, uint16_t *connRef) { return *connRef = 1, DIALX_OK; }
int32_t DIALX_Disconnect(uint16_t connRef) { return pool.calls.push_back("disconnect " + std::to_string(connRef)), DIALX_OK; }
int32_t DIALX_Flush(uint16_t connRef) { return pool.calls.push_back("flush " + std::to_string(connRef)), DIALX_OK; }
int32_t DIALX_Timeout(uint16_t, uint32_t) { return DIALX_OK; }
int32_t DIALX_Send(uint16_t connRef, const void *bytes, uint32_t count)
{
    pool.calls.push_back("send " + std::to_string(connRef));
    std::string data(static_cast<const char *>(bytes), count);
    int32_t rc = pool.sendCodes.empty() ? (pool.onSend ? pool.onSend(data) : DIALX_OK) : pool.sendCodes.front();
    if (!pool.sendCodes.empty())
        pool.sendCodes.pop_front();
    if (rc == DIALX_OK)
        pool.sent += data;
    return rc;
}
int32_t DIALX_Receive(uint16_t, void *buffer, uint32_t, uint32_t *received)
{
    *received = 0;
    if (pool.incoming.empty())
        return DIALX_CONNECTION_TIMEOUT;
    auto [rc, byte] = pool.incoming.front();
    pool.incoming.pop_front();
    if (rc == DIALX_OK && byte >= 0)
        *static_cast<char *>(buffer) = static_cast<char>(byte), *received = 1;
    return rc;
}
} // extern "C"

namespace {

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        instance_ = trs_test::NewInstance(1);
        trs_test::SetModemMode(instance_, true);
        station_ = trs_test::AddStation(instance_, 5, "PLC1", "1234");
        Reset();
    }
    void TearDown() override { trs_test::FreeInstance(instance_); PlatformSetTimeScale(1.0); }
    void Reset() // a connected station 5 (reference 17), an empty pool and log
    {
        pool = Pool();
        station_->connRef = 17;
        station_->onlineState = 1;
        trs_test::ClearLog();
    }
    DriverInstance *instance_ = nullptr;
    StationRecord *station_ = nullptr;
};

TEST_F(ModemTest, SendResultFollowsTheModemCode)
{
    // text: what the line says of the code
    const struct { int32_t rc; uint32_t result; const char *text; uint32_t hostRequest = 0; } rows[] = {
        {DIALX_OK, 0, nullptr}, {DIALX_WRITING_ERROR, 1, "writing error"}, {DIALX_CONN_BROKEN, 2, "conn. broken"},
        {DIALX_CONN_BROKEN, 2, "conn. broken", 1}, {40, 2, "rc 40"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.rc << " host request " << row.hostRequest);
        Reset();
        instance_->hostRequestActive = row.hostRequest;
        pool.sendCodes.push_back(row.rc);
        char payload[8] = "abc";
        EXPECT_EQ(SendTelegram(payload, 3, instance_, 5), row.result);
        // A broken connection's reference goes back to the pool at once; the emergency
        // disconnection of a host request then finds the station without one.
        const bool broken = row.rc == DIALX_CONN_BROKEN;
        Calls calls{"flush 17", "send 17"};
        if (broken)
            calls.push_back("disconnect 17");
        if (row.hostRequest)
            calls.push_back("disconnect 255");
        EXPECT_EQ(pool.calls, calls);
        EXPECT_EQ(instance_->hostRequestActive.load(), 0u);
        EXPECT_EQ(pool.sent, row.rc == 0 ? "abcZ\r" : "");
        auto lines = trs_test::Logged();
        EXPECT_EQ(lines.empty() ? "" : lines[0].second, row.text ? std::string("TRSLNK> Send() error send: DIALX_Send() ") + row.text : "");
        if (!row.hostRequest) { // an emergency disconnection logs its own
            EXPECT_EQ(lines.size(), row.text ? 1u : 0u);
        }
        EXPECT_EQ(station_->connRef.load(), broken ? 255 : 17);
        EXPECT_EQ(station_->onlineState.load(), broken ? 0 : 1);
    }
}

TEST_F(ModemTest, ReceiveMsgTurnsEveryModemFailureIntoALinkFailure)
{
    const std::string error = "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: ";
    char buffer[100];
    pool.Queue(Frame("OK\t"));
    EXPECT_EQ(ReceiveMsg(buffer, nullptr, instance_, 5, sizeof buffer), 0u);
    EXPECT_STREQ(buffer, "OK\t");
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
    const struct { std::deque<std::pair<int32_t, int>> items; std::string line; uint16_t connRef; } rows[] = {
        {{{0, 'a'}, {0, 'b'}, {DIALX_CONNECTION_TIMEOUT, 0}}, "connection timeout, (2 read)", 17},
        {{{0, 'a'}, {0, -1}}, "connection timeout, (1 read)", 17}, // success without a byte
        {{{DIALX_CONN_BROKEN, 0}}, "conn. broken, (0 read)", 255},
    };
    for (const auto &row : rows) {
        Reset();
        pool.incoming = row.items;
        EXPECT_EQ(ReceiveMsg(buffer, nullptr, instance_, 5, sizeof buffer), 2u);
        EXPECT_EQ(trs_test::Count(32, error + row.line), 1u) << trs_test::Dump();
        EXPECT_EQ(station_->connRef.load(), row.connRef);
    }
}

TEST_F(ModemTest, CycleCountsALinkFailureOnReceiveAsOneUnlessTheLastAttemptBrokeToo)
{
    enum Step { SendFails, ReceiveFails, BadChecksum, Good }; /* the station's answer to each data request */
    const std::pair<std::vector<Step>, uint32_t> rows[] = {
        {{ReceiveFails, ReceiveFails, ReceiveFails, ReceiveFails}, 1}, {{SendFails, ReceiveFails, ReceiveFails, ReceiveFails}, 2},
        {{SendFails, SendFails, ReceiveFails, BadChecksum}, 1},       {{SendFails, ReceiveFails, Good}, 0},
    };
    for (const auto &[steps, result] : rows) {
        Reset();
        std::deque<Step> left(steps.begin(), steps.end());
        pool.onSend = [&](const std::string &bytes) -> int32_t {
            if (bytes == Frame("IDENT?\t"))
                pool.Queue(Frame("IDENT=\t005\t"));
            else if (bytes == Frame("PLC1\tACCES\t1234\t"))
                pool.Queue(Frame("STATUT\t000\t"));
            else if (bytes.rfind("PLC1\tVAR?", 0) == 0) {
                Step step = left.front();
                left.pop_front();
                if (step == SendFails)
                    return DIALX_COMM_ERROR;
                if (step == ReceiveFails)
                    pool.incoming.emplace_back(DIALX_CONNECTION_TIMEOUT, 0);
                else
                    pool.Queue(step == BadChecksum ? "VAR=\t1\tA\r" : Frame("VAR=\t12\t"));
            }
            return DIALX_OK;
        };
        char payload[64] = "PLC1\tVAR?\tAI12\t1\t", reply[100];
        RequestCycle cycle = {instance_, 5, payload, static_cast<uint32_t>(strlen(payload)), reply, sizeof reply, nullptr, nullptr};
        EXPECT_EQ(RunRequestCycle(&cycle), result) << steps.size();
        EXPECT_TRUE(left.empty());
        EXPECT_EQ(station_->loggedOn.load(), 1);
    }
}

} // namespace
