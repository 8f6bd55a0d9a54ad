// Why the columns read here hold the same cells as `values`: when a frame has
// more than one block, pandas builds `values` by interleaving, and when the
// common dtype is object each block contributes `block.values.astype(object)`
// (wrapped in np.asarray for blocks backed by extension arrays). That
// conversion is cell by cell and column by column, so a column converted on its
// own gives the same cells:
// - a NumPy bool, integer or float column becomes Python bools, ints and floats,
//   whose float conversion equals the C conversion of the stored element;
// - a NumPy object column keeps its objects (copied here, as pandas copies them,
//   so that cells changed in place while the frame is read are not seen);
// - any other column (dates, categories, nullable numbers, text dtypes,
//   complex, ...) goes through its array's own astype(object), except text
//   stored by Arrow without missing cells, whose cells are all exact strs and
//   are read as codes (text_codes.hpp).
// Two distinct dtypes guarantee two blocks; the dtype `values` takes is found by
// asking an empty slice of the frame, since it depends on the dtypes alone once
// there are several blocks.
#include "py/bridge/frame_columns.hpp"

#include <utility>

#include "py/error.hpp"
#include "py/bridge/text_codes.hpp"

namespace porosa::bridge {

namespace {

using py::PyRef;
using py::Result;

// Below this many rows `values` costs little and a column costs several calls.
constexpr std::size_t kMinRows = 64;

Result<PyRef> attr(PyObject* o, const char* name) { return py::owned(PyObject_GetAttrString(o, name)); }

// Only pandas' own DataFrame: a subclass may change `values`, and a lookalike
// with the same type name may have no blocks at all. pandas is not imported for
// this: if it is not loaded yet, the object cannot be one of its frames.
Result<bool> is_pandas_frame(PyObject* frame) {
    ASSIGN_OR_RETURN(PyRef pandas, py::loaded_module("pandas"));
    if (!pandas) return false;
    ASSIGN_OR_RETURN(PyRef type, attr(pandas.get(), "DataFrame"));
    return reinterpret_cast<PyObject*>(Py_TYPE(frame)) == type.get();
}

Result<bool> has_several_dtypes(PyObject* frame) {
    ASSIGN_OR_RETURN(PyRef dtypes, attr(frame, "dtypes"));
    ASSIGN_OR_RETURN(PyRef distinct, py::owned(PySet_New(dtypes.get())));
    return PySet_GET_SIZE(distinct.get()) >= 2;
}

bool is_array(PyObject* o, int type_num, std::size_t length) {
    if (!PyArray_CheckExact(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != length) return false;
    return type_num < 0 || PyArray_DESCR(a)->type_num == type_num;
}

Result<bool> values_are_objects(PyObject* iloc) {
    ASSIGN_OR_RETURN(PyRef zero, py::owned(PyLong_FromLong(0)));
    ASSIGN_OR_RETURN(PyRef none, py::owned(PySlice_New(zero.get(), zero.get(), nullptr)));
    ASSIGN_OR_RETURN(PyRef empty, py::owned(PyObject_GetItem(iloc, none.get())));
    ASSIGN_OR_RETURN(PyRef values, attr(empty.get(), "values"));
    if (!PyArray_Check(values.get())) return false;
    return PyArray_DESCR(reinterpret_cast<PyArrayObject*>(values.get()))->type_num == NPY_OBJECT;
}

using MaybeColumn = std::optional<FrameColumn>;

// A column of NumPy's own dtype: its numbers as they are, or a copy of its objects.
Result<MaybeColumn> numpy_column(PyObject* series, PyArray_Descr* descr, std::size_t rows) {
    const bool objects = descr->type_num == NPY_OBJECT;
    ASSIGN_OR_RETURN(PyRef own, py::owned(PyObject_CallMethod(series, "to_numpy", nullptr)));
    if (!is_array(own.get(), descr->type_num, rows)) return MaybeColumn();
    auto* a = reinterpret_cast<PyArrayObject*>(own.get());
    if (!objects) {
        std::optional<NumericDtype> numbers = numeric_dtype(PyArray_DESCR(a));
        if (!numbers) return MaybeColumn();
        return MaybeColumn(FrameColumn{std::move(own), numbers, std::nullopt});
    }
    ASSIGN_OR_RETURN(PyRef copy, py::owned(PyArray_NewCopy(a, NPY_ANYORDER)));
    if (!is_array(copy.get(), NPY_OBJECT, rows)) return MaybeColumn();
    return MaybeColumn(FrameColumn{std::move(copy), std::nullopt, std::nullopt});
}

Result<MaybeColumn> column_cells(PyObject* series, PyObject* asarray, std::size_t rows) {
    ASSIGN_OR_RETURN(PyRef dtype, attr(series, "dtype"));
    if (PyArray_DescrCheck(dtype.get())) {
        auto* descr = reinterpret_cast<PyArray_Descr*>(dtype.get());
        if (descr->type_num == NPY_OBJECT || numeric_dtype(descr)) return numpy_column(series, descr, rows);
    }
    ASSIGN_OR_RETURN(std::optional<TextCodes> coded, arrow_text_codes(series, dtype.get(), rows));
    if (coded) return MaybeColumn(FrameColumn{std::move(coded->codes), std::nullopt, std::move(coded->distinct)});
    ASSIGN_OR_RETURN(PyRef array, attr(series, "array"));
    ASSIGN_OR_RETURN(PyRef objects, py::owned(PyObject_CallMethod(
                                        array.get(), "astype", "O", reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
    ASSIGN_OR_RETURN(PyRef cells, py::owned(PyObject_CallOneArg(asarray, objects.get())));
    if (!is_array(cells.get(), NPY_OBJECT, rows)) return MaybeColumn();
    return MaybeColumn(FrameColumn{std::move(cells), std::nullopt, std::nullopt});
}

// Column j, as the iloc of every row.
Result<PyRef> column_series(PyObject* iloc, PyObject* all, std::size_t j) {
    ASSIGN_OR_RETURN(PyRef index, py::owned(PyLong_FromSize_t(j)));
    ASSIGN_OR_RETURN(PyRef key, py::owned(PyTuple_Pack(2, all, index.get())));
    return py::owned(PyObject_GetItem(iloc, key.get()));
}

using MaybeSplit = std::optional<std::vector<FrameColumn>>;

Result<MaybeSplit> try_split(PyObject* frame, std::size_t rows, std::size_t cols) {
    ASSIGN_OR_RETURN(bool pandas_frame, is_pandas_frame(frame));
    if (!pandas_frame) return MaybeSplit();
    ASSIGN_OR_RETURN(bool several, has_several_dtypes(frame));
    if (!several) return MaybeSplit();
    ASSIGN_OR_RETURN(PyRef iloc, attr(frame, "iloc"));
    ASSIGN_OR_RETURN(bool objects, values_are_objects(iloc.get()));
    if (!objects) return MaybeSplit();
    ASSIGN_OR_RETURN(PyRef numpy, py::owned(PyImport_ImportModule("numpy")));
    ASSIGN_OR_RETURN(PyRef asarray, attr(numpy.get(), "asarray"));
    ASSIGN_OR_RETURN(PyRef all, py::owned(PySlice_New(nullptr, nullptr, nullptr)));

    std::vector<FrameColumn> columns;
    columns.reserve(cols);
    for (std::size_t j = 0; j < cols; ++j) {
        ASSIGN_OR_RETURN(PyRef series, column_series(iloc.get(), all.get(), j));
        ASSIGN_OR_RETURN(MaybeColumn column, column_cells(series.get(), asarray.get(), rows));
        if (!column) return MaybeSplit();
        columns.push_back(std::move(*column));
    }
    return MaybeSplit(std::move(columns));
}

}  // namespace

Result<MaybeSplit> split_frame(PyObject* frame, std::size_t rows, std::size_t cols) {
    if (rows < kMinRows || cols < 2) return MaybeSplit();
    Result<MaybeSplit> columns = try_split(frame, rows, cols);
    if (columns) return columns;
    // Whatever ordinary failure happened here, `values` is read next and meets
    // it again if it matters; anything else goes to the caller.
    RETURN_IF_ERROR(py::clear_ordinary(std::move(columns).error()));
    return MaybeSplit();
}

}  // namespace porosa::bridge
