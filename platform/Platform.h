// The system layer of the driver: time, threads, named mutexes, local time, profile files
// and (platform/Serial.h) the serial port. The driver names no system call of its own:
// each system has its implementation of these declarations (platform/posix/ here), and
// CMake picks the one of the system it builds for.
// Every sleep and every timed wait of the driver goes through this layer, so that the
// one time-scale hook below shortens them all in tests without changing a single wait.
#pragma once

#include <atomic>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

/* Time scale. 1.0 in production. A test sets e.g. 0.01 and every wait of the driver
 * (sleeps, read time-outs, mutex waits) lasts a hundredth of its nominal length, and the
 * deadline clock runs a hundred times faster. */
void PlatformSetTimeScale(double scale);
double PlatformTimeScale(void);
/* Nominal milliseconds to real ones under the time scale (at least 1 when ms > 0). */
uint32_t PlatformScaledMs(uint32_t ms);

/* Sleep `ms` nominal milliseconds. 0 yields the processor. */
void PlatformSleepMs(uint32_t ms);
/* Sleep up to `ms` nominal milliseconds, returning early (true) once *stop is nonzero. */
bool PlatformSleepUnlessStopped(uint32_t ms, const std::atomic<uint32_t> *stop);

/* Whole seconds for deadlines, on the steady clock (a step of the calendar clock moves no
 * deadline): its seconds at scale 1, a faster virtual clock otherwise. */
time_t PlatformDeadlineClock(void);
/* Wall clock in seconds since 1970, for time stamps and the station clock. Never scaled. */
time_t PlatformWallClock(void);
/* The local calendar time of `seconds` (the system's time zone). False on failure. */
bool PlatformLocalTime(time_t seconds, struct tm *local);

/* Threads. Returns 0 or the errno of the failed start. */
struct PlatformThread;
typedef void (*PlatformThreadBody)(void *arg);
int PlatformStartThread(PlatformThreadBody body, void *arg, size_t stackSize, PlatformThread **thread);
/* Start a thread that nobody joins (the worker threads). */
int PlatformStartDetachedThread(PlatformThreadBody body, void *arg, size_t stackSize);
void PlatformJoinThread(PlatformThread *thread);

/* Named, re-entrant, timed mutex shared by name within the process. */
struct PlatformMutex;
/* Opens the mutex of this name, creating it if needed. Null on failure (*lastError set). */
PlatformMutex *PlatformOpenNamedMutex(const char *name, uint32_t *lastError);
/* Drops one reference; the mutex goes when the last one does. */
void PlatformCloseNamedMutex(PlatformMutex *mutex);

enum { MUTEX_ACQUIRED = 0, MUTEX_TIMEOUT = 1, MUTEX_FAILED = 2 };
/* Waits up to timeoutMs nominal milliseconds. Re-entrant for the owning thread. */
int PlatformWaitMutex(PlatformMutex *mutex, uint32_t timeoutMs);
/* 0 released; nonzero (EPERM) when the calling thread does not own it. */
int PlatformReleaseMutex(PlatformMutex *mutex);

/* The last error code of the calling thread (errno), as GetLastError gives it. */
uint32_t PlatformLastError(void);

/* Profile files (sections of key=value lines, as the classic profile-file calls keep them).
 * Section and key names compare without regard to case; a name may use '\\' or '/' and is
 * taken relative to the current directory. */
/* The value of `key` in `section`, or `fallback` when the file, the section or the key is
 * missing or the file cannot be read; at most size-1 characters, always terminated.
 * Returns the number of characters copied. */
uint32_t PlatformGetProfileString(const char *section, const char *key, const char *fallback, char *buffer,
                                  uint32_t size, const char *file);
/* Sets `key` in `section` to `value`, keeping every other line of the file, and creates the
 * file or the section when missing. The file is replaced whole or not at all, and writers
 * in this and other processes take turns. False on failure (PlatformLastError tells why). */
bool PlatformWriteProfileString(const char *section, const char *key, const char *value, const char *file);

/* Bounded copy: copies at most size-1 bytes and always terminates (size > 0). */
size_t CopyText(char *target, size_t size, const char *source);
