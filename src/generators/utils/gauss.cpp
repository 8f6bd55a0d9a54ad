#include "generators/utils/gauss.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

#include "core/float_bits.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"

namespace porosa {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The keys at ranks i - 1 and i of `keys` (below is rank i - 1 only when asked
// for, which needs i >= 1). A histogram of the top 11 bits in which the
// remaining keys differ finds the bucket holding the ranks, and only that
// bucket is kept for the next round: each round streams over what is left
// instead of partitioning it, which on a tall column costs a few passes over
// memory rather than many over a cache that it does not fit in. Keeps the
// order of nothing; shrinks `keys`.
struct Ranked {
    std::uint64_t below, at;
};
// `min` and `max` are the smallest and largest key.
Ranked select_ranks(std::span<std::uint64_t> keys, std::uint64_t min, std::uint64_t max, std::size_t i,
                    bool want_below) {
    constexpr unsigned kBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits, kSmall = 2048;
    std::size_t n = keys.size();
    std::vector<std::size_t> count(kBuckets);
    for (;;) {
        // Every key lies between the two ends, so it shares their common prefix.
        if (min == max) return {min, min};
        if (n <= kSmall) {
            const auto first = keys.begin(), at = first + std::ptrdiff_t(i);
            std::nth_element(first, at, first + std::ptrdiff_t(n));
            return {want_below ? *std::max_element(first, at) : 0, *at};
        }
        const unsigned top = 63 - unsigned(std::countl_zero(min ^ max));
        const unsigned shift = top + 1 > kBits ? top + 1 - kBits : 0;
        auto digit = [&](std::uint64_t k) { return std::size_t(k >> shift) & (kBuckets - 1); };
        std::fill(count.begin(), count.end(), 0);
        for (std::size_t j = 0; j < n; ++j) ++count[digit(keys[j])];
        std::size_t b = 0, under = 0;
        while (under + count[b] <= i) under += count[b++];
        if (want_below && under == i) {
            // Rank i opens its bucket, so rank i - 1 closes the last filled one
            // before it.
            std::size_t b2 = b - 1;
            while (count[b2] == 0) --b2;
            Ranked r{0, ~std::uint64_t{0}};
            for (std::size_t j = 0; j < n; ++j) {
                const std::uint64_t k = keys[j];
                if (digit(k) == b) r.at = std::min(r.at, k);
                if (digit(k) == b2) r.below = std::max(r.below, k);
            }
            return r;
        }
        std::size_t kept = 0;
        min = ~std::uint64_t{0}, max = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint64_t k = keys[j];
            if (digit(k) != b) continue;
            keys[kept++] = k;
            min = std::min(min, k), max = std::max(max, k);
        }
        n = kept;
        i -= under;
    }
}

}  // namespace

// Only a few order statistics of the sorted column are read (the centre, its
// lower neighbour, the two ends), so they are selected rather than sorted out.
// Values equal in the total order are bit-identical, so selection gives exactly
// the values a full sort would. `keys` holds the order keys of the column's
// observed cells; `rows` counts its cells, missing ones included.
static Gauss transform_keys(std::span<std::uint64_t> keys, std::size_t rows, double mean, double variance) {
    if (rows == 0) panic_index(0, 0);
    const std::size_t n = keys.size();
    // Nothing observed: no centre and no spread. A reference drawn from this
    // is NaN, which matters only while the column still has a cell to lose,
    // and it has none.
    if (n == 0) return Gauss{missing_nan(), missing_nan()};
    const double p = std::floor(double(n) * mean);

    const auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
    const std::uint64_t min = *lo, max = *hi;
    const double first = from_order_key(min), last = from_order_key(max);

    std::size_t i = saturating_count(p);
    // A position past the end would have no centre; it is pinned to the top of
    // the column instead, so a quantile position of 1 or more means the maximum.
    double v;
    if (n % 2 == 1) {
        i = std::min(i, n - 1);
        v = from_order_key(select_ranks(keys, min, max, i, false).at);
    } else if (i == 0) {
        v = first;
    } else if (i >= n) {
        v = (last + last) * 0.5;
    } else {
        const Ranked r = select_ranks(keys, min, max, i, true);
        v = (from_order_key(r.below) + from_order_key(r.at)) * 0.5;
    }
    // A zero spread factor means no spread at all, even over an infinite range
    // (where the product would be NaN).
    const double w = variance == 0.0 ? variance : variance * (last - first);
    return Gauss{v, w};
}

Gauss transform(std::vector<double> column, double mean, double variance) {
    std::vector<std::uint64_t> keys;
    keys.reserve(column.size());
    for (double x : column)
        if (!std::isnan(x)) keys.push_back(order_key(x));
    return transform_keys(keys, column.size(), mean, variance);
}

std::vector<Gauss> get_distribution(double mean, double variance, const DataMatrix& data) {
    const std::size_t rows = data.rows(), cols = data.cols();
    Pool& pool = Pool::global();
    std::vector<Gauss> out(cols);
    // A round of columns at a time, a few per thread: each row chunk is read
    // once for the whole round, and the round's buffers are reused, so the
    // memory for the copies is asked of the system once.
    const std::size_t round = std::min(cols, 4 * pool.threads());
    const std::size_t chunks = std::max<std::size_t>(1, std::min(rows / 4096, 4 * pool.threads()));
    std::unique_ptr<std::uint64_t[]> buffer(new std::uint64_t[round * rows]);
    for (std::size_t c0 = 0; c0 < cols; c0 += round) {
        const std::size_t width = std::min(round, cols - c0);
        pool.run_chunks(chunks, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t ch = b; ch < e; ++ch) {
                const std::size_t r0 = rows * ch / chunks, r1 = rows * (ch + 1) / chunks;
                const double* cell = data.data() + r0 * cols + c0;
                for (std::size_t r = r0; r < r1; ++r, cell += cols) {
                    if ((r & 1023) == 0) interrupt_point(1024 * width);
                    for (std::size_t k = 0; k < width; ++k) buffer[k * rows + r] = order_key(cell[k]);
                }
            }
        });
        pool.run_chunks(width, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t k = b; k < e; ++k) {
                // The observed cells to the front: the keys of numbers lie
                // between those of the two infinities, NaN keys outside.
                std::uint64_t* keys = buffer.get() + k * rows;
                const std::uint64_t lowest = order_key(-kInfinity), span = order_key(kInfinity) - lowest;
                std::size_t observed = 0;
                for (std::size_t r = 0; r < rows; ++r) {
                    keys[observed] = keys[r];
                    observed += keys[r] - lowest <= span;
                }
                out[c0 + k] = transform_keys({keys, observed}, rows, mean, variance);
            }
        });
    }
    return out;
}

std::vector<double> get_samples(std::span<const std::size_t> columns, const std::vector<Gauss>& dists, Rng& rng) {
    std::vector<double> out;
    out.reserve(columns.size());
    for (std::size_t c : columns) out.push_back(at(dists, c).sample(rng));
    return out;
}

}  // namespace porosa
