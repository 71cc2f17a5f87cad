// The entry point, the table of function codes and the operations served at the entry.
#pragma once

#include <stdint.h>

#include "entry/Records.h"
#include "platform/Compiler.h"

extern "C" TRS_EXPORT uint32_t DrvMain(RequestBlock *request);

uint32_t GetDrvInfo(RequestBlock *request);
uint32_t ReOpenCom(RequestBlock *request);

/* Text of a multi-modem return code. Codes 16 and above (and negative ones) are
 * formatted into one buffer per thread that the thread's next such call overwrites. */
const char *ModemErrorText(int32_t code);
