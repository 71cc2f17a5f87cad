// The host runtime calls (libKIVRUN.so). Every call returns 0 on success.
#pragma once

#include <stdint.h>

#include "platform/Compiler.h"

/* The runtime library exports these; everybody else imports them. */
#if defined(KIVRUN_EXPORTS)
#define KIV_API TRS_EXPORT
#else
#define KIV_API TRS_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t KivAlertRef;

/* Statuses the driver relies on. */
enum {
    KIV_OK = 0,
    KIV_NOT_FOUND = 5,   /* no gate has this address string */
    KIV_NO_GATE = 48     /* no gate at this id */
};

/* Log levels. */
enum {
    LOG_PROGRESS = 0,
    LOG_LEVEL8 = 8,
    LOG_ERROR = 32,
    LOG_TRACE = 64
};

/* Gate definition record filled by KivGetGateDef: 328 bytes. */
#define KIV_GATEDEF_SIZE 328
#define KIV_GATEDEF_NAME 0           /* char[96] */
#define KIV_GATEDEF_NAME_SIZE 96
#define KIV_GATEDEF_RECORD 96        /* u32, 0 = Record-Never */
#define KIV_GATEDEF_SOURCE 164       /* u8, 1 = fed by an I/O driver */
#define KIV_GATEDEF_TYPE 166         /* u16 */
#define KIV_GATEDEF_DRIVER 168       /* u32, drv number - 1 */
#define KIV_GATEDEF_ADDRESS 172      /* char[156] */
#define KIV_GATEDEF_ADDRESS_SIZE 156

/* Flag of KivSetGateFlag that switches the host's sampling of a gate off. */
#define KIV_FLAG_NO_SAMPLING 16u
/* Request kind of KivGetGateVal/KivGetGateStr: read the gate through its driver. */
#define KIV_KIND_DEVICE_READ 14u

/* The text buffer of KivGetGateStr. */
#define KIV_GATESTR_SIZE 100
/* The message buffer of KivWaitMsg. */
#define KIV_MESSAGE_SIZE 24

KIV_API uint16_t KivMkClient(const char *name, uint32_t one, uint32_t zero, uint8_t *clientId);
KIV_API uint16_t KivRmClient(uint8_t clientId);
KIV_API uint16_t KivGetGateIdByAddressStr(uint8_t clientId, uint8_t drvNumber, const char *gas, uint32_t *gateId);
KIV_API uint16_t KivGetGateCount(uint8_t clientId, uint32_t *count, uint32_t *unused1, uint32_t *unused2, uint32_t *unused3);
KIV_API uint16_t KivGetGateDef(uint8_t clientId, uint32_t gateId, void *definition);
KIV_API uint16_t KivChangeGateDef(uint8_t clientId, uint32_t gateId, const void *definition);
KIV_API uint16_t KivSetGateFlag(uint8_t clientId, uint32_t gateId, uint32_t flag, uint32_t zero);
KIV_API uint16_t KivGetGateVal(uint8_t clientId, uint32_t kind, uint32_t gateId, double *value, uint32_t zero1, uint32_t zero2);
KIV_API uint16_t KivGetGateStr(uint8_t clientId, uint32_t kind, uint32_t gateId, char *text, uint32_t zero1, uint32_t zero2);
KIV_API uint16_t KivCook(uint8_t clientId, uint32_t gateId, uint32_t raw, double *cooked);
KIV_API uint16_t KivPutGateVal(uint8_t clientId, uint32_t gateId, uint32_t two, double value, uint32_t timeStamp, uint32_t zero);
KIV_API uint16_t KivPutGateStr(uint8_t clientId, uint32_t gateId, uint32_t two, const char *text, uint32_t timeStamp, uint32_t zero);
KIV_API uint16_t KivGateForceLogEx(uint8_t clientId, uint32_t gateId, double value, uint32_t zero1, uint32_t timeStamp, uint32_t zero2);
KIV_API uint16_t KivStartAlert(uint8_t clientId, const char *source, const char *text, uint32_t severity, uint32_t flags,
                               uint32_t zone, uint32_t zero1, uint16_t attributes, uint32_t zero2, uint32_t zero3,
                               uint32_t one, uint32_t mask, KivAlertRef *alertRef);
KIV_API uint16_t KivStampAlert(uint8_t clientId, uint32_t one, KivAlertRef *alertRef, uint32_t six,
                               uint32_t zero1, uint32_t zero2, uint32_t zero3);
KIV_API uint16_t KivWaitMsg(uint8_t clientId, void *message, uint32_t one);
KIV_API void KivErr(int32_t level, const char *format, ...) TRS_PRINTF(2, 3);

#ifdef __cplusplus
}
#endif
