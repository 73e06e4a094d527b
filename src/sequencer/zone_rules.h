#pragma once

#include <algorithm>

#include "model/environment.h"

namespace qor {

// Empty agent slots (null entries a C++ host wrote) mean nothing.
inline bool has_agents(const Environment& zone) {
    return std::any_of(zone.agents.begin(), zone.agents.end(),
                       [](const auto& agent) { return agent != nullptr; });
}

// A zone is unresolved while it holds an agent or two or more charges; a
// parent is frozen while a direct sub-zone is unresolved.
inline bool is_unresolved(const Environment& zone) {
    return zone.charges.size() >= 2 || has_agents(zone);
}

// A sub-zone left with one charge and no agent merges into its parent.
inline bool is_collapsible(const Environment& zone) {
    return zone.charges.size() == 1 && !has_agents(zone);
}

}  // namespace qor
