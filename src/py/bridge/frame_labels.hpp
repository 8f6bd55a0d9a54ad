// A DataFrame's column labels as texts.
#pragma once
#include <Python.h>

#include <string>
#include <vector>

#include "py/error.hpp"

namespace porosa::bridge {

// All str labels as they are, or else all 64-bit integers in decimal; only the
// error of the integer reading reaches the caller.
py::Result<std::vector<std::string>> frame_labels(PyObject* frame);

}  // namespace porosa::bridge
