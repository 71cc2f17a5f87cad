// Telegrams on the instance's serial port: the input drained before each send, RTS raised
// around the write, one byte read at a time under the port's read time-out.
#include "entry/KivRun.h"
#include "link/Port.h"
#include "link/Telegram.h"
#include "link/Transport.h"
#include "platform/Platform.h"

namespace {

/* Blocks until the last of the `count` bytes has left the transmitter, so that RTS drops
 * right behind the last stop bit: on a half-duplex line a station answers as soon as it
 * sees the CR, and RTS held any longer would talk over the answer. */
void WaitOutputSent(PortHandle port, uint32_t count)
{
    uint32_t pending = 0;
    if (!PortWaitSent(port, count, &pending))
        KivErr(LOG_TRACE, "TRSLNK> Send() ClearCommError() failed");
    else if (pending != 0)
        KivErr(LOG_TRACE, "TRSLNK> Send() output queue not empty (%u bytes)", pending);
}

uint32_t SerialSend(DriverInstance *instance, uint32_t, const char *bytes, uint32_t count)
{
    PortHandle port = instance->comHandle.load();
    (void)DrainInput(port);
    if (!PortSetRts(port, true))
        KivErr(LOG_TRACE, "TRSLNK> Send() EscapeCommFunction() failed");
    uint32_t written = 0;
    uint32_t rc = WritePort(port, bytes, count, &written);
    WaitOutputSent(port, count);
    if (!PortSetRts(port, false))
        KivErr(LOG_TRACE, "TRSLNK> Send() EscapeCommFunction() failed");
    return rc == PORT_OK && written == count ? LINK_OK : LINK_BROKEN;
}

uint32_t SerialReceiveByte(DriverInstance *instance, uint32_t, char *byte)
{
    uint32_t read = 0;
    uint32_t rc = ReadPort(instance->comHandle.load(), byte, 1, &read);
    return rc == PORT_OK && read == 1 ? 0 : static_cast<uint32_t>(LINK_BROKEN);
}

uint32_t SerialReceiveFailed(DriverInstance *, uint32_t, uint32_t code, uint32_t count)
{
    KivErr(LOG_TRACE, "TRSLNK> ReceiveMsg() (SERIAL MODE) error, reading message from controller (%u read)", count);
    return code;
}

void SerialPurge(DriverInstance *instance)
{
    PortHandle port = instance->comHandle.load();
    (void)PortOutputQueue(port, nullptr); /* also clears a pending error state */
    if (!PortPurgeOutput(port))
        KivErr(LOG_TRACE, "TRSLNK> InitStation(), PurgeComm() error %u", PlatformLastError());
}

/* The port reaches whichever station answers on the line. */
bool SerialReachable(const DriverInstance *, uint32_t)
{
    return true;
}

} // namespace

const Transport kSerialTransport = {SerialSend, SerialReceiveByte, SerialReceiveFailed, SerialPurge, SerialReachable};
