// The two handles through which the tasks of one parallel step write into a
// buffer of doubles, one per meaning. Each is shared among the step's tasks
// through an atomically counted holder and never outlives the step.
#pragma once
#include <atomic>
#include <cstddef>
#include <memory>

namespace porosa {

// For cells that two tasks may write alike (the NaN of a removal): every store
// is one relaxed 64-bit atomic store, so overlapping writes are well-defined.
class AtomicSendPtr {
public:
    explicit AtomicSendPtr(double* base) noexcept : base_(base) {}
    void store(std::size_t index, double value) const noexcept {
        std::atomic_ref<double>(base_[index]).store(value, std::memory_order_relaxed);
    }

private:
    double* base_;
};

// For a buffer in which each cell is written by exactly one task (the columns
// read into the matrix): a plain write, as no other task touches the cell.
class PlainSendPtr {
public:
    explicit PlainSendPtr(double* base) noexcept : base_(base) {}
    void write(std::size_t index, double value) const noexcept { base_[index] = value; }

private:
    double* base_;
};

using SharedAtomicSendPtr = std::shared_ptr<const AtomicSendPtr>;
using SharedPlainSendPtr = std::shared_ptr<const PlainSendPtr>;

}  // namespace porosa
