// The handle through which workers write NaN into the matrix. Shared among the
// tasks of one step through an atomically counted holder; it never outlives it.
// It allows two tasks to write the same cell (each store is atomic), where the
// data bridge's SendPtr (lib/send_ptr.hpp) allows one plain write per cell.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace porosa {

class SendPtr {
public:
    explicit SendPtr(double* base) noexcept : base_(base) {}
    // One relaxed 64-bit store, so two tasks writing the same cell are well-defined.
    void store(std::size_t index, double value) const noexcept {
        std::atomic_ref<double>(base_[index]).store(value, std::memory_order_relaxed);
    }

private:
    double* base_;
};

using SharedSendPtr = std::shared_ptr<const SendPtr>;

}  // namespace porosa
