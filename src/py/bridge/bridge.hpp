// The data bridge seen from the boundary: caller's object in, matrix out, and back.
#pragma once
#include <Python.h>

#include <optional>

#include "core/data_matrix.hpp"
#include "py/error.hpp"
#include "py/ref.hpp"
#include "py/bridge/encoding_info.hpp"

namespace porosa::bridge {

struct Extracted {
    OUT out;
    DataMatrix matrix;
    std::optional<EncodingInfo> info;  // absent after the float64 fast path
};

// Reads a 2-D NumPy array or a DataFrame. Python errors come back as values;
// internal failures throw Panic.
py::Result<Extracted> pyany_to_vec(PyObject* data);

// Builds the caller's kind of object from the matrix.
py::Result<py::PyRef> arr_to_out(const DataMatrix& matrix, OUT out, std::optional<EncodingInfo> info);

}  // namespace porosa::bridge
