#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "model/environment.h"

namespace qor {

// The JSON text of a zone with everything under it: exactly
// to_json_text(root.to_json()), written straight from the tree without
// building the JSON value first. A given `meta` object becomes the root's
// "meta" member, as in a frame response. Throws TreeTooDeepError for a tree
// deeper than the engine walks.
std::string zone_json_text(const Environment& root, const nlohmann::json* meta = nullptr);

}  // namespace qor
