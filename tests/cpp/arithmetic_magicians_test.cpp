#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "spells/arithmetic_magicians.h"
#include "spells/gates.h"

// Every spell is checked the same way: a list goes in, and either the agent
// declines and the list must come back bit for bit as it was, or the spell
// takes effect and the list must read exactly as expected. The gates and the
// chronomancer go through the same check at the end of this file.

namespace qor {
namespace {

using List = std::vector<Charge>;

constexpr ChargePolarity POS = ChargePolarity::POSITIVE;
constexpr ChargePolarity NEG = ChargePolarity::NEGATIVE;
constexpr ChargePolarity NEU = ChargePolarity::NEUTRAL;
constexpr ChargePolarity TAG7 = static_cast<ChargePolarity>(7);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A charge as raw bits, so that NaN equals itself and -0.0 differs from 0.0.
using ChargeBits = std::tuple<std::uint64_t, std::int32_t, std::string>;

std::vector<ChargeBits> snapshot(const List& charges) {
    std::vector<ChargeBits> bits;
    for (const Charge& charge : charges) {
        std::uint64_t magnitude_bits = 0;
        std::memcpy(&magnitude_bits, &charge.magnitude, sizeof magnitude_bits);
        bits.emplace_back(magnitude_bits, static_cast<std::int32_t>(charge.polarity),
                          charge.visual_id);
    }
    return bits;
}

bool same_number(double actual, double expected) {
    if (std::isnan(expected)) return std::isnan(actual);
    if (actual == expected) return true;
    return std::fabs(actual - expected) <= 1e-12 * std::fmax(1.0, std::fabs(expected));
}

void expect_list(const List& actual, const List& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE("charge " + std::to_string(i));
        EXPECT_PRED2(same_number, actual[i].magnitude, expected[i].magnitude);
        EXPECT_EQ(static_cast<int>(actual[i].polarity), static_cast<int>(expected[i].polarity));
        EXPECT_EQ(actual[i].visual_id, expected[i].visual_id);
    }
}

struct Case {
    std::string label;
    List before;
    std::optional<List> after;  // nothing: the agent declines
};
constexpr std::nullopt_t kDeclines = std::nullopt;

void expect_outcomes(MagicianAgent& agent, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        List charges = c.before;
        const bool took_effect = agent.CastSpell(charges);
        EXPECT_EQ(agent.state, AgentState::DORMANT);
        if (!c.after) {
            EXPECT_FALSE(took_effect);
            EXPECT_EQ(snapshot(charges), snapshot(c.before));
        } else {
            EXPECT_TRUE(took_effect);
            expect_list(charges, *c.after);
        }
    }
}

TEST(DivideMagician, Outcomes) {
    DivideMagician divide("m");
    expect_outcomes(divide, {
        {"divides left to right", {{100, POS, "a"}, {5, POS, "b"}, {2, POS, "c"}},
         List{{10, POS, "result_quotient_m"}}},
        {"two negatives", {{12, NEG, "a"}, {3, NEG, "b"}}, List{{4, POS, "result_quotient_m"}}},
        {"one negative", {{12, POS, "a"}, {3, NEG, "b"}}, List{{4, NEG, "result_quotient_m"}}},
        {"neutral and tag 7 never count", {{12, NEU, "a"}, {3, NEG, "b"}, {1, TAG7, "c"}},
         List{{4, NEG, "result_quotient_m"}}},
        {"magnitude keeps its sign", {{10, POS, "a"}, {-4, POS, "b"}},
         List{{-2.5, POS, "result_quotient_m"}}},
        {"near-zero quotient is neutral", {{1e-10, NEG, "a"}, {1, POS, "b"}},
         List{{1e-10, NEU, "result_quotient_m"}}},
        {"1e-9 is a divisor", {{1, POS, "a"}, {1e-9, POS, "b"}}, List{{1e9, POS, "result_quotient_m"}}},
        {"one charge", {{10, POS, "a"}}, kDeclines},
        {"zero in the middle", {{10, POS, "a"}, {0, POS, "b"}, {5, POS, "c"}}, kDeclines},
        {"zero at the end", {{kNaN, TAG7, "a"}, {5, NEG, "b"}, {-0.0, NEU, "c"}}, kDeclines},
        {"1e-10", {{1, POS, "a"}, {1e-10, POS, "b"}}, kDeclines},
        {"-1e-10", {{1, POS, "a"}, {-1e-10, NEG, "b"}}, kDeclines},
    });
}

TEST(MultiplyMagician, Outcomes) {
    MultiplyMagician multiply("m");
    expect_outcomes(multiply, {
        {"two negatives", {{2, NEG, "a"}, {3, NEG, "b"}, {4, POS, "c"}},
         List{{24, POS, "result_product_m"}}},
        {"one negative", {{2, NEG, "a"}, {3, POS, "b"}}, List{{6, NEG, "result_product_m"}}},
        {"neutral and tag 7 never flip", {{2, NEU, "a"}, {3, NEG, "b"}, {1, TAG7, "c"}},
         List{{6, NEG, "result_product_m"}}},
        {"zero product is neutral", {{0, NEG, "a"}, {5, POS, "b"}}, List{{0, NEU, "result_product_m"}}},
        {"magnitude keeps its sign", {{-2, POS, "a"}, {3, POS, "b"}},
         List{{-6, POS, "result_product_m"}}},
        {"one charge", {{2, NEG, "a"}}, kDeclines},
    });
}

TEST(PlusMagician, Outcomes) {
    PlusMagician plus("m");
    expect_outcomes(plus, {
        {"neutral subtracts", {{2, POS, "a"}, {2, NEU, "b"}}, List{{0, POS, "result_m"}}},
        {"negative total", {{3, POS, "a"}, {5, NEG, "b"}}, List{{2, NEG, "result_m"}}},
        {"tag 7 subtracts", {{1, POS, "a"}, {1, TAG7, "b"}, {4, POS, "c"}}, List{{4, POS, "result_m"}}},
        {"NaN total", {{kNaN, POS, "a"}, {1, POS, "b"}}, List{{kNaN, NEG, "result_m"}}},
        {"one charge", {{2, POS, "a"}}, kDeclines},
    });
}

TEST(MinusMagician, Outcomes) {
    MinusMagician minus("m");
    expect_outcomes(minus, {
        {"subtracts every following", {{10, POS, "a"}, {3, POS, "b"}, {2, POS, "c"}},
         List{{5, POS, "result_m"}}},
        {"negative difference", {{3, POS, "a"}, {5, POS, "b"}}, List{{2, NEG, "result_m"}}},
        {"neutral is negative", {{5, NEG, "a"}, {2, NEU, "b"}}, List{{3, NEG, "result_m"}}},
        {"tag 7 is negative", {{1, TAG7, "a"}, {4, NEG, "b"}}, List{{3, POS, "result_m"}}},
        {"zero is positive", {{2, POS, "a"}, {2, POS, "b"}}, List{{0, POS, "result_m"}}},
        {"one charge", {{2, POS, "a"}}, kDeclines},
    });
}

TEST(PowerSorcerer, Outcomes) {
    PowerSorcerer power("m");
    expect_outcomes(power, {
        {"second-to-last to the last", {{9, NEG, "keep"}, {2, POS, "b"}, {3, POS, "e"}},
         List{{9, NEG, "keep"}, {8, POS, "result_power_m"}}},
        {"negative base", {{2, NEG, "b"}, {3, POS, "e"}}, List{{8, NEG, "result_power_m"}}},
        {"neutral counts positive", {{2, NEU, "b"}, {3, POS, "e"}}, List{{8, POS, "result_power_m"}}},
        {"negative exponent", {{2, TAG7, "b"}, {2, NEG, "e"}}, List{{0.25, POS, "result_power_m"}}},
        {"zero is neutral", {{0, POS, "b"}, {2, POS, "e"}}, List{{0, NEU, "result_power_m"}}},
        {"NaN is neutral", {{2, NEG, "b"}, {0.5, POS, "e"}}, List{{kNaN, NEU, "result_power_m"}}},
        {"one charge", {{2, POS, "b"}}, kDeclines},
    });
}

TEST(RootMagician, Outcomes) {
    RootMagician root("m");
    expect_outcomes(root, {
        {"square root of a lone charge", {{16, POS, "x"}}, List{{4, POS, "result_root_m"}}},
        {"lone neutral", {{16, NEU, "x"}}, List{{4, POS, "result_root_m"}}},
        {"index before radicand", {{5, NEG, "keep"}, {3, NEG, "n"}, {27, NEG, "x"}},
         List{{5, NEG, "keep"}, {3, POS, "result_root_m"}}},
        {"odd root of a negative", {{3, POS, "n"}, {-27, POS, "x"}}, List{{-3, POS, "result_root_m"}}},
        {"index -1", {{-1, POS, "n"}, {-4, POS, "x"}}, List{{-0.25, POS, "result_root_m"}}},
        {"odd but fractional index", {{3.5, POS, "n"}, {-8, POS, "x"}},
         List{{kNaN, POS, "result_root_m"}}},
        {"index 0", {{0, POS, "n"}, {4, POS, "x"}}, List{{kInf, POS, "result_root_m"}}},
        {"NaN radicand", {{2, POS, "n"}, {kNaN, POS, "x"}}, List{{kNaN, POS, "result_root_m"}}},
        {"empty", {}, kDeclines},
        {"lone negative", {{16, NEG, "x"}}, kDeclines},
        {"even index, negative radicand", {{2, POS, "n"}, {-4, POS, "x"}}, kDeclines},
        {"index truncating to even", {{-2.5, POS, "n"}, {-4, POS, "x"}}, kDeclines},
        {"NaN index", {{kNaN, POS, "n"}, {-8, POS, "x"}}, kDeclines},
        {"huge index", {{1e12 + 1, POS, "n"}, {-8, POS, "x"}}, kDeclines},
    });
}

TEST(AbsMagician, Outcomes) {
    AbsMagician abs("m");
    expect_outcomes(abs, {
        {"nothing negative", {{3, POS, "a"}, {2, NEU, "b"}, {-1, TAG7, "c"}},
         List{{3, POS, "a"}, {2, NEU, "b"}, {-1, TAG7, "c"}}},
        {"negatives purified in place", {{5, NEG, "c1"}, {2, POS, "c2"}, {-7, NEG, "c3"}},
         List{{5, POS, "purified_c1"}, {2, POS, "c2"}, {-7, POS, "purified_c3"}}},
        {"empty", {}, kDeclines},
    });
}

TEST(FactorialMagician, Outcomes) {
    FactorialMagician factorial("m");
    const std::string id = "result_factorial_m";
    expect_outcomes(factorial, {
        {"whole part of the last", {{9, NEG, "keep"}, {5.7, POS, "n"}},
         List{{9, NEG, "keep"}, {120, POS, id}}},
        {"neutral accepted", {{5, NEU, "n"}}, List{{120, POS, id}}},
        {"zero", {{0, POS, "n"}}, List{{1, POS, id}}},
        {"one half", {{0.5, POS, "n"}}, List{{1, POS, id}}},
        {"below zero", {{-3.5, TAG7, "n"}}, List{{1, POS, id}}},
        {"170 is finite", {{170, POS, "n"}}, List{{7.257415615307994e306, POS, id}}},
        {"171 overflows", {{171, POS, "n"}}, List{{kInf, POS, id}}},
        {"NaN", {{kNaN, POS, "n"}}, List{{1, POS, id}}},
        {"beyond int32", {{1e12, POS, "n"}}, List{{1, POS, id}}},
        {"empty", {}, kDeclines},
        {"negative", {{5, NEG, "n"}}, kDeclines},
        {"only the last counts", {{3, POS, "a"}, {5, NEG, "n"}}, kDeclines},
    });
}

TEST(FactorialMagician, LargestWholePartStopsAtInfinity) {
    FactorialMagician factorial("m");
    // Multiplying on to n = 2^31 - 1 would take seconds; the product is
    // infinite from 171 on.
    expect_outcomes(factorial, {{"int32 max", {{2147483647.5, POS, "n"}},
                                 List{{kInf, POS, "result_factorial_m"}}}});
}

TEST(ModuloMagician, Outcomes) {
    ModuloMagician modulo("m");
    expect_outcomes(modulo, {
        {"second-to-last mod last", {{9, NEG, "keep"}, {7, POS, "a"}, {3, NEG, "b"}},
         List{{9, NEG, "keep"}, {1, POS, "result_remainder_m"}}},
        {"sign of the dividend", {{-7, POS, "a"}, {3, POS, "b"}}, List{{-1, POS, "result_remainder_m"}}},
        {"fractional", {{7.5, NEG, "a"}, {2, TAG7, "b"}}, List{{1.5, POS, "result_remainder_m"}}},
        {"one charge", {{7, POS, "a"}}, kDeclines},
        {"by zero", {{7, POS, "a"}, {0, POS, "b"}}, kDeclines},
        {"by 1e-10", {{7, POS, "a"}, {1e-10, POS, "b"}}, kDeclines},
        {"by -1e-10", {{7, POS, "a"}, {-1e-10, NEG, "b"}}, kDeclines},
    });
}

TEST(LogMagician, Outcomes) {
    LogMagician log("m");
    expect_outcomes(log, {
        {"lone charge, base 10", {{1000, POS, "x"}}, List{{3, POS, "result_log_m"}}},
        {"negative logarithm", {{0.01, POS, "x"}}, List{{2, NEG, "result_log_m"}}},
        {"base before argument", {{9, NEG, "keep"}, {2, NEG, "b"}, {8, POS, "x"}},
         List{{9, NEG, "keep"}, {3, POS, "result_log_m"}}},
        {"argument below one", {{2, POS, "b"}, {0.125, POS, "x"}}, List{{3, NEG, "result_log_m"}}},
        {"NaN passes the test", {{kNaN, POS, "x"}}, List{{kNaN, NEG, "result_log_m"}}},
        {"empty", {}, kDeclines},
        {"lone zero", {{0, POS, "x"}}, kDeclines},
        {"lone negative", {{-5, POS, "x"}}, kDeclines},
        {"base one", {{1, POS, "b"}, {8, POS, "x"}}, kDeclines},
        {"base zero", {{0, POS, "b"}, {8, POS, "x"}}, kDeclines},
        {"negative base", {{-2, POS, "b"}, {8, POS, "x"}}, kDeclines},
        {"zero argument", {{2, POS, "b"}, {0, POS, "x"}}, kDeclines},
    });
}

struct Kind {
    std::shared_ptr<MagicianAgent> agent;
    std::string name;
    std::int32_t priority;
};

TEST(MagicianKinds, NamesAndPriorities) {
    const Kind kinds[] = {
        {std::make_shared<Chronomancer>("t"), "Chronomancer", 100},
        {std::make_shared<AbsMagician>("t"), "The Purifier", 90},
        {std::make_shared<LogMagician>("t"), "The Architect", 90},
        {std::make_shared<FactorialMagician>("t"), "The Replicator", 85},
        {std::make_shared<PowerSorcerer>("t"), "Power Sorcerer", 75},
        {std::make_shared<RootMagician>("t"), "The Extractor", 75},
        {std::make_shared<MultiplyMagician>("t"), "Multiply Magician", 50},
        {std::make_shared<DivideMagician>("t"), "Divide Magician", 50},
        {std::make_shared<ModuloMagician>("t"), "The Scavenger", 50},
        {std::make_shared<PlusMagician>("t"), "Plus Magician", 10},
        {std::make_shared<MinusMagician>("t"), "Minus Magician", 10},
        {std::make_shared<EqualsGate>("t", 5.0), "Equals Gate", 0},
        {std::make_shared<InequalityGate>("t", 5.0, InequalityGate::ComparisonType::LESS_THAN),
         "The Judge", 0},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        EXPECT_EQ(kind.agent->name, kind.name);
        EXPECT_EQ(kind.agent->priority, kind.priority);
        EXPECT_EQ(kind.agent->visual_id, "t");
        EXPECT_EQ(kind.agent->state, AgentState::DORMANT);
    }
    EXPECT_EQ(ModuloMagician("t").to_json().dump(),
              R"({"name":"The Scavenger","priority":50,"state":"dormant","visual_id":"t"})");
}

TEST(MagicianKinds, GatesAndChronomancerLeaveTheListAsItWas) {
    const List odd_list{{kNaN, TAG7, "a"}, {-0.0, NEG, "b"}, {3, NEU, "c"}};
    const List totals_five{{8, POS, "a"}, {3, NEU, "b"}};
    EqualsGate equals("g", 5.0);
    expect_outcomes(equals, {
        {"opens", totals_five, totals_five},
        {"empty", {}, kDeclines},
        {"stays shut", odd_list, kDeclines},
    });
    InequalityGate judge("j", 6.0, InequalityGate::ComparisonType::LESS_THAN);
    expect_outcomes(judge, {
        {"opens", totals_five, totals_five},
        {"empty", {}, kDeclines},
        {"stays shut", odd_list, kDeclines},
    });
    Chronomancer chronomancer("t");
    expect_outcomes(chronomancer, {
        {"empty", {}, kDeclines},
        {"any list", odd_list, kDeclines},
        {"plain list", totals_five, kDeclines},
    });
}

}  // namespace
}  // namespace qor
