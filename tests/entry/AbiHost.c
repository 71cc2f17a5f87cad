/* A host written from the binary contract alone, in C: it loads the driver module, finds
 * DrvMain, asks GetDrvInfo and checks every field of the record it gets back. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "entry/Records.h"

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        failures++;
    }
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s TRSLNK32.so\n", argv[0]);
        return 2;
    }
    void *module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    DrvMainFn drvMain;
    *(void **)&drvMain = dlsym(module, "DrvMain");
    check(drvMain != NULL, "DrvMain exported");
    if (!drvMain)
        return 1;

    DrvInfo info;
    memset(&info, 0x5A, sizeof info);
    RequestBlock request;
    memset(&request, 0, sizeof request);
    request.function = 14;
    request.hostRequest = 7;
    request.params = &info;
    check(drvMain(&request) == 0, "GetDrvInfo returns 0");
    check(request.hostRequest == 7, "hostRequest untouched by code 14");
    check(info.version == 70, "version 70");
    check(info.shortName && strcmp(info.shortName, "Wit") == 0, "short name Wit");
    check(info.instanceSize > 50000, "instance size covers the reply buffer");
    check(info.four == 4 && info.one == 1, "constants 4 and 1");
    check(info.lineSettings.baudRate == 1200 && info.lineSettings.dataBits == 7 &&
              info.lineSettings.stopBits == 0 && info.lineSettings.parity == 2,
          "line settings 1200, 7, 0, 2");

    char expected[1 + 80 * 3];
    size_t n = 0;
    expected[n++] = 0x08;
    expected[n++] = (char)0xC9;
    memset(expected + n, 0xCD, 77), n += 77;
    expected[n++] = (char)0xBB;
    expected[n++] = '\n';
    expected[n++] = (char)0xBA;
    memcpy(expected + n, " TRSLNK:  Wit  TRS II protocol for Force and Clip modules. (serial or modem) ", 77), n += 77;
    expected[n++] = (char)0xBA;
    expected[n++] = '\n';
    expected[n++] = (char)0xC8;
    memset(expected + n, 0xCD, 77), n += 77;
    expected[n++] = (char)0xBC;
    check(info.banner && strlen(info.banner) == n && memcmp(info.banner, expected, n) == 0, "banner bytes");

    dlclose(module);
    if (failures == 0)
        printf("DrvInfo read back exactly\n");
    return failures == 0 ? 0 : 1;
}
