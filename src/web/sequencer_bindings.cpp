#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <emscripten/emscripten.h>

#include "web/web.h"

namespace qor::web {

std::int32_t frame_limit_of(const em::val& value, const char* caller) {
    const double number = value.isNumber() ? value.as<double>() : NAN;
    // 2^63: every double below it in magnitude converts to int64 exactly.
    constexpr double kInt64Bound = 9223372036854775808.0;
    if (!(number >= -kInt64Bound && number < kInt64Bound && std::trunc(number) == number)) {
        throw ArgumentTypeError(std::string(caller) + "max_frames must be an integer, not " +
                                (value.isNumber() ? "that number" : type_name(value)));
    }
    const auto limit = static_cast<std::int64_t>(number);
    NarrativeSequencer::check_max_frames(limit);
    return static_cast<std::int32_t>(limit);
}

namespace {

// max_frames left out (undefined) is the engine's default limit.
NarrativeSequencer* make_sequencer(em::val env, em::val max_frames) {
    return guarded<NarrativeSequencer*>([&] {
        std::shared_ptr<Environment> root = environment_of(env, "NarrativeSequencer()", "env");
        if (max_frames.isUndefined()) return new NarrativeSequencer(std::move(root));
        const std::int32_t limit = frame_limit_of(max_frames, "NarrativeSequencer(): ");
        return new NarrativeSequencer(std::move(root), limit);
    });
}

// The frame is kept only once its JavaScript string exists: a host either
// gets the frame or the frame did not happen.
em::val next_frame(NarrativeSequencer& level) {
    return guarded<em::val>([&] {
        NarrativeSequencer::PendingFrame frame = level.begin_frame();
        em::val answer = js_text(frame.keep_text());
        frame.commit();
        return answer;
    });
}

// A new Uint8Array holding a copy of the bytes; null when JavaScript's
// memory runs out.
EM_JS(emscripten::EM_VAL, qor_js_bytes, (const char* data, std::size_t size), {
    try {
        return Emval.toHandle(HEAPU8.slice(data, data + size));
    } catch (error) {
        return Emval.toHandle(null);
    }
});

// The frame's text as UTF-8 bytes: a host that parses or stores frames
// decodes them once (TextDecoder) instead of having a string made for it.
em::val next_frame_bytes(NarrativeSequencer& level) {
    return guarded<em::val>([&] {
        NarrativeSequencer::PendingFrame frame = level.begin_frame();
        const std::string& text = frame.keep_text();
        em::val answer = em::val::take_ownership(qor_js_bytes(text.data(), text.size()));
        if (answer.isNull()) throw std::bad_alloc();
        frame.commit();
        return answer;
    });
}

em::val next_frame_patch(NarrativeSequencer& level) {
    return guarded<em::val>([&] {
        NarrativeSequencer::PendingFrame frame = level.begin_frame();
        em::val answer = js_text(frame.patch_text());
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

std::int32_t max_frames(const NarrativeSequencer& level) { return level.max_frames; }

void set_max_frames(NarrativeSequencer& level, em::val value) {
    guarded_void([&] { level.max_frames = frame_limit_of(value, ""); });
}

bool is_finished(const NarrativeSequencer& level) { return level.is_finished; }

void set_finished(NarrativeSequencer& level, em::val finished) {
    guarded_void([&] { level.is_finished = flag_of(finished, "is_finished"); });
}

em::val explain(NarrativeSequencer& level) {
    return guarded<em::val>([&] { return js_text(level.explain()); });
}

em::val root_environment(const NarrativeSequencer& level) {
    return guarded<em::val>([&] { return em::val(level.root_environment); });
}

}  // namespace

SequencerClass bind_sequencer() {
    SequencerClass sequencer("NarrativeSequencer");
    sequencer.constructor(&make_sequencer, em::allow_raw_pointers())
        .function("next_frame", &next_frame)
        .function("next_frame_patch", &next_frame_patch)
        .function("next_frame_bytes", &next_frame_bytes)
        .function("explain", &explain)
        .property("is_finished", &is_finished, &set_finished)
        .property("current_frame", &current_frame, &set_current_frame)
        .property("max_frames", &max_frames, &set_max_frames)
        .property("root_environment", &root_environment);
    describe_parameters("NarrativeSequencer", "new", "env, max_frames?");
    describe_parameters("NarrativeSequencer", "next_frame", "");
    describe_parameters("NarrativeSequencer", "next_frame_patch", "");
    describe_parameters("NarrativeSequencer", "next_frame_bytes", "");
    describe_parameters("NarrativeSequencer", "explain", "");
    return sequencer;
}

}  // namespace qor::web
