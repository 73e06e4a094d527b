#pragma once

// Values assigned to the module's read-write properties. A setter takes its
// value as Assigned<T, Property>: converted exactly as a parameter of type T
// is (the same values are taken), and refused, when it cannot be, with a
// TypeError that names the property ("max_frames must be an int, not float")
// instead of pybind11's "incompatible function arguments", which names
// nothing. The property's name is a character array of its own, since a
// string literal cannot be a template argument:
//
//     constexpr char kMaxFrames[] = "max_frames";
//     [](NarrativeSequencer& self, Assigned<std::int64_t, kMaxFrames> limit) { ... limit.value ... }
//
// Included by bindings.h, so every translation unit sees it before it binds
// a setter.

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/charge_handle.h"
#include "model/charge.h"

namespace qor::bindings {

// The integers a property's message gives as its range: by default all of T's.
template <typename T>
struct IntegerRange {
    static constexpr std::int64_t min() { return static_cast<std::int64_t>(std::numeric_limits<T>::min()); }
    static constexpr std::int64_t max() { return static_cast<std::int64_t>(std::numeric_limits<T>::max()); }
};

template <typename T, const char* Property, typename Range = IntegerRange<T>>
struct Assigned {
    T value{};
};

// What a property of type T takes, as its TypeError says it.
template <typename T>
const char* expected_value() {
    if constexpr (std::is_same_v<T, bool>) {
        return "a bool";
    } else if constexpr (std::is_integral_v<T>) {
        return "an int";
    } else if constexpr (std::is_floating_point_v<T>) {
        return "a float";
    } else if constexpr (std::is_same_v<T, std::string>) {
        return "a str";
    } else if constexpr (std::is_same_v<T, ChargePolarity>) {
        return "a ChargePolarity";
    } else {
        static_assert(std::is_same_v<T, std::vector<ChargeHandle>>, "say what the property takes");
        return "an iterable of Charge";
    }
}

inline std::string type_name(pybind11::handle value) {
    return pybind11::str(pybind11::type::of(value).attr("__name__"));
}

// Why a value that pybind11 could not convert to T was refused.
template <typename T, typename Range>
std::string refusal(pybind11::handle value, const char* property) {
    namespace py = pybind11;
    const std::string name(property);
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
        // An integer outside T: anything with __index__ that gives one.
        py::object integer = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
        if (!integer) PyErr_Clear();
        else {
            return name + " must be an int from " + std::to_string(Range::min()) + " to " +
                   std::to_string(Range::max()) + ", not " + std::string(py::str(integer));
        }
    } else if constexpr (std::is_floating_point_v<T>) {
        if (PyIndex_Check(value.ptr())) return name + " must be a float, not an int too large to convert to one";
    } else if constexpr (std::is_same_v<T, std::vector<ChargeHandle>>) {
        if (PyList_CheckExact(value.ptr()) || PyTuple_CheckExact(value.ptr())) {
            Py_ssize_t index = 0;
            for (py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
                if (!py::isinstance<ChargeHandle>(item)) {
                    return name + " must be an iterable of Charge; item " + std::to_string(index) + " is " +
                           type_name(item);
                }
                ++index;
            }
        } else if (py::detail::object_is_convertible_to_std_vector(value)) {
            return name + " must be an iterable of Charge; an item of the " + type_name(value) + " is not one";
        }
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (PyUnicode_Check(value.ptr())) {
            // The one str that UTF-8 cannot encode: one holding a surrogate.
            const Py_ssize_t length = PyUnicode_GetLength(value.ptr());
            for (Py_ssize_t i = 0; i < length; ++i) {
                const Py_UCS4 unit = PyUnicode_ReadChar(value.ptr(), i);
                if (unit >= 0xD800 && unit <= 0xDFFF) {
                    return name + " holds a lone surrogate, " +
                           std::string(py::str("\\u{:04x}").format(static_cast<unsigned>(unit))) +
                           " at position " + std::to_string(i) + ", which UTF-8 cannot encode";
                }
            }
        }
    }
    return name + " must be " + expected_value<T>() + ", not " + type_name(value);
}

}  // namespace qor::bindings

namespace pybind11::detail {

template <typename T, const char* Property, typename Range>
class type_caster<qor::bindings::Assigned<T, Property, Range>> {
    using Value = qor::bindings::Assigned<T, Property, Range>;

public:
    PYBIND11_TYPE_CASTER(Value, make_caster<T>::name);

    bool load(handle src, bool convert) {
        make_caster<T> inner;
        if (inner.load(src, convert)) {
            try {
                value.value = cast_op<T&&>(std::move(inner));
                return true;
            } catch (const reference_cast_error&) {
                // None, which a class's caster lets through as a null value.
            }
        }
        if (!convert) return false;  // another overload may take it
        throw type_error(qor::bindings::refusal<T, Range>(src, Property));
    }
};

}  // namespace pybind11::detail
