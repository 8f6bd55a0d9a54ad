// The module porosa: two classes, MNAR and MAR, and nothing else.
#include <Python.h>

#include "py/generator_object.hpp"

namespace {

using porosa::ErrorKind;
using porosa::py::check;
using porosa::py::owned;
using porosa::py::PyRef;
using porosa::py::Result;
using porosa::py::Status;

// Signal handlers run on the interpreter's main thread only, so calls made
// there are the ones that look for them.
Status record_main_thread() {
    ASSIGN_OR_RETURN(PyRef threading, owned(PyImport_ImportModule("threading")));
    ASSIGN_OR_RETURN(PyRef main, owned(PyObject_CallMethod(threading.get(), "main_thread", nullptr)));
    ASSIGN_OR_RETURN(PyRef ident, owned(PyObject_GetAttrString(main.get(), "ident")));
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return porosa::py::fail_from_current();
    porosa::py::note_main_thread(id);
    return {};
}

Status add_class(PyObject* module, const char* name, Result<PyObject*> type) {
    if (!type) return std::move(type).pass();
    return check(PyModule_AddObjectRef(module, name, *type));
}

// A failing step leaves the classes added before it on the module.
Status exec_steps(PyObject* module) {
    if (!PyModule_Check(module))
        return porosa::py::fail(ErrorKind::Type, "porosa can only be executed on a module object");
    RETURN_IF_ERROR(record_main_thread());
    RETURN_IF_ERROR(add_class(module, "MNAR", porosa::py::mnar_type()));
    return add_class(module, "MAR", porosa::py::mar_type());
}

int porosa_exec(PyObject* module) {
    return porosa::py::guard_status([&] { return exec_steps(module); });
}

PyModuleDef_Slot porosa_slots[] = {
#ifdef Py_mod_name
    {Py_mod_name, const_cast<char*>("porosa")},
    {Py_mod_doc, const_cast<char*>("")},
#endif
    {Py_mod_exec, reinterpret_cast<void*>(porosa_exec)},
#ifdef Py_mod_multiple_interpreters
    // The type objects and the NumPy interface are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef porosa_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "porosa",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = porosa_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" {

PyMODINIT_FUNC PyInit_porosa() { return PyModuleDef_Init(&porosa_module); }

// The slot-table export of newer interpreters; older ones never call it.
__attribute__((visibility("default"))) PyModuleDef_Slot* PyModExport_porosa() { return porosa_slots; }

}
