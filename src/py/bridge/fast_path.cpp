#include "py/bridge/fast_path.hpp"

#include <cstring>
#include <vector>

#include "core/interrupt.hpp"
#include "py/detach.hpp"
#include "py/bridge/array_geometry.hpp"
#include "py/bridge/numpy_api.hpp"

namespace porosa::bridge {

namespace {

// A C-contiguous, aligned array is appended slice by slice into reserved room,
// so that each page of the matrix is written once rather than zero-filled first.
// Returns false, with `out` incomplete, when a signal handler changed the array
// meanwhile: the slow path then reads it afresh from its new shape.
bool append_contiguous(PyArrayObject* arr, const Geometry& at_start, std::size_t cells, std::vector<double>& out) {
    const auto* base = reinterpret_cast<const double*>(at_start.data);
    out.reserve(cells);
    for (std::size_t b = 0; b < cells; b += kCopyCells) {
        const std::size_t n = std::min(kCopyCells, cells - b);
        interrupt_point(n);
        if (!(Geometry(arr) == at_start)) return false;
        out.insert(out.end(), base + b, base + b + n);
    }
    return true;
}

// Any strides, negative ones included; elements may be unaligned.
bool copy_strided(PyArrayObject* arr, const Geometry& at_start, DataMatrix& m) {
    const char* base = at_start.data;
    double* out = m.data();
    const std::size_t rows = m.rows();
    const std::size_t cols = m.cols();
    const npy_intp s0 = at_start.strides[0];
    const npy_intp s1 = at_start.strides[1];
    const std::size_t block = copy_rows(cols);
    for (std::size_t i = 0, left = 0; i < rows; ++i, --left) {
        if (left == 0) {
            left = block;
            interrupt_point(block * cols);
            if (!(Geometry(arr) == at_start)) return false;
        }
        const char* row = base + static_cast<npy_intp>(i) * s0;
        for (std::size_t j = 0; j < cols; ++j)
            std::memcpy(out + i * cols + j, row + static_cast<npy_intp>(j) * s1, sizeof(double));
    }
    return true;
}

bool copy_doubles(PyArrayObject* arr, const Geometry& at_start, std::size_t rows, std::size_t cols, DataMatrix& m) {
    if (PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr)) {
        std::vector<double> cells;
        if (!append_contiguous(arr, at_start, checked_cells(rows, cols), cells)) return false;
        m = DataMatrix(rows, cols, std::move(cells));
        return true;
    }
    m = DataMatrix(rows, cols);
    return copy_strided(arr, at_start, m);
}

}  // namespace

py::Result<std::optional<DataMatrix>> fast_path(PyObject* data) {
    RETURN_IF_ERROR(load_numpy());
    if (!PyArray_Check(data)) return std::optional<DataMatrix>();
    auto* arr = reinterpret_cast<PyArrayObject*>(data);
    if (PyArray_NDIM(arr) != 2) return std::optional<DataMatrix>();
    ASSIGN_OR_RETURN(py::PyRef f64, py::owned(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE))));
    // Equivalence takes byte order into account, so big-endian doubles go the
    // slow way and come out converted.
    if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(f64.get())))
        return std::optional<DataMatrix>();

    const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    DataMatrix m;
    const Geometry at_start(arr);
    // Detached so that other threads run meanwhile; our reference keeps the
    // array and its memory alive.
    const bool copied = py::run_detached([&] { return copy_doubles(arr, at_start, rows, cols, m); });
    if (!copied) return std::optional<DataMatrix>();
    return std::optional<DataMatrix>(std::move(m));
}

}  // namespace porosa::bridge
