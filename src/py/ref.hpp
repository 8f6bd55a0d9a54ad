// PyRef: the one owner of a strong Python reference. Everything else borrows.
#pragma once
#include <Python.h>

#include <utility>

namespace porosa::py {

// Whether the interpreter has begun shutting down; callable without a thread state.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Whether this thread may touch Python objects: not when the shutdown caught
// it detached and is unwinding it (a daemon thread at exit), where dropping a
// reference would crash; what it held is simply left to the exiting process.
inline bool may_touch_objects() noexcept { return !interpreter_finalizing() || PyGILState_Check(); }

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
    ~PyRef() {
        if (o_ && may_touch_objects()) Py_DECREF(o_);
    }

    PyObject* get() const noexcept { return o_; }
    explicit operator bool() const noexcept { return o_ != nullptr; }
    // Hands the reference back to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(o_, nullptr); }

private:
    explicit PyRef(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

}  // namespace porosa::py
