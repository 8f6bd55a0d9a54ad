// From the caller's object to a row-major matrix: float64 arrays by one copy,
// everything else cell by cell, with text columns label-encoded on the pool.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "encoding/label_encode.hpp"
#include "core/send_ptr.hpp"
#include "py/bridge/array_geometry.hpp"
#include "py/bridge/bridge.hpp"
#include "py/bridge/cell_readers.hpp"
#include "py/bridge/column_cells.hpp"
#include "py/bridge/fast_path.hpp"
#include "py/bridge/frame_columns.hpp"
#include "py/bridge/frame_labels.hpp"
#include "py/bridge/numpy_api.hpp"
#include "py/bridge/pytext.hpp"

namespace porosa::bridge {

namespace {

using py::PyRef;
using py::Result;
using py::Status;

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

constexpr const char* kShapeFailure = "shape must be a pair of non-negative integers";

// A shape that is no pair is the caller's TypeError or ValueError, reported
// like any other failure to read it.
Result<std::pair<std::size_t, std::size_t>> read_shape(PyObject* data) {
    PyRef shape = PyRef::steal(PyObject_GetAttrString(data, "shape"));
    if (!shape) return py::step_failed(kShapeFailure);
    if (!PyTuple_Check(shape.get()))
        return py::step_failed(kShapeFailure, Error{ErrorKind::Type, std::string("expected a tuple, got '") +
                                                                         Py_TYPE(shape.get())->tp_name + "'"});
    if (PyTuple_GET_SIZE(shape.get()) != 2)
        return py::step_failed(kShapeFailure, Error{ErrorKind::Value, "expected 2 items, got " +
                                                                          std::to_string(PyTuple_GET_SIZE(shape.get()))});
    std::size_t dims[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
        PyRef index = PyRef::steal(PyNumber_Index(PyTuple_GET_ITEM(shape.get(), k)));
        if (!index) return py::step_failed(kShapeFailure);
        std::size_t v = PyLong_AsSize_t(index.get());
        if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return py::step_failed(kShapeFailure);
        dims[k] = v;
    }
    return std::pair{dims[0], dims[1]};
}

// Where the cells come from: a frame's columns one by one, or an object whose
// item access gives them (the array itself, or a frame's `values`), read from
// memory when it is a plain NumPy array.
struct Source {
    std::optional<std::vector<FrameColumn>> split;
    PyRef items;
    PyArrayObject* array = nullptr;  // `items`, when it is a plain array
};

Result<Source> open_source(PyObject* data, bool frame, std::size_t rows, std::size_t cols) {
    // The rebuild needs NumPy's interface anyway: a failure to load it (an
    // interruption, a NumPy this module was not built for) ends the call here.
    RETURN_IF_ERROR(load_numpy());
    Source s;
    if (frame) {
        ASSIGN_OR_RETURN(s.split, split_frame(data, rows, cols));
    }
    s.items = PyRef::borrow(data);
    if (frame && !s.split) {
        s.items = PyRef::steal(PyObject_GetAttrString(data, "values"));
        if (!s.items) return py::step_failed("cannot read the values of the DataFrame");
    }
    if (!s.split) {
        ASSIGN_OR_RETURN(s.array, plain_array(s.items.get(), rows, cols));
    }
    return s;
}

// A column read as codes into its distinct texts: text from its first row on.
void read_codes(PyArrayObject* codes, const std::vector<std::string>& distinct, std::size_t rows, ColumnCells& col) {
    col.turn_to_text(rows);
    std::vector<std::size_t> ids;
    ids.reserve(distinct.size());
    for (const std::string& text : distinct) ids.push_back(col.texts.intern(text));
    for (std::size_t i = 0; i < rows; ++i) {
        if (i % kRowGrain == 0) interrupt_point(std::min(kRowGrain, rows - i));
        npy_intp code;
        std::memcpy(&code, PyArray_GETPTR1(codes, static_cast<npy_intp>(i)), sizeof code);
        col.texts.add_id(ids[static_cast<std::size_t>(code)]);
    }
}

// The frame's columns one by one (see frame_columns.hpp). Numeric columns go
// straight into the row-major buffer, a block of rows at a time so that the
// block stays in cache while every column is written into it. No Python code
// runs for them, so reading them ahead of the object columns changes nothing
// that a cell's conversion could observe.
Status read_split(std::vector<FrameColumn>& split, std::vector<ColumnCells>& columns, std::size_t rows,
                  double* buffer) {
    const std::size_t cols = split.size();
    // The arrays are this call's own references, whose memory nothing but a
    // resize that skips NumPy's reference check can move: they are read across
    // interrupt points without looking at them again.
    for (std::size_t b = 0; b < rows; b += kRowGrain) {
        const std::size_t n = std::min(kRowGrain, rows - b);
        interrupt_point(n * cols);
        for (std::size_t j = 0; j < cols; ++j) {
            if (!split[j].numbers) continue;
            auto* a = reinterpret_cast<PyArrayObject*>(split[j].array.get());
            convert_numbers(PyArray_BYTES(a) + static_cast<npy_intp>(b) * PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 0),
                            n, *split[j].numbers, buffer + b * cols + j, cols);
        }
    }
    for (std::size_t j = 0; j < cols; ++j) {
        ColumnCells& col = columns[j];
        if (split[j].numbers) {
            col.written = true;
        } else if (split[j].texts) {
            read_codes(reinterpret_cast<PyArrayObject*>(split[j].array.get()), *split[j].texts, rows, col);
        } else {
            col.numbers.reserve(rows);
            // The array is this call's own copy, which no conversion can reach.
            auto* a = reinterpret_cast<PyArrayObject*>(split[j].array.get());
            RETURN_IF_ERROR(read_objects(a, 0, rows, col, nullptr));
        }
        split[j].array = PyRef();
    }
    return {};
}

// Every column of an object that item access reads, from memory where the
// array's dtype allows.
Status read_columns(const Source& s, std::vector<ColumnCells>& columns, std::size_t rows) {
    const int type_num = s.array ? PyArray_DESCR(s.array)->type_num : -1;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        ColumnCells& col = columns[j];
        col.numbers.reserve(rows);
        if (type_num == NPY_OBJECT) RETURN_IF_ERROR(read_objects(s.array, j, rows, col, s.items.get()));
        else if (type_num == NPY_UNICODE) RETURN_IF_ERROR(read_unicode(s.array, s.items.get(), j, rows, col));
        else RETURN_IF_ERROR(read_items(s.items.get(), j, 0, rows, col));
    }
    return {};
}

// A text column's decoder; the rebuild turns codes back into texts with it.
using Encoded = std::optional<Decoder>;

// The text columns' codes and decoders, on the pool: no Python here.
std::vector<Encoded> encode_texts(std::vector<ColumnCells>& columns, std::vector<std::vector<double>>& codes) {
    std::vector<Encoded> encoded(columns.size());
    parallel_chunks(columns.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            ColumnCells& col = columns[j];
            if (!col.text) continue;
            auto [column_codes, encoder] = col.texts.encode();
            codes[j] = std::move(column_codes);
            encoded[j].emplace(build_decoder(encoder));
        }
    });
    return encoded;
}

// The columns not yet in the buffer, written row block by row block, so each
// block of the row-major buffer is filled while it is in cache instead of once
// per column.
void write_columns(const std::vector<ColumnCells>& columns, const std::vector<std::vector<double>>& codes,
                   std::size_t rows, const SharedPlainSendPtr& sink) {
    const std::size_t cols = columns.size();
    std::vector<std::pair<std::size_t, const double*>> pending;
    for (std::size_t j = 0; j < cols; ++j)
        if (!columns[j].written) pending.emplace_back(j, columns[j].text ? codes[j].data() : columns[j].numbers.data());
    if (pending.empty()) return;
    parallel_chunks(rows, kRowGrain, [&](std::size_t b, std::size_t e) {
        const SharedPlainSendPtr out = sink;
        for (std::size_t i = b; i < e; ++i)
            for (const auto& [j, values] : pending) out->write(i * cols + j, values[i]);
    });
}

EncodingInfo encoding_info(std::vector<Encoded>& encoded) {
    EncodingInfo info;
    info.decoders.reserve(encoded.size());
    for (std::size_t j = 0; j < encoded.size(); ++j) {
        if (!encoded[j]) continue;
        info.encoded_columns.push_back(j);
        info.decoders.emplace(j, std::move(*encoded[j]));
    }
    return info;
}

Result<std::pair<DataMatrix, EncodingInfo>> encode_object_array(PyObject* data, bool frame) {
    ASSIGN_OR_RETURN(const auto shape, read_shape(data));
    const auto [rows, cols] = shape;
    ASSIGN_OR_RETURN(const std::size_t cells, cell_count(rows, cols));
    std::vector<double> buffer(cells);
    const SharedPlainSendPtr sink = std::make_shared<const PlainSendPtr>(buffer.data());
    ASSIGN_OR_RETURN(Source source, open_source(data, frame, rows, cols));

    std::optional<NumericDtype> numbers = source.array ? numeric_dtype(PyArray_DESCR(source.array)) : std::nullopt;
    if (numbers) {
        // Every column numeric: no per-column lists, no finishing step.
        RETURN_IF_ERROR(read_numbers(source.array, *numbers, rows, cols, buffer.data()));
        return std::pair{DataMatrix(rows, cols, std::move(buffer)), EncodingInfo()};
    }
    std::vector<ColumnCells> columns(cols);
    if (source.split) RETURN_IF_ERROR(read_split(*source.split, columns, rows, buffer.data()));
    else RETURN_IF_ERROR(read_columns(source, columns, rows));
    source = Source();
    for (ColumnCells& col : columns) col.texts.forget_objects();

    std::vector<std::vector<double>> codes(cols);
    std::vector<Encoded> encoded = encode_texts(columns, codes);
    write_columns(columns, codes, rows, sink);
    return std::pair{DataMatrix(rows, cols, std::move(buffer)), encoding_info(encoded)};
}

}  // namespace

Result<Extracted> pyany_to_vec(PyObject* data) {
    ASSIGN_OR_RETURN(PyRef type_name, py::owned(PyType_GetName(Py_TYPE(data))));
    ASSIGN_OR_RETURN(std::string name, str_of(type_name.get()));

    OUT out;
    if (name == "ndarray" || name == "memmap") {
        out.kind = OUT::Array{};
        ASSIGN_OR_RETURN(std::optional<DataMatrix> fast, fast_path(data));
        if (fast) return Extracted{std::move(out), std::move(*fast), std::nullopt};
    } else if (name == "DataFrame") {
        ASSIGN_OR_RETURN(std::vector<std::string> labels, frame_labels(data));
        out.kind = OUT::DataFrame{std::move(labels)};
    } else {
        print_line(name);
        return py::fail(ErrorKind::Type,
                        "Unsupported type: '" + name + "'. Supported types are: numpy.ndarray, pandas.DataFrame");
    }

    ASSIGN_OR_RETURN(auto cells, encode_object_array(data, out.is_frame()));
    return Extracted{std::move(out), std::move(cells.first), std::move(cells.second)};
}

}  // namespace porosa::bridge
