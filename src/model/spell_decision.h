#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// Why an agent acts or declines on a zone's charges.
enum class SpellReason : std::uint8_t {
    ACTS = 0,
    TOO_FEW_CHARGES,      // needs charges_needed, the zone holds charge_count
    NEGATIVE_CHARGE,      // the charge at `position` is tagged NEGATIVE
    LOG_ARGUMENT,         // the logarithm's argument (`value`) is not above zero
    LOG_BASE,             // the logarithm's base (`value`) is not above zero, or is 1
    NEGATIVE_RADICAND,    // the radicand (`value`) is negative under an even index (`bound`)
    DIVISOR_NEAR_ZERO,    // the divisor at `position` (`value`) is within 1e-9 of zero
    GATE_SHUT,            // the zone's total (`value`) fails the gate's rule against `bound`
    NEVER_ACTS,           // a Chronomancer's spell never takes effect
    DECLINES,             // a host's kind declined; it gives no reason
};

// What decides whether an agent acts: the reason and the figures behind it.
// Each of the engine's kinds works it out in one function that its spell also
// runs, so that an explanation and the spell cannot disagree. Which figures
// mean something depends on the reason (see SpellReason); a gate always gives
// its total, target and rule, acting or not.
struct SpellDecision {
    SpellReason reason = SpellReason::ACTS;
    std::size_t charge_count = 0;    // how many charges the zone holds
    std::size_t charges_needed = 0;  // the fewest the spell works on
    std::size_t position = 0;        // a charge's place in the list, from 0
    double value = 0.0;              // the deciding figure (see SpellReason)
    double bound = 0.0;              // what `value` is held against
    const char* rule = nullptr;      // a gate's comparison: "==", "<", ">", "<=" or ">="

    bool acts() const noexcept { return reason == SpellReason::ACTS; }

    static SpellDecision acting(std::size_t charge_count) noexcept {
        SpellDecision decision;
        decision.charge_count = charge_count;
        return decision;
    }
    static SpellDecision declining(SpellReason reason, std::size_t charge_count) noexcept {
        SpellDecision decision;
        decision.reason = reason;
        decision.charge_count = charge_count;
        return decision;
    }
    static SpellDecision too_few(std::size_t charge_count, std::size_t needed) noexcept {
        SpellDecision decision = declining(SpellReason::TOO_FEW_CHARGES, charge_count);
        decision.charges_needed = needed;
        return decision;
    }
};

}  // namespace qor
