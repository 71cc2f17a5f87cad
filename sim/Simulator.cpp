// The stations' side of the simulator: telegrams in, answers out, faults, growth and the
// station API. The lines themselves (pseudo-terminal, COM port, TCP connections and alarm
// calls, each served by its own thread) are the system's: LinesPosix.cpp, LinesWin32.cpp.
#include "sim/Simulator.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/Lines.h"
#include "sim/Protocol.h"
#include "sim/Records.h"

namespace trs::sim {

namespace {

constexpr size_t kMaxFrame = 4096; // longest telegram kept; longer ones are dropped up to their CR
constexpr char kStx = 0x02, kEtx = 0x03, kEsc = 0x1B, kCr = '\r';
constexpr char kWakeUp[] = {kEtx, kEsc, 'W', '0', '6', kEtx};

} // namespace

void Simulator::Impl::StopGrowth() {
    {
        std::lock_guard lock(mu);
        growthStop = true;
    }
    growthCv.notify_all();
    if (growthThread.joinable()) growthThread.join();
}

void Simulator::Impl::GrowthLoop() {
    using namespace std::chrono;
    constexpr int kMostSteps = 1000; // a stalled simulator skips ahead instead of flooding the journal
    std::unique_lock lock(mu);
    while (!growthStop) {
        const auto now = steady_clock::now();
        const auto wall = system_clock::now();
        auto wake = now + seconds(1);
        bool changed = false;
        for (auto &s : stations) {
            auto step = [&](uint32_t key, uint32_t everyMs, auto &&grow) {
                if (everyMs == 0) return;
                const milliseconds period(everyMs);
                auto &when = due.try_emplace({s.identity, key}, now + period).first->second;
                for (int n = 0; when <= now; when += period) {
                    if (++n > kMostSteps) {
                        when = now + period;
                        break;
                    }
                    grow();
                    changed = true;
                }
                wake = std::min(wake, when);
            };
            step(0, s.journal.generator.everyMs, [&] { GenerateEvent(s.journal, StationClock(s, wall)); });
            for (auto &[number, trace] : s.traces)
                step(number, trace.tickMs, [&, t = &trace] { GrowTrace(*t, StationClock(s, wall)); });
        }
        if (changed) cv.notify_all();
        growthCv.wait_until(lock, wake);
    }
}

// Both under mu.
void Simulator::Impl::Record(std::string payload) {
    while (!telegrams.empty() && telegrams.size() >= telegramsKept) telegrams.pop_front();
    if (telegramsKept > 0) telegrams.push_back(std::move(payload));
}

void Simulator::Impl::RecordRaw(char c) {
    if (raw.size() >= 2 * kKeptRawBytes) raw.erase(0, raw.size() - kKeptRawBytes); // the oldest half goes
    raw += c;
}

void Simulator::Impl::HandleFrame(Line &line, const std::string &frame) {
    if (frame.empty()) return; // a lone CR carries nothing to answer
    const std::string payload = frame.substr(0, frame.size() - 1);
    const bool checksumOk = Checksum(payload) == frame.back();
    Answer answer;
    std::optional<Fault> fault;
    {
        std::lock_guard lock(mu);
        Record(payload);
        ++counters.telegrams;
        if (!checksumOk) ++counters.checksumErrors;
        const std::string command = CommandWord(stations, payload);
        auto it = std::find_if(faults.begin(), faults.end(), [&](const Fault &f) {
            return f.count != 0 && (f.command.empty() || f.command == command);
        });
        const auto now = std::chrono::system_clock::now();
        if (it != faults.end() && it->kind == FaultKind::Status) {
            // A refused command does not run: answer from a scratch copy of the stations.
            auto scratchStations = stations;
            LineState scratchLine = line.state;
            answer = Respond(scratchStations, scratchLine, payload, checksumOk, now);
        } else {
            answer = Respond(stations, line.state, payload, checksumOk, now);
        }
        if (!answer.identity) {
            ++counters.unanswered;
        } else if (it != faults.end()) {
            fault = *it;
            if (it->count > 0) --it->count;
        }
    }
    cv.notify_all();
    Trace(true, payload);
    if (!answer.identity) return;

    std::string reply = Frame(answer.reply);
    if (fault) {
        switch (fault->kind) {
        case FaultKind::NoReply: return;
        case FaultKind::WrongChecksum:
            reply[reply.size() - 2] = static_cast<char>(0x40 + ((reply[reply.size() - 2] - 0x40 + 1) % 64));
            break;
        case FaultKind::MissingCr: reply.pop_back(); break;
        case FaultKind::Delay:
            if (!Pause(fault->delayMs)) return;
            break;
        case FaultKind::Split: {
            const std::string first = reply.substr(0, reply.size() / 2);
            if (!WriteAll(line, first)) return;
            Trace(false, first);
            if (!Pause(fault->delayMs)) return;
            reply = reply.substr(first.size());
            break;
        }
        case FaultKind::Status: {
            char text[32];
            std::snprintf(text, sizeof text, "STATUT\t%03u\t", fault->status);
            reply = Frame(text);
            break;
        }
        case FaultKind::Raw: reply = fault->raw; break;
        }
    }
    if (WriteAll(line, reply)) Trace(false, reply);
}

bool Simulator::Impl::PauseUntil(std::chrono::steady_clock::time_point when) const {
    using namespace std::chrono;
    for (;;) {
        const auto now = steady_clock::now();
        if (now >= when) return true;
        const auto left = duration_cast<microseconds>(when - now);
        // Pause counts whole milliseconds: the last part is slept finely.
        if (left >= milliseconds(2)) {
            if (!Pause(static_cast<uint32_t>(duration_cast<milliseconds>(left).count() - 1))) return false;
        } else {
            std::this_thread::sleep_for(left);
        }
    }
}

void Simulator::Impl::Feed(Line &line, const char *bytes, size_t count) {
    using namespace std::chrono;
    const uint32_t baud = paceBaud.load();
    const nanoseconds character = baud ? CharacterTime(baud) : nanoseconds(0);
    if (baud) {
        // The bytes came in together; on the line they follow one another, behind any
        // that are still crossing it.
        line.byteIn = std::max(steady_clock::now(), line.byteIn);
    }
    {
        std::lock_guard lock(mu);
        counters.bytesIn += count;
        if (baud && counters.firstIn == steady_clock::time_point{}) counters.firstIn = steady_clock::now();
    }
    for (size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (baud) {
            line.byteIn += character;
            // A telegram is complete once its CR has crossed the line.
            if (c == kCr && !PauseUntil(line.byteIn)) return;
        }
        if (c == kStx || c == kEtx || c == kEsc) {
            // Control bytes never occur inside a telegram: they end any partial one.
            line.frame.clear();
            line.overflow = false;
            std::lock_guard lock(mu);
            RecordRaw(c);
            if (c == kStx) {
                line.state.transparent = true;
                line.wakePos = 0;
            } else if (c == kEtx) {
                line.state.transparent = false;
                if (line.wakePos == sizeof kWakeUp - 1) {
                    ++counters.wakeUps;
                    line.state.loggedOn.clear();
                    line.wakePos = 0;
                } else {
                    line.wakePos = 1;
                }
            } else {
                line.wakePos = line.wakePos == 1 ? 2 : 0;
            }
            continue;
        }
        if (line.frame.empty() && !line.overflow && line.wakePos >= 2 && line.wakePos < sizeof kWakeUp - 1) {
            if (c == kWakeUp[line.wakePos]) {
                ++line.wakePos;
                std::lock_guard lock(mu);
                RecordRaw(c);
                continue;
            }
        }
        line.wakePos = 0;
        if (c == kCr) {
            if (line.overflow) {
                line.overflow = false;
            } else {
                std::string frame;
                frame.swap(line.frame);
                HandleFrame(line, frame);
            }
            continue;
        }
        if (line.overflow) continue;
        if (line.frame.size() >= kMaxFrame) {
            line.frame.clear();
            line.overflow = true;
            std::lock_guard lock(mu);
            ++counters.overflows;
            continue;
        }
        line.frame += c;
    }
}

void Simulator::AddStation(const StationConfig &station) {
    std::lock_guard lock(impl_->mu);
    StationConfig copy = station;
    std::map<std::string, std::string> variables;
    for (auto &[token, value] : copy.variables) variables[CanonicalToken(token)] = value;
    copy.variables = std::move(variables);
    Settle(copy, StationClock(copy, std::chrono::system_clock::now()));
    StationConfig *existing = impl_->Find(station.identity);
    StationConfig &stored = existing ? (*existing = std::move(copy)) : impl_->stations.emplace_back(std::move(copy));
    impl_->Regrow(stored);
}

std::optional<StationConfig> Simulator::Station(uint32_t identity) const {
    std::lock_guard lock(impl_->mu);
    for (const auto &s : impl_->stations)
        if (s.identity == identity) return s;
    return std::nullopt;
}

std::vector<StationConfig> Simulator::Stations() const {
    std::lock_guard lock(impl_->mu);
    return impl_->stations;
}

void Simulator::SetVariable(uint32_t identity, const std::string &token, const std::string &value) {
    std::lock_guard lock(impl_->mu);
    for (auto &s : impl_->stations)
        if (s.identity == identity) s.variables[CanonicalToken(token)] = value;
}

std::optional<std::string> Simulator::Variable(uint32_t identity, const std::string &token) const {
    std::lock_guard lock(impl_->mu);
    for (const auto &s : impl_->stations) {
        if (s.identity != identity) continue;
        auto it = s.variables.find(CanonicalToken(token));
        if (it != s.variables.end()) return it->second;
    }
    return std::nullopt;
}

void Simulator::SetResource(uint32_t identity, uint32_t address, const Resource &resource) {
    std::lock_guard lock(impl_->mu);
    for (auto &s : impl_->stations)
        if (s.identity == identity) s.resources[address] = resource;
}

std::optional<Resource> Simulator::GetResource(uint32_t identity, uint32_t address) const {
    std::lock_guard lock(impl_->mu);
    for (const auto &s : impl_->stations) {
        if (s.identity != identity) continue;
        auto it = s.resources.find(address);
        if (it != s.resources.end()) return it->second;
    }
    return std::nullopt;
}

uint16_t Simulator::RecordEvent(uint32_t identity, Event e) {
    uint16_t number = 0;
    {
        std::lock_guard lock(impl_->mu);
        if (StationConfig *s = impl_->Find(identity))
            number = AppendEvent(s->journal, std::move(e), StationClock(*s, std::chrono::system_clock::now()));
    }
    impl_->cv.notify_all();
    return number;
}

std::vector<Event> Simulator::Journal(uint32_t identity) const {
    std::lock_guard lock(impl_->mu);
    const StationConfig *s = impl_->Find(identity);
    return s ? std::vector<Event>(s->journal.events.begin(), s->journal.events.end()) : std::vector<Event>{};
}

void Simulator::SetJournal(uint32_t identity, std::vector<Event> events) {
    {
        std::lock_guard lock(impl_->mu);
        StationConfig *s = impl_->Find(identity);
        if (!s) return;
        s->journal.events.assign(std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
        NumberEvents(s->journal, true);
        Settle(*s, StationClock(*s, std::chrono::system_clock::now()));
    }
    impl_->cv.notify_all();
}

void Simulator::SetNextEventNumber(uint32_t identity, uint16_t number) {
    std::lock_guard lock(impl_->mu);
    StationConfig *s = impl_->Find(identity);
    if (s && number >= 1 && number <= 9999) s->journal.nextNumber = number;
}

void Simulator::StopGrowth(uint32_t identity) {
    std::lock_guard lock(impl_->mu);
    StationConfig *s = impl_->Find(identity);
    if (!s) return;
    s->journal.generator.everyMs = 0;
    for (auto &[number, trace] : s->traces) trace.tickMs = 0;
    impl_->Regrow(*s);
}

void Simulator::SetHistoryTrace(uint32_t identity, const HistoryTrace &trace) {
    {
        std::lock_guard lock(impl_->mu);
        StationConfig *s = impl_->Find(identity);
        if (!s) return;
        s->traces[trace.number] = trace;
        Settle(*s, StationClock(*s, std::chrono::system_clock::now()));
        impl_->Regrow(*s, trace.number);
    }
    impl_->cv.notify_all();
}

std::optional<HistoryTrace> Simulator::GetHistoryTrace(uint32_t identity, uint16_t number) const {
    std::lock_guard lock(impl_->mu);
    const StationConfig *s = impl_->Find(identity);
    if (!s) return std::nullopt;
    auto it = s->traces.find(number);
    if (it == s->traces.end()) return std::nullopt;
    return it->second;
}

bool Simulator::AddSample(uint32_t identity, uint16_t number, const std::string &value,
                          std::optional<StationTime> time) {
    {
        std::lock_guard lock(impl_->mu);
        StationConfig *s = impl_->Find(identity);
        if (!s) return false;
        auto it = s->traces.find(number);
        if (it == s->traces.end()) return false;
        AppendSample(it->second, value, time, StationClock(*s, std::chrono::system_clock::now()));
    }
    impl_->cv.notify_all();
    return true;
}

bool Simulator::WaitForStation(uint32_t identity, const std::function<bool(const StationConfig &)> &condition,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] {
        const StationConfig *s = impl_->Find(identity);
        return s && condition(*s);
    });
}

void Simulator::InjectFault(const Fault &fault) {
    std::lock_guard lock(impl_->mu);
    impl_->faults.push_back(fault);
}

void Simulator::ClearFaults() {
    std::lock_guard lock(impl_->mu);
    impl_->faults.clear();
}

std::vector<std::string> Simulator::Telegrams() const {
    std::lock_guard lock(impl_->mu);
    return {impl_->telegrams.begin(), impl_->telegrams.end()};
}

std::string Simulator::RawInput() const {
    std::lock_guard lock(impl_->mu);
    return impl_->raw;
}

void Simulator::ClearLog() {
    std::lock_guard lock(impl_->mu);
    // Given back, not only emptied: a long run that empties the log now and then must not
    // keep the size of its busiest stretch.
    impl_->telegrams = {};
    impl_->raw = {};
}

void Simulator::KeepTelegrams(size_t newest) {
    std::lock_guard lock(impl_->mu);
    impl_->telegramsKept = newest;
    while (impl_->telegrams.size() > newest) impl_->telegrams.pop_front();
}

bool Simulator::WaitForTelegrams(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->telegrams.size() >= n; });
}

Counters Simulator::GetCounters() const {
    std::lock_guard lock(impl_->mu);
    return impl_->counters;
}

void Simulator::ClearCounters() {
    std::lock_guard lock(impl_->mu);
    impl_->counters = Counters{};
}

void Simulator::SetLinePacing(uint32_t baud) {
    impl_->paceBaud = baud;
}

void Simulator::SetTrace(std::function<void(bool incoming, const std::string &bytes)> trace) {
    std::lock_guard lock(impl_->mu);
    impl_->trace = std::move(trace);
}

} // namespace trs::sim
