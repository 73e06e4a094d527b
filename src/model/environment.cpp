#include "model/environment.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "model/json_text.h"
#include "model/zone_walk.h"

namespace qor {

namespace {

// A zone id quoted for an error message; bytes that are not UTF-8 are replaced
// so that the message itself can always be shown.
std::string quoted_id(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// An empty JSON array with room for `count` elements.
nlohmann::json array_with_room(std::size_t count) {
    nlohmann::json array = nlohmann::json::array();
    array.get_ref<nlohmann::json::array_t&>().reserve(count);
    return array;
}

}  // namespace

namespace {
std::atomic<std::uint64_t> tree_edits{0};
}  // namespace

void note_tree_edit() noexcept { tree_edits.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t tree_edit_count() noexcept { return tree_edits.load(std::memory_order_relaxed); }

TreeTooDeepError::TreeTooDeepError()
    : std::runtime_error("the zone tree is deeper than the engine supports (" +
                         std::to_string(kMaxZoneDepth) + " nested zones); nothing was changed") {}

std::uint64_t place_work(std::uint64_t slots, std::uint64_t text_bytes) noexcept {
    return 1 + slots + text_bytes / 16;
}

std::uint64_t cast_event_bytes(std::uint64_t name_bytes, std::uint64_t visual_id_bytes) noexcept {
    return 3 * name_bytes + 2 * visual_id_bytes;
}

std::uint64_t zone_event_bytes(std::uint64_t id_bytes, std::uint64_t largest_cast_bytes) noexcept {
    return 2 * id_bytes + std::max(id_bytes, largest_cast_bytes);
}

std::uint64_t event_work(std::uint64_t event_bytes) noexcept { return event_bytes / 16; }

namespace {

// The two counts of one place, each text measured by `size`.
template <typename Size>
PlaceWork work_of_place_by(const Environment& zone, Size size) {
    const std::uint64_t id = size(zone.id);
    std::uint64_t bytes = id;
    for (const Charge& charge : zone.charges) bytes += size(charge.visual_id);
    std::uint64_t largest_cast = 0;
    for (const auto& agent : zone.agents) {
        if (!agent) continue;
        const std::uint64_t name = size(agent->name);
        const std::uint64_t visual_id = size(agent->visual_id);
        bytes += name + visual_id;
        largest_cast = std::max(largest_cast, cast_event_bytes(name, visual_id));
    }
    return {place_work(zone.charges.size() + zone.agents.size() + zone.sub_environments.size(), bytes),
            event_work(zone_event_bytes(id, largest_cast))};
}

struct WrittenSize {
    std::uint64_t operator()(const std::string& text) const { return escaped_size(text); }
};

}  // namespace

PlaceWork work_of_place(const Environment& zone) { return work_of_place_by(zone, WrittenSize{}); }

std::uint64_t place_work(const Environment& zone) { return work_of_place(zone).place; }

std::uint64_t event_work(const Environment& zone) { return work_of_place(zone).event; }

// As work_of_place_by, with every byte 6 wide (\u0001), and the largest cast
// taken at most as large as all casts of the zone together: sizes only.
PlaceWork work_of_place_at_most(const Environment& zone) {
    constexpr std::uint64_t kWidest = 6;
    std::uint64_t bytes = zone.id.size();
    for (const Charge& charge : zone.charges) bytes += charge.visual_id.size();
    std::uint64_t names = 0;
    std::uint64_t visual_ids = 0;
    for (const auto& agent : zone.agents) {
        if (!agent) continue;
        names += agent->name.size();
        visual_ids += agent->visual_id.size();
    }
    bytes += names + visual_ids;
    return {place_work(zone.charges.size() + zone.agents.size() + zone.sub_environments.size(), kWidest * bytes),
            event_work(kWidest * zone_event_bytes(zone.id.size(), cast_event_bytes(names, visual_ids)))};
}

std::string tree_too_large_message() {
    return "the zone tree is larger than one call may walk (" + std::to_string(kMaxTreeWork) +
           " units: at every place a zone stands, 1 for the zone, 1 for each charge, agent and "
           "sub-zone slot, 1 for each 16 bytes of its texts as written, and of the largest event a frame may "
           "write)";
}

TreeTooLargeError::TreeTooLargeError()
    : std::runtime_error(tree_too_large_message() + "; nothing was changed") {}

void ensure_walkable(const Environment& root) {
    walk_zones(root, [](const Environment&) {}, [](const Environment&, const Environment*, std::size_t) { return false; });
}

std::shared_ptr<Environment> find_sub_zone(const Environment& root, std::string_view id) {
    const Environment* first = nullptr;
    std::shared_ptr<Environment> found;
    walk_zones(
        root, [&](const Environment& zone) { if (!first && &zone != &root && zone.id == id) first = &zone; },
        [&](const Environment& zone, const Environment* parent, std::size_t index) {
            if (&zone != first || parent == nullptr) return false;
            found = parent->sub_environments[index];
            return true;
        });
    return found;
}

std::uint64_t tree_work(const Environment& root) {
    std::uint64_t work = 0;
    std::uint64_t largest_event = 0;
    zone_walk_detail::walk<true>(
        root,
        [&](const Environment& zone) {
            const PlaceWork counted = work_of_place(zone);
            work += counted.place;
            largest_event = std::max(largest_event, counted.event);
        },
        [](const Environment&, const Environment*, std::size_t) { return false; });
    return work + largest_event;
}

Environment::Environment(std::string id_) : id(std::move(id_)) {}

Environment::~Environment() {
    // Releasing a sub-zone through its own destructor would nest one call per
    // level, and keeping a stack of pending zones would allocate, which a
    // destructor must not (it runs when memory is short, too). So the zones
    // being released form the stack themselves: `pending` is the sub-zone
    // list being emptied; a sub-zone that only this walk still holds and that
    // has sub-zones of its own takes over the rest of that list, with the
    // zone it was taken from behind it, and its own sub-zones are emptied
    // next. Every zone's destructor then finds no sub-zones left.
    std::vector<std::shared_ptr<Environment>> pending = std::move(sub_environments);
    std::shared_ptr<Environment> resume;  // the zone holding the rest of the outer list
    for (;;) {
        if (pending.empty()) {
            if (!resume) return;
            std::shared_ptr<Environment> holder = std::move(resume);
            pending = std::move(holder->sub_environments);
            resume = std::move(pending.back());  // put there when the holder was taken
            pending.pop_back();
            continue;  // `holder` goes now, with no sub-zones left
        }
        std::shared_ptr<Environment> zone = std::move(pending.back());
        pending.pop_back();
        if (!zone || zone.use_count() != 1 || zone->sub_environments.empty()) continue;
        // The slot just freed takes the link back out: no allocation.
        pending.push_back(std::move(resume));
        pending.swap(zone->sub_environments);
        resume = std::move(zone);
    }
}

bool Environment::reports_frozen() const {
    return is_time_frozen && std::any_of(sub_environments.begin(), sub_environments.end(),
                                         [](const auto& sub_zone) { return sub_zone != nullptr; });
}

nlohmann::json Environment::to_json_with(nlohmann::json sub_zones) const {
    nlohmann::json::array_t charge_array;
    charge_array.reserve(charges.size());
    for (const Charge& charge : charges) charge_array.push_back(charge.to_json());
    nlohmann::json::array_t agent_array;
    agent_array.reserve(agents.size());
    // A missing agent (one written into `agents` directly) is left out, as the
    // sequencer leaves it out of every frame.
    for (const auto& agent : agents) {
        if (agent) agent_array.push_back(agent->to_json());
    }
    nlohmann::json zone = nlohmann::json::object();
    zone["agents"] = std::move(agent_array);
    zone["charges"] = std::move(charge_array);
    zone["id"] = id;
    zone["is_time_frozen"] = reports_frozen();
    zone["sub_environments"] = std::move(sub_zones);
    return zone;
}

nlohmann::json Environment::to_json() const {
    ensure_walkable(*this);
    // Built bottom-up: `open` holds one array of finished sub-zone objects per
    // zone on the current path, and a zone's object is finished when it is left.
    std::vector<nlohmann::json> open;
    open.push_back(array_with_room(1));
    walk_zones(
        *this,
        [&](const Environment& zone) { open.push_back(array_with_room(zone.sub_environments.size())); },
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
    note_tree_edit();
}

void Environment::add_magician(std::shared_ptr<MagicianAgent> agent) {
    if (!agent) throw std::invalid_argument("an agent must be a MagicianAgent, not null");
    MagicianAgent& placed = *agent;
    agents.push_back(std::move(agent));
    // A placed agent waits for its turn, even one that acted somewhere before.
    placed.state = AgentState::DORMANT;
    note_tree_edit();
}

void Environment::add_environment(std::shared_ptr<Environment> child) {
    if (!child) throw std::invalid_argument("a sub-zone must be an Environment, not null");
    if (child->contains(*this)) {
        throw std::invalid_argument("cannot add zone " + quoted_id(child->id) + " under zone " +
                                    quoted_id(id) + ": the zone would become its own ancestor");
    }
    sub_environments.push_back(std::move(child));
    note_tree_edit();
}

bool Environment::contains(const Environment& zone) const {
    // A zone without sub-zones (every new one, as a level is built) needs no walk.
    if (sub_environments.empty()) return this == &zone;
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
