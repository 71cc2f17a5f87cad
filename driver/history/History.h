// History traces of a station: their descriptions (TP?), the time of each trace's newest
// sample (T? for one sample), the transfer of the samples into the trace's gate with the
// samples' own time stamps, the history read of a station from the operator's start time,
// and the read-all sequence after a modem call.
#pragma once

#include <stdint.h>

#include "Modules/Worker.h"
#include "config/Instance.h"

enum {
    MAX_HISTORY_VALUES = 4096,  /* per transfer, whatever the reply holds */
    HISTORY_BUFFER_SIZE = 50000 /* the reply of one transfer */
};

/* Fills instance->traces from TP?: 0, 1 no usable reply, 2 log-on failed, or the last
 * attempt's send or receive result. comTimeout is 10000 during it and restored after. */
uint32_t GetTraceInfo(RequestBlock *request);
/* The time of the newest sample of a trace (T? with one sample): 0, or 1 (no usable reply,
 * an illegal time, a period of 0), 2, or the last attempt's result. *time is written when
 * the exchange succeeded, also when the period is 0. */
uint32_t GetLastSampleTime(RequestBlock *request, uint32_t trace, uint32_t *time);

/* A periodic trace: `count` samples asked for, every value of the reply stored (at most
 * 4096), newest first, one period earlier each. 0, 1, 2 or the last attempt's result. */
uint32_t GetHistoryData(RequestBlock *request, uint32_t trace, uint16_t count);
/* An external-clock trace: every record stored with its own time. As GetHistoryData, and
 * 1 when a record was invalid although the valid ones were stored. */
uint32_t GetClockExtHistoryData(RequestBlock *request, uint32_t trace);
/* 1 stored, 0 not stored (no gate with the address: silently; a refused put: logged). */
uint32_t StoreHistoryData(RequestBlock *request, const char *gas, uint32_t raw, uint32_t time);
/* Moves past n TABs from the start of text: 1 when all were found, else 0. *position is
 * just after the last TAB passed (0 when there was none). */
uint32_t SkipFields(const char *text, uint32_t n, uint16_t *position);

/* The history of the request's station from its start time, under the bus mutex for the
 * whole read: the last trace exchange's result, GetTraceInfo's, or 1 without a start time. */
uint32_t ReadHistory(RequestBlock *request);
/* 0 started, 1 not started, 3 a read-all already runs for the station. */
uint32_t StartReadAllData(RequestBlock *request, uint32_t disconnectAfterRead);
/* Journal, history and current states of the copy's station, each whatever the others'
 * outcome; frees the copy. */
void ReadAllDataThread(RequestCopy *copy);
