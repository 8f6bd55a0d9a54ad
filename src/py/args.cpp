#include "py/args.hpp"

#include <algorithm>
#include <cstring>

#include "py/ref.hpp"

namespace porosa::py {

namespace {

Unexpected<PyError> failed(const char* name, PyError e) {
    Status noted = e.add_note(std::string("while processing '") + name + "'");
    if (!noted) return std::move(noted).pass();
    return Unexpected<PyError>{std::move(e)};
}

Unexpected<PyError> failed(const char* name) { return failed(name, PyError::fetch()); }

// A conversion's own TypeError, worded as the interpreter words it.
Unexpected<PyError> refused(const char* name, std::string text) {
    return failed(name, Error{ErrorKind::Type, std::move(text)});
}

// "'T' object cannot be converted to 'target'", the type's name cut to its
// first 200 bytes as "%.200s" cuts it.
std::string not_convertible(PyObject* o, const char* target) {
    std::string text = "'";
    text.append(Py_TYPE(o)->tp_name, std::min<std::size_t>(std::strlen(Py_TYPE(o)->tp_name), 200));
    text.append("' object cannot be converted to '").append(target).append("'");
    return text;
}

// Integer parameters take whatever Python itself takes as an integer: ints and
// objects with __index__, such as NumPy's integer scalars (a seed drawn with
// NumPy is one). Floats have no __index__ and stay refused, with the usual
// "cannot be interpreted as an integer".
PyRef as_int(PyObject* o) {
    return PyLong_Check(o) ? PyRef::borrow(o) : PyRef::steal(PyNumber_Index(o));
}

}  // namespace

Result<double> to_double(PyObject* o, const char* name) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return failed(name);
    return v;
}

Result<std::string> to_text(PyObject* o, const char* name) {
    if (!PyUnicode_Check(o)) return refused(name, not_convertible(o, "str"));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return failed(name);
    return std::string(s, static_cast<std::size_t>(n));
}

Result<std::uint64_t> to_u64(PyObject* o, const char* name) {
    PyRef n = as_int(o);
    if (!n) return failed(name);
    unsigned long long v = PyLong_AsUnsignedLongLong(n.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return failed(name);
    return static_cast<std::uint64_t>(v);
}

Result<std::size_t> to_usize(PyObject* o, const char* name) {
    PyRef n = as_int(o);
    if (!n) return failed(name);
    std::size_t v = PyLong_AsSize_t(n.get());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return failed(name);
    return v;
}

Result<std::pair<double, double>> to_pair(PyObject* o, const char* name) {
    if (!PyTuple_Check(o)) return refused(name, not_convertible(o, "tuple"));
    if (PyTuple_GET_SIZE(o) != 2)
        return refused(name, "expected tuple of length 2, but got tuple of length " +
                                 std::to_string(PyTuple_GET_SIZE(o)));
    double a = PyFloat_AsDouble(PyTuple_GET_ITEM(o, 0));
    if (a == -1.0 && PyErr_Occurred()) return failed(name);
    double b = PyFloat_AsDouble(PyTuple_GET_ITEM(o, 1));
    if (b == -1.0 && PyErr_Occurred()) return failed(name);
    return std::pair{a, b};
}

}  // namespace porosa::py
