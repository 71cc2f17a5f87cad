// Reading station configurations (TOML).
#pragma once

#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace trs::sim {

// Parses a station file's text; `source` names it in error messages. On failure the
// stations are left as they were and `error` says where and why.
bool ParseStations(const std::string &text, const std::string &source, std::vector<StationConfig> &stations,
                   std::string *error);

} // namespace trs::sim
