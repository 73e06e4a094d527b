#pragma once

#include <cstdint>
#include <vector>

namespace qor::math::detail {

// A binary floating-point number of a chosen precision, a whole number of
// 32-bit limbs: (-1)^sign * mantissa * 2^exponent. Sums, products and
// quotients by small integers keep the top `limbs` limbs (truncating), so
// each operation's relative error stays below 2^(2 - 32 * limbs). Slow, and
// only used for the arguments the fast double-double paths cannot decide
// and to compute their tables.
class BigFloat {
public:
    explicit BigFloat(int limbs);  // zero
    static BigFloat from_double(double value, int limbs);  // exact
    static BigFloat from_integer(std::int64_t value, int limbs);

    int limbs() const { return static_cast<int>(mantissa_.size()); }
    bool is_zero() const { return mantissa_.back() == 0; }
    bool is_negative() const { return negative_; }
    // floor(log2 |value|); meaningless for zero.
    std::int64_t binary_exponent() const { return exponent_ + 32 * limbs() - 1; }

    BigFloat negated() const;
    BigFloat magnitude() const;
    BigFloat times_power_of_two(std::int64_t power) const;  // exact
    BigFloat times(std::uint32_t factor) const;
    BigFloat divided_by(std::uint32_t divisor) const;

    // The double nearest the value (ties to even), subnormals and
    // overflow to infinity included.
    double nearest_double() const;

    friend BigFloat operator+(const BigFloat& a, const BigFloat& b);
    friend BigFloat operator-(const BigFloat& a, const BigFloat& b);
    friend BigFloat operator*(const BigFloat& a, const BigFloat& b);

private:
    // Builds the number from an unsigned integer of any length (limbs
    // least significant first) times 2^exponent, keeping its top `limbs` limbs.
    static BigFloat from_wide(std::vector<std::uint32_t> wide, std::int64_t exponent, bool negative,
                              int limbs);
    static BigFloat add_magnitudes(const BigFloat& a, const BigFloat& b, bool subtract);

    std::vector<std::uint32_t> mantissa_;  // least significant limb first; top bit set unless zero
    std::int64_t exponent_ = 0;
    bool negative_ = false;
};

// ln 2, log(x) and exp(z) with relative error below 2^(40 - 32 * limbs).
BigFloat big_ln2(int limbs);
BigFloat big_log(double x, int limbs);  // x positive and finite
BigFloat big_exp(const BigFloat& z, int limbs);  // |z| below 2^20
BigFloat big_reciprocal(const BigFloat& divisor, int limbs);

// The double nearest `value` when every number within relative distance
// 2^-error_bits of it rounds to that same double.
bool big_round_if_decided(const BigFloat& value, int error_bits, double& rounded);

}  // namespace qor::math::detail
