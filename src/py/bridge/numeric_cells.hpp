// Reading NumPy numbers straight from an array's memory, giving for every
// element the double that Python's float conversion of the scalar handed out by
// item access would give (np.float32 and the integers through a C cast, float16
// bit for bit, bool as 0 or 1), so that reading in bulk and reading cell by cell
// cannot disagree.
#pragma once
#include <cstddef>
#include <optional>

#include "py/bridge/numpy_api.hpp"

namespace porosa::bridge {

struct NumericDtype {
    char kind;         // 'b', 'i', 'u' or 'f'
    int size;          // bytes per element
    bool swapped;      // stored in the other byte order
};

// The dtypes read in bulk: bool, the signed and unsigned integers of NumPy's own
// types, float16, float32 and float64, in either byte order. Anything else
// (long double, complex, dates, strings, objects, user dtypes) is not.
std::optional<NumericDtype> numeric_dtype(PyArray_Descr* descr);

// Converts `n` elements, `src_stride` bytes apart, into doubles `dst_stride`
// elements apart. Touches raw memory only, no Python object.
void convert_numbers(const char* src, npy_intp src_stride, std::size_t n, NumericDtype type, double* dst,
                     std::size_t dst_stride);

}  // namespace porosa::bridge
