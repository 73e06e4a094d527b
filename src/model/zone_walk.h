#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/environment.h"

namespace qor {

// The deepest chain of zones (the root counts as one) that the engine walks.
inline constexpr std::size_t kMaxZoneDepth = 100000;

// The most work one call may do on a zone tree, in units of what its walk
// visits and what a frame writes. At every place a zone stands (a zone
// shared by two parents counts twice, and nested shared zones multiply) it
// costs place_work(zone): 1 for the zone, 1 for each of its charges, agent
// slots and sub-zone slots, and 1 for every 16 bytes its texts take in a
// frame (written_zone_id_bytes and the others below): each text as it is
// written, escaped (a control character takes 6 bytes, as \u0001), and as
// many times as one frame may write it. At the bound a frame's text is at
// most about 100 MB and takes about a second to write; a text fills about 16
// to 100 bytes per unit.
inline constexpr std::uint64_t kMaxTreeWork = 1000000;

// How many times one frame may write each text of a zone at one place. A
// zone's id: in the tree, and in the event's description and the frame's
// message of a cast in the zone (of its collapse: the event's visual id,
// description and message, the zone gone from the tree). An agent's name: in
// the tree, and in the event's agent name, description and message of its
// cast; its visual id: in the tree, the event's visual id and the name of
// the charge its spell makes. (An agent placed again after acting stands in
// the tree beside its event.)
inline constexpr std::uint64_t kZoneIdWrites = 3;
inline constexpr std::uint64_t kAgentNameWrites = 4;
inline constexpr std::uint64_t kAgentVisualIdWrites = 3;

// The bytes one frame may write for each text, as above.
std::uint64_t written_zone_id_bytes(std::string_view id) noexcept;
std::uint64_t written_charge_bytes(std::string_view visual_id) noexcept;
std::uint64_t written_agent_bytes(std::string_view name, std::string_view visual_id) noexcept;

// The work of one place of a zone with `slots` charges, agent slots and
// sub-zone slots whose texts take `written_bytes`.
std::uint64_t place_work(std::uint64_t slots, std::uint64_t written_bytes) noexcept;

// What one place of `zone` adds to the work of a walk.
std::uint64_t place_work(const Environment& zone);

// At least place_work(zone), from the sizes of its texts alone: every byte
// counted as written at its widest, 6 bytes.
std::uint64_t place_work_at_most(const Environment& zone);

// The message of TreeTooLargeError, also used by loads that refuse a save of
// such a tree.
std::string tree_too_large_message();

// A zone tree deeper than kMaxZoneDepth. Raised before anything is changed.
class TreeTooDeepError : public std::runtime_error {
public:
    TreeTooDeepError();
};

// A zone tree whose walk would do more than kMaxTreeWork. Raised before
// anything is changed.
class TreeTooLargeError : public std::runtime_error {
public:
    TreeTooLargeError();
};

// The work a walk of the tree under `root` does: place_work summed over
// every place. Throws TreeTooDeepError or TreeTooLargeError past the limits.
std::uint64_t tree_work(const Environment& root);

namespace zone_walk_detail {

// The walk of walk_zones below. With `Exact`, each place counts
// place_work, and the walk stops as soon as the sum passes the bound.
// Otherwise it counts place_work_at_most, which reads no text, only sizes;
// the first time that sum passes the bound the whole tree is counted
// exactly (tree_work), and only a tree beyond the bound is refused. So
// texts are read only for trees whose every text, written as widely as
// possible, could pass the bound.
template <bool Exact, typename Zone, typename Enter, typename Leave>
bool walk(Zone& root, Enter&& enter, Leave&& leave) {
    struct Step {
        Zone* zone;
        std::size_t next_sub_zone;
    };
    std::uint64_t work = 0;
    bool counted = false;  // the whole tree is known to be within the bound
    const auto count = [&](const Environment& zone) {
        if (counted) return;
        work += Exact ? place_work(zone) : place_work_at_most(zone);
        if (work <= kMaxTreeWork) return;
        if (Exact) throw TreeTooLargeError();
        tree_work(root);
        counted = true;
    };
    std::vector<Step> path;
    count(root);
    path.push_back({&root, 0});
    enter(root);
    while (!path.empty()) {
        Step& top = path.back();
        if (top.next_sub_zone < top.zone->sub_environments.size()) {
            Zone* sub_zone = top.zone->sub_environments[top.next_sub_zone++].get();
            if (sub_zone == nullptr) continue;
            if (path.size() >= kMaxZoneDepth) throw TreeTooDeepError();
            count(*sub_zone);
            path.push_back({sub_zone, 0});
            enter(*sub_zone);
            continue;
        }
        Zone* zone = top.zone;
        path.pop_back();
        Zone* parent = path.empty() ? nullptr : path.back().zone;
        std::size_t index = path.empty() ? 0 : path.back().next_sub_zone - 1;
        if (leave(*zone, parent, index)) return true;
    }
    return false;
}

}  // namespace zone_walk_detail

// Visits every zone under and including `root`, depth first, sub-zones in
// their stored order, with an explicit stack instead of recursion.
//   enter(zone)                 runs before the zone's sub-zones;
//   leave(zone, parent, index)  runs after them; `parent` is null for the
//                               root, `index` is the zone's place in the
//                               parent's sub_environments. Returning true
//                               stops the walk.
// Returns true when `leave` stopped it. A zone listed under two parents is
// visited once under each. Throws TreeTooDeepError or TreeTooLargeError
// before visiting a zone beyond the limits.
template <typename Zone, typename Enter, typename Leave>
bool walk_zones(Zone& root, Enter&& enter, Leave&& leave) {
    return zone_walk_detail::walk<false>(root, std::forward<Enter>(enter), std::forward<Leave>(leave));
}

// Visits every zone after its sub-zones (post-order); visit(zone, parent, index).
template <typename Zone, typename Visit>
bool walk_zones_post_order(Zone& root, Visit&& visit) {
    return walk_zones(root, [](Zone&) {}, std::forward<Visit>(visit));
}

// Throws TreeTooDeepError or TreeTooLargeError when the tree under `root`
// is beyond what the engine walks; changes nothing.
void ensure_walkable(const Environment& root);

}  // namespace qor
