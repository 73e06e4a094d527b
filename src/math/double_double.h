#pragma once

// Double-double arithmetic: a value is hi + lo, two doubles with
// |lo| <= ulp(hi)/2. Every step is a plain IEEE 754 double operation (no
// fused multiply-add: the build turns contraction off), so each one rounds
// the same way on every machine.

namespace qor::math::detail {

struct DoubleDouble {
    double hi;
    double lo;
};

// a + b exactly, for any a and b (Knuth).
inline DoubleDouble two_sum(double a, double b) {
    const double sum = a + b;
    const double b_part = sum - a;
    const double a_part = sum - b_part;
    return {sum, (a - a_part) + (b - b_part)};
}

// a + b exactly, when |a| >= |b| or a is zero (Dekker).
inline DoubleDouble fast_two_sum(double a, double b) {
    const double sum = a + b;
    return {sum, b - (sum - a)};
}

// a * b exactly (Dekker, with Veltkamp's splitting into 26-bit halves);
// |a| and |b| stay below 2^995 so the split cannot overflow.
inline DoubleDouble two_product(double a, double b) {
    constexpr double splitter = 134217729.0;  // 2^27 + 1
    const double a_scaled = splitter * a;
    const double a_high = a_scaled - (a_scaled - a);
    const double a_low = a - a_high;
    const double b_scaled = splitter * b;
    const double b_high = b_scaled - (b_scaled - b);
    const double b_low = b - b_high;
    const double product = a * b;
    const double error =
        ((a_high * b_high - product) + a_high * b_low + a_low * b_high) + a_low * b_low;
    return {product, error};
}

inline DoubleDouble dd_add(DoubleDouble a, DoubleDouble b) {
    const DoubleDouble sum = two_sum(a.hi, b.hi);
    return fast_two_sum(sum.hi, sum.lo + (a.lo + b.lo));
}

inline DoubleDouble dd_multiply(DoubleDouble a, DoubleDouble b) {
    const DoubleDouble product = two_product(a.hi, b.hi);
    return fast_two_sum(product.hi, product.lo + (a.hi * b.lo + a.lo * b.hi));
}

// The double nearest hi + lo when every value within relative distance
// `relative_error` of it rounds to that same double; otherwise reports
// failure. relative_error is a power of two of at least 2^-100, so
// |hi| * relative_error is exact and covers the rounding of lo +- bound.
inline bool round_if_decided(DoubleDouble value, double relative_error, double& rounded) {
    const double bound = (value.hi < 0 ? -value.hi : value.hi) * relative_error;
    const double low = value.hi + (value.lo - bound);
    const double high = value.hi + (value.lo + bound);
    if (low != high) return false;
    rounded = low;
    return true;
}

}  // namespace qor::math::detail
