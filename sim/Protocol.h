// The stations' side of the TRS II dialogue: which station a telegram reaches and what it
// answers. No I/O here; the line code feeds payloads in and writes the replies out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace trs::sim {

// What one line (pty, accepted connection or alarm call) remembers between telegrams.
struct LineState {
    bool transparent = false;         // STX seen, no ETX since: the secondary station answers
    std::optional<uint32_t> primary;  // the station an alarm call came from; else the first primary
    std::set<uint32_t> loggedOn;      // identities that accepted ACCES since the last wake-up
};

struct Answer {
    std::string command;              // command word of the telegram ("VAR?"), for fault matching
    std::optional<uint32_t> identity; // the station that answered; none = nobody on the line
    std::string reply;                // reply payload, without checksum and CR
};

// Kind of value a variable holds, from its two letters.
enum class VarKind { Unknown, Integer, Float, Text, Bit };
VarKind KindOf(const std::string &letters);

// A variable token: two letters, optionally an address, optionally "extension.address".
struct VarToken {
    std::string letters;
    bool hasAddress = false;
    bool hasExtension = false;
    uint32_t extension = 0;
    uint32_t address = 0;
    std::string Text() const; // canonical form: "AI12", "DI3.7", "TB"
};
std::optional<VarToken> ParseToken(const std::string &text);
// The canonical form of a token, or the text unchanged when it is not a token.
std::string CanonicalToken(const std::string &text);

// The command word of a payload: its first field, or the second when the first is a
// station's name.
std::string CommandWord(const std::vector<StationConfig> &stations, const std::string &payload);

// A 16-character resource field showing `value` right-aligned behind the colon, keeping
// the label in front of the colon of `field` as far as it fits.
std::string FieldWithValue(const std::string &field, const std::string &value);

// Answers one telegram. checksumOk = false gives the checksum-error status from the
// station the telegram reaches. `now` is the computer's clock.
Answer Respond(std::vector<StationConfig> &stations, LineState &line, const std::string &payload,
               bool checksumOk, std::chrono::system_clock::time_point now);

inline constexpr size_t kMaxCount = 1000; // most values one ETAT? or VAR? may ask for
inline constexpr uint32_t kSyntax = 129, kParameter = 133;

// "STATUT\t%03u\t"
std::string Status(uint32_t code);
// Decimal digits only, at most maxDigits of them.
bool ParseUnsigned(const std::string &text, uint64_t &value, size_t maxDigits = 9);
// The station clock (computer's clock plus the station's offset) as wall-clock time.
StationTime StationClock(const StationConfig &station, std::chrono::system_clock::time_point now);

} // namespace trs::sim
