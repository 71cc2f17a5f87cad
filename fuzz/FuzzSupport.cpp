#include "fuzz/FuzzSupport.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>

#include "config/Config.h"
#include "host/Host.h"
#include "link/Telegram.h"
#include "link/Transport.h"
#include "platform/Platform.h"

namespace fuzz {

namespace {

std::vector<std::string> gArguments;
std::vector<char *> gArgv;
std::string gDirectory;

void RemoveDirectory()
{
    std::error_code error;
    std::filesystem::remove_all(gDirectory, error);
}

struct Station {
    std::vector<std::string> replies;
    size_t next = 0;
    std::string pending;
    size_t at = 0;
    std::vector<std::string> sent;
} gStation;

uint32_t ScriptSend(DriverInstance *, uint32_t, const char *bytes, uint32_t count)
{
    gStation.sent.emplace_back(bytes, count);
    // A station answers telegrams, not the wake-up sequence or STX/ETX alone.
    if (count < 2 || bytes[count - 1] != '\r')
        return LINK_OK;
    gStation.pending = gStation.next < gStation.replies.size() ? gStation.replies[gStation.next++] : std::string();
    gStation.at = 0;
    return LINK_OK;
}

uint32_t ScriptReceiveByte(DriverInstance *, uint32_t, char *byte)
{
    if (gStation.at >= gStation.pending.size())
        return LINK_BROKEN; /* nothing more: the read time-out */
    *byte = gStation.pending[gStation.at++];
    return 0;
}

uint32_t ScriptReceiveFailed(DriverInstance *, uint32_t, uint32_t code, uint32_t count)
{
    KivErr(LOG_TRACE, "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (%u read)", count);
    return code;
}

void ScriptPurge(DriverInstance *)
{
    gStation.pending.clear();
    gStation.at = 0;
}

bool ScriptReachable(const DriverInstance *, uint32_t)
{
    return true;
}

const Transport kScriptTransport = {ScriptSend, ScriptReceiveByte, ScriptReceiveFailed, ScriptPurge, ScriptReachable};

} // namespace

void EnterPrivateDirectory(int *argc, char ***argv, const char *name)
{
    char start[PATH_MAX];
    if (!getcwd(start, sizeof start))
        abort();
    const std::string base = std::string(start) + "/";
    bool artifactPrefix = false;
    for (int i = 0; i < *argc; i++) {
        std::string argument = (*argv)[i];
        if (i > 0 && !argument.empty() && argument[0] != '-' && argument[0] != '/')
            argument = base + argument;
        if (argument.rfind("-artifact_prefix=", 0) == 0) {
            artifactPrefix = true;
            const std::string value = argument.substr(strlen("-artifact_prefix="));
            if (value.empty() || value[0] != '/')
                argument = "-artifact_prefix=" + base + value;
        }
        gArguments.push_back(argument);
    }
    if (!artifactPrefix)
        gArguments.push_back("-artifact_prefix=" + base);
    for (auto &argument : gArguments)
        gArgv.push_back(argument.data());
    gArgv.push_back(nullptr);
    *argc = static_cast<int>(gArguments.size());
    *argv = gArgv.data();

    // Memory-backed when there is such a place: files are rewritten on every run.
    for (const char *parent : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(parent) + "/" + name + "_XXXXXX";
        if (mkdtemp(pattern.data())) {
            gDirectory = pattern;
            break;
        }
    }
    if (gDirectory.empty() || chdir(gDirectory.c_str()) != 0)
        abort();
    atexit(RemoveDirectory);
}

DriverInstance *NewInstance()
{
    DriverInstance *instance = static_cast<DriverInstance *>(calloc(1, sizeof(DriverInstance)));
    if (!instance)
        abort();
    ResetInstance(instance);
    instance->drvNumber = 1;
    instance->hostTimeoutMs = 15000;
    // The driver's pauses of a second become 100 us; the reply deadlines (also the 100 s
    // of a trace list, 10 ms here) stay far beyond a scripted reply.
    instance->comTimeout = 1000000;
    instance->busMutex = PlatformOpenNamedMutex("TRSLNK01MUTEX", nullptr);
    PlatformSetTimeScale(1e-4);
    return instance;
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

std::vector<std::string> Replies(const uint8_t *data, size_t size, bool framed)
{
    std::vector<std::string> replies;
    const char *text = reinterpret_cast<const char *>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i < size && text[i] != '\r')
            continue;
        std::string reply(text + start, i - start);
        if (framed)
            reply += TelegramChecksum(reply.data(), reply.size());
        if (framed || i < size)
            reply += '\r';
        replies.push_back(reply);
        start = i + 1;
    }
    return replies;
}

void UseScriptedStation(DriverInstance *instance, std::vector<std::string> replies)
{
    gStation = Station();
    gStation.replies = std::move(replies);
    instance->transport = &kScriptTransport;
}

const std::vector<std::string> &Sent()
{
    return gStation.sent;
}

uint32_t AddGate(const char *address, uint16_t type)
{
    kiv::GateSpec spec;
    spec.name = address;
    spec.address = address;
    spec.type = type;
    return kiv::Runtime::Get().AddGate(spec);
}

} // namespace fuzz
