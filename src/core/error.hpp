// The one value by which a failure travels up: a refusal of the caller's input
// or of the use made of porosa, told by kind and text. The core knows no
// Python, so it names only the kind; the boundary carries the value up
// unchanged (as a PyError) and the entry guard raises the Python exception of
// that kind, with the text exactly as given.
#pragma once
#include <string>
#include <utility>

#include "core/expected.hpp"

namespace porosa {

// ValueError, TypeError, RuntimeError and SystemError, in that order.
enum class ErrorKind { Value, Type, Runtime, System };

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Outcome = Expected<T, Error>;

// A failure of `kind` with `message`, as an outcome to return.
inline Unexpected<Error> refuse(ErrorKind kind, std::string message) {
    return Unexpected<Error>{Error{kind, std::move(message)}};
}

}  // namespace porosa
