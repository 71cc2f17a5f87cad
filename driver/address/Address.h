// Gate address strings, memory types and the address-parsing function codes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/Instance.h"

constexpr uint32_t MemType(char first, char second)
{
    return static_cast<uint8_t>(first) | (static_cast<uint32_t>(static_cast<uint8_t>(second)) << 8);
}

enum : uint32_t {
    MT_RA = MemType('R', 'A'), MT_RD = MemType('R', 'D'), MT_FR = MemType('F', 'R'), MT_FX = MemType('F', 'X'),
    MT_AI = MemType('A', 'I'), MT_AO = MemType('A', 'O'), MT_DI = MemType('D', 'I'), MT_DO = MemType('D', 'O'),
    MT_EA = MemType('E', 'A'), MT_ET = MemType('E', 'T'), MT_ST = MemType('S', 'T'), MT_BR = MemType('B', 'R'),
    MT_WR = MemType('W', 'R'), MT_BX = MemType('B', 'X'), MT_WX = MemType('W', 'X'), MT_VE = MemType('V', 'E'),
    MT_VX = MemType('V', 'X'), MT_SR = MemType('S', 'R'), MT_SX = MemType('S', 'X'), MT_TM = MemType('T', 'M'),
    MT_DT = MemType('D', 'T'), MT_TB = MemType('T', 'B'), MT_TS = MemType('T', 'S'), MT_EC = MemType('E', 'C'),
    MT_HS = MemType('H', 'S'), MT_JR = MemType('J', 'R'), MT_AA = MemType('A', 'A'), MT_MC = MemType('M', 'C'),
    MT_MS = MemType('M', 'S'), MT_MT = MemType('M', 'T'), MT_MD = MemType('M', 'D'), MT_MA = MemType('M', 'A'),
    MT_MO = MemType('M', 'O'),
    MT_START_TIME = 200, MT_START_DATE = 300, MT_FIRST_EVENT = 400, MT_LAST_EVENT = 500
};

/* First and second letter of a two-letter memory type. */
inline char MemTypeFirst(uint32_t memoryType) { return static_cast<char>(memoryType & 0xFF); }
inline char MemTypeSecond(uint32_t memoryType) { return static_cast<char>((memoryType >> 8) & 0xFF); }

/* Station offset of the modem command gates in GateAddress.station. */
enum { MODEM_GATE_STATION_OFFSET = 1000 };

uint32_t Parse(RequestBlock *request);
uint16_t GetMemTypeFromGAS(const char *gas);
/* value: a 4-byte value area. RA, FR, FX: float in bytes 0..3; the other types that
 * GetMemTypeFromGAS names: 16-bit integer in bytes 2 and 3; any other type: unchanged. */
void ValueFromText(void *value, uint32_t memoryType, const char *text);
/* Upper-cases source in place; writes e.g. RA005 into target (at most targetSize - 1). */
void NormaliseResourceName(char *source, char *target, size_t targetSize);

uint32_t SingleParse(RequestBlock *request);
uint32_t BlockParse(RequestBlock *request);

/* Copy of a gate address string for log lines: at most 32 characters, cut safely; a
 * null string gives an empty copy. */
enum { GAS_COPY_SIZE = 33 };
void CopyGas(char (&target)[GAS_COPY_SIZE], const char *gas);
