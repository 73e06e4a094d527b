#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qor {

// The compact text of a JSON value, byte for byte what value.dump() gives
// (sorted keys, no spaces, UTF-8 left as it is, type error 316 on invalid
// UTF-8), but written without recursion, so any nesting depth is safe.
std::string to_json_text(const nlohmann::json& value);

}  // namespace qor
