#include "py/signal_origin.hpp"

#include <algorithm>

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

// The local `name`, or null when it is not there (an argument deleted by then).
Result<PyRef> local(PyObject* locals, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyMapping_GetOptionalItem(locals, name, &value) < 0) return fail_from_current();
    return PyRef::steal(value);
#else
    // A frame's locals are a dict before 3.13.
    PyObject* value = PyDict_Check(locals) ? PyDict_GetItemWithError(locals, name) : nullptr;
    if (!value && PyErr_Occurred()) return fail_from_current();
    return PyRef::borrow(value);
#endif
}

Result<bool> called_with_its_caller(PyFrameObject* frame) {
    PyRef back = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
    if (!back) return false;
    PyRef code_object = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    auto* code = reinterpret_cast<PyCodeObject*>(code_object.get());
    // The arguments lead the variable names: positional, keyword-only, *args.
    const Py_ssize_t arguments =
        code->co_argcount + code->co_kwonlyargcount + ((code->co_flags & CO_VARARGS) ? 1 : 0);
    ASSIGN_OR_RETURN(PyRef names, owned(PyCode_GetVarnames(code)));
    ASSIGN_OR_RETURN(PyRef locals, owned(PyFrame_GetLocals(frame)));
    if (!PyTuple_Check(names.get())) return false;
    const Py_ssize_t n = std::min(arguments, PyTuple_GET_SIZE(names.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        ASSIGN_OR_RETURN(PyRef value, local(locals.get(), PyTuple_GET_ITEM(names.get(), i)));
        if (value && holds(value.get(), back.get())) return true;
    }
    return false;
}

}  // namespace

Result<bool> raised_by_signal_handler(PyObject* exception) {
    PyRef entry = PyRef::steal(PyException_GetTraceback(exception));
    while (entry && entry.get() != Py_None) {
        auto* tb = reinterpret_cast<PyTracebackObject*>(entry.get());
        if (tb->tb_frame) {
            ASSIGN_OR_RETURN(bool called, called_with_its_caller(tb->tb_frame));
            if (called) return true;
        }
        entry = PyRef::borrow(reinterpret_cast<PyObject*>(tb->tb_next));
    }
    return false;
}

}  // namespace porosa::py
