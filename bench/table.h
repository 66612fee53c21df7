// corvane-bench's figures as a table for a terminal.
#pragma once

#include <nlohmann/json.hpp>

namespace bench {

void printTable(const nlohmann::json& results);

}  // namespace bench
