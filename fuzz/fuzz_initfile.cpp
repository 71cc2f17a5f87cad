// Feeds arbitrary bytes to the initialisation file reader as TRSLNK01.INT.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "config/Config.h"
#include "host/Host.h"

namespace {

std::vector<std::string> gArguments;
std::vector<char *> gArgv;
char gDirectory[64];

void RemoveDirectory()
{
    unlink("TRSLNK01.INT");
    rmdir(gDirectory);
}

} // namespace

// The reader looks in the current directory, so the fuzzer works in a private one. Paths
// given relative to the starting directory (corpus directories, the artifact prefix) are
// made absolute first, since libFuzzer reads and writes them after the change. Other flags
// that name files (-dict=, -exact_artifact_path=, ...) need absolute paths.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
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

    // Memory-backed when there is such a place: the file is rewritten on every run.
    bool made = false;
    for (const char *parent : {"/dev/shm", "/tmp"}) {
        snprintf(gDirectory, sizeof gDirectory, "%s/fuzz_initfile_XXXXXX", parent);
        if (mkdtemp(gDirectory)) {
            made = true;
            break;
        }
    }
    if (!made || chdir(gDirectory) != 0)
        abort();
    atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *file = fopen("TRSLNK01.INT", "wb");
    if (!file)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);

    // One block for all runs: the instance is large, and ResetInstance sets every field
    // that the reader looks at.
    static DriverInstance *const instance = static_cast<DriverInstance *>(calloc(1, sizeof(DriverInstance)));
    if (!instance)
        abort();
    ResetInstance(instance);
    instance->drvNumber = 1;
    RequestBlock request{instance, FN_COLD_START, 1, 1, nullptr};
    ReadInitFile(&request);

    for (auto &slot : instance->stations) {
        StationRecord *station = slot.exchange(nullptr);
        if (station && (station->connRef != 255 || station->disconnectAfterRead != 1))
            abort(); // a record that was not created as a fresh station
        delete station;
    }
    kiv::Runtime::Get().ClearLog();
    return 0;
}
