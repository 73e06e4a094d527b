#include <memory>
#include <string>
#include <utility>

#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"
#include "web/web.h"

namespace qor::web {

namespace {

// add_<kind>(visual_id): places a new agent of that kind at the end of the zone's agents.
template <typename Agent>
void place(Environment& zone, em::val visual_id) {
    guarded_void([&] {
        zone.add_magician(std::make_shared<Agent>(cpp_text(visual_id, "placing an agent", "visual_id")));
    });
}

void place_equals_gate(Environment& zone, em::val visual_id, em::val target_value) {
    guarded_void([&] {
        std::string id = cpp_text(visual_id, "add_equals_gate()", "visual_id");
        const double target = number_of(target_value, "add_equals_gate()", "target");
        zone.add_magician(std::make_shared<EqualsGate>(std::move(id), target));
    });
}

void place_inequality_gate(Environment& zone, em::val visual_id, em::val target_value,
                           em::val comparison_type) {
    guarded_void([&] {
        std::string id = cpp_text(visual_id, "add_inequality_gate()", "visual_id");
        const double target = number_of(target_value, "add_inequality_gate()", "target");
        const std::string rule = cpp_text(comparison_type, "add_inequality_gate()", "comparison_type");
        zone.add_magician(std::make_shared<InequalityGate>(std::move(id), target,
                                                           InequalityGate::comparison_from_rule(rule)));
    });
}

}  // namespace

void bind_agent_placing(const EnvironmentClass& environment) {
    environment.function("add_plus_magician", &place<PlusMagician>)
        .function("add_minus_magician", &place<MinusMagician>)
        .function("add_multiply_magician", &place<MultiplyMagician>)
        .function("add_divide_magician", &place<DivideMagician>)
        .function("add_power_sorcerer", &place<PowerSorcerer>)
        .function("add_root_magician", &place<RootMagician>)
        .function("add_abs_magician", &place<AbsMagician>)
        .function("add_factorial_magician", &place<FactorialMagician>)
        .function("add_modulo_magician", &place<ModuloMagician>)
        .function("add_log_magician", &place<LogMagician>)
        .function("add_chronomancer", &place<Chronomancer>)
        .function("add_equals_gate", &place_equals_gate)
        .function("add_inequality_gate", &place_inequality_gate);
}

}  // namespace qor::web
