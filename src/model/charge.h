#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace qor {

// The tag of a charge. Values outside the three named ones can occur (the host
// may make one from any integer) and are carried unchanged.
enum class ChargePolarity : std::int32_t { POSITIVE = 0, NEGATIVE = 1, NEUTRAL = 2 };

// "positive" for 0, "negative" for 1, "neutral" for every other value.
const char* polarity_text(ChargePolarity polarity);

// The unit of value in a level: a number, a sign-like tag and the name under
// which the front end draws it.
struct Charge {
    double magnitude;
    ChargePolarity polarity;
    std::string visual_id;

    Charge(double magnitude, ChargePolarity polarity, std::string visual_id);

    nlohmann::json to_json() const;
};

}  // namespace qor
