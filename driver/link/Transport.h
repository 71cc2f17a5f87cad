// The transport of telegrams: the serial port of the instance, or the multi-modem
// connection of each station. Chosen once when the instance starts; Send, ReceiveMsg and
// the log-on reach the line only through it, so nothing above knows which one it is.
#pragma once

#include <stdint.h>

#include "config/Instance.h"

struct Transport {
    /* Raw bytes to the station: LINK_OK, LINK_FAILED or LINK_BROKEN, logged where they
     * fail. A broken connection is handled by the transport before it answers. */
    uint32_t (*send)(DriverInstance *instance, uint32_t station, const char *bytes, uint32_t count);
    /* One byte within the read time-out: 0, or a failure code for receiveFailed. */
    uint32_t (*receiveByte)(DriverInstance *instance, uint32_t station, char *byte);
    /* A reply broke off after `count` bytes with `code`: logs it and gives the result. */
    uint32_t (*receiveFailed)(DriverInstance *instance, uint32_t station, uint32_t code, uint32_t count);
    /* Before a log-on: throws away what is still pending on the line. */
    void (*purge)(DriverInstance *instance);
    /* Whether telegrams can reach the station at all now. */
    bool (*reachable)(const DriverInstance *instance, uint32_t station);
};

/* The instance's serial port. */
extern const Transport kSerialTransport;

inline const Transport *TransportOf(const DriverInstance *instance)
{
    return instance->transport;
}
