#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/charge.h"
#include "model/json_text.h"

namespace qor {

// What an agent did most recently: ACTIVE only while its spell runs.
enum class AgentState : std::int32_t { DORMANT = 0, ACTIVE = 1 };

// The abstract base of every agent that can stand in a zone.
//
// CastSpell contract: return true when the spell took effect, false when the
// agent declines; a declining agent leaves the list exactly as it was; a spell
// that takes effect may remove charges, change them in place and append new
// ones at the end. No arithmetic condition throws.
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

protected:
    MagicianAgent(std::string name, std::int32_t priority, std::string visual_id);
};

}  // namespace qor
