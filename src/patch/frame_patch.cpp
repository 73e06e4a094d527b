#include "patch/frame_patch.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

namespace {

using Zone = ZoneTextLayout::Zone;

std::uint64_t mix(std::uint64_t hash, std::uint64_t word) {
    hash ^= word;
    hash *= 0x9E3779B97F4A7C15ULL;
    return hash ^ (hash >> 32);
}

std::uint64_t hash_bytes(std::string_view bytes) {
    std::uint64_t hash = mix(0, bytes.size());
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, sizeof word);
        hash = mix(hash, word);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
    return mix(hash, tail);
}

// How many bytes `a` and `b` have in common at their start, or at their end.
constexpr std::size_t kBlock = 256;

std::size_t common_prefix(std::string_view a, std::string_view b) {
    const std::size_t both = std::min(a.size(), b.size());
    std::size_t n = 0;
    while (n + kBlock <= both && std::memcmp(a.data() + n, b.data() + n, kBlock) == 0) n += kBlock;
    while (n < both && a[n] == b[n]) ++n;
    return n;
}

std::size_t common_suffix(std::string_view a, std::string_view b) {
    const std::size_t both = std::min(a.size(), b.size());
    std::size_t n = 0;
    while (n + kBlock <= both &&
           std::memcmp(a.data() + a.size() - n - kBlock, b.data() + b.size() - n - kBlock, kBlock) == 0) {
        n += kBlock;
    }
    while (n < both && a[a.size() - 1 - n] == b[b.size() - 1 - n]) ++n;
    return n;
}

void append_index(std::string& pointer, std::size_t index) {
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, index);
    pointer.push_back('/');
    pointer.append(digits, written.ptr);
}

// One of the two texts, with the hashes of its zones' subtrees worked out
// as they are needed.
class Side {
public:
    explicit Side(const LaidOutText& laid_out) : text_(laid_out.text), layout_(laid_out.layout) {}

    std::string_view text() const { return text_; }

    const Zone& zone(std::size_t index) const { return layout_.zones[index]; }
    std::string_view span(std::size_t begin, std::size_t end) const { return text_.substr(begin, end - begin); }
    std::string_view zone_text(std::size_t index) const { return span(zone(index).begin, zone(index).end); }
    // A zone's members before its sub-zones, up to their '['.
    std::string_view head(std::size_t index) const { return span(zone(index).begin, zone(index).sub_zones_open + 1); }
    std::string_view id(std::size_t index) const { return span(zone(index).id_begin, zone(index).id_end); }

    std::string_view item(std::size_t item_index, const Zone& owner) const {
        return span(layout_.item_begins[item_index], layout_.item_end(owner, item_index));
    }

    std::uint64_t head_hash(std::size_t index) const {
        const Zone& z = zone(index);
        return mix(hash_bytes(span(z.begin, z.id_end)), hash_bytes(span(z.extra_begin, z.sub_zones_open)));
    }

    // Appends the indices of the zone's sub-zones.
    void sub_zones(std::size_t index, std::vector<std::size_t>& out) const {
        for (std::size_t sub = index + 1; sub < zone(index).after; sub = zone(sub).after) out.push_back(sub);
    }

    // A hash of the zone's subtree that leaves out every "is_time_frozen":
    // subtrees whose texts differ only in their flags hash alike. It is made
    // of the head's bytes around the flag and the sub-zones' hashes, so equal
    // texts always hash alike.
    std::uint64_t shape_hash(std::size_t index) {
        if (hashed_.empty()) {
            hashes_.assign(layout_.zones.size(), 0);
            hashed_.assign(layout_.zones.size(), 0);
        }
        struct Step {
            std::size_t zone;
            std::size_t next_sub_zone;
            std::uint64_t hash;
        };
        std::vector<Step> path;
        if (!hashed_[index]) path.push_back({index, index + 1, head_hash(index)});
        while (!path.empty()) {
            Step& top = path.back();
            if (top.next_sub_zone < zone(top.zone).after) {
                const std::size_t sub = top.next_sub_zone;
                top.next_sub_zone = zone(sub).after;
                if (hashed_[sub]) {
                    top.hash = mix(top.hash, hashes_[sub]);
                } else {
                    path.push_back({sub, sub + 1, head_hash(sub)});  // `top` is not used after this
                }
                continue;
            }
            const std::size_t done = top.zone;
            hashes_[done] = mix(top.hash, zone(done).sub_zone_count);
            hashed_[done] = 1;
            path.pop_back();
            if (!path.empty()) path.back().hash = mix(path.back().hash, hashes_[done]);
        }
        return hashes_[index];
    }

    // The same hash leaving out the zone's own id as well: a zone that was
    // only renamed keeps it.
    std::uint64_t renamed_shape_hash(std::size_t index) {
        shape_hash(index);  // the sub-zones' hashes
        const Zone& z = zone(index);
        std::uint64_t hash = mix(hash_bytes(span(z.begin, z.id_begin)), hash_bytes(span(z.extra_begin, z.sub_zones_open)));
        for (std::size_t sub = index + 1; sub < z.after; sub = zone(sub).after) hash = mix(hash, hashes_[sub]);
        return mix(hash, z.sub_zone_count);
    }

private:
    std::string_view text_;
    const ZoneTextLayout& layout_;
    std::vector<std::uint64_t> hashes_;
    std::vector<char> hashed_;
};

// The agents or the charges of one zone in one text.
struct ItemList {
    const Side& side;
    const Zone& zone;
    std::size_t first;
    std::size_t count;
    std::size_t open;
    std::size_t close;

    std::string_view item(std::size_t k) const { return side.item(first + k, zone); }
    std::string_view whole() const { return side.span(open, close + 1); }
};

ItemList agents_of(const Side& side, std::size_t index) {
    const Zone& zone = side.zone(index);
    return {side, zone, zone.first_item, zone.agent_count, zone.agents_open(), zone.agents_close};
}

ItemList charges_of(const Side& side, std::size_t index) {
    const Zone& zone = side.zone(index);
    return {side, zone, zone.first_item + zone.agent_count, zone.charge_count, zone.charges_open,
            zone.charges_close};
}

// A sub-zone of the old text compared in place with one of the new; `place`
// is its index in the old list.
struct ZonePair {
    std::size_t before;
    std::size_t after;
    std::size_t place;
};

class Differ {
public:
    Differ(const LaidOutText& before, const LaidOutText& after) : before_(before), after_(after) {}

    // False when a text is not of the form its layout says.
    bool run(std::string& out);

private:
    // A zone pair being compared, with its sub-zones' pairs and the places
    // removed and added, kept on shared stacks.
    struct Task {
        std::size_t path_size;
        std::size_t pairs_begin;
        std::size_t next_pair;
        std::size_t pairs_end;
        std::size_t after_sub_zones_begin;  // into after_sub_zones_
        std::size_t removed_begin;          // old places [removed_begin, removed_end)
        std::size_t removed_end;
        std::size_t added_begin;            // new places [added_begin, added_end)
        std::size_t added_end;
    };

    Task start(std::size_t before_zone, std::size_t after_zone);
    void finish(const Task& task);
    void compare_heads(std::size_t before_zone, std::size_t after_zone);
    void compare_items(std::string_view member, const ItemList& before, const ItemList& after);
    void compare_extra_members(std::string_view before, std::string_view after);
    bool same_shape(std::size_t before_zone, std::size_t after_zone);
    bool same_shape_but_id(std::size_t before_zone, std::size_t after_zone);
    bool known_equal(std::size_t before_zone, std::size_t after_zone) const;

    void op(std::string_view name, std::string_view value);
    void op(std::string_view name) { op(name, std::string_view()); }
    std::size_t push_token(std::string_view token) {
        const std::size_t size = path_.size();
        append_pointer_token(path_, token);
        return size;
    }
    std::size_t push_index(std::size_t index) {
        const std::size_t size = path_.size();
        append_index(path_, index);
        return size;
    }

    Side before_;
    Side after_;
    std::string* out_ = nullptr;
    bool first_op_ = true;
    bool well_formed_ = true;
    std::string path_;
    std::vector<ZonePair> pairs_;
    std::vector<std::size_t> before_sub_zones_;
    std::vector<std::size_t> after_sub_zones_;
    // The texts agree from the roots' sub-zones up to old offset
    // `same_until_` (the new text at that place plus `new_shift_` minus
    // `old_shift_`), and over their last `same_tail_` bytes: sub-zones that
    // lie there, at the same place in both, are equal and need no walk.
    std::size_t old_shift_ = 0;
    std::size_t new_shift_ = 0;
    std::size_t same_until_ = 0;
    std::size_t same_tail_ = 0;
};

void Differ::op(std::string_view name, std::string_view value) {
    std::string& out = *out_;
    out.append(first_op_ ? "{\"op\":\"" : ",{\"op\":\"");
    first_op_ = false;
    out.append(name);
    out.append("\",\"path\":\"");
    out.append(path_);
    if (value.data() != nullptr) {
        out.append("\",\"value\":");
        out.append(value);
        out.push_back('}');
    } else {
        out.append("\"}");
    }
}

bool Differ::run(std::string& out) {
    out_ = &out;
    out.push_back('[');
    old_shift_ = before_.zone(0).sub_zones_open;
    new_shift_ = after_.zone(0).sub_zones_open;
    same_until_ = old_shift_ + common_prefix(before_.text().substr(old_shift_), after_.text().substr(new_shift_));
    same_tail_ = common_suffix(before_.text(), after_.text());
    std::vector<Task> tasks;
    tasks.push_back(start(0, 0));
    while (!tasks.empty() && well_formed_) {
        Task& top = tasks.back();
        if (top.next_pair == top.pairs_end) {
            finish(top);
            tasks.pop_back();
            continue;
        }
        const ZonePair pair = pairs_[top.next_pair++];
        path_.resize(top.path_size);
        push_token("sub_environments");
        push_index(pair.place);
        tasks.push_back(start(pair.before, pair.after));  // `top` is not used after this
    }
    out.push_back(']');
    return well_formed_;
}

Differ::Task Differ::start(std::size_t before_zone, std::size_t after_zone) {
    compare_heads(before_zone, after_zone);
    Task task{};
    task.path_size = path_.size();
    task.pairs_begin = task.next_pair = task.pairs_end = pairs_.size();
    const std::size_t before_begin = before_sub_zones_.size();
    task.after_sub_zones_begin = after_sub_zones_.size();
    before_.sub_zones(before_zone, before_sub_zones_);
    after_.sub_zones(after_zone, after_sub_zones_);
    const std::size_t* old_zones = before_sub_zones_.data() + before_begin;
    const std::size_t* new_zones = after_sub_zones_.data() + task.after_sub_zones_begin;
    const std::size_t old_count = before_sub_zones_.size() - before_begin;
    const std::size_t new_count = after_sub_zones_.size() - task.after_sub_zones_begin;
    const auto pair_at = [&](std::size_t old_place, std::size_t new_place) {
        if (known_equal(old_zones[old_place], new_zones[new_place])) return;
        pairs_.push_back({old_zones[old_place], new_zones[new_place], old_place});
    };

    // Old [first, old_last) and new [first, new_last) are what is left to match.
    std::size_t first = 0;
    std::size_t old_last = old_count;
    std::size_t new_last = new_count;
    if (old_count != new_count) {
        // Zones that kept their shape (all but their flags) at either end
        // stay in place; then zones that kept it but for their id (renamed);
        // then zones that kept their id; the rest are paired in order, and
        // what is left over is removed or added. Each pair is compared in
        // place (at no cost beyond a walk when it is equal), so the work
        // stays linear whatever the depth.
        for (const auto alike : {&Differ::same_shape, &Differ::same_shape_but_id}) {
            while (first < old_last && first < new_last && (this->*alike)(old_zones[first], new_zones[first])) {
                pair_at(first, first);
                ++first;
            }
            while (first < old_last && first < new_last &&
                   (this->*alike)(old_zones[old_last - 1], new_zones[new_last - 1])) {
                pair_at(--old_last, --new_last);
            }
        }
        while (first < old_last && first < new_last &&
               before_.id(old_zones[first]) == after_.id(new_zones[first])) {
            pair_at(first, first);
            ++first;
        }
        while (first < old_last && first < new_last &&
               before_.id(old_zones[old_last - 1]) == after_.id(new_zones[new_last - 1])) {
            pair_at(--old_last, --new_last);
        }
    }
    for (; first < old_last && first < new_last; ++first) pair_at(first, first);
    task.removed_begin = first;
    task.removed_end = old_last;
    task.added_begin = first;
    task.added_end = new_last;
    task.pairs_end = pairs_.size();
    before_sub_zones_.resize(before_begin);
    return task;
}

// After the sub-zones compared in place: the old ones left over go, last
// first, so that each path names a zone of the old list; then the new ones
// come, first first, each at its place in the new list.
void Differ::finish(const Task& task) {
    path_.resize(task.path_size);
    push_token("sub_environments");
    const std::size_t list_path = path_.size();
    for (std::size_t place = task.removed_end; place-- > task.removed_begin;) {
        push_index(place);
        op("remove");
        path_.resize(list_path);
    }
    for (std::size_t place = task.added_begin; place < task.added_end; ++place) {
        push_index(place);
        op("add", after_.zone_text(after_sub_zones_[task.after_sub_zones_begin + place]));
        path_.resize(list_path);
    }
    path_.resize(task.path_size);
    pairs_.resize(task.pairs_begin);
    after_sub_zones_.resize(task.after_sub_zones_begin);
}

bool Differ::known_equal(std::size_t before_zone, std::size_t after_zone) const {
    const Zone& old_zone = before_.zone(before_zone);
    const Zone& new_zone = after_.zone(after_zone);
    if (old_zone.end - old_zone.begin != new_zone.end - new_zone.begin) return false;
    if (old_zone.begin - old_shift_ == new_zone.begin - new_shift_ && old_zone.end <= same_until_) return true;
    const std::size_t old_size = before_.text().size();
    return old_size - old_zone.end == after_.text().size() - new_zone.end && old_size - old_zone.begin <= same_tail_;
}

bool Differ::same_shape(std::size_t before_zone, std::size_t after_zone) {
    return before_.shape_hash(before_zone) == after_.shape_hash(after_zone);
}

bool Differ::same_shape_but_id(std::size_t before_zone, std::size_t after_zone) {
    return before_.renamed_shape_hash(before_zone) == after_.renamed_shape_hash(after_zone);
}

void Differ::compare_heads(std::size_t before_zone, std::size_t after_zone) {
    if (before_.head(before_zone) == after_.head(after_zone)) return;
    compare_items("agents", agents_of(before_, before_zone), agents_of(after_, after_zone));
    compare_items("charges", charges_of(before_, before_zone), charges_of(after_, after_zone));
    const std::size_t zone_path = path_.size();
    if (before_.id(before_zone) != after_.id(after_zone)) {
        push_token("id");
        op("replace", after_.id(after_zone));
        path_.resize(zone_path);
    }
    const Zone& old_zone = before_.zone(before_zone);
    const Zone& new_zone = after_.zone(after_zone);
    if (old_zone.frozen != new_zone.frozen) {
        push_token("is_time_frozen");
        op("replace", new_zone.frozen ? "true" : "false");
        path_.resize(zone_path);
    }
    compare_extra_members(before_.span(old_zone.extra_begin, old_zone.extra_end),
                          after_.span(new_zone.extra_begin, new_zone.extra_end));
}

void Differ::compare_items(std::string_view member, const ItemList& before, const ItemList& after) {
    if (before.whole() == after.whole()) return;
    const std::size_t both = std::min(before.count, after.count);
    std::size_t kept_first = 0;
    while (kept_first < both && before.item(kept_first) == after.item(kept_first)) ++kept_first;
    std::size_t kept_last = 0;
    while (kept_first + kept_last < both &&
           before.item(before.count - 1 - kept_last) == after.item(after.count - 1 - kept_last)) {
        ++kept_last;
    }
    const std::size_t removed = before.count - kept_first - kept_last;
    const std::size_t added = after.count - kept_first - kept_last;
    const std::size_t zone_path = push_token(member);
    if (kept_first + kept_last == 0 && removed > 0 && added > 0 && removed != added) {
        op("replace", after.whole());  // nothing kept, and a new length: the list is new
        path_.resize(zone_path);
        return;
    }
    const std::size_t list_path = path_.size();
    const std::size_t replaced = std::min(removed, added);
    for (std::size_t k = 0; k < replaced; ++k) {
        push_index(kept_first + k);
        op("replace", after.item(kept_first + k));
        path_.resize(list_path);
    }
    for (std::size_t k = removed; k-- > replaced;) {
        push_index(kept_first + k);
        op("remove");
        path_.resize(list_path);
    }
    for (std::size_t k = replaced; k < added; ++k) {
        push_index(kept_first + k);
        op("add", after.item(kept_first + k));
        path_.resize(list_path);
    }
    path_.resize(zone_path);
}

// The members written besides the root's own ("meta"): each is compared by
// key, and an object that keeps its keys has its changed members replaced.
void Differ::compare_extra_members(std::string_view before, std::string_view after) {
    if (before == after) return;
    std::vector<MemberText> old_members;
    std::vector<MemberText> new_members;
    if (!scan_members(before, old_members) || !scan_members(after, new_members)) {
        well_formed_ = false;
        return;
    }
    const auto key_token = [](std::string_view key) { return key.substr(1, key.size() - 2); };
    const auto inner = [](std::string_view object) { return object.substr(1, object.size() - 2); };
    const std::size_t zone_path = path_.size();
    for (const MemberText& old_member : old_members) {
        const auto found = std::find_if(new_members.begin(), new_members.end(),
                                        [&](const MemberText& m) { return m.key == old_member.key; });
        push_token(key_token(old_member.key));
        if (found == new_members.end()) {
            op("remove");
        } else if (found->value != old_member.value) {
            std::vector<MemberText> old_inner;
            std::vector<MemberText> new_inner;
            const bool objects = old_member.value.front() == '{' && found->value.front() == '{' &&
                                 scan_members(inner(old_member.value), old_inner) &&
                                 scan_members(inner(found->value), new_inner) &&
                                 std::equal(old_inner.begin(), old_inner.end(), new_inner.begin(), new_inner.end(),
                                            [](const MemberText& a, const MemberText& b) { return a.key == b.key; });
            if (!objects) {
                op("replace", found->value);
            } else {
                const std::size_t member_path = path_.size();
                for (std::size_t i = 0; i < new_inner.size(); ++i) {
                    if (old_inner[i].value == new_inner[i].value) continue;
                    push_token(key_token(new_inner[i].key));
                    op("replace", new_inner[i].value);
                    path_.resize(member_path);
                }
            }
        }
        path_.resize(zone_path);
    }
    for (const MemberText& new_member : new_members) {
        const bool known = std::any_of(old_members.begin(), old_members.end(),
                                       [&](const MemberText& m) { return m.key == new_member.key; });
        if (known) continue;
        push_token(key_token(new_member.key));
        op("add", new_member.value);
        path_.resize(zone_path);
    }
}

}  // namespace

void append_pointer_token(std::string& pointer, std::string_view token) {
    pointer.push_back('/');
    for (const char c : token) {
        if (c == '~') {
            pointer.append("~0");
        } else if (c == '/') {
            pointer.append("~1");
        } else {
            pointer.push_back(c);
        }
    }
}

std::string whole_document_patch(std::string_view text) {
    std::string patch;
    patch.reserve(text.size() + 40);
    patch.append("[{\"op\":\"replace\",\"path\":\"\",\"value\":");
    patch.append(text);
    patch.append("}]");
    return patch;
}

std::string zone_text_patch(const LaidOutText& before, const LaidOutText& after) {
    std::string patch;
    if (before.layout.zones.empty() || after.layout.zones.empty() || !Differ(before, after).run(patch)) {
        return whole_document_patch(after.text);
    }
    return patch;
}

}  // namespace qor
