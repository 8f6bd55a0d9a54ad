// From the caller's object to a row-major matrix: float64 arrays by one copy,
// everything else cell by cell, with text columns label-encoded on the pool.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/numtext.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "lib/label_encode.hpp"
#include "lib/send_ptr.hpp"
#include "python/bridge.hpp"
#include "python/numpy_api.hpp"
#include "python/pytext.hpp"

namespace porosa::bridge {

namespace {

using py::PyError;
using py::PyRef;
using py::Result;

// Rows per subtask when a column is written into the matrix.
constexpr std::size_t kRowGrain = 8192;

Unexpected<PyError> fail(PyObject* type, const std::string& message) {
    return Unexpected<PyError>{PyError::make(type, message)};
}

// Internal failure carrying the Python error that is current right now.
[[noreturn]] void panic_with_current(const std::string& what) {
    panic(what + ": " + PyError::fetch().describe());
}

// Straight to file descriptor 1: Python's own stdout object is neither used nor
// flushed, so this line may land before text that Python still buffers.
void print_line(const std::string& text) {
    std::string line = text + "\n";
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(1, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// PySequence_Check misses sequences that are only registered with the ABC.
bool is_sequence(PyObject* o) {
    if (PySequence_Check(o)) return true;
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    PyRef seq = abc ? PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : PyRef();
    int r = seq ? PyObject_IsInstance(o, seq.get()) : -1;
    if (r < 0) PyErr_Clear();
    return r == 1;
}

// Reads a sequence (not a str) item by item; `read` appends one item or fails.
template <class Read>
Result<std::vector<std::string>> read_sequence(PyObject* seq, Read&& read) {
    if (PyUnicode_Check(seq)) return fail(PyExc_TypeError, "expected a sequence of labels, got a str");
    if (!is_sequence(seq))
        return fail(PyExc_TypeError,
                    std::string("'") + Py_TYPE(seq)->tp_name + "' object is not a sequence of labels");
    Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    PyRef it = PyRef::steal(PyObject_GetIter(seq));
    if (!it) return py::fail_from_current();
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(hint));
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        Result<bool> ok = read(item.get(), out);
        if (!ok) return Unexpected<PyError>{std::move(ok).error()};
    }
    if (PyErr_Occurred()) return py::fail_from_current();
    return out;
}

Result<std::vector<std::string>> frame_labels(PyObject* frame) {
    PyRef columns = PyRef::steal(PyObject_GetAttrString(frame, "columns"));
    if (!columns) return py::fail_from_current();

    auto as_text = [](PyObject* item, std::vector<std::string>& out) -> Result<bool> {
        if (!PyUnicode_Check(item)) return fail(PyExc_TypeError, "label is not a str");
        Result<std::string> s = utf8_of(item);
        if (!s) return Unexpected<PyError>{std::move(s).error()};
        out.push_back(std::move(*s));
        return true;
    };
    Result<std::vector<std::string>> texts = read_sequence(columns.get(), as_text);
    if (texts) return texts;

    // Not all texts: the labels must then read as 64-bit integers, and only the
    // error of that second reading reaches the caller.
    PyRef list = PyRef::steal(PyObject_CallMethod(columns.get(), "tolist", nullptr));
    if (!list) return py::fail_from_current();
    auto as_integer = [](PyObject* item, std::vector<std::string>& out) -> Result<bool> {
        long long v = PyLong_AsLongLong(item);
        if (v == -1 && PyErr_Occurred()) return py::fail_from_current();
        out.push_back(std::to_string(v));
        return true;
    };
    return read_sequence(list.get(), as_integer);
}

// A 2-D array whose dtype is native float64, copied into row-major order; nothing
// for any other object.
Result<std::optional<DataMatrix>> fast_path(PyObject* data) {
    Result<bool> loaded = load_numpy();
    if (!loaded) return Unexpected<PyError>{std::move(loaded).error()};
    if (!PyArray_Check(data)) return std::optional<DataMatrix>();
    auto* arr = reinterpret_cast<PyArrayObject*>(data);
    if (PyArray_NDIM(arr) != 2) return std::optional<DataMatrix>();
    PyRef f64 = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!f64) return py::fail_from_current();
    // Equivalence takes byte order into account, so big-endian doubles go the
    // slow way and come out converted.
    if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(f64.get())))
        return std::optional<DataMatrix>();

    const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    DataMatrix m(rows, cols);
    if (m.size() == 0) return std::optional<DataMatrix>(std::move(m));
    const char* base = PyArray_BYTES(arr);
    if (PyArray_IS_C_CONTIGUOUS(arr)) {
        std::memcpy(m.data(), base, m.size() * sizeof(double));
    } else {
        // Any strides, negative ones included; elements may be unaligned.
        const npy_intp s0 = PyArray_STRIDE(arr, 0);
        const npy_intp s1 = PyArray_STRIDE(arr, 1);
        double* out = m.data();
        for (std::size_t i = 0; i < rows; ++i) {
            const char* row = base + static_cast<npy_intp>(i) * s0;
            for (std::size_t j = 0; j < cols; ++j)
                std::memcpy(out + i * cols + j, row + static_cast<npy_intp>(j) * s1, sizeof(double));
        }
    }
    return std::optional<DataMatrix>(std::move(m));
}

constexpr const char* kShapeFailure = "shape must be a pair of non-negative integers";

std::pair<std::size_t, std::size_t> read_shape(PyObject* data) {
    PyRef shape = PyRef::steal(PyObject_GetAttrString(data, "shape"));
    if (!shape) panic_with_current(kShapeFailure);
    if (!PyTuple_Check(shape.get()))
        panic(std::string(kShapeFailure) + ": TypeError: expected a tuple, got '" + Py_TYPE(shape.get())->tp_name +
              "'");
    if (PyTuple_GET_SIZE(shape.get()) != 2)
        panic(std::string(kShapeFailure) + ": ValueError: expected 2 items, got " +
              std::to_string(PyTuple_GET_SIZE(shape.get())));
    std::size_t dims[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
        PyRef index = PyRef::steal(PyNumber_Index(PyTuple_GET_ITEM(shape.get(), k)));
        if (!index) panic_with_current(kShapeFailure);
        std::size_t v = PyLong_AsSize_t(index.get());
        if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) panic_with_current(kShapeFailure);
        dims[k] = v;
    }
    return {dims[0], dims[1]};
}

// A fresh (i, j) key per cell: the source may keep a reference to it.
Result<PyRef> cell_key(std::size_t i, PyObject* column) {
    PyRef row = PyRef::steal(PyLong_FromSize_t(i));
    if (!row) return py::fail_from_current();
    PyRef key = PyRef::steal(PyTuple_Pack(2, row.get(), column));
    if (!key) return py::fail_from_current();
    return key;
}

std::string str_or_panic(PyObject* cell) {
    Result<std::string> s = str_of(cell);
    if (!s) panic("cant convert to str: " + s.error().describe());
    return std::move(*s);
}

struct ColumnCells {
    bool text = false;
    std::vector<double> numbers;
    std::vector<std::string> texts;

    // From the first cell that is not a number on, the column is text; the
    // numbers before it take their shortest decimal form.
    void turn_to_text(std::size_t rows) {
        text = true;
        texts.reserve(rows);
        for (double v : numbers) texts.push_back(number_text(v));
        std::vector<double>().swap(numbers);
    }
};

Result<std::pair<DataMatrix, EncodingInfo>> encode_object_array(PyObject* data, bool frame) {
    const auto shape = read_shape(data);
    const std::size_t rows = shape.first;
    const std::size_t cols = shape.second;
    std::vector<double> buffer(checked_cells(rows, cols));
    const SharedSendPtr sink = std::make_shared<const SendPtr>(buffer.data());
    EncodingInfo info;
    info.encoders.reserve(cols);
    info.decoders.reserve(cols);
    std::vector<ColumnCells> columns(cols);
    for (auto& c : columns) c.numbers.reserve(rows);

    PyRef source = PyRef::borrow(data);
    if (frame) {
        source = PyRef::steal(PyObject_GetAttrString(data, "values"));
        if (!source) panic_with_current("cannot read the values of the DataFrame");
    }

    for (std::size_t j = 0; j < cols; ++j) {
        ColumnCells& col = columns[j];
        PyRef column_index = PyRef::steal(PyLong_FromSize_t(j));
        if (!column_index) return py::fail_from_current();
        for (std::size_t i = 0; i < rows; ++i) {
            Result<PyRef> key = cell_key(i, column_index.get());
            if (!key) return Unexpected<PyError>{std::move(key).error()};
            PyRef cell = PyRef::steal(PyObject_GetItem(source.get(), key->get()));
            if (!cell) panic_with_current("cannot read cell (" + std::to_string(i) + ", " + std::to_string(j) + ")");
            if (!col.text) {
                double v = PyFloat_AsDouble(cell.get());
                if (!(v == -1.0 && PyErr_Occurred())) {
                    col.numbers.push_back(v);
                    continue;
                }
                PyErr_Clear();
                col.turn_to_text(rows);
            }
            col.texts.push_back(str_or_panic(cell.get()));
        }
    }
    source = PyRef();

    // No Python past this point: the columns are finished on the pool.
    std::vector<std::optional<std::pair<Encoder, Decoder>>> encoded(cols);
    parallel_chunks(cols, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            const SharedSendPtr out = sink;
            ColumnCells& col = columns[j];
            auto write_column = [&](const std::vector<double>& values) {
                parallel_chunks(rows, kRowGrain, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) out->write(i * cols + j, values[i]);
                });
            };
            if (!col.text) {
                write_column(col.numbers);
                continue;
            }
            auto [codes, encoder] = label_encode(col.texts);
            write_column(codes);
            Decoder decoder = build_decoder(encoder);
            encoded[j].emplace(std::move(encoder), std::move(decoder));
        }
    });

    for (std::size_t j = 0; j < cols; ++j) {
        if (!encoded[j]) continue;
        info.encoded_columns.push_back(j);
        info.encoders.emplace(j, std::move(encoded[j]->first));
        info.decoders.emplace(j, std::move(encoded[j]->second));
    }
    return std::pair<DataMatrix, EncodingInfo>(DataMatrix(rows, cols, std::move(buffer)), std::move(info));
}

}  // namespace

Result<Extracted> pyany_to_vec(PyObject* data) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(data)));
    if (!type_name) return py::fail_from_current();
    Result<std::string> name = str_of(type_name.get());
    if (!name) return Unexpected<PyError>{std::move(name).error()};

    OUT out;
    if (*name == "ndarray" || *name == "memmap") {
        out.kind = OUT::Array{};
        Result<std::optional<DataMatrix>> fast = fast_path(data);
        if (!fast) return Unexpected<PyError>{std::move(fast).error()};
        if (*fast) return Extracted{std::move(out), std::move(**fast), std::nullopt};
    } else if (*name == "DataFrame") {
        Result<std::vector<std::string>> labels = frame_labels(data);
        if (!labels) return Unexpected<PyError>{std::move(labels).error()};
        out.kind = OUT::DataFrame{std::move(*labels)};
    } else {
        print_line(*name);
        return fail(PyExc_TypeError, "Unsupported type: '" + *name +
                                         "'. Supported types are: numpy.ndarray, pandas.DataFrame");
    }

    Result<std::pair<DataMatrix, EncodingInfo>> cells = encode_object_array(data, out.is_frame());
    if (!cells) return Unexpected<PyError>{std::move(cells).error()};
    return Extracted{std::move(out), std::move(cells->first), std::move(cells->second)};
}

}  // namespace porosa::bridge
