#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "web/web.h"

namespace qor::web {

namespace {

NarrativeSequencer* make_sequencer(std::shared_ptr<Environment> root) {
    return guarded<NarrativeSequencer*>([&] {
        if (!root) throw ArgumentTypeError("NarrativeSequencer(): env must be an Environment, not null");
        return new NarrativeSequencer(std::move(root));
    });
}

// The frame is kept only once its JavaScript string exists: a host either
// gets the frame or the frame did not happen.
em::val next_frame(NarrativeSequencer& level) {
    return guarded<em::val>([&] {
        NarrativeSequencer::PendingFrame frame = level.begin_frame();
        em::val answer = js_text(frame.text());
        frame.commit();
        return answer;
    });
}

// An int32 property's new value: Python refuses anything else with TypeError,
// where a JavaScript number would wrap around at the wasm boundary.
std::int32_t int32_of(const em::val& value, const char* property) {
    const double number = value.isNumber() ? value.as<double>() : NAN;
    if (!(number >= INT32_MIN && number <= INT32_MAX && std::trunc(number) == number)) {
        std::string message = std::string(property) + " must be an integer from -2147483648 to 2147483647";
        if (!value.isNumber()) message += ", not " + type_name(value);
        throw ArgumentTypeError(message);
    }
    return static_cast<std::int32_t>(number);
}

std::int32_t current_frame(const NarrativeSequencer& level) { return level.current_frame; }

void set_current_frame(NarrativeSequencer& level, em::val value) {
    guarded_void([&] { level.current_frame = int32_of(value, "current_frame"); });
}

bool is_finished(const NarrativeSequencer& level) { return level.is_finished; }

void set_finished(NarrativeSequencer& level, bool finished) { level.is_finished = finished; }

em::val root_environment(const NarrativeSequencer& level) {
    return guarded<em::val>([&] { return em::val(level.root_environment); });
}

}  // namespace

SequencerClass bind_sequencer() {
    SequencerClass sequencer("NarrativeSequencer");
    sequencer.constructor(&make_sequencer, em::allow_raw_pointers())
        .function("next_frame", &next_frame)
        .property("is_finished", &is_finished, &set_finished)
        .property("current_frame", &current_frame, &set_current_frame)
        .property("root_environment", &root_environment);
    return sequencer;
}

}  // namespace qor::web
