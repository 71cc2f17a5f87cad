// TRS II station simulator: one or more stations on a pseudo-terminal or on TCP.
//
// The simulator answers telegrams as real stations do: frames with a checksum character
// and CR, the wake-up sequence, the STX/ETX transparent channel of secondary stations,
// IDENT?, ACCES, and the data commands of its data model. Fault injection lets a test
// make it silent, corrupt, slow or refusing. It keeps a log of every telegram received.
#pragma once

#include <chrono>
#include <cstdint>
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

struct Counters {
    uint64_t telegrams = 0, checksumErrors = 0, wakeUps = 0, bytesIn = 0, bytesOut = 0;
    uint64_t overflows = 0;  // frames longer than the input buffer, discarded
    uint64_t unanswered = 0; // frames that no station answered (no station for the line)
};

class Simulator {
public:
    Simulator();
    ~Simulator(); // stops the line and closes everything

    // Lines. A simulator serves one line at a time.
    // Creates a pseudo-terminal pair, serves the master side and returns the device
    // path that the driver opens (e.g. "/dev/pts/5").
    std::optional<std::string> OpenPty(std::string *error = nullptr);
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

    // Faults.
    void InjectFault(const Fault &fault);
    void ClearFaults();

    // What the simulator received: every telegram's payload (without checksum and CR),
    // and raw bytes outside telegrams (wake-up, STX, ETX) as they came.
    std::vector<std::string> Telegrams() const;
    std::string RawInput() const;
    void ClearLog();
    // Waits until at least n telegrams were received or the time runs out.
    bool WaitForTelegrams(size_t n, std::chrono::milliseconds timeout) const;
    Counters GetCounters() const;

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
// Bytes made readable for logs: TAB as \t, CR as \r, other control bytes as \xNN.
std::string Printable(const std::string &bytes);

} // namespace trs::sim
