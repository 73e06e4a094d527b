#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/magician_agent.h"
#include "spells/gates.h"

namespace qor {

// The engine's thirteen agent kinds. The numbers are the kinds' numbers in a
// save and never change.
enum class AgentKind : std::uint8_t {
    CHRONOMANCER = 1,
    ABS = 2,
    LOG = 3,
    FACTORIAL = 4,
    POWER = 5,
    ROOT = 6,
    MULTIPLY = 7,
    DIVIDE = 8,
    MODULO = 9,
    PLUS = 10,
    MINUS = 11,
    EQUALS_GATE = 12,
    INEQUALITY_GATE = 13,
};
inline constexpr std::size_t kAgentKindCount = 13;

// What every face of the engine shows of a kind: its key in level files
// ("plus"), the agent's name in frames ("Plus Magician"), its priority, the
// Python method that places it and one line on what its spell does.
struct AgentKindInfo {
    AgentKind kind;
    const char* key;
    const char* agent_name;
    std::int32_t priority;
    const char* placing_method;
    const char* summary;
};

// The kinds, highest priority first (the order of the level-file docs).
const AgentKindInfo* agent_kinds_begin();
const AgentKindInfo* agent_kinds_end();

const AgentKindInfo& kind_info(AgentKind kind);
// The kind whose level-file key is `key`, or null.
const AgentKindInfo* kind_by_key(std::string_view key);
// The kind of an agent of the engine's own kinds; nothing for any other class.
std::optional<AgentKind> kind_of(const MagicianAgent& agent);

// A new, dormant agent of the kind. `target` is read by the two gates only,
// `comparison` by the inequality gate only.
std::shared_ptr<MagicianAgent> make_agent(
    AgentKind kind, std::string visual_id, double target = 0.0,
    InequalityGate::ComparisonType comparison = InequalityGate::ComparisonType::LESS_THAN);

}  // namespace qor
