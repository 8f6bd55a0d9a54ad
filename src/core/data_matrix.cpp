#include "core/data_matrix.hpp"

#include <limits>
#include <string>

namespace porosa {

Outcome<std::size_t> cell_count(std::size_t rows, std::size_t cols) {
    constexpr std::size_t kMaxCells = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double);
    if (cols != 0 && rows > kMaxCells / cols)
        return refuse(ErrorKind::Internal, "matrix of " + std::to_string(rows) + " x " + std::to_string(cols) +
                                               " cells exceeds the addressable size");
    return rows * cols;
}

std::size_t checked_cells(std::size_t rows, std::size_t cols) {
    Outcome<std::size_t> cells = cell_count(rows, cols);
    if (!cells) panic(std::move(cells).error().message);
    return *cells;
}

DataMatrix::DataMatrix(std::size_t rows, std::size_t cols, std::vector<double> data)
    : rows_(rows), cols_(cols), data_(std::move(data)) {
    if (data_.size() != checked_cells(rows, cols)) panic("matrix buffer does not match its shape");
}

}  // namespace porosa
