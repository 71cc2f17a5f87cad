// What the driver knows of each memory type: its address form, value width, the gate types
// that a single gate of it may have, whether it forms blocks, and how it goes on the wire.
#pragma once

#include <stdint.h>

enum AddressForm : uint8_t {
    FORM_EXTENDED,  /* NNNxxaaa or NNNxxeee.aaa */
    FORM_REGISTER,  /* NNNxxaaa only */
    FORM_TIME_DATE, /* NNNxxaaa, aaa 0..2 */
    FORM_BARE,      /* NNNxx */
    FORM_SPECIAL    /* named gates, modem command gates, alarm-call gate: parsed apart */
};

enum GateRule : uint8_t {
    GATE_FLOAT_TAG,        /* RA */
    GATE_FLOAT_IEEE,       /* FR, FX */
    GATE_DIGITAL,
    GATE_16BIT,
    GATE_16BIT_OR_DIGITAL, /* VE, VX */
    GATE_STRING_TAG,       /* SR, SX */
    GATE_STRING_DATE_TIME, /* START_TIME, START_DATE */
    GATE_EVENT             /* FIRST_EVENT, LAST_EVENT: unsigned 16-bit only */
};

enum BlockRule : uint8_t {
    BLOCK_NONE,
    BLOCK_RANGE,    /* the low 16 bits of the address plus the length stay within 0..255 */
    BLOCK_TIME_DATE /* exactly the three words from address 0 */
};

enum ValueKind : uint8_t {
    VALUE_NONE,   /* not converted from text, not named by GetMemTypeFromGAS */
    VALUE_FLOAT,  /* 32-bit float */
    VALUE_INTEGER /* 16-bit integer */
};

/* How a gate of the memory type is read and written on the wire. */
enum WireKind : uint8_t {
    WIRE_NONE,        /* command and special gates: no telegram of their own */
    WIRE_ETAT,        /* RA, RD: ETAT? and ETAT! */
    WIRE_VAR_INTEGER, /* VAR? and VAR! with a 16-bit integer */
    WIRE_VAR_FLOAT,   /* VAR? and VAR! with a float (decimal comma) */
    WIRE_VAR_TEXT,    /* VAR? and VAR! with a text in double quotes */
    WIRE_VAR_BIT,     /* TB, TS: VAR? of the two letters alone, never written */
    WIRE_DATE,        /* DT: DATE?, set from the computer's clock */
    WIRE_TIME         /* TM: TIME?, set from the computer's clock */
};

struct MemoryTypeInfo {
    uint32_t code;
    AddressForm form;
    uint8_t valueBits;
    GateRule gate;
    BlockRule block;
    ValueKind value;
    WireKind wire;
};

/* The entry of a memory type code, or null for a code that the parser never produces. */
const MemoryTypeInfo *FindMemoryType(uint32_t code);
/* The wire kind of a memory type code; WIRE_NONE for codes without a telegram. */
WireKind WireKindOf(uint32_t code);
