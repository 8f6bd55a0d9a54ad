// BLOCK: rectangles drawn at random until enough cells have gone.
#include <algorithm>
#include <cmath>

#include "core/panic.hpp"
#include "generators/mnar/mnar_detail.hpp"

namespace porosa::mnar_detail {
namespace {

void check_protected(std::span<const std::size_t> protected_cols, std::size_t rows) {
    if (protected_cols.size() < rows) panic_index(rows - 1, protected_cols.size());
}

// Cells that are neither protected nor NaN: what is still there to take.
std::size_t count_available(const DataMatrix& matrix, std::span<const std::size_t> protected_cols) {
    const std::size_t cols = matrix.cols();
    std::size_t n = 0;
    for (std::size_t r = 0; r < matrix.rows(); ++r) {
        const double* row = matrix.data() + r * cols;
        for (std::size_t c = 0; c < cols; ++c) n += !std::isnan(row[c]) && protected_cols[r] != c;
    }
    return n;
}

// Whether the rectangle may go: no protected cell and no NaN cell in it. The
// protected test comes first because it is one comparison when, as in BLOCK,
// every row protects the same column.
bool block_is_free(const DataMatrix& matrix, std::span<const std::size_t> protected_cols, bool shared_column,
                   std::size_t r0, std::size_t c0, std::size_t h, std::size_t w) {
    auto inside = [&](std::size_t c) { return c >= c0 && c - c0 < w; };
    if (shared_column) {
        if (inside(protected_cols[r0])) return false;
    } else {
        for (std::size_t r = r0; r < r0 + h; ++r) {
            if (inside(protected_cols[r])) return false;
        }
    }
    const std::size_t cols = matrix.cols();
    for (std::size_t r = r0; r < r0 + h; ++r) {
        const double* row = matrix.data() + r * cols + c0;
        for (std::size_t i = 0; i < w; ++i) {
            if (std::isnan(row[i])) return false;
        }
    }
    return true;
}

}  // namespace

void drop_blocks(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                 std::pair<double, double> block_size, std::size_t target) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    check_protected(protected_cols, rows);
    const bool shared_column =
        std::adjacent_find(protected_cols.begin(), protected_cols.begin() + rows, std::not_equal_to<>()) ==
        protected_cols.begin() + rows;

    // Every rectangle takes only cells counted here, so the count falls by its
    // area; at zero no rectangle can ever be accepted again.
    std::size_t available = count_available(matrix, protected_cols);
    std::vector<Position> positions;
    std::size_t removed = 0;
    while (removed < target) {
        if (available == 0) return;
        const std::size_t rem = target - removed;
        // Caps are unsigned on purpose: lowering a cap of 0 wraps it to "no limit".
        std::size_t width_cap = saturating_count(double(cols) * block_size.first);
        std::size_t height_cap = saturating_count(double(rows) * block_size.second) - 1;
        std::size_t c0, r0, w, h;
        for (;;) {
            c0 = rng.uniform(0, cols - 1);
            r0 = rng.uniform(0, rows - 1);
            w = rng.uniform(1, std::max<std::size_t>(1, std::min(cols - c0, width_cap)));
            h = rng.uniform(1, std::max<std::size_t>(1, std::min(rows - r0, height_cap)));
            if (w * h > rem) continue;
            if (block_is_free(matrix, protected_cols, shared_column, r0, c0, h, w)) break;
            --width_cap;
            --height_cap;
        }
        positions.clear();
        positions.reserve(w * h);
        for (std::size_t r = r0; r < r0 + h; ++r) {
            for (std::size_t c = c0; c < c0 + w; ++c) positions.emplace_back(r, c);
        }
        removed += remove(matrix, positions);
        available -= w * h;
    }
}

}  // namespace porosa::mnar_detail
