// Only a few order statistics of the sorted column are read (the centre, its
// lower neighbour, the two ends), so they are selected rather than sorted out.
// Values equal in the total order are bit-identical, so selection gives exactly
// the values a full sort would.
#include "generators/utils/centre.hpp"

#include <algorithm>
#include <cmath>

#include "core/data_matrix.hpp"
#include "core/float_bits.hpp"
#include "core/panic.hpp"

namespace porosa {

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
