#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qor {

// The event kinds: the "type" of an event and the "status" of a frame response.
extern const char* const QOR_FRAME_EVENT_RUNNING;
extern const char* const QOR_FRAME_EVENT_FINISHED;
extern const char* const QOR_FRAME_EVENT_ERROR;
extern const char* const QOR_FRAME_EVENT_LEVEL_COMPLETE;  // declared with the others; unused
extern const char* const QOR_FRAME_EVENT_COLLAPSE_ZONE;
extern const char* const QOR_FRAME_EVENT_CAST_SPELL;

// What happened in one frame.
struct FrameEvent {
    std::string agent_name;
    std::string visual_id;
    std::string type;
    std::string description;  // also the frame's message

    nlohmann::json to_json() const;
};

}  // namespace qor
