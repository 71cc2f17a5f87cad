// TRS II station simulator: one or more stations on a pseudo-terminal or on TCP.
//
// The simulator answers telegrams as real stations do: frames with a checksum character
// and CR, the wake-up sequence, the STX/ETX transparent channel of secondary stations,
// IDENT?, ACCES, and the data commands of its data model. Fault injection lets a test
// make it silent, corrupt, slow or refusing. It keeps a log of every telegram received.
// Each station also keeps an event journal (J?) and history traces (TP?, T?), which can
// grow on their own while the simulator runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trs::sim {

// A resource of the ETAT commands: one state character and a 16-character value field.
struct Resource {
    char state = '.';                       // '.', 'A' or 'P'
    std::string field = "          :    0"; // exactly 16 characters
};

// Times of events and samples are the station's wall-clock time (local time, no zone).
using StationTime = std::chrono::local_seconds;

// One entry of the event journal. Texts may hold blanks; an empty text goes out as "-".
struct Event {
    uint16_t number = 0;     // 1..9999, given by the station when it records the event
    StationTime time{};      // zero = the station clock at the moment of recording
    uint16_t code = 0;       // the 4-digit number field (0..9999)
    std::string word1{};
    uint16_t resource = 0;   // 0..999
    std::string word2{};
    char mark = '-';
    std::string state = "0"; // "1", "0", "Level:12,5", "Pump running"
    std::string word3{}, word4{};
    bool operator==(const Event &) const = default;
};

// Records an event every `everyMs` milliseconds while the simulator runs.
struct EventGenerator {
    uint32_t everyMs = 0; // 0 = off
    uint16_t resource = 1;
    std::vector<std::string> states{"1", "0"}; // taken in turn
    size_t next = 0;                             // index of the next state
};

struct EventJournal {
    std::deque<Event> events{}; // oldest first
    size_t capacity = 1000;     // 1..9999; the oldest events are dropped beyond it
    uint16_t nextNumber = 1;    // the number the next recorded event gets (9999 is followed by 1)
    EventGenerator generator{};
};

// One sample of an external-clock trace.
struct TraceRecord {
    StationTime time{};
    std::string value{}; // as the station writes it: "12,5"
    bool operator==(const TraceRecord &) const = default;
};

// A history trace: one resource sampled at a fixed period, or on an external clock.
struct HistoryTrace {
    uint16_t number = 1;          // 1..80
    char mode = 'M';              // 'A' = stopped, anything else running
    std::string resource = "RA1"; // as the station writes it: "RA5", "AI12"
    uint16_t periodCount = 15;    // 0 = external clock
    char periodUnit = '1';        // '1' minutes, '2' hours, '3' days, '4' one day
    char field6 = '0';
    std::string field7 = "0,0", field8 = "100,0";
    char field9 = '0';
    std::string field10 = "-";
    // Periodic: values newest first; values[k] was sampled k periods before `newest`.
    // A zero `newest` becomes the station clock, rounded down to the period, when the
    // trace is added.
    StationTime newest{};
    std::vector<std::string> values{};
    std::vector<TraceRecord> records{}; // external clock, newest first
    size_t capacity = 4096;             // samples kept; the oldest are dropped beyond it
    // Growth while the simulator runs: a sample every tickMs real milliseconds (0 = none).
    // A periodic trace stamps it one period after the newest, an external-clock trace with
    // the station clock. The value is the next of `cycle` (empty = a built-in ramp).
    uint32_t tickMs = 0;
    std::vector<std::string> cycle{};
    size_t cycleNext = 0;

    bool External() const { return periodCount == 0; }
    uint32_t PeriodSeconds() const; // 0 for an external-clock trace
};

struct StationConfig {
    uint32_t identity = 1;        // number answered to IDENT? (the station number)
    std::string name;             // the name that prefixes its requests ("" = none)
    std::string accessCode = "1234";
    bool secondary = false;       // reached through STX in transparent mode
    // Data model: variables by token ("AI12", "DI3.7", "FR2", "SR1", "TB"), resources by address.
    std::map<std::string, std::string> variables; // value text as sent ("12", "3,25", "\"ABC\"")
    std::map<uint32_t, Resource> resources;
    // Clock offset from the computer's clock, changed by TIME! and DATE!.
    std::chrono::seconds clockOffset{0};
    // Options.
    bool requireLogon = false;    // data commands answer 132 until ACCES succeeded on the line
    bool strictVariables = false; // unknown variables answer 140 instead of a default value
    bool decimalPoint = false;    // floats go out with '.' instead of the usual ','
    EventJournal journal{};
    std::map<uint16_t, HistoryTrace> traces{}; // by trace number
};

enum class FaultKind {
    NoReply,       // say nothing
    WrongChecksum, // reply with a bad checksum character
    MissingCr,     // reply without the CR
    Delay,         // reply after delayMs
    Split,         // reply in two halves, delayMs apart
    Status,        // reply "STATUT\t%03u\t" with `status`
    Raw            // send `raw` bytes as they are instead of the reply
};

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    std::string command;  // applies to telegrams whose command is this ("IDENT?", "VAR?"); "" = any
    int count = -1;       // how many replies it affects; -1 = until cleared
    uint32_t delayMs = 0;
    uint32_t status = 0;
    std::string raw;
};

constexpr size_t kKeptTelegrams = 100000;
constexpr size_t kKeptRawBytes = 64 * 1024;

struct Counters {
    uint64_t telegrams = 0, checksumErrors = 0, wakeUps = 0, bytesIn = 0, bytesOut = 0;
    uint64_t overflows = 0;  // frames longer than the input buffer, discarded
    uint64_t unanswered = 0; // frames that no station answered (no station for the line)
    // With line pacing: when the first byte in arrived and when the last byte out had
    // crossed the line, since the counters were cleared (zero = not yet).
    std::chrono::steady_clock::time_point firstIn{}, lastOut{};
};

class Simulator {
public:
    Simulator();
    ~Simulator(); // stops the line and closes everything

    // Lines. A simulator serves one line at a time.
    // Creates a pseudo-terminal pair, serves the master side and returns the device
    // path that the driver opens (e.g. "/dev/pts/5").
    std::optional<std::string> OpenPty(std::string *error = nullptr);
    // Serves a serial port that the driver reaches over a line (a null-modem cable, a pair
    // of virtual ports): "COM3" on Windows, a device path on POSIX. Its speed and character
    // format stay as the system has them.
    bool OpenSerial(const std::string &device, std::string *error = nullptr);
    // Accepts TCP connections on 127.0.0.1:port (0 = any free port); returns the port.
    std::optional<uint16_t> ListenTcp(uint16_t port, std::string *error = nullptr);
    // Places an alarm call: connects to host:port, sends the identification line
    // "<station number>\n" of the calling station, then answers as a station.
    bool CallIn(const std::string &host, uint16_t port, uint32_t identity, std::string *error = nullptr);
    // Closes the line (a vanished port or peer, as the driver sees it).
    void Stop();

    // Stations.
    void AddStation(const StationConfig &station);
    bool LoadConfig(const std::string &tomlPath, std::string *error = nullptr);
    std::optional<StationConfig> Station(uint32_t identity) const;
    void SetVariable(uint32_t identity, const std::string &token, const std::string &value);
    std::optional<std::string> Variable(uint32_t identity, const std::string &token) const;
    void SetResource(uint32_t identity, uint32_t address, const Resource &resource);
    std::optional<Resource> GetResource(uint32_t identity, uint32_t address) const;

    // Event journal. RecordEvent numbers the event (e.number is ignored) and stamps it with
    // the station clock when e.time is zero; it returns the number, 0 without the station.
    uint16_t RecordEvent(uint32_t identity, Event e);
    std::vector<Event> Journal(uint32_t identity) const; // oldest first
    // Replaces the journal. Events numbered 0 continue the numbering of the event before
    // them (the first from the journal's next number); the next recorded event follows the
    // last one. Zero times become the station clock.
    void SetJournal(uint32_t identity, std::vector<Event> events);
    void SetNextEventNumber(uint32_t identity, uint16_t number); // 1..9999
    // Ends the station's growth (journal generator and trace ticks) at once, so that what
    // it has recorded can be compared with what a reader got.
    void StopGrowth(uint32_t identity);

    // History traces. SetHistoryTrace adds the trace or replaces the one with its number.
    void SetHistoryTrace(uint32_t identity, const HistoryTrace &trace);
    std::optional<HistoryTrace> GetHistoryTrace(uint32_t identity, uint16_t number) const;
    // Appends a sample as the station takes it. Periodic trace: stamped `time`, or one
    // period after the newest. External clock: stamped `time`, or the station clock.
    // False when there is no such trace.
    bool AddSample(uint32_t identity, uint16_t number, const std::string &value,
                   std::optional<StationTime> time = std::nullopt);

    // Waits until `condition` holds for the station; it is tested under the simulator's
    // lock after every telegram and every change by growth, RecordEvent or AddSample, so it
    // must not call the simulator. False when the time runs out or there is no station.
    bool WaitForStation(uint32_t identity, const std::function<bool(const StationConfig &)> &condition,
                        std::chrono::milliseconds timeout) const;

    // Faults.
    void InjectFault(const Fault &fault);
    void ClearFaults();

    // What the simulator received: every telegram's payload (without checksum and CR),
    // and raw bytes outside telegrams (wake-up, STX, ETX) as they came. The newest
    // KeepTelegrams() telegrams (100000 unless set, 0 keeps none) and 64 KiB of raw bytes
    // at least are kept; the counters count them all.
    std::vector<std::string> Telegrams() const;
    std::string RawInput() const;
    void ClearLog();
    void KeepTelegrams(size_t newest);
    // Waits until at least n telegrams were received or the time runs out.
    bool WaitForTelegrams(size_t n, std::chrono::milliseconds timeout) const;
    Counters GetCounters() const;
    void ClearCounters();

    // Line pacing: emulates a line of `baud` bits per second, 10 bits a character, in both
    // directions (0 = off, bytes move as fast as the pseudo-terminal or socket takes them).
    // A request counts as complete only once its last byte's wire time has passed, and
    // replies go out no faster than the line carries them.
    void SetLinePacing(uint32_t baud);

    // Called on the line thread for every telegram received (incoming = true) and every
    // reply sent, with the payload (replies as framed bytes); for verbose program output.
    void SetTrace(std::function<void(bool incoming, const std::string &bytes)> trace);
    // All configured stations in their order.
    std::vector<StationConfig> Stations() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Frame helpers shared with tests and tools.
char Checksum(const std::string &payload);   // 0x40 + ((64 - sum % 64) % 64)
std::string Frame(const std::string &payload); // payload + checksum + CR
// Station times: from calendar fields; from "2003-12-15 12:00:00" (nullopt if malformed
// or out of range); and as the computer's calendar time, converted from local time as the
// driver converts it.
StationTime MakeStationTime(int year, unsigned month, unsigned day, unsigned hour = 0, unsigned minute = 0,
                            unsigned second = 0);
std::optional<StationTime> ParseStationTime(const std::string &text);
std::time_t HostTime(StationTime time);

// Bytes made readable for logs: TAB as \t, CR as \r, other control bytes as \xNN.
std::string Printable(const std::string &bytes);

} // namespace trs::sim
