// Feeds arbitrary bytes to the initialisation file reader as TRSLNK01.INT.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "config/Config.h"
#include "fuzz/FuzzSupport.h"
#include "host/Host.h"

// The reader looks in the current directory, so the fuzzer works in a private one.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::EnterPrivateDirectory(argc, argv, "fuzz_initfile");
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
