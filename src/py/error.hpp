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
    // way: an Exception other than MemoryError. Anything else (KeyboardInterrupt,
    // SystemExit, MemoryError, other BaseExceptions) must reach the caller
    // unchanged.
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

// Takes the current exception for the caller to handle in its own way, unless
// it is not an ordinary failure: that one stays current, and Interrupted
// carries the call out to the entry guard, which lets it through unchanged.
PyError fetch_ordinary();

// Sets `type` with the whole of `message`, NULs included; bytes that are not
// UTF-8 come out as U+FFFD.
void set_error(PyObject* type, const std::string& message) noexcept;

// For `return fail_from_current();` right after a failed API call.
inline Unexpected<PyError> fail_from_current() noexcept { return Unexpected<PyError>{PyError::fetch()}; }

}  // namespace porosa::py
