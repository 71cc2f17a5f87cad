// First version of the multi-modem pool: not initialised until the pool is built.
#include "entry/DialX.h"

extern "C" {

DIALX_API int32_t DIALX_Connect(uint16_t, uint32_t, uint16_t *) { return DIALX_NOT_INITIALISED; }
DIALX_API int32_t DIALX_Disconnect(uint16_t) { return DIALX_NOT_INITIALISED; }
DIALX_API int32_t DIALX_Send(uint16_t, const void *, uint32_t) { return DIALX_NOT_INITIALISED; }
DIALX_API int32_t DIALX_Flush(uint16_t) { return DIALX_NOT_INITIALISED; }
DIALX_API int32_t DIALX_Receive(uint16_t, void *, uint32_t, uint32_t *) { return DIALX_NOT_INITIALISED; }
DIALX_API int32_t DIALX_Timeout(uint16_t, uint32_t) { return DIALX_NOT_INITIALISED; }

}
