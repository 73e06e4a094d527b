#include "model/magician_agent.h"

#include <utility>

namespace qor {

MagicianAgent::MagicianAgent(std::string name_, std::int32_t priority_, std::string visual_id_)
    : priority(priority_),
      name(std::move(name_)),
      visual_id(std::move(visual_id_)),
      state(AgentState::DORMANT) {}

MagicianAgent::~MagicianAgent() = default;

std::optional<std::vector<Charge>> MagicianAgent::prepare_spell(const std::vector<Charge>& charges) {
    std::vector<Charge> trial = charges;
    if (!CastSpell(trial)) return std::nullopt;
    return trial;
}

SpellDecision MagicianAgent::decide(const std::vector<Charge>& charges) {
    if (prepare_spell(charges)) return SpellDecision::acting(charges.size());
    return SpellDecision::declining(SpellReason::DECLINES, charges.size());
}

bool MagicianAgent::cast_prepared_spell(std::vector<Charge>& charges) {
    std::optional<std::vector<Charge>> result = prepare_spell(charges);
    if (!result) return false;
    spell_applied();
    charges = std::move(*result);
    return true;
}

nlohmann::json MagicianAgent::to_json() const {
    nlohmann::json agent = nlohmann::json::object();
    agent["name"] = name;
    agent["priority"] = priority;
    agent["state"] = state == AgentState::ACTIVE ? "active" : "dormant";
    agent["visual_id"] = visual_id;
    return agent;
}

void MagicianAgent::write_json_text(JsonTextWriter& out) const {
    out.raw("{\"name\":");
    out.string(name);
    out.raw(",\"priority\":");
    out.integer(priority);
    if (state == AgentState::ACTIVE) {  // each literal's length known where it is written
        out.raw(",\"state\":\"active\",\"visual_id\":");
    } else {
        out.raw(",\"state\":\"dormant\",\"visual_id\":");
    }
    out.string(visual_id);
    out.raw('}');
}

}  // namespace qor
