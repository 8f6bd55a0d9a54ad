#include "core/panic.hpp"

namespace porosa {

void panic(std::string message) { throw Panic(std::move(message)); }

void panic_index(std::size_t index, std::size_t len) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
          std::to_string(index));
}

}  // namespace porosa
