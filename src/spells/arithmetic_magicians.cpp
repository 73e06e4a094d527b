#include "spells/arithmetic_magicians.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "model/thread_local.h"

namespace qor {

namespace {

using Spell = std::optional<std::vector<Charge>>;

constexpr double kNearZero = 1e-9;

bool near_zero(double x) { return std::fabs(x) < kNearZero; }

bool is_negative(const Charge& charge) { return charge.polarity == ChargePolarity::NEGATIVE; }

// The power spell's own sign rule: only a NEGATIVE charge counts negative.
double strict_value(const Charge& charge) {
    return is_negative(charge) ? -charge.magnitude : charge.magnitude;
}

// Truncation toward zero. NaN and values outside the int32 range give
// INT32_MIN, the value an x86 conversion produces, instead of undefined behaviour.
std::int32_t truncate_to_int32(double x) {
    // Exactly the doubles whose truncation fits: (-2^31 - 1, 2^31).
    constexpr double kAbove = 2147483648.0;
    constexpr double kBelow = -2147483649.0;
    if (!(x > kBelow && x < kAbove)) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(x);
}

// The tag of a product or quotient: NEUTRAL when it vanishes, otherwise the
// parity of the NEGATIVE operands.
ChargePolarity parity_polarity(double value, std::size_t negatives) {
    if (near_zero(value)) return ChargePolarity::NEUTRAL;
    return negatives % 2 == 1 ? ChargePolarity::NEGATIVE : ChargePolarity::POSITIVE;
}

ChargePolarity sign_polarity(double value) {
    return value >= 0 ? ChargePolarity::POSITIVE : ChargePolarity::NEGATIVE;
}

// The list with its last `count` charges replaced by the result charge.
std::vector<Charge> replacing_last(const std::vector<Charge>& charges, std::size_t count,
                                   double magnitude, ChargePolarity polarity,
                                   std::string visual_id) {
    std::vector<Charge> left;
    left.reserve(charges.size() - count + 1);
    left.insert(left.end(), charges.begin(), charges.end() - static_cast<std::ptrdiff_t>(count));
    left.emplace_back(magnitude, polarity, std::move(visual_id));
    return left;
}

// The list with every charge replaced by the result charge.
std::vector<Charge> replacing_all(const std::vector<Charge>& charges, double magnitude,
                                  ChargePolarity polarity, std::string visual_id) {
    return replacing_last(charges, charges.size(), magnitude, polarity, std::move(visual_id));
}

// The index-th root of the radicand; nothing for a negative radicand whose
// index truncates to an even number. Under an odd whole index a negative
// radicand has a real root, the negated root of its size; under any other odd
// index it is left to pow, which gives NaN.
std::optional<double> real_root(double index, double radicand) {
    if (radicand < 0) {
        const std::int32_t whole = truncate_to_int32(index);
        if (whole % 2 == 0) return std::nullopt;
        if (static_cast<double>(whole) == index) return -std::pow(-radicand, 1.0 / index);
    }
    return std::pow(radicand, 1.0 / index);
}

double factorial(std::int32_t n) {
    double product = 1.0;
    // Once infinite the product stays infinite, so stopping there keeps a
    // huge n from spinning for billions of steps.
    for (std::int64_t i = 1; i <= n && !std::isinf(product); ++i) {
        product *= static_cast<double>(i);
    }
    return product;
}

}  // namespace

double summing_value(const Charge& charge) {
    return charge.polarity == ChargePolarity::POSITIVE ? charge.magnitude : -charge.magnitude;
}

namespace {

QOR_THREAD_LOCAL RememberedTotal* remembered_total = nullptr;

double sum_of(const std::vector<Charge>& charges) {
    double total = 0.0;
    for (const Charge& charge : charges) total += summing_value(charge);
    return total;
}

}  // namespace

RememberedTotal::RememberedTotal() noexcept : outer_(remembered_total) { remembered_total = this; }

RememberedTotal::~RememberedTotal() { remembered_total = outer_; }

void RememberedTotal::watch(const std::vector<Charge>& charges) noexcept {
    if (watched_ == &charges) return;
    watched_ = &charges;
    known_ = false;
}

double summed_total(const std::vector<Charge>& charges) {
    RememberedTotal* remembered = remembered_total;
    if (remembered == nullptr || remembered->watched_ != &charges) return sum_of(charges);
    if (!remembered->known_) {
        remembered->total_ = sum_of(charges);
        remembered->known_ = true;
    }
    return remembered->total_;
}

AbsMagician::AbsMagician(std::string visual_id_)
    : MagicianAgent("The Purifier", 90, std::move(visual_id_)) {}

bool AbsMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell AbsMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.empty()) return std::nullopt;
    std::vector<Charge> purified = charges;
    for (Charge& charge : purified) {
        if (!is_negative(charge)) continue;
        charge.polarity = ChargePolarity::POSITIVE;
        charge.visual_id = "purified_" + charge.visual_id;
    }
    return purified;
}

LogMagician::LogMagician(std::string visual_id_)
    : MagicianAgent("The Architect", 90, std::move(visual_id_)) {}

bool LogMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell LogMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.empty()) return std::nullopt;
    const double argument = charges.back().magnitude;
    if (argument <= 0) return std::nullopt;
    if (charges.size() == 1) {
        const double result = std::log10(argument);
        return replacing_last(charges, 1, std::fabs(result), sign_polarity(result), "result_log_" + visual_id);
    }
    const double base = charges[charges.size() - 2].magnitude;
    if (base <= 0 || base == 1.0) return std::nullopt;
    const double result = std::log(argument) / std::log(base);
    return replacing_last(charges, 2, std::fabs(result), sign_polarity(result), "result_log_" + visual_id);
}

FactorialMagician::FactorialMagician(std::string visual_id_)
    : MagicianAgent("The Replicator", 85, std::move(visual_id_)) {}

bool FactorialMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell FactorialMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.empty() || is_negative(charges.back())) return std::nullopt;
    const std::int32_t n = truncate_to_int32(std::floor(charges.back().magnitude));
    return replacing_last(charges, 1, factorial(n), ChargePolarity::POSITIVE,
                          "result_factorial_" + visual_id);
}

PowerSorcerer::PowerSorcerer(std::string visual_id_)
    : MagicianAgent("Power Sorcerer", 75, std::move(visual_id_)) {}

bool PowerSorcerer::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell PowerSorcerer::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return std::nullopt;
    const double base = strict_value(charges[charges.size() - 2]);
    const double exponent = strict_value(charges.back());
    const double result = std::pow(base, exponent);
    ChargePolarity polarity = ChargePolarity::NEUTRAL;
    if (result > 0) polarity = ChargePolarity::POSITIVE;
    if (result < 0) polarity = ChargePolarity::NEGATIVE;
    return replacing_last(charges, 2, std::fabs(result), polarity, "result_power_" + visual_id);
}

RootMagician::RootMagician(std::string visual_id_)
    : MagicianAgent("The Extractor", 75, std::move(visual_id_)) {}

bool RootMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell RootMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.empty()) return std::nullopt;
    if (charges.size() == 1) {
        if (is_negative(charges.back())) return std::nullopt;
        return replacing_last(charges, 1, std::sqrt(charges.back().magnitude),
                              ChargePolarity::POSITIVE, "result_root_" + visual_id);
    }
    const std::optional<double> root =
        real_root(charges[charges.size() - 2].magnitude, charges.back().magnitude);
    if (!root) return std::nullopt;
    return replacing_last(charges, 2, *root, ChargePolarity::POSITIVE, "result_root_" + visual_id);
}

MultiplyMagician::MultiplyMagician(std::string visual_id_)
    : MagicianAgent("Multiply Magician", 50, std::move(visual_id_)) {}

bool MultiplyMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell MultiplyMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return std::nullopt;
    double product = 1.0;
    std::size_t negatives = 0;
    for (const Charge& charge : charges) {
        product *= charge.magnitude;
        if (is_negative(charge)) ++negatives;
    }
    return replacing_all(charges, product, parity_polarity(product, negatives),
                         "result_product_" + visual_id);
}

DivideMagician::DivideMagician(std::string visual_id_)
    : MagicianAgent("Divide Magician", 50, std::move(visual_id_)) {}

bool DivideMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell DivideMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return std::nullopt;
    double quotient = charges.front().magnitude;
    std::size_t negatives = is_negative(charges.front()) ? 1 : 0;
    for (std::size_t i = 1; i < charges.size(); ++i) {
        const Charge& divisor = charges[i];
        if (near_zero(divisor.magnitude)) return std::nullopt;
        quotient /= divisor.magnitude;
        if (is_negative(divisor)) ++negatives;
    }
    return replacing_all(charges, quotient, parity_polarity(quotient, negatives),
                         "result_quotient_" + visual_id);
}

ModuloMagician::ModuloMagician(std::string visual_id_)
    : MagicianAgent("The Scavenger", 50, std::move(visual_id_)) {}

bool ModuloMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell ModuloMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return std::nullopt;
    const double divisor = charges.back().magnitude;
    if (near_zero(divisor)) return std::nullopt;
    const double remainder = std::fmod(charges[charges.size() - 2].magnitude, divisor);
    return replacing_last(charges, 2, remainder, ChargePolarity::POSITIVE,
                          "result_remainder_" + visual_id);
}

PlusMagician::PlusMagician(std::string visual_id_)
    : MagicianAgent("Plus Magician", 10, std::move(visual_id_)) {}

bool PlusMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell PlusMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return std::nullopt;
    const double sum = summed_total(charges);
    return replacing_all(charges, std::fabs(sum), sign_polarity(sum), "result_" + visual_id);
}

MinusMagician::MinusMagician(std::string visual_id_)
    : MagicianAgent("Minus Magician", 10, std::move(visual_id_)) {}

bool MinusMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

Spell MinusMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return std::nullopt;
    double difference = summing_value(charges.front());
    for (std::size_t i = 1; i < charges.size(); ++i) difference -= summing_value(charges[i]);
    return replacing_all(charges, std::fabs(difference), sign_polarity(difference),
                         "result_" + visual_id);
}

}  // namespace qor
