#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "spells/gates.h"

namespace qor {
namespace {

using List = std::vector<Charge>;
using Comparison = InequalityGate::ComparisonType;

constexpr ChargePolarity POS = ChargePolarity::POSITIVE;
constexpr ChargePolarity NEU = ChargePolarity::NEUTRAL;
constexpr ChargePolarity TAG7 = static_cast<ChargePolarity>(7);
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Comparison kUnnamed = static_cast<Comparison>(9);

struct GateCase {
    std::string label;
    List charges;
    bool opens;
};

template <class Gate>
void expect_gate(Gate& gate, const GateCase& c) {
    SCOPED_TRACE(c.label);
    List charges = c.charges;
    EXPECT_EQ(gate.CastSpell(charges), c.opens);
    EXPECT_EQ(gate.is_open, c.opens);
}

TEST(EqualsGate, OpensWithinOneMillionth) {
    const GateCase cases[] = {
        {"0.1 + 0.2", {{0.1, POS, "a"}, {0.2, POS, "b"}}, true},
        {"neutral and tag 7 subtract", {{0.5, POS, "a"}, {0.1, NEU, "b"}, {0.1, TAG7, "c"}}, true},
        {"0.9e-6 off", {{0.3 + 0.9e-6, POS, "a"}}, true},
        {"2e-6 off", {{0.3 + 2e-6, POS, "a"}}, false},
        {"NaN total", {{kNaN, POS, "a"}}, false},
    };
    for (const GateCase& c : cases) {
        EqualsGate gate("g", 0.3);
        expect_gate(gate, c);
    }
}

TEST(EqualsGate, StaysOpenAfterAMiss) {
    EqualsGate gate("g", 5.0);
    List five{{5, POS, "a"}};
    List four{{4, POS, "a"}};
    ASSERT_TRUE(gate.CastSpell(five));
    EXPECT_FALSE(gate.CastSpell(four));
    EXPECT_TRUE(gate.is_open);
}

TEST(EqualsGate, Json) {
    EqualsGate gate("g", 5);
    EXPECT_EQ(gate.to_json().dump(),
              R"({"is_open":false,"name":"Equals Gate","priority":0,"state":"dormant",)"
              R"("target_value":5.0,"visual_id":"g"})");
    gate.is_open = true;
    EXPECT_EQ(gate.to_json()["is_open"], true);
}

struct BoundaryCase {
    Comparison comparison;
    double total;
    bool opens;
};

TEST(InequalityGate, ComparesExactlyWithTheTarget) {
    const BoundaryCase cases[] = {
        {Comparison::LESS_THAN, 5.0, false},       {Comparison::LESS_THAN, 4.9999999, true},
        {Comparison::LESS_EQUAL, 5.0, true},       {Comparison::LESS_EQUAL, 5.0000001, false},
        {Comparison::GREATER_THAN, 5.0, false},    {Comparison::GREATER_THAN, 5.0000001, true},
        {Comparison::GREATER_EQUAL, 5.0, true},    {Comparison::GREATER_EQUAL, 4.9999999, false},
        {kUnnamed, 4.9999999, true},               {kUnnamed, 5.0, false},
        {Comparison::LESS_THAN, kNaN, false},      {Comparison::LESS_EQUAL, kNaN, false},
        {Comparison::GREATER_THAN, kNaN, false},   {Comparison::GREATER_EQUAL, kNaN, false},
    };
    for (const BoundaryCase& c : cases) {
        InequalityGate gate("j", 5.0, c.comparison);
        const std::string label = std::string(InequalityGate::rule_text(c.comparison)) + " " +
                                  std::to_string(static_cast<int>(c.comparison)) + " total " +
                                  std::to_string(c.total);
        // The total is a sum: a NEUTRAL charge counts against it.
        expect_gate(gate, {label, {{c.total + 1, POS, "a"}, {1, NEU, "b"}}, c.opens});
    }
}

TEST(InequalityGate, RuleTexts) {
    const std::pair<std::string, Comparison> readings[] = {
        {">", Comparison::GREATER_THAN}, {"<=", Comparison::LESS_EQUAL},
        {">=", Comparison::GREATER_EQUAL}, {"<", Comparison::LESS_THAN},
        {"", Comparison::LESS_THAN},      {" >", Comparison::LESS_THAN},
        {"=<", Comparison::LESS_THAN},    {"less", Comparison::LESS_THAN},
        {std::string(">=\0", 3), Comparison::LESS_THAN},
    };
    for (const auto& [text, comparison] : readings) {
        SCOPED_TRACE("'" + text + "'");
        EXPECT_EQ(InequalityGate::comparison_from_rule(text), comparison);
    }
    EXPECT_STREQ(InequalityGate::rule_text(Comparison::LESS_THAN), "<");
    EXPECT_STREQ(InequalityGate::rule_text(Comparison::GREATER_THAN), ">");
    EXPECT_STREQ(InequalityGate::rule_text(Comparison::LESS_EQUAL), "<=");
    EXPECT_STREQ(InequalityGate::rule_text(Comparison::GREATER_EQUAL), ">=");
    EXPECT_STREQ(InequalityGate::rule_text(kUnnamed), "<");
}

TEST(InequalityGate, Json) {
    InequalityGate gate("j", 5, Comparison::GREATER_EQUAL);
    EXPECT_EQ(gate.to_json().dump(),
              R"({"is_open":false,"name":"The Judge","priority":0,"rule":">=","state":"dormant",)"
              R"("target_value":5.0,"visual_id":"j"})");
    gate.comparison_type = kUnnamed;
    EXPECT_EQ(gate.to_json()["rule"], "<");
}

TEST(Chronomancer, Json) {
    EXPECT_EQ(Chronomancer("t").to_json().dump(),
              R"({"name":"Chronomancer","priority":100,"state":"dormant","visual_id":"t"})");
}

}  // namespace
}  // namespace qor
