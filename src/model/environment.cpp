#include "model/environment.h"

#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "model/zone_walk.h"

namespace qor {

namespace {

// A zone id quoted for an error message; bytes that are not UTF-8 are replaced
// so that the message itself can always be shown.
std::string quoted_id(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

TreeTooDeepError::TreeTooDeepError()
    : std::runtime_error("the zone tree is deeper than the engine supports (" +
                         std::to_string(kMaxZoneDepth) + " nested zones); nothing was changed") {}

void ensure_supported_depth(const Environment& root) {
    walk_zones_post_order(root, [](const Environment&, const Environment*, std::size_t) {
        return false;
    });
}

Environment::Environment(std::string id_) : id(std::move(id_)) {}

Environment::~Environment() {
    // Releasing a sub-zone through its own destructor would nest one call per
    // level. Instead, a sub-zone that only this walk still holds hands its own
    // sub-zones over before it goes, so every destructor finds none left.
    std::vector<std::shared_ptr<Environment>> releasing = std::move(sub_environments);
    while (!releasing.empty()) {
        std::shared_ptr<Environment> zone = std::move(releasing.back());
        releasing.pop_back();
        if (zone && zone.use_count() == 1) {
            for (auto& sub_zone : zone->sub_environments) releasing.push_back(std::move(sub_zone));
            zone->sub_environments.clear();
        }
    }
}

nlohmann::json Environment::to_json_with(nlohmann::json sub_zones) const {
    nlohmann::json charge_array = nlohmann::json::array();
    for (const Charge& charge : charges) charge_array.push_back(charge.to_json());
    nlohmann::json agent_array = nlohmann::json::array();
    for (const auto& agent : agents) agent_array.push_back(agent->to_json());
    // A zone without sub-zones never reports itself frozen, whatever its flag holds.
    const bool frozen = is_time_frozen && !sub_zones.empty();
    nlohmann::json zone = nlohmann::json::object();
    zone["agents"] = std::move(agent_array);
    zone["charges"] = std::move(charge_array);
    zone["id"] = id;
    zone["is_time_frozen"] = frozen;
    zone["sub_environments"] = std::move(sub_zones);
    return zone;
}

nlohmann::json Environment::to_json() const {
    // Built bottom-up: `open` holds one array of finished sub-zone objects per
    // zone on the current path, and a zone's object is finished when it is left.
    std::vector<nlohmann::json> open;
    open.push_back(nlohmann::json::array());
    walk_zones(
        *this, [&](const Environment&) { open.push_back(nlohmann::json::array()); },
        [&](const Environment& zone, const Environment*, std::size_t) {
            nlohmann::json sub_zones = std::move(open.back());
            open.pop_back();
            open.back().push_back(zone.to_json_with(std::move(sub_zones)));
            return false;
        });
    return std::move(open.back().front());
}

void Environment::add_charge(Charge charge) {
    charges.push_back(std::move(charge));
    note_charges_changed();
}

void Environment::add_magician(std::shared_ptr<MagicianAgent> agent) {
    agents.push_back(std::move(agent));
}

void Environment::add_environment(std::shared_ptr<Environment> child) {
    if (!child) throw std::invalid_argument("a sub-zone must be an Environment, not null");
    if (child->contains(*this)) {
        throw std::invalid_argument("cannot add zone " + quoted_id(child->id) + " under zone " +
                                    quoted_id(id) + ": the zone would become its own ancestor");
    }
    sub_environments.push_back(std::move(child));
}

bool Environment::contains(const Environment& zone) const {
    std::vector<const Environment*> pending{this};
    std::unordered_set<const Environment*> seen{this};
    while (!pending.empty()) {
        const Environment* current = pending.back();
        pending.pop_back();
        if (current == &zone) return true;
        for (const auto& sub_zone : current->sub_environments) {
            if (sub_zone && seen.insert(sub_zone.get()).second) pending.push_back(sub_zone.get());
        }
    }
    return false;
}

}  // namespace qor
