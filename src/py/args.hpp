// Conversion of constructor and call arguments. A failed conversion keeps the
// conversion's own exception and gains the note "while processing 'name'".
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "py/error.hpp"

namespace porosa::py {

Result<double> to_double(PyObject* o, const char* name);
Result<std::string> to_text(PyObject* o, const char* name);
Result<std::uint64_t> to_u64(PyObject* o, const char* name);
Result<std::size_t> to_usize(PyObject* o, const char* name);
// A tuple of exactly two numbers.
Result<std::pair<double, double>> to_pair(PyObject* o, const char* name);

// None (or an omitted argument) is absent; anything else goes through `convert`.
template <class T>
Result<std::optional<T>> optional_arg(PyObject* o, const char* name, Result<T> (*convert)(PyObject*, const char*)) {
    if (!o || o == Py_None) return std::optional<T>{};
    ASSIGN_OR_RETURN(T value, convert(o, name));
    return std::optional<T>{std::move(value)};
}

}  // namespace porosa::py
