// A pseudo-terminal line with a scripted station on its master side, for the link tests.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/Instance.h"

namespace link_test {

// payload + checksum character + CR, computed here independently of the driver.
std::string Frame(const std::string &payload);

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const std::string &Path() const { return path_; } // "/dev/pts/N"
    std::string DevName() const;                      // "pts/N", as a port name under /dev
    int Master() const { return master_; }
    void CloseMaster();
    void Write(const std::string &bytes);
    // Everything that arrives within waitMs after the last byte (at least one wait).
    std::string ReadFor(int waitMs);

private:
    int master_ = -1;
    std::string path_;
};

// The events the scripted station saw, in order: "WAKE" for the wake-up sequence, "STX", the
// payload of every telegram, and "BAD:" + frame for a telegram with a wrong checksum.
class Peer {
public:
    // Returns the raw bytes to answer a telegram's payload with; nullopt hangs up the line.
    using Responder = std::function<std::optional<std::string>(const std::string &payload)>;

    Peer(Pty &pty, Responder responder);
    ~Peer();
    std::vector<std::string> Events();
    std::string Wire(); // every byte received
    bool WaitForEvents(size_t n, int timeoutMs);

private:
    void Run();
    void Take(char byte);

    Pty &pty_;
    Responder responder_;
    std::atomic<bool> stop_{false};
    std::mutex guard_;
    std::vector<std::string> events_;
    std::string wire_;
    std::string pending_;
    bool hungUp_ = false;
    std::thread thread_;
};

// An instance whose port is the slave side of `pty`, opened as ColdStart does (7E1 1200
// baud) with the read time-out set to comTimeout. The default of 10 s is 100 ms at the
// tests' time scale: a scripted peer on a loaded machine answers well within it.
DriverInstance *OpenInstance(const Pty &pty, uint32_t comTimeout = 1000);
void CloseInstance(DriverInstance *instance);

} // namespace link_test
