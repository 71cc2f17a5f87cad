#include <string.h>

#include "config/Config.h"
#include "config/Lifecycle.h"

void ResetInstance(DriverInstance *instance)
{
    instance->comHandle = 0;
    instance->modemMode = 0;
    ChooseTransport(instance);
    instance->noComError = 0;
    instance->comTimeout = 0;
    instance->ifg = 0;
    instance->loggedOnStation = 0;
    instance->transparentMode = 0;
    instance->statesPopup = 0;
    instance->journalPopup = 0;
    instance->historyPopup = 0;
    instance->readStatus = 0;
    instance->noRecord = 0;
    instance->storeLastEvent = 0;
    instance->onlineSampleFlag = 8;
    instance->clockSync = 1;
    instance->alertClass = 2;
    instance->alertSeverity = 1000;
    instance->alertZone = 1000;
    for (unsigned s = 0; s < MAX_STATIONS; s++) {
        instance->lastEventNo[s] = 0;
        // 1993-01-01 01:00:00: journal reading starts from here until an event is stored.
        static const uint16_t kFirstEventTime[6] = {1993, 1, 1, 1, 0, 0};
        memcpy(instance->lastEventTime[s], kFirstEventTime, sizeof kFirstEventTime);
        // Records of an earlier run were freed by EndDrv; they are not freed here.
        instance->stations[s] = nullptr;
    }
    memset(instance->traces, 0, sizeof instance->traces);
    memset(instance->startDate, 0, sizeof instance->startDate);
    memset(instance->startTime, 0, sizeof instance->startTime);
    for (auto &parsed : instance->gateParsed)
        parsed.store(0, std::memory_order_relaxed);
}
