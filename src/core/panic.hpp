// The one exception type for internal failures: a broken invariant, an index out
// of range, an impossible step. The entry guard turns it into PanicException.
#pragma once
#include <cstddef>
#include <stdexcept>
#include <string>

namespace porosa {

class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void panic(std::string message);

// The text every out-of-range index reports.
[[noreturn]] void panic_index(std::size_t index, std::size_t len);

// Bounds-checked element access for the places where an index comes from data.
template <class Seq>
decltype(auto) at(Seq& seq, std::size_t index) {
    if (index >= seq.size()) panic_index(index, seq.size());
    return seq[index];
}

}  // namespace porosa
