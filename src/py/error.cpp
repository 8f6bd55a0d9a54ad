#include "py/error.hpp"

#include "core/panic.hpp"
#include "py/signal_origin.hpp"

namespace porosa::py {

namespace {

PyRef take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyRef value = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *raw, *tb;
    PyErr_Fetch(&type, &raw, &tb);
    PyErr_NormalizeException(&type, &raw, &tb);
    PyRef owned_type = PyRef::steal(type), owned_tb = PyRef::steal(tb);
    PyRef value = PyRef::steal(raw);
    if (owned_tb && value) PyException_SetTraceback(value.get(), owned_tb.get());
#endif
    if (!value) value = PyRef::steal(PyObject_CallFunction(PyExc_SystemError, "s", "error without exception"));
    return value;
}

PyObject* exception_type(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::Internal: return panic_exception_type();
        case ErrorKind::System: break;
    }
    return PyExc_SystemError;
}

PyRef text_of(const std::string& s) noexcept {
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = [] {
        PyObject* t = PyErr_NewExceptionWithDoc("porosa.PanicException",
                                                "An internal failure of porosa: a broken invariant or an "
                                                "impossible step.",
                                                PyExc_BaseException, nullptr);
        if (!t) Py_FatalError("cannot create PanicException");
        return t;
    }();
    return type;
}

PyError PyError::fetch() noexcept {
    PyError e;
    e.v_ = take_raised();
    return e;
}

PyObject* PyError::raised() noexcept {
    if (const Error* own = std::get_if<Error>(&v_)) {
        set_error(exception_type(own->kind), own->message);
        v_ = take_raised();
    }
    return std::get<PyRef>(v_).get();
}

void set_error(PyObject* type, const std::string& message) noexcept {
    PyRef text = text_of(message);
    if (text) PyErr_SetObject(type, text.get());
}

void PyError::restore() && noexcept {
    raised();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(std::get<PyRef>(v_).release());
#else
    PyObject* value = std::get<PyRef>(v_).release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

Expected<std::string, PyError> PyError::describe() {
    PyObject* value = raised();
    std::string out = _PyType_Name(Py_TYPE(value));
    PyRef text = PyRef::steal(PyObject_Str(value));
    Py_ssize_t n = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (!s) {
        RETURN_IF_ERROR(clear_ordinary());
        return out;
    }
    if (n > 0) out += ": " + std::string(s, n);
    return out;
}

bool PyError::is_ordinary() noexcept {
    // porosa's own failures are ordinary without being raised first, except
    // those reported as PanicException, a BaseException.
    if (const Error* own = std::get_if<Error>(&v_)) return own->kind != ErrorKind::Internal;
    const PyRef* value = std::get_if<PyRef>(&v_);
    if (!PyErr_GivenExceptionMatches(value->get(), PyExc_Exception) ||
        PyErr_GivenExceptionMatches(value->get(), PyExc_MemoryError))
        return false;
    Result<bool> from_handler = raised_by_signal_handler(value->get());
    if (from_handler) return !*from_handler;
    *this = std::move(from_handler).error();
    return is_ordinary();
}

bool PyError::matches(PyObject* type) noexcept { return PyErr_GivenExceptionMatches(raised(), type); }

Status clear_ordinary(PyError e) {
    if (e.is_ordinary()) return {};
    return Unexpected<PyError>{std::move(e)};
}

Status clear_ordinary() { return clear_ordinary(PyError::fetch()); }

Unexpected<PyError> step_failed(const std::string& what, PyError e) {
    if (!e.is_ordinary()) return Unexpected<PyError>{std::move(e)};
    Result<std::string> text = e.describe();
    if (!text) return std::move(text).pass();
    panic(what + ": " + *text);
}

Unexpected<PyError> step_failed(const std::string& what) { return step_failed(what, PyError::fetch()); }

Status PyError::add_note(const std::string& note) {
    PyObject* value = raised();
    PyRef text = text_of(note);
    PyRef r = text ? PyRef::steal(PyObject_CallMethod(value, "add_note", "O", text.get())) : PyRef();
    if (r) return {};
    return clear_ordinary();
}

}  // namespace porosa::py
