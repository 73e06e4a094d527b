#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/charge.h"
#include "model/json_text.h"
#include "model/spell_decision.h"

namespace qor {

// What an agent did most recently: ACTIVE only while its spell runs.
enum class AgentState : std::int32_t { DORMANT = 0, ACTIVE = 1 };

// The abstract base of every agent that can stand in a zone.
//
// CastSpell contract: return true when the spell took effect, false when the
// agent declines; a declining agent leaves the list exactly as it was; a spell
// that takes effect may remove charges, change them in place and append new
// ones at the end. No arithmetic condition throws. A spell that throws
// (memory running out) leaves the list as it was.
class MagicianAgent {
public:
    std::int32_t priority;
    std::string name;
    std::string visual_id;
    AgentState state;

    virtual ~MagicianAgent();
    virtual bool CastSpell(std::vector<Charge>& charges) = 0;
    virtual nlohmann::json to_json() const;
    // Appends the text of to_json() without building the value. A kind that
    // adds members to to_json() overrides this as well.
    virtual void write_json_text(JsonTextWriter& out) const;

    // The charge list the spell would leave, worked out without changing the
    // zone: nothing when the agent declines. A frame applies it only once the
    // whole frame can be answered, so that a frame that fails is undone. The
    // engine's kinds work it out directly; for any other kind CastSpell is
    // offered a copy of the list.
    virtual std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges);

    // Whether the spell would take effect on `charges`, and why, without
    // changing anything. The engine's kinds work it out in the same function
    // their prepare_spell runs; for any other kind it asks prepare_spell and
    // gives ACTS or DECLINES.
    virtual SpellDecision decide(const std::vector<Charge>& charges);

    // What the agent itself keeps of having acted (a gate opens): applied
    // when a frame applies its prepared spell, and undone if that frame is
    // undone. Neither allocates nor throws.
    virtual void spell_applied() noexcept {}
    virtual void spell_undone() noexcept {}

protected:
    MagicianAgent(std::string name, std::int32_t priority, std::string visual_id);

    // CastSpell of a kind that works its spell out in prepare_spell.
    bool cast_prepared_spell(std::vector<Charge>& charges);
};

}  // namespace qor
