#pragma once

// The engine's own logarithms and power: each returns the double nearest the
// exact result (ties to even), for every argument, with the same bits on
// every IEEE 754 machine. Special values follow C99 Annex F (pow(x, 0) = 1,
// pow(1, y) = 1, pow(-1, +-inf) = 1, log(0) = -inf, NaN for log of a
// negative number or a negative base with a non-integer exponent, ...).
// Thread-safe; the first call builds small tables (a few milliseconds).

namespace qor::math {

double log(double x);
double log10(double x);
double pow(double x, double y);

namespace detail {
// The slow, wide paths alone (for tests): correctly rounded for positive
// finite x, and for pow a y whose result is not exactly representable
// nor halfway between two doubles.
double log_wide(double x);
double log10_wide(double x);
double pow_wide(double x, double y);
}  // namespace detail

}  // namespace qor::math
