// The dial directory file (TOML): [[dial]] entries, an optional [tcp] table and an
// optional [alarm] table with its allow lists.
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sstream>

#include "platform/common/TomlText.h"

#include "dialx/PoolState.h"

namespace dialx {

namespace {

constexpr int64_t kMaxTimeoutMs = 600000;

std::string At(const toml::node &node)
{
    return " (line " + std::to_string(node.source().begin.line) + ")";
}

// Reads an integer key into [low, high]. Returns "" or the problem; a missing key is a
// problem only when required.
std::string Integer(const toml::table &table, const std::string &where, const char *key, int64_t low,
                    int64_t high, bool required, int64_t &value)
{
    const toml::node *node = table.get(key);
    if (node == nullptr)
        return required ? where + ": missing '" + key + "'" + At(table) : "";
    auto number = node->value_exact<int64_t>();
    if (!number)
        return where + ": '" + key + "' is not an integer" + At(*node);
    if (*number < low || *number > high)
        return where + ": '" + key + "' = " + std::to_string(*number) + " is not within " + std::to_string(low) +
               ".." + std::to_string(high) + At(*node);
    value = *number;
    return "";
}

std::string Text(const toml::table &table, const std::string &where, const char *key, bool required,
                 std::string &value)
{
    const toml::node *node = table.get(key);
    if (node == nullptr)
        return required ? where + ": missing '" + key + "'" + At(table) : "";
    auto text = node->value_exact<std::string>();
    if (!text || text->empty())
        return where + ": '" + key + "' is not a non-empty string" + At(*node);
    value = *text;
    return "";
}

// A misspelt key would otherwise be ignored and its default used without a word.
std::string OnlyKeys(const toml::table &table, const std::string &where, std::initializer_list<const char *> keys)
{
    for (const auto &[key, node] : table) {
        bool known = false;
        for (const char *name : keys)
            known = known || key.str() == name;
        if (!known)
            return where + ": unknown key '" + std::string(key.str()) + "'" + At(node);
    }
    return "";
}

std::string ParseEntry(const toml::node &node, size_t index, DialEntry &entry)
{
    const std::string where = "dial entry " + std::to_string(index + 1);
    const toml::table *table = node.as_table();
    if (table == nullptr)
        return where + ": not a table" + At(node);
    std::string problem = OnlyKeys(*table, where, {"ref", "host", "port", "connect_timeout_ms"});
    int64_t ref = 0, port = 0, timeout = entry.connectTimeoutMs;
    if (problem.empty())
        problem = Integer(*table, where, "ref", 0, UINT16_MAX, true, ref);
    if (problem.empty())
        problem = Text(*table, where, "host", true, entry.host);
    if (problem.empty())
        problem = Integer(*table, where, "port", 1, UINT16_MAX, true, port);
    if (problem.empty())
        problem = Integer(*table, where, "connect_timeout_ms", 1, kMaxTimeoutMs, false, timeout);
    entry.ref = static_cast<uint16_t>(ref);
    entry.port = static_cast<uint16_t>(port);
    entry.connectTimeoutMs = static_cast<uint32_t>(timeout);
    return problem;
}

std::string ParseTcp(const toml::node &node, TcpSettings &tcp)
{
    const toml::table *table = node.as_table();
    if (table == nullptr)
        return "tcp: not a table" + At(node);
    std::string problem =
        OnlyKeys(*table, "tcp", {"keepalive_idle_s", "keepalive_interval_s", "keepalive_probes", "user_timeout_ms"});
    // The kernel's own bounds for the keepalive values.
    int64_t idle = tcp.keepaliveIdleS, interval = tcp.keepaliveIntervalS, probes = tcp.keepaliveProbes;
    int64_t userTimeout = tcp.userTimeoutMs;
    if (problem.empty())
        problem = Integer(*table, "tcp", "keepalive_idle_s", 1, 32767, false, idle);
    if (problem.empty())
        problem = Integer(*table, "tcp", "keepalive_interval_s", 1, 32767, false, interval);
    if (problem.empty())
        problem = Integer(*table, "tcp", "keepalive_probes", 1, 127, false, probes);
    if (problem.empty())
        problem = Integer(*table, "tcp", "user_timeout_ms", 1, kMaxTimeoutMs, false, userTimeout);
    tcp = {static_cast<uint32_t>(idle), static_cast<uint32_t>(interval), static_cast<uint32_t>(probes),
           static_cast<uint32_t>(userTimeout)};
    return problem;
}

// [alarm.allow]: a station number as key, the list of its source addresses as value.
std::string ParseAllowLists(const toml::node &node, AlarmAccess &access)
{
    const toml::table *table = node.as_table();
    if (table == nullptr)
        return "alarm: 'allow' is not a table" + At(node);
    for (const auto &[key, value] : *table) {
        const std::string where = "alarm.allow." + std::string(key.str());
        uint32_t station = 0;
        if (!detail::ParseIdentLine(key.str().data(), key.str().size(), &station))
            return where + ": not a station number" + At(value);
        if (access.allowFrom.count(station))
            return where + ": station " + std::to_string(station) + " has a list already" + At(value);
        const toml::array *list = value.as_array();
        if (list == nullptr)
            return where + ": not a list of addresses" + At(value);
        std::vector<AddressPrefix> prefixes;
        for (const toml::node &item : *list) {
            auto text = item.value_exact<std::string>();
            if (!text)
                return where + ": not a list of addresses" + At(item);
            AddressPrefix prefix;
            std::string problem = AddressPrefix::Parse(*text, prefix);
            if (!problem.empty())
                return where + ": " + problem + At(item);
            prefixes.push_back(prefix);
        }
        access.allowFrom.emplace(station, std::move(prefixes));
    }
    return "";
}

std::string ParseAlarm(const toml::node &node, AlarmSettings &alarm)
{
    const toml::table *table = node.as_table();
    if (table == nullptr)
        return "alarm: not a table" + At(node);
    std::string problem =
        OnlyKeys(*table, "alarm", {"listen", "address", "ident_timeout_ms", "require_allow_list", "allow"});
    int64_t port = 0, identTimeout = alarm.identTimeoutMs;
    if (problem.empty())
        problem = Integer(*table, "alarm", "listen", 0, UINT16_MAX, true, port);
    if (problem.empty())
        problem = Text(*table, "alarm", "address", false, alarm.address);
    if (problem.empty())
        problem = Integer(*table, "alarm", "ident_timeout_ms", 1, kMaxTimeoutMs, false, identTimeout);
    if (const toml::node *require = table->get("require_allow_list"); problem.empty() && require != nullptr) {
        auto flag = require->value_exact<bool>();
        if (!flag)
            return "alarm: 'require_allow_list' is not true or false" + At(*require);
        alarm.access.requireAllowList = *flag;
    }
    if (const toml::node *allow = table->get("allow"); problem.empty() && allow != nullptr)
        problem = ParseAllowLists(*allow, alarm.access);
    alarm.enabled = true;
    alarm.port = static_cast<uint16_t>(port);
    alarm.identTimeoutMs = static_cast<uint32_t>(identTimeout);
    return problem;
}

std::string ParseTable(const toml::table &root, Directory &out)
{
    std::string problem = OnlyKeys(root, "directory", {"dial", "tcp", "alarm"});
    if (!problem.empty())
        return problem;
    if (const toml::node *dial = root.get("dial")) {
        const toml::array *entries = dial->as_array();
        if (entries == nullptr)
            return "'dial' must be written as [[dial]] tables" + At(*dial);
        std::set<uint16_t> refs;
        for (size_t i = 0; i < entries->size(); ++i) {
            DialEntry entry;
            problem = ParseEntry(*entries->get(i), i, entry);
            if (!problem.empty())
                return problem;
            if (!refs.insert(entry.ref).second)
                return "dial entry " + std::to_string(i + 1) + ": duplicate ref " + std::to_string(entry.ref) +
                       At(*entries->get(i));
            out.entries.push_back(entry);
        }
    }
    if (const toml::node *tcp = root.get("tcp")) {
        out.tcp.emplace();
        problem = ParseTcp(*tcp, *out.tcp);
        if (!problem.empty())
            return problem;
    }
    if (const toml::node *alarm = root.get("alarm"))
        return ParseAlarm(*alarm, out.alarm);
    return "";
}

} // namespace

std::string ParseDirectory(const std::string &text, Directory &out)
{
    out = Directory{};
    Directory parsed;
    std::string problem;
    try {
        toml::table root = tomltext::Parse(text);
        problem = ParseTable(root, parsed);
    } catch (const toml::parse_error &error) {
        problem = std::string(error.description()) + " (line " + std::to_string(error.source().begin.line) + ")";
    }
    if (problem.empty())
        out = std::move(parsed);
    return problem;
}

std::string ReadDirectoryFile(const std::string &path, Directory &out)
{
    out = Directory{};
    // A folder opens as a stream that reads nothing: it would pass as an empty directory.
    struct stat info{};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return path + ": not a file (the dial directory is a TOML file)";
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return path + ": cannot open the file";
    std::ostringstream text;
    text << file.rdbuf();
    std::string problem = ParseDirectory(text.str(), out);
    return problem.empty() ? "" : path + ": " + problem;
}

} // namespace dialx
