// Reading one column's cells into ColumnCells: by item access, the reading
// every source allows, or straight from a NumPy array's memory wherever that
// hands out the same cells as item access would, so that the two readings
// cannot classify or convert apart.
#pragma once
#include <Python.h>

#include <cstddef>

#include "py/error.hpp"
#include "py/bridge/column_cells.hpp"
#include "py/bridge/numeric_cells.hpp"

namespace porosa::bridge {

// Column j from row `from` on, by item access.
py::Status read_items(PyObject* source, std::size_t j, std::size_t from, std::size_t rows, ColumnCells& col);

// Column j of an object array (a null slot reads as None, as item access gives
// it). Once the array has changed under the reading, the remaining cells are
// read from `source` by item access; without a source, the array is a private
// copy that nothing can change, and a change is an internal failure.
py::Status read_objects(PyArrayObject* a, std::size_t j, std::size_t rows, ColumnCells& col, PyObject* source);

// Column j of a NumPy text array, whose item access is `source`'s.
py::Status read_unicode(PyArrayObject* a, PyObject* source, std::size_t j, std::size_t rows, ColumnCells& col);

// The whole array's numbers straight into the row-major `out`.
py::Status read_numbers(PyArrayObject* a, NumericDtype type, std::size_t rows, std::size_t cols, double* out);

// A source whose item access is NumPy's own: an exact ndarray or memmap (whose
// __getitem__ hands out the same scalars), two-dimensional, of the frame's
// shape; null for anything else. A failure to tell that is not ordinary comes
// back.
py::Result<PyArrayObject*> plain_array(PyObject* source, std::size_t rows, std::size_t cols);

}  // namespace porosa::bridge
