// Station log-on: wake-up, STX for secondary stations, IDENT? and ACCES.
#pragma once

#include <stdint.h>

#include "config/Instance.h"

uint32_t InitStation(DriverInstance *instance, uint8_t station, int32_t *identityOut);
