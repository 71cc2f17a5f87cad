#include "address/Address.h"
#include "platform/Platform.h"

void CopyGas(char (&target)[GAS_COPY_SIZE], const char *gas)
{
    CopyText(target, sizeof target, gas);
}
