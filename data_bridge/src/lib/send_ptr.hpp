// The handle through which column tasks write their cells into the zero-filled
// buffer that becomes the matrix; each cell is written by exactly one task.
// It allows only that one plain write per cell, where the generation core's
// SendPtr (utils/send_ptr.hpp) stores atomically, so that tasks may overlap.
#pragma once
#include <cstddef>
#include <memory>

namespace porosa::bridge {

class SendPtr {
public:
    explicit SendPtr(double* base) noexcept : base_(base) {}
    void write(std::size_t index, double value) const noexcept { base_[index] = value; }

private:
    double* base_;
};

using SharedSendPtr = std::shared_ptr<const SendPtr>;

}  // namespace porosa::bridge
