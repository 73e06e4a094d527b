#include <cstdint>
#include <memory>
#include <optional>
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

std::int32_t current_frame(const NarrativeSequencer& level) { return level.current_frame; }

void set_current_frame(NarrativeSequencer& level, em::val value) {
    guarded_void([&] {
        const std::optional<std::int32_t> frame = int32_of(value);
        if (!frame) {
            throw ArgumentTypeError(std::string("current_frame must be an integer from -2147483648 to 2147483647, not ") +
                                    (value.isNumber() ? "that number" : type_name(value)));
        }
        level.current_frame = *frame;
    });
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
