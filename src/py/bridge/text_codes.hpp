// A column of pandas' text dtype stored by Arrow, read as its distinct texts
// and each row's code (Series.factorize) instead of as one Python text per
// cell. Every cell of such a column converts to an exact str, which makes the
// column text from its first row on; its texts are those strs' UTF-8, so the
// codes say everything the cells would.
#pragma once
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "py/error.hpp"
#include "py/ref.hpp"

namespace porosa::bridge {

struct TextCodes {
    py::PyRef codes;                    // 1-D intp array, `rows` long, each in [0, distinct.size())
    std::vector<std::string> distinct;  // in order of first appearance
};

// Nothing when `series` is no such column or has a missing cell (whose
// conversion is not a str); the Python error of a step that failed. Call with
// the NumPy interface loaded.
py::Result<std::optional<TextCodes>> arrow_text_codes(PyObject* series, PyObject* dtype, std::size_t rows);

}  // namespace porosa::bridge
