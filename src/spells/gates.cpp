#include "spells/gates.h"

#include <cmath>
#include <utility>

#include "spells/arithmetic_magicians.h"

namespace qor {

namespace {

constexpr double kEqualsTolerance = 1e-6;

using ComparisonType = InequalityGate::ComparisonType;

// Unnamed comparison values compare as LESS_THAN.
bool comparison_holds(ComparisonType comparison, double total, double target) {
    switch (comparison) {
        case ComparisonType::GREATER_THAN: return total > target;
        case ComparisonType::LESS_EQUAL: return total <= target;
        case ComparisonType::GREATER_EQUAL: return total >= target;
        case ComparisonType::LESS_THAN:
        default: return total < target;
    }
}

// A gate's decision: the zone's total held against its target by its rule.
// An empty zone opens no gate; otherwise the gate opens when holds(total).
template <typename Holds>
SpellDecision gate_decision(const std::vector<Charge>& charges, double target, const char* rule,
                            Holds holds) {
    SpellDecision decision = SpellDecision::too_few(0, 1);
    if (!charges.empty()) {
        decision = SpellDecision::acting(charges.size());
        decision.value = summed_total(charges);
        if (!holds(decision.value)) decision.reason = SpellReason::GATE_SHUT;
    }
    decision.bound = target;
    decision.rule = rule;
    return decision;
}

nlohmann::json gate_json(nlohmann::json agent, bool is_open, double target_value) {
    agent["is_open"] = is_open;
    agent["target_value"] = target_value;
    return agent;
}

// What gate_json's value writes as text, in the same key order, with `rule`
// (when given) as the inequality gate's extra member.
void write_gate_text(JsonTextWriter& out, const MagicianAgent& gate, bool is_open,
                     double target_value, const char* rule) {
    if (is_open) {  // each literal's length known where it is written
        out.raw("{\"is_open\":true,\"name\":");
    } else {
        out.raw("{\"is_open\":false,\"name\":");
    }
    out.string(gate.name);
    out.raw(",\"priority\":");
    out.integer(gate.priority);
    if (rule != nullptr) {
        out.raw(",\"rule\":\"");
        out.raw(rule);
        out.raw('"');
    }
    if (gate.state == AgentState::ACTIVE) {
        out.raw(",\"state\":\"active\",\"target_value\":");
    } else {
        out.raw(",\"state\":\"dormant\",\"target_value\":");
    }
    out.number(target_value);
    out.raw(",\"visual_id\":");
    out.string(gate.visual_id);
    out.raw('}');
}

}  // namespace

EqualsGate::EqualsGate(std::string visual_id_, double target_value_)
    : MagicianAgent("Equals Gate", 0, std::move(visual_id_)), target_value(target_value_) {}

bool EqualsGate::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision EqualsGate::decide(const std::vector<Charge>& charges) {
    return gate_decision(charges, target_value, "==", [this](double total) {
        return std::fabs(total - target_value) < kEqualsTolerance;
    });
}

std::optional<std::vector<Charge>> EqualsGate::prepare_spell(const std::vector<Charge>& charges) {
    if (!EqualsGate::decide(charges).acts()) return std::nullopt;
    return charges;
}

void EqualsGate::spell_applied() noexcept {
    was_open_ = is_open;
    is_open = true;
}

void EqualsGate::spell_undone() noexcept { is_open = was_open_; }

void EqualsGate::write_json_text(JsonTextWriter& out) const {
    write_gate_text(out, *this, is_open, target_value, nullptr);
}

nlohmann::json EqualsGate::to_json() const {
    return gate_json(MagicianAgent::to_json(), is_open, target_value);
}

ComparisonType InequalityGate::comparison_from_rule(const std::string& rule) {
    if (rule == ">") return ComparisonType::GREATER_THAN;
    if (rule == "<=") return ComparisonType::LESS_EQUAL;
    if (rule == ">=") return ComparisonType::GREATER_EQUAL;
    return ComparisonType::LESS_THAN;
}

const char* InequalityGate::rule_text(ComparisonType comparison) {
    switch (comparison) {
        case ComparisonType::GREATER_THAN: return ">";
        case ComparisonType::LESS_EQUAL: return "<=";
        case ComparisonType::GREATER_EQUAL: return ">=";
        case ComparisonType::LESS_THAN:
        default: return "<";
    }
}

InequalityGate::InequalityGate(std::string visual_id_, double target_value_,
                               ComparisonType comparison_type_)
    : MagicianAgent("The Judge", 0, std::move(visual_id_)),
      comparison_type(comparison_type_),
      target_value(target_value_) {}

bool InequalityGate::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision InequalityGate::decide(const std::vector<Charge>& charges) {
    return gate_decision(charges, target_value, rule_text(comparison_type), [this](double total) {
        return comparison_holds(comparison_type, total, target_value);
    });
}

std::optional<std::vector<Charge>> InequalityGate::prepare_spell(const std::vector<Charge>& charges) {
    if (!InequalityGate::decide(charges).acts()) return std::nullopt;
    return charges;
}

void InequalityGate::spell_applied() noexcept {
    was_open_ = is_open;
    is_open = true;
}

void InequalityGate::spell_undone() noexcept { is_open = was_open_; }

void InequalityGate::write_json_text(JsonTextWriter& out) const {
    write_gate_text(out, *this, is_open, target_value, rule_text(comparison_type));
}

nlohmann::json InequalityGate::to_json() const {
    nlohmann::json gate = gate_json(MagicianAgent::to_json(), is_open, target_value);
    gate["rule"] = rule_text(comparison_type);
    return gate;
}

Chronomancer::Chronomancer(std::string visual_id_)
    : MagicianAgent("Chronomancer", 100, std::move(visual_id_)) {}

bool Chronomancer::CastSpell(std::vector<Charge>&) { return false; }

SpellDecision Chronomancer::decide(const std::vector<Charge>& charges) {
    return SpellDecision::declining(SpellReason::NEVER_ACTS, charges.size());
}

std::optional<std::vector<Charge>> Chronomancer::prepare_spell(const std::vector<Charge>&) {
    return std::nullopt;
}

}  // namespace qor
