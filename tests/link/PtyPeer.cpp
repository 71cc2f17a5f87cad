#include "PtyPeer.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "link/Port.h"
#include "platform/Platform.h"
#include "support/Support.h"

namespace link_test {

std::string Frame(const std::string &payload)
{
    unsigned sum = 0;
    for (unsigned char c : payload)
        sum += c;
    return payload + static_cast<char>(0x40 + (64 - sum % 64) % 64) + '\r';
}

std::vector<std::pair<int, std::string>> LogLines(int level)
{
    std::vector<std::pair<int, std::string>> lines;
    for (const auto &line : trs_test::Lines())
        if (level == -1 || line.level == level)
            lines.emplace_back(line.level, line.text);
    return lines;
}

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0)
        ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
    path_ = name;
}

void Pty::CloseMaster()
{
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

void Pty::Write(const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "write to the master failed: " << strerror(errno);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::string Pty::ReadFor(int waitMs)
{
    std::string out;
    char buffer[4096];
    struct pollfd ready = {master_, POLLIN, 0};
    while (poll(&ready, 1, waitMs) > 0 && (ready.revents & POLLIN)) {
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

bool Pty::WaitForInput(int bytes) const
{
    int fd = open(path_.c_str(), O_RDWR | O_NOCTTY);
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

Peer::Peer(Pty &pty, Responder responder) : pty_(pty), responder_(std::move(responder))
{
    thread_ = std::thread([this] {
        char buffer[4096];
        while (!stop_ && !hungUp_) {
            struct pollfd ready = {pty_.Master(), POLLIN, 0};
            if (poll(&ready, 1, 5) <= 0 || !(ready.revents & POLLIN))
                continue;
            ssize_t n = read(pty_.Master(), buffer, sizeof buffer);
            for (ssize_t i = 0; i < n && !hungUp_; i++)
                Take(buffer[i]);
        }
    });
}

Peer::~Peer()
{
    stop_ = true;
    thread_.join();
}

std::vector<std::string> Peer::Events()
{
    std::lock_guard<std::mutex> lock(guard_);
    return events_;
}

std::string Peer::Wire()
{
    std::lock_guard<std::mutex> lock(guard_);
    return wire_;
}

void Peer::Take(char byte)
{
    static const std::string kWakeUp = "\x03\x1bW06\x03";
    std::string payload;
    {
        std::lock_guard<std::mutex> lock(guard_);
        wire_ += byte;
        pending_ += byte;
        // Raw bytes outside telegrams stand in front of the next telegram or alone.
        for (;;) {
            if (pending_.compare(0, kWakeUp.size(), kWakeUp) == 0) {
                events_.push_back("WAKE");
                pending_.erase(0, kWakeUp.size());
            } else if (!pending_.empty() && pending_[0] == '\x02') {
                events_.push_back("STX");
                pending_.erase(0, 1);
            } else {
                break;
            }
        }
        if (byte != '\r')
            return;
        std::string frame = std::move(pending_);
        pending_.clear();
        payload = frame.substr(0, frame.size() >= 2 ? frame.size() - 2 : 0);
        if (frame.size() < 2 || Frame(payload) != frame) {
            events_.push_back("BAD:" + frame);
            return;
        }
        events_.push_back(payload);
    }
    std::optional<std::string> answer = responder_(payload);
    if (!answer) {
        hungUp_ = true;
        pty_.CloseMaster();
    } else if (!answer->empty()) {
        pty_.Write(*answer);
    }
}

DriverInstance *OpenInstance(const Pty &pty, uint32_t comTimeout)
{
    DriverInstance *instance = trs_test::NewInstance(1);
    CopyText(instance->portName, sizeof instance->portName, pty.Path().c_str());
    instance->lineSettings = LineSettings{1200, 7, 0, 2};
    instance->lineControl = 0x0303;
    instance->comTimeout = comTimeout;
    instance->comHandle = OpenCom(instance);
    EXPECT_NE(instance->comHandle.load(), 0u) << trs_test::Dump();
    if (instance->comHandle.load() != 0)
        SetReadTimeout(instance->comHandle, comTimeout);
    return instance;
}

void CloseInstance(DriverInstance *instance)
{
    if (instance->comHandle.load() != 0)
        ClosePort(instance->comHandle.exchange(0));
    trs_test::FreeInstance(instance);
}

} // namespace link_test
