#pragma once

#include <string>
#include <string_view>

#include "model/zone_text_layout.h"

namespace qor {

// A frame text with the layout of its parts, as a patch's base or target.
struct LaidOutText {
    std::string_view text;
    const ZoneTextLayout& layout;
};

// The RFC 6902 JSON Patch (compact text) that turns the JSON value of
// `before` into that of `after`, both texts of zones as zone_json_text()
// writes them. Its operations name the smallest members that differ:
// items of "agents" and "charges" are replaced, removed and added one by one
// (a list that keeps none of its items and changes its length is replaced
// whole), "id" and "is_time_frozen" are replaced, the members of an object
// written besides the root's (a frame's "meta") are replaced one by one, and
// sub-zones are compared in place, removed or added whole. Values are copied
// from `after`'s text. The work is linear in the texts' lengths.
std::string zone_text_patch(const LaidOutText& before, const LaidOutText& after);

// The patch that replaces the whole document with `text`.
std::string whole_document_patch(std::string_view text);

// Appends one reference token of an RFC 6901 JSON Pointer, "/" and the
// token with "~" written "~0" and "/" written "~1".
void append_pointer_token(std::string& pointer, std::string_view token);

}  // namespace qor
