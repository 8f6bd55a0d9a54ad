// What the sweeps of the value passes share: the key a column's cells leave
// by, the row ranges of a parallel sweep, and which cells count.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/float_bits.hpp"
#include "generators/common/generator.hpp"

namespace porosa::mnar_detail {

// The key under which a column's cells leave in ascending (key, row) order.
// MIN complements the key, so that the largest value goes first while equal
// values still go in ascending row order.
template <Order O>
inline std::uint64_t ordered_key(double x, double centre) noexcept {
    if constexpr (O == Order::ascending) {
        return order_key(x);
    } else if constexpr (O == Order::descending) {
        return ~order_key(x);
    } else {
        // Computed exactly as cmp_nearest does.
        const double d = x - centre;
        return order_key(d * d);
    }
}

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
