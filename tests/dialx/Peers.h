// Small TCP peers on 127.0.0.1 for the pool's tests: stations that accept a call, call
// in, answer, fall silent or vanish. Plain blocking sockets, every wait bounded.
#pragma once

#include <cstdint>
#include <string>

namespace dialx_test {

// A station that listens for the pool's outgoing calls.
class Station {
public:
    explicit Station(int backlog = 16);
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;
    uint16_t Port() const { return port_; }
    int Accept(int timeoutMs = 2000); // the accepted descriptor (owned by the caller), or -1
private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A port that is bound but never listens: connecting to it is refused.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort &) = delete;
    ClosedPort &operator=(const ClosedPort &) = delete;
    uint16_t Port() const { return port_; }
private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A listener whose accept queue is full and never drained: a further connect hangs.
class BlackHole {
public:
    BlackHole();
    ~BlackHole();
    BlackHole(const BlackHole &) = delete;
    BlackHole &operator=(const BlackHole &) = delete;
    uint16_t Port() const { return port_; }
private:
    int fd_ = -1;
    uint16_t port_ = 0;
    int fillers_[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
};

// A blocking connect to 127.0.0.1:port; -1 on failure.
int Dial(uint16_t port);
void WriteAll(int fd, const std::string &bytes);
// Reads until `count` bytes have come, the peer closes or timeoutMs passes.
std::string ReadUpTo(int fd, size_t count, int timeoutMs = 2000);
// True when the peer has closed (EOF or reset) within timeoutMs.
bool SeesClose(int fd, int timeoutMs = 3000);
// Closes with a reset instead of an orderly FIN.
void CloseWithReset(int fd);
void Close(int fd);

// A dial directory file in the test's temporary directory; removed on destruction.
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

} // namespace dialx_test

#include <gtest/gtest.h>

#include "dialx/Pool.h"

namespace dialx_test {

// The descriptors the process has open now.
size_t OpenDescriptors();

// Every test starts and ends with a pool that is not initialised and will not find a
// dial directory of its own; whatever the test did, Reset() leaves no socket open.
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(dialx::kConfigEnv, "/nonexistent/dialx-test-none.toml", 1);
        dialx::Reset();
        descriptors_ = OpenDescriptors();
    }
    void TearDown() override
    {
        dialx::Reset();
        EXPECT_EQ(OpenDescriptors(), descriptors_) << "descriptors left open";
    }
    size_t descriptors_ = 0;

    // A dial entry to `port` on 127.0.0.1.
    static void AddEntry(uint16_t ref, uint16_t port, uint32_t connectTimeoutMs = 2000)
    {
        ASSERT_EQ(dialx::AddDialEntry({ref, "127.0.0.1", port, connectTimeoutMs}), "");
    }
};

} // namespace dialx_test
