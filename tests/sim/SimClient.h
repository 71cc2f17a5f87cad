// The driver's end of a simulator line, for tests: a pty slave or a TCP socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "sim/Simulator.h"

namespace sim_test {

class Client {
public:
    Client() = default;
    ~Client() { Close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // As the driver opens the port: O_RDWR|O_NOCTTY, then raw unless told otherwise.
    bool OpenPty(const std::string &path, bool makeRaw = true);
    bool ConnectTcp(uint16_t port);          // to 127.0.0.1
    bool Adopt(int fd) { return Close(), (fd_ = fd) >= 0; } // an accepted socket
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool Send(const std::string &bytes);
    bool SendFrame(const std::string &payload) { return Send(trs::sim::Frame(payload)); }
    // Bytes up to and including the next CR; what arrived when the time ran out otherwise.
    std::string ReadFrame(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // Exactly n bytes, or fewer if the time runs out.
    std::string ReadBytes(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // True when the other end closed: the next read gives EOF or an error, not data.
    bool PeerGone(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // One request, one reply.
    std::string Ask(const std::string &payload) {
        return SendFrame(payload) ? ReadFrame() : std::string("<send failed>");
    }

private:
    int fd_ = -1;
};

// The stations most tests talk to: primary 5 named PLC1 (code 1234), secondary 7 named
// SEC7 (code 77), primary 9 without a name (code 99).
void AddStandardStations(trs::sim::Simulator &sim);

// Opens a pty line of sim and the driver's end of it; the device path, or "" on failure.
std::string OpenPtyLine(trs::sim::Simulator &sim, Client &client, bool makeRaw = true);

// A simulator with the standard stations on a pty, and the driver's end opened.
class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        AddStandardStations(sim);
        devicePath = OpenPtyLine(sim, client);
        ASSERT_FALSE(devicePath.empty());
    }
    trs::sim::Simulator sim;
    Client client;
    std::string devicePath;
};

} // namespace sim_test
