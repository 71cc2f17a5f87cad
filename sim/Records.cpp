// Event journal and history traces of the simulated stations.
#include "sim/Records.h"

#include <algorithm>
#include <cstdio>

#include "sim/Protocol.h"

namespace trs::sim {

namespace {

constexpr uint32_t kNoObject = 1; // nothing (more) to send: end of journal, unknown trace
constexpr uint16_t kMaxEventNumber = 9999;

struct Civil {
    unsigned year, month, day, hour, minute, second;
};

Civil ToCivil(StationTime time) {
    using namespace std::chrono;
    const local_days date = floor<days>(time);
    const year_month_day ymd{date};
    const hh_mm_ss hms{time - date};
    const int y = std::clamp(static_cast<int>(ymd.year()), 0, 9999); // the wire has four digits
    return {static_cast<unsigned>(y),
            static_cast<unsigned>(ymd.month()),
            static_cast<unsigned>(ymd.day()),
            static_cast<unsigned>(hms.hours().count()),
            static_cast<unsigned>(hms.minutes().count()),
            static_cast<unsigned>(hms.seconds().count())};
}

// YYYYMMDDhhmmss: the journal's and the external-clock records' form of a time.
std::string Digits14(StationTime time) {
    const Civil c = ToCivil(time);
    char text[32];
    std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", c.year, c.month, c.day, c.hour, c.minute, c.second);
    return text;
}

// A text field as it goes out: never empty (the driver reads words), no control bytes
// that would end the field or the frame.
std::string Word(const std::string &text) {
    if (text.empty()) return "-";
    std::string out = text;
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

char Character(char c) {
    return (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
}

std::string EventReply(const Event &e) {
    const Civil c = ToCivil(e.time);
    char head[80];
    std::snprintf(head, sizeof head, "J=\tE\t%04u\t%04u%02u%02u%02u%02u%02u\t%04u\t",
                  static_cast<unsigned>(std::min(e.number, kMaxEventNumber)), c.year, c.month, c.day, c.hour, c.minute,
                  c.second, static_cast<unsigned>(std::min<uint16_t>(e.code, 9999)));
    char resource[8];
    std::snprintf(resource, sizeof resource, "%03u", static_cast<unsigned>(std::min<uint16_t>(e.resource, 999)));
    std::string reply = head;
    for (const std::string &field : {Word(e.word1), std::string(resource), Word(e.word2),
                                     std::string(1, Character(e.mark)), Word(e.state), Word(e.word3), Word(e.word4)}) {
        reply += field;
        reply += '\t';
    }
    return reply;
}

size_t Capacity(const EventJournal &journal) {
    return std::clamp<size_t>(journal.capacity, 1, kMaxEventNumber); // numbers stay unique
}

void Trim(EventJournal &journal) {
    while (journal.events.size() > Capacity(journal)) journal.events.pop_front();
}

template <typename List> void Trim(const HistoryTrace &trace, List &samples) {
    const size_t keep = std::max<size_t>(trace.capacity, 1);
    if (samples.size() > keep) samples.resize(keep); // newest first: the oldest are at the end
}

} // namespace

uint32_t HistoryTrace::PeriodSeconds() const {
    switch (periodUnit) {
    case '2': return periodCount * 3600u;
    case '3': return periodCount * 86400u; // wraps beyond 49710 days, as a 32-bit count would
    case '4': return periodCount == 0 ? 0 : 86400u;
    default: return periodCount * 60u; // minutes, and whatever else a station might send
    }
}

StationTime MakeStationTime(int year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    using namespace std::chrono;
    return local_days{std::chrono::year{year} / static_cast<int>(month) / static_cast<int>(day)} + hours{hour} +
           minutes{minute} + seconds{second};
}

std::optional<StationTime> ParseStationTime(const std::string &text) {
    // "YYYY-MM-DD hh:mm:ss"
    static const char kPattern[] = "9999-99-99 99:99:99";
    if (text.size() != sizeof kPattern - 1) return std::nullopt;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kPattern[i] == '9' ? !digit : (text[i] != kPattern[i] && !(i == 10 && text[i] == 'T'))) return std::nullopt;
    }
    auto number = [&](size_t at, size_t length) { return static_cast<unsigned>(std::stoul(text.substr(at, length))); };
    const unsigned y = number(0, 4), mo = number(5, 2), d = number(8, 2), h = number(11, 2), mi = number(14, 2),
                   s = number(17, 2);
    const std::chrono::year_month_day date{std::chrono::year{static_cast<int>(y)}, std::chrono::month{mo},
                                           std::chrono::day{d}};
    if (y == 0 || !date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    return MakeStationTime(static_cast<int>(y), mo, d, h, mi, s);
}

std::time_t HostTime(StationTime time) {
    const Civil c = ToCivil(time);
    std::tm tm{};
    tm.tm_year = static_cast<int>(c.year) - 1900;
    tm.tm_mon = static_cast<int>(c.month) - 1;
    tm.tm_mday = static_cast<int>(c.day);
    tm.tm_hour = static_cast<int>(c.hour);
    tm.tm_min = static_cast<int>(c.minute);
    tm.tm_sec = static_cast<int>(c.second);
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

std::string JournalReply(const StationConfig &station, const std::vector<std::string> &args) {
    const auto &events = station.journal.events;
    // Forms: (nothing) | #NNNN | #NNNN D* | YYYYMMDDhhmmss
    enum { Oldest, After, Later } form = Oldest;
    uint64_t number = 0;
    if (!args.empty()) {
        const std::string &what = args[0];
        const bool incoming = args.size() == 2 && args[1] == "D*";
        if (what.size() > 1 && what[0] == '#' && (args.size() == 1 || incoming) &&
            ParseUnsigned(what.substr(1), number, 5)) {
            form = After;
        } else if (args.size() == 1 && what.size() == 14 && ParseUnsigned(what, number, 14)) {
            form = Later;
        } else {
            return Status(kSyntax);
        }
    }
    if (events.empty()) return Status(kNoObject);
    if (form == After) {
        // The newest event of that number: a journal longer than the numbering holds none twice,
        // but a preloaded one might.
        auto it = std::find_if(events.rbegin(), events.rend(), [&](const Event &e) { return e.number == number; });
        if (it == events.rend()) return EventReply(events.front()); // unknown or overwritten: start over
        if (it == events.rbegin()) return Status(kNoObject);
        return EventReply(*std::prev(it));
    }
    if (form == Later) {
        // Both sides are fixed-width digits: comparing the texts compares the times.
        auto it =
            std::find_if(events.begin(), events.end(), [&](const Event &e) { return Digits14(e.time) > args[0]; });
        return it == events.end() ? Status(kNoObject) : EventReply(*it);
    }
    return EventReply(events.front());
}

std::string TraceListReply(const StationConfig &station, const std::vector<std::string> &args) {
    uint64_t first = 0, last = 0;
    if (args.size() != 2 || !ParseUnsigned(args[0], first) || !ParseUnsigned(args[1], last)) return Status(kSyntax);
    std::string reply = "TP=\t";
    for (auto it = station.traces.lower_bound(static_cast<uint16_t>(std::min<uint64_t>(first, 0xFFFF)));
         it != station.traces.end() && it->first <= last; ++it) {
        const HistoryTrace &t = it->second;
        char number[16], period[16];
        std::snprintf(number, sizeof number, "%03u", static_cast<unsigned>(t.number));
        std::snprintf(period, sizeof period, "%u", static_cast<unsigned>(t.periodCount));
        for (const std::string &field :
             {std::string(number), std::string(1, Character(t.mode)), Word(t.resource), std::string(period),
              std::string(1, Character(t.periodUnit)), std::string(1, Character(t.field6)), Word(t.field7),
              Word(t.field8), std::string(1, Character(t.field9)), Word(t.field10)}) {
            reply += field;
            reply += '\t';
        }
    }
    return reply.size() == 4 ? Status(kNoObject) : reply;
}

std::string TraceReply(const StationConfig &station, const std::vector<std::string> &args) {
    uint64_t number = 0, count = UINT64_MAX;
    if (args.empty() || args.size() > 2 || !ParseUnsigned(args[0], number) ||
        (args.size() == 2 && !ParseUnsigned(args[1], count)))
        return Status(kSyntax);
    if (count == 0) return Status(kParameter);
    auto found = station.traces.find(static_cast<uint16_t>(std::min<uint64_t>(number, 0xFFFF)));
    if (number > 0xFFFF || found == station.traces.end()) return Status(kNoObject);
    const HistoryTrace &t = found->second;
    const bool external = t.External();
    const StationTime newest = external && !t.records.empty() ? t.records.front().time : t.newest;
    const Civil c = ToCivil(newest);
    char head[128];
    std::snprintf(head, sizeof head, "T=\t%u\t%c\t%c\t%u\t%02u\t%02u\t%04u\t%02u\t%02u\t%02u\t",
                  static_cast<unsigned>(t.number), Character(t.mode), Character(t.periodUnit), t.PeriodSeconds(), c.day,
                  c.month, c.year, c.hour, c.minute, c.second);
    std::string reply = head;
    const size_t room = kMaxReply - 2; // checksum and CR
    const size_t total = external ? t.records.size() : t.values.size();
    for (size_t k = 0; k < total && k < count; ++k) {
        const std::string item =
            external ? Digits14(t.records[k].time) + "=" + Word(t.records[k].value) + "\t" : Word(t.values[k]) + "\t";
        if (reply.size() + item.size() > room) break; // whole samples only
        reply += item;
    }
    return reply;
}

uint16_t NextEventNumber(uint16_t number) {
    return number >= kMaxEventNumber ? 1 : static_cast<uint16_t>(number + 1);
}

void NumberEvents(EventJournal &journal, bool followLast) {
    uint16_t expected =
        journal.nextNumber >= 1 && journal.nextNumber <= kMaxEventNumber ? journal.nextNumber : uint16_t{1};
    bool assigned = false;
    for (Event &e : journal.events) {
        if (e.number == 0) {
            e.number = expected;
            assigned = true;
        }
        expected = NextEventNumber(e.number);
    }
    if (assigned || (followLast && !journal.events.empty())) journal.nextNumber = expected;
}

void Settle(StationConfig &station, StationTime now) {
    NumberEvents(station.journal, false);
    for (Event &e : station.journal.events)
        if (e.time == StationTime{}) e.time = now;
    Trim(station.journal);
    for (auto &[number, trace] : station.traces) {
        if (trace.newest == StationTime{}) {
            const auto period = std::chrono::seconds(std::max<uint32_t>(trace.PeriodSeconds(), 1));
            trace.newest = now - (now.time_since_epoch() % period);
        }
        Trim(trace, trace.values);
        Trim(trace, trace.records);
    }
}

bool Grows(const StationConfig &station) {
    return station.journal.generator.everyMs > 0 ||
           std::any_of(station.traces.begin(), station.traces.end(), [](const auto &t) { return t.second.tickMs > 0; });
}

uint16_t AppendEvent(EventJournal &journal, Event event, StationTime now) {
    NumberEvents(journal, false); // a journal set up by hand may still hold unnumbered events
    event.number = journal.nextNumber >= 1 && journal.nextNumber <= kMaxEventNumber ? journal.nextNumber : 1;
    journal.nextNumber = NextEventNumber(event.number);
    if (event.time == StationTime{}) event.time = now;
    journal.events.push_back(std::move(event));
    Trim(journal);
    return journal.events.back().number;
}

void AppendSample(HistoryTrace &trace, const std::string &value, std::optional<StationTime> time, StationTime now) {
    if (trace.External()) {
        trace.records.insert(trace.records.begin(), TraceRecord{time.value_or(now), value});
        Trim(trace, trace.records);
    } else {
        trace.newest = time.value_or(trace.newest + std::chrono::seconds(trace.PeriodSeconds()));
        trace.values.insert(trace.values.begin(), value);
        Trim(trace, trace.values);
    }
}

void GenerateEvent(EventJournal &journal, StationTime now) {
    EventGenerator &g = journal.generator;
    Event e;
    e.resource = g.resource;
    if (!g.states.empty()) {
        e.state = g.states[g.next % g.states.size()];
        g.next = (g.next + 1) % g.states.size();
    }
    AppendEvent(journal, std::move(e), now);
}

const std::vector<std::string> &GrowthCycle(const HistoryTrace &trace) {
    static const std::vector<std::string> kRamp = {"0,0", "2,5", "5,0", "7,5", "10,0", "7,5", "5,0", "2,5"};
    return trace.cycle.empty() ? kRamp : trace.cycle;
}

void GrowTrace(HistoryTrace &trace, StationTime now) {
    const auto &cycle = GrowthCycle(trace);
    const std::string value = cycle[trace.cycleNext % cycle.size()];
    trace.cycleNext = (trace.cycleNext + 1) % cycle.size();
    AppendSample(trace, value, std::nullopt, now);
}

} // namespace trs::sim
