#include "entry/Entry.h"

#include "address/Address.h"
#include "config/Instance.h"
#include "config/Lifecycle.h"
#include "entry/KivRun.h"
#include "Modules/WitRead.h"
#include "Modules/WitWrite.h"

namespace {

typedef uint32_t (*Operation)(RequestBlock *request);

// Slots for codes 1 to 16; a null slot is a code the driver does not serve.
Operation const kOperations[16] = {
    ColdStart,       /* 1 */
    WarmStart,       /* 2 */
    SingleParse,     /* 3 */
    BlockParse,      /* 4 */
    SingleRead,      /* 5 */
    BlockRead,       /* 6 */
    SingleWrite,     /* 7 */
    nullptr,         /* 8 */
    nullptr,         /* 9 */
    BlockWrite,      /* 10 */
    EndDrv,          /* 11 */
    CloseCom,        /* 12 */
    ReOpenCom,       /* 13 */
    GetDrvInfo,      /* 14 */
    ChangeDrvParams, /* 15 */
    nullptr,         /* 16 */
};

constexpr char kBannerText[] = " TRSLNK:  Wit  TRS II protocol for Force and Clip modules. (serial or modem) ";
static_assert(sizeof kBannerText - 1 == 77);

// The banner in code page 437 double-line box characters, 77 characters wide.
struct Banner {
    char bytes[1 + (1 + 77 + 1 + 1) * 3];
    constexpr Banner() : bytes()
    {
        unsigned n = 0;
        bytes[n++] = '\x08';
        bytes[n++] = '\xC9';
        for (int i = 0; i < 77; i++)
            bytes[n++] = '\xCD';
        bytes[n++] = '\xBB';
        bytes[n++] = '\n';
        bytes[n++] = '\xBA';
        for (int i = 0; i < 77; i++)
            bytes[n++] = kBannerText[i];
        bytes[n++] = '\xBA';
        bytes[n++] = '\n';
        bytes[n++] = '\xC8';
        for (int i = 0; i < 77; i++)
            bytes[n++] = '\xCD';
        bytes[n++] = '\xBC';
        bytes[n] = '\0';
    }
};

constexpr Banner kBanner;
constexpr char kShortName[] = "Wit";

} // namespace

extern "C" uint32_t DrvMain(RequestBlock *request)
{
    uint32_t function = request->function;
    if (function == 0 || function > 16) {
        KivErr(LOG_ERROR, "TRSLNK> Exited DrvMain() #1");
        return 2;
    }
    if (function != FN_GET_DRV_INFO)
        request->hostRequest = 1;
    Operation operation = kOperations[function - 1];
    if (!operation) {
        KivErr(LOG_ERROR, "TRSLNK> Exited DrvMain() #2");
        return 2;
    }
    // EndDrv waits for the host's other calls to leave before it frees what they use.
    // ColdStart clears the block, GetDrvInfo and ReOpenCom use none.
    DriverInstance *instance = InstanceOf(request);
    if (!instance || function == FN_COLD_START || function == FN_END_DRV || function == FN_GET_DRV_INFO ||
        function == FN_REOPEN_COM)
        return operation(request);
    instance->hostCalls.fetch_add(1);
    const uint32_t result = operation(request);
    instance->hostCalls.fetch_sub(1);
    return result;
}

uint32_t GetDrvInfo(RequestBlock *request)
{
    DrvInfo *info = static_cast<DrvInfo *>(request->params);
    info->version = 70;
    info->shortName = kShortName;
    info->banner = kBanner.bytes;
    info->instanceSize = sizeof(DriverInstance);
    info->four = 4;
    info->lineSettings = LineSettings{1200, 7, 0, 2};
    info->one = 1;
    KivErr(LOG_TRACE, "TRSLNK> GetDrvInfo() exited");
    return 0;
}

uint32_t ReOpenCom(RequestBlock *)
{
    KivErr(LOG_TRACE, "TRSLNK> ReOpenCom() not supported");
    return 1;
}
