// Start, restart, port change and end of an instance (function codes 1, 2, 11, 12, 15).
#pragma once

#include <stdint.h>

#include "config/Instance.h"

uint32_t ColdStart(RequestBlock *request);
uint32_t WarmStart(RequestBlock *request);
uint32_t EndDrv(RequestBlock *request);
uint32_t CloseCom(RequestBlock *request);
uint32_t ChangeDrvParams(RequestBlock *request);

/* The transport of the instance's mode: its serial port, or the modem connections. */
void ChooseTransport(DriverInstance *instance);

/* Worker threads of an instance (current states, journal, read-all) register here so
 * that EndDrv can wait for them before it frees the station records.
 * WorkerBegin is called by the starter before the thread is created; it returns false
 * when the instance is ending. WorkerEnd is the thread's last touch of the instance. */
bool WorkerBegin(DriverInstance *instance);
void WorkerEnd(DriverInstance *instance);
