// Records that cross the boundary between a host and the driver module.
// Their layout is fixed: hosts written in any language rely on it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits; /* 0 one, 1 one and a half, 2 two */
    uint16_t parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineSettings;

typedef struct {
    void *instance;       /* DriverInstance block */
    uint32_t function;    /* 1..16 */
    uint32_t drvNumber;
    uint32_t hostRequest;
    void *params;
} RequestBlock;

typedef struct {
    char portName[12];
    uint32_t enabled;
    uint32_t hostTimeout; /* units of 10 ms */
    LineSettings lineSettings;
} ColdStartParams;

typedef struct {
    char portName[16];
    LineSettings lineSettings;
} PortChangeParams;

typedef struct {
    uint32_t station;
    uint32_t memoryType;
    uint32_t address;
    int32_t spare;
    uint32_t valueBits;
} GateAddress;

typedef struct { /* function codes 3 and 4 */
    char *gas;
    uint32_t gateIndex;
    uint32_t gateType;
    uint32_t blockLength;
    GateAddress address;
} AddressParseBlock;

typedef struct { /* function codes 5, 6 and 7; 48 bytes on 32-bit and on 64-bit */
    char *gas;
#if UINTPTR_MAX == 0xFFFFFFFFu
    uint32_t unused4;
#endif
    GateAddress address;
    uint32_t gateType;
    uint32_t blockLength;
    uint32_t unused36;
    void *value;
#if UINTPTR_MAX == 0xFFFFFFFFu
    uint32_t unused44;
#endif
} GateRequest;

typedef struct { /* function code 14 */
    uint32_t version;
    const char *shortName;
    const char *banner;
    uint32_t instanceSize;
    uint32_t four;
    LineSettings lineSettings;
    uint32_t one;
} DrvInfo;

typedef uint32_t (*DrvMainFn)(RequestBlock *request);

#ifdef __cplusplus
}
#endif

/* Function codes of the request block. */
enum {
    FN_COLD_START = 1,
    FN_WARM_START = 2,
    FN_SINGLE_ADDRESS_PARSER = 3,
    FN_BLOCK_ADDRESS_PARSER = 4,
    FN_SINGLE_READ = 5,
    FN_BLOCK_READ = 6,
    FN_SINGLE_WRITE = 7,
    FN_BLOCK_WRITE = 10,
    FN_END_DRV = 11,
    FN_CLOSE_COM = 12,
    FN_REOPEN_COM = 13,
    FN_GET_DRV_INFO = 14,
    FN_CHANGE_DRV_PARAMS = 15
};

/* Host gate types. */
enum {
    GATE_TYPE_U16 = 0,
    GATE_TYPE_S16 = 1,
    GATE_TYPE_FLOAT = 3,
    GATE_TYPE_DIGITAL = 6,
    GATE_TYPE_TEXT = 7
};

/* Value areas: at least this many bytes for a single value and for a text. */
#define VALUE_AREA_SINGLE 4u
#define VALUE_AREA_TEXT 500u

#ifdef __cplusplus
static_assert(sizeof(LineSettings) == 8);
static_assert(sizeof(ColdStartParams) == 28);
static_assert(offsetof(ColdStartParams, enabled) == 12);
static_assert(offsetof(ColdStartParams, hostTimeout) == 16);
static_assert(offsetof(ColdStartParams, lineSettings) == 20);
static_assert(sizeof(PortChangeParams) == 24);
static_assert(offsetof(PortChangeParams, lineSettings) == 16);
static_assert(sizeof(GateAddress) == 20);
static_assert(offsetof(GateAddress, valueBits) == 16);
static_assert(sizeof(GateRequest) == 48);
static_assert(offsetof(GateRequest, address) == 8);
static_assert(offsetof(GateRequest, gateType) == 28);
static_assert(offsetof(GateRequest, blockLength) == 32);
static_assert(offsetof(GateRequest, value) == 40);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(RequestBlock) == 20);
static_assert(offsetof(RequestBlock, function) == 4);
static_assert(offsetof(RequestBlock, drvNumber) == 8);
static_assert(offsetof(RequestBlock, hostRequest) == 12);
static_assert(offsetof(RequestBlock, params) == 16);
static_assert(sizeof(AddressParseBlock) == 36);
static_assert(offsetof(AddressParseBlock, gateIndex) == 4);
static_assert(offsetof(AddressParseBlock, address) == 16);
static_assert(sizeof(DrvInfo) == 32);
static_assert(offsetof(DrvInfo, instanceSize) == 12);
static_assert(offsetof(DrvInfo, lineSettings) == 20);
static_assert(offsetof(DrvInfo, one) == 28);
#else
static_assert(sizeof(RequestBlock) == 32);
static_assert(offsetof(RequestBlock, function) == 8);
static_assert(offsetof(RequestBlock, drvNumber) == 12);
static_assert(offsetof(RequestBlock, hostRequest) == 16);
static_assert(offsetof(RequestBlock, params) == 24);
static_assert(sizeof(AddressParseBlock) == 40);
static_assert(offsetof(AddressParseBlock, gateIndex) == 8);
static_assert(offsetof(AddressParseBlock, address) == 20);
static_assert(sizeof(DrvInfo) == 48);
static_assert(offsetof(DrvInfo, instanceSize) == 24);
static_assert(offsetof(DrvInfo, lineSettings) == 32);
static_assert(offsetof(DrvInfo, one) == 40);
#endif
#endif
