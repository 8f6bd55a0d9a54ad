#include "generators/mar/correlation_stats.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "core/row_sweep.hpp"

namespace porosa::mar {

namespace {

// Columns whose sums one task takes over the rows together.
constexpr std::size_t kBlock = 32;

}  // namespace

// Whether each bad column of the w from c0 holds a NaN, and whether it holds
// fewer than two values. Only a bad column can hold a NaN, so complete data
// costs nothing here, and the scan stops once every bad column is settled,
// usually within its first rows.
static void find_gaps(const DataMatrix& data, std::size_t c0, std::size_t w, const bool* bad, bool* gaps,
                      bool* lone) {
    std::size_t values[kBlock] = {}, open = 0;
    bool settled[kBlock];
    for (std::size_t c = 0; c < w; ++c) {
        settled[c] = !bad[c];
        open += bad[c];
    }
    for_row_blocks(0, open > 0 ? data.rows() : 0, w, [&](std::size_t r0, std::size_t r1) {
        for (std::size_t r = r0; r < r1 && open > 0; ++r) {
            for (std::size_t c = 0; c < w; ++c) {
                if (settled[c]) continue;
                const double x = data(r, c0 + c);
                if (std::isnan(x)) gaps[c] = true;
                else ++values[c];
                if (gaps[c] && values[c] >= 2) settled[c] = true, --open;
            }
        }
        return open > 0;
    });
    for (std::size_t c = 0; c < w; ++c) lone[c] = values[c] < 2 && bad[c];
}

// Subtracting the first value before anything else makes a constant column
// exactly zero everywhere, hence exactly zero spread, instead of a rounding
// residue that would give it a meaningless correlation.
ColumnStats column_stats(const DataMatrix& data, Pool& pool) {
    const std::size_t rows = data.rows(), cols = data.cols();
    const double* x = data.data();
    ColumnStats s{std::vector<double>(x, x + cols), std::vector<double>(cols), std::vector<double>(cols),
                  std::vector<char>(cols), std::vector<char>(cols), std::vector<char>(cols), std::vector<char>(cols)};
    const std::size_t blocks = (cols + kBlock - 1) / kBlock;
    pool.run(blocks, [&](std::size_t b) {
        const std::size_t c0 = b * kBlock, w = std::min(kBlock, cols - c0);
        const double* shift = s.shift.data() + c0;
        double sum[kBlock] = {};
        bool bad[kBlock] = {}, moved[kBlock] = {};
        for_row_blocks(0, rows, w, [&](std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                const double* row = x + r * cols + c0;
                for (std::size_t c = 0; c < w; ++c) {
                    bad[c] |= !std::isfinite(row[c]);
                    moved[c] |= row[c] != shift[c];
                    sum[c] += row[c] - shift[c];
                }
            }
        });
        bool gaps[kBlock] = {}, lone[kBlock] = {};
        find_gaps(data, c0, w, bad, gaps, lone);
        double mean[kBlock] = {};
        for (std::size_t c = 0; c < w; ++c) mean[c] = sum[c] / static_cast<double>(rows);
        // The spread of a bad column is never used: a block of them skips the pass.
        double ss[kBlock] = {};
        const bool all_bad = std::find(bad, bad + w, false) == bad + w;
        for_row_blocks(0, all_bad ? 0 : rows, w, [&](std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                const double* row = x + r * cols + c0;
                for (std::size_t c = 0; c < w; ++c) {
                    double d = (row[c] - shift[c]) - mean[c];
                    ss[c] += d * d;
                }
            }
        });
        for (std::size_t c = 0; c < w; ++c) {
            s.mean[c0 + c] = mean[c];
            s.spread[c0 + c] = bad[c] ? std::numeric_limits<double>::quiet_NaN() : std::sqrt(ss[c]);
            s.bad[c0 + c] = bad[c];
            s.flat[c0 + c] = !moved[c];
            s.gaps[c0 + c] = gaps[c];
            s.lone[c0 + c] = lone[c];
        }
    });
    return s;
}

}  // namespace porosa::mar
