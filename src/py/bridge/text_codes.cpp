#include "py/bridge/text_codes.hpp"

#include <cstring>
#include <utility>

#include "py/bridge/numpy_api.hpp"

namespace porosa::bridge {

namespace {

using py::PyRef;
using py::Result;

// pandas.StringDtype with storage "pyarrow"; pandas is loaded, as a frame is
// being read.
Result<bool> is_arrow_text(PyObject* dtype) {
    ASSIGN_OR_RETURN(PyRef pandas, py::loaded_module("pandas"));
    if (!pandas) return false;
    ASSIGN_OR_RETURN(PyRef type, py::owned(PyObject_GetAttrString(pandas.get(), "StringDtype")));
    if (reinterpret_cast<PyObject*>(Py_TYPE(dtype)) != type.get()) return false;
    ASSIGN_OR_RETURN(PyRef storage, py::owned(PyObject_GetAttrString(dtype, "storage")));
    return PyUnicode_Check(storage.get()) && PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow") == 0;
}

// The distinct texts as UTF-8; false when one is not an exact str.
Result<bool> read_distinct(PyObject* uniques, std::vector<std::string>& out) {
    ASSIGN_OR_RETURN(PyRef list, py::owned(PyObject_CallMethod(uniques, "tolist", nullptr)));
    if (!PyList_CheckExact(list.get())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* text = PyList_GET_ITEM(list.get(), k);
        if (!PyUnicode_CheckExact(text)) return false;
        Py_ssize_t size = 0;
        const char* p = PyUnicode_AsUTF8AndSize(text, &size);
        if (!p) return py::fail_from_current();
        out.emplace_back(p, static_cast<std::size_t>(size));
    }
    return true;
}

// Whether `codes` is a 1-D intp array of `rows` codes, each naming one of
// `count` texts: -1, a missing cell, is not.
bool valid_codes(PyObject* codes, std::size_t rows, std::size_t count) {
    if (!codes || !PyArray_CheckExact(codes)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(codes);
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != rows ||
        PyArray_DESCR(a)->type_num != NPY_INTP)
        return false;
    for (std::size_t i = 0; i < rows; ++i) {
        npy_intp c;
        std::memcpy(&c, PyArray_GETPTR1(a, static_cast<npy_intp>(i)), sizeof c);
        if (c < 0 || static_cast<std::size_t>(c) >= count) return false;
    }
    return true;
}

}  // namespace

Result<std::optional<TextCodes>> arrow_text_codes(PyObject* series, PyObject* dtype, std::size_t rows) {
    using Maybe = std::optional<TextCodes>;
    ASSIGN_OR_RETURN(bool arrow, is_arrow_text(dtype));
    if (!arrow) return Maybe();
    ASSIGN_OR_RETURN(PyRef pair, py::owned(PyObject_CallMethod(series, "factorize", nullptr)));
    if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) return Maybe();
    TextCodes out;
    ASSIGN_OR_RETURN(bool texts, read_distinct(PyTuple_GET_ITEM(pair.get(), 1), out.distinct));
    if (!texts) return Maybe();
    out.codes = PyRef::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    if (!valid_codes(out.codes.get(), rows, out.distinct.size())) return Maybe();
    return Maybe(std::move(out));
}

}  // namespace porosa::bridge
