#pragma once

#include <cstdint>
#include <cstring>

namespace qor::math::detail {

inline std::uint64_t bits_of(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline double double_from_bits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// 2^power for power in [-1022, 1023].
inline double power_of_two(int power) {
    return double_from_bits(static_cast<std::uint64_t>(power + 1023) << 52);
}

// value * 2^power for a value of at most 2^54 in magnitude and power
// above -2000: the steps before the last stay normal, so the result is
// rounded once, by the last multiplication (exact when representable).
inline double scale_by_power_of_two(double value, std::int64_t power) {
    while (power > 1000) {
        value *= power_of_two(1000);
        power -= 1000;
    }
    while (power < -1000) {
        value *= power_of_two(-1000);
        power += 1000;
    }
    return value * power_of_two(static_cast<int>(power));
}

// The integer nearest `value` (ties to even), for |value| < 2^51.
inline double nearest_integer(double value) {
    constexpr double shifter = 6755399441055744.0;  // 1.5 * 2^52
    return (value + shifter) - shifter;
}

inline bool is_integer(double value) {
    const double magnitude = value < 0 ? -value : value;
    if (!(magnitude < 4503599627370496.0)) return magnitude == magnitude;  // 2^52 and above, not NaN
    return nearest_integer(magnitude) == magnitude;
}

inline bool is_odd_integer(double value) {
    const double magnitude = value < 0 ? -value : value;
    if (!(magnitude < 9007199254740992.0) || !is_integer(magnitude)) return false;  // 2^53 and above are even
    return (static_cast<std::uint64_t>(magnitude) & 1) != 0;
}

}  // namespace qor::math::detail
