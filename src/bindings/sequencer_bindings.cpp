#include <cstdint>
#include <memory>
#include <utility>

#include "bindings/bindings.h"
#include "sequencer/narrative_sequencer.h"

namespace qor::bindings {

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
                py::str answer(frame.patch_text());
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
        .def_readwrite("is_finished", &NarrativeSequencer::is_finished,
                       "Whether the level has ended; write False to let it run on.")
        .def_readwrite("current_frame", &NarrativeSequencer::current_frame,
                       "Running frames taken so far (a 32-bit signed integer).")
        .def_property(
            "max_frames", [](const NarrativeSequencer& self) { return self.max_frames; },
            [](NarrativeSequencer& self, std::int64_t max_frames) {
                NarrativeSequencer::check_max_frames(max_frames);
                self.max_frames = static_cast<std::int32_t>(max_frames);
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
}

}  // namespace qor::bindings
