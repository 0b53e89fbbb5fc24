// The "faults" list of a port in the configuration file, read and written
// apart from the rest of the reader.
#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/faults.h"

namespace sim {

// Throws ConfigError naming the field (path as in the file, "ports[0].faults[1].toMs").
std::vector<FaultConfig> parseFaults(const nlohmann::json& list, const std::string& path);
nlohmann::json faultsJson(const std::vector<FaultConfig>& faults);

}  // namespace sim
