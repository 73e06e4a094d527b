#include "model/magician_agent.h"

#include <utility>

namespace qor {

MagicianAgent::MagicianAgent(std::string name_, std::int32_t priority_, std::string visual_id_)
    : priority(priority_),
      name(std::move(name_)),
      visual_id(std::move(visual_id_)),
      state(AgentState::DORMANT) {}

MagicianAgent::~MagicianAgent() = default;

nlohmann::json MagicianAgent::to_json() const {
    return nlohmann::json{
        {"name", name},
        {"priority", priority},
        {"state", state == AgentState::ACTIVE ? "active" : "dormant"},
        {"visual_id", visual_id},
    };
}

}  // namespace qor
