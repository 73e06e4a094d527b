#include "model/zone_text_layout.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace qor {

namespace {

// Reads a compact JSON text of a known form: literals expected in place, and
// values skipped by their structure alone.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    std::size_t position() const { return position_; }
    bool at_end() const { return position_ == text_.size(); }
    bool peek(char c) const { return position_ < text_.size() && text_[position_] == c; }
    bool peek(std::string_view literal) const { return text_.substr(position_, literal.size()) == literal; }

    bool take(char c) {
        if (!peek(c)) return false;
        ++position_;
        return true;
    }

    bool take(std::string_view literal) {
        if (!peek(literal)) return false;
        position_ += literal.size();
        return true;
    }

    bool skip_string() {
        if (!take('"')) return false;
        while (position_ < text_.size()) {
            const char c = text_[position_++];
            if (c == '"') return true;
            if (c == '\\') ++position_;
        }
        return false;
    }

    // Any value, objects and arrays by counting brackets outside strings.
    bool skip_value() {
        std::size_t depth = 0;
        do {
            if (position_ >= text_.size()) return false;
            const char c = text_[position_];
            if (c == '"') {
                if (!skip_string()) return false;
                continue;
            }
            ++position_;
            if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (depth == 0) return false;
                --depth;
            } else if (c == ',' || c == ':') {
                if (depth == 0) return false;
            } else if (depth == 0) {
                // A number or a literal: runs up to the next delimiter.
                while (position_ < text_.size() && text_[position_] != ',' && text_[position_] != '}' &&
                       text_[position_] != ']') {
                    ++position_;
                }
            }
        } while (depth > 0);
        return true;
    }

    // The items of an array whose '[' is next; their beginnings go to `begins`.
    bool skip_items(std::vector<std::size_t>& begins, std::size_t& count) {
        count = 0;
        if (!take('[')) return false;
        if (take(']')) return true;
        do {
            begins.push_back(position_);
            ++count;
            if (!skip_value()) return false;
        } while (take(','));
        return take(']');
    }

private:
    std::string_view text_;
    std::size_t position_ = 0;
};

// A zone's members up to its sub-zones' '[', as write_zone_head writes them.
bool scan_zone_head(Cursor& in, ZoneTextLayout& layout, ZoneTextLayout::Zone& zone) {
    zone.begin = in.position();
    zone.first_item = layout.item_begins.size();
    if (!in.take("{\"agents\":") || !in.skip_items(layout.item_begins, zone.agent_count)) return false;
    zone.agents_close = in.position() - 1;
    if (!in.take(",\"charges\":")) return false;
    zone.charges_open = in.position();
    if (!in.skip_items(layout.item_begins, zone.charge_count)) return false;
    zone.charges_close = in.position() - 1;
    if (!in.take(",\"id\":")) return false;
    zone.id_begin = in.position();
    if (!in.skip_string()) return false;
    zone.id_end = in.position();
    if (in.take(",\"is_time_frozen\":true,")) {
        zone.frozen = true;
    } else if (!in.take(",\"is_time_frozen\":false,")) {
        return false;
    }
    zone.extra_begin = in.position();
    while (!in.peek("\"sub_environments\":[")) {
        if (!in.skip_string() || !in.take(':') || !in.skip_value() || !in.take(',')) return false;
    }
    zone.extra_end = in.position();
    zone.sub_zones_open = zone.extra_end + 19;  // "sub_environments":
    return in.take("\"sub_environments\":[");
}

}  // namespace

bool scan_members(std::string_view text, std::vector<MemberText>& members) {
    members.clear();
    Cursor in(text);
    while (!in.at_end()) {
        const std::size_t key_begin = in.position();
        if (!in.skip_string()) return false;
        const std::size_t key_end = in.position();
        if (!in.take(':')) return false;
        const std::size_t value_begin = in.position();
        if (!in.skip_value()) return false;
        members.push_back({text.substr(key_begin, key_end - key_begin),
                           text.substr(value_begin, in.position() - value_begin)});
        if (!in.take(',') && !in.at_end()) return false;
    }
    return true;
}

bool scan_zone_text_layout(std::string_view text, ZoneTextLayout& layout) {
    layout.clear();
    Cursor in(text);
    std::vector<std::size_t> open_entries;  // the zones whose sub-zones are being read
    do {
        if (!open_entries.empty()) ++layout.zones[open_entries.back()].sub_zone_count;
        open_entries.push_back(layout.zones.size());
        layout.zones.emplace_back();
        if (!scan_zone_head(in, layout, layout.zones.back())) return false;
        // Close every zone that ends here, up to one that has another sub-zone.
        while (!in.peek('{')) {
            if (!in.take("]}")) return false;
            ZoneTextLayout::Zone& closed = layout.zones[open_entries.back()];
            closed.end = in.position();
            closed.after = layout.zones.size();
            open_entries.pop_back();
            if (open_entries.empty()) return in.at_end();
            if (!in.take(',') && !in.peek(']')) return false;
        }
    } while (true);
}

}  // namespace qor
