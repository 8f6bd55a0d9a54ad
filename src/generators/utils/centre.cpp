// Only a few order statistics of the sorted column are read (the centre, its
// lower neighbour, the two ends), so they are selected rather than sorted out.
// Values equal in the total order are bit-identical, so selection gives exactly
// the values a full sort would.
#include "generators/utils/centre.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "core/float_bits.hpp"
#include "core/panic.hpp"
#include "generators/common/generator.hpp"

namespace porosa {

// The keys at ranks i - 1 and i of `keys` (below is rank i - 1 only when asked
// for, which needs i >= 1). A histogram of the top 11 bits in which the
// remaining keys differ finds the bucket holding the ranks, and only that
// bucket is kept for the next round: each round streams over what is left
// instead of partitioning it, which on a tall column costs a few passes over
// memory rather than many over a cache that it does not fit in. Keeps the
// order of nothing; shrinks `keys`.
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

CentreRanks centre_ranks(std::size_t n, double mean) {
    std::size_t i = saturating_count(std::floor(double(n) * mean));
    // A position past the end would have no centre; it is pinned to the top of
    // the column instead, so a quantile position of 1 or more means the maximum.
    if (n % 2 == 1) return {true, false, std::min(i, n - 1)};
    if (i == 0 || i >= n) return {false, false, i};
    return {true, true, i};
}

Gauss gauss_of(CentreRanks q, Ranked r, std::uint64_t min, std::uint64_t max, double variance) {
    const double first = from_order_key(min), last = from_order_key(max);
    double v;
    if (!q.select) v = q.i == 0 ? first : (last + last) * 0.5;
    else if (!q.pair) v = from_order_key(r.at);
    else v = (from_order_key(r.below) + from_order_key(r.at)) * 0.5;
    // A zero spread factor means no spread at all, even over an infinite range
    // (where the product would be NaN).
    const double w = variance == 0.0 ? variance : variance * (last - first);
    return Gauss{v, w};
}

Gauss no_values() { return Gauss{missing_nan(), missing_nan()}; }

Gauss transform_keys(std::span<std::uint64_t> keys, std::size_t rows, double mean, double variance) {
    if (rows == 0) panic_index(0, 0);
    if (keys.empty()) return no_values();
    const auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
    const std::uint64_t min = *lo, max = *hi;  // before the selection reorders the keys
    const CentreRanks q = centre_ranks(keys.size(), mean);
    const Ranked r = q.select ? select_ranks(keys, min, max, q.i, q.pair) : Ranked{0, 0};
    return gauss_of(q, r, min, max, variance);
}

}  // namespace porosa
