// Values the driver puts into gates by address, and operator alerts.
#pragma once

#include <stdint.h>

#include "config/Instance.h"
#include "entry/KivRun.h"

/* 1 when the value was stored and logged, 0 on any failure. */
uint32_t PutGateValue(DriverInstance *instance, const char *gas, uint32_t rawValue, uint32_t timeStamp);
uint16_t StartReadingDataAlert(uint8_t clientId, const char *text, KivAlertRef *alertRef);
uint16_t EndReadingDataAlert(uint8_t clientId, KivAlertRef alertRef);
/* Raises `text` as a host alert by the ALERTS class and logs it; `text` is complete. */
void NotifyOperator(DriverInstance *instance, const char *text);

/* Fields of a host gate definition record (KIV_GATEDEF_SIZE bytes), read within their
 * bounds: the host's texts are copied NUL-terminated even when the record holds no NUL. */
uint32_t GateDefWord(const unsigned char *definition, unsigned offset);
uint16_t GateDefHalf(const unsigned char *definition, unsigned offset);
void GateDefSetWord(unsigned char *definition, unsigned offset, uint32_t value);
/* Copies the text field at offset (of fieldSize bytes) into text[textSize]. */
void GateDefText(const unsigned char *definition, unsigned offset, unsigned fieldSize, char *text, unsigned textSize);
