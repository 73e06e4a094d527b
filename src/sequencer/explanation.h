#pragma once

#include <cstddef>
#include <string>

#include "model/spell_decision.h"
#include "model/zone_walk.h"

namespace qor {

// The longest text an explanation's note names whole (an id, a visual id, a
// kind's name), in bytes; a longer one is named by its start and "…", so that
// notes repeated for every agent of a zone stay short.
inline constexpr std::size_t kNamedTextBytes = 64;

// The "reason" code of a spell decision in an explanation: "acts",
// "too_few_charges", "negative_charge", "log_argument", "log_base",
// "negative_radicand", "divisor_near_zero", "gate_shut", "never_acts" or
// "declines".
const char* spell_reason_code(SpellReason reason);

// The decision in words, with the figures that decide it ("needs 2 charges,
// the zone has 1"; a gate: "total 18.0, opens at 20.0" or "total 18.0 is not
// > 20.0").
std::string spell_decision_note(const SpellDecision& decision);
// The same words, appended to `note`.
void append_decision_note(std::string& note, const SpellDecision& decision);

// A figure as the notes write it: as in a frame ("18.0"), "NaN", "inf" or "-inf".
std::string figure_text(double figure);
void append_figure(std::string& text, double figure);

}  // namespace qor
