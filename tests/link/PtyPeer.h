// A pseudo-terminal line with a scripted station on its master side, for the link tests.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/Instance.h"

namespace link_test {

// payload + checksum character + CR, computed here independently of the driver.
std::string Frame(const std::string &payload);

// The logged lines as (level, text), only those of `level` when it is not -1.
std::vector<std::pair<int, std::string>> LogLines(int level = -1);

class Pty {
public:
    Pty();
    ~Pty() { CloseMaster(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &Path() const { return path_; }          // "/dev/pts/N"
    std::string DevName() const { return path_.substr(5); }    // "pts/N", a port name under /dev
    int Master() const { return master_; }
    void CloseMaster();
    void Write(const std::string &bytes);
    std::string ReadFor(int waitMs); // all that arrives until waitMs pass without a byte
    bool WaitForInput(int bytes) const; // until the slave side has `bytes` bytes to read

private:
    int master_ = -1;
    std::string path_;
};

// Records, in order, "WAKE" for the wake-up sequence, "STX", every telegram's payload and
// "BAD:" + frame for a wrong checksum. The responder gives the raw answer; nullopt hangs up.
class Peer {
public:
    using Responder = std::function<std::optional<std::string>(const std::string &payload)>;

    Peer(Pty &pty, Responder responder);
    ~Peer();
    std::vector<std::string> Events();
    std::string Wire(); // every byte received

private:
    void Take(char byte);

    Pty &pty_;
    Responder responder_;
    std::atomic<bool> stop_{false};
    std::mutex guard_;
    std::vector<std::string> events_;
    std::string wire_, pending_;
    bool hungUp_ = false;
    std::thread thread_;
};

// An instance on the slave side of `pty`, opened as ColdStart does (7E1 1200 baud); the read
// time-out of 1000 is 100 ms at the tests' time scale of 0.01.
DriverInstance *OpenInstance(const Pty &pty, uint32_t comTimeout = 1000);
void CloseInstance(DriverInstance *instance);

} // namespace link_test
