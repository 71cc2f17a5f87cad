// The serial port operations over pseudo-terminals and the null device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "PtyPeer.h"
#include "link/Port.h"
#include "platform/Platform.h"
#include "support/Support.h"

using link_test::Pty;

namespace {

const LineSettings k7E1 = {1200, 7, 0, 2};

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PlatformSetTimeScale(0.01);
        trs_test::ClearLog();
    }
    void TearDown() override { PlatformSetTimeScale(1.0); }
};

PortHandle MustOpen(const std::string &name, const LineSettings &settings = k7E1)
{
    PortHandle handle = 0;
    EXPECT_EQ(OpenPort(name.c_str(), &settings, 0x0303, &handle), 0u) << name;
    EXPECT_NE(handle, 0u);
    return handle;
}

TEST_F(PortTest, OpenResolvesNamesAndReportsEachFailure)
{
    Pty pty;
    char file[] = "/tmp/link-port-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    struct Row {
        std::string name;
        uint32_t code;
    } rows[] = {
        {"NUL", PORT_OK}, {pty.DevName(), PORT_OK} /* under /dev */, {pty.Path(), PORT_OK},
        {"ttyNoSuchLine", PORT_OPEN_FAILED}, {"/no/such/line", PORT_OPEN_FAILED}, {"", PORT_OPEN_FAILED},
        {file, PORT_STATE_FAILED} /* opens, but is no terminal */,
    };
    for (const Row &row : rows) {
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(row.name.c_str(), &k7E1, 0x0303, &handle), row.code) << row.name;
        EXPECT_EQ(handle != 0, row.code == PORT_OK) << row.name;
        if (handle != 0) {
            EXPECT_EQ(ClosePort(handle), PORT_OK) << row.name;
        }
    }
    // A failed open left nothing held: the file opens and locks again.
    int again = open(file, O_RDWR);
    EXPECT_GE(again, 0);
    EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
    close(again);
    unlink(file);
    EXPECT_EQ(OpenPort(nullptr, &k7E1, 0x0303, nullptr), PORT_OPEN_FAILED);
}

TEST_F(PortTest, NullDeviceIsNeverConfiguredNorLocked)
{
    PortHandle first = MustOpen("NUL");
    PortHandle second = MustOpen("NUL");
    EXPECT_EQ(SetReadTimeout(first, 100), 0u) << "the null device has no time-outs";
    uint32_t count = 99;
    EXPECT_EQ(WritePort(first, "12345", 5, &count), PORT_OK);
    EXPECT_EQ(count, 5u);
    char byte;
    EXPECT_EQ(ReadPort(first, &byte, 1, &count), PORT_SYSTEM_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ClosePort(second), PORT_OK);
    EXPECT_EQ(ClosePort(first), PORT_OK);
}

TEST_F(PortTest, PortIsHeldExclusivelyWithinAndAcrossProcesses)
{
    Pty pty;
    auto openInChild = [&]() {
        pid_t child = fork();
        if (child == 0) {
            PortHandle handle = 0;
            _exit(static_cast<int>(OpenPort(pty.Path().c_str(), &k7E1, 0x0303, &handle)));
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    PortHandle handle = MustOpen(pty.Path());
    PortHandle other = 0;
    EXPECT_EQ(OpenPort(pty.Path().c_str(), &k7E1, 0x0303, &other), PORT_OPEN_FAILED);
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(openInChild(), PORT_OPEN_FAILED);

    DriverInstance *instance = trs_test::NewInstance(1);
    CopyText(instance->portName, sizeof instance->portName, pty.DevName().c_str());
    instance->lineSettings = k7E1;
    instance->lineControl = 0x0303;
    EXPECT_EQ(OpenCom(instance), 0u);
    EXPECT_EQ(trs_test::Count(32, "TRSLNK> OpenCom() exited with error"), 1u) << trs_test::Dump();

    EXPECT_EQ(ClosePort(handle), PORT_OK);
    EXPECT_EQ(openInChild(), PORT_OK);
    PortHandle reopened = OpenCom(instance);
    ASSERT_NE(reopened, 0u);
    EXPECT_EQ(trs_test::Lines().back().level, 64);
    EXPECT_EQ(trs_test::Lines().back().text,
              "TRSLNK> OpenCom() exited OK, file handle " + std::to_string(PortHandleNumber(reopened)));
    EXPECT_NE(fcntl(static_cast<int>(PortHandleNumber(reopened)), F_GETFD), -1) << "the number is the open descriptor";
    EXPECT_EQ(PortHandleNumber(0), 0u);
    EXPECT_EQ(ClosePort(reopened), PORT_OK);
    trs_test::FreeInstance(instance);
}

TEST_F(PortTest, LineSettingsAreAppliedOrRefusedWithoutHoldingThePort)
{
    struct Row {
        LineSettings settings; /* baud, data bits, stop bits, parity */
        uint32_t code;
        speed_t speed;
    } rows[] = {
        {{1200, 7, 0, 2}, PORT_OK, B1200},   {{9600, 8, 0, 0}, PORT_OK, B9600}, {{57600, 8, 2, 1}, PORT_OK, B57600},
        {{19200, 7, 1, 3}, PORT_OK, B19200}, {{4800, 5, 0, 4}, PORT_OK, B4800},
        {{2400, 0x0107, 0x0100, 0x0102}, PORT_OK, B2400}, /* only the low bytes count */
        {{1234, 7, 0, 2}, PORT_STATE_REFUSED, 0}, {{0, 8, 0, 0}, PORT_STATE_REFUSED, 0},
        {{1200, 9, 0, 0}, PORT_STATE_REFUSED, 0}, {{1200, 4, 0, 0}, PORT_STATE_REFUSED, 0},
        {{1200, 8, 3, 0}, PORT_STATE_REFUSED, 0}, {{1200, 8, 0, 5}, PORT_STATE_REFUSED, 0},
    };
    for (const Row &row : rows) {
        const LineSettings &s = row.settings;
        SCOPED_TRACE(testing::Message() << s.baudRate << " " << s.dataBits << " " << s.stopBits << " " << s.parity);
        Pty pty;
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(pty.Path().c_str(), &s, 0x0303, &handle), row.code);
        if (row.code == PORT_OK) {
            int fd = open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
            struct termios state = {};
            EXPECT_EQ(tcgetattr(fd, &state), 0);
            close(fd);
            EXPECT_EQ(cfgetospeed(&state), row.speed);
            EXPECT_EQ(ClosePort(handle), PORT_OK);
        } else {
            EXPECT_EQ(handle, 0u);
        }
        ClosePort(MustOpen(pty.Path()));
    }
}

TEST_F(PortTest, ReadTimeoutIsKeptAndReadReturnsWhatCame)
{
    Pty pty;
    PortHandle handle = MustOpen(pty.Path());
    const uint32_t steps[][2] = {{100, 100}, {5, 100}, {5, 5}, {2000, 5}, {1, 2000}, {100, 1}}; /* set, previous */
    for (const auto &step : steps)
        EXPECT_EQ(SetReadTimeout(handle, step[0]), step[1]) << step[0];

    char buffer[16] = {};
    uint32_t read = 99;
    EXPECT_EQ(ReadPort(handle, buffer, 1, &read), PORT_SYSTEM_ERROR) << "nothing came";
    EXPECT_EQ(read, 0u);
    pty.Write("hello");
    EXPECT_EQ(ReadPort(handle, buffer, 5, &read), PORT_OK);
    EXPECT_EQ(std::string(buffer, read), "hello");
    pty.Write("ab");
    EXPECT_EQ(ReadPort(handle, buffer, sizeof buffer, &read), PORT_OK) << "a partial read is a read";
    EXPECT_EQ(std::string(buffer, read), "ab");
    EXPECT_EQ(ReadPort(handle, buffer, 1, nullptr), PORT_SYSTEM_ERROR);

    // Byte reads of a waiting reply are served from one system read.
    const std::string reply(200, 'r');
    pty.Write(reply);
    ASSERT_TRUE(pty.WaitForInput(200));
    PortStatistics before = {}, after = {};
    ASSERT_TRUE(PortGetStatistics(handle, &before));
    std::string got;
    for (int i = 0; i < 200 && ReadPort(handle, buffer, 1, &read) == PORT_OK && read == 1; i++)
        got += buffer[0];
    EXPECT_EQ(got, reply);
    ASSERT_TRUE(PortGetStatistics(handle, &after));
    EXPECT_EQ(after.portReads - before.portReads, 200u);
    EXPECT_EQ(after.systemReads - before.systemReads, 1u);
    ClosePort(handle);
}

TEST_F(PortTest, DrainInputReadsBlocksAndRestoresTheTimeout)
{
    struct Row {
        int waiting;
        std::vector<uint32_t> reads; /* sizes of the block reads, in order */
        uint32_t result;
    } rows[] = {{0, {}, 0}, {100, {100}, 0}, {1500, {512, 512, 476}, 0}, {1024, {512, 512, 0}, 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.waiting);
        Pty pty;
        PortHandle handle = MustOpen(pty.Path());
        SetReadTimeout(handle, 100);
        pty.Write(std::string(row.waiting, 'd'));
        ASSERT_TRUE(pty.WaitForInput(row.waiting));
        PortStatistics before = {}, after = {};
        PortGetStatistics(handle, &before);
        EXPECT_EQ(DrainInput(handle), row.result);
        PortGetStatistics(handle, &after);
        ASSERT_EQ(after.portReads - before.portReads, row.reads.size());
        EXPECT_EQ(std::vector<uint32_t>(after.recentReads + 8 - row.reads.size(), after.recentReads + 8), row.reads);
        EXPECT_EQ(SetReadTimeout(handle, 100), 100u) << "time-out restored";
        char byte;
        EXPECT_EQ(ReadPort(handle, &byte, 1, nullptr), PORT_SYSTEM_ERROR) << "input left";
        ClosePort(handle);
    }
}

TEST_F(PortTest, WriteToALineThatTakesNothingEndsShort)
{
    PlatformSetTimeScale(0.001);
    Pty pty; /* nobody reads the master side */
    PortHandle handle = MustOpen(pty.Path(), LineSettings{57600, 8, 0, 0});
    std::string bytes(300000, 'w');
    uint32_t written = 0;
    EXPECT_EQ(WritePort(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), PORT_SHORT_WRITE);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, bytes.size());
    ClosePort(handle);
}

TEST_F(PortTest, VanishedLineOrNoHandleFailsWithoutWaiting)
{
    PlatformSetTimeScale(1.0); /* a full second per read: a wait would show as a hang */
    Pty pty;
    PortHandle handle = MustOpen(pty.Path());
    pty.CloseMaster();
    char byte = 0;
    uint32_t count = 99;
    for (PortHandle h : {handle, handle, PortHandle(0)}) {
        EXPECT_EQ(ReadPort(h, &byte, 1, &count), PORT_SYSTEM_ERROR) << h;
        EXPECT_EQ(count, 0u);
        count = 99;
        EXPECT_EQ(WritePort(h, &byte, 1, &count), PORT_SYSTEM_ERROR) << h;
    }
    EXPECT_EQ(ClosePort(handle), PORT_OK);
    EXPECT_EQ(ClosePort(0), PORT_SYSTEM_ERROR);
    EXPECT_EQ(SetReadTimeout(0, 100), 0u);
    EXPECT_EQ(DrainInput(0), 1u);
    EXPECT_FALSE(PortSetRts(0, true));
    EXPECT_FALSE(PortOutputQueue(0, &count));
    EXPECT_FALSE(PortPurgeOutput(0));
}

} // namespace
