#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "bindings/bindings.h"
#include "bindings/charge_handle.h"
#include "model/json_text.h"
#include "model/zone_text.h"
#include "model/zone_walk.h"

namespace qor::bindings {

py::object readable(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                             "backslashreplace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(decoded);
}

std::string count_of(std::size_t count, const char* thing) {
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

namespace {

// The names of the read-write properties, for their type errors.
constexpr char kMagnitude[] = "magnitude";
constexpr char kPolarity[] = "polarity";
constexpr char kVisualId[] = "visual_id";
constexpr char kId[] = "id";
constexpr char kCharges[] = "charges";
constexpr char kIsTimeFrozen[] = "is_time_frozen";

// Polarity parameters are taken by pointer so that None reaches the engine's
// own check: it is refused with RuntimeError (empty message), the error a
// failed reference cast gives, rather than being skipped as a mismatch.
ChargePolarity required(const ChargePolarity* polarity) {
    if (polarity == nullptr) throw std::runtime_error("");
    return *polarity;
}

py::list charge_items(const std::shared_ptr<Environment>& zone) {
    py::list items(zone->charges.size());
    for (std::size_t i = 0; i < zone->charges.size(); ++i) {
        items[i] = py::cast(ChargeHandle(zone, i));
    }
    return items;
}

// The items come as copies: pybind11 reads an iterable that is not a sequence
// (a generator) through a temporary tuple, gone by the time this runs, so
// pointers to the Python objects would point into freed memory.
void replace_charges(Environment& zone, Assigned<std::vector<ChargeHandle>, kCharges> items) {
    std::vector<Charge> copies;
    copies.reserve(items.value.size());
    for (ChargeHandle& item : items.value) copies.push_back(item.get());
    zone.charges = std::move(copies);
    zone.note_charges_changed();
    note_tree_edit();
}

// Gives a property that came without a description one, keeping its accessors.
void describe_property(py::object& owner, const char* name, const char* doc) {
    py::object property = owner.attr(name);
    owner.attr(name) = py::type::of(property)(property.attr("fget"), property.attr("fset"),
                                              property.attr("fdel"), doc);
}

}  // namespace

void bind_charges(py::module_& m) {
    py::enum_<ChargePolarity> polarity(m, "ChargePolarity", "The sign-like tag of a charge.", own_layout());
    polarity.value("POSITIVE", ChargePolarity::POSITIVE, "Adds to a zone's total.")
        .value("NEGATIVE", ChargePolarity::NEGATIVE, "Subtracts from a zone's total.")
        .value("NEUTRAL", ChargePolarity::NEUTRAL, "Subtracts from a zone's total when summed.")
        .export_values();
    // The enumeration's own constructor and properties come undescribed; the
    // constructor is replaced by one that converts alike.
    py::delattr(polarity, "__init__");
    polarity.def(py::init([](std::int32_t value) { return static_cast<ChargePolarity>(value); }),
                 py::arg("value"),
                 "Make the polarity of the given value: 0, 1 and 2 are the named ones; any "
                 "other 32-bit integer is carried unchanged and reads \"neutral\" in JSON.");
    describe_property(polarity, "name", "The member's name (\"???\" for an unnamed value).");
    describe_property(polarity, "value", "The polarity's integer value.");
    // pybind11 works the docstring with its member list out on each read, a
    // way help() does not follow: it is stored as text once every member is in.
    py::str doc = polarity.attr("__doc__");
    py::delattr(polarity, "__doc__");
    polarity.attr("__doc__") = doc;

    py::class_<ChargeHandle>(m, "Charge", "A charge: a magnitude, a polarity and a visual id.", own_layout())
        .def(py::init([](double magnitude, const ChargePolarity* polarity, std::string visual_id) {
                 return ChargeHandle(Charge(magnitude, required(polarity), std::move(visual_id)));
             }),
             py::arg("magnitude"), py::arg("polarity"), py::arg("visual_id"),
             "Make a charge of its own; storing it in a zone copies it.")
        .def_property(
            "magnitude", [](ChargeHandle& self) { return self.get().magnitude; },
            [](ChargeHandle& self, Assigned<double, kMagnitude> value) {
                self.get().magnitude = value.value;
                note_tree_edit();
            },
            "The number the charge carries.")
        .def_property(
            "polarity", [](ChargeHandle& self) { return self.get().polarity; },
            [](ChargeHandle& self, Assigned<ChargePolarity, kPolarity> value) {
                self.get().polarity = value.value;
                note_tree_edit();
            },
            "The charge's polarity.")
        .def_property(
            "visual_id", [](ChargeHandle& self) { return self.get().visual_id; },
            [](ChargeHandle& self, Assigned<std::string, kVisualId> value) {
                self.get().visual_id = std::move(value.value);
                note_tree_edit();
            },
            "The name under which the front end draws the charge.")
        .def(
            "to_json", [](ChargeHandle& self) { return charge_json_text(self.get()); },
            "The charge as compact JSON text.")
        .def("__repr__", [](ChargeHandle& self) -> py::object {
            if (self.is_stale()) return py::str("<stale Charge item: its zone's charges changed since it was read>");
            const Charge& charge = self.get();
            return py::str("Charge(magnitude={!r}, polarity={!r}, visual_id={!r})")
                .format(charge.magnitude, charge.polarity, readable(charge.visual_id));
        }, "The charge as a constructor call, or a note that the item is stale.");
}

EnvironmentClass bind_environment(py::module_& m) {
    EnvironmentClass environment(
        m, "Environment",
        "A zone of a level: charges, agents and sub-zones. It cannot be subclassed: zones live "
        "in the engine's tree, shared between parents, merged away by frames and rebuilt by "
        "load and copies, where a Python subclass's class and attributes could not follow them.",
        own_layout(), py::is_final());
    environment
        .def(py::init<std::string>(), py::arg("id"), "Make an empty zone with the given id.")
        .def_property(
            "id", [](const Environment& self) { return self.id; },
            [](Environment& self, Assigned<std::string, kId> value) {
                self.id = std::move(value.value);
                note_tree_edit();
            },
            "The zone's identifier.")
        .def_property("charges", &charge_items, &replace_charges,
                      "The zone's charges, in order. Items read and write the zone's charges "
                      "until its charge list changes; assigning a sequence copies it in.")
        .def_property(
            "is_time_frozen", [](const Environment& self) { return self.is_time_frozen; },
            [](Environment& self, Assigned<bool, kIsTimeFrozen> value) {
                self.is_time_frozen = value.value;
                note_tree_edit();
            },
            "Whether the zone's own agents are held back this frame.")
        .def(
            "to_json",
            [](const Environment& self) {
                ensure_walkable(self);
                return zone_json_text(self);
            },
            "The zone with everything under it as compact JSON text.")
        .def(
            "add_charge",
            [](Environment& self, double magnitude, const ChargePolarity* polarity,
               std::string visual_id) {
                self.add_charge(Charge(magnitude, required(polarity), std::move(visual_id)));
            },
            py::arg("magnitude"), py::arg("polarity"), py::arg("visual_id"),
            "Append a charge at the end of the zone's charges.")
        .def(
            "add_sub_environment",
            [](Environment& self, std::shared_ptr<Environment> sub_env) {
                if (!sub_env) throw py::type_error("add_sub_environment(): sub_env must be an Environment, not None");
                self.add_environment(std::move(sub_env));
            },
            py::arg("sub_env"), "Append a sub-zone; it is shared, not copied.")
        .def(
            "find_zone",
            [](const std::shared_ptr<Environment>& self, const std::string& id) -> py::typing::Optional<Environment> {
                std::shared_ptr<Environment> found = self->id == id ? self : find_sub_zone(*self, id);
                if (!found) return py::none();
                return py::cast(std::move(found));
            },
            py::arg("id"),
            "The first zone of this tree (this zone, then its sub-zones' trees in order) whose id is "
            "id, or None.")
        .def("__repr__", [](const Environment& self) {
            return py::str("<Environment id={!r}: {}, {}, {}>")
                .format(readable(self.id), count_of(self.charges.size(), "charge"),
                        count_of(self.agents.size(), "agent"),
                        count_of(self.sub_environments.size(), "sub-zone"));
        }, "The zone's id and how many charges, agents and sub-zones it holds.");
    return environment;
}

py::custom_type_setup own_layout() {
    // Bigger than the base's too, so that a subclass of one of the module's
    // classes (LevelPlay) is no alike to it either.
    return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
        PyTypeObject& type = heap_type->ht_type;
        type.tp_basicsize = std::max(type.tp_basicsize, type.tp_base->tp_basicsize) +
                            static_cast<Py_ssize_t>(sizeof(void*));
    });
}

void name_properties(py::handle cls) {
    py::object property_type = py::module_::import("builtins").attr("property");
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());  // its namespace, not a read-only proxy
    for (auto [name, member] : py::reinterpret_borrow<py::dict>(type->tp_dict)) {
        if (py::isinstance(member, property_type)) member.attr("__set_name__")(cls, name);
    }
}

void keep_class_fixed(py::handle cls) {
    py::cpp_function read([](py::handle self) { return py::type::of(self); });
    py::cpp_function refuse([](py::handle self, py::handle) {
        throw py::type_error(py::str("{} objects keep their class: __class__ cannot be assigned")
                                 .format(py::type::of(self).attr("__name__")));
    });
    py::object property = py::module_::import("builtins").attr("property")(
        read, refuse, py::none(), "The object's class, which cannot be changed.");
    // Setting the attribute through the class would change the class's own
    // class; the property goes into the class's namespace instead.
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (PyDict_SetItemString(type->tp_dict, "__class__", property.ptr()) != 0) {
        throw py::error_already_set();
    }
    PyType_Modified(type);
}

}  // namespace qor::bindings
