#include "support/Support.h"

#include <new>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/Config.h"
#include "config/Lifecycle.h"
#include "platform/Platform.h"

namespace trs_test {

DriverInstance *NewInstance(uint32_t drvNumber)
{
    void *block = calloc(1, sizeof(DriverInstance));
    if (!block)
        abort();
    DriverInstance *instance = static_cast<DriverInstance *>(block);
    ResetInstance(instance);
    instance->drvNumber = drvNumber;
    instance->comTimeout = 100;
    instance->hostTimeoutMs = 15000;
    char name[32];
    snprintf(name, sizeof name, "TRSLNK%02uMUTEX", drvNumber);
    instance->busMutex = PlatformOpenNamedMutex(name, nullptr);
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
    record->loggedOn = 0;
    record->connRef = 255;
    record->onlineState = 0;
    CopyText(record->name, sizeof record->name, name);
    CopyText(record->accessCode, sizeof record->accessCode, accessCode);
    record->disconnectAfterRead = 1;
    record->secondary = secondary ? 1 : 0;
    delete instance->stations[number].exchange(record);
    return record;
}

std::vector<kiv::LogLine> Lines()
{
    return kiv::Runtime::Get().Log();
}

void ClearLog()
{
    kiv::Runtime::Get().ClearLog();
}

size_t Count(int level, const std::string &text)
{
    size_t n = 0;
    for (const auto &line : Lines())
        if (line.level == level && line.text == text)
            n++;
    return n;
}

bool WaitForLine(int level, const std::string &text, unsigned ms)
{
    for (unsigned waited = 0; waited < ms; waited += 5) {
        if (Count(level, text) > 0)
            return true;
        usleep(5000);
    }
    return Count(level, text) > 0;
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
