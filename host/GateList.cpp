// Gate-list files: the gates of a host in TOML (format in docs/HOST.md).
#include <filesystem>
#include <set>
#include <sstream>
#include "platform/common/TomlText.h"

#include "host/State.h"

namespace kiv {

namespace {

// `unit` is for host programs (trs-host shows it); the runtime keeps no unit.
const std::set<std::string> kKeys = {"id", "name", "address", "type", "drv", "source",
                                     "record", "block", "sampling", "scale", "unit"};

// " (line n)" of a node, as the dial directory's messages say it.
std::string At(const toml::node *node)
{
    return node ? " (line " + std::to_string(node->source().begin.line) + ")" : "";
}

std::optional<uint16_t> ParseType(const toml::node &node)
{
    if (auto text = node.value<std::string>()) {
        static const std::map<std::string, uint16_t> names = {{"u16", GATE_TYPE_U16},
                                                             {"s16", GATE_TYPE_S16},
                                                             {"float", GATE_TYPE_FLOAT},
                                                             {"digital", GATE_TYPE_DIGITAL},
                                                             {"text", GATE_TYPE_TEXT}};
        auto it = names.find(*text);
        return it == names.end() ? std::nullopt : std::optional<uint16_t>(it->second);
    }
    if (auto number = node.value<int64_t>()) {
        if (*number == GATE_TYPE_U16 || *number == GATE_TYPE_S16 || *number == GATE_TYPE_FLOAT ||
            *number == GATE_TYPE_DIGITAL || *number == GATE_TYPE_TEXT)
            return static_cast<uint16_t>(*number);
    }
    return std::nullopt;
}

// An integer field within [low, high]; absent leaves *out as it is.
bool Integer(const toml::table &gate, const char *key, int64_t low, int64_t high, int64_t *out, std::string *why,
             const toml::node **failed)
{
    const toml::node *node = gate.get(key);
    if (!node)
        return true;
    auto value = node->value_exact<int64_t>();
    if (!value || *value < low || *value > high) {
        *failed = node;
        *why = std::string("'") + key + "' must be an integer from " + std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    *out = *value;
    return true;
}

bool Pair(const toml::table &scale, const char *key, double *low, double *high, std::string *why)
{
    const toml::array *pair = scale[key].as_array();
    std::optional<double> a, b;
    if (pair && pair->size() == 2) {
        a = (*pair)[0].value<double>();
        b = (*pair)[1].value<double>();
    }
    if (!a || !b) {
        *why = std::string("'scale.") + key + "' must be two numbers [low, high]";
        return false;
    }
    *low = *a;
    *high = *b;
    return true;
}

bool ParseGate(const toml::table &gate, GateSpec *spec, std::string *why, const toml::node **where)
{
    *where = &gate;
    for (const auto &[key, value] : gate) {
        if (!kKeys.count(std::string(key.str()))) {
            *why = "unknown field '" + std::string(key.str()) + "'";
            *where = &value;
            return false;
        }
    }
    if (const toml::node *unit = gate.get("unit")) {
        auto text = unit->value_exact<std::string>();
        *where = unit;
        if (!text || text->size() > 15) {
            *why = "'unit' must be a string of at most 15 characters";
            return false;
        }
        *where = &gate;
    }
    for (const char *required : {"name", "address", "type"}) {
        if (!gate.contains(required)) {
            *why = std::string("missing field '") + required + "'";
            return false;
        }
    }
    auto name = gate["name"].value_exact<std::string>();
    auto address = gate["address"].value_exact<std::string>();
    if (!name || !address) {
        *why = "'name' and 'address' must be strings";
        *where = gate.get(!name ? "name" : "address");
        return false;
    }
    if (address->empty()) {
        *why = "'address' is empty";
        *where = gate.get("address");
        return false;
    }
    if (name->size() >= KIV_GATEDEF_NAME_SIZE || address->size() >= KIV_GATEDEF_ADDRESS_SIZE) {
        *why = "'name' must be shorter than 96 and 'address' than 156 characters";
        return false;
    }
    spec->name = *name;
    spec->address = *address;
    auto type = ParseType(*gate.get("type"));
    *where = gate.get("type");
    if (!type) {
        *why = "'type' must be \"u16\", \"s16\", \"float\", \"digital\", \"text\" or 0, 1, 3, 6, 7";
        return false;
    }
    spec->type = *type;

    int64_t id = -1, drv = 1, source = 1, record = 0, block = 0;
    *where = &gate;
    if (!Integer(gate, "id", 0, 0xFFFFFFFEll, &id, why, where) || !Integer(gate, "drv", 1, 255, &drv, why, where) ||
        !Integer(gate, "source", 0, 255, &source, why, where) ||
        !Integer(gate, "record", 0, 0xFFFFFFFFll, &record, why, where) ||
        !Integer(gate, "block", 0, 1024, &block, why, where))
        return false;
    if (id >= 0)
        spec->id = static_cast<uint32_t>(id);
    spec->drvNumber = static_cast<uint8_t>(drv);
    spec->sourceKind = static_cast<uint8_t>(source);
    spec->recordSetting = static_cast<uint32_t>(record);
    spec->blockLength = static_cast<uint32_t>(block);

    if (const toml::node *sampling = gate.get("sampling")) {
        *where = sampling;
        auto on = sampling->value_exact<bool>();
        if (!on) {
            *why = "'sampling' must be true or false";
            return false;
        }
        spec->sampling = *on;
    }
    if (const toml::node *node = gate.get("scale")) {
        *where = node;
        const toml::table *scale = node->as_table();
        Scaling s;
        if (!scale) {
            *why = "'scale' must be a table { raw = [lo, hi], eng = [lo, hi] }";
            return false;
        }
        if (!Pair(*scale, "raw", &s.rawLow, &s.rawHigh, why) || !Pair(*scale, "eng", &s.engLow, &s.engHigh, why))
            return false;
        if (s.rawLow == s.rawHigh) {
            *why = "'scale.raw' must be a range of non-zero width";
            return false;
        }
        spec->scaling = s;
    }
    return true;
}

} // namespace

std::optional<std::vector<uint32_t>> Runtime::LoadGateList(const std::string &path, std::string *error)
{
    auto fail = [&](const std::string &why) -> std::optional<std::vector<uint32_t>> {
        if (error)
            *error = path + ": " + why;
        return std::nullopt;
    };
    // A folder or a device would read as an empty list and start a host without gates.
    std::error_code code;
    if (std::filesystem::exists(path, code) && !std::filesystem::is_regular_file(path, code))
        return fail("not a file (the gate list is a TOML file of [[gate]] tables)");
    toml::table file;
    try {
        file = tomltext::ParseFile(path);
    } catch (const toml::parse_error &e) {
        std::ostringstream where;
        where << e.source().begin;
        return fail(std::string(e.description()) + " at " + where.str());
    }
    for (const auto &[key, value] : file)
        if (key.str() != "gate")
            return fail("unknown table '" + std::string(key.str()) + "'");
    const toml::node *list = file.get("gate");
    if (!list)
        return std::vector<uint32_t>{};
    const toml::array *gates = list->as_array();
    if (!gates || !gates->is_array_of_tables())
        return fail("'gate' must be an array of tables ([[gate]])");

    // Every gate is checked before any is added: a faulty file leaves the runtime as it was.
    std::vector<GateSpec> specs;
    std::set<uint32_t> ids;
    // The same address twice for one drv number would be read twice a cycle, and the
    // driver's stores would go to the first gate only.
    std::map<std::pair<std::string, uint8_t>, size_t> addresses;
    for (size_t i = 0; i < gates->size(); i++) {
        GateSpec spec;
        std::string why;
        const toml::table &table = *(*gates)[i].as_table();
        const toml::node *where = &table;
        const std::string gate = "gate " + std::to_string(i + 1);
        if (!ParseGate(table, &spec, &why, &where))
            return fail(gate + ": " + why + At(where));
        if (spec.id && !ids.insert(*spec.id).second)
            return fail(gate + ": id " + std::to_string(*spec.id) + " is used twice" + At(table.get("id")));
        auto [it, added] = addresses.emplace(std::make_pair(spec.address, spec.drvNumber), i + 1);
        if (!added)
            return fail(gate + ": address '" + spec.address + "' of drv " + std::to_string(spec.drvNumber) +
                        " is gate " + std::to_string(it->second) + "'s already" + At(table.get("address")));
        specs.push_back(std::move(spec));
    }
    // Gates without an id take free ids that no gate of the file claims.
    {
        std::lock_guard lock(state_->mutex);
        uint32_t next = 0;
        for (auto &spec : specs) {
            if (spec.id)
                continue;
            while (state_->gates.count(next) || ids.count(next))
                next++;
            spec.id = next++;
        }
    }
    std::vector<uint32_t> added;
    for (const auto &spec : specs)
        added.push_back(AddGate(spec));
    return added;
}

} // namespace kiv
