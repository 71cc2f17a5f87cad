// Threads, the named re-entrant mutex, the last error and local time on POSIX.
#include "platform/Platform.h"

#include <chrono>
#include <condition_variable>
#include <errno.h>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRS_SANITIZED 1
#endif
#endif

namespace {

using SteadyClock = std::chrono::steady_clock;

} // namespace

struct PlatformThread {
    pthread_t id;
    PlatformThreadBody body;
    void *arg;
};

namespace {

void *ThreadMain(void *raw)
{
    PlatformThread *thread = static_cast<PlatformThread *>(raw);
    thread->body(thread->arg);
    return nullptr;
}

void *DetachedMain(void *raw)
{
    PlatformThread *thread = static_cast<PlatformThread *>(raw);
    PlatformThreadBody body = thread->body;
    void *arg = thread->arg;
    delete thread;
    body(arg);
    return nullptr;
}

int StartThread(PlatformThread *thread, size_t stackSize, bool detached)
{
#ifdef TRS_SANITIZED
    // Sanitizer runtimes need far more stack than the production threads get.
    if (stackSize < (1u << 20))
        stackSize = 1u << 20;
#endif
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        return rc;
    if (stackSize > 0)
        rc = pthread_attr_setstacksize(&attr, stackSize);
    if (rc == 0 && detached)
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0)
        rc = pthread_create(&thread->id, &attr, detached ? DetachedMain : ThreadMain, thread);
    pthread_attr_destroy(&attr);
    return rc;
}

} // namespace

int PlatformStartThread(PlatformThreadBody body, void *arg, size_t stackSize, PlatformThread **thread)
{
    PlatformThread *t = new (std::nothrow) PlatformThread{pthread_t(), body, arg};
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
    PlatformThread *t = new (std::nothrow) PlatformThread{pthread_t(), body, arg};
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
    pthread_join(thread->id, nullptr);
    delete thread;
}

// A re-entrant mutex with a timed wait and an owner check, so that a release by a thread
// that does not hold it fails as ReleaseMutex does.
struct PlatformMutex {
    std::string name;
    unsigned references = 0;
    std::mutex guard;
    std::condition_variable freed;
    std::thread::id owner;
    unsigned depth = 0;
};

namespace {

std::mutex &RegistryGuard()
{
    static std::mutex guard;
    return guard;
}

std::map<std::string, PlatformMutex *> &Registry()
{
    static std::map<std::string, PlatformMutex *> registry;
    return registry;
}

} // namespace

PlatformMutex *PlatformOpenNamedMutex(const char *name, uint32_t *lastError)
{
    if (!name) {
        if (lastError)
            *lastError = EINVAL;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(RegistryGuard());
    auto &registry = Registry();
    auto found = registry.find(name);
    PlatformMutex *mutex;
    if (found != registry.end()) {
        mutex = found->second;
    } else {
        mutex = new (std::nothrow) PlatformMutex;
        if (!mutex) {
            if (lastError)
                *lastError = ENOMEM;
            return nullptr;
        }
        mutex->name = name;
        registry[name] = mutex;
    }
    mutex->references++;
    return mutex;
}

void PlatformCloseNamedMutex(PlatformMutex *mutex)
{
    if (!mutex)
        return;
    std::lock_guard<std::mutex> lock(RegistryGuard());
    if (--mutex->references == 0) {
        Registry().erase(mutex->name);
        delete mutex;
    }
}

int PlatformWaitMutex(PlatformMutex *mutex, uint32_t timeoutMs)
{
    if (!mutex) {
        errno = EINVAL;
        return MUTEX_FAILED;
    }
    std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex->guard);
    if (mutex->depth > 0 && mutex->owner == self) {
        mutex->depth++;
        return MUTEX_ACQUIRED;
    }
    auto end = SteadyClock::now() + std::chrono::milliseconds(PlatformScaledMs(timeoutMs));
    while (mutex->depth > 0) {
        if (mutex->freed.wait_until(lock, end) == std::cv_status::timeout && mutex->depth > 0) {
            errno = ETIMEDOUT;
            return MUTEX_TIMEOUT;
        }
    }
    mutex->owner = self;
    mutex->depth = 1;
    return MUTEX_ACQUIRED;
}

int PlatformReleaseMutex(PlatformMutex *mutex)
{
    if (!mutex) {
        errno = EINVAL;
        return EINVAL;
    }
    std::lock_guard<std::mutex> lock(mutex->guard);
    if (mutex->depth == 0 || mutex->owner != std::this_thread::get_id()) {
        errno = EPERM;
        return EPERM;
    }
    if (--mutex->depth == 0) {
        mutex->owner = std::thread::id();
        mutex->freed.notify_one();
    }
    return 0;
}

uint32_t PlatformLastError(void)
{
    return static_cast<uint32_t>(errno);
}

bool PlatformLocalTime(time_t seconds, struct tm *local)
{
    return local && localtime_r(&seconds, local) != nullptr;
}
