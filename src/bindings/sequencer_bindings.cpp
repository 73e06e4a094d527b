#include <memory>
#include <utility>

#include "bindings/bindings.h"
#include "sequencer/narrative_sequencer.h"

namespace qor::bindings {

void bind_sequencer(py::module_& m) {
    py::class_<NarrativeSequencer>(m, "NarrativeSequencer",
                                   "Plays a level one frame per next_frame() call.")
        .def(py::init([](std::shared_ptr<Environment> env) {
                 if (!env) throw py::type_error("NarrativeSequencer(): env must be an Environment, not None");
                 return std::make_unique<NarrativeSequencer>(std::move(env));
             }),
             py::arg("env"), "Drive the level whose root zone is env; the zone tree is shared, not copied.")
        .def(
            "next_frame",
            [](NarrativeSequencer& self) {
                // The frame is kept only once its str exists: a host either
                // gets the frame or the frame did not happen.
                NarrativeSequencer::PendingFrame frame = self.begin_frame();
                py::str answer(frame.text());
                frame.commit();
                return answer;
            },
            "Run one frame and return the whole state and the frame's event as compact JSON "
            "text. If it raises, the frame did not happen: the level is as it was.")
        .def_readwrite("is_finished", &NarrativeSequencer::is_finished,
                       "Whether the level has ended; write False to let it run on.")
        .def_readwrite("current_frame", &NarrativeSequencer::current_frame,
                       "Running frames taken so far (a 32-bit signed integer).");
}

}  // namespace qor::bindings
