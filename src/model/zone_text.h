#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model/environment.h"
#include "model/json_text.h"
#include "model/zone_text_layout.h"

namespace qor {

// Members written into the root zone's object besides its own, such as a
// frame's "meta": their keys sort between "is_time_frozen" and
// "sub_environments". write() appends `"key":value,` for each.
class ExtraRootMembers {
public:
    virtual void write(JsonTextWriter& out) const = 0;

protected:
    ~ExtraRootMembers() = default;
};

// The JSON text of a zone with everything under it: exactly
// to_json_text(root.to_json()), written straight from the tree without
// building a JSON value, so that nothing here allocates in a destructor.
// `extra` members join the root's, as a frame response's "meta" does.
// Throws TreeTooDeepError or TreeTooLargeError for a tree beyond what the
// engine walks.
std::string zone_json_text(const Environment& root, const ExtraRootMembers* extra = nullptr);

// The same text, written into `text` (replacing what it held, its storage
// kept), with the layout of its parts recorded in `layout` when not null.
void write_zone_json_text(std::string& text, const Environment& root, const ExtraRootMembers* extra,
                          ZoneTextLayout* layout);

// What a sequencer knows changed in a tree since it wrote a text of it with
// its layout, when nothing else changed the tree (tree_edit_count()).
struct ZoneTextChanges {
    // The zones whose own members (agents, charges, id, freeze flag) may
    // differ, sorted by address; each is written anew at every place.
    std::vector<const Environment*> zones;
    // A zone (one of `zones`) that lost one sub-zone, the one written as its
    // `removed_ordinal`-th (from 0) in the old text; null when none did.
    const Environment* shrunk = nullptr;
    std::size_t removed_ordinal = 0;
    // A zone whose first place's entry in the old layout is wanted.
    const Environment* watched = nullptr;
};

// Writes the text and layout that write_zone_json_text() would write for
// `root`, copying from `old_text` (laid out as `old_layout`, written by
// write_zone_json_text or this function for the same tree before
// `changes`) every zone's members that `changes` does not name, and writing
// `extra` and the named zones' members anew. The work is a copy of the old
// text, a walk of the zones and the writing of what changed. Sets
// `watched_entry` to the old entry of `changes.watched`'s first place (npos
// when it has none). Returns false, with `text` and `layout` unspecified,
// when the tree does not have the old text's shape as `changes` says.
bool rewrite_zone_json_text(std::string& text, ZoneTextLayout& layout, const Environment& root,
                            const ExtraRootMembers* extra, std::string_view old_text,
                            const ZoneTextLayout& old_layout, const ZoneTextChanges& changes,
                            std::size_t& watched_entry);

// The JSON text of one charge: exactly to_json_text(charge.to_json()).
std::string charge_json_text(const Charge& charge);

}  // namespace qor
