#include "SimClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "sim/Simulator.h"

namespace sim_test {

bool Client::OpenPty(const std::string &path, bool makeRaw) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return false;
    if (!makeRaw) return true;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    return ::tcsetattr(fd_, TCSANOW, &tio) == 0;
}

bool Client::ConnectTcp(uint16_t port) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

bool Client::Send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

namespace {

template <typename Done>
std::string ReadWhile(int fd, std::chrono::milliseconds timeout, Done done) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(out)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char c;
        if (::read(fd, &c, 1) != 1) break;
        out += c;
    }
    return out;
}

} // namespace

std::string Client::ReadFrame(std::chrono::milliseconds timeout) {
    return ReadWhile(fd_, timeout, [](const std::string &s) { return !s.empty() && s.back() == '\r'; });
}

bool Client::PeerGone(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char c;
    return ::read(fd_, &c, 1) <= 0;
}

std::string Client::ReadBytes(size_t n, std::chrono::milliseconds timeout) {
    return ReadWhile(fd_, timeout, [n](const std::string &s) { return s.size() >= n; });
}

void AddStandardStations(trs::sim::Simulator &sim) {
    const struct {
        uint32_t identity;
        const char *name, *code;
        bool secondary;
    } stations[] = {{5, "PLC1", "1234", false}, {7, "SEC7", "77", true}, {9, "", "99", false}};
    for (const auto &s : stations) {
        trs::sim::StationConfig station;
        station.identity = s.identity;
        station.name = s.name;
        station.accessCode = s.code;
        station.secondary = s.secondary;
        sim.AddStation(station);
    }
}

std::string OpenPtyLine(trs::sim::Simulator &sim, Client &client, bool makeRaw) {
    std::string error;
    auto path = sim.OpenPty(&error);
    EXPECT_TRUE(path) << error;
    return path && client.OpenPty(*path, makeRaw) ? *path : std::string();
}

} // namespace sim_test
