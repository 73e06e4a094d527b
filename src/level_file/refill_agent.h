#pragma once

#include <memory>
#include <string>

#include "model/environment.h"
#include "spells/agent_kinds.h"
#include "spells/gates.h"

namespace qor {

// A level file's "refill" agent: placed again, in the same zone and under the
// same id, after each frame in which it acted.
struct RefillAgent {
    std::shared_ptr<Environment> zone;
    AgentKind kind = AgentKind::PLUS;
    std::string visual_id;
    double target = 0.0;  // the gates' only
    InequalityGate::ComparisonType comparison = InequalityGate::ComparisonType::LESS_THAN;

    std::shared_ptr<MagicianAgent> make() const { return make_agent(kind, visual_id, target, comparison); }
};

}  // namespace qor
