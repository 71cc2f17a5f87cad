// Station clock, start date and start time, and calendar conversions.
#pragma once

#include <stdint.h>
#include <stddef.h>
#include <time.h>

#include "config/Instance.h"

uint32_t WriteWStationDateTime(RequestBlock *request);
uint16_t SetStartDate(RequestBlock *request);
uint16_t SetStartTime(RequestBlock *request);
/* Copies the start date (MT_START_DATE) or start time text of a station, taken whole even
 * while the host writes a new one. */
void CopyStartText(DriverInstance *instance, uint32_t station, uint32_t memoryType, char *target, size_t size);
/* Start date and time of a station as seconds since 1970 (local time); 0 when no date. */
uint32_t GetDatTime(DriverInstance *instance, uint32_t station);

/* Local calendar time to seconds since 1970. Fields beyond their range carry over.
 * False for times before 1970 or after 2038-01-19 03:14:07 UTC, on every platform. */
bool CalendarToSeconds(int year, int month, int day, int hour, int minute, int second, uint32_t *seconds);
