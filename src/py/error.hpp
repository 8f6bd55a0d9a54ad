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
    // Attaches an exception note.
    void add_note(const std::string& note) const noexcept;
    // The exception object (normalised).
    PyObject* value() const noexcept { return value_.get(); }

private:
    PyRef value_;
};

template <class T>
using Result = Expected<T, PyError>;

// For `return fail_from_current();` right after a failed API call.
inline Unexpected<PyError> fail_from_current() noexcept { return Unexpected<PyError>{PyError::fetch()}; }

}  // namespace porosa::py
