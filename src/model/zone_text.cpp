#include "model/zone_text.h"

#include <cstddef>
#include <exception>
#include <vector>

#include "model/json_text.h"
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

// A zone's members up to the opening of its sub-zone array, in key order.
void write_zone_head(JsonTextWriter& out, const Environment& zone, const ExtraRootMembers* extra) {
    out.raw("{\"agents\":[");
    bool first = true;
    for (const auto& agent : zone.agents) {
        if (!agent) continue;
        if (!first) out.raw(',');
        first = false;
        agent->write_json_text(out);
    }
    out.raw("],\"charges\":[");
    for (std::size_t i = 0; i < zone.charges.size(); ++i) {
        if (i > 0) out.raw(',');
        write_charge(out, zone.charges[i]);
    }
    out.raw("],\"id\":");
    out.string(zone.id);
    out.raw(zone.reports_frozen() ? ",\"is_time_frozen\":true," : ",\"is_time_frozen\":false,");
    if (extra != nullptr) extra->write(out);
    out.raw("\"sub_environments\":[");
}

}  // namespace

std::string zone_json_text(const Environment& root, const ExtraRootMembers* extra) {
    // Frames of one level come out at much the same length: starting from the
    // last text's size spares growing a large text step by step.
    // The hint is only a hint: when its room can't be had, the text grows as
    // it is written, as it would without the hint.
    static thread_local std::size_t last_size = 0;
    std::string text;
    try {
        text.reserve(last_size + last_size / 8);
    } catch (const std::exception&) {  // std::bad_alloc, or a size beyond max_size()
        last_size = 0;
    }
    JsonTextWriter out(text);
    // How many sub-zones each open zone on the path has written so far.
    std::vector<std::size_t> written{0};
    walk_zones(
        root,
        [&](const Environment& zone) {
            if (written.back()++ > 0) out.raw(',');
            write_zone_head(out, zone, written.size() == 1 ? extra : nullptr);  // the root
            written.push_back(0);
        },
        [&](const Environment&, const Environment*, std::size_t) {
            written.pop_back();
            out.raw("]}");
            return false;
        });
    last_size = text.size();
    return text;
}

std::string charge_json_text(const Charge& charge) {
    std::string text;
    JsonTextWriter out(text);
    write_charge(out, charge);
    return text;
}

}  // namespace qor
