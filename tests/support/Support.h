// Helpers shared by the driver's tests: instances without a host, log checks, waits.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/Instance.h"
#include "host/Host.h"

namespace trs_test {

// A cleared, reset DriverInstance with its bus mutex, as ColdStart leaves it (no file,
// no port, no client). Free it with FreeInstance.
DriverInstance *NewInstance(uint32_t drvNumber = 1);
void FreeInstance(DriverInstance *instance); // frees station records and the mutex
// Switches the instance to modem mode (or back) with its transport, as the MODEM key does.
void SetModemMode(DriverInstance *instance, bool modem);
StationRecord *AddStation(DriverInstance *instance, uint32_t number, const char *name,
                          const char *accessCode, bool secondary = false);
// A gate named by its address, in the host runtime.
uint32_t AddGate(const std::string &address, uint16_t type = GATE_TYPE_U16);
// What a host passes to start an enabled instance on this port (9600 7E1, 15 s host time-out).
ColdStartParams StartParams(const std::string &port);

// The log lines that the host runtime has received since the last ClearLog.
using Line = std::pair<int, std::string>;
std::vector<kiv::LogLine> Lines();
std::vector<Line> Logged(); // the same as (level, text)
void ClearLog();
// Lines with exactly this level and text.
size_t Count(int level, const std::string &text);
// Index of the first line with this level and text, or -1.
long IndexOf(int level, const std::string &text);
// printf-style formatting for expected lines.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
// All lines, one per row with their level, for failure messages.
std::string Dump();

// Polls until `done` holds; false when it did not within the bound (a guard against hangs).
template <typename Predicate> bool WaitUntil(Predicate done, int boundMs = 20000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
inline bool WaitForLine(int level, const std::string &text, int ms = 5000)
{
    return WaitUntil([&] { return Count(level, text) > 0; }, ms);
}

} // namespace trs_test
