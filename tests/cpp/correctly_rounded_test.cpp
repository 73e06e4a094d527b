#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "math_oracle.h"

// The engine's log, log10 and pow against MPFR: ten million arguments each
// over the whole range, the exact cases of pow all checked exactly, and
// arguments whose results lie extremely close to a rounding boundary.

namespace qor {
namespace {

using math_oracle::Function;
using math_oracle::identical;

#ifndef QOR_MATH_SAMPLE_DIVISOR
#define QOR_MATH_SAMPLE_DIVISOR 1
#endif

// Fewer arguments under the sanitizers, or when QOR_MATH_SAMPLE_DIVISOR says.
std::int64_t sample_divisor() {
    std::int64_t divisor = QOR_MATH_SAMPLE_DIVISOR;
    if (const char* text = std::getenv("QOR_MATH_SAMPLE_DIVISOR")) divisor = std::atoll(text);
    return divisor > 0 ? divisor : 1;
}

std::int64_t scaled(std::int64_t count) { return count / sample_divisor(); }

// The step between odd numbers in the enumerations: 2, or wider when fewer.
std::uint64_t odd_step() { return 2 * static_cast<std::uint64_t>(sample_divisor()); }

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------- random

struct Sample {
    const char* family;
    std::int64_t count;
};

class AgainstMpfr : public ::testing::TestWithParam<Sample> {};

TEST_P(AgainstMpfr, EveryResultIsTheNearestDouble) {
    const Sample sample = GetParam();
    math_oracle::Family family{};
    for (const auto& candidate : math_oracle::families()) {
        if (candidate.name == sample.family) family = candidate;
    }
    ASSERT_NE(family.draw, nullptr) << sample.family;
    std::mt19937_64 random(std::hash<std::string>{}(family.name));
    math_oracle::Oracle oracle;
    std::int64_t misrounded = 0;
    const std::int64_t count = scaled(sample.count);
    for (std::int64_t i = 0; i < count; ++i) {
        const math_oracle::Arguments a = family.draw(random);
        const double got = math_oracle::engine(family.function, a.x, a.y);
        const double expected = oracle.nearest(family.function, a.x, a.y);
        if (!identical(got, expected) && ++misrounded <= 10) {
            ADD_FAILURE() << function_name(family.function) << "(" << std::hexfloat << a.x << ", " << a.y
                          << ") = " << got << ", nearest is " << expected;
        }
    }
    EXPECT_EQ(misrounded, 0) << "of " << count;
}

// Ten million arguments for each function.
INSTANTIATE_TEST_SUITE_P(
    Families, AgainstMpfr,
    ::testing::Values(Sample{"log_any_positive", 4'000'000}, Sample{"log_near_one", 2'000'000},
                      Sample{"log_subnormal", 1'000'000}, Sample{"log_moderate", 3'000'000},
                      Sample{"log10_any_positive", 4'000'000}, Sample{"log10_near_one", 2'000'000},
                      Sample{"log10_near_powers_of_ten", 1'000'000}, Sample{"log10_moderate", 3'000'000},
                      Sample{"pow_integer_exponents", 2'000'000}, Sample{"pow_root_exponents", 2'000'000},
                      Sample{"pow_bases_near_one", 2'000'000}, Sample{"pow_whole_range", 3'000'000},
                      Sample{"pow_negative_bases", 1'000'000}),
    [](const ::testing::TestParamInfo<Sample>& info) { return std::string(info.param.family); });

// ---------------------------------------------------------------- exact

std::uint64_t integer_power(std::uint64_t base, int exponent) {
    std::uint64_t power = 1;
    for (int i = 0; i < exponent; ++i) power *= base;
    return power;
}

// Whether base^exponent < 2^54, without overflow.
bool below_2_to_54(std::uint64_t base, int exponent) {
    std::uint64_t power = 1;
    for (int i = 0; i < exponent; ++i) {
        if (power > ((std::uint64_t{1} << 54) - 1) / base) return false;
        power *= base;
    }
    return true;
}

// Every odd m >= 3 and integer n >= 2 with m^n below 2^54: m^n is exact or
// (with 54 bits) halfway between two doubles, and rounds to even. The same
// at a random binary scale, and with the sign of an odd power.
TEST(PowExact, IntegerPowersOfOddIntegers) {
    std::mt19937_64 random(54);
    std::int64_t wrong = 0;
    for (int n = 2; n <= 34; ++n) {
        for (std::uint64_t m = 3; below_2_to_54(m, n); m += odd_step()) {
            const std::uint64_t power = integer_power(m, n);
            const double expected = static_cast<double>(power);  // rounds to nearest, ties to even
            const int scale = static_cast<int>(random() % 41) - 20;
            bool right = identical(math::pow(static_cast<double>(m), n), expected);
            if (m % 97 == 3) {
                right = right && identical(math::pow(std::ldexp(static_cast<double>(m), scale), n),
                                           std::ldexp(expected, scale * n)) &&
                        identical(math::pow(-static_cast<double>(m), n), n % 2 ? -expected : expected);
            }
            if (!right && ++wrong <= 10) ADD_FAILURE() << "pow(" << m << ", " << n << ")";
        }
    }
    EXPECT_EQ(wrong, 0);
}

// m = t^(2^f), y = p / 2^f: pow gives t^p exactly (or its rounding).
TEST(PowExact, RootsOfPerfectPowers) {
    std::int64_t checked = 0;
    for (int f = 1; f <= 5; ++f) {
        const int degree = 1 << f;
        for (std::uint64_t t = 3; below_2_to_54(t, degree) && integer_power(t, degree) >> 53 == 0; t += odd_step()) {
            const double m = static_cast<double>(integer_power(t, degree));
            for (int p = 1; below_2_to_54(t, p); p += 2) {
                const double y = std::ldexp(static_cast<double>(p), -f);
                const double expected = static_cast<double>(integer_power(t, p));
                ASSERT_TRUE(identical(math::pow(m, y), expected)) << t << "^" << degree << " to " << y;
                if (t % 89 == 3) {
                    ASSERT_TRUE(identical(math::pow(std::ldexp(m, 2 * degree), y), std::ldexp(expected, 2 * p)));
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 1000);
}

// x = 2^e and e*y an integer k: 2^k, which overflows, underflows to zero
// (2^-1075 is halfway and rounds to even, zero) or is exact.
TEST(PowExact, PowersOfTwo) {
    for (int e = -1074; e <= 1023; ++e) {
        if (e == 0) continue;
        const double x = std::ldexp(1.0, e);
        for (int k = -1100; k <= 1050; ++k) {
            const double y = static_cast<double>(k) / e;
            if (y * e != k || std::fma(y, e, -k) != 0.0) continue;  // y not exactly k/e
            const double expected = k > 1023 ? kInf : k < -1074 ? 0.0 : std::ldexp(1.0, k);
            ASSERT_TRUE(identical(math::pow(x, y), expected)) << "2^" << e << " to " << y;
        }
    }
}

TEST(LogExact, PowersOfTenAndOne) {
    double power = 1.0;
    for (int n = 0; n <= 22; ++n, power *= 10.0) {
        EXPECT_TRUE(identical(math::log10(power), n)) << n;
    }
    EXPECT_TRUE(identical(math::log(1.0), 0.0));
}

// ---------------------------------------------------------------- specials

struct Special {
    double x, y, expected;
};

TEST(PowSpecial, AnnexFCases) {
    const std::vector<Special> cases = {
        {0.0, -3.0, kInf},     {-0.0, -3.0, -kInf},  {0.0, -2.0, kInf},     {-0.0, -0.5, kInf},
        {-0.0, -kInf, kInf},   {0.0, 3.0, 0.0},      {-0.0, 3.0, -0.0},     {-0.0, 2.0, 0.0},
        {-0.0, 0.5, 0.0},      {-0.0, kInf, 0.0},    {-1.0, kInf, 1.0},     {-1.0, -kInf, 1.0},
        {1.0, kNaN, 1.0},      {1.0, -kInf, 1.0},    {kNaN, 0.0, 1.0},      {kNaN, -0.0, 1.0},
        {-2.0, 0.5, kNaN},     {-2.0, -1.5, kNaN},   {0.5, -kInf, kInf},    {2.0, -kInf, 0.0},
        {-0.5, kInf, 0.0},     {-2.0, kInf, kInf},   {-kInf, -3.0, -0.0},   {-kInf, -2.0, 0.0},
        {-kInf, -0.5, 0.0},    {-kInf, 3.0, -kInf},  {-kInf, 2.0, kInf},    {-kInf, 0.5, kInf},
        {kInf, -1.0, 0.0},     {kInf, 0.5, kInf},    {kNaN, 1.0, kNaN},     {2.0, kNaN, kNaN},
        {-8.0, 1.0 / 3, kNaN}, {-2.0, 3.0, -8.0},    {-2.0, -1.0, -0.5},    {2.0, 1e300, kInf},
        {0.5, 1e300, 0.0},     {2.0, -1e300, 0.0},   {-2.0, 1e300, kInf},   {0x1p-1074, 0.5, 0x1p-537},
        {0x1p-1074, 1.0, 0x1p-1074},                 {-1.0, 1e300, 1.0},    {-1.0, 3.0, -1.0},
    };
    for (const Special& c : cases) {
        EXPECT_TRUE(identical(math::pow(c.x, c.y), c.expected))
            << std::hexfloat << "pow(" << c.x << ", " << c.y << ") = " << math::pow(c.x, c.y);
    }
}

TEST(LogSpecial, ZerosInfinitiesNegativesAndNaN) {
    for (auto log : {&math::log, &math::log10}) {
        EXPECT_TRUE(identical(log(0.0), -kInf));
        EXPECT_TRUE(identical(log(-0.0), -kInf));
        EXPECT_TRUE(identical(log(kInf), kInf));
        EXPECT_TRUE(std::isnan(log(-kInf)));
        EXPECT_TRUE(std::isnan(log(-1.0)));
        EXPECT_TRUE(std::isnan(log(-0x1p-1074)));
        EXPECT_TRUE(std::isnan(log(kNaN)));
    }
}

// ---------------------------------------------------------------- hard cases

// A root of c modulo 2^bits, c = 1 mod 8 (lifted bit by bit).
std::uint64_t square_root_modulo_power_of_two(std::uint64_t c, int bits) {
    std::uint64_t root = 1;
    for (int i = 3; i < bits; ++i) {
        if (((root * root - c) >> i) & 1) root += std::uint64_t{1} << (i - 1);
    }
    return root & ((std::uint64_t{1} << bits) - 1);
}

// (root^2 + d) / 2^54 for root below 2^52, where 2^54 divides root^2 + d.
std::uint64_t square_plus_shifted(std::uint64_t root, std::int64_t d) {
    const std::uint64_t low = root & 0xffffffffu, high = root >> 32;
    const std::uint64_t cross = 2 * low * high;  // below 2^53
    std::uint64_t bottom = low * low;
    std::uint64_t top = high * high + (cross >> 32);
    const std::uint64_t cross_low = cross << 32;
    bottom += cross_low;
    if (bottom < cross_low) ++top;
    const std::uint64_t before = bottom;
    bottom += static_cast<std::uint64_t>(d);
    if (d >= 0 && bottom < before) ++top;
    if (d < 0 && bottom > before) --top;
    return (top << 10) | (bottom >> 54);
}

// Squares and square roots whose exact results lie within a few 2^-52 ulp
// of a midpoint: x = 1 + a 2^-52 with a^2 = 2^51 + d (mod 2^52) has x^2 at
// d 2^-52 ulp from one; x = 1 + c 2^-52 built from b^2 = -d (mod 2^54)
// has sqrt(x) near the midpoint 1 + b 2^-53.
std::vector<math_oracle::Arguments> constructed_hard_pow_cases() {
    std::vector<math_oracle::Arguments> cases;
    const std::uint64_t mask52 = (std::uint64_t{1} << 52) - 1;
    const std::uint64_t mask54 = (std::uint64_t{1} << 54) - 1;
    for (std::int64_t d = -199; d <= 201; d += 8) {
        const std::uint64_t square = ((std::uint64_t{1} << 51) + static_cast<std::uint64_t>(d)) & mask52;
        const std::uint64_t a = square_root_modulo_power_of_two(square, 52);
        for (std::uint64_t root : {a, (-a) & mask52, (a + (std::uint64_t{1} << 51)) & mask52,
                                   (-a + (std::uint64_t{1} << 51)) & mask52}) {
            cases.push_back({1.0 + std::ldexp(static_cast<double>(root), -52), 2.0});
            cases.push_back({-1.0 - std::ldexp(static_cast<double>(root), -52), 2.0});
        }
        const std::uint64_t negative = static_cast<std::uint64_t>(-d) & mask54;
        const std::uint64_t b = square_root_modulo_power_of_two(negative, 54);
        for (std::uint64_t root : {b, (-b) & mask54, (b + (std::uint64_t{1} << 53)) & mask54,
                                   (-b + (std::uint64_t{1} << 53)) & mask54}) {
            if (root >= (std::uint64_t{1} << 52)) continue;
            const std::uint64_t c = root + square_plus_shifted(root, d);
            if (c >= (std::uint64_t{1} << 52)) continue;
            const double x = 1.0 + std::ldexp(static_cast<double>(c), -52);
            cases.push_back({x, 0.5});
            cases.push_back({std::ldexp(x, 600), 0.5});
            cases.push_back({x, -0.5});
        }
    }
    return cases;
}

TEST(HardCases, ConstructedSquaresAndRootsRoundCorrectly) {
    math_oracle::Oracle oracle;
    const auto cases = constructed_hard_pow_cases();
    int hard = 0;
    for (const auto& a : cases) {
        if (math_oracle::distance_to_midpoint(Function::pow, a.x, a.y) < 0x1p-40) ++hard;
        EXPECT_TRUE(identical(math::pow(a.x, a.y), oracle.nearest(Function::pow, a.x, a.y)))
            << std::hexfloat << "pow(" << a.x << ", " << a.y << ")";
    }
    EXPECT_GT(hard, 100);  // the construction does give cases beyond the fast path's reach
}

// Among random arguments of each kind, the ones MPFR finds nearest to a
// midpoint; each also through the wide path alone.
class HardestOfSample : public ::testing::TestWithParam<const char*> {};

TEST_P(HardestOfSample, RoundCorrectlyOnBothPaths) {
    math_oracle::Family family{};
    for (const auto& candidate : math_oracle::families()) {
        if (candidate.name == GetParam()) family = candidate;
    }
    ASSERT_NE(family.draw, nullptr);
    std::mt19937_64 random(7);
    std::vector<std::pair<double, math_oracle::Arguments>> closest;
    for (std::int64_t i = 0; i < scaled(40'000); ++i) {
        const math_oracle::Arguments a = family.draw(random);
        closest.push_back({math_oracle::distance_to_midpoint(family.function, a.x, a.y), a});
    }
    std::sort(closest.begin(), closest.end(), [](const auto& l, const auto& r) { return l.first < r.first; });
    closest.resize(std::min<std::size_t>(closest.size(), 200));
    math_oracle::Oracle oracle;
    for (const auto& [distance, a] : closest) {
        const double expected = oracle.nearest(family.function, a.x, a.y);
        EXPECT_TRUE(identical(math_oracle::engine(family.function, a.x, a.y), expected))
            << std::hexfloat << a.x << " " << a.y << " at " << distance << " ulp from a midpoint";
        if (distance == 0.0 || !(a.x > 0.0) || std::isinf(a.x) || a.x == 1.0 || std::isinf(expected) || expected == 0.0) continue;
        const double wide = family.function == Function::log     ? math::detail::log_wide(a.x)
                            : family.function == Function::log10 ? math::detail::log10_wide(a.x)
                                                                 : math::detail::pow_wide(a.x, a.y);
        EXPECT_TRUE(identical(wide, expected)) << std::hexfloat << "wide path at " << a.x << " " << a.y;
    }
}

INSTANTIATE_TEST_SUITE_P(Families, HardestOfSample,
                         ::testing::Values("log_any_positive", "log_near_one", "log10_any_positive",
                                           "log10_near_powers_of_ten", "pow_integer_exponents",
                                           "pow_root_exponents", "pow_bases_near_one", "pow_whole_range"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace qor
