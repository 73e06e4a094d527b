#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "level_file/level_file.h"
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

// add_agent(kind, id, target?, rule?): an agent of a level file's kind,
// checked as a level file's agent is. null or undefined leaves a parameter
// out.
void place_agent(Environment& zone, em::val kind, em::val id, em::val target, em::val rule) {
    guarded_void([&] {
        const char* caller = "add_agent()";
        const std::string key = cpp_text(kind, caller, "kind");
        const std::string agent_id = cpp_text(id, caller, "id");
        std::optional<double> target_value;
        if (!target.isUndefined() && !target.isNull()) target_value = number_of(target, caller, "target");
        std::optional<std::string> rule_text;
        if (!rule.isUndefined() && !rule.isNull()) rule_text = cpp_text(rule, caller, "rule");
        zone.add_magician(make_agent(read_agent(key, agent_id, target_value, rule_text)));
    });
}

}  // namespace

void bind_agent_placing(const EnvironmentClass& environment) {
    const auto agent = [&](const char* name, auto place_agent) {
        environment.function(name, place_agent);
        describe_parameters("Environment", name, "visual_id");
    };
    agent("add_plus_magician", &place<PlusMagician>);
    agent("add_minus_magician", &place<MinusMagician>);
    agent("add_multiply_magician", &place<MultiplyMagician>);
    agent("add_divide_magician", &place<DivideMagician>);
    agent("add_power_sorcerer", &place<PowerSorcerer>);
    agent("add_root_magician", &place<RootMagician>);
    agent("add_abs_magician", &place<AbsMagician>);
    agent("add_factorial_magician", &place<FactorialMagician>);
    agent("add_modulo_magician", &place<ModuloMagician>);
    agent("add_log_magician", &place<LogMagician>);
    agent("add_chronomancer", &place<Chronomancer>);
    environment.function("add_equals_gate", &place_equals_gate)
        .function("add_inequality_gate", &place_inequality_gate);
    describe_parameters("Environment", "add_equals_gate", "visual_id, target");
    describe_parameters("Environment", "add_inequality_gate", "visual_id, target, comparison_type");
    environment.function("add_agent", &place_agent);
    describe_parameters("Environment", "add_agent", "kind, id, target?, rule?");
}

}  // namespace qor::web
