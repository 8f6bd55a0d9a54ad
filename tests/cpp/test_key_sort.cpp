// The radix sort of (key, row) against a plain comparison sort.
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "core/float_bits.hpp"
#include "generators/common/key_sort.hpp"
#include "generators/common/rng.hpp"
#include "harness.hpp"

using namespace porosa;

TEST(key_sort, matches_a_comparison_sort) {
    Rng rng = rng_from_u64(11);
    // Keys spread over signs and binades (many top-digit buckets, some large,
    // some tiny), confined to one binade (a single bucket), arbitrary words,
    // and few distinct values (long runs of ties).
    const std::vector<std::function<std::uint64_t()>> kinds = {
        [&] { return order_key((rng.uniform_float() - 0.5) * std::ldexp(1.0, int(rng.index_below(40)) - 20)); },
        [&] { return order_key(1.0 + rng.uniform_float()); },
        [&] { return rng.next_u64(); },
        [&] { return order_key(double(rng.index_below(7)) - 3.0); },
    };
    for (const auto& kind : kinds)
        for (std::size_t n : {300u, 5000u, 200000u}) {
            std::vector<std::uint64_t> keys(n);
            std::vector<std::uint32_t> rows(n);
            std::vector<std::pair<std::uint64_t, std::uint32_t>> want(n);
            for (std::size_t i = 0; i < n; ++i) {
                keys[i] = kind(), rows[i] = std::uint32_t(3 * i);
                want[i] = {keys[i], rows[i]};
            }
            std::sort(want.begin(), want.end());
            std::vector<std::uint64_t> key_buffer(7, 1);
            std::vector<std::uint32_t> row_buffer;
            sort_by_key(keys, rows, key_buffer, row_buffer);
            ASSERT_EQ(keys.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(keys[i], want[i].first);
                ASSERT_EQ(rows[i], want[i].second);
            }
        }
}
