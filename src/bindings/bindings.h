#pragma once

#include <memory>
#include <string>

#include <pybind11/pybind11.h>

#include "bindings/constructed_caster.h"
#include "model/environment.h"

namespace qor::bindings {

namespace py = pybind11;

using EnvironmentClass = py::class_<Environment, std::shared_ptr<Environment>>;

// Registers ChargePolarity and Charge.
void bind_charges(py::module_& m);
// Registers Environment with its properties and the methods that add charges
// and sub-zones; returns the class so that further methods can be added.
EnvironmentClass bind_environment(py::module_& m);
// Adds the methods that place each kind of agent in a zone.
void bind_agent_placing(EnvironmentClass& environment);
// Registers NarrativeSequencer.
void bind_sequencer(py::module_& m);
// Makes assigning __class__ on the class's instances raise TypeError: an
// object given another of the module's classes would be read as that class's
// C++ value.
void keep_class_fixed(py::handle cls);
// Adds saving, loading, pickling and copying to the registered classes.
void bind_saving(py::module_& m);

}  // namespace qor::bindings
