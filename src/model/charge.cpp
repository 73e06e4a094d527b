#include "model/charge.h"

#include <utility>

namespace qor {

const char* polarity_text(ChargePolarity polarity) {
    switch (static_cast<std::int32_t>(polarity)) {
        case 0: return "positive";
        case 1: return "negative";
        default: return "neutral";
    }
}

Charge::Charge(double magnitude_, ChargePolarity polarity_, std::string visual_id_)
    : magnitude(magnitude_), polarity(polarity_), visual_id(std::move(visual_id_)) {}

nlohmann::json Charge::to_json() const {
    nlohmann::json charge = nlohmann::json::object();
    charge["magnitude"] = magnitude;
    charge["polarity"] = polarity_text(polarity);
    charge["visual_id"] = visual_id;
    return charge;
}

}  // namespace qor
