#include "model/zone_text.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <string_view>
#include <vector>

#include "model/json_text.h"
#include "model/thread_local.h"
#include "model/zone_walk.h"

namespace qor {

namespace {

void write_charge(JsonTextWriter& out, const Charge& charge) {
    out.raw("{\"magnitude\":");
    out.number(charge.magnitude);
    out.raw(",\"polarity\":\"");
    out.raw(polarity_text(charge.polarity));
    out.raw("\",\"visual_id\":");
    out.string(charge.visual_id);
    out.raw('}');
}

// A zone's members up to the opening of its sub-zone array, in key order;
// where they lie goes into `entry` when not null.
void write_zone_head(JsonTextWriter& out, const Environment& zone,
                     const ExtraRootMembers* extra, ZoneTextLayout* layout) {
    ZoneTextLayout::Zone* entry = layout != nullptr ? &layout->zones.back() : nullptr;
    const auto record_item = [&] {
        if (entry != nullptr) layout->item_begins.push_back(out.size());
    };
    out.raw("{\"agents\":[");
    bool first = true;
    for (const auto& agent : zone.agents) {
        if (!agent) continue;
        if (!first) out.raw(',');
        first = false;
        record_item();
        agent->write_json_text(out);
    }
    if (entry != nullptr) entry->agents_close = out.size();
    out.raw("],\"charges\":[");
    if (entry != nullptr) entry->charges_open = out.size() - 1;
    for (std::size_t i = 0; i < zone.charges.size(); ++i) {
        if (i > 0) out.raw(',');
        record_item();
        write_charge(out, zone.charges[i]);
    }
    if (entry != nullptr) entry->charges_close = out.size();
    out.raw("],\"id\":");
    if (entry != nullptr) entry->id_begin = out.size();
    out.string(zone.id);
    if (entry != nullptr) entry->id_end = out.size();
    const bool frozen = zone.reports_frozen();
    if (frozen) {  // each literal's length known where it is written
        out.raw(",\"is_time_frozen\":true,");
    } else {
        out.raw(",\"is_time_frozen\":false,");
    }
    if (entry != nullptr) entry->extra_begin = out.size();
    if (extra != nullptr) extra->write(out);
    if (entry != nullptr) {
        entry->extra_end = out.size();
        entry->frozen = frozen;
        entry->agent_count = layout->item_begins.size() - entry->first_item;
        entry->charge_count = zone.charges.size();
        entry->agent_count -= entry->charge_count;
    }
    out.raw("\"sub_environments\":[");
    if (entry != nullptr) entry->sub_zones_open = out.size() - 1;
}

}  // namespace

std::string zone_json_text(const Environment& root, const ExtraRootMembers* extra) {
    std::string text;
    write_zone_json_text(text, root, extra, nullptr);
    return text;
}

void write_zone_json_text(std::string& text, const Environment& root, const ExtraRootMembers* extra,
                          ZoneTextLayout* layout) {
    // Frames of one level come out at much the same length: starting from the
    // last text's size spares growing a large text step by step.
    // The hint is only a hint: when its room can't be had, the text grows as
    // it is written, as it would without the hint.
    static QOR_THREAD_LOCAL std::size_t last_size = 0;
    text.clear();
    if (layout != nullptr) layout->clear();
    try {
        text.reserve(last_size + last_size / 8);
    } catch (const std::exception&) {  // std::bad_alloc, or a size beyond max_size()
        last_size = 0;
    }
    JsonTextWriter out(text);
    // How many sub-zones each open zone on the path has written so far, and
    // with a layout, the index of each open zone's entry.
    std::vector<std::size_t> written{0};
    std::vector<std::size_t> open_entries;
    walk_zones(
        root,
        [&](const Environment& zone) {
            if (written.back()++ > 0) out.raw(',');
            if (layout != nullptr) {
                if (!open_entries.empty()) ++layout->zones[open_entries.back()].sub_zone_count;
                open_entries.push_back(layout->zones.size());
                ZoneTextLayout::Zone entry;
                entry.begin = out.size();
                entry.first_item = layout->item_begins.size();
                layout->zones.push_back(entry);
            }
            write_zone_head(out, zone, written.size() == 1 ? extra : nullptr, layout);  // the root
            written.push_back(0);
        },
        [&](const Environment&, const Environment*, std::size_t) {
            written.pop_back();
            out.raw("]}");
            if (layout != nullptr) {
                ZoneTextLayout::Zone& entry = layout->zones[open_entries.back()];
                entry.end = out.size();
                entry.after = layout->zones.size();
                open_entries.pop_back();
            }
            return false;
        });
    out.flush();
    last_size = text.size();
}

namespace {

// One place of the old text copied into the new: the zone's members as
// they were, with `extra` written anew in place of the old extra members,
// and the zone's entry and item offsets moved to where they now lie.
void copy_zone_head(JsonTextWriter& out, ZoneTextLayout& layout, std::string_view old_text,
                    const ZoneTextLayout& old_layout, std::size_t old_entry, const ExtraRootMembers* extra) {
    const ZoneTextLayout::Zone& old = old_layout.zones[old_entry];
    const std::size_t begin = out.size();
    out.raw(old_text.substr(old.begin, old.extra_begin - old.begin));
    const std::size_t extra_begin = out.size();
    if (extra != nullptr) extra->write(out);
    const std::size_t extra_end = out.size();
    out.raw(old_text.substr(old.extra_end, old.sub_zones_open + 1 - old.extra_end));
    // Everything up to the id lies before the extra members.
    const auto moved = [&](std::size_t offset) { return offset - old.begin + begin; };
    ZoneTextLayout::Zone entry = old;
    entry.begin = begin;
    entry.agents_close = moved(old.agents_close);
    entry.charges_open = moved(old.charges_open);
    entry.charges_close = moved(old.charges_close);
    entry.id_begin = moved(old.id_begin);
    entry.id_end = moved(old.id_end);
    entry.extra_begin = extra_begin;
    entry.extra_end = extra_end;
    entry.sub_zones_open = old.sub_zones_open - old.extra_end + extra_end;
    entry.first_item = layout.item_begins.size();
    entry.sub_zone_count = 0;
    layout.zones.back() = entry;
    const std::size_t items = old.agent_count + old.charge_count;
    for (std::size_t k = old.first_item; k < old.first_item + items; ++k) {
        layout.item_begins.push_back(old_layout.item_begins[k] - old.begin + begin);
    }
}

}  // namespace

bool rewrite_zone_json_text(std::string& text, ZoneTextLayout& layout, const Environment& root,
                            const ExtraRootMembers* extra, std::string_view old_text,
                            const ZoneTextLayout& old_layout, const ZoneTextChanges& changes,
                            std::size_t& watched_entry) {
    watched_entry = std::string_view::npos;
    text.clear();
    layout.clear();
    if (old_layout.zones.empty()) return false;
    text.reserve(old_text.size() + old_text.size() / 8);
    layout.zones.reserve(old_layout.zones.size());
    layout.item_begins.reserve(old_layout.item_begins.size() + 16);
    JsonTextWriter out(text);
    const auto changed = [&](const Environment& zone) {
        return std::binary_search(changes.zones.begin(), changes.zones.end(), &zone);
    };
    // An open place: its zone, its next sub-zone, its new and old entries,
    // the old entry of its next old sub-zone, and whether its removed
    // sub-zone was passed over.
    struct Open {
        const Environment* zone;
        std::size_t next_sub_zone;
        std::size_t entry;
        std::size_t old_entry;
        std::size_t next_old_sub_zone;
        bool passed_removed;
    };
    std::vector<Open> path;
    const auto enter = [&](const Environment& zone, std::size_t old_entry) {
        if (old_entry >= old_layout.zones.size()) return false;
        if (!path.empty()) {
            if (layout.zones[path.back().entry].sub_zone_count++ > 0) out.raw(',');
        }
        if (&zone == changes.watched && watched_entry == std::string_view::npos) watched_entry = old_entry;
        const ExtraRootMembers* own_extra = path.empty() ? extra : nullptr;
        layout.zones.emplace_back();
        if (changed(zone)) {
            layout.zones.back().begin = out.size();
            layout.zones.back().first_item = layout.item_begins.size();
            write_zone_head(out, zone, own_extra, &layout);
        } else {
            copy_zone_head(out, layout, old_text, old_layout, old_entry, own_extra);
        }
        path.push_back({&zone, 0, layout.zones.size() - 1, old_entry, old_entry + 1, false});
        return true;
    };
    // Passes over the removed sub-zone when the place has come to it.
    const auto pass_removed = [&](Open& open) {
        if (open.zone != changes.shrunk || open.passed_removed) return;
        if (layout.zones[open.entry].sub_zone_count != changes.removed_ordinal) return;
        if (open.next_old_sub_zone >= old_layout.zones[open.old_entry].after) return;
        open.next_old_sub_zone = old_layout.zones[open.next_old_sub_zone].after;
        open.passed_removed = true;
    };
    if (!enter(root, 0)) return false;
    while (!path.empty()) {
        Open& top = path.back();
        pass_removed(top);
        if (top.next_sub_zone < top.zone->sub_environments.size()) {
            const Environment* sub_zone = top.zone->sub_environments[top.next_sub_zone++].get();
            if (sub_zone == nullptr) continue;
            if (path.size() >= kMaxZoneDepth) return false;
            const std::size_t old_entry = top.next_old_sub_zone;
            if (old_entry >= old_layout.zones[top.old_entry].after) return false;
            top.next_old_sub_zone = old_layout.zones[old_entry].after;
            if (!enter(*sub_zone, old_entry)) return false;  // `top` is not used after this
            continue;
        }
        if (top.next_old_sub_zone != old_layout.zones[top.old_entry].after) return false;
        out.raw("]}");
        ZoneTextLayout::Zone& entry = layout.zones[top.entry];
        entry.end = out.size();
        entry.after = layout.zones.size();
        path.pop_back();
    }
    out.flush();
    return true;
}

std::string charge_json_text(const Charge& charge) {
    std::string text;
    JsonTextWriter out(text);
    write_charge(out, charge);
    out.flush();
    return text;
}

}  // namespace qor
