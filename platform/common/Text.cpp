// Text helpers of the driver that do not depend on the system.
#include "platform/Platform.h"

size_t CopyText(char *target, size_t size, const char *source)
{
    if (!target || size == 0)
        return 0;
    size_t n = 0;
    if (source)
        while (n + 1 < size && source[n] != '\0') {
            target[n] = source[n];
            n++;
        }
    target[n] = '\0';
    return n;
}
