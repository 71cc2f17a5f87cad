// Modem mode with every piece real and in one process: the host runtime with its gates,
// the driver called through DrvMain, the multi-modem pool carrying TCP connections, and
// simulated stations at the far end of them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "config/Instance.h"
#include "host/Host.h"
#include "sim/Simulator.h"

namespace modem_it {

// The dial reference under which the pool reaches the simulator's TCP port.
constexpr uint16_t kDialRef = 12;

// The first lines of every initialisation file here. The time-out bounds each reply; a
// station that has gone is noticed at once, so no test waits for it.
constexpr char kModemMode[] = "MODEM = YES\nCOM_TIMEOUT = 5\n";

// The wake-up sequence that every log-on sends ahead of IDENT?.
inline std::string WakeUp()
{
    return std::string("\x03\x1b", 2) + "W06\x03";
}

// Polls until `done` holds; false when it did not within the bound (a safety net against
// hangs, not a measure of speed).
template <typename Predicate> bool WaitUntil(Predicate done, int boundMs = 10000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Logged {
    int level;
    std::string text;
    bool operator==(const Logged &other) const { return level == other.level && text == other.text; }
};
void PrintTo(const Logged &line, std::ostream *out);

class ModemRig : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The initialisation file of drv number 1 in the private working directory.
    void WriteInitFile(const std::string &text);
    // Adds a gate of drv number 1 to the host's database.
    uint32_t AddGate(const std::string &address, uint16_t type = GATE_TYPE_U16, uint32_t recordSetting = 0);
    // Starts the instance through DrvMain (code 1) and binds every gate (code 3).
    void Start(unsigned expectedBound);

    DriverInstance *Instance() const;
    StationRecord *Station(uint32_t number) const;

    // Calls the simulator through the pool, as a connect command does, and hands the
    // reference to the station.
    uint16_t Dial(uint32_t station);

    // Log lines since the last ClearLog, and positions in them.
    std::vector<Logged> Lines() const;
    size_t Count(int level, const std::string &text) const;
    long IndexOf(int level, const std::string &text) const;
    // Lines whose text starts with this prefix, in their order.
    std::vector<Logged> LinesStartingWith(const std::string &prefix) const;

    kiv::Runtime &Runtime() const { return kiv::Runtime::Get(); }
    kiv::GateState Gate(uint32_t id) const;

    trs::sim::Simulator simulator_;
    kiv::DriverHost host_;
    uint16_t simulatorPort_ = 0;

private:
    std::string directory_, previous_;
};

} // namespace modem_it
