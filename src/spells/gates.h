#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/charge.h"
#include "model/magician_agent.h"

namespace qor {

// Opens when the zone's signed total matches its target to within 1e-6.
class EqualsGate : public MagicianAgent {
public:
    double target_value;
    bool is_open = false;

    EqualsGate(std::string visual_id, double target_value);
    bool CastSpell(std::vector<Charge>& charges) override;
    // A gate leaves the charges as they are; acting opens it.
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    // The zone's total, the target and the rule ("=="), opening or not.
    SpellDecision decide(const std::vector<Charge>& charges) override;
    void spell_applied() noexcept override;
    void spell_undone() noexcept override;
    nlohmann::json to_json() const override;
    void write_json_text(JsonTextWriter& out) const override;

private:
    bool was_open_ = false;  // is_open before the spell was last applied
};

// Opens when the zone's signed total compares with its target as its rule says.
class InequalityGate : public MagicianAgent {
public:
    enum class ComparisonType : std::int32_t {
        LESS_THAN = 0,
        GREATER_THAN = 1,
        LESS_EQUAL = 2,
        GREATER_EQUAL = 3
    };

    // ">", "<=" and ">=" name their comparisons; any other text means LESS_THAN.
    static ComparisonType comparison_from_rule(const std::string& rule);

    // "<", ">", "<=" or ">="; an unnamed value reads "<", as it compares.
    static const char* rule_text(ComparisonType comparison);

    ComparisonType comparison_type;
    double target_value;
    bool is_open = false;

    InequalityGate(std::string visual_id, double target_value, ComparisonType comparison_type);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    // The zone's total, the target and the rule, opening or not.
    SpellDecision decide(const std::vector<Charge>& charges) override;
    void spell_applied() noexcept override;
    void spell_undone() noexcept override;
    nlohmann::json to_json() const override;
    void write_json_text(JsonTextWriter& out) const override;

private:
    bool was_open_ = false;  // is_open before the spell was last applied
};

// Stands in a zone to freeze time there; its spell never does anything itself.
class Chronomancer : public MagicianAgent {
public:
    explicit Chronomancer(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

}  // namespace qor
