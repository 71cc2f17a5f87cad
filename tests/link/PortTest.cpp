// The serial port operations and the telegram layer over pseudo-terminals and the null device.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>

#include "link/Port.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "sim/Simulator.h"
#include "support/Support.h"

namespace {

using Lines = std::vector<trs_test::Line>;
using trs::sim::Frame;
const LineSettings k7E1 = {1200, 7, 0, 2};

// A pseudo-terminal whose master side the test plays.
class Pty {
public:
    Pty() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        char name[128] = {};
        EXPECT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 && ptsname_r(master_, name, sizeof name) == 0);
        path_ = name;
    }
    ~Pty() { CloseMaster(); }
    const std::string &Path() const { return path_; }
    void CloseMaster() { master_ = master_ >= 0 ? close(master_), -1 : -1; }
    void Write(const std::string &bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())) << strerror(errno); }
    std::string ReadFor(int waitMs) // all that arrives until waitMs pass without a byte
    {
        std::string out;
        char buffer[4096];
        ssize_t n;
        for (pollfd ready = {master_, POLLIN, 0}; poll(&ready, 1, waitMs) > 0 && (n = read(master_, buffer, sizeof buffer)) > 0;)
            out.append(buffer, size_t(n));
        return out;
    }
    bool WaitForInput(int bytes, bool drained = false) const // until the slave side has `bytes` (or, drained, no) bytes to read
    {
        int fd = open(path_.c_str(), O_RDWR | O_NOCTTY), waiting = 0;
        bool ok = trs_test::WaitUntil([&] { return ioctl(fd, FIONREAD, &waiting) == 0 && (drained ? waiting == 0 : waiting >= bytes); }, 2000);
        close(fd);
        return ok;
    }

private:
    int master_;
    std::string path_;
};

class PortTest : public ::testing::Test {
protected:
    void SetUp() override { PlatformSetTimeScale(0.01); trs_test::ClearLog(); }
    void TearDown() override { PlatformSetTimeScale(1.0); }
    static PortHandle Open(const std::string &name, const LineSettings &settings = k7E1)
    {
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(name.c_str(), &settings, 0x0303, &handle), 0u) << name;
        return handle;
    }
};

TEST_F(PortTest, OpenResolvesNamesAndReportsEachFailure)
{
    Pty pty;
    char file[] = "/tmp/link-port-XXXXXX";
    close(mkstemp(file));
    const std::pair<std::string, uint32_t> rows[] = {
        {"NUL", PORT_OK}, {pty.Path().substr(5), PORT_OK} /* under /dev */, {pty.Path(), PORT_OK},
        {"ttyNoSuchLine", PORT_OPEN_FAILED}, {"", PORT_OPEN_FAILED}, {file, PORT_STATE_FAILED} /* no terminal */,
    };
    for (const auto &[name, code] : rows) {
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(name.c_str(), &k7E1, 0x0303, &handle), code) << name;
        EXPECT_EQ(handle != 0, code == PORT_OK) << name;
        if (handle) {
            EXPECT_EQ(ClosePort(handle), PORT_OK) << name;
        }
    }
    unlink(file);
    // The null device is never configured nor locked, takes every byte and gives none.
    PortHandle first = Open("NUL"), second = Open("NUL");
    EXPECT_EQ(SetReadTimeout(first, 100), 0u);
    uint32_t count = 99;
    EXPECT_EQ(WritePort(first, "12345", 5, &count), PORT_OK);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(ReadPort(first, file, 1, &count), PORT_SYSTEM_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ClosePort(second) + ClosePort(first), 0u);
}

TEST_F(PortTest, PortIsHeldExclusivelyWithinAndAcrossProcesses)
{
    Pty pty;
    auto openInChild = [&] {
        pid_t child = fork();
        if (child == 0) {
            PortHandle handle = 0;
            _exit(static_cast<int>(OpenPort(pty.Path().c_str(), &k7E1, 0x0303, &handle)));
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    PortHandle handle = Open(pty.Path()), other = 0;
    EXPECT_EQ(OpenPort(pty.Path().c_str(), &k7E1, 0x0303, &other), PORT_OPEN_FAILED);
    EXPECT_EQ(openInChild(), PORT_OPEN_FAILED);
    DriverInstance *instance = trs_test::NewInstance(1);
    CopyText(instance->portName, sizeof instance->portName, pty.Path().substr(5).c_str());
    instance->lineSettings = k7E1;
    EXPECT_EQ(OpenCom(instance), 0u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> OpenCom() exited with error"), 1u) << trs_test::Dump();
    EXPECT_EQ(ClosePort(handle), PORT_OK);
    EXPECT_EQ(openInChild(), PORT_OK);
    PortHandle reopened = OpenCom(instance);
    ASSERT_NE(reopened, 0u);
    EXPECT_EQ(trs_test::Logged().back(),
              trs_test::Line(64, "TRSLNK> OpenCom() exited OK, file handle " + std::to_string(PortHandleNumber(reopened))));
    EXPECT_NE(fcntl(static_cast<int>(PortHandleNumber(reopened)), F_GETFD), -1) << "the number is the open descriptor";
    EXPECT_EQ(ClosePort(reopened), PORT_OK);
    trs_test::FreeInstance(instance);
}

TEST_F(PortTest, ReadTimeoutIsKeptAndAPartialReadIsARead)
{
    Pty pty;
    PortHandle handle = Open(pty.Path());
    const uint32_t steps[][2] = {{100, 100}, {5, 100}, {2000, 5}, {1, 2000}}; /* set, previous */
    for (const auto &step : steps)
        EXPECT_EQ(SetReadTimeout(handle, step[0]), step[1]) << step[0];
    char buffer[16] = {};
    uint32_t read = 99;
    EXPECT_EQ(ReadPort(handle, buffer, 1, &read), PORT_SYSTEM_ERROR) << "nothing came";
    EXPECT_EQ(read, 0u);
    pty.Write("ab");
    EXPECT_EQ(ReadPort(handle, buffer, sizeof buffer, &read), PORT_OK) << "a partial read is a read";
    EXPECT_EQ(std::string(buffer, read), "ab");
    ClosePort(handle);
}

TEST_F(PortTest, DrainInputReadsBlocksAndRestoresTheTimeout)
{
    const std::pair<int, std::vector<uint32_t>> rows[] = {{0, {}}, {1500, {512, 512, 476}}, {1024, {512, 512, 0}}};
    for (const auto &[waiting, reads] : rows) {
        Pty pty;
        PortHandle handle = Open(pty.Path());
        SetReadTimeout(handle, 100);
        pty.Write(std::string(waiting, 'd'));
        ASSERT_TRUE(pty.WaitForInput(waiting));
        PortStatistics before = {}, after = {};
        PortGetStatistics(handle, &before);
        EXPECT_EQ(DrainInput(handle), 0u);
        PortGetStatistics(handle, &after);
        ASSERT_EQ(after.portReads - before.portReads, reads.size());
        EXPECT_EQ(std::vector<uint32_t>(after.recentReads + 8 - reads.size(), after.recentReads + 8), reads);
        EXPECT_EQ(SetReadTimeout(handle, 100), 100u) << "time-out restored";
        EXPECT_EQ(ReadPort(handle, &before, 1, nullptr), PORT_SYSTEM_ERROR) << "input left";
        ClosePort(handle);
    }
}

TEST_F(PortTest, LinesThatTakeNothingOrHaveGone)
{
    PlatformSetTimeScale(0.001);
    Pty full; /* nobody reads the master side */
    PortHandle handle = Open(full.Path(), LineSettings{57600, 8, 0, 0});
    std::string bytes(300000, 'w');
    uint32_t written = 0;
    EXPECT_EQ(WritePort(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), PORT_SHORT_WRITE);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, bytes.size());
    ClosePort(handle);
    PlatformSetTimeScale(1.0); /* a full second per read: a wait would show as a hang */
    Pty pty;
    handle = Open(pty.Path());
    pty.CloseMaster();
    char byte = 0;
    uint32_t count = 99;
    for (PortHandle h : {handle, handle, PortHandle(0)}) {
        EXPECT_EQ(ReadPort(h, &byte, 1, &count), PORT_SYSTEM_ERROR) << h;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(WritePort(h, &byte, 1, &count), PORT_SYSTEM_ERROR) << h;
    }
    EXPECT_EQ(ClosePort(handle), PORT_OK);
    EXPECT_EQ(ClosePort(0), PORT_SYSTEM_ERROR);
    EXPECT_EQ(SetReadTimeout(0, 100) + PortHandleNumber(0), 0u);
    EXPECT_EQ(DrainInput(0), 1u);
    EXPECT_FALSE(PortSetRts(0, true) || PortOutputQueue(0, &count) || PortPurgeOutput(0));
}

class TelegramTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        instance_ = trs_test::NewInstance(1);
        instance_->comTimeout = 1000;
        instance_->comHandle = Open(pty_.Path());
        SetReadTimeout(instance_->comHandle, 1000); /* 100 ms per byte at this scale */
    }
    void TearDown() override
    {
        ClosePort(instance_->comHandle);
        trs_test::FreeInstance(instance_);
        PortTest::TearDown();
    }
    Pty pty_;
    DriverInstance *instance_ = nullptr;
};

TEST_F(TelegramTest, SendThrowsAwayStaleInputFramesAndRestoresThePayload)
{
    pty_.Write("stale reply\r");
    ASSERT_TRUE(pty_.WaitForInput(12));
    char payload[8] = "abc\0###";
    EXPECT_EQ(SendTelegram(payload, 3, instance_, 0), 0u);
    EXPECT_EQ(pty_.ReadFor(50), "abcZ\r");
    EXPECT_EQ(std::string(payload, 8), std::string("abc\0\r##", 8)) << "nothing written beyond the two frame bytes";
    // The pseudo-terminal has no RTS: both changes fail, are logged, and the send stands.
    EXPECT_EQ(trs_test::Logged(), (Lines{{64, "TRSLNK> Send() EscapeCommFunction() failed"},
                                         {64, "TRSLNK> Send() EscapeCommFunction() failed"}}));
    pty_.Write(Frame("OK\t"));
    char reply[64];
    EXPECT_EQ(ReceiveMsg(reply, nullptr, instance_, 0, sizeof reply), 0u);
    EXPECT_STREQ(reply, "OK\t") << "the stale reply was thrown away";
}

TEST_F(TelegramTest, ReceiveMsgChecksEveryReply)
{
    const std::string from = ", reading message from controller";
    const struct { std::string input; uint16_t maxLength; uint32_t result; Lines lines; } rows[] = {
        {Frame(std::string("a\0b\t", 4)), 100, 0, {}},
        {Frame("12345678"), 11, 0, {}}, /* one byte to spare */
        {"abcY\r", 100, 1, {{64, "TRSLNK> ReceiveMsg() checksum error (90,89)" + from}}},
        {"\r", 100, 1, {{64, "TRSLNK> ReceiveMsg() reply too short (1 read)" + from}}},
        {Frame("12345678"), 10, 1, /* the CR is the last byte the buffer takes */
         {{32, "TRSLNK> ReceiveMsg() buffer overflow" + from}, {32, "TRSLNK> ReceiveMsg() Max. expected bytes: 10 Bytes read: 10"}}},
        {"abcZ", 100, 2, {{64, "TRSLNK> ReceiveMsg() (SERIAL MODE) error" + from + " (4 read)"}}},
    };
    for (const auto &row : rows) {
        trs_test::ClearLog();
        std::vector<char> buffer(row.maxLength, '\x55');
        pty_.Write(row.input);
        ASSERT_TRUE(pty_.WaitForInput(static_cast<int>(row.input.size())));
        uint32_t length = 12345;
        EXPECT_EQ(ReceiveMsg(buffer.data(), &length, instance_, 0, row.maxLength), row.result);
        if (row.result == 0) {
            EXPECT_EQ(std::string(buffer.data(), length + 1), row.input.substr(0, row.input.size() - 2) + '\0');
        }
        EXPECT_EQ(trs_test::Logged(), row.lines);
        DrainInput(instance_->comHandle);
    }
}

// A reply still coming in when its deadline has passed is a time-out, however fast its bytes.
TEST_F(TelegramTest, ReplyCompletedAfterTheDeadlineIsATimeout)
{
    instance_->comTimeout = 0;                   // the deadline two (scaled) seconds away,
    SetReadTimeout(instance_->comHandle, 10000); // while a byte may take 100 s
    pty_.Write("ab");
    std::thread late([this] {
        ASSERT_TRUE(pty_.WaitForInput(0, true)); // ReceiveMsg runs: its deadline is set
        const time_t now = PlatformDeadlineClock();
        ASSERT_TRUE(trs_test::WaitUntil([&] { return PlatformDeadlineClock() > now + 2; }));
        pty_.Write("cZ\r");
    });
    char buffer[100];
    EXPECT_EQ(ReceiveMsg(buffer, nullptr, instance_, 0, sizeof buffer), 1u);
    late.join();
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, "TRSLNK> ReceiveMsg() time-out while reading message from controller (3 read)"}}));
}

// What another thread gets when it tries the bus mutex without waiting (and gives it back).
int OtherThreadTry(DriverInstance *instance)
{
    int got = -1;
    std::thread([&] {
        if ((got = PlatformWaitMutex(instance->busMutex, 0)) == MUTEX_ACQUIRED)
            PlatformReleaseMutex(instance->busMutex);
    }).join();
    return got;
}

TEST_F(TelegramTest, BusMutexReleasesMustMatchTakesOnTheTakingThread)
{
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(ReqSem(instance_), 0u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(OtherThreadTry(instance_), MUTEX_TIMEOUT) << "still held after " << i << " releases";
        uint32_t result = 0;
        std::thread([&] { result = RelSem(instance_); }).join();
        EXPECT_EQ(result, 2u) << "released by another thread";
        EXPECT_EQ(RelSem(instance_), 0u);
    }
    EXPECT_EQ(OtherThreadTry(instance_), MUTEX_ACQUIRED);
    EXPECT_EQ(RelSem(instance_), 2u) << "one release too many";
    PlatformMutex *mutex = std::exchange(instance_->busMutex, nullptr);
    EXPECT_EQ(ReqSem(instance_) + RelSem(instance_), 4u);
    instance_->busMutex = mutex;
    const std::string relError = "TRSLNK> RelSem() ERROR releasing MUTEX semaphore ";
    EXPECT_EQ(trs_test::Logged(), (Lines{{32, relError + "1"}, {32, relError + "1"}, {32, relError + "1"},
                                         {32, "TRSLNK> ReqSem() ERROR requesting MUTEX semaphore 22"}, {32, relError + "22"}}));
    // A timed-out wait is logged and waited out: the waiter runs its exchange only once released.
    instance_->hostTimeoutMs = 100; /* 3 s periods, 30 ms at this scale */
    ASSERT_EQ(ReqSem(instance_), 0u);
    std::atomic<bool> released{false}, sawReleased{false};
    std::thread waiter([&] {
        EXPECT_EQ(ReqSem(instance_), 0u);
        sawReleased = released.load();
        RelSem(instance_);
    });
    const std::string timeout = "TRSLNK> ReqSem() TIMEOUT requesting MUTEX semaphore";
    EXPECT_TRUE(trs_test::WaitUntil([&] { return trs_test::Count(32, timeout) >= 2; }));
    released = true;
    EXPECT_EQ(RelSem(instance_), 0u);
    waiter.join();
    EXPECT_TRUE(sawReleased);
}

} // namespace
