// Read requests (function codes 5 and 6) and reply decoding.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/Instance.h"

uint32_t SingleRead(RequestBlock *request);
uint32_t BlockRead(RequestBlock *request);
uint32_t DoRead(RequestBlock *request, uint32_t functionCode);
uint32_t BuildReadRequest(RequestBlock *request, char *buffer, uint32_t *commandStart);

/* Decoding of one reply into the gate's value area. `reply` is the text two characters
 * after the first '=' and may be changed in place. */
uint32_t StoreData(RequestBlock *request, char *reply, uint32_t functionCode);
uint32_t ParseAnalogField(const char *field, int32_t *value);
uint32_t ParseFloatAfterColon(const char *text, float *value);
uint32_t GetStringValueFromResponse(const char *gas, const char *reply, char *text /* 500 bytes */);

/* The value area of a gate: a single 16-bit value stands at byte 2, a float or 32-bit
 * value at byte 0, block element i at byte 2i (16-bit) or 4i (32-bit). */
constexpr size_t SINGLE_16_OFFSET = 2;
void PutValue16(void *area, size_t offset, uint16_t value);
void PutValue32(void *area, size_t offset, uint32_t value);
void PutValueFloat(void *area, size_t offset, float value);
uint16_t GetValue16(const void *area, size_t offset);
float GetValueFloat(const void *area, size_t offset);
