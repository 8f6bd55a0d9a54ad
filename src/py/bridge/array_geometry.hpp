// An array's memory as item access would see it, and the sizes that pace
// reading it: how many cells go between two interrupt points.
#pragma once
#include <algorithm>
#include <cstddef>

#include "py/bridge/numpy_api.hpp"

namespace porosa::bridge {

// Rows per subtask when a column is written into the matrix.
inline constexpr std::size_t kRowGrain = 8192;
// Cells copied or converted between two interrupt points when an array is read
// whole: a millisecond or a few.
inline constexpr std::size_t kCopyCells = std::size_t{1} << 20;

// Rows of `cols` cells each read between two interrupt points.
inline std::size_t copy_rows(std::size_t cols) {
    return std::max<std::size_t>(1, kCopyCells / std::max<std::size_t>(cols, 1));
}

// Taken again after every cell or interrupt point that may have run Python
// code: a float or str conversion, or a signal handler, is free to resize or
// rebind the array being read.
struct Geometry {
    const char* data;
    PyArray_Descr* descr;
    int ndim;
    npy_intp dims[2];
    npy_intp strides[2];

    explicit Geometry(PyArrayObject* a)
        : data(PyArray_BYTES(a)), descr(PyArray_DESCR(a)), ndim(PyArray_NDIM(a)), dims{0, 0}, strides{0, 0} {
        for (int k = 0; k < ndim && k < 2; ++k) {
            dims[k] = PyArray_DIM(a, k);
            strides[k] = PyArray_STRIDE(a, k);
        }
    }
    bool operator==(const Geometry&) const = default;
};

}  // namespace porosa::bridge
