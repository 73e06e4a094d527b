#include "level_file/level_play.h"

#include <optional>
#include <stdexcept>
#include <utility>

#include "spells/agent_kinds.h"

namespace qor {

LevelPlay::LevelPlay(std::shared_ptr<Environment> root, std::vector<RefillAgent> refills,
                     std::int32_t max_frames)
    : NarrativeSequencer(std::move(root), max_frames) {
    check_refills(refills);
    refills_ = std::move(refills);
}

void LevelPlay::set_refills(std::vector<RefillAgent> refills) {
    check_refills(refills);
    refills_ = std::move(refills);
}

void LevelPlay::check_refills(const std::vector<RefillAgent>& refills) {
    for (const RefillAgent& refill : refills) {
        if (!refill.zone) {
            throw std::invalid_argument("refill agent \"" + refill.visual_id + "\" needs a zone, not null");
        }
    }
}

const RefillAgent* LevelPlay::refill_of(const Environment& zone, const MagicianAgent& agent) const {
    const std::optional<AgentKind> kind = kind_of(agent);
    if (!kind) return nullptr;
    for (const RefillAgent& refill : refills_) {
        if (refill.zone.get() == &zone && refill.kind == *kind && refill.visual_id == agent.visual_id) {
            return &refill;
        }
    }
    return nullptr;
}

bool LevelPlay::is_refill(const Environment& zone, const MagicianAgent& agent) const {
    return refill_of(zone, agent) != nullptr;
}

bool LevelPlay::prepare_after_cast(Environment& zone, const MagicianAgent& agent) {
    const RefillAgent* refill = refill_of(zone, agent);
    if (refill == nullptr) return false;
    std::shared_ptr<MagicianAgent> made = refill->make();
    zone.agents.reserve(zone.agents.size() + 1);
    refill_agent_ = std::move(made);
    refill_zone_ = refill->zone;
    return true;
}

void LevelPlay::apply_after_cast() noexcept {
    // Room was reserved: the push cannot allocate.
    refill_zone_->agents.push_back(std::move(refill_agent_));
    refill_zone_.reset();
}

void LevelPlay::drop_after_cast() noexcept {
    refill_agent_.reset();
    refill_zone_.reset();
}

}  // namespace qor
