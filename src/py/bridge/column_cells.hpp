// One column's cells as they are read: numbers until the first cell that is
// not one, text from then on, its distinct texts label-encoded on the pool.
#pragma once
#include <Python.h>

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encoding/label_encode.hpp"
#include "py/error.hpp"
#include "py/ref.hpp"

namespace porosa::bridge {

// A text column kept as its distinct texts, in order of first appearance, and
// each row's index into them. Label encoding then sorts the distinct texts
// only: the codes depend on nothing but the set of distinct texts, so they come
// out as if every row's text had been sorted.
class DistinctTexts {
public:
    void reserve(std::size_t rows) { rows_.reserve(rows); }

    void add(std::string_view text) { rows_.push_back(intern(text)); }
    // The index of `text` among the distinct texts, added if new.
    std::size_t intern(std::string_view text);
    // A row holding the text that intern() gave `id`.
    void add_id(std::size_t id) { rows_.push_back(id); }

    // An exact str, remembered by identity: text columns usually repeat a few
    // objects many times, and comparing a pointer is cheaper than hashing the
    // text. Each entry holds its object, so the address cannot be reused by
    // another object while the entry lasts.
    py::Status add_str(PyObject* str);

    // Lets go of the remembered objects; on the calling thread, before encode.
    void forget_objects() { seen_ = {}; }

    // The rows' codes and the column's encoder; runs on the pool.
    std::pair<std::vector<double>, Encoder> encode();

private:
    static constexpr std::size_t kSeen = 1021;
    struct Seen {
        py::PyRef str;
        std::size_t id = 0;
    };

    std::vector<Seen> seen_;
    std::deque<std::string> texts_;
    std::unordered_map<std::string_view, std::size_t> index_;
    std::vector<std::size_t> rows_;
};

// Hands the UTF-8 of str(cell) to `use`, valid during the call only; a cell
// that has none is the internal failure "cant convert to str: ...".
template <class Use>
py::Status with_text(PyObject* cell, Use&& use) {
    // str() of an exact str is that str itself; only its UTF-8 can fail.
    py::PyRef text = PyUnicode_CheckExact(cell) ? py::PyRef::borrow(cell) : py::PyRef::steal(PyObject_Str(cell));
    Py_ssize_t n = 0;
    const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (!p) return py::step_failed("cant convert to str");
    use(std::string_view(p, static_cast<std::size_t>(n)));
    return {};
}

struct ColumnCells {
    bool text = false;
    bool written = false;  // already in the matrix
    std::vector<double> numbers;
    DistinctTexts texts;

    // From the first cell that is not a number on, the column is text; the
    // numbers before it take their shortest decimal form.
    void turn_to_text(std::size_t rows);

    py::Status take(PyObject* cell, std::size_t rows) {
        if (!text) {
            // PyFloat_AsDouble reads an exact float the same way; skipping the
            // call matters at millions of cells.
            double v = PyFloat_CheckExact(cell) ? PyFloat_AS_DOUBLE(cell) : PyFloat_AsDouble(cell);
            if (!(v == -1.0 && PyErr_Occurred())) {
                numbers.push_back(v);
                return {};
            }
            // Only an ordinary failure to convert makes the column text: an
            // interruption, an exit or a lack of memory goes to the caller.
            RETURN_IF_ERROR(py::clear_ordinary());
            turn_to_text(rows);
        }
        if (PyUnicode_CheckExact(cell)) return texts.add_str(cell);
        return with_text(cell, [&](std::string_view t) { texts.add(t); });
    }
};

}  // namespace porosa::bridge
