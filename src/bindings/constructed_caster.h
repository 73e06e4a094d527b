#pragma once

// Argument conversion for the module's own classes that refuses an object
// whose C++ value was never constructed.
//
// Calling a class's __new__ directly (Environment.__new__(Environment), or
// pickle's reconstruction before __setstate__) makes the Python object
// without running __init__. pybind11 would hand such an object to a method
// as freshly allocated, unconstructed storage: reading it is undefined and
// usually crashes. Here every method, property and operator refuses it with
// TypeError instead; calling __init__ on it afterwards still works.
//
// Every translation unit that binds these classes includes this header (via
// bindings.h) before it converts any of them.

#include <string>

#include <pybind11/pybind11.h>

#include "bindings/charge_handle.h"
#include "level_file/level_file.h"
#include "level_file/level_play.h"
#include "model/charge.h"
#include "model/environment.h"
#include "replay/compact_explanations.h"
#include "sequencer/narrative_sequencer.h"

namespace pybind11::detail {

template <typename T>
class constructed_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        refuse_unconstructed(src);
        return type_caster_base<T>::load(src, convert);
    }

private:
    void refuse_unconstructed(handle src) const {
        const type_info* bound = this->typeinfo;
        if (!src || bound == nullptr || !PyObject_TypeCheck(src.ptr(), bound->type)) return;
        auto* object = reinterpret_cast<instance*>(src.ptr());
        value_and_holder value = object->get_value_and_holder(bound, false);
        // An object of a derived class (a LevelPlay taken as a
        // NarrativeSequencer) holds the value of its own class.
        if (value.inst == nullptr) value = object->get_value_and_holder();
        // (A value_and_holder converts to true only when it holds a value.)
        if (value.inst != nullptr && value.value_ptr() == nullptr) {
            throw type_error(std::string("this ") + Py_TYPE(src.ptr())->tp_name +
                             " object was never initialised (its __new__ was called without "
                             "__init__); make it by calling the class");
        }
    }
};

template <>
class type_caster<qor::Environment> : public constructed_caster<qor::Environment> {};

template <>
class type_caster<qor::NarrativeSequencer> : public constructed_caster<qor::NarrativeSequencer> {};

template <>
class type_caster<qor::CompactExplanations> : public constructed_caster<qor::CompactExplanations> {};

template <>
class type_caster<qor::ChargePolarity> : public constructed_caster<qor::ChargePolarity> {};

template <>
class type_caster<qor::Level> : public constructed_caster<qor::Level> {};

template <>
class type_caster<qor::LevelPlay> : public constructed_caster<qor::LevelPlay> {};

// A Charge is never None: None among the charges assigned to a zone is
// refused as any other object that is not a Charge.
template <>
class type_caster<qor::bindings::ChargeHandle> : public constructed_caster<qor::bindings::ChargeHandle> {
public:
    bool load(handle src, bool convert) {
        if (src.is_none()) return false;
        return constructed_caster<qor::bindings::ChargeHandle>::load(src, convert);
    }
};

}  // namespace pybind11::detail
