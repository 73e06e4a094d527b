// Saving, loading, pickling and copying of charges, zones and levels, and the
// two read-only views (sub_environments, root_environment) that let a host
// reach every zone of a loaded level. Added to the classes registered by the
// other binding files.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "bindings/bindings.h"
#include "bindings/bytes_argument.h"
#include "bindings/charge_handle.h"
#include "level_file/level_play.h"
#include "saving/level_save.h"
#include "sequencer/narrative_sequencer.h"

namespace qor::bindings {

// A Python object that is a NarrativeSequencer, or an instance of a Python
// subclass of it: what a copy of one is.
class SequencerObject : public py::object {
public:
    using py::object::object;
};

}  // namespace qor::bindings

namespace pybind11::detail {

template <>
struct handle_type_name<qor::bindings::SequencerObject> {
    static constexpr auto name = const_name("qor_engine.NarrativeSequencer");
};

}  // namespace pybind11::detail

namespace qor::bindings {

namespace {

using SaveData = py::typing::Union<py::bytes, py::bytearray, py::memoryview>;
using SequencerClass = py::class_<NarrativeSequencer>;
using LevelPlayClass = py::class_<LevelPlay, NarrativeSequencer>;

// A bytes object of the text: MemoryError when it cannot be made (pybind11's
// own constructor raises RuntimeError).
py::bytes bytes_of(const std::string& text) {
    PyObject* made = PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(made);
}

// pickle and copy rebuild these objects as pickle protocol 2 describes
// (cls.__new__(cls), then __setstate__ with what __getstate__ gave), for
// every protocol: the default reduction of protocols 0 and 1 goes through
// copyreg, which pybind11 objects do not support (the interpreter aborted).
using Reduced = py::typing::Tuple<py::object, py::typing::Tuple<py::type>, py::object>;

// What a plain Python object of the same class would pickle: None, or the
// instance's __dict__ and __slots__ values of a Python subclass.
py::object python_state_of(const py::object& self) {
    py::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return object_type.attr("__getstate__")(self);
}

// The object's state for pickle and copy: the engine's state, paired with the
// Python state of a subclass's instance when there is one.
py::object state_of(const py::object& self) {
    py::object engine_state = self.attr("__getstate__")();
    py::object python_state = python_state_of(self);
    if (python_state.is_none()) return engine_state;
    return py::make_tuple(engine_state, python_state);
}

Reduced reduced_by_state(const py::object& self) {
    py::object new_object = py::module_::import("copyreg").attr("__newobj__");
    return py::reinterpret_steal<Reduced>(
        py::make_tuple(new_object, py::make_tuple(py::type::of(self)), state_of(self)).release());
}

// The parts of a Python state as object.__getstate__ gives it: the instance
// dict's items and the slots' values (either may be None). TypeError for
// anything else.
std::pair<py::object, py::object> python_state_parts(const py::object& state, const char* owner) {
    py::object items = state;
    py::object slots = py::none();
    if (PyTuple_Check(state.ptr()) && py::len(state) == 2) {
        items = state[py::int_(0)];
        slots = state[py::int_(1)];
    }
    const auto is_dict_or_none = [](const py::object& part) { return part.is_none() || PyDict_Check(part.ptr()); };
    if (!is_dict_or_none(items) || !is_dict_or_none(slots)) {
        throw py::type_error(std::string(owner) +
                             ".__setstate__(): the instance's own state must be None, a dict or "
                             "a pair (dict or None, dict of slots), as object.__getstate__() gives");
    }
    return {items, slots};
}

// Sets the attributes a Python state holds, as pickle does for any object.
void restore_python_state(const py::object& self, const std::pair<py::object, py::object>& parts) {
    const auto& [items, slots] = parts;
    if (!items.is_none() && py::len(items) > 0) self.attr("__dict__").attr("update")(items);
    if (!slots.is_none()) {
        for (auto [name, value] : py::reinterpret_borrow<py::dict>(slots)) py::setattr(self, name, value);
    }
}

// Whether the object's C++ value exists (made by __init__ or __setstate__).
bool is_initialised(py::handle self, py::handle cls) {
    const auto* bound = py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(cls.ptr()));
    auto* object = reinterpret_cast<py::detail::instance*>(self.ptr());
    return object->get_value_and_holder(bound, false).instance_registered();
}

std::string type_name(const py::handle& object) { return Py_TYPE(object.ptr())->tp_name; }

// A state's type for an error message; a tuple's with its items' types.
std::string shape_of(const py::handle& state) {
    if (!PyTuple_Check(state.ptr())) return type_name(state);
    std::string shape = "(";
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(state.ptr()); ++i) {
        shape += (i > 0 ? ", " : "") + type_name(PyTuple_GET_ITEM(state.ptr(), i));
    }
    return shape + ")";
}

// The shape of a class's engine state: whether a state has it, and its
// description for the TypeError that refuses one without it.
struct StateShape {
    bool (*fits)(const py::handle& state);
    const char* expected;
};

// Replaces the class's __setstate__ by one that raises TypeError for an
// object that is already initialised (pybind11's own ignores such a call,
// whatever the state), takes the engine's state alone or paired with a
// subclass instance's Python state, checks its shape, and then lets
// pybind11's own make the C++ value. Nothing changes unless it succeeds.
template <typename State>
void guard_setstate(py::handle cls, StateShape shape, const char* doc) {
    py::object made_by_pybind11 = cls.attr("__setstate__");
    py::object owner = py::reinterpret_borrow<py::object>(cls);
    py::cpp_function guarded(
        [made_by_pybind11, owner, shape](const py::object& self, const State& state) {
            const std::string name = py::str(owner.attr("__name__"));
            if (!py::isinstance(self, owner)) {
                throw py::type_error(name + ".__setstate__() needs a " + name + " object");
            }
            if (is_initialised(self, owner)) {
                throw py::type_error(name + ".__setstate__(): this " + name +
                                     " is already initialised; __setstate__ only fills an object "
                                     "made by " + name + ".__new__(), as pickle and copy do");
            }
            py::object engine_state = state;
            std::pair<py::object, py::object> python_state{py::none(), py::none()};
            if (PyTuple_Check(state.ptr()) && py::len(state) == 2 && shape.fits(state[py::int_(0)])) {
                engine_state = state[py::int_(0)];
                python_state = python_state_parts(state[py::int_(1)], name.c_str());
                if (!python_state.first.is_none() && py::len(python_state.first) > 0 &&
                    !py::hasattr(self, "__dict__")) {
                    throw py::type_error(name + ".__setstate__(): the state holds attributes, but "
                                                "this object has no __dict__");
                }
            }
            if (!shape.fits(engine_state)) {
                throw py::type_error(name + ".__setstate__(): the state must be " + shape.expected +
                                     " (or a pair of it and a subclass instance's own attributes), "
                                     "not " + shape_of(engine_state));
            }
            made_by_pybind11(self, engine_state);
            restore_python_state(self, python_state);
        },
        py::name("__setstate__"), py::is_method(cls), py::arg("state"), py::pos_only(), doc);
    // Named __setstate__, pybind11 takes the function for a constructor and
    // skips it on an initialised object before it runs.
    py::handle function = py::detail::get_function(guarded);
    py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function.ptr()))->is_constructor = false;
    py::setattr(cls, "__setstate__", guarded);
}

bool is_bytes(const py::handle& state) { return PyBytes_Check(state.ptr()); }

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

using ChargeState = py::typing::Union<py::typing::Tuple<py::int_, py::int_, py::bytes>,
                                      py::typing::Tuple<py::typing::Tuple<py::int_, py::int_, py::bytes>, py::object>>;

const StateShape kChargeState{
    [](const py::handle& state) {
        return PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 3 &&
               PyLong_Check(PyTuple_GET_ITEM(state.ptr(), 0)) &&
               PyLong_Check(PyTuple_GET_ITEM(state.ptr(), 1)) &&
               PyBytes_Check(PyTuple_GET_ITEM(state.ptr(), 2));
    },
    "a tuple (int, int, bytes), the magnitude's 64 bits, the polarity and the visual id, as "
    "Charge.__getstate__() gives them"};

// An int of the state that must fit the engine's type; ValueError otherwise.
template <typename Int>
Int in_range(const py::handle& number, const char* what) {
    try {
        return number.cast<Int>();
    } catch (const py::cast_error&) {
        throw py::value_error(std::string("Charge.__setstate__(): ") + what + " out of range: " +
                              py::repr(number).cast<std::string>());
    }
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
                                  bytes_of(value.visual_id));
        },
        [](const py::typing::Tuple<py::int_, py::int_, py::bytes>& state) {
            if (!kChargeState.fits(state)) throw py::type_error(kChargeState.expected);
            const auto bits = in_range<std::uint64_t>(state[0], "the magnitude's bits are");
            const auto polarity = in_range<std::int32_t>(state[1], "the polarity is");
            return ChargeHandle(Charge(from_bits(bits), static_cast<ChargePolarity>(polarity),
                                       state[2].cast<std::string>()));
        }));
    guard_setstate<ChargeState>(
        charge, kChargeState,
        "Fill a Charge made by Charge.__new__() (as pickle and copy do) from a state of "
        "__getstate__(), alone or paired with a subclass instance's own attributes.");
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
                if (!python_state_of(self).is_none()) {
                    reduced = reduced_by_state(self);  // a subclass's instance with attributes
                } else if (protocol < 2) {
                    reduced = py::make_tuple(py::type::of(self), py::make_tuple(py::int_(self)));
                } else {
                    py::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
                    reduced = object_type.attr("__reduce_ex__")(self, protocol);
                }
                return py::reinterpret_borrow<py::typing::Tuple<py::object, py::ellipsis>>(reduced);
            },
            py::name("__reduce_ex__"), py::is_method(polarity), py::arg("protocol"), py::pos_only(),
            "For pickle and copy: protocols 0 and 1 rebuild the polarity from its value."));
    guard_setstate<py::typing::Union<py::int_, py::typing::Tuple<py::int_, py::object>>>(
        polarity,
        StateShape{[](const py::handle& state) { return PyLong_Check(state.ptr()) != 0; },
                   "the int ChargePolarity.__getstate__() gives"},
        "Fill a ChargePolarity made by ChargePolarity.__new__() (as pickle does) from its "
        "value, alone or paired with a subclass instance's own attributes.");
}

// What one copy.deepcopy call has copied of zone trees so far, kept in its
// memo: each original zone with its copy. The originals are held too, so
// that no address is reused while the memo lives.
class ZoneCopies {
public:
    std::shared_ptr<Environment> copy_of(const Environment& original) const {
        const auto found = copies_.find(&original);
        return found == copies_.end() ? nullptr : found->second;
    }

    // Records every zone of `original`'s tree with its counterpart in `copy`,
    // a fresh copy of it. A zone copied earlier in the same call takes the
    // place of its fresh copy, so that it stays one zone. (Only places that
    // exist in both trees are paired: a subclass's own __setstate__ may have
    // changed the copy.)
    void record(const std::shared_ptr<Environment>& original, const std::shared_ptr<Environment>& copy) {
        add(original, copy);
        std::vector<std::pair<Environment*, Environment*>> pending{{original.get(), copy.get()}};
        while (!pending.empty()) {
            auto [from, to] = pending.back();
            pending.pop_back();
            const std::size_t places = std::min(from->sub_environments.size(), to->sub_environments.size());
            for (std::size_t i = 0; i < places; ++i) {
                const std::shared_ptr<Environment>& sub_zone = from->sub_environments[i];
                if (!sub_zone || !to->sub_environments[i]) continue;
                if (std::shared_ptr<Environment> earlier = copy_of(*sub_zone)) {
                    to->sub_environments[i] = std::move(earlier);
                    continue;
                }
                add(sub_zone, to->sub_environments[i]);
                pending.emplace_back(sub_zone.get(), to->sub_environments[i].get());
            }
        }
    }

private:
    void add(const std::shared_ptr<Environment>& original, const std::shared_ptr<Environment>& copy) {
        originals_.push_back(original);
        copies_.emplace(original.get(), copy);
    }

    std::unordered_map<const Environment*, std::shared_ptr<Environment>> copies_;
    std::vector<std::shared_ptr<Environment>> originals_;
};

// The ZoneCopies of a deepcopy memo, made on first use.
ZoneCopies& zone_copies(const py::dict& memo) {
    const py::str key("qor_engine: zones copied in this call");
    if (!memo.contains(key)) {
        auto made = std::make_unique<ZoneCopies>();
        py::capsule held(made.get(), [](void* copies) { delete static_cast<ZoneCopies*>(copies); });
        made.release();
        memo[key] = held;
    }
    return *static_cast<ZoneCopies*>(py::reinterpret_borrow<py::capsule>(memo[key]).get_pointer());
}

std::shared_ptr<Environment> copy_of_tree(const Environment& root) {
    const std::string saved = save_zone(root);
    return load_zone(reinterpret_cast<const std::uint8_t*>(saved.data()), saved.size());
}

void bind_zone_saving(py::module_& m) {
    auto environment = py::reinterpret_borrow<EnvironmentClass>(m.attr("Environment"));
    environment
        .def(
            "save", [](const Environment& self) { return bytes_of(save_zone(self)); },
            "The zone with everything under it (charges, agents, sub-zones, freeze flags) as "
            "bytes, for Environment.load. Equal zones give equal bytes, the same on every "
            "platform. A zone placed under two parents is saved once and stays one zone.")
        .def_static(
            "load",
            [](const SaveData& data) {
                BytesArgument bytes(data, "Environment.load()");
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
        .def(py::pickle([](const Environment& self) { return bytes_of(save_zone(self)); },
                        [](const py::bytes& saved) {
                            BytesArgument bytes(saved, "Environment.__setstate__()");
                            return load_zone(bytes.data(), bytes.size());
                        }))
        .def(
            "__reduce__", [](const py::object& self) { return reduced_by_state(self); },
            "For pickle, copy.copy and copy.deepcopy (every protocol), through save and load: "
            "every copy, shallow or deep, is an independent copy of the zone and everything "
            "under it.")
        .def(
            "__deepcopy__",
            [](const py::object& self, const py::dict& memo) {
                const auto& zone = self.cast<const Environment&>();  // refuses one never initialised
                ZoneCopies& copies = zone_copies(memo);
                if (std::shared_ptr<Environment> earlier = copies.copy_of(zone)) return earlier;
                std::shared_ptr<Environment> copy = copy_of_tree(zone);
                copies.record(self.cast<std::shared_ptr<Environment>>(), copy);
                return copy;
            },
            py::arg("memo"), py::pos_only(),
            "For copy.deepcopy: an independent copy of the zone and everything under it. Zones "
            "copied by the same deepcopy call stay shared as in the original: deepcopy((level, "
            "zone)) gives the zone inside the copied level.");
    guard_setstate<py::typing::Union<py::bytes, py::typing::Tuple<py::bytes, py::object>>>(
        environment, StateShape{is_bytes, "the bytes Environment.__getstate__() gives"},
        "Fill an Environment made by Environment.__new__() (as pickle and copy do) from the bytes "
        "of __getstate__().");
}

// A loaded level as the Python object of its own class: a LevelPlay's save
// gives a LevelPlay.
SequencerObject as_python(std::unique_ptr<NarrativeSequencer> level) {
    py::object made;
    if (dynamic_cast<LevelPlay*>(level.get()) != nullptr) {
        made = py::cast(std::unique_ptr<LevelPlay>(static_cast<LevelPlay*>(level.release())));
    } else {
        made = py::cast(std::move(level));
    }
    return py::reinterpret_steal<SequencerObject>(made.release());
}

// Every zone under and including `root`, each once, whatever the depth.
std::unordered_set<const Environment*> zones_under(const Environment& root) {
    std::unordered_set<const Environment*> zones{&root};
    std::vector<const Environment*> pending{&root};
    while (!pending.empty()) {
        const Environment* zone = pending.back();
        pending.pop_back();
        for (const auto& sub_zone : zone->sub_environments) {
            if (sub_zone && zones.insert(sub_zone.get()).second) pending.push_back(sub_zone.get());
        }
    }
    return zones;
}

// A copied LevelPlay's refills name the zones of the copy's own tree, which
// may hold zones copied earlier by the same deepcopy call: each refill is
// pointed at the copy of its original zone. As in a save, a refill whose zone
// has left the original's tree is not copied.
void point_refills_at_copies(const LevelPlay& original, LevelPlay& copy, const ZoneCopies& copies) {
    if (original.refills().empty()) return;
    const std::unordered_set<const Environment*> in_tree = zones_under(*original.root_environment);
    std::vector<RefillAgent> refills;
    for (const RefillAgent& refill : original.refills()) {
        if (in_tree.count(refill.zone.get()) == 0) continue;
        std::shared_ptr<Environment> zone = copies.copy_of(*refill.zone);
        if (!zone) return;  // a subclass's own __setstate__ made another tree: leave it as it made it
        refills.push_back(refill);
        refills.back().zone = std::move(zone);
    }
    copy.set_refills(std::move(refills));
}

// What NarrativeSequencer.__setstate__ loads: a plain level's save only, as a
// LevelPlay's state goes to LevelPlay.__setstate__.
std::unique_ptr<NarrativeSequencer> load_plain_level(const BytesArgument& bytes) {
    std::unique_ptr<NarrativeSequencer> level = load_level(bytes.data(), bytes.size());
    if (dynamic_cast<LevelPlay*>(level.get()) != nullptr) {
        throw SaveFormatError("wrong kind: this is a level-play save (LevelPlay), not a level save "
                              "(NarrativeSequencer); LevelPlay.__setstate__() reads it");
    }
    return level;
}

void bind_level_saving(py::module_& m) {
    auto sequencer = py::reinterpret_borrow<SequencerClass>(m.attr("NarrativeSequencer"));
    sequencer
        .def(
            "save", [](const NarrativeSequencer& self) { return bytes_of(save_level(self)); },
            "The whole level in play as bytes, for NarrativeSequencer.load: its zone tree, "
            "current_frame, is_finished, the frame limit and the last event. A loaded level "
            "plays on exactly as this one would. Equal states give equal bytes, the same on "
            "every platform.")
        .def_static(
            "load",
            [](const SaveData& data) {
                BytesArgument bytes(data, "NarrativeSequencer.load()");
                return as_python(load_level(bytes.data(), bytes.size()));
            },
            py::arg("data"),
            "A new level from the bytes of NarrativeSequencer.save(), with its own zone tree; the "
            "save of a LevelPlay loads as a LevelPlay, with its refill agents. "
            "Raises ValueError for bytes that are not such a save (damaged, cut short, from a "
            "newer version, or a zone's save) and TypeError for data that is not bytes, "
            "bytearray or memoryview. Loading only reads data; it runs no code.")
        .def_property_readonly(
            "root_environment",
            [](const NarrativeSequencer& self) { return self.root_environment; },
            "The root zone this sequencer plays: the zone itself, not a copy.")
        .def(py::pickle([](const NarrativeSequencer& self) { return bytes_of(save_level(self)); },
                        [](const py::bytes& saved) {
                            return load_plain_level(BytesArgument(saved, "NarrativeSequencer.__setstate__()"));
                        }))
        .def(
            "__reduce__", [](const py::object& self) { return reduced_by_state(self); },
            "For pickle, copy.copy and copy.deepcopy (every protocol), through save and load: "
            "every copy, shallow or deep, is an independent level with its own copy of the "
            "zone tree.")
        .def(
            "__deepcopy__",
            [](const py::object& self, const py::dict& memo) -> SequencerObject {
                const auto& level = self.cast<const NarrativeSequencer&>();
                py::object copy = py::type::of(self).attr("__new__")(py::type::of(self));
                memo[py::int_(reinterpret_cast<std::uintptr_t>(self.ptr()))] = copy;
                copy.attr("__setstate__")(self.attr("__getstate__")());
                ZoneCopies& copies = zone_copies(memo);
                auto& copied = copy.cast<NarrativeSequencer&>();
                if (std::shared_ptr<Environment> earlier = copies.copy_of(*level.root_environment)) {
                    copied.root_environment = std::move(earlier);
                } else {
                    copies.record(level.root_environment, copied.root_environment);
                }
                const auto* original_play = dynamic_cast<const LevelPlay*>(&level);
                auto* copied_play = dynamic_cast<LevelPlay*>(&copied);
                if (original_play != nullptr && copied_play != nullptr) {
                    point_refills_at_copies(*original_play, *copied_play, copies);
                }
                py::object python_state = python_state_of(self);
                if (!python_state.is_none()) {
                    py::object deepcopy = py::module_::import("copy").attr("deepcopy");
                    restore_python_state(copy, python_state_parts(deepcopy(python_state, memo),
                                                                  "NarrativeSequencer"));
                }
                return py::reinterpret_steal<SequencerObject>(copy.release());
            },
            py::arg("memo"), py::pos_only(),
            "For copy.deepcopy: an independent level with its own copy of the zone tree (and of "
            "a subclass instance's attributes). Zones copied by the same deepcopy call stay "
            "shared as in the original: deepcopy((level, zone)) gives the zone inside the copied "
            "level.");
    guard_setstate<py::typing::Union<py::bytes, py::typing::Tuple<py::bytes, py::object>>>(
        sequencer, StateShape{is_bytes, "the bytes NarrativeSequencer.__getstate__() gives"},
        "Fill a NarrativeSequencer made by NarrativeSequencer.__new__() (as pickle and copy do) "
        "from the bytes of __getstate__(), alone or paired with a subclass instance's own "
        "attributes.");
}

void bind_level_play_saving(py::module_& m) {
    auto level_play = py::reinterpret_borrow<LevelPlayClass>(m.attr("LevelPlay"));
    level_play
        .def_static(
            "load",
            [](const SaveData& data) {
                BytesArgument bytes(data, "LevelPlay.load()");
                return load_level_play(bytes.data(), bytes.size());
            },
            py::arg("data"),
            "A new LevelPlay from the bytes of its save(), with its own zone tree and its refill "
            "agents in that tree: it plays on exactly as the saved one would, without the level "
            "file. Raises ValueError for bytes that are not such a save (a plain level's save "
            "included: NarrativeSequencer.load reads it) and TypeError for data that is not "
            "bytes, bytearray or memoryview. Loading only reads data; it runs no code.")
        .def(py::pickle([](const LevelPlay& self) { return bytes_of(save_level_play(self)); },
                        [](const py::bytes& saved) {
                            BytesArgument bytes(saved, "LevelPlay.__setstate__()");
                            return load_level_play(bytes.data(), bytes.size());
                        }));
    guard_setstate<py::typing::Union<py::bytes, py::typing::Tuple<py::bytes, py::object>>>(
        level_play, StateShape{is_bytes, "the bytes LevelPlay.__getstate__() gives"},
        "Fill a LevelPlay made by LevelPlay.__new__() (as pickle and copy do) from the bytes of "
        "__getstate__(), alone or paired with a subclass instance's own attributes.");
}

}  // namespace

void bind_saving(py::module_& m) {
    bind_polarity_pickling(m);
    bind_charge_pickling(m);
    bind_zone_saving(m);
    bind_level_saving(m);
    bind_level_play_saving(m);
}

}  // namespace qor::bindings
