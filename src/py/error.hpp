// A Python exception taken out of the thread's error indicator, so that it can
// travel up to the boundary as a value and be raised there.
#pragma once
#include <Python.h>

#include <string>

#include "core/expected.hpp"
#include "py/ref.hpp"

namespace porosa::py {

class PyError {
public:
    // Takes the current exception; one must be set.
    static PyError fetch() noexcept;
    // Sets `type` with `message` and takes it at once.
    static PyError make(PyObject* type, const std::string& message) noexcept;

    // Puts the exception back as the current one.
    void restore() && noexcept;
    // "TypeName: message", for texts that describe a Python error.
    std::string describe() const;
    // Whether this is an ordinary failure, one that code may handle in its own
    // way: an Exception other than MemoryError, raised by the code that failed.
    // Anything else (KeyboardInterrupt, SystemExit, MemoryError, other
    // BaseExceptions, whatever a signal handler raised meanwhile) must reach
    // the caller unchanged.
    bool is_ordinary() const noexcept;
    // Attaches an exception note.
    void add_note(const std::string& note) const noexcept;
    // The exception object (normalised).
    PyObject* value() const noexcept { return value_.get(); }

private:
    PyRef value_;
};

template <class T>
using Result = Expected<T, PyError>;
// The outcome of a step that yields nothing.
using Status = Result<void>;

// The exception that the API call just made left current, as an error to
// return: `if (v == -1 && PyErr_Occurred()) return fail_from_current();`.
inline Unexpected<PyError> fail_from_current() noexcept { return Unexpected<PyError>{PyError::fetch()}; }
// A new reference from an API call, or the exception of its failure.
inline Result<PyRef> owned(PyObject* o) noexcept {
    if (!o) return fail_from_current();
    return PyRef::steal(o);
}
// The outcome of an API call that returns -1 with an exception set.
inline Status check(int rc) noexcept {
    if (rc < 0) return fail_from_current();
    return {};
}
// A fresh exception of `type` with `message`, as an error to return.
inline Unexpected<PyError> fail(PyObject* type, const std::string& message) noexcept {
    return Unexpected<PyError>{PyError::make(type, message)};
}

// For a current exception that the caller may put up with: an ordinary one is
// cleared; anything else comes back, to reach the caller unchanged.
Status clear_ordinary();

// For a failed step whose ordinary failure is an internal one: an ordinary
// current exception becomes Panic "what: TypeName: message"; anything else
// comes back, to reach the caller unchanged.
Unexpected<PyError> step_failed(const std::string& what);

// Sets `type` with the whole of `message`, NULs included; bytes that are not
// UTF-8 come out as U+FFFD.
void set_error(PyObject* type, const std::string& message) noexcept;

}  // namespace porosa::py
