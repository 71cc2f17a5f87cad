// Small TCP peers on 127.0.0.1 for the pool's tests: stations that accept a call, call
// in, answer, fall silent or vanish. Plain blocking sockets, every wait bounded.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dialx/Pool.h"

namespace dialx_test {

// A socket bound to a free loopback port that never listens: connecting to it is refused.
class ClosedPort {
public:
    ClosedPort();
    virtual ~ClosedPort();
    ClosedPort(const ClosedPort &) = delete;
    ClosedPort &operator=(const ClosedPort &) = delete;
    uint16_t Port() const { return port_; }

protected:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A station that listens for the pool's outgoing calls.
class Station : public ClosedPort {
public:
    explicit Station(int backlog = 16);
    int Accept(int timeoutMs = 2000); // the accepted descriptor (owned by the caller), or -1
};

// A listener whose accept queue is full and never drained: a further connect hangs.
class BlackHole : public ClosedPort {
public:
    BlackHole();
    ~BlackHole() override;

private:
    int fillers_[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

int Dial(uint16_t port); // a blocking connect to 127.0.0.1:port; -1 on failure
// A blocking connect from the numeric address `source` to `destination`:port; -1 on failure.
int DialFrom(const std::string &source, const std::string &destination, uint16_t port);
dialx::SocketAddress Address(const std::string &numeric, uint16_t port);
void WriteAll(int fd, const std::string &bytes);
// Reads until `count` bytes have come, the peer closes or timeoutMs passes.
std::string ReadUpTo(int fd, size_t count, int timeoutMs = 2000);
bool SeesClose(int fd, int timeoutMs = 3000); // the peer closed (EOF or reset) within timeoutMs
void CloseWithReset(int fd);                  // a reset instead of an orderly FIN
void Close(int fd);
size_t OpenDescriptors();
// Reads bytes one DIALX_Receive at a time until `count` or a non-zero status.
int32_t ReceiveBytes(uint16_t ref, size_t count, std::string &got);

// A dial directory file in the temporary directory; removed on destruction.
class TempFile {
public:
    explicit TempFile(const std::string &text);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// Every test starts and ends with a pool that is not initialised and will not find a
// dial directory of its own; whatever the test did, Reset() leaves no socket open. The
// pool's log lines are kept for Logged().
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(dialx::kConfigEnv, "/nonexistent/dialx-test-none.toml", 1);
        dialx::Reset();
        CaptureLog();
        descriptors_ = OpenDescriptors();
    }
    void CaptureLog() // again after a Reset() within a test
    {
        dialx::SetLogSink([this](const std::string &line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        });
    }
    // How many log lines so far contain every one of `parts`.
    size_t Logged(std::initializer_list<std::string> parts)
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        size_t count = 0;
        for (const std::string &line : log_) {
            bool all = true;
            for (const std::string &part : parts)
                all = all && line.find(part) != std::string::npos;
            count += all ? 1 : 0;
        }
        return count;
    }
    void TearDown() override
    {
        dialx::Reset();
        EXPECT_EQ(OpenDescriptors(), descriptors_) << "descriptors left open";
    }
    static void AddEntry(uint16_t ref, uint16_t port, uint32_t connectTimeoutMs = 2000)
    {
        ASSERT_EQ(dialx::AddDialEntry({ref, "127.0.0.1", port, connectTimeoutMs}), "");
    }
    size_t descriptors_ = 0;

private:
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

} // namespace dialx_test
