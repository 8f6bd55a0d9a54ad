// PyRef: the one owner of a strong Python reference. Everything else borrows.
#pragma once
#include <Python.h>

#include <utility>

namespace porosa::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null, after a failed API call).
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }

    PyRef(const PyRef& other) noexcept : o_(other.o_) { Py_XINCREF(o_); }
    PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(o_, other.o_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(o_); }

    PyObject* get() const noexcept { return o_; }
    explicit operator bool() const noexcept { return o_ != nullptr; }
    // Hands the reference back to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(o_, nullptr); }

private:
    explicit PyRef(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

}  // namespace porosa::py
