// Write requests (function codes 7 and 10).
#pragma once

#include <stdint.h>

#include "config/Instance.h"

uint32_t SingleWrite(RequestBlock *request);
uint32_t BlockWrite(RequestBlock *request);
uint32_t DoWrite(RequestBlock *request, uint32_t functionCode);
uint32_t BuildWriteRequest(RequestBlock *request, uint32_t functionCode);
