// TRS II telegrams: framing, sending and receiving in both modes, the bus mutex, the
// status texts and the request cycle that every command runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/Instance.h"

/* Results of the exchange operations. */
enum { LINK_OK = 0, LINK_FAILED = 1, LINK_BROKEN = 2 };

/* 0x40 + ((64 - (sum mod 64)) mod 64) over the payload bytes. */
char TelegramChecksum(const char *payload, size_t length);

/* Appends checksum and CR (the buffer needs two spare bytes), sends, and restores the
 * bare payload as a string. */
uint32_t SendTelegram(char *payload, uint32_t length, DriverInstance *instance, uint32_t station);
uint32_t Send(const char *bytes, uint32_t count, DriverInstance *instance, uint32_t station);
uint32_t ReceiveMsg(char *buffer, uint32_t *lengthOut, DriverInstance *instance, uint32_t station, uint16_t maxLength);
uint32_t ReceiveByte(char *buffer, DriverInstance *instance, uint32_t station);

uint32_t ReqSem(DriverInstance *instance);
uint32_t RelSem(DriverInstance *instance);

const char *WitStatusText(uint32_t code);

/* Reads the status number of a reply: finds the first "STATUT" and reads
 * "STATUT\t%03u" there. False when the reply has no STATUT or no number. */
bool ReplyHasStatut(const char *reply);
bool ReadStatut(const char *reply, uint32_t *status);

/* The request cycle: up to 4 attempts (0..3), a fresh log-on before attempt 2, one
 * telegram and one reply per attempt. Each command fills the hooks with its own
 * messages and its reply check. */
enum CycleVerdict {
    CYCLE_REPLY_GOOD = 0, /* the cycle ends with *result */
    CYCLE_REPLY_BAD = 1   /* the attempt ends with 1 */
};

struct RequestCycle;

/* A command's part in the cycle: its messages and its reply check. Every hook may be null. */
struct CycleHooks {
    /* Called at the start of every attempt. */
    void (*onAttempt)(RequestCycle *cycle, int attempt);
    /* The log-on before attempt 2 failed; the cycle ends with 2. */
    void (*onLogOnFailed)(RequestCycle *cycle);
    void (*onSendFailed)(RequestCycle *cycle, int attempt);
    void (*onReceiveFailed)(RequestCycle *cycle, int attempt);
    /* Checks a received reply (NUL-terminated payload of `length` bytes). Logs its own
     * messages. On CYCLE_REPLY_GOOD, *result is the result of the cycle. Null: every
     * reply is good. */
    CycleVerdict (*checkReply)(RequestCycle *cycle, int attempt, uint32_t length, uint32_t *result);
};

struct RequestCycle {
    DriverInstance *instance;
    uint32_t station;
    char *payload;          /* with two spare bytes behind it */
    uint32_t payloadLength;
    char *reply;
    uint16_t maxLength;
    void *context;
    const CycleHooks *hooks;
};

/* Runs the cycle and returns its result (0, 1, 2, or the check's result). The caller
 * holds the bus mutex. */
uint32_t RunRequestCycle(RequestCycle *cycle);
