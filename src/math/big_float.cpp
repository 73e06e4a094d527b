#include "math/big_float.h"

#include <cstddef>
#include <utility>

#include "math/float_bits.h"

namespace qor::math::detail {
namespace {

using Limbs = std::vector<std::uint32_t>;

int leading_zeros(std::uint32_t limb) {
    int count = 0;
    while ((limb & 0x80000000u) == 0) {
        limb <<= 1;
        ++count;
    }
    return count;
}

// dst += src * 2^shift (bitwise), dst wide enough.
void place_shifted(Limbs& dst, const Limbs& src, std::int64_t shift) {
    const std::size_t limb_shift = static_cast<std::size_t>(shift / 32);
    const int bit_shift = static_cast<int>(shift % 32);
    for (std::size_t i = 0; i < src.size(); ++i) {
        const std::uint64_t moved = static_cast<std::uint64_t>(src[i]) << bit_shift;
        dst[i + limb_shift] |= static_cast<std::uint32_t>(moved);
        if (i + limb_shift + 1 < dst.size()) dst[i + limb_shift + 1] |= static_cast<std::uint32_t>(moved >> 32);
    }
}

// Compares two wide integers of equal length.
int compare(const Limbs& a, const Limbs& b) {
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

}  // namespace

BigFloat::BigFloat(int limbs) : mantissa_(static_cast<std::size_t>(limbs), 0) {}

BigFloat BigFloat::from_wide(Limbs wide, std::int64_t exponent, bool negative, int limbs) {
    BigFloat result(limbs);
    std::size_t top = wide.size();
    while (top > 0 && wide[top - 1] == 0) --top;
    if (top == 0) return result;
    --top;
    const int shift = leading_zeros(wide[top]);
    if (shift != 0) {
        for (std::size_t i = top + 1; i-- > 0;) {
            const std::uint32_t below = i > 0 ? wide[i - 1] : 0;
            wide[i] = (wide[i] << shift) | (below >> (32 - shift));
        }
        exponent -= shift;
    }
    const std::int64_t lowest_kept = static_cast<std::int64_t>(top) - (limbs - 1);
    for (int i = 0; i < limbs; ++i) {
        const std::int64_t source = lowest_kept + i;
        result.mantissa_[static_cast<std::size_t>(i)] = source >= 0 ? wide[static_cast<std::size_t>(source)] : 0;
    }
    result.exponent_ = exponent + 32 * lowest_kept;
    result.negative_ = negative;
    return result;
}

BigFloat BigFloat::from_double(double value, int limbs) {
    const std::uint64_t bits = bits_of(value);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (biased != 0) {
        significand |= std::uint64_t{1} << 52;
        exponent = biased - 1075;
    }
    Limbs wide{static_cast<std::uint32_t>(significand), static_cast<std::uint32_t>(significand >> 32)};
    return from_wide(std::move(wide), exponent, (bits >> 63) != 0, limbs);
}

BigFloat BigFloat::from_integer(std::int64_t value, int limbs) {
    const bool negative = value < 0;
    const std::uint64_t magnitude =
        negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    Limbs wide{static_cast<std::uint32_t>(magnitude), static_cast<std::uint32_t>(magnitude >> 32)};
    return from_wide(std::move(wide), 0, negative, limbs);
}

BigFloat BigFloat::negated() const {
    BigFloat result = *this;
    if (!is_zero()) result.negative_ = !negative_;
    return result;
}

BigFloat BigFloat::magnitude() const {
    BigFloat result = *this;
    result.negative_ = false;
    return result;
}

BigFloat BigFloat::times_power_of_two(std::int64_t power) const {
    BigFloat result = *this;
    if (!is_zero()) result.exponent_ += power;
    return result;
}

BigFloat BigFloat::times(std::uint32_t factor) const {
    Limbs wide(mantissa_.size() + 1, 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < mantissa_.size(); ++i) {
        const std::uint64_t product = static_cast<std::uint64_t>(mantissa_[i]) * factor + carry;
        wide[i] = static_cast<std::uint32_t>(product);
        carry = product >> 32;
    }
    wide.back() = static_cast<std::uint32_t>(carry);
    return from_wide(std::move(wide), exponent_, negative_, limbs());
}

BigFloat BigFloat::divided_by(std::uint32_t divisor) const {
    // The dividend gets `limbs` zero limbs below it, so the quotient keeps
    // full precision whatever the divisor.
    const std::size_t n = mantissa_.size();
    Limbs wide(2 * n, 0);
    for (std::size_t i = 0; i < n; ++i) wide[n + i] = mantissa_[i];
    std::uint64_t remainder = 0;
    for (std::size_t i = wide.size(); i-- > 0;) {
        const std::uint64_t current = (remainder << 32) | wide[i];
        wide[i] = static_cast<std::uint32_t>(current / divisor);
        remainder = current % divisor;
    }
    return from_wide(std::move(wide), exponent_ - 32 * static_cast<std::int64_t>(n), negative_, limbs());
}

BigFloat BigFloat::add_magnitudes(const BigFloat& a, const BigFloat& b, bool subtract) {
    const int n = a.limbs();
    if (b.is_zero()) return a;
    if (a.is_zero()) return subtract ? b.negated() : b;
    // Both on one scale: base exponent one limb below the smaller operand.
    const BigFloat& high = a.exponent_ >= b.exponent_ ? a : b;
    const BigFloat& low = a.exponent_ >= b.exponent_ ? b : a;
    const std::int64_t gap = high.exponent_ - low.exponent_;
    const bool low_is_b = &low == &b;
    if (gap > 32 * static_cast<std::int64_t>(n + 2)) {
        // The smaller one lies wholly below the kept limbs.
        if (low_is_b || !subtract) return high;
        return high.negated();
    }
    const std::size_t width = static_cast<std::size_t>(2 * n + 4 + gap / 32);
    Limbs high_wide(width, 0);
    Limbs low_wide(width, 0);
    place_shifted(high_wide, high.mantissa_, gap + 32);
    place_shifted(low_wide, low.mantissa_, 32);
    const std::int64_t base = low.exponent_ - 32;

    if (!subtract) {
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::uint64_t sum = static_cast<std::uint64_t>(high_wide[i]) + low_wide[i] + carry;
            high_wide[i] = static_cast<std::uint32_t>(sum);
            carry = sum >> 32;
        }
        return from_wide(std::move(high_wide), base, a.negative_, n);
    }
    // a - b where both have a's sign: the larger magnitude decides the sign.
    Limbs a_wide = low_is_b ? high_wide : low_wide;
    Limbs b_wide = low_is_b ? low_wide : high_wide;
    bool negative = a.negative_;
    if (compare(a_wide, b_wide) < 0) {
        std::swap(a_wide, b_wide);
        negative = !negative;
    }
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < width; ++i) {
        std::int64_t difference = static_cast<std::int64_t>(a_wide[i]) - b_wide[i] - borrow;
        borrow = difference < 0 ? 1 : 0;
        if (difference < 0) difference += std::int64_t{1} << 32;
        a_wide[i] = static_cast<std::uint32_t>(difference);
    }
    return from_wide(std::move(a_wide), base, negative, n);
}

BigFloat operator+(const BigFloat& a, const BigFloat& b) {
    if (a.negative_ == b.negative_ || b.is_zero() || a.is_zero()) {
        if (a.is_zero()) return b;
        if (b.is_zero()) return a;
        return BigFloat::add_magnitudes(a, b, false);
    }
    return BigFloat::add_magnitudes(a, b.negated(), true);
}

BigFloat operator-(const BigFloat& a, const BigFloat& b) { return a + b.negated(); }

BigFloat operator*(const BigFloat& a, const BigFloat& b) {
    const std::size_t n = a.mantissa_.size();
    if (a.is_zero() || b.is_zero()) return BigFloat(static_cast<int>(n));
    Limbs wide(2 * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint64_t cell =
                static_cast<std::uint64_t>(a.mantissa_[i]) * b.mantissa_[j] + wide[i + j] + carry;
            wide[i + j] = static_cast<std::uint32_t>(cell);
            carry = cell >> 32;
        }
        wide[i + n] = static_cast<std::uint32_t>(carry);
    }
    return BigFloat::from_wide(std::move(wide), a.exponent_ + b.exponent_, a.negative_ != b.negative_,
                               static_cast<int>(n));
}

double BigFloat::nearest_double() const {
    if (is_zero()) return 0.0;
    const double sign = negative_ ? -1.0 : 1.0;
    const std::int64_t top = binary_exponent();
    if (top > 1023) return sign * double_from_bits(std::uint64_t{0x7ff} << 52);
    // Significant bits the double keeps: 53, fewer among the subnormals.
    const std::int64_t kept = top >= -1022 ? 53 : top + 1075;
    if (kept < 0) return sign * 0.0;
    const std::size_t n = mantissa_.size();
    const std::uint64_t leading = (static_cast<std::uint64_t>(mantissa_[n - 1]) << 32) | mantissa_[n - 2];
    bool sticky = false;
    for (std::size_t i = 0; i + 2 < n; ++i) sticky = sticky || mantissa_[i] != 0;
    std::uint64_t quotient;
    bool round_bit;
    if (kept == 0) {
        quotient = 0;
        round_bit = true;
        sticky = sticky || (leading << 1) != 0;
    } else {
        const int below = static_cast<int>(64 - kept);  // bits of `leading` under the kept ones
        quotient = leading >> below;
        round_bit = ((leading >> (below - 1)) & 1) != 0;
        sticky = sticky || (leading & ((std::uint64_t{1} << (below - 1)) - 1)) != 0;
    }
    if (round_bit && (sticky || (quotient & 1) != 0)) ++quotient;
    return sign * scale_by_power_of_two(static_cast<double>(quotient), top - kept + 1);
}

BigFloat big_reciprocal(const BigFloat& divisor, int limbs) {
    const BigFloat one = BigFloat::from_integer(1, limbs);
    BigFloat estimate = BigFloat::from_double(1.0 / divisor.nearest_double(), limbs);
    // Newton's iteration doubles the correct bits, from about 50.
    for (int bits = 50; bits < 32 * limbs + 32; bits *= 2) {
        estimate = estimate + estimate * (one - divisor * estimate);
    }
    return estimate;
}

namespace {

// atanh(s) = s + s^3/3 + s^5/5 + ... for |s| <= 1/3.
BigFloat atanh_series(const BigFloat& s, int limbs) {
    if (s.is_zero()) return s;
    const BigFloat square = s * s;
    BigFloat sum = s;
    BigFloat power = s;
    const std::int64_t negligible = s.binary_exponent() - 32 * limbs - 8;
    for (std::uint32_t odd = 3;; odd += 2) {
        power = power * square;
        const BigFloat term = power.divided_by(odd);
        if (term.is_zero() || term.binary_exponent() < negligible) break;
        sum = sum + term;
    }
    return sum;
}

}  // namespace

BigFloat big_ln2(int limbs) {
    // ln 2 = 2 atanh(1/3)
    return atanh_series(BigFloat::from_integer(1, limbs).divided_by(3), limbs).times_power_of_two(1);
}

BigFloat big_log(double x, int limbs) {
    // x = m * 2^e with m in [sqrt(1/2), sqrt(2)); log m = 2 atanh((m-1)/(m+1)).
    int exponent = 0;
    if (x < 2.2250738585072014e-308) {
        x *= 18446744073709551616.0;  // 2^64
        exponent = -64;
    }
    const std::uint64_t bits = bits_of(x);
    exponent += static_cast<int>(bits >> 52) - 1023;
    double m = double_from_bits((bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52));
    if (m > 1.4142135623730951) {
        m *= 0.5;
        exponent += 1;
    }
    const BigFloat mantissa = BigFloat::from_double(m, limbs);
    const BigFloat one = BigFloat::from_integer(1, limbs);
    const BigFloat s = (mantissa - one) * big_reciprocal(mantissa + one, limbs);
    BigFloat result = atanh_series(s, limbs).times_power_of_two(1);
    if (exponent != 0) {
        const std::uint32_t count = static_cast<std::uint32_t>(exponent < 0 ? -exponent : exponent);
        const BigFloat multiple = big_ln2(limbs).times(count);
        result = exponent < 0 ? result - multiple : result + multiple;
    }
    return result;
}

BigFloat big_exp(const BigFloat& z, int limbs) {
    // exp(z) = 2^k exp(r), r = z - k ln 2, and exp(r) = exp(r / 2^12)^(2^12)
    // with a short Taylor series for the small argument.
    constexpr int halvings = 12;
    const BigFloat ln2 = big_ln2(limbs);
    const double k = nearest_integer(z.nearest_double() * 1.4426950408889634);
    const std::uint32_t count = static_cast<std::uint32_t>(k < 0 ? -k : k);
    const BigFloat multiple = ln2.times(count);
    const BigFloat r = (k < 0 ? z + multiple : z - multiple).times_power_of_two(-halvings);
    BigFloat sum = BigFloat::from_integer(1, limbs);
    BigFloat term = sum;
    const std::int64_t negligible = -32 * static_cast<std::int64_t>(limbs) - 16;
    for (std::uint32_t i = 1;; ++i) {
        term = (term * r).divided_by(i);
        if (term.is_zero() || term.binary_exponent() < negligible) break;
        sum = sum + term;
    }
    for (int i = 0; i < halvings; ++i) sum = sum * sum;
    return sum.times_power_of_two(static_cast<std::int64_t>(k));
}

bool big_round_if_decided(const BigFloat& value, int error_bits, double& rounded) {
    const BigFloat margin = value.magnitude().times_power_of_two(-error_bits);
    const double low = (value - margin).nearest_double();
    const double high = (value + margin).nearest_double();
    if (low != high) return false;
    rounded = low;
    return true;
}

}  // namespace qor::math::detail
