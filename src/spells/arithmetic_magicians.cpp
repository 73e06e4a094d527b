#include "spells/arithmetic_magicians.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "math/correctly_rounded.h"
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

// A negative radicand has no real root under an index that truncates to an
// even number.
bool negative_under_even_index(double index, double radicand) {
    return radicand < 0 && truncate_to_int32(index) % 2 == 0;
}

// The index-th root of the radicand, unless negative_under_even_index. Under
// an odd whole index a negative radicand has a real root, the negated root of
// its size; under any other odd index it is left to pow, which gives NaN.
double real_root(double index, double radicand) {
    if (radicand < 0 && static_cast<double>(truncate_to_int32(index)) == index) {
        return -math::pow(-radicand, 1.0 / index);
    }
    return math::pow(radicand, 1.0 / index);
}

SpellDecision needing(const std::vector<Charge>& charges, std::size_t needed) {
    if (charges.size() < needed) return SpellDecision::too_few(charges.size(), needed);
    return SpellDecision::acting(charges.size());
}

SpellDecision declining_at(SpellReason reason, const std::vector<Charge>& charges,
                           std::size_t position) {
    SpellDecision decision = SpellDecision::declining(reason, charges.size());
    decision.position = position;
    decision.value = charges[position].magnitude;
    return decision;
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

SpellDecision AbsMagician::decide(const std::vector<Charge>& charges) { return needing(charges, 1); }

Spell AbsMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!AbsMagician::decide(charges).acts()) return std::nullopt;
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

SpellDecision LogMagician::decide(const std::vector<Charge>& charges) {
    if (charges.empty()) return needing(charges, 1);
    const std::size_t last = charges.size() - 1;
    if (charges[last].magnitude <= 0) return declining_at(SpellReason::LOG_ARGUMENT, charges, last);
    if (last == 0) return SpellDecision::acting(charges.size());
    const double base = charges[last - 1].magnitude;
    if (base <= 0 || base == 1.0) return declining_at(SpellReason::LOG_BASE, charges, last - 1);
    return SpellDecision::acting(charges.size());
}

Spell LogMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!LogMagician::decide(charges).acts()) return std::nullopt;
    const double argument = charges.back().magnitude;
    if (charges.size() == 1) {
        const double result = math::log10(argument);
        return replacing_last(charges, 1, std::fabs(result), sign_polarity(result), "result_log_" + visual_id);
    }
    const double base = charges[charges.size() - 2].magnitude;
    const double result = math::log(argument) / math::log(base);
    return replacing_last(charges, 2, std::fabs(result), sign_polarity(result), "result_log_" + visual_id);
}

FactorialMagician::FactorialMagician(std::string visual_id_)
    : MagicianAgent("The Replicator", 85, std::move(visual_id_)) {}

bool FactorialMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision FactorialMagician::decide(const std::vector<Charge>& charges) {
    if (charges.empty()) return needing(charges, 1);
    const std::size_t last = charges.size() - 1;
    if (is_negative(charges[last])) return declining_at(SpellReason::NEGATIVE_CHARGE, charges, last);
    return SpellDecision::acting(charges.size());
}

Spell FactorialMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!FactorialMagician::decide(charges).acts()) return std::nullopt;
    const std::int32_t n = truncate_to_int32(std::floor(charges.back().magnitude));
    return replacing_last(charges, 1, factorial(n), ChargePolarity::POSITIVE,
                          "result_factorial_" + visual_id);
}

PowerSorcerer::PowerSorcerer(std::string visual_id_)
    : MagicianAgent("Power Sorcerer", 75, std::move(visual_id_)) {}

bool PowerSorcerer::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision PowerSorcerer::decide(const std::vector<Charge>& charges) { return needing(charges, 2); }

Spell PowerSorcerer::prepare_spell(const std::vector<Charge>& charges) {
    if (!PowerSorcerer::decide(charges).acts()) return std::nullopt;
    const double base = strict_value(charges[charges.size() - 2]);
    const double exponent = strict_value(charges.back());
    const double result = math::pow(base, exponent);
    ChargePolarity polarity = ChargePolarity::NEUTRAL;
    if (result > 0) polarity = ChargePolarity::POSITIVE;
    if (result < 0) polarity = ChargePolarity::NEGATIVE;
    return replacing_last(charges, 2, std::fabs(result), polarity, "result_power_" + visual_id);
}

RootMagician::RootMagician(std::string visual_id_)
    : MagicianAgent("The Extractor", 75, std::move(visual_id_)) {}

bool RootMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision RootMagician::decide(const std::vector<Charge>& charges) {
    if (charges.empty()) return needing(charges, 1);
    if (charges.size() == 1) {
        if (is_negative(charges[0])) return declining_at(SpellReason::NEGATIVE_CHARGE, charges, 0);
        return SpellDecision::acting(1);
    }
    const std::size_t last = charges.size() - 1;
    const double index = charges[last - 1].magnitude;
    if (!negative_under_even_index(index, charges[last].magnitude)) return SpellDecision::acting(charges.size());
    SpellDecision decision = declining_at(SpellReason::NEGATIVE_RADICAND, charges, last);
    decision.bound = index;
    return decision;
}

Spell RootMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!RootMagician::decide(charges).acts()) return std::nullopt;
    if (charges.size() == 1) {
        return replacing_last(charges, 1, std::sqrt(charges.back().magnitude),
                              ChargePolarity::POSITIVE, "result_root_" + visual_id);
    }
    const double root = real_root(charges[charges.size() - 2].magnitude, charges.back().magnitude);
    return replacing_last(charges, 2, root, ChargePolarity::POSITIVE, "result_root_" + visual_id);
}

MultiplyMagician::MultiplyMagician(std::string visual_id_)
    : MagicianAgent("Multiply Magician", 50, std::move(visual_id_)) {}

bool MultiplyMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision MultiplyMagician::decide(const std::vector<Charge>& charges) { return needing(charges, 2); }

Spell MultiplyMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!MultiplyMagician::decide(charges).acts()) return std::nullopt;
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

SpellDecision DivideMagician::decide(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return needing(charges, 2);
    for (std::size_t i = 1; i < charges.size(); ++i) {
        if (near_zero(charges[i].magnitude)) return declining_at(SpellReason::DIVISOR_NEAR_ZERO, charges, i);
    }
    return SpellDecision::acting(charges.size());
}

Spell DivideMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!DivideMagician::decide(charges).acts()) return std::nullopt;
    double quotient = charges.front().magnitude;
    std::size_t negatives = is_negative(charges.front()) ? 1 : 0;
    for (std::size_t i = 1; i < charges.size(); ++i) {
        const Charge& divisor = charges[i];
        quotient /= divisor.magnitude;
        if (is_negative(divisor)) ++negatives;
    }
    return replacing_all(charges, quotient, parity_polarity(quotient, negatives),
                         "result_quotient_" + visual_id);
}

ModuloMagician::ModuloMagician(std::string visual_id_)
    : MagicianAgent("The Scavenger", 50, std::move(visual_id_)) {}

bool ModuloMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision ModuloMagician::decide(const std::vector<Charge>& charges) {
    if (charges.size() < 2) return needing(charges, 2);
    const std::size_t last = charges.size() - 1;
    if (near_zero(charges[last].magnitude)) return declining_at(SpellReason::DIVISOR_NEAR_ZERO, charges, last);
    return SpellDecision::acting(charges.size());
}

Spell ModuloMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!ModuloMagician::decide(charges).acts()) return std::nullopt;
    const double divisor = charges.back().magnitude;
    const double remainder = std::fmod(charges[charges.size() - 2].magnitude, divisor);
    return replacing_last(charges, 2, remainder, ChargePolarity::POSITIVE,
                          "result_remainder_" + visual_id);
}

PlusMagician::PlusMagician(std::string visual_id_)
    : MagicianAgent("Plus Magician", 10, std::move(visual_id_)) {}

bool PlusMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision PlusMagician::decide(const std::vector<Charge>& charges) { return needing(charges, 2); }

Spell PlusMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!PlusMagician::decide(charges).acts()) return std::nullopt;
    const double sum = summed_total(charges);
    return replacing_all(charges, std::fabs(sum), sign_polarity(sum), "result_" + visual_id);
}

MinusMagician::MinusMagician(std::string visual_id_)
    : MagicianAgent("Minus Magician", 10, std::move(visual_id_)) {}

bool MinusMagician::CastSpell(std::vector<Charge>& charges) { return cast_prepared_spell(charges); }

SpellDecision MinusMagician::decide(const std::vector<Charge>& charges) { return needing(charges, 2); }

Spell MinusMagician::prepare_spell(const std::vector<Charge>& charges) {
    if (!MinusMagician::decide(charges).acts()) return std::nullopt;
    double difference = summing_value(charges.front());
    for (std::size_t i = 1; i < charges.size(); ++i) difference -= summing_value(charges[i]);
    return replacing_all(charges, std::fabs(difference), sign_polarity(difference),
                         "result_" + visual_id);
}

}  // namespace qor
