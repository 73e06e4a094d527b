#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <pybind11/pybind11.h>

#include "bindings/assigned_value.h"
#include "bindings/charge_list_caster.h"
#include "bindings/constructed_caster.h"
#include "model/environment.h"

namespace qor::bindings {

namespace py = pybind11;

using EnvironmentClass = py::class_<Environment, std::shared_ptr<Environment>>;

// A str for repr(): bytes that are not UTF-8 are shown escaped instead of failing.
py::object readable(const std::string& text);
// "1 charge", "2 charges": a count and what it counts, singular or plural.
std::string count_of(std::size_t count, const char* thing);

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
// Gives a class an instance layout of its own, for every class the module
// registers. CPython swaps an object's class (object.__class__'s own setter,
// which keep_class_fixed's property cannot stop, or a class's __bases__) only
// between layouts it finds alike, and it finds every pybind11 class alike
// unless its instances are bigger than pybind11's own.
py::custom_type_setup own_layout();
// Adds saving, loading, pickling and copying to the registered classes.
void bind_saving(py::module_& m);
// Registers read_level, Level and LevelError.
void bind_level_file(py::module_& m);
// Registers CompactExplanations.
void bind_replay(py::module_& m);
// Gives every property of the class its name, so that CPython's errors for
// assigning or deleting a read-only one name it.
void name_properties(py::handle cls);

}  // namespace qor::bindings
