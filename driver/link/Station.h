// Station log-on: wake-up, STX for secondary stations, IDENT? and ACCES.
#pragma once

#include <stdint.h>

#include "config/Instance.h"

uint32_t InitStation(DriverInstance *instance, uint8_t station, int32_t *identityOut);
/* Sends ETX to a secondary station and ends transparent mode; a failed send is logged
 * with failedLine and changes nothing else. */
void LeaveTransparentMode(DriverInstance *instance, uint32_t station, const char *failedLine);
