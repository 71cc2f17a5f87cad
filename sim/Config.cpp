// Station configuration from a TOML file (format in docs/SIMULATOR.md).
#include <cstdio>
#include <set>

#include <toml++/toml.h>

#include "sim/Config.h"
#include "sim/Protocol.h"

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

StationConfig StationFrom(const toml::table &table, const std::string &where) {
    CheckKeys(table,
              {"identity", "name", "access_code", "secondary", "require_logon", "strict_variables", "decimal_point",
               "clock_offset", "variables", "resources"},
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
    return s;
}

} // namespace

bool ParseStations(const std::string &text, const std::string &source, std::vector<StationConfig> &stations,
                   std::string *error) {
    try {
        toml::table root = toml::parse(text, source);
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
