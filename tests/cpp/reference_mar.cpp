// The plain forms the fast predictor search is checked against: the whole
// matrix of correlations tile by tile, and the best predictor read off it.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "generators/mar/correlation_stats.hpp"
#include "reference.hpp"

namespace porosa::mar {

namespace {

// Columns per block. A tile pairs two blocks; its accumulators (kBlock^2
// doubles) stay in L1 while the rows stream past.
constexpr std::size_t kBlock = 32;

}  // namespace

// The definition itself, one pair at a time, for pairs with gaps: the shift is
// each column's value in the first row where both hold one, and every sum runs
// over those rows in row order.
static double pairwise_complete(const DataMatrix& data, std::size_t a, std::size_t b) {
    std::size_t n = 0;
    double shift_a = 0.0, shift_b = 0.0, sum_a = 0.0, sum_b = 0.0;
    for (std::size_t r = 0; r < data.rows(); ++r) {
        const double xa = data(r, a), xb = data(r, b);
        if (std::isnan(xa) || std::isnan(xb)) continue;
        if (n++ == 0) shift_a = xa, shift_b = xb;
        sum_a += xa - shift_a;
        sum_b += xb - shift_b;
    }
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    const double mean_a = sum_a / static_cast<double>(n), mean_b = sum_b / static_cast<double>(n);
    double ss_a = 0.0, ss_b = 0.0, sp = 0.0;
    for (std::size_t r = 0; r < data.rows(); ++r) {
        const double xa = data(r, a), xb = data(r, b);
        if (std::isnan(xa) || std::isnan(xb)) continue;
        const double da = (xa - shift_a) - mean_a, db = (xb - shift_b) - mean_b;
        ss_a += da * da;
        ss_b += db * db;
        sp += da * db;
    }
    return sp / (std::sqrt(ss_a) * std::sqrt(ss_b));
}

// Taking the two square roots separately keeps the denominator from
// overflowing where their product would not.
//
// The matrix is row-major, so instead of one dot product per column pair the
// work runs tile by tile: a tile pairs a block of columns I with a block J and
// adds, row after row, the outer product of the centred row segments into its
// accumulators. Each accumulator is still a plain sum over the rows in row
// order, so a tile's result does not depend on which worker takes it, and the
// inner loop runs over contiguous memory.
std::vector<double> pearson_correlation(const DataMatrix& data, Pool& pool) {
    const std::size_t rows = data.rows(), cols = data.cols();
    if (rows == 0 || cols == 0) panic("Failed to calculate pearson_correlation: EmptyInput");

    const ColumnStats s = column_stats(data, pool);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double* x = data.data();
    std::vector<double> corr(cols * cols);

    const std::size_t blocks = (cols + kBlock - 1) / kBlock;
    std::vector<std::pair<std::size_t, std::size_t>> tiles;
    tiles.reserve(blocks * (blocks + 1) / 2);
    for (std::size_t bi = 0; bi < blocks; ++bi)
        for (std::size_t bj = bi; bj < blocks; ++bj) tiles.emplace_back(bi, bj);

    pool.run(tiles.size(), [&](std::size_t t) {
        const std::size_t i0 = tiles[t].first * kBlock, wi = std::min(kBlock, cols - i0);
        const std::size_t j0 = tiles[t].second * kBlock, wj = std::min(kBlock, cols - j0);
        // Lanes past the edge of a partial block stay zero and are never read back.
        double acc[kBlock][kBlock] = {};
        double di[kBlock] = {}, dj[kBlock] = {};
        for (std::size_t r = 0; r < rows; ++r) {
            if ((r & 1023) == 0) interrupt_point(1024 * kBlock * kBlock);
            const double* row = x + r * cols;
            for (std::size_t i = 0; i < wi; ++i) di[i] = (row[i0 + i] - s.shift[i0 + i]) - s.mean[i0 + i];
            for (std::size_t j = 0; j < wj; ++j) dj[j] = (row[j0 + j] - s.shift[j0 + j]) - s.mean[j0 + j];
            for (std::size_t i = 0; i < kBlock; ++i) {
                const double a = di[i];
                for (std::size_t j = 0; j < kBlock; ++j) acc[i][j] += a * dj[j];
            }
        }
        for (std::size_t i = 0; i < wi; ++i) {
            const std::size_t ci = i0 + i;
            for (std::size_t j = 0; j < wj; ++j) {
                const std::size_t cj = j0 + j;
                double v = (s.bad[ci] || s.bad[cj]) ? nan : acc[i][j] / (s.spread[ci] * s.spread[cj]);
                if (ci == cj && !std::isnan(v)) v = 1.0;
                corr[ci * cols + cj] = v;
                corr[cj * cols + ci] = v;
            }
        }
    });
    // The tiles left NaN wherever a column holds a NaN; those pairs are
    // recomputed over their common rows.
    pool.run(cols, [&](std::size_t a) {
        for (std::size_t b = 0; b < cols; ++b) {
            if (!s.has_gaps(a) && !s.has_gaps(b)) continue;
            double v = pairwise_complete(data, a, b);
            if (a == b && !std::isnan(v)) v = 1.0;
            corr[a * cols + b] = v;
        }
    });
    return corr;
}

std::vector<Predictor> choose_predictors(std::span<const std::size_t> missing, std::span<const std::size_t> observed,
                                         std::span<const double> corr, std::size_t cols) {
    // A predictor must keep its values, so without any positive correlation a
    // missing column still gets an observed one; column 0 only when none is.
    const Predictor fallback{0.0, observed.empty() ? std::size_t{0} : observed.front()};
    std::vector<Predictor> records(missing.size(), fallback);
    for (std::size_t k = 0; k < missing.size(); ++k) {
        Predictor& best = records[k];
        const double* row = corr.data() + missing[k] * cols;
        for (std::size_t o : observed) {
            // A NaN never compares greater, so it is never taken.
            const double a = std::abs(row[o]);
            if (a > best.abs_corr) best = {a, o};
        }
    }
    return records;
}

}  // namespace porosa::mar
