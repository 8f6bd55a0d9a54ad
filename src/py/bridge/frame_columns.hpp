// A DataFrame read column by column instead of through `values`, which for a
// frame of mixed dtypes builds one Python object per cell before anything is
// read. Each column comes back as a 1-D array whose cells are exactly the cells
// `values` would hold in that column.
#pragma once
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "py/error.hpp"
#include "py/ref.hpp"
#include "py/bridge/numeric_cells.hpp"

namespace porosa::bridge {

struct FrameColumn {
    // 1-D, `rows` long. With `numbers` set, the column's own numeric array, whose
    // elements convert to the same doubles as the Python ints, floats and bools
    // that `values` would hold; otherwise a private object array of those cells.
    // With `texts` set instead, the codes of an Arrow-backed text column (see
    // text_codes.hpp).
    py::PyRef array;
    std::optional<NumericDtype> numbers;
    std::optional<std::vector<std::string>> texts;
};

// The columns of a pandas DataFrame whose `values` would be an object array
// interleaved from its blocks, or nothing when the frame must be read through
// `values` (a single dtype, a common dtype that is not object, a lookalike type,
// too few rows to be worth it, or an ordinary Python error on the way, which is
// cleared; any other error comes back). Call with the NumPy interface loaded.
py::Result<std::optional<std::vector<FrameColumn>>> split_frame(PyObject* frame, std::size_t rows, std::size_t cols);

}  // namespace porosa::bridge
