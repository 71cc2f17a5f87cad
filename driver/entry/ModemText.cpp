#include <stdio.h>

#include "entry/Entry.h"

namespace {

const char *const kModemTexts[16] = {
    "no error",
    "TEMP_ERROR",
    "RECOVERY_ERROR",
    "writing error",
    "modem not responding",
    "not initialised",
    "conn. broken",
    "ill. conn. reference",
    "DIALX terminated",
    "comm. error",
    "illegal dialref",
    "no free modem",
    "connection timeout",
    "no free connection",
    "rc 14",
    "rc 15",
};

// The 15-byte buffer for codes without a fixed text. One per thread, so that threads
// formatting codes at the same time never tear each other's text; on one thread a later
// call still overwrites the text of an earlier one.
thread_local char tModemText[15];

} // namespace

const char *ModemErrorText(int32_t code)
{
    if (code >= 0 && code <= 15)
        return kModemTexts[code];
    // A negative code is shown as the signed number it is rather than as a huge unsigned one.
    if (code < 0)
        snprintf(tModemText, sizeof tModemText, "rc %d", code);
    else
        snprintf(tModemText, sizeof tModemText, "rc %u", static_cast<unsigned>(code));
    return tModemText;
}
