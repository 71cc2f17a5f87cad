// Framing, one exchange over a pseudo-terminal, status texts and the bus mutex.
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "PtyPeer.h"
#include "link/Port.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "support/Support.h"

using link_test::Frame;
using link_test::Pty;

namespace {

const std::string kRtsFailed = "TRSLNK> Send() EscapeCommFunction() failed";

bool WaitForInput(const Pty &pty, int bytes)
{
    int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    int waiting = 0;
    for (int i = 0; fd >= 0 && i < 2000 && waiting < bytes; i++) {
        if (ioctl(fd, FIONREAD, &waiting) != 0)
            break;
        if (waiting < bytes)
            usleep(1000);
    }
    if (fd >= 0)
        close(fd);
    return waiting >= bytes;
}

class TelegramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        trs_test::ClearLog();
        instance_ = link_test::OpenInstance(pty_);
        trs_test::ClearLog();
    }
    void TearDown() override
    {
        link_test::CloseInstance(instance_);
        PlatformSetTimeScale(1.0);
    }

    Pty pty_;
    DriverInstance *instance_ = nullptr;
};

TEST(Checksum, MakesThePayloadSumAMultipleOf64)
{
    struct Row {
        std::string payload;
        char checksum;
    } rows[] = {
        {"abc", 'Z'},                 /* 294 */
        {"", '@'},
        {"@", '@'},                   /* 64 */
        {"\x7f\x01", '@'},            /* 128 */
        {"A", '\x7f'},                /* 65: one short of 128 */
        {"IDENT?\t", 'D'},           /* 444 */
        {"\xff\xff", 'B'},            /* 510: bytes count unsigned */
    };
    for (const Row &row : rows)
        EXPECT_EQ(TelegramChecksum(row.payload.data(), row.payload.size()), row.checksum) << row.payload;
    for (int byte = 0; byte < 256; byte++) {
        char payload[3] = {'x', static_cast<char>(byte), 'y'};
        unsigned char checksum = static_cast<unsigned char>(TelegramChecksum(payload, 3));
        unsigned sum = 'x' + static_cast<unsigned>(byte) + 'y' + checksum;
        EXPECT_GE(checksum, 0x40);
        EXPECT_LE(checksum, 0x7f);
        EXPECT_EQ(sum % 64, 0u) << byte;
    }
}

TEST_F(TelegramTest, SendTelegramFramesAndRestoresThePayload)
{
    char payload[8] = "abc";
    memset(payload + 4, '#', 4);
    EXPECT_EQ(SendTelegram(payload, 3, instance_, 0), 0u);
    EXPECT_EQ(pty_.ReadFor(50), "abcZ\r");
    EXPECT_STREQ(payload, "abc");
    EXPECT_EQ(payload[5], '#') << "nothing written beyond the two frame bytes";
    // The pseudo-terminal has no RTS: both changes fail, are logged, and the send stands.
    EXPECT_EQ(trs_test::Count(64, kRtsFailed), 2u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Lines().size(), 2u) << trs_test::Dump();
}

TEST_F(TelegramTest, SendThrowsAwayStaleInputFirst)
{
    pty_.Write("stale reply\r");
    ASSERT_TRUE(WaitForInput(pty_, 12));
    EXPECT_EQ(Send("\x02", 1, instance_, 0), 0u);
    EXPECT_EQ(pty_.ReadFor(50), "\x02");
    pty_.Write(Frame("OK\t"));
    char reply[64];
    uint32_t length = 0;
    EXPECT_EQ(ReceiveMsg(reply, &length, instance_, 0, sizeof reply), 0u);
    EXPECT_STREQ(reply, "OK\t");
}

struct ReceiveRow {
    const char *name;
    std::string input;
    uint16_t maxLength;
    uint32_t result;
    std::string payload; /* on success */
    std::vector<std::pair<int, std::string>> lines;
};

TEST_F(TelegramTest, ReceiveMsgChecksEveryReply)
{
    const ReceiveRow rows[] = {
        {"good", Frame("IDENT=\t005\t"), 10000, 0, "IDENT=\t005\t", {}},
        {"NUL bytes inside", Frame(std::string("a\0b\t", 4)), 100, 0, std::string("a\0b\t", 4), {}},
        {"one byte to spare", Frame("12345678"), 11, 0, "12345678", {}},
        {"wrong checksum", "abcY\r", 100, 1, "",
         {{64, "TRSLNK> ReceiveMsg() checksum error (90,89), reading message from controller"}}},
        {"CR alone", "\r", 100, 1, "", {{64, "TRSLNK> ReceiveMsg() reply too short (1 read), reading message from controller"}}},
        {"CR is the last byte the buffer takes", Frame("12345678"), 10, 1, "",
         {{32, "TRSLNK> ReceiveMsg() buffer overflow, reading message from controller"},
          {32, "TRSLNK> ReceiveMsg() Max. expected bytes: 10 Bytes read: 10"}}},
        {"no CR", "abcZ", 100, 2, "",
         {{64, "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (4 read)"}}},
        {"silence", "", 100, 2, "",
         {{64, "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (0 read)"}}},
    };
    for (const ReceiveRow &row : rows) {
        SCOPED_TRACE(row.name);
        trs_test::ClearLog();
        std::vector<char> buffer(row.maxLength, '\x55');
        pty_.Write(row.input);
        ASSERT_TRUE(WaitForInput(pty_, static_cast<int>(row.input.size())));
        uint32_t length = 12345;
        EXPECT_EQ(ReceiveMsg(buffer.data(), &length, instance_, 0, row.maxLength), row.result);
        if (row.result == 0) {
            EXPECT_EQ(length, row.payload.size());
            EXPECT_EQ(std::string(buffer.data(), length), row.payload);
            EXPECT_EQ(buffer[length], '\0');
        }
        std::vector<std::pair<int, std::string>> lines;
        for (const auto &line : trs_test::Lines())
            lines.emplace_back(line.level, line.text);
        EXPECT_EQ(lines, row.lines);
        DrainInput(instance_->comHandle);
    }
}

TEST_F(TelegramTest, ReplyCompletingAtTheDeadlineIsATimeout)
{
    // Deadline two (scaled) seconds away; each byte may take up to 100 s.
    instance_->comTimeout = 0;
    SetReadTimeout(instance_->comHandle, 10000);
    pty_.Write("ab");
    ASSERT_TRUE(WaitForInput(pty_, 2));
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
    instance_->comTimeout = 294;                 /* deadline 5 s away */
    SetReadTimeout(instance_->comHandle, 10);    /* but 100 ms per byte */
    struct Row {
        uint16_t maxLength;
        uint32_t result;
        std::string line;
    } rows[] = {
        {65535, 2, "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (60000 read)"},
        {10000, 1, "TRSLNK> ReceiveMsg() Max. expected bytes: 10000 Bytes read: 10000"},
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
        EXPECT_EQ(trs_test::Count(row.result == 1 ? 32 : 64, row.line), 1u) << trs_test::Dump();
        while (!written)
            DrainInput(instance_->comHandle);
        writer.join();
        DrainInput(instance_->comHandle);
    }
}

TEST(StatusText, TableAndUnknownCodes)
{
    struct Row {
        uint32_t code;
        const char *text;
    } rows[] = {
        {0, "STATUS OK"},
        {1, "command without object"},
        {2, "system busy"},
        {3, "unknown status 3"},
        {127, "unknown status 127"},
        {128, "protocol error (unknown cmd?"},
        {129, "syntax error in command"},
        {130, "checksum error in cmd"},
        {131, "command (type) error"},
        {132, "access not allowed (invalid access code?)"},
        {133, "parameter error"},
        {134, "module type error"},
        {135, "access blocked"},
        {136, "syntax error"},
        {137, "'(' missing"},
        {138, "')' missing"},
        {139, "telegram too long"},
        {140, "unknown variable"},
        {141, "type error"},
        {142, "relational operator error"},
        {143, "type compatibility error"},
        {144, "token too long"},
        {145, "missing token error"},
        {146, "invalid token error"},
        {147, "empty token error"},
        {148, "unknown status 148"},
        {4294967295u, "unknown status 4294967295"},
    };
    for (const Row &row : rows)
        EXPECT_STREQ(WitStatusText(row.code), row.text) << row.code;
}

TEST(StatusText, UnknownCodeTextIsPerThread)
{
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
    struct Row {
        const char *reply;
        bool has;
        bool read;
        uint32_t status;
    } rows[] = {
        {"STATUT\t000\t", true, true, 0},
        {"PLC1\tSTATUT\t132\t", true, true, 132},
        {"STATUT\t7\t", true, true, 7},
        {"STATUT\t1234\t", true, true, 123}, /* three digits at most */
        {"STATUT\tabc\tSTATUT\t001\t", true, false, 0},
        {"STATUT", true, false, 0},
        {"VAR=\t12\t", false, false, 0},
        {"", false, false, 0},
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

class BusMutexTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        trs_test::ClearLog();
        instance_ = trs_test::NewInstance(7);
    }
    void TearDown() override
    {
        trs_test::FreeInstance(instance_);
        PlatformSetTimeScale(1.0);
    }
    DriverInstance *instance_ = nullptr;
};

TEST_F(BusMutexTest, ReentrantTakesAreMatchedOneByOne)
{
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(ReqSem(instance_), 0u);
    std::atomic<int> otherGot{-1};
    auto tryOther = [&] {
        std::thread([&] { otherGot = PlatformWaitMutex(instance_->busMutex, 0); }).join();
    };
    for (int i = 0; i < 3; i++) {
        tryOther();
        EXPECT_EQ(otherGot, MUTEX_TIMEOUT) << "still held after " << i << " releases";
        EXPECT_EQ(RelSem(instance_), 0u);
    }
    std::thread([&] {
        otherGot = PlatformWaitMutex(instance_->busMutex, 0);
        PlatformReleaseMutex(instance_->busMutex);
    }).join();
    EXPECT_EQ(otherGot, MUTEX_ACQUIRED);
    EXPECT_TRUE(trs_test::Lines().empty()) << trs_test::Dump();

    EXPECT_EQ(RelSem(instance_), 2u) << "one release too many";
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> RelSem() ERROR releasing MUTEX semaphore 1"), 1u) << trs_test::Dump();
}

TEST_F(BusMutexTest, TimedOutWaitIsLoggedAndWaitedOut)
{
    instance_->hostTimeoutMs = 100; /* 3 s periods, 30 ms at this scale */
    ASSERT_EQ(ReqSem(instance_), 0u);
    std::atomic<bool> released{false};
    std::atomic<bool> sawReleased{false};
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

TEST_F(BusMutexTest, ReleaseByAnotherThreadOrWithoutMutexFails)
{
    ASSERT_EQ(ReqSem(instance_), 0u);
    uint32_t result = 0;
    std::thread([&] { result = RelSem(instance_); }).join();
    EXPECT_EQ(result, 2u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> RelSem() ERROR releasing MUTEX semaphore 1"), 1u) << trs_test::Dump();
    EXPECT_EQ(RelSem(instance_), 0u);

    PlatformMutex *mutex = instance_->busMutex;
    instance_->busMutex = nullptr;
    EXPECT_EQ(ReqSem(instance_), 2u);
    EXPECT_EQ(RelSem(instance_), 2u);
    instance_->busMutex = mutex;
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> ReqSem() ERROR requesting MUTEX semaphore 22"), 1u) << trs_test::Dump();
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> RelSem() ERROR releasing MUTEX semaphore 22"), 1u) << trs_test::Dump();
}

} // namespace
