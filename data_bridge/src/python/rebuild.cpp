// From the matrix back to the caller's kind of object, text columns decoded.
#include <cstring>
#include <string>
#include <utility>

#include "core/panic.hpp"
#include "lib/decode.hpp"
#include "python/bridge.hpp"
#include "python/numpy_api.hpp"
#include "python/pytext.hpp"

namespace porosa::bridge {

namespace {

using py::PyError;
using py::PyRef;
using py::Result;

Unexpected<PyError> current() { return py::fail_from_current(); }

Result<PyRef> float_array(const DataMatrix& m) {
    Result<bool> loaded = load_numpy();
    if (!loaded) return Unexpected<PyError>{std::move(loaded).error()};
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
    PyRef arr = PyRef::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    if (!arr) return current();
    if (m.size() > 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), m.data(), m.size() * sizeof(double));
    return arr;
}

const Decoder& decoder_of(const EncodingInfo& info, std::size_t j) {
    auto it = info.decoders.find(j);
    if (it == info.decoders.end()) panic("no entry found for key");
    return it->second;
}

Result<PyRef> call_method(PyObject* self, const char* name, PyObject* a, PyObject* b = nullptr) {
    PyRef method = PyRef::steal(PyUnicode_FromString(name));
    if (!method) return current();
    PyRef r = PyRef::steal(PyObject_CallMethodObjArgs(self, method.get(), a, b, nullptr));
    if (!r) return current();
    return r;
}

Result<PyRef> as_object(PyObject* o) {
    PyRef object = PyRef::steal(PyUnicode_FromString("object"));
    if (!object) return current();
    return call_method(o, "astype", object.get());
}

Result<PyRef> to_frame(const DataMatrix& m, const std::vector<std::string>& labels, const EncodingInfo* info) {
    PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
    if (!pandas) return current();
    PyRef names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    if (!names) return current();
    for (std::size_t k = 0; k < labels.size(); ++k) {
        PyRef t = new_text(labels[k]);
        if (!t) return current();
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), t.release());
    }
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "columns", names.get()) < 0) return current();
    PyRef frame_type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (!frame_type) return current();
    Result<PyRef> arr = float_array(m);
    if (!arr) return arr;
    PyRef args = PyRef::steal(PyTuple_Pack(1, arr->get()));
    if (!args) return current();
    PyRef df = PyRef::steal(PyObject_Call(frame_type.get(), args.get(), kwargs.get()));
    if (!df) return current();
    if (!info) return df;

    const std::size_t rows = m.rows();
    for (std::size_t j : info->encoded_columns) {
        const Decoder& decoder = decoder_of(*info, j);
        if (j >= m.cols()) panic_index(j, m.cols());
        PyRef column = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
        if (!column) return current();
        for (std::size_t i = 0; i < rows; ++i) {
            std::optional<std::string_view> text = decode_cell(decoder, m(i, j));
            PyRef value = text ? new_text(*text) : PyRef::borrow(Py_None);
            if (!value) return current();
            PyList_SET_ITEM(column.get(), static_cast<Py_ssize_t>(i), value.release());
        }
        PyRef name = new_text(at(labels, j));
        if (!name) return current();

        // The frame's column is float64; it must hold objects before texts and
        // None can go in without being coerced back to numbers.
        PyRef old = PyRef::steal(PyObject_GetItem(df.get(), name.get()));
        if (!old) return current();
        Result<PyRef> objects = as_object(old.get());
        if (!objects) return objects;
        Result<PyRef> stored = call_method(df.get(), "__setitem__", name.get(), objects->get());
        if (!stored) return stored;

        PyRef loc = PyRef::steal(PyObject_GetAttrString(df.get(), "loc"));
        if (!loc) return current();
        PyRef all = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
        if (!all) return current();
        PyRef key = PyRef::steal(PyTuple_Pack(2, all.get(), name.get()));
        if (!key || PyObject_SetItem(loc.get(), key.get(), column.get()) < 0) return current();
    }
    return df;
}

Result<PyRef> to_array(const DataMatrix& m, const EncodingInfo* info) {
    Result<PyRef> arr = float_array(m);
    if (!arr || !info) return arr;

    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return current();
    PyRef array_fn = PyRef::steal(PyObject_GetAttrString(numpy.get(), "array"));
    if (!array_fn) return current();
    PyRef copy = PyRef::steal(PyObject_CallOneArg(array_fn.get(), arr->get()));
    if (!copy) return current();
    Result<PyRef> objects = as_object(copy.get());
    if (!objects) return objects;
    PyObject* a = objects->get();

    PyRef missing = new_text("NaN");
    PyRef setitem = PyRef::steal(PyUnicode_FromString("__setitem__"));
    if (!missing || !setitem) return current();
    for (std::size_t j : info->encoded_columns) {
        const Decoder& decoder = decoder_of(*info, j);
        if (j >= m.cols()) panic_index(j, m.cols());
        PyRef column_index = PyRef::steal(PyLong_FromSize_t(j));
        if (!column_index) return current();
        for (std::size_t i = 0; i < m.rows(); ++i) {
            std::optional<std::string_view> text = decode_cell(decoder, m(i, j));
            PyRef value = text ? new_text(*text) : missing;
            PyRef row_index = PyRef::steal(PyLong_FromSize_t(i));
            if (!value || !row_index) return current();
            PyRef key = PyRef::steal(PyTuple_Pack(2, row_index.get(), column_index.get()));
            if (!key) return current();
            PyRef done = PyRef::steal(PyObject_CallMethodObjArgs(a, setitem.get(), key.get(), value.get(), nullptr));
            if (!done) return current();
        }
    }
    return objects;
}

}  // namespace

Result<PyRef> arr_to_out(const DataMatrix& matrix, OUT out, std::optional<EncodingInfo> info) {
    const EncodingInfo* encoding = info ? &*info : nullptr;
    if (const auto* frame = std::get_if<OUT::DataFrame>(&out.kind)) {
        // A frame whose columns are all numeric is done once it is built.
        if (encoding && encoding->encoded_columns.empty()) encoding = nullptr;
        return to_frame(matrix, frame->labels, encoding);
    }
    return to_array(matrix, encoding);
}

}  // namespace porosa::bridge
