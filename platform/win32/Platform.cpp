// Threads, the named mutex, the last error and local time on Win32.
#include "platform/Platform.h"

#include <errno.h>
#include <new>
#include <process.h>
#include <windows.h>

struct PlatformThread {
    HANDLE handle;
    PlatformThreadBody body;
    void *arg;
};

namespace {

unsigned __stdcall ThreadMain(void *raw)
{
    PlatformThread *thread = static_cast<PlatformThread *>(raw);
    thread->body(thread->arg);
    return 0;
}

unsigned __stdcall DetachedMain(void *raw)
{
    PlatformThread *thread = static_cast<PlatformThread *>(raw);
    PlatformThreadBody body = thread->body;
    void *arg = thread->arg;
    delete thread;
    body(arg);
    return 0;
}

/* _beginthreadex rather than CreateThread: the C runtime sets itself up for the thread,
 * and a failure comes back as an errno, as the callers log it. */
int StartThread(PlatformThread *thread, size_t stackSize, bool detached)
{
    // A detached thread may free the record at once: the handle goes into a local first.
    errno = 0;
    uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stackSize), detached ? DetachedMain : ThreadMain,
                                      thread, 0, nullptr);
    if (handle == 0)
        return errno != 0 ? errno : EAGAIN;
    if (detached)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    else
        thread->handle = reinterpret_cast<HANDLE>(handle);
    return 0;
}

} // namespace

int PlatformStartThread(PlatformThreadBody body, void *arg, size_t stackSize, PlatformThread **thread)
{
    PlatformThread *t = new (std::nothrow) PlatformThread{nullptr, body, arg};
    if (!t)
        return ENOMEM;
    int rc = StartThread(t, stackSize, false);
    if (rc != 0) {
        delete t;
        return rc;
    }
    *thread = t;
    return 0;
}

int PlatformStartDetachedThread(PlatformThreadBody body, void *arg, size_t stackSize)
{
    PlatformThread *t = new (std::nothrow) PlatformThread{nullptr, body, arg};
    if (!t)
        return ENOMEM;
    int rc = StartThread(t, stackSize, true);
    if (rc != 0)
        delete t;
    return rc;
}

void PlatformJoinThread(PlatformThread *thread)
{
    if (!thread)
        return;
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

// The system's named mutex: re-entrant for its owner, timed, and refusing a release by a
// thread that does not own it (ERROR_NOT_OWNER). Every instance of one drv number opens the
// same one by name.
struct PlatformMutex {
    HANDLE handle;
};

PlatformMutex *PlatformOpenNamedMutex(const char *name, uint32_t *lastError)
{
    if (!name) {
        if (lastError)
            *lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    PlatformMutex *mutex = new (std::nothrow) PlatformMutex;
    if (!mutex) {
        if (lastError)
            *lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    // An existing mutex of this name (ERROR_ALREADY_EXISTS) is the one wanted.
    mutex->handle = CreateMutexA(nullptr, FALSE, name);
    if (!mutex->handle) {
        if (lastError)
            *lastError = GetLastError();
        delete mutex;
        return nullptr;
    }
    return mutex;
}

void PlatformCloseNamedMutex(PlatformMutex *mutex)
{
    if (!mutex)
        return;
    CloseHandle(mutex->handle);
    delete mutex;
}

int PlatformWaitMutex(PlatformMutex *mutex, uint32_t timeoutMs)
{
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return MUTEX_FAILED;
    }
    uint32_t wait = PlatformScaledMs(timeoutMs);
    if (wait == INFINITE)
        wait = INFINITE - 1; /* every wait of the driver is bounded */
    switch (WaitForSingleObject(mutex->handle, wait)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: /* its owner ended without releasing it: ours now */
        return MUTEX_ACQUIRED;
    case WAIT_TIMEOUT:
        SetLastError(ERROR_TIMEOUT);
        return MUTEX_TIMEOUT;
    default:
        return MUTEX_FAILED;
    }
}

int PlatformReleaseMutex(PlatformMutex *mutex)
{
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    if (ReleaseMutex(mutex->handle))
        return 0;
    int error = static_cast<int>(GetLastError());
    return error != 0 ? error : ERROR_NOT_OWNER;
}

uint32_t PlatformLastError(void)
{
    return GetLastError();
}

bool PlatformLocalTime(time_t seconds, struct tm *local)
{
    return local && localtime_s(local, &seconds) == 0;
}
