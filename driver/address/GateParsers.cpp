// Function codes 3 and 4: a single gate's type and a block gate's extent against its memory type.
#include <stdint.h>

#include "address/Address.h"
#include "address/MemoryTypes.h"
#include "entry/KivRun.h"

namespace {

struct GateTypeCheck {
    uint32_t allowed; /* bit n set: host gate type n is accepted */
    int level;
    const char *message;
};

constexpr uint32_t Bit(uint32_t gateType)
{
    return 1u << gateType;
}

/* Indexed by GateRule. */
const GateTypeCheck kGateTypeChecks[] = {
    {Bit(GATE_TYPE_FLOAT), LOG_ERROR, "TRSLNK> SingleParse() error, gate type should be 'FLOAT', Tag '%s'"},
    {Bit(GATE_TYPE_FLOAT), LOG_TRACE, "TRSLNK> SingleParse() error, gate type should be FLOAT (IEEE), gate '%s'"},
    {Bit(GATE_TYPE_DIGITAL), LOG_TRACE, "TRSLNK> SingleParse() error, gate type should be DIGITAL, gate '%s'"},
    {Bit(GATE_TYPE_U16) | Bit(GATE_TYPE_S16), LOG_TRACE,
     "TRSLNK> SingleParse() error, gate type should be 16-BIT, gate '%s'"},
    {Bit(GATE_TYPE_U16) | Bit(GATE_TYPE_S16) | Bit(GATE_TYPE_DIGITAL), LOG_TRACE,
     "TRSLNK> SingleParse() error, gate type should be 16-BIT or DIGITAL, gate '%s'"},
    {Bit(GATE_TYPE_TEXT), LOG_ERROR, "TRSLNK: SingleParse() Tag '%s' type must be 'String'!"},
    {Bit(GATE_TYPE_TEXT), LOG_TRACE, "TRSLNK> SingleParse() error, Tag type should be STRING, Tag '%s'"},
    // The event-number gates take the unsigned 16-bit type only; the 16-BIT line names it.
    {Bit(GATE_TYPE_U16), LOG_TRACE, "TRSLNK> SingleParse() error, gate type should be 16-BIT, gate '%s'"},
};
static_assert(sizeof kGateTypeChecks / sizeof kGateTypeChecks[0] == GATE_EVENT + 1);

enum { MAX_BLOCK_END = 255, TIME_DATE_BLOCK_LENGTH = 3 };

AddressParseBlock *ParseBlockOf(RequestBlock *request)
{
    return static_cast<AddressParseBlock *>(request->params);
}

} // namespace

uint32_t SingleParse(RequestBlock *request)
{
    AddressParseBlock *block = ParseBlockOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, block->gas);
    uint32_t result = Parse(request);
    if (result != 0)
        return result;

    const MemoryTypeInfo *type = FindMemoryType(block->address.memoryType);
    if (!type) { // Parse produces none of these; refuse rather than mark an unknown gate
        KivErr(LOG_TRACE, "TRSLNK> Parse() illegal memory type, gate '%s'", gas);
        return 1;
    }
    const GateTypeCheck &check = kGateTypeChecks[type->gate];
    if (block->gateType >= 32 || (check.allowed & Bit(block->gateType)) == 0) {
        KivErr(check.level, check.message, gas);
        return 1;
    }
    if (block->gateIndex < MAX_GATE_INDEX) {
        InstanceOf(request)->gateParsed[block->gateIndex].store(1);
    } else {
        // The flags hold indexes 0..65534; the gate works, but the current-states
        // reader will not see it.
        KivErr(LOG_TRACE, "TRSLNK> SingleParse() warning, gate index %u out of range, gate '%s'", block->gateIndex,
               gas);
    }
    return 0;
}

uint32_t BlockParse(RequestBlock *request)
{
    AddressParseBlock *block = ParseBlockOf(request);
    char gas[GAS_COPY_SIZE];
    CopyGas(gas, block->gas);
    uint32_t result = Parse(request);
    if (result != 0) {
        KivErr(LOG_ERROR, "TRSLNK: BlockParse() parse failed. Tag '%s'", gas);
        return result;
    }

    const MemoryTypeInfo *type = FindMemoryType(block->address.memoryType);
    const uint32_t address = block->address.address;
    switch (type ? type->block : BLOCK_NONE) {
    case BLOCK_RANGE: {
        // In 64 bits, so that no block length wraps round to a small end; an empty block
        // has no extent at all.
        const uint64_t end = uint64_t{address & 0xFFFFu} + block->blockLength - 1;
        if (block->blockLength == 0 || end > MAX_BLOCK_END) {
            KivErr(LOG_TRACE, "TRSLNK> BlockParse() error, block size out of range, block '%s'", gas);
            return 1;
        }
        return 0;
    }
    case BLOCK_TIME_DATE:
        if (address != 0 || block->blockLength != TIME_DATE_BLOCK_LENGTH) {
            KivErr(LOG_TRACE,
                   "TRSLNK> BlockParse() error, time/date block should start at addr 0 and have length 3, block '%s'",
                   gas);
            return 1;
        }
        return 0;
    case BLOCK_NONE:
        break;
    }
    KivErr(LOG_ERROR, "TRSLNK: BlockParse() error, Blocks not allowed for Tag '%s'", gas);
    return 1;
}
