#include "py/error.hpp"

#include "core/panic.hpp"
#include "py/signal_origin.hpp"

namespace porosa::py {

PyError PyError::fetch() noexcept {
    PyError e;
#if PY_VERSION_HEX >= 0x030C0000
    e.value_ = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef owned_type = PyRef::steal(type), owned_tb = PyRef::steal(tb);
    e.value_ = PyRef::steal(value);
    if (owned_tb && e.value_) PyException_SetTraceback(e.value_.get(), owned_tb.get());
#endif
    if (!e.value_) e.value_ = PyRef::steal(PyObject_CallFunction(PyExc_SystemError, "s", "error without exception"));
    return e;
}

namespace {

PyRef text_of(const std::string& s) noexcept {
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

}  // namespace

void set_error(PyObject* type, const std::string& message) noexcept {
    PyRef text = text_of(message);
    if (text) PyErr_SetObject(type, text.get());
}

PyError PyError::make(PyObject* type, const std::string& message) noexcept {
    set_error(type, message);
    return fetch();
}

void PyError::restore() && noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());
#else
    PyObject* value = value_.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

std::string PyError::describe() const {
    std::string out = _PyType_Name(Py_TYPE(value_.get()));
    PyRef text = PyRef::steal(PyObject_Str(value_.get()));
    if (text) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n); s && n > 0) out += ": " + std::string(s, n);
    }
    PyErr_Clear();
    return out;
}

bool PyError::is_ordinary() const noexcept {
    return PyErr_GivenExceptionMatches(value_.get(), PyExc_Exception) &&
           !PyErr_GivenExceptionMatches(value_.get(), PyExc_MemoryError) && !raised_by_signal_handler(value_.get());
}

Status clear_ordinary() {
    PyError e = PyError::fetch();
    if (e.is_ordinary()) return {};
    return Unexpected<PyError>{std::move(e)};
}

Unexpected<PyError> step_failed(const std::string& what) {
    PyError e = PyError::fetch();
    if (e.is_ordinary()) panic(what + ": " + e.describe());
    return Unexpected<PyError>{std::move(e)};
}

void PyError::add_note(const std::string& note) const noexcept {
    PyRef text = text_of(note);
    PyRef r = text ? PyRef::steal(PyObject_CallMethod(value_.get(), "add_note", "O", text.get())) : PyRef();
    if (!r) PyErr_Clear();
}

}  // namespace porosa::py
