#pragma once

// MPFR as the oracle for the engine's logarithms and power, and the argument
// families both the test and the long run draw from.

#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "math/correctly_rounded.h"

namespace qor::math_oracle {

enum class Function { log, log10, pow };

inline const char* function_name(Function function) {
    switch (function) {
        case Function::log: return "log";
        case Function::log10: return "log10";
        case Function::pow: return "pow";
    }
    return "?";
}

inline std::uint64_t bits_of(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline double from_bits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Same double, NaNs alike.
inline bool identical(double a, double b) { return bits_of(a) == bits_of(b) || (a != a && b != b); }

// The double nearest the exact result, subnormals rounded as the double
// format rounds them. One per thread.
class Oracle {
public:
    Oracle() {
        mpfr_set_emin(-1073);
        mpfr_set_emax(1024);
        mpfr_inits2(53, result_, x_, y_, static_cast<mpfr_ptr>(nullptr));
    }
    ~Oracle() { mpfr_clears(result_, x_, y_, static_cast<mpfr_ptr>(nullptr)); }
    Oracle(const Oracle&) = delete;
    Oracle& operator=(const Oracle&) = delete;

    double nearest(Function function, double x, double y = 0.0) {
        mpfr_set_d(x_, x, MPFR_RNDN);
        mpfr_set_d(y_, y, MPFR_RNDN);
        int ternary = 0;
        switch (function) {
            case Function::log: ternary = mpfr_log(result_, x_, MPFR_RNDN); break;
            case Function::log10: ternary = mpfr_log10(result_, x_, MPFR_RNDN); break;
            case Function::pow: ternary = mpfr_pow(result_, x_, y_, MPFR_RNDN); break;
        }
        mpfr_subnormalize(result_, ternary, MPFR_RNDN);
        return mpfr_get_d(result_, MPFR_RNDN);
    }

private:
    mpfr_t result_, x_, y_;
};

// How far the exact result lies from the nearest midpoint between two
// doubles, in units in the last place (0 to 0.5): small means hard to round.
inline double distance_to_midpoint(Function function, double x, double y = 0.0) {
    mpfr_t exact, argument, exponent;
    mpfr_inits2(200, exact, argument, exponent, static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(argument, x, MPFR_RNDN);
    mpfr_set_d(exponent, y, MPFR_RNDN);
    switch (function) {
        case Function::log: mpfr_log(exact, argument, MPFR_RNDN); break;
        case Function::log10: mpfr_log10(exact, argument, MPFR_RNDN); break;
        case Function::pow: mpfr_pow(exact, argument, exponent, MPFR_RNDN); break;
    }
    double distance = 0.5;
    if (mpfr_regular_p(exact) && mpfr_get_exp(exact) > -1021 && mpfr_get_exp(exact) < 1024) {
        // The fraction beyond the 53rd bit, in ulps, is in [0, 1); 0.5 is the midpoint.
        mpfr_mul_2si(exact, exact, 53 - mpfr_get_exp(exact), MPFR_RNDN);
        mpfr_abs(exact, exact, MPFR_RNDN);
        mpfr_frac(exact, exact, MPFR_RNDN);
        distance = std::fabs(mpfr_get_d(exact, MPFR_RNDN) - 0.5);
    }
    mpfr_clears(exact, argument, exponent, static_cast<mpfr_ptr>(nullptr));
    return distance;
}

struct Arguments {
    double x;
    double y;
};

// One family of arguments: a name and a draw from a random generator.
struct Family {
    std::string name;
    Function function;
    Arguments (*draw)(std::mt19937_64&);
};

inline double uniform_exponent_double(std::mt19937_64& random, int low, int high) {
    const std::uint64_t fraction = random() & ((std::uint64_t{1} << 52) - 1);
    const int exponent = low + static_cast<int>(random() % static_cast<std::uint64_t>(high - low + 1));
    return std::ldexp(from_bits(fraction | (std::uint64_t{1023} << 52)), exponent);
}

inline Arguments any_positive(std::mt19937_64& random) {
    // Every finite positive double, subnormals included, each exponent alike.
    const std::uint64_t bits = random() % (std::uint64_t{0x7ff} << 52);
    return {from_bits(bits == 0 ? 1 : bits), 0.0};
}

inline Arguments near_one(std::mt19937_64& random) {
    const double steps = static_cast<double>(random() % (std::uint64_t{1} << 24));
    const double step = (random() & 1) ? 0x1p-52 : -0x1p-53;
    return {1.0 + steps * step * static_cast<double>(std::uint64_t{1} << (random() % 24)), 0.0};
}

inline Arguments subnormal(std::mt19937_64& random) {
    return {from_bits(1 + random() % ((std::uint64_t{1} << 52) - 1)), 0.0};
}

inline Arguments near_powers_of_ten(std::mt19937_64& random) {
    const int power = static_cast<int>(random() % 616) - 307;
    double x = std::pow(10.0, power);
    const int ulps = static_cast<int>(random() % 101) - 50;
    for (int i = 0; i < (ulps < 0 ? -ulps : ulps); ++i) x = std::nextafter(x, ulps < 0 ? 0.0 : INFINITY);
    return {x, 0.0};
}

inline Arguments moderate(std::mt19937_64& random) { return {uniform_exponent_double(random, -40, 40), 0.0}; }

inline Arguments integer_exponents(std::mt19937_64& random) {
    return {uniform_exponent_double(random, -20, 20), static_cast<double>(static_cast<int>(random() % 129) - 64)};
}

inline Arguments root_exponents(std::mt19937_64& random) {
    // 1/n as the root spell computes it, and halves.
    const int n = 2 + static_cast<int>(random() % 40);
    const double y = (random() & 1) ? 1.0 / n : (static_cast<int>(random() % 81) - 40) / 2.0;
    return {uniform_exponent_double(random, -1022, 1023), y};
}

inline Arguments bases_near_one(std::mt19937_64& random) {
    const double x = near_one(random).x;
    const double y = uniform_exponent_double(random, 0, 45) * ((random() & 1) ? 1.0 : -1.0);
    return {x, y};
}

inline Arguments whole_range(std::mt19937_64& random) {
    // Results spread from below the subnormals to beyond overflow.
    const double x = any_positive(random).x;
    const double target = -760.0 + static_cast<double>(random() % 1480000) / 1000.0;
    const double log_x = std::log(x);
    return {x, log_x == 0.0 ? target : target / log_x};
}

inline Arguments negative_bases(std::mt19937_64& random) {
    return {-uniform_exponent_double(random, -30, 30), static_cast<double>(static_cast<int>(random() % 81) - 40)};
}

inline std::vector<Family> families() {
    return {
        {"log_any_positive", Function::log, any_positive},
        {"log_near_one", Function::log, near_one},
        {"log_subnormal", Function::log, subnormal},
        {"log_moderate", Function::log, moderate},
        {"log10_any_positive", Function::log10, any_positive},
        {"log10_near_one", Function::log10, near_one},
        {"log10_near_powers_of_ten", Function::log10, near_powers_of_ten},
        {"log10_moderate", Function::log10, moderate},
        {"pow_integer_exponents", Function::pow, integer_exponents},
        {"pow_root_exponents", Function::pow, root_exponents},
        {"pow_bases_near_one", Function::pow, bases_near_one},
        {"pow_whole_range", Function::pow, whole_range},
        {"pow_negative_bases", Function::pow, negative_bases},
    };
}

inline double engine(Function function, double x, double y) {
    switch (function) {
        case Function::log: return math::log(x);
        case Function::log10: return math::log10(x);
        case Function::pow: return math::pow(x, y);
    }
    return 0.0;
}

}  // namespace qor::math_oracle
