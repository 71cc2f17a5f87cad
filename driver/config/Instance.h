// The state of one driver instance and of its stations.
//
// The host allocates the DriverInstance block (size from GetDrvInfo) and ColdStart clears
// it. Words that the host's threads, the online-tags thread and the worker threads share
// are std::atomic of the same size as the plain word, so the layout stays that of the
// plain record while every access is race-free.
#pragma once

#include <atomic>
#include <stdint.h>

#include "entry/Records.h"

struct PlatformMutex;
struct PlatformThread;
struct Transport;

enum {
    MAX_STATIONS = 256,
    MAX_GATE_INDEX = 65535, /* gateParsed holds indexes 0..65534 */
    MAX_TRACES = 81,
    TX_BUFFER_SIZE = 256,
    RX_BUFFER_SIZE = 50001, /* 50000 characters and a NUL */
    STATION_NAME_SIZE = 65,
    ACCESS_CODE_SIZE = 9,
    START_DATE_SIZE = 12,
    START_TIME_SIZE = 7,
    WORKER_STACK_SIZE = 61440
};

typedef uintptr_t PortHandle; /* 0 = no port open */

struct TraceInfo {
    uint16_t number;      /* 1..80; 0 = empty entry */
    char mode;            /* 'A' = stopped */
    char resource[33];    /* normalised resource name, e.g. RA005 */
    uint16_t periodCount; /* 0 = external clock */
    char periodUnit;      /* '1' min, '2' h, '3' d, '4' one day */
    char field6;
    float field7;
    float field8;
    char field9;
};

struct StationRecord {
    std::atomic<uint8_t> loggedOn;
    std::atomic<uint16_t> connRef;     /* 255 = no modem connection */
    std::atomic<uint16_t> onlineState; /* 0 off-line, 1 on-line, 255 answering an alarm call */
    char name[STATION_NAME_SIZE];
    char accessCode[ACCESS_CODE_SIZE];
    std::atomic<uint32_t> journalBusy;
    std::atomic<uint32_t> statesBusy;
    std::atomic<uint32_t> readAllBusy;
    std::atomic<uint32_t> disconnectAfterRead;
    std::atomic<uint32_t> incomingCall;
    uint32_t secondary;
};

struct DriverInstance {
    uint32_t drvNumber;
    uint32_t modemMode;
    std::atomic<uint32_t> comTimeout; /* 1/100 s */
    uint32_t hostTimeoutMs;
    std::atomic<PortHandle> comHandle;
    PlatformMutex *busMutex;
    char portName[12];
    LineSettings lineSettings;
    uint16_t lineControl;
    char txBuffer[TX_BUFFER_SIZE];
    char rxBuffer[RX_BUFFER_SIZE];
    uint32_t ifg; /* ms */
    uint16_t onlineSampleFlag;
    uint8_t clockSync; /* 0 NEVER, 1 TIMESTAMP, 2 MODEM */
    uint16_t alertClass;
    uint16_t alertSeverity;
    uint16_t alertZone;
    std::atomic<StationRecord *> stations[MAX_STATIONS];
    std::atomic<uint32_t> hostRequestActive;
    uint32_t noComError;
    std::atomic<uint16_t> lastEventNo[MAX_STATIONS];
    char startDate[MAX_STATIONS][START_DATE_SIZE];
    char startTime[MAX_STATIONS][START_TIME_SIZE];
    std::atomic<uint32_t> gateParsed[MAX_GATE_INDEX];
    std::atomic<uint32_t> statesStation;
    std::atomic<uint8_t> loggedOnStation;
    std::atomic<uint32_t> transparentMode;
    uint8_t clientId;
    uint32_t statesPopup;
    uint32_t journalPopup;
    uint32_t historyPopup;
    uint32_t enabled;
    uint32_t readStatus;
    TraceInfo traces[MAX_TRACES];
    uint32_t noRecord;
    uint32_t storeLastEvent;
    uint16_t lastEventTime[MAX_STATIONS][6];

    /* Housekeeping of this implementation, after the documented fields. */
    const Transport *transport;            /* serial port or modem connections, chosen at the start */
    PlatformThread *onlineThread;          /* the online-tags thread, joined by EndDrv */
    std::atomic<uint32_t> stopping;        /* EndDrv runs: no more passes over the stations */
    std::atomic<uint32_t> workers;         /* worker threads still running */
    std::atomic<uint32_t> hostCalls;       /* host calls in the driver, EndDrv's own apart */
    std::atomic<uint32_t> onlinePass;      /* the online-tags thread is in a pass */
    std::atomic<uint32_t> onlineForceStop; /* the online-tags thread leaves without its client's end */
    std::atomic<uint32_t> onlineDone;      /* the online-tags thread has logged its last line */
    std::atomic<uint32_t> startTextsBusy;  /* a copy of the start date and time texts is made */
};

static_assert(sizeof(std::atomic<uint8_t>) == 1 && std::atomic<uint8_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint16_t>) == 2 && std::atomic<uint16_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<StationRecord *>) == sizeof(void *));
static_assert(sizeof(std::atomic<PortHandle>) == sizeof(PortHandle));

/* Station record of a station number, or null when the slot is empty or out of range. */
inline StationRecord *StationOf(DriverInstance *instance, uint32_t station)
{
    return station < MAX_STATIONS ? instance->stations[station].load() : nullptr;
}

inline DriverInstance *InstanceOf(RequestBlock *request)
{
    return static_cast<DriverInstance *>(request->instance);
}

/* The GateRequest of a read or write request (codes 5, 6 and 7). */
inline GateRequest *GateOf(RequestBlock *request)
{
    return static_cast<GateRequest *>(request->params);
}
