// The matrix every stage works on: doubles, row-major, NaN for a missing cell.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/error.hpp"
#include "core/panic.hpp"

namespace porosa {

// The one NaN the program writes: positive, quiet, 0x7FF8000000000000. Its sign
// matters because the total order puts negative NaN first and positive NaN last.
inline constexpr std::uint64_t kNanBits = 0x7FF8000000000000ULL;
inline double missing_nan() {
    double d;
    std::memcpy(&d, &kNanBits, sizeof d);
    return d;
}

// rows * cols, or the refusal of a shape whose buffer could not be addressed
// (a caller's object may claim any shape).
Outcome<std::size_t> cell_count(std::size_t rows, std::size_t cols);
// The same where the shape is known to fit: a Panic otherwise.
std::size_t checked_cells(std::size_t rows, std::size_t cols);

class DataMatrix {
public:
    DataMatrix() = default;
    // Zero-filled.
    DataMatrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(checked_cells(rows, cols)) {}
    DataMatrix(std::size_t rows, std::size_t cols, std::vector<double> data);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return data_.size(); }

    double operator()(std::size_t r, std::size_t c) const noexcept { return data_[r * cols_ + c]; }
    double& operator()(std::size_t r, std::size_t c) noexcept { return data_[r * cols_ + c]; }

    double* data() noexcept { return data_.data(); }
    const double* data() const noexcept { return data_.data(); }
    std::vector<double>& storage() noexcept { return data_; }
    const std::vector<double>& storage() const noexcept { return data_; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

}  // namespace porosa
