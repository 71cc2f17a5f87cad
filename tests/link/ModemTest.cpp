// Sending and receiving in modem mode, against a scripted multi-modem pool: this test
// program defines the DIALX_* calls itself, so the driver's calls land here.
#include <deque>
#include <functional>
#include <gtest/gtest.h>

#include <algorithm>
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

namespace {

struct Item {
    int32_t rc;
    int byte; /* -1: success without a byte */
};

struct Pool {
    std::mutex guard;
    std::vector<std::string> calls;
    std::string sent;
    std::deque<int32_t> sendCodes;
    std::deque<Item> incoming;
    /* Called for every send that the script lets through; returns its code. */
    std::function<int32_t(const std::string &bytes)> onSend;

    void Reset()
    {
        std::lock_guard<std::mutex> lock(guard);
        calls.clear();
        sent.clear();
        sendCodes.clear();
        incoming.clear();
        onSend = nullptr;
    }
    void Queue(const std::string &bytes)
    {
        for (unsigned char c : bytes)
            incoming.push_back({0, c});
    }
};

Pool &ThePool()
{
    static Pool pool;
    return pool;
}

} // namespace

extern "C" {

int32_t DIALX_Connect(uint16_t, uint32_t, uint16_t *connRef)
{
    *connRef = 1;
    return DIALX_OK;
}

int32_t DIALX_Disconnect(uint16_t connRef)
{
    std::lock_guard<std::mutex> lock(ThePool().guard);
    ThePool().calls.push_back("disconnect " + std::to_string(connRef));
    return DIALX_OK;
}

int32_t DIALX_Send(uint16_t connRef, const void *bytes, uint32_t count)
{
    Pool &pool = ThePool();
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

int32_t DIALX_Flush(uint16_t connRef)
{
    std::lock_guard<std::mutex> lock(ThePool().guard);
    ThePool().calls.push_back("flush " + std::to_string(connRef));
    return DIALX_OK;
}

int32_t DIALX_Receive(uint16_t, void *buffer, uint32_t, uint32_t *received)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.guard);
    *received = 0;
    if (pool.incoming.empty())
        return DIALX_CONNECTION_TIMEOUT;
    Item item = pool.incoming.front();
    pool.incoming.pop_front();
    if (item.rc != DIALX_OK)
        return item.rc;
    if (item.byte >= 0) {
        *static_cast<char *>(buffer) = static_cast<char>(item.byte);
        *received = 1;
    }
    return DIALX_OK;
}

int32_t DIALX_Timeout(uint16_t, uint32_t)
{
    return DIALX_OK;
}

} // extern "C"

namespace {

class ModemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        ThePool().Reset();
        instance_ = trs_test::NewInstance(1);
        instance_->modemMode = 1;
        station_ = trs_test::AddStation(instance_, 5, "PLC1", "1234");
        station_->connRef = 17;
        station_->onlineState = 1;
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        trs_test::FreeInstance(instance_);
        PlatformSetTimeScale(1.0);
    }
    DriverInstance *instance_ = nullptr;
    StationRecord *station_ = nullptr;
};

TEST_F(ModemTest, SendResultFollowsTheModemCode)
{
    struct Row {
        int32_t rc;
        uint32_t result;
        const char *text; /* of the logged code */
        uint16_t connRef;
        uint16_t onlineState;
    } rows[] = {
        {DIALX_OK, 0, nullptr, 17, 1},
        {DIALX_WRITING_ERROR, 1, "writing error", 17, 1},
        {DIALX_CONN_BROKEN, 2, "conn. broken", 255, 0},
        {DIALX_ILL_CONN_REFERENCE, 2, "ill. conn. reference", 17, 1},
        {DIALX_CONNECTION_TIMEOUT, 2, "connection timeout", 17, 1},
        {40, 2, "rc 40", 17, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.rc);
        ThePool().Reset();
        trs_test::ClearLog();
        station_->connRef = 17;
        station_->onlineState = 1;
        ThePool().sendCodes.push_back(row.rc);
        char payload[8] = "abc";
        EXPECT_EQ(SendTelegram(payload, 3, instance_, 5), row.result);
        // A broken connection's reference goes back to the pool at once.
        std::vector<std::string> calls{"flush 17", "send 17"};
        if (row.rc == DIALX_CONN_BROKEN)
            calls.push_back("disconnect 17");
        EXPECT_EQ(ThePool().calls, calls);
        EXPECT_EQ(ThePool().sent, row.rc == 0 ? "abcZ\r" : "");
        std::vector<std::pair<int, std::string>> lines;
        for (const auto &line : trs_test::Lines())
            lines.emplace_back(line.level, line.text);
        std::vector<std::pair<int, std::string>> expected;
        if (row.text)
            expected.emplace_back(64, std::string("TRSLNK> Send() error send: DIALX_Send() ") + row.text);
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(station_->connRef.load(), row.connRef);
        EXPECT_EQ(station_->onlineState.load(), row.onlineState);
    }
}

TEST_F(ModemTest, BrokenConnectionDuringAHostRequestDisconnects)
{
    for (uint32_t hostRequest : {0u, 1u}) {
        ThePool().Reset();
        station_->connRef = 17;
        instance_->hostRequestActive = hostRequest;
        ThePool().sendCodes.push_back(DIALX_CONN_BROKEN);
        EXPECT_EQ(Send("x", 1, instance_, 5), 2u);
        // The broken reference is released whoever made the exchange; the emergency
        // disconnection of a host request then finds the station without one.
        const auto &calls = ThePool().calls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "disconnect 17"), 1) << hostRequest;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "disconnect 255"), hostRequest == 1 ? 1 : 0) << hostRequest;
        EXPECT_EQ(instance_->hostRequestActive.load(), 0u);
    }
}

TEST_F(ModemTest, ReceiveMsgTurnsEveryModemFailureIntoALinkFailure)
{
    struct Row {
        const char *name;
        std::vector<Item> items;
        uint32_t result;
        std::string line;
        uint16_t connRef;
    } rows[] = {
        {"good", {}, 0, "", 17},
        {"time-out after two bytes", {{0, 'a'}, {0, 'b'}, {DIALX_CONNECTION_TIMEOUT, 0}}, 2,
         "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: connection timeout, (2 read)", 17},
        {"success without a byte", {{0, 'a'}, {0, -1}}, 2,
         "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: connection timeout, (1 read)", 17},
        {"broken", {{DIALX_CONN_BROKEN, 0}}, 2,
         "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: conn. broken, (0 read)", 255},
        {"writing error", {{DIALX_WRITING_ERROR, 0}}, 2,
         "TRSLNK> ReceiveMsg() error, reading message from controller, DIALX_Receive: writing error, (0 read)", 17},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ThePool().Reset();
        trs_test::ClearLog();
        station_->connRef = 17;
        if (row.items.empty())
            ThePool().Queue(Frame("OK\t"));
        for (const Item &item : row.items)
            ThePool().incoming.push_back(item);
        char buffer[100];
        uint32_t length = 0;
        EXPECT_EQ(ReceiveMsg(buffer, &length, instance_, 5, sizeof buffer), row.result);
        if (row.result == 0) {
            EXPECT_STREQ(buffer, "OK\t");
            EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();
        } else {
            EXPECT_EQ(trs_test::Count(32, row.line), 1u) << trs_test::Dump();
        }
        EXPECT_EQ(station_->connRef.load(), row.connRef);
    }
}

/* What the station does with one data request of the cycle. */
enum class Step { SendFails, ReceiveFails, BadChecksum, Good };

TEST_F(ModemTest, CycleCountsALinkFailureOnReceiveAsOneUnlessTheLastAttemptBrokeToo)
{
    struct Row {
        std::vector<Step> steps;
        uint32_t result;
    } rows[] = {
        {{Step::ReceiveFails, Step::ReceiveFails, Step::ReceiveFails, Step::ReceiveFails}, 1},
        {{Step::SendFails, Step::ReceiveFails, Step::ReceiveFails, Step::ReceiveFails}, 2},
        {{Step::SendFails, Step::SendFails, Step::SendFails, Step::SendFails}, 2},
        {{Step::SendFails, Step::SendFails, Step::ReceiveFails, Step::BadChecksum}, 1},
        {{Step::ReceiveFails, Step::BadChecksum, Step::SendFails, Step::ReceiveFails}, 2},
        {{Step::SendFails, Step::ReceiveFails, Step::Good}, 0},
    };
    for (const Row &row : rows) {
        ThePool().Reset();
        std::deque<Step> steps(row.steps.begin(), row.steps.end());
        ThePool().onSend = [&](const std::string &bytes) -> int32_t {
            Pool &pool = ThePool();
            if (bytes == Frame("IDENT?\t")) {
                pool.Queue(Frame("IDENT=\t005\t"));
            } else if (bytes == Frame("PLC1\tACCES\t1234\t")) {
                pool.Queue(Frame("STATUT\t000\t"));
            } else if (bytes.rfind("PLC1\tVAR?", 0) == 0) {
                Step step = steps.front();
                steps.pop_front();
                switch (step) {
                case Step::SendFails: return DIALX_COMM_ERROR;
                case Step::ReceiveFails: pool.incoming.push_back({DIALX_CONNECTION_TIMEOUT, 0}); break;
                case Step::BadChecksum: pool.Queue("VAR=\t1\tA\r"); break;
                case Step::Good: pool.Queue(Frame("VAR=\t12\t")); break;
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
        EXPECT_EQ(RunRequestCycle(&cycle), row.result) << ::testing::PrintToString(row.steps.size());
        EXPECT_TRUE(steps.empty());
        EXPECT_EQ(station_->loggedOn.load(), 1);
    }
}

} // namespace
