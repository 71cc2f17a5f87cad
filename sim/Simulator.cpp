// Lines of the simulator: pseudo-terminal, accepted TCP connections and alarm calls, each
// served by its own thread; the stations' answers come from Protocol.cpp.
#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/Protocol.h"
#include "sim/Records.h"

namespace trs::sim {

namespace {

constexpr size_t kMaxFrame = 4096; // longest telegram kept; longer ones are dropped up to their CR
constexpr char kStx = 0x02, kEtx = 0x03, kEsc = 0x1B, kCr = '\r';
constexpr char kWakeUp[] = {kEtx, kEsc, 'W', '0', '6', kEtx};

std::string SysError(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void SetError(std::string *error, const std::string &text) {
    if (error) *error = text;
}

void CloseFd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

struct Line {
    int fd = -1;
    int slaveFd = -1; // pty only: held open so the master never reads EIO while the driver has the port closed
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
    std::vector<std::string> telegrams;
    std::string raw;
    Counters counters;
    std::function<void(bool, const std::string &)> trace;
    std::atomic<uint32_t> paceBaud{0}; // 0 = no line pacing

    // The wire time of one 10-bit character at the paced rate.
    std::chrono::nanoseconds CharacterTime(uint32_t baud) const {
        return std::chrono::nanoseconds(10'000'000'000ull / baud);
    }

    std::mutex linesMu;
    std::vector<std::unique_ptr<Line>> lines;
    int listenFd = -1;
    std::thread acceptThread;
    int stopPipe[2] = {-1, -1}; // readable once Stop() runs: wakes every poll

    // Growth of journals and traces: one thread, started when a station first has something
    // that grows, running until the simulator goes. Its state is guarded by mu.
    std::thread growthThread;
    std::condition_variable growthCv;
    bool growthStop = false;
    // When the next step is due, by (identity, 0 for the journal generator or trace number).
    std::map<std::pair<uint32_t, uint32_t>, std::chrono::steady_clock::time_point> due;

    Impl() {
        if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = stopPipe[1] = -1;
    }
    ~Impl() {
        {
            std::lock_guard lock(mu);
            growthStop = true;
        }
        growthCv.notify_all();
        if (growthThread.joinable()) growthThread.join();
        CloseFd(stopPipe[0]);
        CloseFd(stopPipe[1]);
    }

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
    bool Pause(uint32_t ms) const {
        pollfd p{stopPipe[0], POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(ms)) == 0;
    }

    bool WriteAll(Line &line, const std::string &bytes) {
        using namespace std::chrono;
        const uint32_t baud = paceBaud.load();
        const nanoseconds character = baud ? CharacterTime(baud) : nanoseconds(0);
        const auto start = baud ? std::max(steady_clock::now(), line.outFree) : steady_clock::time_point{};
        size_t done = 0;
        bool counted = false;
        while (done < bytes.size()) {
            // Paced: hand over only the bytes that have crossed the line by now; each byte
            // arrives one character time after the one before it.
            size_t due = bytes.size();
            if (baud) {
                const auto now = steady_clock::now();
                due = std::min<size_t>(bytes.size(), static_cast<size_t>((now - start) / character));
                if (due <= done) {
                    if (!PauseUntil(start + character * static_cast<int64_t>(done + 1))) return false;
                    continue;
                }
                // The last byte has crossed the line: counted before the peer can see it, so
                // that the counters are complete once the peer has the reply.
                if (due == bytes.size() && !counted) {
                    std::lock_guard lock(mu);
                    counters.bytesOut += bytes.size();
                    counters.lastOut = now;
                    counted = true;
                }
            }
            ssize_t n = ::write(line.fd, bytes.data() + done, due - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p[2] = {{line.fd, POLLOUT, 0}, {stopPipe[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) return false;
            if (p[1].revents) return false;
        }
        if (baud) line.outFree = start + character * static_cast<int64_t>(bytes.size());
        if (!counted) {
            std::lock_guard lock(mu);
            counters.bytesOut += bytes.size();
        }
        return true;
    }

    // Sleeps until `when`; false when Stop() cut the wait short.
    bool PauseUntil(std::chrono::steady_clock::time_point when) const {
        using namespace std::chrono;
        for (;;) {
            const auto now = steady_clock::now();
            if (now >= when) return true;
            const auto left = duration_cast<microseconds>(when - now);
            // poll() counts whole milliseconds: the last part is slept finely.
            if (left >= milliseconds(2)) {
                if (!Pause(static_cast<uint32_t>(duration_cast<milliseconds>(left).count() - 1))) return false;
            } else {
                std::this_thread::sleep_for(left);
            }
        }
    }

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
    void StartLine(int fd, int slaveFd, std::optional<uint32_t> primary);
    void AcceptLoop();
};

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

void Simulator::Impl::HandleFrame(Line &line, const std::string &frame) {
    if (frame.empty()) return; // a lone CR carries nothing to answer
    const std::string payload = frame.substr(0, frame.size() - 1);
    const bool checksumOk = Checksum(payload) == frame.back();
    Answer answer;
    std::optional<Fault> fault;
    {
        std::lock_guard lock(mu);
        telegrams.push_back(payload);
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

void Simulator::Impl::Feed(Line &line, const char *bytes, size_t count) {
    using namespace std::chrono;
    const uint32_t baud = paceBaud.load();
    const nanoseconds character = baud ? CharacterTime(baud) : nanoseconds(0);
    if (baud) {
        // The bytes came in together; on the line they follow one another, behind any
        // that are still crossing it.
        const auto now = steady_clock::now();
        line.byteIn = std::max(now, line.byteIn);
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
            raw += c;
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
                raw += c;
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

void Simulator::Impl::Serve(Line &line) {
    char buffer[1024];
    for (;;) {
        pollfd p[2] = {{line.fd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        if (p[0].revents & POLLIN) {
            ssize_t n = ::read(line.fd, buffer, sizeof buffer);
            if (n > 0) {
                Feed(line, buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break; // peer gone
        }
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) break;
    }
    line.finished = true;
}

void Simulator::Impl::StartLine(int fd, int slaveFd, std::optional<uint32_t> primary) {
    auto line = std::make_unique<Line>();
    line->fd = fd;
    line->slaveFd = slaveFd;
    line->state.primary = primary;
    Line *raw = line.get();
    std::lock_guard lock(linesMu);
    // Reap lines whose peer went away, so a long-running program does not pile them up.
    for (auto it = lines.begin(); it != lines.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            CloseFd((*it)->fd);
            CloseFd((*it)->slaveFd);
            it = lines.erase(it);
        } else {
            ++it;
        }
    }
    lines.push_back(std::move(line));
    raw->thread = std::thread([this, raw] { Serve(*raw); });
}

void Simulator::Impl::AcceptLoop() {
    for (;;) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (p[0].revents & POLLIN) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) StartLine(fd, -1, std::nullopt);
        } else if (p[0].revents) {
            return;
        }
    }
}

Simulator::Simulator() : impl_(std::make_unique<Impl>()) {}

Simulator::~Simulator() {
    Stop();
}

std::optional<std::string> Simulator::OpenPty(std::string *error) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        SetError(error, SysError("posix_openpt"));
        return std::nullopt;
    }
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        SetError(error, SysError("grantpt/unlockpt/ptsname"));
        ::close(master);
        return std::nullopt;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        SetError(error, SysError("open slave"));
        ::close(master);
        return std::nullopt;
    }
    // Raw at once: a driver that opens the port before setting it up must not see echo or
    // CR translation.
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0 || (::cfmakeraw(&tio), ::tcsetattr(slave, TCSANOW, &tio)) != 0) {
        SetError(error, SysError("tcsetattr"));
        ::close(slave);
        ::close(master);
        return std::nullopt;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    impl_->StartLine(master, slave, std::nullopt);
    return std::string(name);
}

std::optional<uint16_t> Simulator::ListenTcp(uint16_t port, std::string *error) {
    if (impl_->listenFd >= 0) {
        SetError(error, "already listening");
        return std::nullopt;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetError(error, SysError("socket"));
        return std::nullopt;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        SetError(error, SysError("bind/listen"));
        ::close(fd);
        return std::nullopt;
    }
    impl_->listenFd = fd;
    impl_->acceptThread = std::thread([this] { impl_->AcceptLoop(); });
    return ntohs(addr.sin_port);
}

bool Simulator::CallIn(const std::string &host, uint16_t port, uint32_t identity, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        SetError(error, std::string("getaddrinfo: ") + ::gai_strerror(rc));
        return false;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) CloseFd(fd);
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        SetError(error, SysError("connect"));
        return false;
    }
    const std::string hello = std::to_string(identity) + "\n";
    if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
        SetError(error, SysError("send"));
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(impl_->mu);
        impl_->counters.bytesOut += hello.size();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    impl_->StartLine(fd, -1, identity);
    return true;
}

void Simulator::Stop() {
    Impl &d = *impl_;
    if (d.stopPipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(d.stopPipe[1], &byte, 1);
    }
    if (d.acceptThread.joinable()) d.acceptThread.join();
    std::vector<std::unique_ptr<Line>> lines;
    {
        std::lock_guard lock(d.linesMu);
        lines.swap(d.lines);
    }
    for (auto &line : lines) {
        if (line->thread.joinable()) line->thread.join();
        CloseFd(line->fd);
        CloseFd(line->slaveFd);
    }
    CloseFd(d.listenFd);
    // Ready for the next line.
    char drain[16];
    while (d.stopPipe[0] >= 0 && ::read(d.stopPipe[0], drain, sizeof drain) > 0) {
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
    return impl_->telegrams;
}

std::string Simulator::RawInput() const {
    std::lock_guard lock(impl_->mu);
    return impl_->raw;
}

void Simulator::ClearLog() {
    std::lock_guard lock(impl_->mu);
    impl_->telegrams.clear();
    impl_->raw.clear();
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
