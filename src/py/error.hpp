// The boundary's error value: a failure of porosa's own (a kind and a text),
// or a Python exception taken out of the thread's error indicator. Either
// travels up as a value and becomes the current exception only when the entry
// guard restores it.
#pragma once
#include <Python.h>

#include <string>
#include <variant>

#include "core/error.hpp"
#include "core/expected.hpp"
#include "py/ref.hpp"

namespace porosa::py {

// PanicException, derived from BaseException so that `except Exception` lets
// it through; created once per process.
PyObject* panic_exception_type();

class PyError {
public:
    // A failure of porosa's own, not raised yet. Implicit, so that an Outcome
    // of the core passes up through a Result unchanged.
    PyError(Error own) noexcept : v_(std::move(own)) {}
    // Takes the current exception; one must be set.
    static PyError fetch() noexcept;

    // Makes it the current exception.
    void restore() && noexcept;
    // "TypeName: message", for texts that describe a Python error; the type
    // alone when the message cannot be had. A failure meanwhile that is not
    // ordinary comes back instead.
    Expected<std::string, PyError> describe();
    // Whether this is an ordinary failure, one that code may handle in its own
    // way: an Exception other than MemoryError, raised by the code that failed.
    // Anything else (KeyboardInterrupt, SystemExit, MemoryError, other
    // BaseExceptions, whatever a signal handler raised meanwhile) must reach
    // the caller unchanged. When telling fails (no memory to look at the
    // traceback), that failure takes this one's place and is judged instead.
    bool is_ordinary() noexcept;
    // Whether the exception is an instance of `type`.
    bool matches(PyObject* type) noexcept;
    // Attaches an exception note. Failing to attach it matters only when the
    // failure is not ordinary: then it comes back.
    Expected<void, PyError> add_note(const std::string& note);

private:
    PyError() noexcept = default;
    // The exception object (normalised), made from porosa's own failure first
    // if need be: the one place where an ErrorKind meets its Python type.
    PyObject* raised() noexcept;

    std::variant<PyRef, Error> v_;
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
// The module `name` if it is loaded already, else a null reference: what
// is not imported cannot have made the object at hand, and importing it
// only to ask would cost a caller who never uses it.
inline Result<PyRef> loaded_module(const char* name) {
    ASSIGN_OR_RETURN(PyRef text, owned(PyUnicode_FromString(name)));
    PyRef module = PyRef::steal(PyImport_GetModule(text.get()));
    if (!module && PyErr_Occurred()) return fail_from_current();
    return module;
}
// The outcome of an API call that returns -1 with an exception set.
inline Status check(int rc) noexcept {
    if (rc < 0) return fail_from_current();
    return {};
}
// A failure of porosa's own, as an error to return.
inline Unexpected<Error> fail(ErrorKind kind, std::string message) { return refuse(kind, std::move(message)); }

// For an error that the caller may put up with: an ordinary one is dropped;
// anything else comes back, to reach the caller unchanged. The one place where
// porosa lets a Python error go.
Status clear_ordinary(PyError e);
// The same for the current exception.
Status clear_ordinary();

// For a failed step whose ordinary failure porosa reports as an internal one
// (a data set it cannot read, a warning it cannot issue): an ordinary error
// becomes Panic "what: TypeName: message"; anything else comes back, to reach
// the caller unchanged.
Unexpected<PyError> step_failed(const std::string& what, PyError e);
// The same for the current exception.
Unexpected<PyError> step_failed(const std::string& what);

// Sets `type` with the whole of `message`, NULs included; bytes that are not
// UTF-8 come out as U+FFFD.
void set_error(PyObject* type, const std::string& message) noexcept;

}  // namespace porosa::py
