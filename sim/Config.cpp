// Station configuration from a TOML file (format in docs/SIMULATOR.md).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <set>

#include "platform/common/TomlText.h"

#include "sim/Config.h"
#include "sim/Protocol.h"
#include "sim/Records.h"

namespace trs::sim {

namespace {

struct ConfigError {
    std::string text;
};

[[noreturn]] void Fail(const std::string &where, const std::string &what) {
    throw ConfigError{where + ": " + what};
}

void CheckKeys(const toml::table &table, const std::set<std::string> &allowed, const std::string &where) {
    for (const auto &[key, node] : table) {
        (void)node;
        if (!allowed.count(std::string(key.str()))) Fail(where, "unknown key '" + std::string(key.str()) + "'");
    }
}

std::string Text(const toml::table &table, const char *key, const std::string &where, std::string fallback) {
    const toml::node *node = table.get(key);
    if (!node) return fallback;
    auto value = node->value<std::string>();
    if (!node->is_string() || !value) Fail(where, std::string(key) + " must be a string");
    if (value->find_first_of("\t\r\x02\x03\x1b") != std::string::npos)
        Fail(where, std::string(key) + " must not hold TAB, CR, STX, ETX or ESC");
    return *value;
}

bool Flag(const toml::table &table, const char *key, const std::string &where) {
    const toml::node *node = table.get(key);
    if (!node) return false;
    if (!node->is_boolean()) Fail(where, std::string(key) + " must be true or false");
    return *node->value<bool>();
}

int64_t Integer(const toml::table &table, const char *key, const std::string &where, int64_t low, int64_t high) {
    const toml::node *node = table.get(key);
    if (!node || !node->is_integer()) Fail(where, std::string(key) + " must be an integer");
    int64_t value = *node->value<int64_t>();
    if (value < low || value > high)
        Fail(where, std::string(key) + " must be from " + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

// A variable's value as the station keeps it: the text a VAR! would have carried.
std::string ValueText(const toml::node &node, const std::string &where) {
    if (node.is_string()) return *node.value<std::string>();
    if (node.is_integer()) return std::to_string(*node.value<int64_t>());
    if (node.is_boolean()) return *node.value<bool>() ? "1" : "0";
    if (node.is_floating_point()) {
        char text[64];
        std::snprintf(text, sizeof text, "%.15g", *node.value<double>());
        return text;
    }
    Fail(where, "a value must be a string, an integer, a float or a boolean");
}

Resource ResourceFrom(const toml::table &table, const std::string &where) {
    CheckKeys(table, {"address", "state", "field", "value"}, where);
    Resource r;
    const bool hasField = table.contains("field"), hasValue = table.contains("value");
    if (hasField && hasValue) Fail(where, "give either field or value, not both");
    if (hasValue) {
        int64_t value = Integer(table, "value", where, -2147483648LL, 2147483647LL);
        r.field = FieldWithValue(r.field, std::to_string(value));
        r.state = value == 0 ? '.' : 'A';
    }
    if (hasField) {
        r.field = Text(table, "field", where, "");
        if (r.field.size() != 16) Fail(where, "field must be exactly 16 characters");
    }
    const std::string state = Text(table, "state", where, std::string(1, r.state));
    if (state.size() != 1 || std::string(".AP").find(state[0]) == std::string::npos)
        Fail(where, "state must be \".\", \"A\" or \"P\"");
    r.state = state[0];
    return r;
}

int64_t Integer(const toml::table &table, const char *key, const std::string &where, int64_t low, int64_t high,
                int64_t fallback) {
    return table.contains(key) ? Integer(table, key, where, low, high) : fallback;
}

char Character(const toml::table &table, const char *key, const std::string &where, char fallback) {
    const std::string text = Text(table, key, where, std::string(1, fallback));
    if (text.size() != 1) Fail(where, std::string(key) + " must be one character");
    return text[0];
}

// Absent: zero, which the station turns into its clock when it is added.
StationTime Time(const toml::table &table, const char *key, const std::string &where) {
    if (!table.contains(key)) return StationTime{};
    auto time = ParseStationTime(Text(table, key, where, ""));
    if (!time) Fail(where, std::string(key) + " must be a time like \"2003-12-15 12:00:00\"");
    return *time;
}

// A state or sample value as the station writes it: text as given, numbers with the
// station's decimal character.
std::string Sample(const toml::node &node, const std::string &where, bool decimalPoint) {
    if (node.is_string()) {
        const std::string text = *node.value<std::string>();
        if (text.find_first_of("\t\r\x02\x03\x1b") != std::string::npos)
            Fail(where, "a value must not hold TAB, CR, STX, ETX or ESC");
        return text;
    }
    if (node.is_integer()) return std::to_string(*node.value<int64_t>());
    if (node.is_floating_point()) {
        char text[64];
        std::snprintf(text, sizeof text, "%.15g", *node.value<double>());
        std::string value = text;
        if (!decimalPoint) std::replace(value.begin(), value.end(), '.', ',');
        return value;
    }
    Fail(where, "a value must be a string or a number");
}

std::vector<std::string> Samples(const toml::table &table, const char *key, const std::string &where,
                                 bool decimalPoint) {
    std::vector<std::string> list;
    const toml::node *node = table.get(key);
    if (!node) return list;
    if (!node->is_array() || node->as_array()->empty()) Fail(where, std::string(key) + " must be a non-empty array");
    for (const auto &item : *node->as_array()) list.push_back(Sample(item, where + ", " + key, decimalPoint));
    return list;
}

EventJournal JournalFrom(const toml::table &station, const std::string &where, bool decimalPoint) {
    EventJournal journal;
    if (const toml::node *node = station.get("journal")) {
        const std::string at = where + ", journal";
        if (!node->is_table()) Fail(at, "must be a table ([station.journal])");
        const toml::table &t = *node->as_table();
        CheckKeys(t, {"capacity", "first_number", "every_ms", "resource", "states"}, at);
        journal.capacity = static_cast<size_t>(Integer(t, "capacity", at, 1, 9999, 1000));
        journal.nextNumber = static_cast<uint16_t>(Integer(t, "first_number", at, 1, 9999, 1));
        journal.generator.everyMs = static_cast<uint32_t>(Integer(t, "every_ms", at, 0, 86400000, 0));
        journal.generator.resource = static_cast<uint16_t>(Integer(t, "resource", at, 0, 999, 1));
        if (t.contains("states")) journal.generator.states = Samples(t, "states", at, decimalPoint);
    }
    if (const toml::node *node = station.get("events")) {
        if (!node->is_array_of_tables()) Fail(where, "events must be an array of tables ([[station.events]])");
        size_t n = 0;
        for (const auto &item : *node->as_array()) {
            const std::string at = where + ", event " + std::to_string(++n);
            const toml::table &t = *item.as_table();
            CheckKeys(t, {"number", "time", "code", "word1", "resource", "word2", "mark", "state", "word3", "word4"},
                      at);
            Event e;
            e.number = static_cast<uint16_t>(Integer(t, "number", at, 1, 9999, 0));
            e.time = Time(t, "time", at);
            e.code = static_cast<uint16_t>(Integer(t, "code", at, 0, 9999, 0));
            e.word1 = Text(t, "word1", at, "");
            e.resource = static_cast<uint16_t>(Integer(t, "resource", at, 0, 999));
            e.word2 = Text(t, "word2", at, "");
            e.mark = Character(t, "mark", at, e.mark);
            const toml::node *state = t.get("state");
            if (!state) Fail(at, "state must be given");
            e.state = Sample(*state, at + ", state", decimalPoint);
            e.word3 = Text(t, "word3", at, "");
            e.word4 = Text(t, "word4", at, "");
            journal.events.push_back(std::move(e));
        }
    }
    NumberEvents(journal, true);
    return journal;
}

// "15 min", "2 h", "3 d", "day" or "external".
bool ParsePeriod(const std::string &text, HistoryTrace &trace) {
    if (text == "external") {
        trace.periodCount = 0;
        return true;
    }
    if (text == "day") {
        trace.periodCount = 1;
        trace.periodUnit = '4';
        return true;
    }
    const size_t blank = text.find(' ');
    if (blank == std::string::npos) return false;
    const std::string unit = text.substr(blank + 1);
    uint64_t count = 0;
    if (!ParseUnsigned(text.substr(0, blank), count, 5) || count == 0 || count > 65535) return false;
    if (unit != "min" && unit != "h" && unit != "d") return false;
    trace.periodCount = static_cast<uint16_t>(count);
    trace.periodUnit = unit == "min" ? '1' : unit == "h" ? '2' : '3';
    return true;
}

HistoryTrace TraceFrom(const toml::table &t, const std::string &where, bool decimalPoint) {
    CheckKeys(t,
              {"number", "resource", "mode", "period", "period_count", "period_unit", "field6", "field7", "field8",
               "field9", "field10", "newest", "values", "samples", "cycle", "grow", "tick_ms", "capacity", "records"},
              where);
    HistoryTrace trace;
    trace.number = static_cast<uint16_t>(Integer(t, "number", where, 1, 80));
    trace.resource = Text(t, "resource", where, "");
    if (trace.resource.empty() || trace.resource.find(' ') != std::string::npos)
        Fail(where, "resource must be one word, e.g. \"RA5\"");
    trace.mode = Character(t, "mode", where, trace.mode);
    if (t.contains("period") && (t.contains("period_count") || t.contains("period_unit")))
        Fail(where, "give either period or period_count and period_unit, not both");
    if (t.contains("period") && !ParsePeriod(Text(t, "period", where, ""), trace))
        Fail(where, "period must be like \"15 min\", \"2 h\", \"1 d\", \"day\" or \"external\"");
    trace.periodCount = static_cast<uint16_t>(Integer(t, "period_count", where, 0, 65535, trace.periodCount));
    trace.periodUnit = Character(t, "period_unit", where, trace.periodUnit);
    if (trace.periodUnit < '1' || trace.periodUnit > '4') Fail(where, "period_unit must be \"1\" to \"4\"");
    trace.field6 = Character(t, "field6", where, trace.field6);
    trace.field7 = Text(t, "field7", where, trace.field7);
    trace.field8 = Text(t, "field8", where, trace.field8);
    trace.field9 = Character(t, "field9", where, trace.field9);
    trace.field10 = Text(t, "field10", where, trace.field10);
    trace.newest = Time(t, "newest", where);
    trace.capacity = static_cast<size_t>(Integer(t, "capacity", where, 1, 100000, 4096));
    trace.cycle = Samples(t, "cycle", where, decimalPoint);
    if (t.contains("grow") && t.contains("tick_ms")) Fail(where, "give either grow or tick_ms, not both");
    trace.tickMs = static_cast<uint32_t>(Integer(t, "tick_ms", where, 1, 86400000, 0));
    if (trace.External()) {
        for (const char *key : {"values", "samples", "grow", "newest"})
            if (t.contains(key)) Fail(where, std::string(key) + " needs a periodic trace");
        if (const toml::node *node = t.get("records")) {
            if (!node->is_array_of_tables()) Fail(where, "records must be an array of tables");
            for (const auto &item : *node->as_array()) {
                const std::string at = where + ", record " + std::to_string(trace.records.size() + 1);
                const toml::table &r = *item.as_table();
                CheckKeys(r, {"time", "value"}, at);
                if (!r.contains("time") || !r.contains("value")) Fail(at, "a record needs time and value");
                trace.records.push_back({Time(r, "time", at), Sample(*r.get("value"), at, decimalPoint)});
            }
            std::stable_sort(trace.records.begin(), trace.records.end(),
                             [](const TraceRecord &a, const TraceRecord &b) { return a.time > b.time; });
        }
        return trace;
    }
    if (t.contains("records")) Fail(where, "records need an external-clock trace (period = \"external\")");
    if (t.contains("values") && t.contains("samples")) Fail(where, "give either values or samples, not both");
    trace.values = Samples(t, "values", where, decimalPoint);
    if (t.contains("samples")) {
        // The oldest sample takes the cycle's first value; growth goes on from there.
        const auto count = static_cast<size_t>(Integer(t, "samples", where, 0, 100000));
        const auto &cycle = GrowthCycle(trace);
        for (size_t i = count; i-- > 0;) trace.values.push_back(cycle[i % cycle.size()]);
        trace.cycleNext = count % cycle.size();
    }
    if (Flag(t, "grow", where)) // a real period of more than 49 days waits the longest a tick can
        trace.tickMs = static_cast<uint32_t>(std::min<uint64_t>(trace.PeriodSeconds() * 1000ull, UINT32_MAX));
    return trace;
}

StationConfig StationFrom(const toml::table &table, const std::string &where) {
    CheckKeys(table,
              {"identity", "name", "access_code", "secondary", "require_logon", "strict_variables", "decimal_point",
               "clock_offset", "variables", "resources", "journal", "events", "traces"},
              where);
    StationConfig s;
    s.identity = static_cast<uint32_t>(Integer(table, "identity", where, 1, 999));
    s.name = Text(table, "name", where, "");
    s.accessCode = Text(table, "access_code", where, s.accessCode);
    s.secondary = Flag(table, "secondary", where);
    s.requireLogon = Flag(table, "require_logon", where);
    s.strictVariables = Flag(table, "strict_variables", where);
    s.decimalPoint = Flag(table, "decimal_point", where);
    if (table.contains("clock_offset"))
        s.clockOffset = std::chrono::seconds(Integer(table, "clock_offset", where, -3153600000LL, 3153600000LL));
    if (const toml::node *vars = table.get("variables")) {
        if (!vars->is_table()) Fail(where, "variables must be a table");
        for (const auto &[key, node] : *vars->as_table()) {
            const std::string token(key.str());
            auto parsed = ParseToken(token);
            if (!parsed || KindOf(parsed->letters) == VarKind::Unknown)
                Fail(where, "'" + token + "' is not a variable token");
            s.variables[parsed->Text()] = ValueText(node, where + ", variable " + token);
        }
    }
    if (const toml::node *res = table.get("resources")) {
        if (!res->is_array_of_tables()) Fail(where, "resources must be an array of tables ([[station.resources]])");
        size_t n = 0;
        for (const auto &item : *res->as_array()) {
            const std::string at = where + ", resource " + std::to_string(++n);
            const auto &t = *item.as_table();
            uint32_t address = static_cast<uint32_t>(Integer(t, "address", at, 0, 65535));
            if (s.resources.count(address)) Fail(at, "address " + std::to_string(address) + " given twice");
            s.resources[address] = ResourceFrom(t, at);
        }
    }
    s.journal = JournalFrom(table, where, s.decimalPoint);
    if (const toml::node *list = table.get("traces")) {
        if (!list->is_array_of_tables()) Fail(where, "traces must be an array of tables ([[station.traces]])");
        size_t n = 0;
        for (const auto &item : *list->as_array()) {
            const std::string at = where + ", trace " + std::to_string(++n);
            HistoryTrace trace = TraceFrom(*item.as_table(), at, s.decimalPoint);
            if (s.traces.count(trace.number)) Fail(at, "number " + std::to_string(trace.number) + " given twice");
            s.traces[trace.number] = std::move(trace);
        }
    }
    return s;
}

} // namespace

bool ParseStations(const std::string &text, const std::string &source, std::vector<StationConfig> &stations,
                   std::string *error) {
    try {
        toml::table root = tomltext::Parse(text, source);
        CheckKeys(root, {"station"}, source);
        const toml::node *list = root.get("station");
        if (!list || !list->is_array_of_tables()) Fail(source, "no [[station]] tables");
        std::vector<StationConfig> parsed;
        std::set<uint32_t> identities;
        std::set<std::string> names;
        size_t n = 0;
        for (const auto &item : *list->as_array()) {
            const std::string where = source + ": station " + std::to_string(++n);
            StationConfig s = StationFrom(*item.as_table(), where);
            if (!identities.insert(s.identity).second) Fail(where, "identity " + std::to_string(s.identity) + " given twice");
            if (!s.name.empty() && !names.insert(s.name).second) Fail(where, "name '" + s.name + "' given twice");
            parsed.push_back(std::move(s));
        }
        stations = std::move(parsed);
        return true;
    } catch (const toml::parse_error &e) {
        if (error) {
            *error = source + ":" + std::to_string(e.source().begin.line) + ":" +
                     std::to_string(e.source().begin.column) + ": " + std::string(e.description());
        }
    } catch (const ConfigError &e) {
        if (error) *error = e.text;
    }
    return false;
}

bool Simulator::LoadConfig(const std::string &tomlPath, std::string *error) {
    std::FILE *file = std::fopen(tomlPath.c_str(), "rb");
    if (!file) {
        if (error) *error = tomlPath + ": cannot open";
        return false;
    }
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
        if (text.size() > (1u << 24)) { // no station file is this big
            std::fclose(file);
            if (error) *error = tomlPath + ": too large";
            return false;
        }
    }
    std::fclose(file);
    std::vector<StationConfig> stations;
    if (!ParseStations(text, tomlPath, stations, error)) return false;
    for (const auto &s : stations) AddStation(s);
    return true;
}

} // namespace trs::sim
