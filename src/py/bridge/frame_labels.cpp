#include "py/bridge/frame_labels.hpp"

#include <algorithm>

#include "core/interrupt.hpp"
#include "py/ref.hpp"
#include "py/bridge/pytext.hpp"

namespace porosa::bridge {

namespace {

using py::PyRef;
using py::Result;
using py::Status;

// PySequence_Check misses sequences that are only registered with the ABC.
Result<bool> is_sequence(PyObject* o) {
    if (PySequence_Check(o)) return true;
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    PyRef seq = abc ? PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : PyRef();
    int r = seq ? PyObject_IsInstance(o, seq.get()) : -1;
    if (r < 0) RETURN_IF_ERROR(py::clear_ordinary());
    return r == 1;
}

// The claimed length is only a hint: a sequence may claim more items than it
// yields, so it sizes the list only within reason.
Result<std::size_t> length_hint(PyObject* seq) {
    Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0) {
        RETURN_IF_ERROR(py::clear_ordinary());
        hint = 0;
    }
    return static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 16));
}

// Reads a sequence (not a str) item by item; `read` appends one item or fails.
template <class Read>
Result<std::vector<std::string>> read_sequence(PyObject* seq, Read&& read) {
    if (PyUnicode_Check(seq)) return py::fail(ErrorKind::Type, "expected a sequence of labels, got a str");
    ASSIGN_OR_RETURN(bool sequence, is_sequence(seq));
    if (!sequence)
        return py::fail(ErrorKind::Type,
                        std::string("'") + Py_TYPE(seq)->tp_name + "' object is not a sequence of labels");
    ASSIGN_OR_RETURN(std::size_t hint, length_hint(seq));
    ASSIGN_OR_RETURN(PyRef it, py::owned(PyObject_GetIter(seq)));
    std::vector<std::string> out;
    out.reserve(hint);
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        interrupt_point();
        RETURN_IF_ERROR(read(item.get(), out));
    }
    if (PyErr_Occurred()) return py::fail_from_current();
    return out;
}

Status append_text(PyObject* item, std::vector<std::string>& out) {
    if (!PyUnicode_Check(item)) return py::fail(ErrorKind::Type, "label is not a str");
    ASSIGN_OR_RETURN(std::string text, utf8_of(item));
    out.push_back(std::move(text));
    return {};
}

Status append_integer(PyObject* item, std::vector<std::string>& out) {
    long long v = PyLong_AsLongLong(item);
    if (v == -1 && PyErr_Occurred()) return py::fail_from_current();
    out.push_back(std::to_string(v));
    return {};
}

}  // namespace

Result<std::vector<std::string>> frame_labels(PyObject* frame) {
    ASSIGN_OR_RETURN(PyRef columns, py::owned(PyObject_GetAttrString(frame, "columns")));
    Result<std::vector<std::string>> texts = read_sequence(columns.get(), append_text);
    if (texts || !texts.error().is_ordinary()) return texts;

    // Not all texts: the labels must then read as 64-bit integers, and only the
    // error of that second reading reaches the caller.
    ASSIGN_OR_RETURN(PyRef list, py::owned(PyObject_CallMethod(columns.get(), "tolist", nullptr)));
    return read_sequence(list.get(), append_integer);
}

}  // namespace porosa::bridge
