// Each kind's decision: the reason, its figures and its words, one table per
// family of kinds. Every row also checks that the spell agrees: it takes
// effect exactly when the decision says the agent acts.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "sequencer/explanation.h"
#include "spells/agent_kinds.h"

namespace qor {
namespace {

using List = std::vector<Charge>;

constexpr ChargePolarity POS = ChargePolarity::POSITIVE;
constexpr ChargePolarity NEG = ChargePolarity::NEGATIVE;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

List charges(std::initializer_list<double> magnitudes, ChargePolarity last = POS) {
    List made;
    for (double magnitude : magnitudes) made.emplace_back(magnitude, POS, "c");
    if (!made.empty()) made.back().polarity = last;
    return made;
}

struct DecisionCase {
    AgentKind kind;
    List charges;
    SpellReason reason;
    std::string note;
    std::size_t position = 0;
    double value = 0.0;
    double bound = 0.0;
};

bool same_figure(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void expect_decision(const DecisionCase& c, std::shared_ptr<MagicianAgent> agent) {
    SCOPED_TRACE(std::string(kind_info(c.kind).key) + ": " + c.note);
    const SpellDecision decision = agent->decide(c.charges);
    EXPECT_STREQ(spell_reason_code(decision.reason), spell_reason_code(c.reason));
    EXPECT_EQ(spell_decision_note(decision), c.note);
    EXPECT_EQ(decision.charge_count, c.charges.size());
    if (c.reason != SpellReason::TOO_FEW_CHARGES && !decision.acts() && decision.rule == nullptr) {
        EXPECT_EQ(decision.position, c.position);
        EXPECT_TRUE(same_figure(decision.value, c.value));
        EXPECT_TRUE(same_figure(decision.bound, c.bound));
    }
    List spelled = c.charges;
    EXPECT_EQ(agent->CastSpell(spelled), decision.acts());
}

void run_table(const std::vector<DecisionCase>& table) {
    for (const DecisionCase& c : table) expect_decision(c, make_agent(c.kind, "a"));
}

TEST(SpellDecision, CountingKindsNeedTheirCharges) {
    run_table({
        {AgentKind::ABS, {}, SpellReason::TOO_FEW_CHARGES, "needs 1 charge, the zone has none"},
        {AgentKind::ABS, charges({1}, NEG), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::POWER, charges({2}), SpellReason::TOO_FEW_CHARGES, "needs 2 charges, the zone has 1"},
        {AgentKind::POWER, charges({2, 3}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::MULTIPLY, charges({2}), SpellReason::TOO_FEW_CHARGES, "needs 2 charges, the zone has 1"},
        {AgentKind::MULTIPLY, charges({0, 0, 0}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::PLUS, {}, SpellReason::TOO_FEW_CHARGES, "needs 2 charges, the zone has none"},
        {AgentKind::PLUS, charges({1, 2}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::MINUS, charges({7}), SpellReason::TOO_FEW_CHARGES, "needs 2 charges, the zone has 1"},
        {AgentKind::MINUS, charges({7, 1}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::CHRONOMANCER, charges({1, 2}), SpellReason::NEVER_ACTS, "a Chronomancer never acts"},
    });
}

TEST(SpellDecision, LogRootAndFactorialRefuseWhatHasNoValue) {
    run_table({
        {AgentKind::LOG, {}, SpellReason::TOO_FEW_CHARGES, "needs 1 charge, the zone has none"},
        {AgentKind::LOG, charges({100}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::LOG, charges({0}), SpellReason::LOG_ARGUMENT,
         "the argument 0.0 has no logarithm: it is not above 0", 0, 0.0},
        {AgentKind::LOG, charges({2, -8}), SpellReason::LOG_ARGUMENT,
         "the argument -8.0 has no logarithm: it is not above 0", 1, -8.0},
        {AgentKind::LOG, charges({1, 8}), SpellReason::LOG_BASE,
         "the base 1.0 is no logarithm base: it must be above 0 and not 1", 0, 1.0},
        {AgentKind::LOG, charges({5, -0.5, 8}), SpellReason::LOG_BASE,
         "the base -0.5 is no logarithm base: it must be above 0 and not 1", 1, -0.5},
        {AgentKind::LOG, charges({kNaN}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::FACTORIAL, charges({3}, NEG), SpellReason::NEGATIVE_CHARGE,
         "the last charge (3.0) is negative", 0, 3.0},
        {AgentKind::FACTORIAL, charges({-3}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::ROOT, {}, SpellReason::TOO_FEW_CHARGES, "needs 1 charge, the zone has none"},
        {AgentKind::ROOT, charges({9}, NEG), SpellReason::NEGATIVE_CHARGE,
         "the last charge (9.0) is negative", 0, 9.0},
        {AgentKind::ROOT, charges({2, -9}), SpellReason::NEGATIVE_RADICAND,
         "the radicand -9.0 is negative under the even index 2.0", 1, -9.0, 2.0},
        {AgentKind::ROOT, charges({4.5, -16}), SpellReason::NEGATIVE_RADICAND,
         "the radicand -16.0 is negative under the even index 4.5", 1, -16.0, 4.5},
        {AgentKind::ROOT, charges({kNaN, -1}), SpellReason::NEGATIVE_RADICAND,
         "the radicand -1.0 is negative under the even index NaN", 1, -1.0, kNaN},
        {AgentKind::ROOT, charges({3, -8}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::ROOT, charges({2, 9}, NEG), SpellReason::ACTS, "its spell takes effect"},
    });
}

TEST(SpellDecision, DividersRefuseADivisorNearZero) {
    run_table({
        {AgentKind::DIVIDE, charges({8}), SpellReason::TOO_FEW_CHARGES, "needs 2 charges, the zone has 1"},
        {AgentKind::DIVIDE, charges({8, 2, 1e-10, 0}), SpellReason::DIVISOR_NEAR_ZERO,
         "the divisor 1e-10 (charge 3) is within 1e-9 of zero", 2, 1e-10},
        {AgentKind::DIVIDE, charges({0, 2e-9}), SpellReason::ACTS, "its spell takes effect"},
        {AgentKind::MODULO, charges({8}), SpellReason::TOO_FEW_CHARGES, "needs 2 charges, the zone has 1"},
        {AgentKind::MODULO, charges({0, 8, -0.0}), SpellReason::DIVISOR_NEAR_ZERO,
         "the divisor -0.0 (charge 3) is within 1e-9 of zero", 2, -0.0},
        {AgentKind::MODULO, charges({0, 8}), SpellReason::ACTS, "its spell takes effect"},
    });
}

struct GateCase {
    std::function<std::shared_ptr<MagicianAgent>()> gate;
    List charges;
    SpellReason reason;
    std::string note;
    const char* rule;
    double total;
};

TEST(SpellDecision, GatesGiveTheirTotalTargetAndRule) {
    using Comparison = InequalityGate::ComparisonType;
    const auto equals = [] { return make_agent(AgentKind::EQUALS_GATE, "g", 20.0); };
    const auto above = [] { return make_agent(AgentKind::INEQUALITY_GATE, "g", 20.0, Comparison::GREATER_THAN); };
    const auto at_most = [] { return make_agent(AgentKind::INEQUALITY_GATE, "g", 20.0, Comparison::LESS_EQUAL); };
    const GateCase table[] = {
        {equals, charges({18}), SpellReason::GATE_SHUT, "total 18.0, opens at 20.0", "==", 18.0},
        {equals, charges({22, 2}, NEG), SpellReason::ACTS, "total 20.0, opens at 20.0", "==", 20.0},
        {equals, {}, SpellReason::TOO_FEW_CHARGES, "needs 1 charge, the zone has none", "==", 0.0},
        {above, charges({18}), SpellReason::GATE_SHUT, "total 18.0 is not > 20.0", ">", 18.0},
        {above, charges({20.5}), SpellReason::ACTS, "total 20.5 > 20.0", ">", 20.5},
        {at_most, charges({kNaN}), SpellReason::GATE_SHUT, "total NaN is not <= 20.0", "<=", kNaN},
    };
    for (const GateCase& c : table) {
        SCOPED_TRACE(c.note);
        std::shared_ptr<MagicianAgent> gate = c.gate();
        const SpellDecision decision = gate->decide(c.charges);
        EXPECT_STREQ(spell_reason_code(decision.reason), spell_reason_code(c.reason));
        EXPECT_EQ(spell_decision_note(decision), c.note);
        EXPECT_STREQ(decision.rule, c.rule);
        EXPECT_EQ(decision.bound, 20.0);
        EXPECT_TRUE(same_figure(decision.value, c.total));
        List spelled = c.charges;
        EXPECT_EQ(gate->CastSpell(spelled), decision.acts());
    }
}

// A host's kind the engine does not know: its decision asks its spell.
class EvenCounter : public MagicianAgent {
public:
    EvenCounter() : MagicianAgent("Even Counter", 5, "e") {}
    bool CastSpell(std::vector<Charge>& charges) override { return charges.size() % 2 == 0; }
};

TEST(SpellDecision, AHostsKindActsOrDeclinesAsItsSpellDoes) {
    EvenCounter agent;
    EXPECT_TRUE(agent.decide(charges({1, 2})).acts());
    const SpellDecision declined = agent.decide(charges({1}));
    EXPECT_STREQ(spell_reason_code(declined.reason), "declines");
    EXPECT_EQ(spell_decision_note(declined), "its spell does not take effect");
}

}  // namespace
}  // namespace qor
