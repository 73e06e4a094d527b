// CompactExplanations: the replay page's explanations, as the Python module
// has them.
#include <memory>

#include "replay/compact_explanations.h"
#include "web/web.h"

namespace qor::web {

namespace {

em::val make_compact_explanations() {
    return guarded<em::val>([] { return em::val(std::make_unique<CompactExplanations>()); });
}

em::val add(CompactExplanations& self, em::val explanation) {
    return guarded<em::val>([&] { return js_text(self.add(cpp_text(explanation, "add()", "explanation"))); });
}

em::val to_json(const CompactExplanations& self) {
    return guarded<em::val>([&] { return js_text(self.to_json()); });
}

}  // namespace

void bind_replay() {
    em::class_<CompactExplanations>("CompactExplanations")
        .class_function("qorMake", &make_compact_explanations)
        .function("add", &add)
        .function("to_json", &to_json);
    describe_parameters("CompactExplanations", "new", "");
    describe_parameters("CompactExplanations", "add", "explanation");
    describe_parameters("CompactExplanations", "to_json", "");
}

}  // namespace qor::web
