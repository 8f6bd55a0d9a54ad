// From the matrix back to the caller's kind of object, text columns decoded.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "encoding/decode.hpp"
#include "py/detach.hpp"
#include "py/bridge/bridge.hpp"
#include "py/bridge/numpy_api.hpp"
#include "py/bridge/pytext.hpp"

namespace porosa::bridge {

namespace {

using py::owned;
using py::PyRef;
using py::Result;
using py::Status;

// Rows per block when the matrix is written column-major: a block of rows is
// read from cache once per column.
constexpr std::size_t kTransposeRows = 512;
// Cells copied between two interrupt points: a millisecond or a few.
constexpr std::size_t kCopyCells = std::size_t{1} << 20;
// Cells cast to Python floats between two interrupt points: a few milliseconds.
constexpr std::size_t kCastCells = std::size_t{1} << 16;
// Columns up to which a frame gets a block per column (see float_frame).
constexpr std::size_t kColumnBlocks = 256;

// The matrix as a float64 array. Column-major order suits a DataFrame, which
// keeps each column contiguous and would otherwise gather the columns itself;
// the values are the same either way.
Result<PyRef> float_array(const DataMatrix& m, bool column_major = false) {
    RETURN_IF_ERROR(load_numpy());
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
    ASSIGN_OR_RETURN(PyRef arr, owned(PyArray_EMPTY(2, dims, NPY_DOUBLE, column_major ? 1 : 0)));
    if (m.size() == 0) return arr;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
    // Nobody else sees the new array yet: it is filled detached.
    py::run_detached([&] {
        if (!column_major || m.cols() == 1) {
            for (std::size_t b = 0; b < m.size(); b += kCopyCells) {
                const std::size_t n = std::min(kCopyCells, m.size() - b);
                interrupt_point(n);
                std::memcpy(out + b, m.data() + b, n * sizeof(double));
            }
            return;
        }
        const std::size_t rows = m.rows();
        const std::size_t cols = m.cols();
        for (std::size_t b = 0; b < rows; b += kTransposeRows) {
            const std::size_t e = std::min(rows, b + kTransposeRows);
            interrupt_point((e - b) * cols);
            for (std::size_t j = 0; j < cols; ++j) {
                double* column = out + j * rows;
                for (std::size_t i = b; i < e; ++i) column[i] = m(i, j);
            }
        }
    });
    return arr;
}

// The decoded texts of one column as Python texts, each made once and shared by
// every row holding its code. Codes are 0, 1, 2, ... as label encoding gives
// them, so a vector indexed by code covers them; a code outside it is looked up
// in the decoder every time.
class ColumnTexts {
public:
    explicit ColumnTexts(const Decoder& decoder) : decoder_(decoder), slots_(decoder.size()), known_(decoder.size()) {}

    // A borrowed text, or `missing` for a missing cell.
    Result<PyObject*> get(double v, PyObject* missing) {
        if (std::isnan(v)) return missing;
        const std::uint64_t code = code_of(v);
        if (code >= slots_.size()) return uncached(v, missing);
        if (!known_[code]) {
            std::optional<std::string_view> text = decode_cell(decoder_, v);
            if (text) {
                ASSIGN_OR_RETURN(slots_[code], new_text(*text));
            }
            known_[code] = true;
        }
        return slots_[code] ? slots_[code].get() : missing;
    }

private:
    Result<PyObject*> uncached(double v, PyObject* missing) {
        std::optional<std::string_view> text = decode_cell(decoder_, v);
        if (!text) return missing;
        ASSIGN_OR_RETURN(last_, new_text(*text));
        return last_.get();
    }

    const Decoder& decoder_;
    std::vector<PyRef> slots_;
    std::vector<bool> known_;
    PyRef last_;
};

const Decoder& decoder_of(const EncodingInfo& info, std::size_t j) {
    auto it = info.decoders.find(j);
    if (it == info.decoders.end()) panic("no entry found for key");
    return it->second;
}

Result<PyRef> call_method(PyObject* self, const char* name, PyObject* a, PyObject* b = nullptr) {
    ASSIGN_OR_RETURN(PyRef method, owned(PyUnicode_FromString(name)));
    return owned(PyObject_CallMethodObjArgs(self, method.get(), a, b, nullptr));
}

Result<PyRef> as_object(PyObject* o) {
    ASSIGN_OR_RETURN(PyRef object, owned(PyUnicode_FromString("object")));
    return call_method(o, "astype", object.get());
}

// as_object of a 2-D float array, cast a block of rows at a time: the same
// cells, with an interrupt point between blocks, where one cast of a large
// matrix would run for most of a second without any. The result starts with
// empty slots, which NumPy reads as None, rather than being filled with None
// first: filling takes as long again.
Result<PyRef> as_object_by_rows(PyObject* a, std::size_t rows, std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_OBJECT);
    if (!descr) return py::fail_from_current();
    ASSIGN_OR_RETURN(PyRef out,
                     owned(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0, nullptr)));
    const std::size_t block = std::max<std::size_t>(1, kCastCells / std::max<std::size_t>(cols, 1));
    for (std::size_t b = 0; b < rows; b += block) {
        const std::size_t e = std::min(rows, b + block);
        interrupt_point((e - b) * cols);
        PyRef lo = PyRef::steal(PyLong_FromSize_t(b));
        PyRef hi = PyRef::steal(PyLong_FromSize_t(e));
        PyRef slice = lo && hi ? PyRef::steal(PySlice_New(lo.get(), hi.get(), nullptr)) : PyRef();
        PyRef part = slice ? PyRef::steal(PyObject_GetItem(a, slice.get())) : PyRef();
        if (!part || PyObject_SetItem(out.get(), slice.get(), part.get()) < 0) return py::fail_from_current();
    }
    return out;
}

// Puts `value` into an object array's slot, releasing what was there.
void put(char* slot, PyObject* value) {
    PyObject* old;
    std::memcpy(&old, slot, sizeof old);
    PyObject* fresh = Py_NewRef(value);
    std::memcpy(slot, &fresh, sizeof fresh);
    Py_XDECREF(old);
}

void store(PyArrayObject* a, std::size_t i, std::size_t j, PyObject* value) {
    put(PyArray_BYTES(a) + static_cast<npy_intp>(i) * PyArray_STRIDE(a, 0) +
            static_cast<npy_intp>(j) * PyArray_STRIDE(a, 1),
        value);
}

// The positional form of the label path: the column becomes an object column
// (df.isetitem(j, df.iloc[:, j].astype("object"))), then takes its texts
// as a list (df.iloc[:, j] = texts.tolist()), so the texts and None stay
// Python objects.
Status replace_by_position(PyObject* df, std::size_t position, PyObject* texts) {
    ASSIGN_OR_RETURN(PyRef values, owned(PyObject_CallMethod(texts, "tolist", nullptr)));
    ASSIGN_OR_RETURN(PyRef iloc, owned(PyObject_GetAttrString(df, "iloc")));
    PyRef all = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
    PyRef index = PyRef::steal(PyLong_FromSize_t(position));
    if (!all || !index) return py::fail_from_current();
    ASSIGN_OR_RETURN(PyRef key, owned(PyTuple_Pack(2, all.get(), index.get())));
    ASSIGN_OR_RETURN(PyRef old, owned(PyObject_GetItem(iloc.get(), key.get())));
    ASSIGN_OR_RETURN(PyRef objects, as_object(old.get()));
    RETURN_IF_ERROR(call_method(df, "isetitem", index.get(), objects.get()));
    return py::check(PyObject_SetItem(iloc.get(), key.get(), values.get()));
}

// The label path: df[name] = pandas.Series(values, index=df.index,
// dtype=object, copy=False). The explicit object dtype keeps the texts and
// None as Python objects, as turning the float64 column into an object column
// and then assigning its cells would, without making a float object per cell
// first; the array is ours alone, so the Series may keep it.
Status replace_by_label(PyObject* df, PyObject* name, PyObject* values, PyObject* series_type) {
    ASSIGN_OR_RETURN(PyRef index, owned(PyObject_GetAttrString(df, "index")));
    ASSIGN_OR_RETURN(PyRef object, owned(PyUnicode_FromString("object")));
    ASSIGN_OR_RETURN(PyRef kwargs, owned(PyDict_New()));
    RETURN_IF_ERROR(py::check(PyDict_SetItemString(kwargs.get(), "index", index.get())));
    RETURN_IF_ERROR(py::check(PyDict_SetItemString(kwargs.get(), "dtype", object.get())));
    RETURN_IF_ERROR(py::check(PyDict_SetItemString(kwargs.get(), "copy", Py_False)));
    ASSIGN_OR_RETURN(PyRef args, owned(PyTuple_Pack(1, values)));
    ASSIGN_OR_RETURN(PyRef series, owned(PyObject_Call(series_type, args.get(), kwargs.get())));
    // Through the bound method: pandas reads a frame that only this call
    // references as the target of a chained assignment and warns.
    RETURN_IF_ERROR(call_method(df, "__setitem__", name, series.get()));
    return {};
}

// Each column of a column-major float array as a 1-D view of it, in a dict
// keyed by position.
Result<PyRef> column_views(PyObject* arr, std::size_t rows, std::size_t cols) {
    ASSIGN_OR_RETURN(PyRef views, owned(PyDict_New()));
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
    npy_intp dims[1] = {static_cast<npy_intp>(rows)};
    for (std::size_t j = 0; j < cols; ++j) {
        ASSIGN_OR_RETURN(PyRef view, owned(PyArray_New(&PyArray_Type, 1, dims, NPY_DOUBLE, nullptr, data + j * rows,
                                                       0, NPY_ARRAY_CARRAY, nullptr)));
        RETURN_IF_ERROR(py::check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()),
                                                        Py_NewRef(arr))));
        ASSIGN_OR_RETURN(PyRef key, owned(PyLong_FromSize_t(j)));
        RETURN_IF_ERROR(py::check(PyDict_SetItem(views.get(), key.get(), view.get())));
    }
    return views;
}

Result<PyRef> call_frame(PyObject* frame_type, PyObject* data, PyObject* columns) {
    // The arrays are ours alone, so the frame may keep them rather than copy
    // them (pandas copies arrays by default): one matrix-sized copy fewer at peak.
    ASSIGN_OR_RETURN(PyRef kwargs, owned(PyDict_New()));
    if (columns) RETURN_IF_ERROR(py::check(PyDict_SetItemString(kwargs.get(), "columns", columns)));
    RETURN_IF_ERROR(py::check(PyDict_SetItemString(kwargs.get(), "copy", Py_False)));
    ASSIGN_OR_RETURN(PyRef args, owned(PyTuple_Pack(1, data)));
    return owned(PyObject_Call(frame_type, args.get(), kwargs.get()));
}

// The matrix as a DataFrame of float64 columns named by `labels`, laid out as
// pandas lays out a table it reads from a file: one block per column. A
// single 2-D block hands NumPy consumers a read-only view of itself
// (pandas' copy-on-write), which scikit-learn's iterative imputer writes
// into; separate columns are gathered into a new array instead. Past
// kColumnBlocks columns, where a block per column makes pandas slow, the
// frame holds the row-major matrix as one block, whose 2-D view is in the
// order that scikit-learn copies before it writes.
Result<PyRef> float_frame(PyObject* pandas, const DataMatrix& m, const std::vector<std::string>& labels) {
    ASSIGN_OR_RETURN(PyRef names, owned(PyList_New(static_cast<Py_ssize_t>(labels.size()))));
    for (std::size_t k = 0; k < labels.size(); ++k) {
        ASSIGN_OR_RETURN(PyRef t, new_text(labels[k]));
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), t.release());
    }
    ASSIGN_OR_RETURN(PyRef frame_type, owned(PyObject_GetAttrString(pandas, "DataFrame")));
    const bool by_column = m.cols() > 0 && m.cols() <= kColumnBlocks;
    ASSIGN_OR_RETURN(PyRef arr, float_array(m, by_column));
    if (!by_column) return call_frame(frame_type.get(), arr.get(), names.get());
    ASSIGN_OR_RETURN(PyRef views, column_views(arr.get(), m.rows(), m.cols()));
    ASSIGN_OR_RETURN(PyRef df, call_frame(frame_type.get(), views.get(), nullptr));
    RETURN_IF_ERROR(py::check(PyObject_SetAttrString(df.get(), "columns", names.get())));
    return df;
}

// Column j decoded into a new 1-D object array of texts, None where a cell is
// missing.
Result<PyRef> text_array(const DataMatrix& m, std::size_t j, const Decoder& decoder) {
    const std::size_t rows = m.rows();
    npy_intp dims[1] = {static_cast<npy_intp>(rows)};
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_OBJECT);
    if (!descr) return py::fail_from_current();
    ASSIGN_OR_RETURN(PyRef column,
                     owned(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr)));
    auto* a = reinterpret_cast<PyArrayObject*>(column.get());
    // A signal handler may run Python code at an interrupt point, and no
    // Python code may meet an array with empty slots: None fills them first.
    for (std::size_t i = 0; i < rows; ++i) put(static_cast<char*>(PyArray_GETPTR1(a, i)), Py_None);
    ColumnTexts texts(decoder);
    for (std::size_t i = 0; i < rows; ++i) {
        interrupt_point();
        ASSIGN_OR_RETURN(PyObject* value, texts.get(m(i, j), Py_None));
        if (value != Py_None) put(static_cast<char*>(PyArray_GETPTR1(a, i)), value);
    }
    return column;
}

Result<PyRef> to_frame(const DataMatrix& m, const std::vector<std::string>& labels, const EncodingInfo* info) {
    ASSIGN_OR_RETURN(PyRef pandas, owned(PyImport_ImportModule("pandas")));
    ASSIGN_OR_RETURN(PyRef df, float_frame(pandas.get(), m, labels));
    if (!info) return df;
    ASSIGN_OR_RETURN(PyRef series_type, owned(PyObject_GetAttrString(pandas.get(), "Series")));

    std::unordered_map<std::string, std::size_t> label_counts;
    for (const auto& label : labels) ++label_counts[label];
    for (std::size_t j : info->encoded_columns) {
        const Decoder& decoder = decoder_of(*info, j);
        if (j >= m.cols()) panic_index(j, m.cols());
        ASSIGN_OR_RETURN(PyRef column, text_array(m, j, decoder));
        ASSIGN_OR_RETURN(PyRef name, new_text(at(labels, j)));
        // A label that several columns share names all of them: writing through
        // it would put this column's texts into the others too, so such a
        // column is replaced by position, as an object column.
        if (label_counts[labels[j]] > 1) RETURN_IF_ERROR(replace_by_position(df.get(), j, column.get()));
        else RETURN_IF_ERROR(replace_by_label(df.get(), name.get(), column.get(), series_type.get()));
    }
    return df;
}

// The object array that astype just made, when its cells can be replaced in
// memory: storing a text there is what NumPy's own __setitem__ of a str does
// to an object array nobody else holds yet. Null when it is anything else.
PyArrayObject* own_object_array(PyObject* o, std::size_t rows, std::size_t cols) {
    if (!PyArray_CheckExact(o)) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_DESCR(a)->type_num != NPY_OBJECT || PyArray_NDIM(a) != 2 || !PyArray_ISALIGNED(a) ||
        !PyArray_ISWRITEABLE(a) || static_cast<std::size_t>(PyArray_DIM(a, 0)) != rows ||
        static_cast<std::size_t>(PyArray_DIM(a, 1)) != cols)
        return nullptr;
    return a;
}

Result<PyRef> to_array(const DataMatrix& m, const EncodingInfo* info) {
    ASSIGN_OR_RETURN(PyRef arr, float_array(m));
    if (!info) return arr;

    ASSIGN_OR_RETURN(PyRef objects, as_object_by_rows(arr.get(), m.rows(), m.cols()));
    PyObject* a = objects.get();

    PyRef missing = PyRef::steal(PyUnicode_FromStringAndSize("NaN", 3));
    PyRef setitem = PyRef::steal(PyUnicode_FromString("__setitem__"));
    if (!missing || !setitem) return py::fail_from_current();
    PyArrayObject* slots = own_object_array(a, m.rows(), m.cols());
    for (std::size_t j : info->encoded_columns) {
        const Decoder& decoder = decoder_of(*info, j);
        if (j >= m.cols()) panic_index(j, m.cols());
        ColumnTexts texts(decoder);
        ASSIGN_OR_RETURN(PyRef column_index, owned(PyLong_FromSize_t(j)));
        for (std::size_t i = 0; i < m.rows(); ++i) {
            interrupt_point();
            ASSIGN_OR_RETURN(PyObject* value, texts.get(m(i, j), missing.get()));
            if (slots) {
                store(slots, i, j, value);
                continue;
            }
            ASSIGN_OR_RETURN(PyRef row_index, owned(PyLong_FromSize_t(i)));
            ASSIGN_OR_RETURN(PyRef key, owned(PyTuple_Pack(2, row_index.get(), column_index.get())));
            RETURN_IF_ERROR(owned(PyObject_CallMethodObjArgs(a, setitem.get(), key.get(), value, nullptr)));
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
