// The float64 fast path: a 2-D array of native doubles read by plain copying.
#pragma once
#include <Python.h>

#include <optional>

#include "core/data_matrix.hpp"
#include "py/error.hpp"

namespace porosa::bridge {

// A 2-D array whose dtype is native float64, copied into row-major order;
// nothing for any other object, or for an array that changed while it was copied.
py::Result<std::optional<DataMatrix>> fast_path(PyObject* data);

}  // namespace porosa::bridge
