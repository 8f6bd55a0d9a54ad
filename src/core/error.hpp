// The one value by which a failure travels up: a refusal of the caller's input
// or of the use made of porosa, told by kind and text. The core knows no
// Python, so it names only the kind; the boundary carries the value up
// unchanged (as a PyError) and the entry guard raises the Python exception of
// that kind, with the text exactly as given.
#pragma once
#include <cstddef>
#include <string>
#include <utility>

#include "core/expected.hpp"

namespace porosa {

// ValueError, TypeError, RuntimeError and SystemError, in that order; then
// the failures of the caller's input that porosa's contract reports as
// internal ones (PanicException): "Sample is nan", data without rows or
// columns, a blob count whose lists cannot exist.
enum class ErrorKind { Value, Type, Runtime, System, Internal };

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Outcome = Expected<T, Error>;

// The text of every index out of range, a refusal's or a Panic's.
std::string out_of_bounds(std::size_t index, std::size_t len);

// A failure of `kind` with `message`, as an outcome to return.
inline Unexpected<Error> refuse(ErrorKind kind, std::string message) {
    return Unexpected<Error>{Error{kind, std::move(message)}};
}

}  // namespace porosa
