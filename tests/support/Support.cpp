#include "support/Support.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "config/Config.h"
#include "config/Lifecycle.h"
#include "platform/Platform.h"

namespace trs_test {

DriverInstance *NewInstance(uint32_t drvNumber)
{
    DriverInstance *instance = static_cast<DriverInstance *>(calloc(1, sizeof(DriverInstance)));
    if (!instance)
        abort();
    ResetInstance(instance);
    instance->drvNumber = drvNumber;
    instance->comTimeout = 100;
    instance->hostTimeoutMs = 15000;
    instance->busMutex = PlatformOpenNamedMutex(Format("TRSLNK%02uMUTEX", drvNumber).c_str(), nullptr);
    return instance;
}

void SetModemMode(DriverInstance *instance, bool modem)
{
    instance->modemMode = modem ? 1 : 0;
    ChooseTransport(instance);
}

void FreeInstance(DriverInstance *instance)
{
    if (!instance)
        return;
    for (auto &slot : instance->stations)
        delete slot.exchange(nullptr);
    PlatformCloseNamedMutex(instance->busMutex);
    free(instance);
}

StationRecord *AddStation(DriverInstance *instance, uint32_t number, const char *name, const char *accessCode,
                          bool secondary)
{
    StationRecord *record = new StationRecord();
    record->connRef = 255;
    CopyText(record->name, sizeof record->name, name);
    CopyText(record->accessCode, sizeof record->accessCode, accessCode);
    record->disconnectAfterRead = 1;
    record->secondary = secondary ? 1 : 0;
    delete instance->stations[number].exchange(record);
    return record;
}

uint32_t AddGate(const std::string &address, uint16_t type)
{
    kiv::GateSpec spec;
    spec.name = spec.address = address;
    spec.type = type;
    return kiv::Runtime::Get().AddGate(spec);
}

ColdStartParams StartParams(const std::string &port)
{
    ColdStartParams params{};
    CopyText(params.portName, sizeof params.portName, port.c_str());
    params.enabled = 1;
    params.hostTimeout = 1500;
    params.lineSettings = LineSettings{9600, 7, 0, 2};
    return params;
}

std::vector<kiv::LogLine> Lines() { return kiv::Runtime::Get().Log(); }
void ClearLog() { kiv::Runtime::Get().ClearLog(); }

std::vector<Line> Logged()
{
    std::vector<Line> lines;
    for (const auto &line : Lines())
        lines.emplace_back(line.level, line.text);
    return lines;
}

size_t Count(int level, const std::string &text)
{
    auto lines = Logged();
    return std::count(lines.begin(), lines.end(), Line(level, text));
}

long IndexOf(int level, const std::string &text)
{
    auto lines = Logged();
    auto at = std::find(lines.begin(), lines.end(), Line(level, text));
    return at == lines.end() ? -1 : at - lines.begin();
}

std::string Format(const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::string Dump()
{
    std::string out;
    for (const auto &line : Lines())
        out.append("[").append(std::to_string(line.level)).append("] ").append(line.text).append("\n");
    return out;
}

} // namespace trs_test
