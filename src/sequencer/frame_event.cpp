#include "sequencer/frame_event.h"

namespace qor {

const char* const QOR_FRAME_EVENT_RUNNING = "RUNNING";
const char* const QOR_FRAME_EVENT_FINISHED = "FINISHED";
const char* const QOR_FRAME_EVENT_ERROR = "ERROR";
const char* const QOR_FRAME_EVENT_LEVEL_COMPLETE = "LEVEL_COMPLETE";
const char* const QOR_FRAME_EVENT_COLLAPSE_ZONE = "COLLAPSE_ZONE";
const char* const QOR_FRAME_EVENT_CAST_SPELL = "CAST_SPELL";

nlohmann::json FrameEvent::to_json() const {
    nlohmann::json event = nlohmann::json::object();
    event["agent_name"] = agent_name;
    event["visual_id"] = visual_id;
    event["type"] = type;
    event["description"] = description;
    return event;
}

}  // namespace qor
