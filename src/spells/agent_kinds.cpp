#include "spells/agent_kinds.h"

#include <iterator>
#include <typeinfo>
#include <utility>

#include "spells/arithmetic_magicians.h"

namespace qor {

namespace {

const AgentKindInfo kKinds[] = {
    {AgentKind::CHRONOMANCER, "chronomancer", "Chronomancer", 100, "add_chronomancer",
     "never acts, so its zone never resolves"},
    {AgentKind::ABS, "abs", "The Purifier", 90, "add_abs_magician",
     "turns every negative charge positive"},
    {AgentKind::LOG, "log", "The Architect", 90, "add_log_magician",
     "base-10 log of one charge, or the last charge's log to base the one before"},
    {AgentKind::FACTORIAL, "factorial", "The Replicator", 85, "add_factorial_magician",
     "factorial of the last charge"},
    {AgentKind::POWER, "power", "Power Sorcerer", 75, "add_power_sorcerer",
     "the second-to-last charge to the power of the last"},
    {AgentKind::ROOT, "root", "The Extractor", 75, "add_root_magician",
     "square root of one charge, or the last charge's root of index the one before"},
    {AgentKind::MULTIPLY, "multiply", "Multiply Magician", 50, "add_multiply_magician",
     "product of every charge"},
    {AgentKind::DIVIDE, "divide", "Divide Magician", 50, "add_divide_magician",
     "the first charge divided by the rest"},
    {AgentKind::MODULO, "modulo", "The Scavenger", 50, "add_modulo_magician",
     "the second-to-last charge modulo the last"},
    {AgentKind::PLUS, "plus", "Plus Magician", 10, "add_plus_magician", "sum of every charge"},
    {AgentKind::MINUS, "minus", "Minus Magician", 10, "add_minus_magician",
     "the first charge minus the rest"},
    {AgentKind::EQUALS_GATE, "equals_gate", "Equals Gate", 0, "add_equals_gate",
     "opens (and leaves) when the zone's total differs from its target by less than 0.000001"},
    {AgentKind::INEQUALITY_GATE, "inequality_gate", "The Judge", 0, "add_inequality_gate",
     "opens (and leaves) when the zone's total compares with its target as its rule says"},
};
static_assert(std::size(kKinds) == kAgentKindCount);

struct KnownType {
    const std::type_info& type;
    AgentKind kind;
};

const KnownType kKnownTypes[] = {
    {typeid(Chronomancer), AgentKind::CHRONOMANCER},
    {typeid(AbsMagician), AgentKind::ABS},
    {typeid(LogMagician), AgentKind::LOG},
    {typeid(FactorialMagician), AgentKind::FACTORIAL},
    {typeid(PowerSorcerer), AgentKind::POWER},
    {typeid(RootMagician), AgentKind::ROOT},
    {typeid(MultiplyMagician), AgentKind::MULTIPLY},
    {typeid(DivideMagician), AgentKind::DIVIDE},
    {typeid(ModuloMagician), AgentKind::MODULO},
    {typeid(PlusMagician), AgentKind::PLUS},
    {typeid(MinusMagician), AgentKind::MINUS},
    {typeid(EqualsGate), AgentKind::EQUALS_GATE},
    {typeid(InequalityGate), AgentKind::INEQUALITY_GATE},
};

}  // namespace

const AgentKindInfo* agent_kinds_begin() { return std::begin(kKinds); }
const AgentKindInfo* agent_kinds_end() { return std::end(kKinds); }

const AgentKindInfo& kind_info(AgentKind kind) {
    for (const AgentKindInfo& info : kKinds) {
        if (info.kind == kind) return info;
    }
    return kKinds[0];  // not reached: every enumerator is in the table
}

const AgentKindInfo* kind_by_key(std::string_view key) {
    for (const AgentKindInfo& info : kKinds) {
        if (key == info.key) return &info;
    }
    return nullptr;
}

std::optional<AgentKind> kind_of(const MagicianAgent& agent) {
    const std::type_info& type = typeid(agent);
    // The same type_info object nearly always: compared by address first,
    // since comparing type_infos may compare their names.
    for (const KnownType& known : kKnownTypes) {
        if (&known.type == &type) return known.kind;
    }
    for (const KnownType& known : kKnownTypes) {
        if (known.type == type) return known.kind;
    }
    return std::nullopt;
}

std::shared_ptr<MagicianAgent> make_agent(AgentKind kind, std::string visual_id, double target,
                                          InequalityGate::ComparisonType comparison) {
    switch (kind) {
        case AgentKind::CHRONOMANCER: return std::make_shared<Chronomancer>(std::move(visual_id));
        case AgentKind::ABS: return std::make_shared<AbsMagician>(std::move(visual_id));
        case AgentKind::LOG: return std::make_shared<LogMagician>(std::move(visual_id));
        case AgentKind::FACTORIAL: return std::make_shared<FactorialMagician>(std::move(visual_id));
        case AgentKind::POWER: return std::make_shared<PowerSorcerer>(std::move(visual_id));
        case AgentKind::ROOT: return std::make_shared<RootMagician>(std::move(visual_id));
        case AgentKind::MULTIPLY: return std::make_shared<MultiplyMagician>(std::move(visual_id));
        case AgentKind::DIVIDE: return std::make_shared<DivideMagician>(std::move(visual_id));
        case AgentKind::MODULO: return std::make_shared<ModuloMagician>(std::move(visual_id));
        case AgentKind::PLUS: return std::make_shared<PlusMagician>(std::move(visual_id));
        case AgentKind::MINUS: return std::make_shared<MinusMagician>(std::move(visual_id));
        case AgentKind::EQUALS_GATE: return std::make_shared<EqualsGate>(std::move(visual_id), target);
        case AgentKind::INEQUALITY_GATE:
            return std::make_shared<InequalityGate>(std::move(visual_id), target, comparison);
    }
    return nullptr;  // not reached: every enumerator is handled
}

}  // namespace qor
