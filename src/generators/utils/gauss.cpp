#include "generators/utils/gauss.hpp"

#include <algorithm>
#include <cmath>

#include "core/float_bits.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"

namespace porosa {

// Only a few order statistics of the sorted column are read (the centre, its
// lower neighbour, the two ends), so they are selected rather than sorted out.
// Values equal in the total order are bit-identical, so selection gives exactly
// the values a full sort would. `keys` holds the total-order keys of the
// column's observed cells; `rows` counts its cells, missing ones included.
static Gauss transform_keys(std::vector<std::int64_t>& keys, std::size_t rows, double mean, double variance) {
    if (rows == 0) panic_index(0, 0);
    const std::size_t n = keys.size();
    // Nothing observed: no centre and no spread. A reference drawn from this
    // is NaN, which matters only while the column still has a cell to lose,
    // and it has none.
    if (n == 0) return Gauss{missing_nan(), missing_nan()};
    const double p = std::floor(double(n) * mean);

    auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
    const double first = from_total_key(*lo), last = from_total_key(*hi);

    std::size_t i = saturating_count(p);
    // A position past the end would have no centre; it is pinned to the top of
    // the column instead, so a quantile position of 1 or more means the maximum.
    double v;
    if (n % 2 == 1) {
        i = std::min(i, n - 1);
        std::nth_element(keys.begin(), keys.begin() + i, keys.end());
        v = from_total_key(keys[i]);
    } else if (i == 0) {
        v = first;
    } else if (i >= n) {
        v = (last + last) * 0.5;
    } else {
        std::nth_element(keys.begin(), keys.begin() + i, keys.end());
        double below = from_total_key(*std::max_element(keys.begin(), keys.begin() + i));
        v = (below + from_total_key(keys[i])) * 0.5;
    }
    // A zero spread factor means no spread at all, even over an infinite range
    // (where the product would be NaN).
    const double w = variance == 0.0 ? variance : variance * (last - first);
    return Gauss{v, w};
}

Gauss transform(std::vector<double> column, double mean, double variance) {
    std::vector<std::int64_t> keys;
    keys.reserve(column.size());
    for (double x : column)
        if (!std::isnan(x)) keys.push_back(total_key(x));
    return transform_keys(keys, column.size(), mean, variance);
}

std::vector<Gauss> get_distribution(double mean, double variance, const DataMatrix& data) {
    const std::size_t rows = data.rows(), cols = data.cols();
    // A task gathers a group of neighbouring columns in one sweep of the rows,
    // so a cache line of the row-major matrix is fetched once per group rather
    // than once per column; a few groups per thread keep the copies small.
    constexpr std::size_t kGroup = 4;
    const std::size_t groups = (cols + kGroup - 1) / kGroup;
    std::vector<Gauss> out(cols);
    Pool::global().run_chunks(groups, 1, [&](std::size_t g, std::size_t) {
        const std::size_t c0 = g * kGroup, width = std::min(kGroup, cols - c0);
        std::vector<std::vector<std::int64_t>> keys(width, std::vector<std::int64_t>(rows));
        std::size_t observed[kGroup] = {};
        const double* cell = data.data() + c0;
        for (std::size_t r = 0; r < rows; ++r, cell += cols) {
            if ((r & 1023) == 0) interrupt_point(1024 * width);
            for (std::size_t k = 0; k < width; ++k) {
                // Written either way, kept only when observed: no branch on the data.
                keys[k][observed[k]] = total_key(cell[k]);
                observed[k] += !std::isnan(cell[k]);
            }
        }
        for (std::size_t k = 0; k < width; ++k) {
            keys[k].resize(observed[k]);
            out[c0 + k] = transform_keys(keys[k], rows, mean, variance);
            std::vector<std::int64_t>().swap(keys[k]);
        }
    });
    return out;
}

std::vector<double> get_samples(std::span<const std::size_t> columns, const std::vector<Gauss>& dists, Rng& rng) {
    std::vector<double> out;
    out.reserve(columns.size());
    for (std::size_t c : columns) out.push_back(at(dists, c).sample(rng));
    return out;
}

}  // namespace porosa
