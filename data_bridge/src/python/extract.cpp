// From the caller's object to a row-major matrix: float64 arrays by one copy,
// everything else cell by cell, with text columns label-encoded on the pool.
// Cells are read from memory in bulk wherever that hands out the same cells as
// item access would, so the two readings cannot classify or convert apart.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/interrupt.hpp"
#include "core/numtext.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "lib/label_encode.hpp"
#include "lib/send_ptr.hpp"
#include "py/detach.hpp"
#include "python/bridge.hpp"
#include "python/frame_columns.hpp"
#include "python/numeric_cells.hpp"
#include "python/numpy_api.hpp"
#include "python/pytext.hpp"

namespace porosa::bridge {

namespace {

using py::PyError;
using py::PyRef;
using py::Result;

// Rows per subtask when a column is written into the matrix.
constexpr std::size_t kRowGrain = 8192;
// Cells copied or converted between two interrupt points when an array is read
// whole: a millisecond or a few.
constexpr std::size_t kCopyCells = std::size_t{1} << 20;

// Rows of `cols` cells each read between two interrupt points.
std::size_t copy_rows(std::size_t cols) {
    return std::max<std::size_t>(1, kCopyCells / std::max<std::size_t>(cols, 1));
}

Unexpected<PyError> fail(PyObject* type, const std::string& message) {
    return Unexpected<PyError>{PyError::make(type, message)};
}

// Internal failure carrying the Python error that is current right now, unless
// that error must reach the caller unchanged.
[[noreturn]] void panic_with_current(const std::string& what) {
    panic(what + ": " + py::fetch_ordinary().describe());
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
    if (r < 0) (void)py::fetch_ordinary();
    return r == 1;
}

// Reads a sequence (not a str) item by item; `read` appends one item or fails.
template <class Read>
Result<std::vector<std::string>> read_sequence(PyObject* seq, Read&& read) {
    if (PyUnicode_Check(seq)) return fail(PyExc_TypeError, "expected a sequence of labels, got a str");
    if (!is_sequence(seq))
        return fail(PyExc_TypeError,
                    std::string("'") + Py_TYPE(seq)->tp_name + "' object is not a sequence of labels");
    // The claimed length is only a hint: a sequence may claim more items than
    // it yields, so it sizes the list only within reason.
    Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0) {
        (void)py::fetch_ordinary();
        hint = 0;
    }
    hint = std::min<Py_ssize_t>(hint, 1 << 16);
    PyRef it = PyRef::steal(PyObject_GetIter(seq));
    if (!it) return py::fail_from_current();
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(hint));
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        interrupt_point();
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
    if (texts || !texts.error().is_ordinary()) return texts;

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

// An array's memory as item access would see it. Taken again after every cell
// or interrupt point that may have run Python code: a float or str conversion,
// or a signal handler, is free to resize or rebind the array being read.
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
    DataMatrix m;
    // Copied a slice at a time with an interrupt point between slices. Should
    // a signal handler change the array meanwhile, the slow path reads it
    // afresh from its new shape.
    const Geometry at_start(arr);
    const char* base = at_start.data;
    // Plain copying, detached so that other threads run meanwhile; our
    // reference keeps the array and its memory alive.
    const bool copied = py::run_detached([&] {
        m = DataMatrix(rows, cols);  // zero-filled: it touches every page too
        double* out = m.data();
        if (PyArray_IS_C_CONTIGUOUS(arr)) {
            for (std::size_t b = 0; b < m.size(); b += kCopyCells) {
                const std::size_t n = std::min(kCopyCells, m.size() - b);
                interrupt_point(n);
                if (!(Geometry(arr) == at_start)) return false;
                std::memcpy(out + b, base + b * sizeof(double), n * sizeof(double));
            }
            return true;
        }
        // Any strides, negative ones included; elements may be unaligned.
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
    });
    if (!copied) return std::optional<DataMatrix>();
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

// Hands the UTF-8 of str(cell) to `use`, valid during the call only.
template <class Use>
void with_text(PyObject* cell, Use&& use) {
    // str() of an exact str is that str itself; only its UTF-8 can fail.
    PyRef text = PyUnicode_CheckExact(cell) ? PyRef::borrow(cell) : PyRef::steal(PyObject_Str(cell));
    Py_ssize_t n = 0;
    const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (!p) panic("cant convert to str: " + py::fetch_ordinary().describe());
    use(std::string_view(p, static_cast<std::size_t>(n)));
}

// A text column kept as its distinct texts, in order of first appearance, and
// each row's index into them. Label encoding then sorts the distinct texts
// only: the codes depend on nothing but the set of distinct texts, so they come
// out as if every row's text had been sorted.
class DistinctTexts {
public:
    void reserve(std::size_t rows) { rows_.reserve(rows); }

    void add(std::string_view text) { rows_.push_back(id_of(text)); }

    // An exact str, remembered by identity: text columns usually repeat a few
    // objects many times, and comparing a pointer is cheaper than hashing the
    // text. Each entry holds its object, so the address cannot be reused by
    // another object while the entry lasts.
    void add_str(PyObject* str) {
        if (seen_.empty()) seen_.resize(kSeen);
        Seen& seen = seen_[(reinterpret_cast<std::uintptr_t>(str) >> 4) % kSeen];
        if (seen.str.get() != str) {
            std::size_t id = 0;
            with_text(str, [&](std::string_view t) { id = id_of(t); });
            seen = Seen{PyRef::borrow(str), id};
        }
        rows_.push_back(seen.id);
    }

    // Lets go of the remembered objects; on the calling thread, before encode.
    void forget_objects() { seen_ = {}; }

    // The rows' codes and the column's encoder; runs on the pool.
    std::pair<std::vector<double>, Encoder> encode() {
        index_ = {};
        std::vector<std::string> distinct(std::make_move_iterator(texts_.begin()),
                                          std::make_move_iterator(texts_.end()));
        texts_ = {};
        auto [by_text, encoder] = label_encode(distinct);
        std::vector<double> codes(rows_.size());
        parallel_chunks(rows_.size(), kRowGrain, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) codes[i] = by_text[rows_[i]];
        });
        rows_ = {};
        return {std::move(codes), std::move(encoder)};
    }

private:
    static constexpr std::size_t kSeen = 1021;
    struct Seen {
        PyRef str;
        std::size_t id = 0;
    };

    std::size_t id_of(std::string_view text) {
        auto it = index_.find(text);
        if (it == index_.end()) {
            // A deque never moves its strings, so the key may view them.
            texts_.emplace_back(text);
            it = index_.emplace(std::string_view(texts_.back()), texts_.size() - 1).first;
        }
        return it->second;
    }

    std::vector<Seen> seen_;
    std::deque<std::string> texts_;
    std::unordered_map<std::string_view, std::size_t> index_;
    std::vector<std::size_t> rows_;
};

struct ColumnCells {
    bool text = false;
    bool written = false;  // already in the matrix buffer
    std::vector<double> numbers;
    DistinctTexts texts;

    // From the first cell that is not a number on, the column is text; the
    // numbers before it take their shortest decimal form.
    void turn_to_text(std::size_t rows) {
        text = true;
        texts.reserve(rows);
        for (double v : numbers) texts.add(number_text(v));
        std::vector<double>().swap(numbers);
    }

    void take(PyObject* cell, std::size_t rows) {
        if (!text) {
            // PyFloat_AsDouble reads an exact float the same way; skipping the
            // call matters at millions of cells.
            double v = PyFloat_CheckExact(cell) ? PyFloat_AS_DOUBLE(cell) : PyFloat_AsDouble(cell);
            if (!(v == -1.0 && PyErr_Occurred())) {
                numbers.push_back(v);
                return;
            }
            // Only an ordinary failure to convert makes the column text: an
            // interruption, an exit or a lack of memory goes to the caller.
            (void)py::fetch_ordinary();
            turn_to_text(rows);
        }
        if (PyUnicode_CheckExact(cell)) texts.add_str(cell);
        else with_text(cell, [&](std::string_view t) { texts.add(t); });
    }
};

// Cell (i, j) by item access, `column_index` being j as a Python int.
Result<bool> take_item(PyObject* source, std::size_t i, std::size_t j, PyObject* column_index, std::size_t rows,
                       ColumnCells& col) {
    Result<PyRef> key = cell_key(i, column_index);
    if (!key) return Unexpected<PyError>{std::move(key).error()};
    PyRef cell = PyRef::steal(PyObject_GetItem(source, key->get()));
    if (!cell) panic_with_current("cannot read cell (" + std::to_string(i) + ", " + std::to_string(j) + ")");
    col.take(cell.get(), rows);
    return true;
}

// Column j from row `from` on, by item access: the reading every source allows.
Result<bool> read_items(PyObject* source, std::size_t j, std::size_t from, std::size_t rows, ColumnCells& col) {
    PyRef column_index = PyRef::steal(PyLong_FromSize_t(j));
    if (!column_index) return py::fail_from_current();
    for (std::size_t i = from; i < rows; ++i) {
        interrupt_point();
        Result<bool> taken = take_item(source, i, j, column_index.get(), rows, col);
        if (!taken) return taken;
    }
    return true;
}

// Column j of an object array, its cells taken straight from memory (a null
// slot reads as None, as item access gives it). Once the array has changed under
// the reading, the remaining cells go through `fallback`.
template <class Fallback>
Result<bool> read_objects(PyArrayObject* a, std::size_t j, std::size_t rows, ColumnCells& col, Fallback&& fallback) {
    const Geometry at_start(a);
    const npy_intp cols = at_start.ndim == 2 ? at_start.dims[1] : 1;
    if (at_start.ndim < 1 || at_start.ndim > 2 || static_cast<std::size_t>(at_start.dims[0]) != rows ||
        static_cast<std::size_t>(cols) <= j || at_start.descr->type_num != NPY_OBJECT || !PyArray_ISALIGNED(a))
        return fallback(0);
    for (std::size_t i = 0; i < rows; ++i) {
        interrupt_point();
        if (!(Geometry(a) == at_start)) return fallback(i);
        PyObject* slot;
        std::memcpy(&slot,
                    at_start.data + static_cast<npy_intp>(i) * at_start.strides[0] +
                        static_cast<npy_intp>(j) * at_start.strides[1],
                    sizeof slot);
        PyRef cell = PyRef::borrow(slot ? slot : Py_None);
        col.take(cell.get(), rows);
    }
    return true;
}

// A source whose item access is NumPy's own: an exact ndarray or memmap (whose
// __getitem__ hands out the same scalars), two-dimensional, of the frame's shape.
PyArrayObject* plain_array(PyObject* source, std::size_t rows, std::size_t cols) {
    if (!PyArray_Check(source)) return nullptr;
    if (!PyArray_CheckExact(source)) {
        PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
        PyRef numpy = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
        PyRef memmap = numpy ? PyRef::steal(PyObject_GetAttrString(numpy.get(), "memmap")) : PyRef();
        if (!memmap) {
            PyErr_Clear();
            return nullptr;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(source)) != memmap.get()) return nullptr;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(source);
    if (PyArray_NDIM(a) != 2 || static_cast<std::size_t>(PyArray_DIM(a, 0)) != rows ||
        static_cast<std::size_t>(PyArray_DIM(a, 1)) != cols)
        return nullptr;
    return a;
}

// A NumPy text element as UTF-8: the code points up to the last non-zero one,
// which is what item access puts into the np.str_ it hands out. False when a
// code point is one that str() could not encode (a surrogate) or that NumPy
// would refuse (beyond U+10FFFF); such a cell is read by item access instead,
// to fail exactly as it would there.
bool ucs4_to_utf8(const char* p, std::size_t units, bool swapped, std::string& out) {
    out.clear();
    auto unit = [&](std::size_t k) {
        std::uint32_t u;
        std::memcpy(&u, p + 4 * k, 4);
        return swapped ? __builtin_bswap32(u) : u;
    };
    while (units > 0 && unit(units - 1) == 0) --units;
    for (std::size_t k = 0; k < units; ++k) {
        const std::uint32_t c = unit(k);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return false;
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            return false;
        }
    }
    return true;
}

// Column j of a NumPy text array. Its cells are np.str_, which the float
// conversion always refuses, so the column is text from its first row on.
Result<bool> read_unicode(PyArrayObject* a, PyObject* source, std::size_t j, std::size_t rows, ColumnCells& col) {
    if (rows > 0) col.turn_to_text(rows);
    const Geometry at_start(a);
    const npy_intp s0 = at_start.strides[0];
    const npy_intp s1 = at_start.strides[1];
    const std::size_t units = static_cast<std::size_t>(PyArray_ITEMSIZE(a)) / 4;
    const bool swapped = !PyArray_ISNBO(PyArray_DESCR(a)->byteorder);
    std::string text;
    for (std::size_t i = 0; i < rows; ++i) {
        interrupt_point();
        if (!(Geometry(a) == at_start)) return read_items(source, j, i, rows, col);
        const char* p = at_start.data + static_cast<npy_intp>(i) * s0 + static_cast<npy_intp>(j) * s1;
        if (ucs4_to_utf8(p, units, swapped, text)) {
            col.texts.add(text);
            continue;
        }
        PyRef column_index = PyRef::steal(PyLong_FromSize_t(j));
        if (!column_index) return py::fail_from_current();
        Result<bool> taken = take_item(source, i, j, column_index.get(), rows, col);
        if (!taken) return taken;
    }
    return true;
}

// The frame's columns one by one (see frame_columns.hpp). Numeric columns go
// straight into the row-major buffer, a block of rows at a time so that the
// block stays in cache while every column is written into it. No Python code
// runs for them, so reading them ahead of the object columns changes nothing
// that a cell's conversion could observe.
void read_split(std::vector<FrameColumn>& split, std::vector<ColumnCells>& columns, std::size_t rows,
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
        auto* a = reinterpret_cast<PyArrayObject*>(split[j].array.get());
        ColumnCells& col = columns[j];
        if (split[j].numbers) {
            col.written = true;
        } else {
            col.numbers.reserve(rows);
            // The array is this call's own copy, which no conversion can reach.
            (void)read_objects(a, 0, rows, col, [](std::size_t) -> Result<bool> {
                panic("a column copy changed while it was read");
            });
        }
        split[j].array = PyRef();
    }
}

// The whole array's numbers straight into the row-major buffer. A signal
// handler that changes the array while it is read leaves no consistent reading.
Result<bool> read_numbers(PyArrayObject* a, NumericDtype type, std::size_t rows, std::size_t cols, double* out) {
    const Geometry at_start(a);
    const std::size_t block = copy_rows(cols);
    for (std::size_t i = 0, left = 0; i < rows; ++i, --left) {
        if (left == 0) {
            left = block;
            interrupt_point(block * cols);
            if (!(Geometry(a) == at_start)) return fail(PyExc_RuntimeError, "the array changed while it was read");
        }
        convert_numbers(at_start.data + static_cast<npy_intp>(i) * at_start.strides[0], at_start.strides[1], cols,
                        type, out + i * cols, 1);
    }
    return true;
}

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

    // Without NumPy's interface every cell goes through item access.
    const bool numpy = load_numpy().has_value();

    std::optional<std::vector<FrameColumn>> split;
    if (frame && numpy) split = split_frame(data, rows, cols);
    PyRef source = PyRef::borrow(data);
    if (frame && !split) {
        source = PyRef::steal(PyObject_GetAttrString(data, "values"));
        if (!source) panic_with_current("cannot read the values of the DataFrame");
    }
    PyArrayObject* array = numpy && !split ? plain_array(source.get(), rows, cols) : nullptr;
    std::optional<NumericDtype> numbers = array ? numeric_dtype(PyArray_DESCR(array)) : std::nullopt;

    if (numbers) {
        // Every column numeric: no per-column lists, no finishing step.
        Result<bool> read = read_numbers(array, *numbers, rows, cols, buffer.data());
        if (!read) return Unexpected<PyError>{std::move(read).error()};
        return std::pair<DataMatrix, EncodingInfo>(DataMatrix(rows, cols, std::move(buffer)), std::move(info));
    }
    if (split) {
        read_split(*split, columns, rows, buffer.data());
    } else {
        const int type_num = array ? PyArray_DESCR(array)->type_num : -1;
        for (std::size_t j = 0; j < cols; ++j) {
            ColumnCells& col = columns[j];
            col.numbers.reserve(rows);
            Result<bool> done =
                type_num == NPY_OBJECT
                    ? read_objects(array, j, rows, col,
                                   [&](std::size_t from) { return read_items(source.get(), j, from, rows, col); })
                : type_num == NPY_UNICODE ? read_unicode(array, source.get(), j, rows, col)
                                          : read_items(source.get(), j, 0, rows, col);
            if (!done) return Unexpected<PyError>{std::move(done).error()};
        }
    }
    source = PyRef();
    for (ColumnCells& col : columns) col.texts.forget_objects();

    // No Python past this point: the columns are finished on the pool.
    std::vector<std::optional<std::pair<Encoder, Decoder>>> encoded(cols);
    std::vector<std::vector<double>> codes(cols);
    parallel_chunks(cols, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            ColumnCells& col = columns[j];
            if (!col.text) continue;
            auto [column_codes, encoder] = col.texts.encode();
            codes[j] = std::move(column_codes);
            Decoder decoder = build_decoder(encoder);
            encoded[j].emplace(std::move(encoder), std::move(decoder));
        }
    });

    // Written row block by row block, so each block of the row-major buffer is
    // filled while it is in cache instead of once per column.
    std::vector<std::pair<std::size_t, const double*>> pending;
    for (std::size_t j = 0; j < cols; ++j)
        if (!columns[j].written) pending.emplace_back(j, columns[j].text ? codes[j].data() : columns[j].numbers.data());
    if (!pending.empty())
        parallel_chunks(rows, kRowGrain, [&](std::size_t b, std::size_t e) {
            const SharedSendPtr out = sink;
            for (std::size_t i = b; i < e; ++i)
                for (const auto& [j, values] : pending) out->write(i * cols + j, values[i]);
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
