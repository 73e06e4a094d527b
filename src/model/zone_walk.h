#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
// slots and sub-zone slots, and 1 for every 16 bytes its texts take as they
// are written, escaped (a control character takes 6 bytes, as \u0001). To
// that sum comes the largest event_work(zone) of the tree: the event one
// frame writes about one zone, which names texts again. At the bound a
// frame's text is at most about 100 MB and takes about a second to write; a
// text fills about 16 to 100 bytes per unit.
inline constexpr std::uint64_t kMaxTreeWork = 1000000;

// The work of one place of a zone with `slots` charges, agent slots and
// sub-zone slots whose texts take `text_bytes` as written.
std::uint64_t place_work(std::uint64_t slots, std::uint64_t text_bytes) noexcept;

// The bytes the event of an agent's cast writes for its texts, from their
// written sizes: its name as the event's agent name and in its description
// and the frame's message, its visual id as the event's and in the name of
// the charge its spell makes (the zone's id comes with zone_event_bytes).
std::uint64_t cast_event_bytes(std::uint64_t name_bytes, std::uint64_t visual_id_bytes) noexcept;

// The bytes the largest event about a zone writes for texts, from the
// written size of its id and the largest cast_event_bytes of its agents (0
// without agents): a cast there names the zone in the description and the
// message, its collapse in the event's visual id, description and message.
std::uint64_t zone_event_bytes(std::uint64_t id_bytes, std::uint64_t largest_cast_bytes) noexcept;

// The work of an event of `event_bytes`.
std::uint64_t event_work(std::uint64_t event_bytes) noexcept;

// What one place of `zone` adds to the work of a walk (`place`), and the
// work of the largest event one frame may write about it (`event`).
struct PlaceWork {
    std::uint64_t place;
    std::uint64_t event;
};
PlaceWork work_of_place(const Environment& zone);
std::uint64_t place_work(const Environment& zone);
std::uint64_t event_work(const Environment& zone);

// At least work_of_place(zone), from the sizes of its texts alone: every
// byte counted as written at its widest, 6 bytes.
PlaceWork work_of_place_at_most(const Environment& zone);

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
// every place, and the largest event_work of its zones. Throws
// TreeTooDeepError or TreeTooLargeError past the limits.
std::uint64_t tree_work(const Environment& root);

namespace zone_walk_detail {

// The walk of walk_zones below. With `Exact`, each place counts
// place_work and event_work, and the walk stops as soon as the work passes
// the bound. Otherwise it counts their _at_most forms, which read no text,
// only sizes;
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
    std::uint64_t largest_event = 0;
    bool counted = false;  // the whole tree is known to be within the bound
    const auto count = [&](const Environment& zone) {
        if (counted) return;
        const PlaceWork counted_here = Exact ? work_of_place(zone) : work_of_place_at_most(zone);
        work += counted_here.place;
        if (counted_here.event > largest_event) largest_event = counted_here.event;
        if (work + largest_event <= kMaxTreeWork) return;
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

// The first zone under `root` whose id is `id`, in the frames' order (a zone
// before its sub-zones, these in their order); `root` itself is not looked
// at. Null if there is none. Throws as ensure_walkable() does.
std::shared_ptr<Environment> find_sub_zone(const Environment& root, std::string_view id);

// Throws TreeTooDeepError or TreeTooLargeError when the tree under `root`
// is beyond what the engine walks; changes nothing.
void ensure_walkable(const Environment& root);

}  // namespace qor
