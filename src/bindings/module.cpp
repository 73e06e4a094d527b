#include <pybind11/pybind11.h>

#include "bindings/bindings.h"
#include "model/zone_walk.h"

namespace py = pybind11;

PYBIND11_MODULE(qor_engine, m) {
    m.doc() = "Tessivane Engine Python Bindings";
    m.attr("__version__") = QOR_VERSION;  // the package's version, set by CMakeLists.txt

    py::register_local_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const qor::TreeTooDeepError& error) {
            PyErr_SetString(PyExc_RecursionError, error.what());
        }
    });

    qor::bindings::bind_charges(m);
    auto environment = qor::bindings::bind_environment(m);
    qor::bindings::bind_agent_placing(environment);
    qor::bindings::bind_sequencer(m);
    qor::bindings::bind_saving(m);
    qor::bindings::bind_level_file(m);
    qor::bindings::bind_replay(m);
    for (const char* name :
         {"ChargePolarity", "Charge", "Environment", "NarrativeSequencer", "LevelPlay", "Level"}) {
        qor::bindings::keep_class_fixed(m.attr(name));
        qor::bindings::name_properties(m.attr(name));
    }
}
