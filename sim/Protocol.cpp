// Command handling of the simulated stations.
#include "sim/Protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "sim/Records.h"

namespace trs::sim {

namespace {

constexpr uint32_t kOk = 0, kUnknownCommand = 128, kChecksum = 130, kAccess = 132, kUnknownVariable = 140;

std::vector<std::string> SplitTabs(const std::string &payload) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= payload.size()) {
        size_t tab = payload.find('\t', start);
        if (tab == std::string::npos) {
            fields.push_back(payload.substr(start));
            break;
        }
        fields.push_back(payload.substr(start, tab - start));
        start = tab + 1;
    }
    return fields; // a payload ending in TAB leaves an empty last field
}

bool ParseSigned(const std::string &text, int64_t &value) {
    bool hasSign = !text.empty() && (text[0] == '-' || text[0] == '+');
    uint64_t magnitude = 0;
    if (!ParseUnsigned(hasSign ? text.substr(1) : text, magnitude, 10)) return false;
    value = (text[0] == '-') ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool IsDataCommand(const std::string &command) {
    static const char *const kData[] = {"ETAT?", "VAR?", "DATE?", "TIME?", "ETAT!", "VAR!", "TIME!", "DATE!",
                                        "J?",    "TP?",  "T?"};
    return std::any_of(std::begin(kData), std::end(kData), [&](const char *c) { return command == c; });
}

bool IsKnownCommand(const std::string &command) {
    return command == "IDENT?" || command == "ACCES" || IsDataCommand(command);
}

StationConfig *FindByIdentity(std::vector<StationConfig> &stations, uint32_t identity) {
    for (auto &s : stations)
        if (s.identity == identity) return &s;
    return nullptr;
}

StationConfig *LineStation(std::vector<StationConfig> &stations, const LineState &line) {
    if (line.transparent) {
        for (auto &s : stations)
            if (s.secondary) return &s;
        return nullptr; // an open channel with nobody behind it stays silent
    }
    if (line.primary) return FindByIdentity(stations, *line.primary);
    for (auto &s : stations)
        if (!s.secondary) return &s;
    return nullptr;
}

// Station clock as local calendar time.
std::tm StationCalendar(const StationConfig &station, std::chrono::system_clock::time_point now) {
    std::time_t t = std::chrono::system_clock::to_time_t(now) + static_cast<std::time_t>(station.clockOffset.count());
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    return tm;
}

void SetStationTime(StationConfig &station, std::tm tm, std::chrono::system_clock::time_point now) {
    tm.tm_isdst = -1;
    std::time_t wanted = std::mktime(&tm);
    std::time_t current = std::chrono::system_clock::to_time_t(now);
    station.clockOffset = std::chrono::seconds(static_cast<long long>(wanted) - static_cast<long long>(current));
}

// Reads "AA:BB:CC" (sep ':') or "AA/BB/CC" (sep '/'): exactly two digits each.
bool ParseTriple(const std::string &text, char sep, unsigned parts[3]) {
    if (text.size() != 8 || text[2] != sep || text[5] != sep) return false;
    for (int i = 0; i < 3; ++i) {
        const char a = text[static_cast<size_t>(3 * i)], b = text[static_cast<size_t>(3 * i + 1)];
        if (!std::isdigit(static_cast<unsigned char>(a)) || !std::isdigit(static_cast<unsigned char>(b))) return false;
        parts[i] = static_cast<unsigned>((a - '0') * 10 + (b - '0'));
    }
    return true;
}

std::string DefaultValue(VarKind kind) {
    switch (kind) {
    case VarKind::Text: return "\"\"";
    default: return "0";
    }
}

// A stored value as it goes out for its kind of variable.
std::string Outgoing(const StationConfig &station, VarKind kind, std::string value) {
    switch (kind) {
    case VarKind::Float:
        for (char &c : value) {
            if (station.decimalPoint && c == ',') c = '.';
            if (!station.decimalPoint && c == '.') c = ',';
        }
        return value;
    case VarKind::Text:
        if (value.size() < 2 || value.front() != '"' || value.back() != '"') value = "\"" + value + "\"";
        return value;
    case VarKind::Bit: return (value.empty() || value == "0") ? "0" : "1";
    default: return value;
    }
}

std::string Etat(const StationConfig &station, const std::vector<std::string> &args) {
    uint64_t address = 0, count = 0;
    if (args.size() != 2 || !ParseUnsigned(args[0], address) || !ParseUnsigned(args[1], count)) return Status(kSyntax);
    if (count == 0 || count > kMaxCount) return Status(kParameter);
    char head[32];
    std::snprintf(head, sizeof head, "ETAT=\t%03llu\t", static_cast<unsigned long long>(address));
    std::string reply = head;
    for (uint64_t i = 0; i < count; ++i) {
        Resource r;
        auto it = station.resources.find(static_cast<uint32_t>(address + i));
        if (it != station.resources.end()) r = it->second;
        // The driver counts on 16 characters; keep a misconfigured field from breaking the layout.
        r.field.resize(16, ' ');
        reply += r.state;
        reply += '\t';
        reply += r.field;
        reply += '\t';
    }
    return reply;
}

// A decimal number with a comma (or a point) for analog resources, e.g. "-12,500000".
bool ParseDecimal(const std::string &text, bool &nonZero) {
    size_t separator = text.find_first_of(",.");
    if (separator == std::string::npos) return false;
    int64_t whole = 0;
    uint64_t fraction = 0;
    std::string integral = text.substr(0, separator);
    if (integral == "-" || integral == "+") integral += "0";
    if (!ParseSigned(integral, whole) || !ParseUnsigned(text.substr(separator + 1), fraction)) return false;
    nonZero = whole != 0 || fraction != 0;
    return true;
}

std::string EtatWrite(StationConfig &station, const std::vector<std::string> &args) {
    uint64_t address = 0;
    int64_t value = 0;
    bool nonZero = false;
    if (args.size() != 2 || !ParseUnsigned(args[0], address)) return Status(kSyntax);
    if (ParseSigned(args[1], value))
        nonZero = value != 0;
    else if (!ParseDecimal(args[1], nonZero))
        return Status(kSyntax);
    Resource &r = station.resources[static_cast<uint32_t>(address)];
    r.state = nonZero ? 'A' : '.';
    r.field = FieldWithValue(r.field, args[1]);
    return Status(kOk);
}

std::string Var(const StationConfig &station, const std::vector<std::string> &args) {
    if (args.empty()) return Status(kSyntax);
    auto token = ParseToken(args[0]);
    if (!token) return Status(kSyntax);
    VarKind kind = KindOf(token->letters);
    if (kind == VarKind::Unknown) return Status(kUnknownVariable);
    uint64_t count = 1;
    if (args.size() == 2) {
        if (!ParseUnsigned(args[1], count)) return Status(kSyntax);
    } else if (args.size() != 1 || token->hasAddress) {
        return Status(kSyntax); // only TB/TS style tokens come without a count
    }
    if (count == 0 || count > kMaxCount || (!token->hasAddress && count != 1)) return Status(kParameter);
    std::string reply = "VAR=\t" + args[0] + "\t";
    for (uint64_t i = 0; i < count; ++i) {
        VarToken t = *token;
        t.address = static_cast<uint32_t>(token->address + i);
        auto it = station.variables.find(t.Text());
        if (it == station.variables.end() && station.strictVariables) return Status(kUnknownVariable);
        reply += Outgoing(station, kind, it == station.variables.end() ? DefaultValue(kind) : it->second);
        reply += '\t';
    }
    return reply;
}

std::string VarWrite(StationConfig &station, const std::vector<std::string> &args) {
    if (args.size() != 2) return Status(kSyntax);
    auto token = ParseToken(args[0]);
    if (!token) return Status(kSyntax);
    if (KindOf(token->letters) == VarKind::Unknown) return Status(kUnknownVariable);
    const std::string key = token->Text();
    if (station.strictVariables && !station.variables.count(key)) return Status(kUnknownVariable);
    station.variables[key] = args[1];
    return Status(kOk);
}

std::string ClockRead(const StationConfig &station, bool date, const std::vector<std::string> &args,
                      std::chrono::system_clock::time_point now) {
    if (!args.empty()) return Status(kSyntax);
    std::tm tm = StationCalendar(station, now);
    char text[48];
    if (date)
        std::snprintf(text, sizeof text, "DATE=\t%02u/%02u/%02u\t", static_cast<unsigned>(tm.tm_mday),
                      static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_year % 100));
    else
        std::snprintf(text, sizeof text, "TIME=\t%02u:%02u:%02u\t", static_cast<unsigned>(tm.tm_hour),
                      static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec));
    return text;
}

std::string ClockWrite(StationConfig &station, bool date, const std::vector<std::string> &args,
                       std::chrono::system_clock::time_point now) {
    unsigned p[3];
    if (args.size() != 1 || !ParseTriple(args[0], date ? '/' : ':', p)) return Status(kSyntax);
    std::tm tm = StationCalendar(station, now);
    if (date) {
        if (p[0] < 1 || p[0] > 31 || p[1] < 1 || p[1] > 12) return Status(kParameter);
        tm.tm_mday = static_cast<int>(p[0]);
        tm.tm_mon = static_cast<int>(p[1]) - 1;
        tm.tm_year = static_cast<int>(p[2]) + (p[2] < 70 ? 100 : 0);
    } else {
        if (p[0] > 23 || p[1] > 59 || p[2] > 59) return Status(kParameter);
        tm.tm_hour = static_cast<int>(p[0]);
        tm.tm_min = static_cast<int>(p[1]);
        tm.tm_sec = static_cast<int>(p[2]);
    }
    SetStationTime(station, tm, now);
    return Status(kOk);
}

} // namespace

std::string Status(uint32_t code) {
    char text[32];
    std::snprintf(text, sizeof text, "STATUT\t%03u\t", code);
    return text;
}

bool ParseUnsigned(const std::string &text, uint64_t &value, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

StationTime StationClock(const StationConfig &station, std::chrono::system_clock::time_point now) {
    const std::tm tm = StationCalendar(station, now);
    auto field = [](int value) { return static_cast<unsigned>(value); };
    return MakeStationTime(tm.tm_year + 1900, field(tm.tm_mon + 1), field(tm.tm_mday), field(tm.tm_hour),
                           field(tm.tm_min), field(tm.tm_sec));
}

VarKind KindOf(const std::string &letters) {
    static const char *const kInteger[] = {"AI", "AO", "BR", "BX", "DI", "DO", "EA", "ET", "ST", "VE", "VX", "WR", "WX"};
    for (const char *k : kInteger)
        if (letters == k) return VarKind::Integer;
    if (letters == "FR" || letters == "FX") return VarKind::Float;
    if (letters == "SR" || letters == "SX") return VarKind::Text;
    if (letters == "TB" || letters == "TS") return VarKind::Bit;
    return VarKind::Unknown;
}

std::string FieldWithValue(const std::string &field, const std::string &value) {
    const std::string text = value.size() > 15 ? value.substr(value.size() - 15) : value;
    const size_t colon = field.rfind(':');
    std::string label = colon == std::string::npos ? std::string(10, ' ') : field.substr(0, colon);
    if (label.size() > 15 - text.size()) label.resize(15 - text.size());
    return label + ":" + std::string(15 - label.size() - text.size(), ' ') + text;
}

std::string VarToken::Text() const {
    std::string text = letters;
    if (hasExtension) text += std::to_string(extension) + ".";
    if (hasAddress) text += std::to_string(address);
    return text;
}

std::optional<VarToken> ParseToken(const std::string &text) {
    if (text.size() < 2 || !std::isupper(static_cast<unsigned char>(text[0])) ||
        !std::isupper(static_cast<unsigned char>(text[1])))
        return std::nullopt;
    VarToken token;
    token.letters = text.substr(0, 2);
    std::string rest = text.substr(2);
    if (rest.empty()) return token;
    uint64_t first = 0, second = 0;
    size_t dot = rest.find('.');
    if (dot == std::string::npos) {
        if (!ParseUnsigned(rest, first)) return std::nullopt;
        token.hasAddress = true;
        token.address = static_cast<uint32_t>(first);
        return token;
    }
    if (!ParseUnsigned(rest.substr(0, dot), first, 5) || !ParseUnsigned(rest.substr(dot + 1), second, 5))
        return std::nullopt;
    token.hasAddress = token.hasExtension = true;
    token.extension = static_cast<uint32_t>(first);
    token.address = static_cast<uint32_t>(second);
    return token;
}

std::string CanonicalToken(const std::string &text) {
    auto token = ParseToken(text);
    return token ? token->Text() : text;
}

std::string CommandWord(const std::vector<StationConfig> &stations, const std::string &payload) {
    std::vector<std::string> fields = SplitTabs(payload);
    bool named = std::any_of(stations.begin(), stations.end(),
                             [&](const StationConfig &s) { return !s.name.empty() && s.name == fields[0]; });
    if (named) return fields.size() > 1 ? fields[1] : std::string();
    return fields[0];
}

Answer Respond(std::vector<StationConfig> &stations, LineState &line, const std::string &payload,
               bool checksumOk, std::chrono::system_clock::time_point now) {
    Answer answer;
    std::vector<std::string> fields = SplitTabs(payload);
    StationConfig *station = nullptr;
    if (!fields[0].empty()) {
        for (auto &s : stations) {
            if (!s.name.empty() && s.name == fields[0]) {
                station = &s;
                break;
            }
        }
    }
    if (station)
        fields.erase(fields.begin());
    else
        station = LineStation(stations, line);
    answer.command = fields.empty() ? std::string() : fields[0];
    if (!station) return answer;
    answer.identity = station->identity;
    if (!checksumOk) {
        answer.reply = Status(kChecksum);
        return answer;
    }
    if (!IsKnownCommand(answer.command)) {
        answer.reply = Status(kUnknownCommand);
        return answer;
    }
    // Every telegram ends with a TAB: the last field must be empty.
    if (fields.size() < 2 || !fields.back().empty()) {
        answer.reply = Status(kSyntax);
        return answer;
    }
    std::vector<std::string> args(fields.begin() + 1, fields.end() - 1);
    const std::string &cmd = answer.command;
    if (station->requireLogon && IsDataCommand(cmd) && !line.loggedOn.count(station->identity)) {
        answer.reply = Status(kAccess);
        return answer;
    }
    if (cmd == "IDENT?") {
        char text[32];
        std::snprintf(text, sizeof text, "IDENT=\t%03u\t", station->identity);
        answer.reply = args.empty() ? text : Status(kSyntax);
    } else if (cmd == "ACCES") {
        if (args.size() != 1) {
            answer.reply = Status(kSyntax);
        } else if (args[0] == station->accessCode) {
            line.loggedOn.insert(station->identity);
            answer.reply = Status(kOk);
        } else {
            line.loggedOn.erase(station->identity);
            answer.reply = Status(kAccess);
        }
    } else if (cmd == "ETAT?") {
        answer.reply = Etat(*station, args);
    } else if (cmd == "ETAT!") {
        answer.reply = EtatWrite(*station, args);
    } else if (cmd == "VAR?") {
        answer.reply = Var(*station, args);
    } else if (cmd == "VAR!") {
        answer.reply = VarWrite(*station, args);
    } else if (cmd == "J?") {
        answer.reply = JournalReply(*station, args);
    } else if (cmd == "TP?") {
        answer.reply = TraceListReply(*station, args);
    } else if (cmd == "T?") {
        answer.reply = TraceReply(*station, args);
    } else if (cmd == "DATE?" || cmd == "TIME?") {
        answer.reply = ClockRead(*station, cmd == "DATE?", args, now);
    } else {
        answer.reply = ClockWrite(*station, cmd == "DATE!", args, now);
    }
    return answer;
}

} // namespace trs::sim
