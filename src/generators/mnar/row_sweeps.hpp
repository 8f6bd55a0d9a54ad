// What the sweeps of the value passes share: the row ranges of a parallel
// sweep, and which cells count.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/float_bits.hpp"
#include "generators/common/generator.hpp"

namespace porosa::mnar_detail {

// Consecutive row ranges, one parallel piece each.
struct RowChunks {
    std::size_t rows, count;
    RowChunks(std::size_t rows_, std::size_t threads, std::size_t min_rows) : rows(rows_) {
        count = std::min(threads * 2, std::max<std::size_t>(1, rows / std::max<std::size_t>(1, min_rows)));
        // Histogram counts are 32-bit.
        count = std::max(count, (rows >> 31) + 1);
    }
    std::size_t begin(std::size_t i) const noexcept { return rows / count * i + std::min(i, rows % count); }
    std::size_t end(std::size_t i) const noexcept { return begin(i + 1); }
};

inline bool is_candidate(double x, std::size_t protected_col, std::size_t col) noexcept {
    return !std::isnan(x) && protected_col != col;
}

}  // namespace porosa::mnar_detail
