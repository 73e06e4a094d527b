#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/stl.h>

#include "bindings/bindings.h"
#include "level_file/level_file.h"
#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

namespace qor::bindings {

namespace {

// add_<kind>(visual_id): places a new agent of that kind at the end of the zone's agents.
template <typename Agent>
void add_placing_method(EnvironmentClass& environment, const char* method, const char* doc) {
    environment.def(
        method,
        [](Environment& zone, std::string visual_id) {
            zone.add_magician(std::make_shared<Agent>(std::move(visual_id)));
        },
        py::arg("visual_id"), doc);
}

}  // namespace

void bind_agent_placing(EnvironmentClass& environment) {
    add_placing_method<PlusMagician>(environment, "add_plus_magician",
                                     "Place a Plus Magician: sums every charge of the zone.");
    add_placing_method<MinusMagician>(environment, "add_minus_magician",
                                      "Place a Minus Magician: the first charge minus the rest.");
    add_placing_method<MultiplyMagician>(environment, "add_multiply_magician",
                                         "Place a Multiply Magician: the product of every charge.");
    add_placing_method<DivideMagician>(environment, "add_divide_magician",
                                       "Place a Divide Magician: the first charge divided by the rest.");
    add_placing_method<PowerSorcerer>(environment, "add_power_sorcerer",
                                      "Place a Power Sorcerer: the second-to-last charge to the power of the last.");
    add_placing_method<RootMagician>(environment, "add_root_magician",
                                     "Place The Extractor: a square root, or the last charge's root of index the second-to-last.");
    add_placing_method<AbsMagician>(environment, "add_abs_magician",
                                    "Place The Purifier: turns every negative charge positive.");
    add_placing_method<FactorialMagician>(environment, "add_factorial_magician",
                                          "Place The Replicator: the factorial of the last charge.");
    add_placing_method<ModuloMagician>(environment, "add_modulo_magician",
                                       "Place The Scavenger: the second-to-last charge modulo the last.");
    add_placing_method<LogMagician>(environment, "add_log_magician",
                                    "Place The Architect: a base-10 logarithm, or the last charge's logarithm to base the second-to-last.");
    add_placing_method<Chronomancer>(environment, "add_chronomancer",
                                     "Place a Chronomancer: never acts, so its zone never resolves.");
    environment.def(
        "add_equals_gate",
        [](Environment& zone, std::string visual_id, double target) {
            zone.add_magician(std::make_shared<EqualsGate>(std::move(visual_id), target));
        },
        py::arg("visual_id"), py::arg("target"),
        "Place an Equals Gate: opens when the zone's total is within 1e-6 of target.");
    environment.def(
        "add_inequality_gate",
        [](Environment& zone, std::string visual_id, double target, const std::string& comparison_type) {
            zone.add_magician(std::make_shared<InequalityGate>(
                std::move(visual_id), target, InequalityGate::comparison_from_rule(comparison_type)));
        },
        py::arg("visual_id"), py::arg("target"), py::arg("comparison_type"),
        "Place The Judge: opens when the zone's total compares with target as the rule "
        "'>', '<=' or '>=' says; any other text means '<'.");
    environment.def(
        "add_agent",
        [](Environment& zone, const std::string& kind, const std::string& id, std::optional<double> target,
           std::optional<std::string> rule) {
            zone.add_magician(make_agent(read_agent(kind, id, target, rule)));
        },
        py::arg("kind"), py::arg("id"), py::arg("target") = py::none(), py::arg("rule") = py::none(),
        "Place an agent of a level file's kind (a key of agent_kinds(), such as 'plus'), checked as "
        "a level file's agent is: target is for the two gates alone, rule ('<', '>', '<=' or '>=') "
        "for the inequality gate alone. Raises LevelError (a ValueError) listing every problem; "
        "nothing is placed then.");
}

}  // namespace qor::bindings
