// The event journal of a station: read event by event with J? on a worker thread, each
// event stored into its resource gate, and the last event number kept across restarts in
// the last-event file.
#pragma once

#include <stdint.h>

#include "Modules/Worker.h"
#include "config/Instance.h"

/* Results of ReadEventFromJournal besides 0, 1 and 2. */
enum { JOURNAL_END = 3 /* the station has no further event */ };

/* 0 the reader runs (journalBusy set), 1 not started, 3 a journal read already runs. */
uint32_t StartReadJournal(RequestBlock *request, uint32_t unused);
/* The worker's body: reads the journal of the copy's station, clears journalBusy, and frees
 * the copy unless a read-all (memory type MA or MC) owns it. */
void ReadJournalThread(RequestCopy *copy);
/* 0 when the whole journal was read, else the failure of the last event request. */
uint32_t ReadJournal(RequestBlock *request, uint32_t incoming);
/* One J? exchange and the storing of its event: 0 stored, 3 no further event, 1 failure,
 * 2 log-on failed or the line failed twice. */
uint32_t ReadEventFromJournal(RequestBlock *request, uint32_t incoming, uint32_t first);

/* Event storing: 1 done (the read goes on), 0 the event record cannot be read. The reply
 * is changed in place. */
uint32_t StoreEventData(RequestBlock *request, char *reply, uint32_t first);

/* The last-event file. GetLastEventNo: 1 found (written to *eventNo), 0 no entry.
 * StoreLastEventNo: 1 written, 0 failed. */
uint32_t GetLastEventNo(uint16_t *eventNo, uint16_t station);
uint32_t StoreLastEventNo(uint16_t eventNo, uint16_t station);

/* The name under which the last-event file is opened. */
extern const char kLastEventFile[];
