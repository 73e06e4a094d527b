// Saving, loading, pickling and copying of charges, zones and levels, and the
// two read-only views (sub_environments, root_environment) that let a host
// reach every zone of a loaded level. Added to the classes registered by the
// other binding files.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "bindings/bindings.h"
#include "bindings/charge_handle.h"
#include "saving/level_save.h"
#include "sequencer/narrative_sequencer.h"

namespace qor::bindings {

namespace {

using SaveData = py::typing::Union<py::bytes, py::bytearray, py::memoryview>;
using SequencerClass = py::class_<NarrativeSequencer>;

// The bytes of a bytes, bytearray or memoryview object, borrowed for the
// length of one load. Anything else is a TypeError.
class SaveBytes {
public:
    explicit SaveBytes(const py::handle& data, const char* caller) {
        if (!PyBytes_Check(data.ptr()) && !PyByteArray_Check(data.ptr()) &&
            !PyMemoryView_Check(data.ptr())) {
            throw py::type_error(std::string(caller) +
                                 ": data must be bytes, bytearray or memoryview, not " +
                                 Py_TYPE(data.ptr())->tp_name);
        }
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) == 0) {
            held_ = true;
            return;
        }
        // A memoryview that is not contiguous is read through a copy.
        if (!PyMemoryView_Check(data.ptr()) || !PyErr_ExceptionMatches(PyExc_BufferError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        copy_ = data.attr("tobytes")();
        if (PyObject_GetBuffer(copy_.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        held_ = true;
    }
    SaveBytes(const SaveBytes&) = delete;
    SaveBytes& operator=(const SaveBytes&) = delete;
    ~SaveBytes() {
        if (held_) PyBuffer_Release(&view_);
    }

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
    py::object copy_;
};

// pickle and copy rebuild these objects as pickle protocol 2 describes
// (cls.__new__(cls), then __setstate__ with what __getstate__ gave), for
// every protocol: the default reduction of protocols 0 and 1 goes through
// copyreg, which pybind11 objects do not support (the interpreter aborted).
using Reduced = py::typing::Tuple<py::object, py::typing::Tuple<py::type>, py::object>;

Reduced reduced_by_state(const py::object& self) {
    py::object new_object = py::module_::import("copyreg").attr("__newobj__");
    return py::reinterpret_steal<Reduced>(
        py::make_tuple(new_object, py::make_tuple(py::type::of(self)), self.attr("__getstate__")())
            .release());
}

std::uint64_t bits_of(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double from_bits(std::uint64_t bits) {
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A charge's state: its magnitude as its 64 IEEE-754 bits (pickle protocol 0
// writes floats as text, which would lose a NaN's sign and payload), its
// polarity as an int and its visual id as bytes.
void bind_charge_pickling(py::module_& m) {
    auto charge = py::reinterpret_borrow<py::class_<ChargeHandle>>(m.attr("Charge"));
    charge.def(py::pickle(
        [](ChargeHandle& self) {
            const Charge& value = self.get();
            return py::make_tuple(py::int_(bits_of(value.magnitude)),
                                  py::int_(static_cast<std::int32_t>(value.polarity)),
                                  py::bytes(value.visual_id));
        },
        [](const py::typing::Tuple<py::int_, py::int_, py::bytes>& state) {
            if (state.size() != 3) throw py::value_error("a Charge's state is a tuple of three items");
            return ChargeHandle(Charge(from_bits(state[0].cast<std::uint64_t>()),
                                       static_cast<ChargePolarity>(state[1].cast<std::int32_t>()),
                                       state[2].cast<std::string>()));
        }));
    charge.def(
        "__reduce__", [](const py::object& self) { return reduced_by_state(self); },
        "For pickle, copy.copy and copy.deepcopy (every protocol): the copy is an independent "
        "Charge with the same magnitude (to the bit), polarity and visual id; a stale charges "
        "item raises RuntimeError.");
}

// Pickle protocols 0 and 1 would rebuild a polarity through copyreg, which
// pybind11 objects do not support (the interpreter aborted); those two
// protocols now rebuild it as ChargePolarity(value). Protocols 2 to 5 pickle
// as before, through __getstate__ and __setstate__.
void bind_polarity_pickling(py::module_& m) {
    py::object polarity = m.attr("ChargePolarity");
    py::setattr(
        polarity, "__reduce_ex__",
        py::cpp_function(
            [](const py::object& self, int protocol) -> py::typing::Tuple<py::object, py::ellipsis> {
                py::object reduced;
                if (protocol < 2) {
                    reduced = py::make_tuple(py::type::of(self), py::make_tuple(py::int_(self)));
                } else {
                    py::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
                    reduced = object_type.attr("__reduce_ex__")(self, protocol);
                }
                return py::reinterpret_borrow<py::typing::Tuple<py::object, py::ellipsis>>(reduced);
            },
            py::name("__reduce_ex__"), py::is_method(polarity), py::arg("protocol"), py::pos_only(),
            "For pickle and copy: protocols 0 and 1 rebuild the polarity from its value."));
}

void bind_zone_saving(py::module_& m) {
    auto environment = py::reinterpret_borrow<EnvironmentClass>(m.attr("Environment"));
    environment
        .def(
            "save", [](const Environment& self) { return py::bytes(save_zone(self)); },
            "The zone with everything under it (charges, agents, sub-zones, freeze flags) as "
            "bytes, for Environment.load. Equal zones give equal bytes, the same on every "
            "platform. A zone placed under two parents is saved once and stays one zone.")
        .def_static(
            "load",
            [](const SaveData& data) {
                SaveBytes bytes(data, "Environment.load()");
                return load_zone(bytes.data(), bytes.size());
            },
            py::arg("data"),
            "A new zone tree from the bytes of Environment.save(), independent of any other. "
            "Raises ValueError for bytes that are not such a save (damaged, cut short, from a "
            "newer version, or a level's save) and TypeError for data that is not bytes, "
            "bytearray or memoryview. Loading only reads data; it runs no code.")
        .def_property_readonly(
            "sub_environments",
            [](const Environment& self) { return self.sub_environments; },
            "A new list of the zone's sub-zones, in order; each item is the sub-zone itself, "
            "not a copy.")
        .def(py::pickle([](const Environment& self) { return py::bytes(save_zone(self)); },
                        [](const py::bytes& saved) {
                            SaveBytes bytes(saved, "Environment.__setstate__()");
                            return load_zone(bytes.data(), bytes.size());
                        }))
        .def(
            "__reduce__", [](const py::object& self) { return reduced_by_state(self); },
            "For pickle, copy.copy and copy.deepcopy (every protocol), through save and load: "
            "every copy, shallow or deep, is an independent copy of the zone and everything "
            "under it.");
}

void bind_level_saving(py::module_& m) {
    auto sequencer = py::reinterpret_borrow<SequencerClass>(m.attr("NarrativeSequencer"));
    sequencer
        .def(
            "save", [](const NarrativeSequencer& self) { return py::bytes(save_level(self)); },
            "The whole level in play as bytes, for NarrativeSequencer.load: its zone tree, "
            "current_frame, is_finished, the frame limit and the last event. A loaded level "
            "plays on exactly as this one would. Equal states give equal bytes, the same on "
            "every platform.")
        .def_static(
            "load",
            [](const SaveData& data) {
                SaveBytes bytes(data, "NarrativeSequencer.load()");
                return load_level(bytes.data(), bytes.size());
            },
            py::arg("data"),
            "A new level from the bytes of NarrativeSequencer.save(), with its own zone tree. "
            "Raises ValueError for bytes that are not such a save (damaged, cut short, from a "
            "newer version, or a zone's save) and TypeError for data that is not bytes, "
            "bytearray or memoryview. Loading only reads data; it runs no code.")
        .def_property_readonly(
            "root_environment",
            [](const NarrativeSequencer& self) { return self.root_environment; },
            "The root zone this sequencer plays: the zone itself, not a copy.")
        .def(py::pickle([](const NarrativeSequencer& self) { return py::bytes(save_level(self)); },
                        [](const py::bytes& saved) {
                            SaveBytes bytes(saved, "NarrativeSequencer.__setstate__()");
                            return load_level(bytes.data(), bytes.size());
                        }))
        .def(
            "__reduce__", [](const py::object& self) { return reduced_by_state(self); },
            "For pickle, copy.copy and copy.deepcopy (every protocol), through save and load: "
            "every copy, shallow or deep, is an independent level with its own copy of the "
            "zone tree.");
}

}  // namespace

void bind_saving(py::module_& m) {
    bind_polarity_pickling(m);
    bind_charge_pickling(m);
    bind_zone_saving(m);
    bind_level_saving(m);
}

}  // namespace qor::bindings
