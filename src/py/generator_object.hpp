// The Python objects behind MAR and MNAR: a borrow state and the native generator.
#pragma once
#include <Python.h>

#include <memory>

#include "generators/common/generator.hpp"
#include "py/boundary.hpp"

namespace porosa::py {

struct GeneratorObject {
    PyObject_HEAD
    BorrowState borrow;
    Generator* core;  // owned; released by deallocation
};

// Wraps a freshly built generator in a new instance of `type`.
Result<PyRef> wrap_generator(PyTypeObject* type, std::unique_ptr<Generator> core);

// The thread whose calls run the interpreter's signal handlers (the main
// thread), recorded when the module is executed and again in a forked child.
void note_main_thread(unsigned long ident);

// The slots shared by both classes.
PyObject* generator_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* generator_repr(PyObject* self);
void generator_dealloc(PyObject* self);
int generator_traverse(PyObject* self, visitproc visit, void* arg);
int generator_clear(PyObject* self);

// The type objects, created once per process and borrowed from there.
Result<PyObject*> mnar_type();
Result<PyObject*> mar_type();

}  // namespace porosa::py
