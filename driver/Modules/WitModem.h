// Modem connections: the online-tags thread, sampling control, emergency and orderly
// disconnection.
#pragma once

#include <stdint.h>

#include "config/Instance.h"

void UpdateOnlineTagsThread(void *instance);
/* Starts the online-tags thread (stack 61440); 0 or the errno of the failed start. */
int StartOnlineTagsThread(DriverInstance *instance);
/* Asks the thread to end and waits for it. */
void StopOnlineTagsThread(DriverInstance *instance);

void DisableSampling(DriverInstance *instance, uint32_t station);
void EmergencyDisconnect(DriverInstance *instance, uint32_t station);
uint32_t DisconnectModem(DriverInstance *instance, uint32_t station);

/* One pass of the online-tags thread: writes each station's M_ONLINE gate whose state
 * differs from lastWritten (one entry per station, 100 = never written). */
void OnlineTagsPass(DriverInstance *instance, uint8_t lastWritten[MAX_STATIONS]);
