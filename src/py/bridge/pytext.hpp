// Python texts to and from UTF-8, on the calling thread.
#pragma once
#include <Python.h>

#include <string>
#include <string_view>

#include "py/error.hpp"
#include "py/ref.hpp"

namespace porosa::bridge {

// The UTF-8 bytes of a Python text (a str or a subclass of it).
inline py::Result<std::string> utf8_of(PyObject* text) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text, &n);
    if (!p) return py::fail_from_current();
    return std::string(p, static_cast<std::size_t>(n));
}

// str(o) as UTF-8.
inline py::Result<std::string> str_of(PyObject* o) {
    ASSIGN_OR_RETURN(py::PyRef s, py::owned(PyObject_Str(o)));
    return utf8_of(s.get());
}

inline py::Result<py::PyRef> new_text(std::string_view text) {
    return py::owned(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace porosa::bridge
