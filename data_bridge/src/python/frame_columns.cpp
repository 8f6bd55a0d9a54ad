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
#include "python/frame_columns.hpp"

#include <utility>

#include "py/error.hpp"
#include "python/text_codes.hpp"

namespace porosa::bridge {

namespace {

using py::PyRef;

// Below this many rows `values` costs little and a column costs several calls.
constexpr std::size_t kMinRows = 64;

PyRef attr(PyObject* o, const char* name) { return PyRef::steal(PyObject_GetAttrString(o, name)); }

// Only pandas' own DataFrame: a subclass may change `values`, and a lookalike
// with the same type name may have no blocks at all. pandas is not imported for
// this: if it is not loaded yet, the object cannot be one of its frames.
bool is_pandas_frame(PyObject* frame) {
    PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
    if (!name) return false;
    PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));
    if (!pandas) return false;
    PyRef type = attr(pandas.get(), "DataFrame");
    return type && reinterpret_cast<PyObject*>(Py_TYPE(frame)) == type.get();
}

bool has_several_dtypes(PyObject* frame) {
    PyRef dtypes = attr(frame, "dtypes");
    if (!dtypes) return false;
    PyRef distinct = PyRef::steal(PySet_New(dtypes.get()));
    return distinct && PySet_GET_SIZE(distinct.get()) >= 2;
}

bool is_array(PyObject* o, int type_num, std::size_t length) {
    if (!o || !PyArray_CheckExact(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != length) return false;
    return type_num < 0 || PyArray_DESCR(a)->type_num == type_num;
}

bool values_are_objects(PyObject* iloc) {
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return false;
    PyRef none = PyRef::steal(PySlice_New(zero.get(), zero.get(), nullptr));
    if (!none) return false;
    PyRef empty = PyRef::steal(PyObject_GetItem(iloc, none.get()));
    if (!empty) return false;
    PyRef values = attr(empty.get(), "values");
    if (!values || !PyArray_Check(values.get())) return false;
    return PyArray_DESCR(reinterpret_cast<PyArrayObject*>(values.get()))->type_num == NPY_OBJECT;
}

std::optional<FrameColumn> column_cells(PyObject* series, PyObject* asarray, std::size_t rows) {
    PyRef dtype = attr(series, "dtype");
    if (!dtype) return std::nullopt;
    if (PyArray_DescrCheck(dtype.get())) {
        auto* descr = reinterpret_cast<PyArray_Descr*>(dtype.get());
        const bool objects = descr->type_num == NPY_OBJECT;
        if (objects || numeric_dtype(descr)) {
            PyRef own = PyRef::steal(PyObject_CallMethod(series, "to_numpy", nullptr));
            if (!is_array(own.get(), descr->type_num, rows)) return std::nullopt;
            auto* a = reinterpret_cast<PyArrayObject*>(own.get());
            if (!objects) {
                std::optional<NumericDtype> numbers = numeric_dtype(PyArray_DESCR(a));
                if (!numbers) return std::nullopt;
                return FrameColumn{std::move(own), numbers, std::nullopt};
            }
            PyRef copy = PyRef::steal(PyArray_NewCopy(a, NPY_ANYORDER));
            if (!is_array(copy.get(), NPY_OBJECT, rows)) return std::nullopt;
            return FrameColumn{std::move(copy), std::nullopt, std::nullopt};
        }
    }
    if (std::optional<TextCodes> coded = arrow_text_codes(series, dtype.get(), rows))
        return FrameColumn{std::move(coded->codes), std::nullopt, std::move(coded->distinct)};
    if (PyErr_Occurred()) return std::nullopt;
    PyRef array = attr(series, "array");
    if (!array) return std::nullopt;
    PyRef objects = PyRef::steal(
        PyObject_CallMethod(array.get(), "astype", "O", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!objects) return std::nullopt;
    PyRef cells = PyRef::steal(PyObject_CallOneArg(asarray, objects.get()));
    if (!is_array(cells.get(), NPY_OBJECT, rows)) return std::nullopt;
    return FrameColumn{std::move(cells), std::nullopt, std::nullopt};
}

std::optional<std::vector<FrameColumn>> try_split(PyObject* frame, std::size_t rows, std::size_t cols) {
    if (!is_pandas_frame(frame) || !has_several_dtypes(frame)) return std::nullopt;
    PyRef iloc = attr(frame, "iloc");
    if (!iloc || !values_are_objects(iloc.get())) return std::nullopt;
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    PyRef asarray = numpy ? attr(numpy.get(), "asarray") : PyRef();
    PyRef all = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!asarray || !all) return std::nullopt;

    std::vector<FrameColumn> columns;
    columns.reserve(cols);
    for (std::size_t j = 0; j < cols; ++j) {
        PyRef index = PyRef::steal(PyLong_FromSize_t(j));
        PyRef key = index ? PyRef::steal(PyTuple_Pack(2, all.get(), index.get())) : PyRef();
        PyRef series = key ? PyRef::steal(PyObject_GetItem(iloc.get(), key.get())) : PyRef();
        if (!series) return std::nullopt;
        std::optional<FrameColumn> column = column_cells(series.get(), asarray.get(), rows);
        if (!column) return std::nullopt;
        columns.push_back(std::move(*column));
    }
    return columns;
}

}  // namespace

py::Result<std::optional<std::vector<FrameColumn>>> split_frame(PyObject* frame, std::size_t rows,
                                                                std::size_t cols) {
    if (rows < kMinRows || cols < 2) return std::optional<std::vector<FrameColumn>>();
    std::optional<std::vector<FrameColumn>> columns = try_split(frame, rows, cols);
    // Whatever ordinary failure happened here, `values` is read next and meets
    // it again if it matters; anything else goes to the caller.
    if (!columns && PyErr_Occurred()) RETURN_IF_ERROR(py::clear_ordinary());
    return columns;
}

}  // namespace porosa::bridge
