// Values that the driver produces itself go into host gates by address here, and the
// operator notices of the reading threads and the connection code are raised here.
#include "Modules/GateStore.h"

#include <string.h>

#include "entry/KivRun.h"

namespace {

const char kAlertSource[] = "WIT";

/* The attribute word and the fixed trailing arguments of every alert we raise. */
const uint16_t kReadingDataAttributes = 0x0004;
const uint16_t kOperatorAttributes = 0x0014;
const uint32_t kAlertOne = 1;
const uint32_t kAlertMask = 65535;

const uint32_t kReadingDataSeverity = 1000;
const uint32_t kReadingDataFlags = 0x60000000u;
const uint32_t kReadingDataZone = 1000;

/* The ALERTS class decides whether a notice becomes an alert and how loudly it is logged. */
struct NoticeClass {
    uint32_t alertFlags; /* 0: no alert */
    int32_t logLevel;
};

const NoticeClass kNoticeClasses[] = {
    {0, LOG_TRACE},
    {0, LOG_ERROR},
    {0x40000000u, LOG_ERROR},
    {0xC0000000u, LOG_ERROR},
    {0x60000000u, LOG_ERROR},
    {0xE0000000u, LOG_ERROR},
};

} // namespace

uint32_t PutGateValue(DriverInstance *instance, const char *gas, uint32_t rawValue, uint32_t timeStamp)
{
    uint8_t client = instance->clientId;
    uint32_t gateId = 0;
    uint16_t rc = KivGetGateIdByAddressStr(client, static_cast<uint8_t>(instance->drvNumber), gas, &gateId);
    if (rc != KIV_OK) {
        if (rc == KIV_NOT_FOUND)
            KivErr(LOG_ERROR, "TRSLNK: Tag %s not found in Database", gas);
        KivErr(LOG_ERROR, "TRSLNK: Failed to get gate ID Gate %s: rc = %d", gas, rc);
        return 0;
    }

    double cooked = 0;
    rc = KivCook(client, gateId, rawValue, &cooked);
    if (rc != KIV_OK) {
        KivErr(LOG_ERROR, "TRSLNK: Kiv Cook Failed. GAS: %s rc = %d", gas, rc);
        return 0;
    }

    rc = KivPutGateVal(client, gateId, 2, cooked, timeStamp, 0);
    if (rc != KIV_OK) {
        KivErr(LOG_ERROR, "TrsLNK: Write gate id %x fail", gateId);
        return 0;
    }

    /* The forced entry puts the value into the gate's history at once, not at the next
     * sampling of the host. */
    rc = KivGateForceLogEx(client, gateId, cooked, 0, timeStamp, 0);
    if (rc != KIV_OK) {
        KivErr(LOG_ERROR, "TrsLNK: Force gate log fail Tag %s", gas);
        return 0;
    }
    return 1;
}

uint16_t StartReadingDataAlert(uint8_t clientId, const char *text, KivAlertRef *alertRef)
{
    return KivStartAlert(clientId, kAlertSource, text, kReadingDataSeverity, kReadingDataFlags, kReadingDataZone, 0,
                         kReadingDataAttributes, 0, 0, kAlertOne, kAlertMask, alertRef);
}

uint16_t EndReadingDataAlert(uint8_t clientId, KivAlertRef alertRef)
{
    return KivStampAlert(clientId, 1, &alertRef, 6, 0, 0, 0);
}

void NotifyOperator(DriverInstance *instance, const char *text)
{
    uint16_t alertClass = instance->alertClass;
    if (alertClass >= sizeof kNoticeClasses / sizeof kNoticeClasses[0])
        return;
    const NoticeClass &notice = kNoticeClasses[alertClass];
    if (notice.alertFlags != 0) {
        /* Nobody ends these alerts: the operator acknowledges them. */
        KivAlertRef reference = 0;
        KivStartAlert(instance->clientId, kAlertSource, text, instance->alertSeverity, notice.alertFlags,
                      instance->alertZone, 0, kOperatorAttributes, 0, 0, kAlertOne, kAlertMask, &reference);
    }
    /* The text may name a station or gate that holds a '%': never use it as a format. */
    KivErr(notice.logLevel, "%s", text);
}

uint32_t GateDefWord(const unsigned char *definition, unsigned offset)
{
    uint32_t value;
    memcpy(&value, definition + offset, sizeof value);
    return value;
}

uint16_t GateDefHalf(const unsigned char *definition, unsigned offset)
{
    uint16_t value;
    memcpy(&value, definition + offset, sizeof value);
    return value;
}

void GateDefSetWord(unsigned char *definition, unsigned offset, uint32_t value)
{
    memcpy(definition + offset, &value, sizeof value);
}

void GateDefText(const unsigned char *definition, unsigned offset, unsigned fieldSize, char *text, unsigned textSize)
{
    if (textSize == 0)
        return;
    const char *field = reinterpret_cast<const char *>(definition + offset);
    size_t length = strnlen(field, fieldSize);
    if (length >= textSize)
        length = textSize - 1;
    memcpy(text, field, length);
    text[length] = 0;
}
