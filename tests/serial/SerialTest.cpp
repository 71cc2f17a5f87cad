// The serial port on real lines: RTS around the transmitter, the character format read
// back, signals during a wait, the reply deadline and UUCP locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "link/Port.h"
#include "link/Telegram.h"
#include "platform/Platform.h"
#include "platform/Serial.h"
#include "support/Support.h"

using Clock = std::chrono::steady_clock;

// While nonzero, the calendar clock of this process steps an hour ahead at every reading.
std::atomic<int> gCalendarStep{0};
extern "C" time_t time(time_t *out)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t seconds = now.tv_sec + (gCalendarStep ? 3600 * gCalendarStep++ : 0);
    return out ? (*out = seconds) : seconds;
}

namespace {

// A device the machine lacks, over a pseudo-terminal: it takes the modem-control lines,
// may pose as a UART, offer RS-485 and pace its output queue at `baud` (0: jammed). A line
// that goes away is among the reliability tests.
struct Fake { bool uart = false, rs485 = false, refuseRts = false;
    int baud = -1, queueQueries = 0, lastWrite = 0; Clock::time_point writtenAt; std::vector<std::string> calls; } gFake;

int FakeIoctl(int fd, unsigned long request, void *argument)
{
    int *word = static_cast<int *>(argument);
    if (request == TIOCMBIS || request == TIOCMBIC) {
        gFake.calls.push_back(std::string(*word & TIOCM_RTS ? "rts" : "dtr") + (request == TIOCMBIS ? " on" : " off"));
        return gFake.refuseRts && (*word & TIOCM_RTS) ? (errno = ENOTTY, -1) : 0;
    }
    if (request == TIOCOUTQ && gFake.baud >= 0) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gFake.writtenAt).count();
        gFake.queueQueries++;
        return *word = std::max(0, gFake.lastWrite - static_cast<int>(ms * gFake.baud / 10000)), 0;
    }
    if ((request == TIOCGRS485 || request == TIOCSRS485) && gFake.rs485) {
        auto *state = static_cast<serial_rs485 *>(argument);
        if (request == TIOCGRS485)
            *state = {};
        else /* 3: on, RTS while sending */
            gFake.calls.push_back("rs485 " + std::to_string(state->flags));
        return 0;
    }
    return kSerialSystemCalls.ioctl(fd, request, argument);
}

const SerialSystemCalls kFake = {
    FakeIoctl,
    tcgetattr,
    tcsetattr,
    [](int fd) { return gFake.calls.push_back("drain"), tcdrain(fd); },
    [](int fd, struct stat *status) {
        int rc = fstat(fd, status);
        status->st_rdev = gFake.uart ? makedev(4, 64) /* ttyS0 */ : status->st_rdev;
        return rc;
    },
    read,
    [](int fd, const void *bytes, size_t count) {
        gFake.calls.push_back("write " + std::to_string(count));
        gFake.lastWrite = static_cast<int>(count);
        gFake.writtenAt = Clock::now();
        return write(fd, bytes, count);
    },
    poll,
};

const LineSettings k7E1 = {1200, 7, 0, 2};

class SerialTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gFake = Fake();
        SerialSetSystemCalls(&kFake);
        ASSERT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
        name_ = ptsname(master_) + 5; /* "pts/N", a name under /dev */
        CopyText(instance_->portName, sizeof instance_->portName, name_.c_str());
        instance_->lineSettings = k7E1;
    }
    void TearDown() override
    {
        ClosePort(instance_->comHandle.exchange(0));
        trs_test::FreeInstance(instance_);
        close(master_);
        SerialSetSystemCalls(nullptr);
        PlatformSetTimeScale(1.0);
    }
    PortHandle Open(uint16_t lineControl = 0x0303, bool rs485 = false, int baud = -1, bool uart = false)
    {
        gFake = Fake();
        gFake.rs485 = rs485, gFake.baud = baud, gFake.uart = uart;
        instance_->lineControl = lineControl;
        instance_->comHandle = OpenCom(instance_);
        SetReadTimeout(instance_->comHandle, instance_->comTimeout);
        trs_test::ClearLog();
        return instance_->comHandle;
    }

    int master_ = posix_openpt(O_RDWR | O_NOCTTY);
    std::string name_;
    DriverInstance *instance_ = trs_test::NewInstance(1);
};

TEST_F(SerialTest, RtsDropsOnceTheTransmitterIsEmptyWithoutSpinning)
{
    const struct Row { uint16_t lineControl; bool rs485; int baud; std::vector<std::string> calls; const char *line; } rows[] = {
        {0x0303, false, 1200, {"dtr on", "rts on", "rts on", "write 30", "drain", "rts off"}, nullptr}, /* 250 ms */
        {0x0303, false, 0, {"dtr on", "rts on", "rts on", "write 30", "rts off"},
         "TRSLNK> Send() output queue not empty (30 bytes)"},
        {0x2000, false, -1, {"dtr off", "rts off", "rts on", "write 30", "drain", "rts off"}, nullptr},
        {0x2000, true, -1, {"dtr off", "rs485 3", "write 30", "drain", "rs485 0"}, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(&row - rows);
        PlatformSetTimeScale(row.baud == 0 ? 0.01 : 1.0);
        instance_->lineSettings = {1200, 8, 0, 0}; /* a UART keeps the format it is given */
        ASSERT_NE(Open(row.lineControl, row.rs485, row.baud, true), 0u);
        EXPECT_EQ(Send(std::string(30, 'x').c_str(), 30, instance_, 0), 0u);
        ClosePort(instance_->comHandle.exchange(0));
        EXPECT_EQ(gFake.calls, row.calls);
        EXPECT_EQ(trs_test::Lines().size(), row.line ? trs_test::Count(64, row.line) : 0u) << trs_test::Dump();
        EXPECT_LE(gFake.queueQueries, 10) << "the queue was asked over and over";
        tcflush(master_, TCIOFLUSH);
    }
}

// A device without modem-control lines is asked for RTS once per open port; every send
// still logs both refusals, as if it had been asked.
TEST_F(SerialTest, RefusedRtsIsNotAskedAgainButStillLogged)
{
    instance_->lineSettings = {9600, 8, 0, 0}; /* a UART keeps the format it is given */
    ASSERT_NE(Open(0x0303, false, -1, true), 0u);
    gFake.calls.clear();
    gFake.refuseRts = true;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(Send("abc", 3, instance_, 0), 0u);
    EXPECT_EQ(gFake.calls, (std::vector<std::string>{"rts on", "write 3", "drain", "write 3", "drain", "write 3", "drain"}));
    EXPECT_EQ(trs_test::Count(64, "TRSLNK> Send() EscapeCommFunction() failed"), 6u) << trs_test::Dump();
}

TEST_F(SerialTest, CharacterFormatIsReadBackExceptOnPseudoTerminals)
{
    const std::string refused = "TRSLNK> OpenPort() port " + name_ + " refused 1200 7E1, it kept 1200 8N1";
    const std::tuple<bool, LineSettings, uint32_t> rows[] = {/* a UART or not, asked, result */
                                                             {false, k7E1, PORT_OK},
                                                             {false, k7E1, PORT_OK} /* a second 7E1 request fails */,
                                                             {true, k7E1, PORT_STATE_REFUSED},
                                                             {true, {9600, 8, 0, 0}, PORT_OK}};
    for (const auto &[uart, settings, code] : rows) {
        gFake.uart = uart;
        trs_test::ClearLog();
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(name_.c_str(), &settings, 0x0303, &handle), code) << uart;
        EXPECT_EQ(trs_test::Count(32, refused), code == PORT_OK ? 0u : 1u);
        EXPECT_EQ(trs_test::Lines().size(), trs_test::Count(32, refused)) << trs_test::Dump();
        ClosePort(handle);
    }
}

TEST_F(SerialTest, SignalsDoNotRestartTheReadWait)
{
    struct sigaction action = {}, previous;
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, &previous); /* no SA_RESTART: every signal breaks the wait */
    ASSERT_NE(Open(), 0u);
    SetReadTimeout(instance_->comHandle, 30);
    std::atomic<bool> done{false};
    int signals = 0;
    std::thread signaller([&, waiter = pthread_self()] {
        for (auto end = Clock::now() + std::chrono::seconds(5); !done && Clock::now() < end; signals++) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    auto start = Clock::now();
    char byte;
    EXPECT_EQ(ReadPort(instance_->comHandle, &byte, 1, nullptr), PORT_SYSTEM_ERROR);
    auto took = Clock::now() - start;
    done = true;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(signals, 20);
    EXPECT_GE(took, std::chrono::milliseconds(250)) << "a signal cut the wait short";
    EXPECT_LT(took, std::chrono::seconds(3)) << "every signal restarted the wait";
}

TEST_F(SerialTest, ReplyDeadlineIgnoresStepsOfTheCalendarClock)
{
    ASSERT_NE(Open(), 0u);
    ASSERT_EQ(write(master_, "abcZ\r", 5), 5);
    gCalendarStep = 1;
    const time_t first = ::time(nullptr);
    EXPECT_GE(::time(nullptr) - first, 3600) << "the calendar clock steps";
    char reply[16];
    EXPECT_EQ(ReceiveMsg(reply, nullptr, instance_, 0, sizeof reply), 0u) << trs_test::Dump();
    gCalendarStep = 0;
}

TEST_F(SerialTest, UucpLockSharesThePortWithOtherPrograms)
{
    char folder[] = "/tmp/serial-locks-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    SerialSetLockFolder(folder);
    const std::string lock = std::string(folder) + "/LCK..pts_" + name_.substr(4), none = "(none)";
    auto pid = [](pid_t owner) { return trs_test::Format("%10d\n", static_cast<int>(owner)); };
    pid_t gone = fork(), live = gone ? fork() : 0;
    if (!gone || !live) /* one ends at once, the other owns a lock as another program would */
        _exit(gone ? pause() : 0);
    waitpid(gone, nullptr, 0);
    const std::string rows[][4] = {/* lock before, code, lock while open, lock after close */
                                   {none, "0", pid(getpid()), none},
                                   {pid(gone), "0", pid(getpid()), none},
                                   {pid(live), "1", pid(live), pid(live)}};
    for (const auto &row : rows) {
        if (row[0] != none)
            std::ofstream(lock) << row[0];
        PortHandle handle = 0;
        EXPECT_EQ(std::to_string(OpenPort(name_.c_str(), &k7E1, 0x0303, &handle)), row[1]) << row[0];
        for (const std::string &expected : {row[2], row[3]}) {
            std::ifstream in(lock);
            EXPECT_EQ(in ? std::string(std::istreambuf_iterator<char>(in), {}) : none, expected);
            ClosePort(std::exchange(handle, 0));
        }
    }
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
    unlink(lock.c_str());
    PortHandle null = 0;
    EXPECT_EQ(OpenPort("NUL", &k7E1, 0x0303, &null), PORT_OK);
    EXPECT_EQ(rmdir(folder), 0) << "the null device took a lock";
    // A lock folder that is missing or cannot be one refuses no port.
    for (const std::string &where : {std::string(folder), std::string("/dev/null/locks")}) {
        SerialSetLockFolder(where.c_str());
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(name_.c_str(), &k7E1, 0x0303, &handle), PORT_OK) << where;
        ClosePort(handle);
    }
    ClosePort(null);
    SerialSetLockFolder(nullptr);
}

} // namespace
