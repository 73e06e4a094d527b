#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace qor {

// Where the parts of a zone text lie: byte offsets into the text that
// zone_json_text() wrote, so that two texts of one level can be compared part
// by part without reading them as JSON values.
struct ZoneTextLayout {
    struct Zone {
        std::size_t begin = 0;          // the zone's '{'
        std::size_t end = 0;            // one past its '}'
        std::size_t agents_close = 0;   // the ']' of its agents; the '[' is at agents_open()
        std::size_t charges_open = 0;   // its charges' '['
        std::size_t charges_close = 0;  // their ']'
        std::size_t id_begin = 0;       // its id's string, quotes included
        std::size_t id_end = 0;
        std::size_t extra_begin = 0;    // members written between "is_time_frozen" and
        std::size_t extra_end = 0;      // "sub_environments" (the root's "meta"), commas included
        std::size_t sub_zones_open = 0; // its sub-zones' '['
        std::size_t first_item = 0;     // item_begins[first_item...]: its agents, then its charges
        std::size_t agent_count = 0;
        std::size_t charge_count = 0;
        std::size_t sub_zone_count = 0;
        std::size_t after = 0;          // the index in `zones` of the first zone after its subtree
        bool frozen = false;

        std::size_t agents_open() const { return begin + 10; }  // {"agents":[
    };

    // Every zone place, in the order written: a zone before its sub-zones
    // (its first sub-zone is the next entry), a shared zone at each place.
    std::vector<Zone> zones;
    // Where each agent and charge object begins, in the order written.
    std::vector<std::size_t> item_begins;

    void clear() noexcept {
        zones.clear();
        item_begins.clear();
    }

    // The text of item `item` (an index into item_begins) of `zone`.
    std::size_t item_end(const Zone& zone, std::size_t item) const {
        if (item + 1 == zone.first_item + zone.agent_count) return zone.agents_close;
        if (item + 1 == zone.first_item + zone.agent_count + zone.charge_count) return zone.charges_close;
        return item_begins[item + 1] - 1;  // the comma before the next item
    }
};

// One member of an object's text: its key's string (quotes included) and
// its value's text.
struct MemberText {
    std::string_view key;
    std::string_view value;
};

// The members of `text`, an object's members written `"key":value` and
// separated by commas (a comma after the last is allowed). Returns false for
// text of another form.
bool scan_members(std::string_view text, std::vector<MemberText>& members);

// Finds the layout of a text that zone_json_text() wrote, reading only its
// structure. Returns false, with `layout` unspecified, for a text of any
// other form.
bool scan_zone_text_layout(std::string_view text, ZoneTextLayout& layout);

}  // namespace qor
