#pragma once

#include <string>

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

// The JSON text of one charge: exactly to_json_text(charge.to_json()).
std::string charge_json_text(const Charge& charge);

}  // namespace qor
