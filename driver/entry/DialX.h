// The multi-modem calls (libDIALXNT.so). Every call returns 0 on success or a code
// of the table that ModemErrorText turns into text. Time-outs are in 1/100 s.
#pragma once

#include <stdint.h>

#include "platform/Compiler.h"

#define DIALX_API TRS_IMPORT

#ifdef __cplusplus
extern "C" {
#endif

enum {
    DIALX_OK = 0,
    DIALX_TEMP_ERROR = 1,
    DIALX_RECOVERY_ERROR = 2,
    DIALX_WRITING_ERROR = 3,
    DIALX_MODEM_NOT_RESPONDING = 4,
    DIALX_NOT_INITIALISED = 5,
    DIALX_CONN_BROKEN = 6,
    DIALX_ILL_CONN_REFERENCE = 7,
    DIALX_TERMINATED = 8,
    DIALX_COMM_ERROR = 9,
    DIALX_ILLEGAL_DIALREF = 10,
    DIALX_NO_FREE_MODEM = 11,
    DIALX_CONNECTION_TIMEOUT = 12,
    DIALX_NO_FREE_CONNECTION = 13
};

/* Connection reference meaning "not connected". */
#define DIALX_NO_CONNECTION 255u

DIALX_API int32_t DIALX_Connect(uint16_t dialRef, uint32_t timeout, uint16_t *connRef);
DIALX_API int32_t DIALX_Disconnect(uint16_t connRef);
DIALX_API int32_t DIALX_Send(uint16_t connRef, const void *bytes, uint32_t count);
DIALX_API int32_t DIALX_Flush(uint16_t connRef);
DIALX_API int32_t DIALX_Receive(uint16_t connRef, void *buffer, uint32_t one, uint32_t *received);
DIALX_API int32_t DIALX_Timeout(uint16_t connRef, uint32_t timeout);

#ifdef __cplusplus
}
#endif
