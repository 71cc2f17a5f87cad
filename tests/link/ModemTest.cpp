// Sending and receiving in modem mode, against a scripted multi-modem pool: this test
// program defines the DIALX_* calls itself, so the driver's calls land here.
#include <algorithm>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string.h>
#include <string>
#include <vector>

#include "PtyPeer.h"
#include "entry/DialX.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "support/Support.h"

using link_test::Frame;
using Calls = std::vector<std::string>;

namespace {

struct Item {
    int32_t rc;
    int byte; /* -1: success without a byte */
};

struct Pool {
    std::mutex guard;
    Calls calls;
    std::string sent;
    std::deque<int32_t> sendCodes;
    std::deque<Item> incoming;
    std::function<int32_t(const std::string &bytes)> onSend; /* when no send code is queued */

    void Queue(const std::string &bytes)
    {
        for (unsigned char c : bytes)
            incoming.push_back({0, c});
    }
} pool;

void Log(const std::string &call)
{
    std::lock_guard<std::mutex> lock(pool.guard);
    pool.calls.push_back(call);
}

} // namespace

extern "C" {

int32_t DIALX_Connect(uint16_t, uint32_t, uint16_t *connRef) { *connRef = 1; return DIALX_OK; }
int32_t DIALX_Disconnect(uint16_t connRef) { Log("disconnect " + std::to_string(connRef)); return DIALX_OK; }
int32_t DIALX_Flush(uint16_t connRef) { Log("flush " + std::to_string(connRef)); return DIALX_OK; }
int32_t DIALX_Timeout(uint16_t, uint32_t) { return DIALX_OK; }

int32_t DIALX_Send(uint16_t connRef, const void *bytes, uint32_t count)
{
    std::lock_guard<std::mutex> lock(pool.guard);
    pool.calls.push_back("send " + std::to_string(connRef));
    std::string data(static_cast<const char *>(bytes), count);
    int32_t rc = DIALX_OK;
    if (!pool.sendCodes.empty()) {
        rc = pool.sendCodes.front();
        pool.sendCodes.pop_front();
    } else if (pool.onSend) {
        rc = pool.onSend(data);
    }
    if (rc == DIALX_OK)
        pool.sent += data;
    return rc;
}

int32_t DIALX_Receive(uint16_t, void *buffer, uint32_t, uint32_t *received)
{
    std::lock_guard<std::mutex> lock(pool.guard);
    *received = 0;
    if (pool.incoming.empty())
        return DIALX_CONNECTION_TIMEOUT;
    Item item = pool.incoming.front();
    pool.incoming.pop_front();
    if (item.rc == DIALX_OK && item.byte >= 0) {
        *static_cast<char *>(buffer) = static_cast<char>(item.byte);
        *received = 1;
    }
    return item.rc;
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
    void TearDown() override
    {
        trs_test::FreeInstance(instance_);
        PlatformSetTimeScale(1.0);
    }
    // A connected station 5 (reference 17), an empty pool and log.
    void Reset()
    {
        pool.calls.clear();
        pool.sent.clear();
        pool.sendCodes.clear();
        pool.incoming.clear();
        pool.onSend = nullptr;
        station_->connRef = 17;
        station_->onlineState = 1;
        trs_test::ClearLog();
    }
    DriverInstance *instance_ = nullptr;
    StationRecord *station_ = nullptr;
};

TEST_F(ModemTest, SendResultFollowsTheModemCode)
{
    const struct Row {
        int32_t rc;
        uint32_t result;
        const char *text; /* of the logged code */
        uint16_t connRef, onlineState;
        uint32_t hostRequest = 0;
    } rows[] = {
        {DIALX_OK, 0, nullptr, 17, 1},
        {DIALX_WRITING_ERROR, 1, "writing error", 17, 1},
        {DIALX_CONN_BROKEN, 2, "conn. broken", 255, 0},
        {DIALX_CONN_BROKEN, 2, "conn. broken", 255, 0, 1},
        {DIALX_ILL_CONN_REFERENCE, 2, "ill. conn. reference", 17, 1},
        {DIALX_CONNECTION_TIMEOUT, 2, "connection timeout", 17, 1},
        {40, 2, "rc 40", 17, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.rc << " host request " << row.hostRequest);
        Reset();
        instance_->hostRequestActive = row.hostRequest;
        pool.sendCodes.push_back(row.rc);
        char payload[8] = "abc";
        EXPECT_EQ(SendTelegram(payload, 3, instance_, 5), row.result);
        // A broken connection's reference goes back to the pool at once; the emergency
        // disconnection of a host request then finds the station without one.
        Calls calls{"flush 17", "send 17"};
        if (row.rc == DIALX_CONN_BROKEN)
            calls.push_back("disconnect 17");
        if (row.hostRequest)
            calls.push_back("disconnect 255");
        EXPECT_EQ(pool.calls, calls);
        EXPECT_EQ(instance_->hostRequestActive.load(), 0u);
        EXPECT_EQ(pool.sent, row.rc == 0 ? "abcZ\r" : "");
        std::vector<std::pair<int, std::string>> expected;
        if (row.text)
            expected.emplace_back(64, std::string("TRSLNK> Send() error send: DIALX_Send() ") + row.text);
        auto lines = link_test::LogLines();
        if (row.hostRequest)
            lines.resize(std::min(lines.size(), expected.size())); /* the emergency disconnection logs its own */
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(station_->connRef.load(), row.connRef);
        EXPECT_EQ(station_->onlineState.load(), row.onlineState);
    }
}

TEST_F(ModemTest, ReceiveMsgTurnsEveryModemFailureIntoALinkFailure)
{
    const std::string error = "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: ";
    const struct Row {
        const char *name;
        std::vector<Item> items;
        std::string line;
        uint16_t connRef;
    } rows[] = {
        {"time-out after two bytes", {{0, 'a'}, {0, 'b'}, {DIALX_CONNECTION_TIMEOUT, 0}}, "connection timeout, (2 read)", 17},
        {"success without a byte", {{0, 'a'}, {0, -1}}, "connection timeout, (1 read)", 17},
        {"broken", {{DIALX_CONN_BROKEN, 0}}, "conn. broken, (0 read)", 255},
        {"writing error", {{DIALX_WRITING_ERROR, 0}}, "writing error, (0 read)", 17},
    };
    char buffer[100];
    uint32_t length = 0;
    pool.Queue(Frame("OK\t"));
    EXPECT_EQ(ReceiveMsg(buffer, &length, instance_, 5, sizeof buffer), 0u);
    EXPECT_STREQ(buffer, "OK\t");
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Reset();
        pool.incoming.assign(row.items.begin(), row.items.end());
        EXPECT_EQ(ReceiveMsg(buffer, &length, instance_, 5, sizeof buffer), 2u);
        EXPECT_EQ(trs_test::Count(32, error + row.line), 1u) << trs_test::Dump();
        EXPECT_EQ(station_->connRef.load(), row.connRef);
    }
}

TEST_F(ModemTest, CycleCountsALinkFailureOnReceiveAsOneUnlessTheLastAttemptBrokeToo)
{
    /* What the station does with each data request of the cycle. */
    enum Step { SendFails, ReceiveFails, BadChecksum, Good };
    const struct Row {
        std::vector<Step> steps;
        uint32_t result;
    } rows[] = {
        {{ReceiveFails, ReceiveFails, ReceiveFails, ReceiveFails}, 1},
        {{SendFails, ReceiveFails, ReceiveFails, ReceiveFails}, 2},
        {{SendFails, SendFails, SendFails, SendFails}, 2},
        {{SendFails, SendFails, ReceiveFails, BadChecksum}, 1},
        {{ReceiveFails, BadChecksum, SendFails, ReceiveFails}, 2},
        {{SendFails, ReceiveFails, Good}, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.steps.size());
        Reset();
        std::deque<Step> steps(row.steps.begin(), row.steps.end());
        pool.onSend = [&](const std::string &bytes) -> int32_t {
            if (bytes == Frame("IDENT?\t"))
                pool.Queue(Frame("IDENT=\t005\t"));
            else if (bytes == Frame("PLC1\tACCES\t1234\t"))
                pool.Queue(Frame("STATUT\t000\t"));
            else if (bytes.rfind("PLC1\tVAR?", 0) == 0) {
                Step step = steps.front();
                steps.pop_front();
                switch (step) {
                case SendFails: return DIALX_COMM_ERROR;
                case ReceiveFails: pool.incoming.push_back({DIALX_CONNECTION_TIMEOUT, 0}); break;
                case BadChecksum: pool.Queue("VAR=\t1\tA\r"); break;
                case Good: pool.Queue(Frame("VAR=\t12\t")); break;
                }
            }
            return DIALX_OK;
        };
        char payload[64] = "PLC1\tVAR?\tAI12\t1\t";
        char reply[100];
        RequestCycle cycle = {};
        cycle.instance = instance_;
        cycle.station = 5;
        cycle.payload = payload;
        cycle.payloadLength = static_cast<uint32_t>(strlen(payload));
        cycle.reply = reply;
        cycle.maxLength = sizeof reply;
        EXPECT_EQ(RunRequestCycle(&cycle), row.result);
        EXPECT_TRUE(steps.empty());
        EXPECT_EQ(station_->loggedOn.load(), 1);
    }
}

} // namespace
