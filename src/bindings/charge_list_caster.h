#pragma once

// Argument conversion for the charges a host assigns to a zone: any sequence
// or iterable of Charge, as pybind11's own list conversion takes, without
// trusting a sequence's len(). pybind11 reserves room for len() items first,
// so a sequence whose __len__ lies (sys.maxsize) failed with "vector::reserve"
// or took gigabytes. Here only a list's or a tuple's length reserves room, and
// a sequence that gives another number of items than its len() says is
// refused with ValueError before anything changes.
//
// Included by bindings.h, so every translation unit sees it before it
// converts such a list.

#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/charge_handle.h"
#include "bindings/constructed_caster.h"

namespace pybind11::detail {

template <>
class type_caster<std::vector<qor::bindings::ChargeHandle>> {
    using Item = qor::bindings::ChargeHandle;
    using Items = std::vector<Item>;

public:
    PYBIND11_TYPE_CASTER(Items, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                    make_caster<Item>::name + const_name("]"));

    bool load(handle src, bool convert) {
        if (!object_is_convertible_to_std_vector(src)) return false;
        if (isinstance<sequence>(src)) return load_items(src, convert);
        if (!convert) return false;
        // A one-pass iterable is read whole first, as pybind11 does.
        return load_items(tuple(reinterpret_borrow<iterable>(src)), convert);
    }

    static handle cast(const Items& items, return_value_policy policy, handle parent) {
        list made(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            object item = reinterpret_steal<object>(make_caster<Item>::cast(items[i], policy, parent));
            if (!item) return handle();
            made[i] = std::move(item);
        }
        return made.release();
    }

private:
    bool load_items(handle items, bool convert) {
        const Py_ssize_t claimed = PySequence_Size(items.ptr());
        if (claimed < 0) throw error_already_set();
        Items loaded;
        if (PyList_CheckExact(items.ptr()) || PyTuple_CheckExact(items.ptr())) {
            loaded.reserve(static_cast<std::size_t>(claimed));
        }
        for (handle item : items) {
            if (static_cast<Py_ssize_t>(loaded.size()) == claimed) refuse_length(claimed, "more");
            make_caster<Item> conv;
            if (!conv.load(item, convert)) return false;
            loaded.push_back(cast_op<Item&&>(std::move(conv)));
        }
        if (static_cast<Py_ssize_t>(loaded.size()) != claimed) refuse_length(claimed, "fewer");
        value = std::move(loaded);
        return true;
    }

    [[noreturn]] static void refuse_length(Py_ssize_t claimed, const char* how) {
        throw value_error("charges: the sequence's len() says " + std::to_string(claimed) +
                          " items but iterating it gave " + how +
                          "; the charges were not changed");
    }
};

}  // namespace pybind11::detail
