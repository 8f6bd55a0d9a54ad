#include "py/signal_origin.hpp"

#include <algorithm>

#include "py/ref.hpp"

namespace porosa::py {

namespace {

// `value` is `frame`, or a tuple holding it (a handler taking *args).
bool holds(PyObject* value, PyObject* frame) {
    if (value == frame) return true;
    if (!PyTuple_Check(value)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i)
        if (PyTuple_GET_ITEM(value, i) == frame) return true;
    return false;
}

bool called_with_its_caller(PyFrameObject* frame) {
    PyRef back = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
    if (!back) return false;
    PyRef code_object = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    auto* code = reinterpret_cast<PyCodeObject*>(code_object.get());
    // The arguments lead the variable names: positional, keyword-only, *args.
    const Py_ssize_t arguments =
        code->co_argcount + code->co_kwonlyargcount + ((code->co_flags & CO_VARARGS) ? 1 : 0);
    PyRef names = PyRef::steal(PyCode_GetVarnames(code));
    PyRef locals = PyRef::steal(PyFrame_GetLocals(frame));
    if (!names || !locals || !PyTuple_Check(names.get())) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t n = std::min(arguments, PyTuple_GET_SIZE(names.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // An argument deleted by then is simply not there.
        PyRef value = PyRef::steal(PyObject_GetItem(locals.get(), PyTuple_GET_ITEM(names.get(), i)));
        if (!value) {
            PyErr_Clear();
            continue;
        }
        if (holds(value.get(), back.get())) return true;
    }
    return false;
}

}  // namespace

bool raised_by_signal_handler(PyObject* exception) noexcept {
    PyRef entry = PyRef::steal(PyException_GetTraceback(exception));
    while (entry && entry.get() != Py_None) {
        auto* tb = reinterpret_cast<PyTracebackObject*>(entry.get());
        if (tb->tb_frame && called_with_its_caller(tb->tb_frame)) return true;
        entry = PyRef::borrow(reinterpret_cast<PyObject*>(tb->tb_next));
    }
    return false;
}

}  // namespace porosa::py
