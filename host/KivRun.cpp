// First version of the host runtime: the log and the calls that are not built yet.
#include <stdarg.h>
#include <stdio.h>

#include "entry/KivRun.h"

// Status of a call that this runtime does not serve yet: never a fake success.
static const uint16_t kNotBuilt = 1;

extern "C" {

KIV_API void KivErr(int32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "[%d] ", level);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

KIV_API uint16_t KivMkClient(const char *, uint32_t, uint32_t, uint8_t *) { return kNotBuilt; }
KIV_API uint16_t KivRmClient(uint8_t) { return kNotBuilt; }
KIV_API uint16_t KivGetGateIdByAddressStr(uint8_t, uint8_t, const char *, uint32_t *) { return kNotBuilt; }
KIV_API uint16_t KivGetGateCount(uint8_t, uint32_t *, uint32_t *, uint32_t *, uint32_t *) { return kNotBuilt; }
KIV_API uint16_t KivGetGateDef(uint8_t, uint32_t, void *) { return kNotBuilt; }
KIV_API uint16_t KivChangeGateDef(uint8_t, uint32_t, const void *) { return kNotBuilt; }
KIV_API uint16_t KivSetGateFlag(uint8_t, uint32_t, uint32_t, uint32_t) { return kNotBuilt; }
KIV_API uint16_t KivGetGateVal(uint8_t, uint32_t, uint32_t, double *, uint32_t, uint32_t) { return kNotBuilt; }
KIV_API uint16_t KivGetGateStr(uint8_t, uint32_t, uint32_t, char *, uint32_t, uint32_t) { return kNotBuilt; }
KIV_API uint16_t KivCook(uint8_t, uint32_t, uint32_t, double *) { return kNotBuilt; }
KIV_API uint16_t KivPutGateVal(uint8_t, uint32_t, uint32_t, double, uint32_t, uint32_t) { return kNotBuilt; }
KIV_API uint16_t KivPutGateStr(uint8_t, uint32_t, uint32_t, const char *, uint32_t, uint32_t) { return kNotBuilt; }
KIV_API uint16_t KivGateForceLogEx(uint8_t, uint32_t, double, uint32_t, uint32_t, uint32_t) { return kNotBuilt; }
KIV_API uint16_t KivStartAlert(uint8_t, const char *, const char *, uint32_t, uint32_t, uint32_t, uint32_t, uint16_t,
                               uint32_t, uint32_t, uint32_t, uint32_t, KivAlertRef *) { return kNotBuilt; }
KIV_API uint16_t KivStampAlert(uint8_t, uint32_t, KivAlertRef *, uint32_t, uint32_t, uint32_t, uint32_t) { return kNotBuilt; }
KIV_API uint16_t KivWaitMsg(uint8_t, void *, uint32_t) { return 0; }

}
