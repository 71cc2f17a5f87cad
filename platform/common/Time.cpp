// The time scale and the waits built on it: the same on every system, since they use only
// the C++ clocks.
#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;

struct TimeScale {
    std::atomic<double> scale{1.0};
    std::atomic<int64_t> steadyBaseNs{0};
};

TimeScale &Scale()
{
    static TimeScale timeScale;
    return timeScale;
}

int64_t SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

// A pause under the time scale. The shortest real pause is a millisecond, as the polls of
// a millisecond need, unless the clock runs more than a thousand times faster: then it is
// what a second shrinks to, so that the driver's waits of a second shrink with the scale.
std::chrono::microseconds ScaledPause(uint32_t ms)
{
    const double scale = PlatformTimeScale();
    if (scale == 1.0 || ms == 0)
        return std::chrono::milliseconds(ms);
    const double shortest = std::min(1000.0, 1e6 * scale);
    return std::chrono::microseconds(static_cast<int64_t>(std::max(ms * scale * 1000.0, shortest)));
}

} // namespace

void PlatformSetTimeScale(double scale)
{
    if (!(scale > 0.0))
        scale = 1.0;
    TimeScale &t = Scale();
    t.steadyBaseNs.store(SteadyNs());
    t.scale.store(scale);
}

double PlatformTimeScale(void)
{
    return Scale().scale.load();
}

uint32_t PlatformScaledMs(uint32_t ms)
{
    double scale = PlatformTimeScale();
    if (scale == 1.0 || ms == 0)
        return ms;
    double scaled = ms * scale;
    if (scaled < 1.0)
        return 1;
    if (scaled > 4294967295.0)
        return UINT32_MAX;
    return static_cast<uint32_t>(scaled);
}

void PlatformSleepMs(uint32_t ms)
{
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(ScaledPause(ms));
}

bool PlatformSleepUnlessStopped(uint32_t ms, const std::atomic<uint32_t> *stop)
{
    auto end = SteadyClock::now() + ScaledPause(ms);
    for (;;) {
        if (stop && stop->load())
            return true;
        auto now = SteadyClock::now();
        if (now >= end)
            return false;
        auto slice = std::min<SteadyClock::duration>(end - now, std::chrono::milliseconds(10));
        std::this_thread::sleep_for(slice);
    }
}

// The steady clock's whole seconds: a step of the calendar clock (an operator, NTP) must
// neither lift the cap on a reply nor fail a reply that is arriving.
time_t PlatformDeadlineClock(void)
{
    TimeScale &t = Scale();
    double scale = t.scale.load();
    const int64_t now = SteadyNs();
    if (scale == 1.0)
        return static_cast<time_t>(now / 1000000000);
    const int64_t base = t.steadyBaseNs.load();
    return static_cast<time_t>(base / 1000000000) + static_cast<time_t>((now - base) / 1e9 / scale);
}

time_t PlatformWallClock(void)
{
    return time(nullptr);
}

