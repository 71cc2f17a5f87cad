// Helpers shared by the driver's tests: instances without a host, log checks.
#pragma once

#include <string>
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

// The log lines that the host runtime has received since the last ClearLog.
std::vector<kiv::LogLine> Lines();
void ClearLog();
// Lines with exactly this level and text.
size_t Count(int level, const std::string &text);
// Waits (up to `ms` real milliseconds) until a line with this level and text arrived.
bool WaitForLine(int level, const std::string &text, unsigned ms = 5000);
// printf-style formatting for expected lines.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
// All lines, one per row with their level, for failure messages.
std::string Dump();

} // namespace trs_test
