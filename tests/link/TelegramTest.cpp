// Framing, one exchange over a pseudo-terminal, status texts and the bus mutex.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "PtyPeer.h"
#include "link/Port.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "support/Support.h"

using link_test::Frame;
using link_test::LogLines;
using Lines = std::vector<std::pair<int, std::string>>;

namespace {

class TelegramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        instance_ = link_test::OpenInstance(pty_);
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        link_test::CloseInstance(instance_);
        PlatformSetTimeScale(1.0);
    }

    link_test::Pty pty_;
    DriverInstance *instance_ = nullptr;
};

TEST(Checksum, MakesThePayloadSumAMultipleOf64)
{
    /* byte sums 294, 64, 65 (one short of 128) and 510 (bytes count unsigned) */
    const std::pair<std::string, char> rows[] = {{"abc", 'Z'}, {"@", '@'}, {"A", '\x7f'}, {"\xff\xff", 'B'}};
    for (const auto &[payload, checksum] : rows)
        EXPECT_EQ(TelegramChecksum(payload.data(), payload.size()), checksum) << payload;
    for (int byte = 0; byte < 256; byte++) {
        char payload[3] = {'x', static_cast<char>(byte), 'y'};
        unsigned char checksum = static_cast<unsigned char>(TelegramChecksum(payload, 3));
        EXPECT_GE(checksum, 0x40);
        EXPECT_LE(checksum, 0x7f);
        EXPECT_EQ(('x' + static_cast<unsigned>(byte) + 'y' + checksum) % 64, 0u) << byte;
    }
}

TEST_F(TelegramTest, SendTelegramThrowsAwayStaleInputFramesAndRestoresThePayload)
{
    pty_.Write("stale reply\r");
    ASSERT_TRUE(pty_.WaitForInput(12));
    char payload[8] = "abc";
    memset(payload + 4, '#', 4);
    EXPECT_EQ(SendTelegram(payload, 3, instance_, 0), 0u);
    EXPECT_EQ(pty_.ReadFor(50), "abcZ\r");
    EXPECT_STREQ(payload, "abc");
    EXPECT_EQ(payload[5], '#') << "nothing written beyond the two frame bytes";
    // The pseudo-terminal has no RTS: both changes fail, are logged, and the send stands.
    const std::string rts = "TRSLNK> Send() EscapeCommFunction() failed";
    EXPECT_EQ(LogLines(), (Lines{{64, rts}, {64, rts}}));
    pty_.Write(Frame("OK\t"));
    char reply[64];
    uint32_t length = 0;
    EXPECT_EQ(ReceiveMsg(reply, &length, instance_, 0, sizeof reply), 0u);
    EXPECT_STREQ(reply, "OK\t") << "the stale reply was thrown away";
}

TEST_F(TelegramTest, ReceiveMsgChecksEveryReply)
{
    const std::string from = ", reading message from controller";
    const struct Row {
        const char *name;
        std::string input;
        uint16_t maxLength;
        uint32_t result;
        std::string payload; /* on success */
        Lines lines;
    } rows[] = {
        {"good", Frame("IDENT=\t005\t"), 10000, 0, "IDENT=\t005\t", {}},
        {"NUL bytes inside", Frame(std::string("a\0b\t", 4)), 100, 0, std::string("a\0b\t", 4), {}},
        {"one byte to spare", Frame("12345678"), 11, 0, "12345678", {}},
        {"wrong checksum", "abcY\r", 100, 1, "", {{64, "TRSLNK> ReceiveMsg() checksum error (90,89)" + from}}},
        {"CR alone", "\r", 100, 1, "", {{64, "TRSLNK> ReceiveMsg() reply too short (1 read)" + from}}},
        {"CR is the last byte the buffer takes", Frame("12345678"), 10, 1, "",
         {{32, "TRSLNK> ReceiveMsg() buffer overflow" + from},
          {32, "TRSLNK> ReceiveMsg() Max. expected bytes: 10 Bytes read: 10"}}},
        {"no CR", "abcZ", 100, 2, "", {{64, "TRSLNK> ReceiveMsg() (SERIAL MODE) error" + from + " (4 read)"}}},
        {"silence", "", 100, 2, "", {{64, "TRSLNK> ReceiveMsg() (SERIAL MODE) error" + from + " (0 read)"}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        trs_test::ClearLog();
        std::vector<char> buffer(row.maxLength, '\x55');
        pty_.Write(row.input);
        ASSERT_TRUE(pty_.WaitForInput(static_cast<int>(row.input.size())));
        uint32_t length = 12345;
        EXPECT_EQ(ReceiveMsg(buffer.data(), &length, instance_, 0, row.maxLength), row.result);
        if (row.result == 0) {
            EXPECT_EQ(std::string(buffer.data(), length), row.payload);
            EXPECT_EQ(buffer[length], '\0');
        }
        EXPECT_EQ(LogLines(), row.lines);
        DrainInput(instance_->comHandle);
    }
}

TEST_F(TelegramTest, ReplyCompletingAtTheDeadlineIsATimeout)
{
    // Deadline two (scaled) seconds away; each byte may take up to 100 s.
    instance_->comTimeout = 0;
    SetReadTimeout(instance_->comHandle, 10000);
    pty_.Write("ab");
    ASSERT_TRUE(pty_.WaitForInput(2));
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty_.Write("cZ\r");
    });
    char buffer[100];
    uint32_t length = 0;
    EXPECT_EQ(ReceiveMsg(buffer, &length, instance_, 0, sizeof buffer), 1u);
    late.join();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReceiveMsg() time-out while reading message from controller (3 read)"), 1u)
        << trs_test::Dump();
}

TEST_F(TelegramTest, LongStreamWithoutCrEndsBoundedEitherWay)
{
    PlatformSetTimeScale(1.0);
    instance_->comTimeout = 294;              /* deadline 5 s away */
    SetReadTimeout(instance_->comHandle, 10); /* but 100 ms per byte */
    const struct Row {
        uint16_t maxLength;
        uint32_t result;
        std::pair<int, std::string> line;
    } rows[] = {
        {65535, 2, {64, "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (60000 read)"}},
        {10000, 1, {32, "TRSLNK> ReceiveMsg() Max. expected bytes: 10000 Bytes read: 10000"}},
    };
    for (const Row &row : rows) {
        trs_test::ClearLog();
        std::atomic<bool> written{false};
        std::thread writer([&] {
            pty_.Write(std::string(60000, 'x'));
            written = true;
        });
        std::vector<char> buffer(row.maxLength);
        uint32_t length = 0;
        EXPECT_EQ(ReceiveMsg(buffer.data(), &length, instance_, 0, row.maxLength), row.result);
        EXPECT_EQ(trs_test::Count(row.line.first, row.line.second), 1u) << trs_test::Dump();
        while (!written)
            DrainInput(instance_->comHandle);
        writer.join();
        DrainInput(instance_->comHandle);
    }
}

TEST(StatusText, KnownCodesUnknownOnesAroundThemAndPerThreadText)
{
    const std::pair<uint32_t, const char *> rows[] = {
        {0, "STATUS OK"},
        {1, "command without object"},
        {2, "system busy"},
        {3, "unknown status 3"},
        {127, "unknown status 127"},
        {128, "protocol error (unknown cmd?"},
        {132, "access not allowed (invalid access code?)"},
        {137, "'(' missing"},
        {147, "empty token error"},
        {148, "unknown status 148"},
        {4294967295u, "unknown status 4294967295"},
    };
    for (const auto &[code, text] : rows)
        EXPECT_STREQ(WitStatusText(code), text) << code;

    const char *mine = WitStatusText(3);
    std::string other;
    std::thread([&] {
        const char *text = WitStatusText(200);
        for (int i = 0; i < 1000; i++)
            WitStatusText(static_cast<uint32_t>(1000 + i));
        other = text;
    }).join();
    EXPECT_STREQ(mine, "unknown status 3") << "another thread's codes leave this one's text alone";
    EXPECT_EQ(other, "unknown status 1999");
    WitStatusText(4);
    EXPECT_STREQ(mine, "unknown status 4") << "on one thread the next code overwrites the text";
}

TEST(Statut, IsReadAtTheFirstStatut)
{
    const struct Row {
        const char *reply;
        bool has, read;
        uint32_t status;
    } rows[] = {
        {"STATUT\t000\t", true, true, 0},       {"PLC1\tSTATUT\t132\t", true, true, 132},
        {"STATUT\t7\t", true, true, 7},         {"STATUT\t1234\t", true, true, 123}, /* three digits at most */
        {"STATUT\tabc\tSTATUT\t001\t", true, false, 0}, {"STATUT", true, false, 0},
        {"VAR=\t12\t", false, false, 0},        {"", false, false, 0},
    };
    for (const Row &row : rows) {
        uint32_t status = 999;
        EXPECT_EQ(ReplyHasStatut(row.reply), row.has) << row.reply;
        EXPECT_EQ(ReadStatut(row.reply, &status), row.read) << row.reply;
        if (row.read) {
            EXPECT_EQ(status, row.status) << row.reply;
        }
    }
}

// What another thread gets when it tries the bus mutex without waiting (and gives it back).
int OtherThreadTry(DriverInstance *instance)
{
    int got = -1;
    std::thread([&] {
        got = PlatformWaitMutex(instance->busMutex, 0);
        if (got == MUTEX_ACQUIRED)
            PlatformReleaseMutex(instance->busMutex);
    }).join();
    return got;
}

TEST_F(TelegramTest, BusMutexReleasesMustMatchTakesOnTheTakingThread)
{
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(ReqSem(instance_), 0u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(OtherThreadTry(instance_), MUTEX_TIMEOUT) << "still held after " << i << " releases";
        uint32_t result = 0;
        std::thread([&] { result = RelSem(instance_); }).join();
        EXPECT_EQ(result, 2u) << "released by another thread";
        EXPECT_EQ(RelSem(instance_), 0u);
    }
    EXPECT_EQ(OtherThreadTry(instance_), MUTEX_ACQUIRED);
    EXPECT_EQ(RelSem(instance_), 2u) << "one release too many";

    PlatformMutex *mutex = instance_->busMutex;
    instance_->busMutex = nullptr;
    EXPECT_EQ(ReqSem(instance_), 2u);
    EXPECT_EQ(RelSem(instance_), 2u);
    instance_->busMutex = mutex;
    const std::string relError = "TRSLNK> RelSem() ERROR releasing MUTEX semaphore ";
    EXPECT_EQ(LogLines(), (Lines{{32, relError + "1"}, {32, relError + "1"}, {32, relError + "1"}, {32, relError + "1"},
                                 {32, "TRSLNK> ReqSem() ERROR requesting MUTEX semaphore 22"},
                                 {32, relError + "22"}}));
}

TEST_F(TelegramTest, BusMutexTimedOutWaitIsLoggedAndWaitedOut)
{
    instance_->hostTimeoutMs = 100; /* 3 s periods, 30 ms at this scale */
    ASSERT_EQ(ReqSem(instance_), 0u);
    std::atomic<bool> released{false}, sawReleased{false};
    uint32_t result = 99;
    std::thread waiter([&] {
        result = ReqSem(instance_);
        sawReleased = released.load();
        RelSem(instance_);
    });
    const std::string timeout = "TRSLNK> ReqSem() TIMEOUT requesting MUTEX semaphore";
    for (int i = 0; i < 5000 && trs_test::Count(32, timeout) < 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(trs_test::Count(32, timeout), 2u);
    released = true;
    EXPECT_EQ(RelSem(instance_), 0u);
    waiter.join();
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(sawReleased) << "the waiter ran its exchange while the mutex was held";
}

} // namespace
