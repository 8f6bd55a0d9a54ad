// The one exception type for internal failures: a broken invariant, an index out
// of range, an impossible step. The entry guard turns it into PanicException.
// What the caller's input causes is an error value instead (core/error.hpp),
// even where the contract reports it as PanicException too.
#pragma once
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace porosa {

class Panic : public std::runtime_error {
public:
    explicit Panic(std::string message)
        : std::runtime_error(message), message_(std::make_shared<const std::string>(std::move(message))) {}
    // The whole text: what() stops at the first NUL, and a message may quote a
    // caller's text that holds one. Shared, so copying a Panic cannot throw.
    const std::string& message() const noexcept { return *message_; }

private:
    std::shared_ptr<const std::string> message_;
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
