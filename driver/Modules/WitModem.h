// Modem connections: the online-tags thread, sampling control, emergency and orderly
// disconnection.
#pragma once

#include <stdint.h>

#include "config/Instance.h"

struct Transport;
/* Telegrams over the multi-modem connection of each station. */
extern const Transport kModemTransport;

/* The parser gives a modem command gate its station plus 1000: back to the station. */
void ModemGateToStation(const DriverInstance *instance, GateRequest *gate);

/* Is this station connected: a modem connection is open for it. */
bool StationConnected(const DriverInstance *instance, uint32_t station);

void UpdateOnlineTagsThread(void *instance);
/* Starts the online-tags thread (stack 61440); 0 or the errno of the failed start. */
int StartOnlineTagsThread(DriverInstance *instance);
/* No more passes over the station table: returns once no pass is running. */
void StopOnlineTagsThread(DriverInstance *instance);
/* Waits for the thread to end, which it does once the host client is gone; after a
 * bounded wait (or at once when the client could not be removed) it is made to end. */
void JoinOnlineTagsThread(DriverInstance *instance, bool clientRemoved);

void DisableSampling(DriverInstance *instance, uint32_t station);
void EmergencyDisconnect(DriverInstance *instance, uint32_t station);
uint32_t DisconnectModem(DriverInstance *instance, uint32_t station);
/* An outgoing call (MC, MA, MT, MS) with the dial reference written to the gate: 0 when
 * connected and the reading started, else 1 (M_SAMPLE: the date setting's result). */
uint32_t ConnectModem(RequestBlock *request);
/* An alarm call that the pool delivered with its connection reference: 0 or 1. */
uint32_t AnswerAlarmCall(RequestBlock *request);
/* At the end of the instance: gives a station's connection, if any, back to the pool. */
void ReleaseConnectionAtEnd(DriverInstance *instance, uint32_t station);

/* One pass of the online-tags thread: writes each station's M_ONLINE gate whose state
 * differs from lastWritten (one entry per station, 100 = never written). */
void OnlineTagsPass(DriverInstance *instance, uint8_t lastWritten[MAX_STATIONS]);
