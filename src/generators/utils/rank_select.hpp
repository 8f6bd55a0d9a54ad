// Exact selection of order statistics by histograms of the keys' top bits,
// shared by the centre of a column, the distribution list and the fixed
// selections of the value passes. Keys are 64-bit order keys: comparing them
// as unsigned integers is the order the statistics are taken in.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace porosa {

// The keys at two neighbouring ranks: i - 1 (when asked for) and i.
struct Ranked {
    std::uint64_t below, at;
};

// Nothing seen yet: any key lowers `at` and raises `below`.
inline constexpr Ranked kNoEnds{0, ~std::uint64_t{0}};

// Where rank i (from 0) falls in a histogram of keys by bucket.
struct RankBucket {
    std::size_t bucket;        // holds rank i; the histogram's size when no bucket does
    std::size_t under;         // keys in the buckets before it
    std::size_t below_bucket;  // with `split`, the bucket holding rank i - 1; else the histogram's size
    // Rank i - 1 was asked for and rank i opens its bucket, so rank i - 1
    // closes the last filled bucket before it: the two ranks are that bucket's
    // largest key and this one's smallest, and no bucket needs searching.
    bool split;
};

template <class Count>
RankBucket find_rank(std::span<const Count> hist, std::size_t i, bool want_below) noexcept {
    const std::size_t n = hist.size();
    RankBucket at{0, 0, n, false};
    while (at.bucket < n && at.under + hist[at.bucket] <= i) at.under += hist[at.bucket++];
    // Asked for with i >= 1, so some bucket before this one is filled.
    at.split = want_below && at.bucket < n && at.under == i;
    if (at.split) {
        at.below_bucket = at.bucket - 1;
        while (hist[at.below_bucket] == 0) --at.below_bucket;
    }
    return at;
}

// Folds key k of bucket d into the two ends a split needs.
inline void take_split_end(Ranked& ends, const RankBucket& at, std::size_t d, std::uint64_t k) noexcept {
    if (d == at.bucket) ends.at = std::min(ends.at, k);
    else if (d == at.below_bucket) ends.below = std::max(ends.below, k);
}
inline void merge_split_ends(Ranked& ends, Ranked more) noexcept {
    ends.at = std::min(ends.at, more.at), ends.below = std::max(ends.below, more.below);
}

// The keys at ranks i - 1 (only when `want_below`, which needs i >= 1) and i
// of `keys`, whose smallest and largest are `min` and `max`. Reorders the keys.
Ranked select_ranks(std::span<std::uint64_t> keys, std::uint64_t min, std::uint64_t max, std::size_t i,
                    bool want_below);

}  // namespace porosa
