#include "core/panic.hpp"

#include "core/error.hpp"

namespace porosa {

std::string out_of_bounds(std::size_t index, std::size_t len) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

void panic(std::string message) { throw Panic(std::move(message)); }

void panic_index(std::size_t index, std::size_t len) {
    panic(out_of_bounds(index, len));
}

}  // namespace porosa
