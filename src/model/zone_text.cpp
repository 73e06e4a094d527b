#include "model/zone_text.h"

#include <cstddef>
#include <exception>
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

std::string charge_json_text(const Charge& charge) {
    std::string text;
    JsonTextWriter out(text);
    write_charge(out, charge);
    out.flush();
    return text;
}

}  // namespace qor
