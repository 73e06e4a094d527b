#include "bindings/bytes_argument.h"

#include <string>

namespace qor::bindings {

BytesArgument::BytesArgument(const py::handle& data, const char* caller, Text text, const char* path_hint) {
    if (text == Text::UTF8 && PyUnicode_Check(data.ptr())) {
        read_text(data);
        return;
    } else if (!PyBytes_Check(data.ptr()) && !PyByteArray_Check(data.ptr()) && !PyMemoryView_Check(data.ptr())) {
        std::string message = std::string(caller) + ": data must be " +
                              (text == Text::UTF8 ? "str, bytes" : "bytes") + ", bytearray or memoryview, not " +
                              Py_TYPE(data.ptr())->tp_name;
        if (path_hint && PyObject_HasAttrString(data.ptr(), "__fspath__")) message += std::string("; ") + path_hint;
        throw py::type_error(message);
    }
    read_buffer(data);
}

BytesArgument::~BytesArgument() {
    if (held_) PyBuffer_Release(&view_);
}

// A str's UTF-8, kept by the str itself, or a copy for a str that holds a
// lone surrogate.
void BytesArgument::read_text(const py::handle& data) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(data.ptr(), &size)) {
        bytes_ = std::string_view(utf8, static_cast<std::size_t>(size));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    copy_ = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(data.ptr(), "utf-8", "surrogatepass"));
    if (!copy_) throw py::error_already_set();
    bytes_ = std::string_view(PyBytes_AS_STRING(copy_.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(copy_.ptr())));
}

void BytesArgument::read_buffer(const py::handle& data) {
    if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
        if (!PyMemoryView_Check(data.ptr()) || !PyErr_ExceptionMatches(PyExc_BufferError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        copy_ = data.attr("tobytes")();
        if (PyObject_GetBuffer(copy_.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    }
    held_ = true;
    bytes_ = std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
}

}  // namespace qor::bindings
