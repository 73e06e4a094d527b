#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "bindings/bindings.h"
#include "level_file/level_play.h"
#include "sequencer/narrative_sequencer.h"

namespace qor::bindings {

namespace {

// The names of the read-write properties, for their type errors.
constexpr char kIsFinished[] = "is_finished";
constexpr char kCurrentFrame[] = "current_frame";
constexpr char kMaxFrames[] = "max_frames";

// What a frame limit's type error gives as its range: the limit's own.
struct FrameLimitRange {
    static constexpr std::int64_t min() { return 1; }
    static constexpr std::int64_t max() { return std::numeric_limits<std::int32_t>::max(); }
};

}  // namespace

void bind_sequencer(py::module_& m) {
    py::class_<NarrativeSequencer>(m, "NarrativeSequencer",
                                   "Plays a level one frame per next_frame() call.", own_layout())
        .def(py::init([](std::shared_ptr<Environment> env, std::int64_t max_frames) {
                 if (!env) throw py::type_error("NarrativeSequencer(): env must be an Environment, not None");
                 NarrativeSequencer::check_max_frames(max_frames);
                 return std::make_unique<NarrativeSequencer>(std::move(env),
                                                             static_cast<std::int32_t>(max_frames));
             }),
             py::arg("env"), py::arg("max_frames") = std::int64_t{NarrativeSequencer::kDefaultMaxFrames},
             "Drive the level whose root zone is env; the zone tree is shared, not copied. "
             "max_frames is the frame limit (from 1 to 2**31 - 1).")
        .def(
            "next_frame",
            [](NarrativeSequencer& self) {
                // The frame is kept only once its str exists: a host either
                // gets the frame or the frame did not happen.
                NarrativeSequencer::PendingFrame frame = self.begin_frame();
                const std::string& text = frame.keep_text();
                py::str answer(text.data(), text.size());
                frame.commit();
                return answer;
            },
            "Run one frame and return the whole state and the frame's event as compact JSON "
            "text. If it raises, the frame did not happen: the level is as it was.")
        .def(
            "next_frame_patch",
            [](NarrativeSequencer& self) {
                NarrativeSequencer::PendingFrame frame = self.begin_frame();
                // Every change the module makes to a tree is counted.
                py::str answer(frame.patch_text(TreeEdits::COUNTED));
                frame.commit();
                return answer;
            },
            "Run one frame exactly as next_frame() does and return an RFC 6902 JSON Patch (compact "
            "JSON text) that turns the last frame this sequencer returned, by either method, into "
            "this one; with no such frame (a new, loaded or copied sequencer), one operation that "
            "replaces the whole document. If it raises, the frame did not happen and the next "
            "patch still applies to the last frame returned.")
        .def("explain", &NarrativeSequencer::explain,
             "Explain the level as it stands, as compact JSON text: the outcome (\"running\", "
             "\"won\", \"lost\" or \"frame_limit\"), the event the next next_frame() will report, "
             "why each standing agent acts, waits or declines, and which zones merge, are frozen or "
             "never resolve. Changes nothing: the next frame is exactly what it would have been.")
        .def_property(
            "is_finished", [](const NarrativeSequencer& self) { return self.is_finished; },
            [](NarrativeSequencer& self, Assigned<bool, kIsFinished> value) { self.is_finished = value.value; },
            "Whether the level has ended; write False to let it run on.")
        .def_property(
            "current_frame", [](const NarrativeSequencer& self) { return self.current_frame; },
            [](NarrativeSequencer& self, Assigned<std::int32_t, kCurrentFrame> value) {
                self.current_frame = value.value;
            },
            "Running frames taken so far (a 32-bit signed integer).")
        .def_property(
            "max_frames", [](const NarrativeSequencer& self) { return self.max_frames; },
            [](NarrativeSequencer& self, Assigned<std::int64_t, kMaxFrames, FrameLimitRange> max_frames) {
                NarrativeSequencer::check_max_frames(max_frames.value);
                self.max_frames = static_cast<std::int32_t>(max_frames.value);
            },
            "The frame limit: once current_frame reaches it, next_frame() answers \"ERROR\" "
            "and ends the level. From 1 to 2**31 - 1; 1000 unless given.")
        .def(
            "__repr__",
            [](const NarrativeSequencer& self) {
                return py::str("<NarrativeSequencer root={!r}: frame {} of at most {}, {}>")
                    .format(readable(self.root_environment->id), self.current_frame, self.max_frames,
                            self.is_finished ? "finished" : "running");
            },
            "The root zone's id, current_frame, max_frames and whether the level is finished.");

    py::class_<LevelPlay, NarrativeSequencer>(
        m, "LevelPlay",
        "Plays a level built from a level file: a NarrativeSequencer that also places every "
        "\"refill\" agent again, in its zone and under its id, after each frame in which it "
        "acted. The frame's answer does not show the new agent; the tree after the call and the "
        "next frame do. Made by Level.play() or LevelPlay.load(); saves, copies and pickles keep "
        "the refill agents.",
        own_layout())
        .def(
            "__repr__",
            [](const LevelPlay& self) {
                return py::str("<LevelPlay root={!r}: frame {} of at most {}, {}, {}>")
                    .format(readable(self.root_environment->id), self.current_frame, self.max_frames,
                            self.is_finished ? "finished" : "running",
                            count_of(self.refills().size(), "refill agent"));
            },
            "The root zone's id, current_frame, max_frames, whether the level is finished and how "
            "many refill agents it places again.");
}

}  // namespace qor::bindings
