// A station's event journal and history traces: the J?, TP? and T? replies, and how
// journal and traces grow. No locking here; the simulator holds its lock around these.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace trs::sim {

inline constexpr size_t kMaxReply = 49000; // longest reply on the wire, checksum and CR included

std::string JournalReply(const StationConfig &station, const std::vector<std::string> &args);
std::string TraceListReply(const StationConfig &station, const std::vector<std::string> &args);
std::string TraceReply(const StationConfig &station, const std::vector<std::string> &args);

// The number after `number` (9999 is followed by 1).
uint16_t NextEventNumber(uint16_t number);
// Gives events numbered 0 the number after the event before them (the first one the
// journal's next number). The journal's next number then follows the last event when
// `followLast` is set or when any event was numbered here.
void NumberEvents(EventJournal &journal, bool followLast);
// Makes a station ready to serve: numbers the journal, turns zero times into `now` (trace
// times rounded down to the period) and trims journal and traces to their capacities.
void Settle(StationConfig &station, StationTime now);
// True when the journal generator or a trace grows on its own.
bool Grows(const StationConfig &station);

uint16_t AppendEvent(EventJournal &journal, Event event, StationTime now);
void AppendSample(HistoryTrace &trace, const std::string &value, std::optional<StationTime> time, StationTime now);
// One step of growth: the generator's next event, a trace's next sample.
void GenerateEvent(EventJournal &journal, StationTime now);
void GrowTrace(HistoryTrace &trace, StationTime now);
// The values growth takes in turn: the trace's cycle, or a ramp when it has none.
const std::vector<std::string> &GrowthCycle(const HistoryTrace &trace);

} // namespace trs::sim
