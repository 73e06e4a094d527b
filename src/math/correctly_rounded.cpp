#include "math/correctly_rounded.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "math/big_float.h"
#include "math/double_double.h"
#include "math/float_bits.h"

// Each function first evaluates in double-double arithmetic with a known
// bound on its error (about 2^-88 relative, bounded by 2^-80 for log and
// log10 and 2^-75 for pow); when the rounding of every value within that
// bound is the same double, that is the answer. Otherwise, in about one call
// in 2^20 or fewer, the wide path evaluates with 256 bits, then 512, ...
// until the rounding is decided. It always is, since log of a double other
// than 1 is irrational and pow's results that are exact or halfway between
// two doubles are found beforehand and computed exactly.

namespace qor::math {
namespace detail {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr int table_size = 128;
constexpr int table_limbs = 8;
constexpr int first_fraction_bin_halved = 53;  // 1 + 53/128 is just below sqrt(2)
constexpr int log1p_terms = 14;                // log(1 + u) to u^14
constexpr int log1p_double_double_terms = 6;   // u .. u^6 in double-double
constexpr int second_table_half = 65;           // second log reduction: u rounded to j / 2^14, |j| <= 65
constexpr int second_table_size = 2 * second_table_half + 1;
constexpr int exp_fine_bits = 7;               // exp: z = (128 i + j) ln2 / 2^14 + r
constexpr int exp_steps = table_size << exp_fine_bits;
constexpr int wide_first_limbs = 8;
constexpr int wide_last_limbs = 128;

constexpr double log_error_bound = 0x1p-80;
constexpr double pow_error_bound = 0x1p-75;

struct Tables {
    // log: x = 2^e * m, m * reciprocal[i] = 1 + u with |u| < 2^-7
    double reciprocal[table_size];
    DoubleDouble minus_log_reciprocal[table_size];
    // log, second step: (1 + u) * second_reciprocal[j] = 1 + v with |v| < 2^-14.9
    double second_reciprocal[second_table_size];
    DoubleDouble minus_log_second_reciprocal[second_table_size];
    // exp: 2^(i/128) and 2^(j/2^14)
    DoubleDouble exp2_fraction[table_size];
    DoubleDouble exp2_fine_fraction[table_size];
    // ln 2 = high + middle + low; high has 28 significant bits, so that
    // high times any integer below 2^25 is exact.
    double ln2_high, ln2_middle, ln2_low;
    double inverse_ln2_times_steps;
    DoubleDouble inverse_ln10;
    DoubleDouble log1p_coefficient[log1p_terms + 1];  // (-1)^(k+1)/k
};

DoubleDouble to_double_double(const BigFloat& value) {
    const double high = value.nearest_double();
    const double low = (value - BigFloat::from_double(high, value.limbs())).nearest_double();
    return {high, low};
}

Tables build_tables() {
    Tables t{};
    const BigFloat one = BigFloat::from_integer(1, table_limbs);
    const BigFloat ln2 = big_ln2(table_limbs);
    t.ln2_high = double_from_bits(bits_of(ln2.nearest_double()) & ~((std::uint64_t{1} << 25) - 1));
    const BigFloat ln2_rest = ln2 - BigFloat::from_double(t.ln2_high, table_limbs);
    t.ln2_middle = ln2_rest.nearest_double();
    t.ln2_low = (ln2_rest - BigFloat::from_double(t.ln2_middle, table_limbs)).nearest_double();
    t.inverse_ln2_times_steps = big_reciprocal(ln2, table_limbs).times(exp_steps).nearest_double();
    t.inverse_ln10 = to_double_double(big_reciprocal(big_log(10.0, table_limbs), table_limbs));

    for (int i = 0; i < table_size; ++i) {
        // Near 1 (first and last bin) the reduction is skipped: u = m - 1 is
        // exact there and nothing cancels.
        const double center = 1.0 + (i + 0.5) / table_size;
        double reciprocal = i < first_fraction_bin_halved ? 1.0 / center : 2.0 / center;
        if (i == 0 || i == table_size - 1) reciprocal = 1.0;
        t.reciprocal[i] = reciprocal;
        t.minus_log_reciprocal[i] = to_double_double(big_log(reciprocal, table_limbs).negated());
        t.exp2_fraction[i] = to_double_double(big_exp(ln2.times(static_cast<std::uint32_t>(i)).divided_by(table_size),
                                                      table_limbs));
        t.exp2_fine_fraction[i] = to_double_double(
            big_exp(ln2.times(static_cast<std::uint32_t>(i)).divided_by(exp_steps), table_limbs));
    }
    for (int j = -second_table_half; j <= second_table_half; ++j) {
        const double reciprocal = 1.0 / (1.0 + j * 0x1p-14);
        t.second_reciprocal[j + second_table_half] = reciprocal;
        t.minus_log_second_reciprocal[j + second_table_half] =
            to_double_double(big_log(reciprocal, table_limbs).negated());
    }
    for (int k = 1; k <= log1p_terms; ++k) {
        const BigFloat coefficient = one.divided_by(static_cast<std::uint32_t>(k));
        t.log1p_coefficient[k] = to_double_double(k % 2 == 1 ? coefficient : coefficient.negated());
    }
    return t;
}

const Tables& tables() {
    static const Tables instance = build_tables();
    return instance;
}

// log(1 + u) for |u| < 2^-7, relative error below 2^-95: the small
// high-order terms in double, the rest in double-double.
DoubleDouble log1p_small(DoubleDouble u, const Tables& t) {
    double tail = t.log1p_coefficient[log1p_terms].hi;
    for (int k = log1p_terms - 1; k > log1p_double_double_terms; --k) {
        tail = t.log1p_coefficient[k].hi + u.hi * tail;
    }
    DoubleDouble sum{tail, 0.0};
    for (int k = log1p_double_double_terms; k >= 1; --k) {
        sum = dd_add(t.log1p_coefficient[k], dd_multiply(u, sum));
    }
    return dd_multiply(u, sum);
}

// e * ln 2 for |e| < 2^25.
DoubleDouble multiple_of_ln2(double e, const Tables& t) {
    const DoubleDouble middle = two_product(e, t.ln2_middle);
    const DoubleDouble sum = two_sum(e * t.ln2_high, middle.hi);
    return fast_two_sum(sum.hi, sum.lo + (middle.lo + e * t.ln2_low));
}

// log(1 + v) for |v| < 2^-14.9, absolute error below 2^-98: the terms
// from v^3 on in double.
DoubleDouble log1p_tiny(DoubleDouble v) {
    DoubleDouble square = two_product(v.hi, v.hi);
    square.lo += 2.0 * v.hi * v.lo;
    const double cube = square.hi * v.hi;
    const double tail = cube * (1.0 / 3 + v.hi * (-0.25 + v.hi * (0.2 + v.hi * (-1.0 / 6))));
    const DoubleDouble sum = dd_add(v, {-0.5 * square.hi, -0.5 * square.lo});
    return fast_two_sum(sum.hi, sum.lo + tail);
}

// log x for positive finite x, relative error below 2^-88. x = 2^e m, and
// m r1 r2 = 1 + v with both r from tables; log x = e ln 2 - log r1 - log r2
// + log(1 + v). Within 2^-7 of 1 the tables would cancel: there a longer
// series of m - 1 alone.
DoubleDouble log_double_double(double x, const Tables& t) {
    int exponent = 0;
    if (x < 2.2250738585072014e-308) {
        x *= 18446744073709551616.0;  // 2^64: subnormals become normal
        exponent = -64;
    }
    const std::uint64_t bits = bits_of(x);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    exponent += static_cast<int>(bits >> 52) - 1023;
    const int bin = static_cast<int>(fraction >> 45);
    double m = double_from_bits(fraction | (std::uint64_t{1023} << 52));
    if (bin >= first_fraction_bin_halved) {
        m *= 0.5;
        exponent += 1;
    }
    const double reciprocal = t.reciprocal[bin];
    DoubleDouble reduced;
    if (reciprocal == 1.0) {
        reduced = log1p_small({m - 1.0, 0.0}, t);  // m - 1 is exact
    } else {
        const DoubleDouble product = two_product(m, reciprocal);
        const DoubleDouble u = two_sum(product.hi - 1.0, product.lo);  // exact: product.hi is within 2^-7 of 1
        const int j = static_cast<int>(nearest_integer(u.hi * 0x1p14));
        const double second = t.second_reciprocal[j + second_table_half];
        // v = (1 + u) * second - 1 = (second - 1) + u.hi * second + u.lo * second
        const DoubleDouble scaled = two_product(u.hi, second);
        const DoubleDouble sum = two_sum(second - 1.0, scaled.hi);
        const DoubleDouble v = fast_two_sum(sum.hi, sum.lo + (scaled.lo + u.lo * second));
        reduced = dd_add(dd_add(t.minus_log_reciprocal[bin], t.minus_log_second_reciprocal[j + second_table_half]),
                         log1p_tiny(v));
    }
    if (exponent == 0) return reduced;
    return dd_add(multiple_of_ln2(exponent, t), reduced);
}

// exp(z) = 2^scale * (returned value), for |z.hi| <= 710; relative error
// below 2^-98 plus z's own absolute error. z = k ln2 / 2^14 + r with
// |r| <= 2^-15.5, k = 2^14 scale + 128 i + j.
DoubleDouble exp_double_double(DoubleDouble z, const Tables& t, int& scale) {
    const double k = nearest_integer(z.hi * t.inverse_ln2_times_steps);
    DoubleDouble r = two_sum(z.hi, -(k * (t.ln2_high / exp_steps)));
    const DoubleDouble middle = two_product(k, t.ln2_middle / exp_steps);
    r = dd_add(r, {-middle.hi, -middle.lo});
    r = fast_two_sum(r.hi, r.lo + (z.lo - k * (t.ln2_low / exp_steps)));

    // exp(r) = 1 + r + r^2/2 + r^3 (1/6 + r/24 + r^2/120 + r^3/720)
    DoubleDouble square = two_product(r.hi, r.hi);
    square.lo += 2.0 * r.hi * r.lo;
    const double cube = square.hi * r.hi;
    const double tail = cube * (1.0 / 6 + r.hi * (1.0 / 24 + r.hi * (1.0 / 120 + r.hi * (1.0 / 720))));
    DoubleDouble sum = dd_add({1.0, 0.0}, r);
    sum = dd_add(sum, {0.5 * square.hi, 0.5 * square.lo});
    sum = fast_two_sum(sum.hi, sum.lo + tail);

    const int whole = static_cast<int>(k);
    const int step = ((whole % exp_steps) + exp_steps) % exp_steps;
    scale = (whole - step) / exp_steps;
    const DoubleDouble fraction =
        dd_multiply(t.exp2_fraction[step >> exp_fine_bits], t.exp2_fine_fraction[step & (table_size - 1)]);
    return dd_multiply(fraction, sum);
}

// pow(x, y) when x * 2^-e is an odd integer m and the result is exactly
// representable or halfway between two doubles: then m^y has at most 54
// bits, so y is a positive integer, or p / 2^f (f <= 5, m a perfect
// 2^f-th power); or m is 1 and e * y is an integer.
bool pow_exactly(double x, double y, double& result) {
    const std::uint64_t bits = bits_of(x);
    const int biased = static_cast<int>(bits >> 52);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    std::int64_t e = -1074;
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        e = biased - 1075;
    }
    const int trailing_zeros = __builtin_ctzll(m);  // m is not zero
    m >>= trailing_zeros;
    e += trailing_zeros;
    constexpr std::uint64_t bound = std::uint64_t{1} << 54;
    const auto round_scaled = [&result](std::uint64_t integer, std::int64_t power) {
        // integer (below 2^54) * 2^power, rounded to nearest even
        if (power > -1000 && power < 900) {
            std::uint64_t kept = integer;
            std::int64_t kept_power = power;
            if (kept >> 53) {  // 54 bits: the last one is dropped, ties to even
                const bool halfway = (kept & 1) != 0;
                kept >>= 1;
                ++kept_power;
                if (halfway && (kept & 1) != 0) ++kept;
            }
            result = scale_by_power_of_two(static_cast<double>(kept), kept_power);
        } else {
            result = BigFloat::from_integer(static_cast<std::int64_t>(integer), 2).times_power_of_two(power).nearest_double();
        }
        return true;
    };
    if (m == 1) {
        const DoubleDouble power = two_product(y, static_cast<double>(e));
        if (power.lo != 0.0 || !is_integer(power.hi)) return false;
        if (power.hi > 2000.0) return result = infinity, true;
        if (power.hi < -2000.0) return result = 0.0, true;
        return round_scaled(1, static_cast<std::int64_t>(power.hi));
    }
    // y = p / 2^f with p odd
    double p = y;
    int f = 0;
    while (!is_integer(p)) {
        if (++f > 5) return false;
        p *= 2.0;
    }
    if (p < 1.0 || p > 64.0) return false;
    const std::int64_t root_degree = std::int64_t{1} << f;
    if (e % root_degree != 0) return false;
    std::uint64_t root = m;
    for (int i = 0; i < f; ++i) {
        std::uint64_t s = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(root)));
        while (s * s > root) --s;
        while ((s + 1) * (s + 1) <= root) ++s;
        if (s * s != root) return false;
        root = s;
    }
    const int count = static_cast<int>(p);
    std::uint64_t power = 1;
    for (int i = 0; i < count; ++i) {
        if (power > bound / root) return false;
        power *= root;
    }
    return round_scaled(power, e / root_degree * count);
}

bool log_decided(DoubleDouble value, double& result) {
    return round_if_decided(value, log_error_bound, result);
}

double log_of_positive(double x, bool base10) {
    const Tables& t = tables();
    DoubleDouble value = log_double_double(x, t);
    if (base10) value = dd_multiply(value, t.inverse_ln10);
    double result;
    if (log_decided(value, result)) return result;
    return base10 ? log10_wide(x) : log_wide(x);
}

double pow_of_positive(double x, double y) {
    if (x == 1.0) return 1.0;  // from pow(-1, y)
    // Beyond 2^64, |y log x| > 2^11 for every x other than 1.
    if (y > 18446744073709551616.0 || y < -18446744073709551616.0) return (x > 1.0) == (y > 0.0) ? infinity : 0.0;
    const Tables& t = tables();
    const DoubleDouble log_x = log_double_double(x, t);
    const DoubleDouble product = two_product(y, log_x.hi);
    const DoubleDouble z = fast_two_sum(product.hi, product.lo + y * log_x.lo);
    // ln(largest double + half an ulp) = 709.7827..., ln(2^-1075) = -745.1332...
    if (z.hi > 709.79) return infinity;
    if (z.hi < -745.2) return 0.0;
    double result;
    if (z.hi <= 709.7 && z.hi >= -708.3) {  // not near overflow, nor subnormal
        int scale;
        const DoubleDouble mantissa = exp_double_double(z, t, scale);
        if (round_if_decided(mantissa, pow_error_bound, result)) return scale_by_power_of_two(result, scale);
    }
    // An exact result passes the test above unless it is halfway between
    // two doubles or outside the normal range: found here, not iterated on.
    if (pow_exactly(x, y, result)) return result;
    return pow_wide(x, y);
}

}  // namespace

double log_wide(double x) {
    for (int limbs = wide_first_limbs;; limbs *= 2) {
        const BigFloat value = big_log(x, limbs);
        double result;
        if (big_round_if_decided(value, 32 * limbs - 40, result) || limbs == wide_last_limbs) {
            return value.nearest_double();
        }
    }
}

double log10_wide(double x) {
    for (int limbs = wide_first_limbs;; limbs *= 2) {
        const BigFloat value = big_log(x, limbs) * big_reciprocal(big_log(10.0, limbs), limbs);
        double result;
        if (big_round_if_decided(value, 32 * limbs - 40, result) || limbs == wide_last_limbs) {
            return value.nearest_double();
        }
    }
}

double pow_wide(double x, double y) {
    for (int limbs = wide_first_limbs;; limbs *= 2) {
        const BigFloat z = BigFloat::from_double(y, limbs) * big_log(x, limbs);
        const double z_estimate = z.nearest_double();
        if (z_estimate > 800.0) return infinity;
        if (z_estimate < -800.0) return 0.0;
        const BigFloat value = big_exp(z, limbs);
        double result;
        if (big_round_if_decided(value, 32 * limbs - 40, result) || limbs == wide_last_limbs) {
            return value.nearest_double();
        }
    }
}

}  // namespace detail

double log(double x) {
    if (!(x > 0.0)) return x == 0.0 ? -detail::infinity : detail::not_a_number;  // NaN too
    if (x == detail::infinity) return x;
    if (x == 1.0) return 0.0;
    return detail::log_of_positive(x, false);
}

double log10(double x) {
    if (!(x > 0.0)) return x == 0.0 ? -detail::infinity : detail::not_a_number;
    if (x == detail::infinity) return x;
    if (x >= 1.0 && x <= 1e22) {
        double power = 1.0;  // every power of ten up to 10^22 is a double
        for (int n = 0; n <= 22 && power <= x; ++n, power *= 10.0) {
            if (power == x) return n;
        }
    }
    return detail::log_of_positive(x, true);
}

double pow(double x, double y) {
    using detail::infinity;
    if (y == 0.0 || x == 1.0) return 1.0;  // even when the other is NaN
    if (x != x || y != y) return x + y;
    const bool y_odd = detail::is_odd_integer(y);
    if (x == 0.0) {
        if (y < 0.0) return y_odd ? (detail::bits_of(x) >> 63 ? -infinity : infinity) : infinity;
        return y_odd ? x : 0.0;
    }
    if (y == infinity || y == -infinity) {
        const double magnitude = x < 0.0 ? -x : x;
        if (magnitude == 1.0) return 1.0;
        return (magnitude < 1.0) == (y < 0.0) ? infinity : 0.0;
    }
    if (x == infinity) return y < 0.0 ? 0.0 : infinity;
    if (x == -infinity) {
        if (y < 0.0) return y_odd ? -0.0 : 0.0;
        return y_odd ? -infinity : infinity;
    }
    if (x < 0.0) {
        if (!detail::is_integer(y)) return detail::not_a_number;
        const double magnitude = detail::pow_of_positive(-x, y);
        return y_odd ? -magnitude : magnitude;
    }
    return detail::pow_of_positive(x, y);
}

}  // namespace qor::math
