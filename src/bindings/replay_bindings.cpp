#include "bindings/bindings.h"
#include "replay/compact_explanations.h"

namespace qor::bindings {

void bind_replay(py::module_& m) {
    py::class_<CompactExplanations> compact(
        m, "CompactExplanations",
        "explain() after every step of a level, kept as only what a replay page draws "
        "(docs/frames.md, \"The replay's explanations\").",
        own_layout());
    compact.def(py::init<>())
        .def(
            "add", [](CompactExplanations& self, std::string_view explanation) { return self.add(explanation); },
            py::arg("explanation"),
            "Keep a step's explanation (explain()'s text); returns the JSON text of what it added, "
            "[step, [new notes]], for counting. Raises ValueError for a text that is no explanation.")
        .def("to_json", &CompactExplanations::to_json,
             "The explanations of every step added as JSON text: {\"outcome\", \"summary\", \"notes\", "
             "\"steps\"}.");
    keep_class_fixed(compact);
}

}  // namespace qor::bindings
