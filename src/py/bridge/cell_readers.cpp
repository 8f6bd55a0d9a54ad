#include "py/bridge/cell_readers.hpp"

#include <cstring>
#include <string>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "py/bridge/array_geometry.hpp"
#include "py/bridge/ucs4.hpp"

namespace porosa::bridge {

namespace {

using py::PyRef;
using py::Status;

// A fresh (i, j) key per cell: the source may keep a reference to it.
py::Result<PyRef> cell_key(std::size_t i, PyObject* column) {
    ASSIGN_OR_RETURN(PyRef row, py::owned(PyLong_FromSize_t(i)));
    return py::owned(PyTuple_Pack(2, row.get(), column));
}

// Cell (i, j) by item access, `column_index` being j as a Python int.
Status take_item(PyObject* source, std::size_t i, std::size_t j, PyObject* column_index, std::size_t rows,
                 ColumnCells& col) {
    ASSIGN_OR_RETURN(PyRef key, cell_key(i, column_index));
    PyRef cell = PyRef::steal(PyObject_GetItem(source, key.get()));
    if (!cell) return py::step_failed("cannot read cell (" + std::to_string(i) + ", " + std::to_string(j) + ")");
    return col.take(cell.get(), rows);
}

// What remains of column j once its array changed under the reading.
Status read_rest(PyObject* source, std::size_t j, std::size_t from, std::size_t rows, ColumnCells& col) {
    if (!source) panic("a column copy changed while it was read");
    return read_items(source, j, from, rows, col);
}

}  // namespace

Status read_items(PyObject* source, std::size_t j, std::size_t from, std::size_t rows, ColumnCells& col) {
    ASSIGN_OR_RETURN(PyRef column_index, py::owned(PyLong_FromSize_t(j)));
    for (std::size_t i = from; i < rows; ++i) {
        interrupt_point();
        RETURN_IF_ERROR(take_item(source, i, j, column_index.get(), rows, col));
    }
    return {};
}

Status read_objects(PyArrayObject* a, std::size_t j, std::size_t rows, ColumnCells& col, PyObject* source) {
    const Geometry at_start(a);
    const npy_intp cols = at_start.ndim == 2 ? at_start.dims[1] : 1;
    if (at_start.ndim < 1 || at_start.ndim > 2 || static_cast<std::size_t>(at_start.dims[0]) != rows ||
        static_cast<std::size_t>(cols) <= j || at_start.descr->type_num != NPY_OBJECT || !PyArray_ISALIGNED(a))
        return read_rest(source, j, 0, rows, col);
    for (std::size_t i = 0; i < rows; ++i) {
        interrupt_point();
        if (!(Geometry(a) == at_start)) return read_rest(source, j, i, rows, col);
        PyObject* slot;
        std::memcpy(&slot,
                    at_start.data + static_cast<npy_intp>(i) * at_start.strides[0] +
                        static_cast<npy_intp>(j) * at_start.strides[1],
                    sizeof slot);
        PyRef cell = PyRef::borrow(slot ? slot : Py_None);
        RETURN_IF_ERROR(col.take(cell.get(), rows));
    }
    return {};
}

// np.str_ cells the float conversion always refuses, so the column is text
// from its first row on.
Status read_unicode(PyArrayObject* a, PyObject* source, std::size_t j, std::size_t rows, ColumnCells& col) {
    if (rows > 0) col.turn_to_text(rows);
    const Geometry at_start(a);
    const npy_intp s0 = at_start.strides[0];
    const npy_intp s1 = at_start.strides[1];
    const std::size_t units = static_cast<std::size_t>(PyArray_ITEMSIZE(a)) / 4;
    const bool swapped = !PyArray_ISNBO(PyArray_DESCR(a)->byteorder);
    std::string text;
    for (std::size_t i = 0; i < rows; ++i) {
        interrupt_point();
        if (!(Geometry(a) == at_start)) return read_items(source, j, i, rows, col);
        const char* p = at_start.data + static_cast<npy_intp>(i) * s0 + static_cast<npy_intp>(j) * s1;
        if (ucs4_to_utf8(p, units, swapped, text)) {
            col.texts.add(text);
            continue;
        }
        ASSIGN_OR_RETURN(PyRef column_index, py::owned(PyLong_FromSize_t(j)));
        RETURN_IF_ERROR(take_item(source, i, j, column_index.get(), rows, col));
    }
    return {};
}

// A signal handler that changes the array while it is read leaves no
// consistent reading.
Status read_numbers(PyArrayObject* a, NumericDtype type, std::size_t rows, std::size_t cols, double* out) {
    const Geometry at_start(a);
    const std::size_t block = copy_rows(cols);
    for (std::size_t i = 0, left = 0; i < rows; ++i, --left) {
        if (left == 0) {
            left = block;
            interrupt_point(block * cols);
            if (!(Geometry(a) == at_start)) return py::fail(ErrorKind::Runtime, "the array changed while it was read");
        }
        convert_numbers(at_start.data + static_cast<npy_intp>(i) * at_start.strides[0], at_start.strides[1], cols,
                        type, out + i * cols, 1);
    }
    return {};
}

py::Result<PyArrayObject*> plain_array(PyObject* source, std::size_t rows, std::size_t cols) {
    if (!PyArray_Check(source)) return nullptr;
    if (!PyArray_CheckExact(source)) {
        ASSIGN_OR_RETURN(PyRef numpy, py::loaded_module("numpy"));
        if (!numpy) return nullptr;
        PyRef memmap = PyRef::steal(PyObject_GetAttrString(numpy.get(), "memmap"));
        // A NumPy without memmap has no subclass whose item access is its own.
        if (!memmap) {
            RETURN_IF_ERROR(py::clear_ordinary());
            return nullptr;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(source)) != memmap.get()) return nullptr;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(source);
    if (PyArray_NDIM(a) != 2 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != rows ||
        static_cast<std::size_t>(PyArray_DIM(a, 1)) != cols)
        return nullptr;
    return a;
}

}  // namespace porosa::bridge
