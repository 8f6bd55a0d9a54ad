// The NumPy C interface, loaded from NumPy's capsule on first use rather than at
// import, so that importing the module creates nothing but its types. Include
// this header, never numpy/arrayobject.h directly: every unit must agree on the
// name of the table of function pointers.
#pragma once
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL porosa_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef POROSA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <numpy/arrayobject.h>
#pragma GCC diagnostic pop

#include "py/error.hpp"

namespace porosa::bridge {

// Makes the NumPy C interface usable on this and every later call; a failed
// import or an incompatible NumPy comes back as the Python error. Call it on the
// calling thread before any PyArray_* use.
py::Status load_numpy();

}  // namespace porosa::bridge
