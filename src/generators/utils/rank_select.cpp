#include "generators/utils/rank_select.hpp"

#include <algorithm>
#include <bit>
#include <vector>

namespace porosa {

// A histogram of the top 11 bits in which the remaining keys differ finds the
// bucket holding the ranks, and only that bucket is kept for the next round:
// each round streams over what is left instead of partitioning it, which on a
// tall column costs a few passes over memory rather than many over a cache
// that it does not fit in.
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
        const RankBucket at = find_rank<std::size_t>(count, i, want_below);
        if (at.split) {
            Ranked ends = kNoEnds;
            for (std::size_t j = 0; j < n; ++j) take_split_end(ends, at, digit(keys[j]), keys[j]);
            return ends;
        }
        std::size_t kept = 0;
        min = ~std::uint64_t{0}, max = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint64_t k = keys[j];
            if (digit(k) != at.bucket) continue;
            keys[kept++] = k;
            min = std::min(min, k), max = std::max(max, k);
        }
        n = kept;
        i -= at.under;
    }
}

}  // namespace porosa
