#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/charge.h"
#include "model/magician_agent.h"

namespace qor {

// The value a charge adds to a sum: +magnitude when POSITIVE, -magnitude for
// every other tag (NEUTRAL and unnamed values included).
double summing_value(const Charge& charge);

// The sum of summing_value over the list, in list order.
double summed_total(const std::vector<Charge>& charges);

// While one lives on a thread, summed_total of the list it watches is worked
// out once and then remembered. A frame watches each zone's list while that
// zone's agents are tried (no list changes meanwhile), so that a zone of many
// gates and many charges is summed once, not once per gate.
class RememberedTotal {
public:
    RememberedTotal() noexcept;
    ~RememberedTotal();
    RememberedTotal(const RememberedTotal&) = delete;
    RememberedTotal& operator=(const RememberedTotal&) = delete;

    // From now on the total of `charges` is remembered; another list's is forgotten.
    void watch(const std::vector<Charge>& charges) noexcept;

private:
    friend double summed_total(const std::vector<Charge>& charges);
    RememberedTotal* outer_;
    const std::vector<Charge>* watched_ = nullptr;
    bool known_ = false;
    double total_ = 0.0;
};

// Each kind decides whether its spell takes effect in decide(), works the
// spell out in prepare_spell (which runs that same decide), without changing
// the zone, and CastSpell applies what that gives.

// Turns every NEGATIVE charge POSITIVE, renaming it "purified_<id>".
class AbsMagician : public MagicianAgent {
public:
    explicit AbsMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// Logarithm of the last charge: base 10 alone, else to the base of the one before.
class LogMagician : public MagicianAgent {
public:
    explicit LogMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// Factorial of the whole part of the last charge.
class FactorialMagician : public MagicianAgent {
public:
    explicit FactorialMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// The second-to-last charge raised to the last.
class PowerSorcerer : public MagicianAgent {
public:
    explicit PowerSorcerer(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// Square root of a lone charge, else the second-to-last-th root of the last.
class RootMagician : public MagicianAgent {
public:
    explicit RootMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// The product of every charge.
class MultiplyMagician : public MagicianAgent {
public:
    explicit MultiplyMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// The first charge divided by each following one in turn.
class DivideMagician : public MagicianAgent {
public:
    explicit DivideMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// The second-to-last charge modulo the last.
class ModuloMagician : public MagicianAgent {
public:
    explicit ModuloMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// The signed sum of every charge.
class PlusMagician : public MagicianAgent {
public:
    explicit PlusMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

// The first charge minus every following one, signed as in a sum.
class MinusMagician : public MagicianAgent {
public:
    explicit MinusMagician(std::string visual_id);
    bool CastSpell(std::vector<Charge>& charges) override;
    std::optional<std::vector<Charge>> prepare_spell(const std::vector<Charge>& charges) override;
    SpellDecision decide(const std::vector<Charge>& charges) override;
};

}  // namespace qor
