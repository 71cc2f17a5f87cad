// Inside the simulator: its lines and its shared state, between the stations' side
// (Simulator.cpp) and the system's lines (LinesPosix.cpp, LinesWin32.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/Protocol.h"
#include "sim/Records.h"
#include "sim/Simulator.h"

namespace trs::sim {

inline void SetError(std::string *error, const std::string &text) {
    if (error) *error = text;
}

struct Line {
#if defined(_WIN32)
    intptr_t fd = -1;     // a socket, or the handle of a COM port
    bool comPort = false;
#else
    int fd = -1;
    int slaveFd = -1; // pty only: held open so the master never reads EIO while the driver has the port closed
#endif
    LineState state;  // touched by this line's thread only, under Impl::mu
    // Input parser state, line thread only.
    std::string frame;
    bool overflow = false;
    size_t wakePos = 0; // bytes of the wake-up sequence matched so far
    // Line pacing, line thread only: when the byte being fed has crossed the line in, and
    // when the line out is free again.
    std::chrono::steady_clock::time_point byteIn{}, outFree{};
    std::thread thread;
    std::atomic<bool> finished{false};
};

struct Simulator::Impl {
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::vector<StationConfig> stations;
    std::vector<Fault> faults;
    // What was received, for the tests' and the demo's eyes: bounded, since the simulator
    // also serves commissioning runs of days.
    std::deque<std::string> telegrams;
    size_t telegramsKept = kKeptTelegrams;
    std::string raw;
    void Record(std::string payload);
    void RecordRaw(char c);
    Counters counters;
    std::function<void(bool, const std::string &)> trace;
    std::atomic<uint32_t> paceBaud{0}; // 0 = no line pacing

    // The wire time of one 10-bit character at the paced rate.
    static std::chrono::nanoseconds CharacterTime(uint32_t baud) {
        return std::chrono::nanoseconds(10'000'000'000ull / baud);
    }

    std::mutex linesMu;
    std::vector<std::unique_ptr<Line>> lines;
#if defined(_WIN32)
    intptr_t listenFd = -1;
    void *stopEvent = nullptr;         // a manual-reset event, set by Stop(): ends every wait
    std::atomic<bool> stopping{false}; // the same, for the loops that look between waits
#else
    int listenFd = -1;
    int stopPipe[2] = {-1, -1}; // readable once Stop() runs: wakes every poll
#endif
    std::thread acceptThread;

    // Growth of journals and traces: one thread, started when a station first has something
    // that grows, running until the simulator goes. Its state is guarded by mu.
    std::thread growthThread;
    std::condition_variable growthCv;
    bool growthStop = false;
    // When the next step is due, by (identity, 0 for the journal generator or trace number).
    std::map<std::pair<uint32_t, uint32_t>, std::chrono::steady_clock::time_point> due;

    Impl();  // the system's side of the lines (LinesPosix.cpp, LinesWin32.cpp)
    ~Impl();
    void StopGrowth(); // ends the growth thread

    // Under mu.
    StationConfig *Find(uint32_t identity) {
        for (auto &s : stations)
            if (s.identity == identity) return &s;
        return nullptr;
    }
    // Under mu: the station's growth starts afresh with its (new) configuration.
    void Regrow(const StationConfig &station, std::optional<uint32_t> only = std::nullopt) {
        const uint32_t id = station.identity;
        if (only)
            due.erase({id, *only});
        else
            due.erase(due.lower_bound({id, 0}), due.lower_bound({id + 1, 0}));
        if (Grows(station) && !growthThread.joinable()) growthThread = std::thread([this] { GrowthLoop(); });
        growthCv.notify_all();
    }
    void GrowthLoop();

    // Sleeps ms milliseconds; false when Stop() cut the wait short.
    bool Pause(uint32_t ms) const;
    // Sleeps until `when`; false when Stop() cut the wait short.
    bool PauseUntil(std::chrono::steady_clock::time_point when) const;
    bool WriteAll(Line &line, const std::string &bytes);

    void Trace(bool incoming, const std::string &bytes) {
        std::function<void(bool, const std::string &)> fn;
        {
            std::lock_guard lock(mu);
            fn = trace;
        }
        if (fn) fn(incoming, bytes);
    }

    void HandleFrame(Line &line, const std::string &frame);
    void Feed(Line &line, const char *bytes, size_t count);
    void Serve(Line &line);
#if defined(_WIN32)
    void StartLine(intptr_t fd, bool comPort, std::optional<uint32_t> primary);
#else
    void StartLine(int fd, int slaveFd, std::optional<uint32_t> primary);
#endif
    void AcceptLoop();
};

} // namespace trs::sim
