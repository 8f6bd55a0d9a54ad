// Ordered candidates against the first-minimum rule applied by brute force.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "core/panic.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/ordered_candidates.hpp"
#include "generators/common/rng.hpp"
#include "harness.hpp"

using namespace porosa;

namespace {

double from_bits(std::uint64_t u) { return std::bit_cast<double>(u); }

const double kInf = std::numeric_limits<double>::infinity();

// Keys rich in ties, signed zeros, NaN payloads of both signs, infinities and
// magnitudes at both ends of the range.
double special_key(Rng& rng) {
    static const double pool[] = {-1.0, -0.0, 0.0, 1.0, 2.0, 2.0, 3.0, kInf, -kInf, 1e300, -1e300, 5e-324, -5e-324,
                                  from_bits(0x7FF8000000000000ull), from_bits(0xFFF8000000000000ull),
                                  from_bits(0x7FF8000000000001ull), from_bits(0xFFF0000000000001ull),
                                  from_bits(0x7FF0000000000002ull), 1.0000000000000002, 1e-20, 0.5};
    switch (rng.index_below(4)) {
        case 0: return rng.uniform_float() * 8.0 - 4.0;
        case 1: return double(rng.index_below(5)) - 2.0;
        default: return pool[rng.index_below(std::size(pool))];
    }
}

// The row the first-minimum rule picks over the active entries visited in
// ascending row order, or -1.
long long brute_row(const std::vector<OrderedCandidates::Entry>& entries, const std::vector<bool>& on, CmpFn cmp,
                    double ref) {
    std::vector<std::size_t> idx;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (on[i]) idx.push_back(i);
    std::sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) { return entries[a].row < entries[b].row; });
    long long best = -1;
    double best_key = 0.0;
    for (std::size_t i : idx) {
        if (best < 0 || cmp(best_key, entries[i].key, ref) == std::strong_ordering::greater) {
            best = entries[i].row;
            best_key = entries[i].key;
        }
    }
    return best;
}

long long row_at(const OrderedCandidates& c, std::size_t i) { return i == OrderedCandidates::npos ? -1LL : (long long)c.row(i); }

}  // namespace

TEST(active_set, next_and_prev_match_a_plain_bitset) {
    Rng rng = rng_from_u64(3);
    for (std::size_t n : {0u, 1u, 2u, 63u, 64u, 65u, 127u, 4095u, 4096u, 4097u, 262145u}) {
        ActiveSet set(n);
        std::vector<bool> plain(n, true);
        const std::size_t ops = std::min<std::size_t>(4 * n + 10, 3000);
        for (std::size_t op = 0; op < ops && n > 0; ++op) {
            const std::size_t i = rng.index_below(n);
            // Mostly erasing, so long empty stretches form.
            if (rng.index_below(4) == 0) {
                if (!plain[i]) set.insert(i), plain[i] = true;
            } else if (plain[i]) {
                set.erase(i), plain[i] = false;
            }
            const std::size_t q = rng.index_below(n);
            std::size_t want_next = ActiveSet::npos, want_prev = ActiveSet::npos;
            for (std::size_t j = q; j < n; ++j)
                if (plain[j]) {
                    want_next = j;
                    break;
                }
            for (std::size_t j = q + 1; j-- > 0;)
                if (plain[j]) {
                    want_prev = j;
                    break;
                }
            ASSERT_EQ(set.next(q), want_next);
            ASSERT_EQ(set.prev(q), want_prev);
            EXPECT_EQ(set.contains(q), bool(plain[q]));
        }
        EXPECT_EQ(set.next(n), ActiveSet::npos);
        if (n > 0) EXPECT_EQ(set.prev(n + 5), set.prev(n - 1));
    }
    ActiveSet empty(0);
    EXPECT_EQ(empty.next(0), ActiveSet::npos);
    EXPECT_EQ(empty.prev(0), ActiveSet::npos);
}

TEST(ordered_candidates, every_ordering_matches_first_minimum_rule) {
    Rng rng = rng_from_u64(11);
    for (int round = 0; round < 1500; ++round) {
        const std::size_t n = 1 + rng.index_below(round < 1000 ? 24 : 300);
        std::vector<OrderedCandidates::Entry> entries(n);
        std::vector<std::uint32_t> rows(n);
        std::iota(rows.begin(), rows.end(), 0u);
        // Input in row order (the radix path) or shuffled (the comparison sort).
        if (round % 2)
            for (std::size_t i = n; i > 1; --i) std::swap(rows[i - 1], rows[rng.index_below(i)]);
        const bool narrow = rng.index_below(3) == 0;  // keys from {-2 .. 2}: long runs of ties
        for (std::size_t i = 0; i < n; ++i)
            entries[i] = {narrow ? double(rng.index_below(5)) - 2.0 : special_key(rng), rows[i]};

        OrderedCandidates c(entries);
        ASSERT_EQ(c.size(), n);
        // Sorted by total order, then row; every input entry exactly once.
        for (std::size_t i = 1; i < n; ++i) {
            const auto o = total_cmp(c.key(i - 1), c.key(i));
            ASSERT_TRUE(o == std::strong_ordering::less || (o == 0 && c.row(i - 1) < c.row(i)));
        }
        std::vector<std::size_t> index_of_row(n);
        for (std::size_t i = 0; i < n; ++i) index_of_row[c.row(i)] = i;
        std::vector<bool> on(n, true);
        for (std::size_t e = 0; e < n; ++e) EXPECT_BITEQ(c.key(index_of_row[entries[e].row]), entries[e].key);

        for (std::size_t step = 0; step < n + 3; ++step) {
            EXPECT_EQ(row_at(c, c.smallest()), brute_row(entries, on, cmp_ascending, 0.0));
            EXPECT_EQ(row_at(c, c.largest()), brute_row(entries, on, cmp_descending, 0.0));
            double refs[4] = {special_key(rng), special_key(rng), 0.0, 0.0};
            // A reference equal to an existing key makes exact zero distances.
            if (n > 0) refs[2] = entries[rng.index_below(n)].key;
            refs[3] = rng.index_below(2) ? from_bits(0x7FF8000000000000ull) : -kInf;
            for (double ref : refs) {
                const std::size_t got = c.nearest(ref);
                EXPECT_EQ(row_at(c, got), brute_row(entries, on, cmp_nearest, ref));
                if (got != OrderedCandidates::npos) EXPECT_TRUE(c.active(got));
            }
            // Erase mostly what the orderings pick, sometimes something else,
            // and now and then bring an entry back.
            if (rng.index_below(5) == 0) {
                const std::size_t e = rng.index_below(n);
                const std::size_t i = index_of_row[entries[e].row];
                if (on[e]) c.erase(i);
                else c.insert(i);
                on[e] = !on[e];
            } else {
                std::size_t i = rng.index_below(2) ? c.nearest(special_key(rng)) : c.smallest();
                if (i == OrderedCandidates::npos) continue;
                c.erase(i);
                for (std::size_t e = 0; e < n; ++e)
                    if (entries[e].row == c.row(i)) on[e] = false;
            }
            std::size_t live = 0;
            for (bool b : on) live += b;
            EXPECT_EQ(c.remaining(), live);
        }
    }
}

// A row may own a second, inactive entry that it switches to later: the
// orderings must then see its new key.
TEST(ordered_candidates, a_row_switching_to_another_entry) {
    const double nan = from_bits(0x7FF8000000000000ull);
    const std::vector<OrderedCandidates::Entry> entries = {
        {3.0, 0}, {1.0, 1}, {2.0, 2}, {nan, 1}, {from_bits(0x7FF8000000000001ull), 3}, {nan, 0}};
    OrderedCandidates c(entries);
    ASSERT_EQ(c.size(), 6u);
    // Sorted: 1.0 r1, 2.0 r2, 3.0 r0, NaN r0, NaN r1, NaN(payload 1) r3.
    EXPECT_EQ(c.row(3), 0u);
    EXPECT_EQ(c.row(4), 1u);
    c.erase(3);
    c.erase(4);
    EXPECT_EQ(c.row(c.smallest()), 1u);
    EXPECT_EQ(c.row(c.largest()), 3u);
    // Row 1's key turns into the NaN: it now ranks after every number.
    c.erase(0);
    c.insert(4);
    EXPECT_EQ(c.row(c.smallest()), 2u);
    EXPECT_EQ(c.row(c.nearest(10.0)), 0u);
    c.erase(5);
    EXPECT_EQ(c.row(c.largest()), 1u);
    EXPECT_THROW_MSG(c.erase(5), Panic, "not there");
    EXPECT_THROW_MSG(c.insert(4), Panic, "already there");
}

// Many distinct keys at one rounded distance, far from the earliest row: the
// tie range has to be searched on both sides, not just at its nearest end.
TEST(ordered_candidates, nearest_tie_range_spanning_many_keys) {
    std::vector<OrderedCandidates::Entry> entries;
    // x - 1 rounds to -1 for every tiny x, so all of these are at distance 1
    // from the reference 1, as are the zeros and 2; the next double after 2 is not.
    for (std::uint32_t r = 0; r < 500; ++r) entries.push_back({1e-30 * double(500 - r), r + 10});
    entries.push_back({-0.0, 7});
    entries.push_back({0.0, 8});
    entries.push_back({2.0, 9});
    entries.push_back({2.0, 3});
    entries.push_back({2.0000000000000004, 1});
    entries.push_back({1.5, 600});
    OrderedCandidates c(entries);
    std::vector<std::uint32_t> want{600, 3, 7, 8, 9};
    for (std::uint32_t r = 10; r < 510; ++r) want.push_back(r);
    want.push_back(1);
    for (std::uint32_t r : want) {
        const std::size_t i = c.nearest(1.0);
        ASSERT_TRUE(i != OrderedCandidates::npos);
        EXPECT_EQ(c.row(i), r);
        c.erase(i);
    }
    EXPECT_EQ(c.nearest(1.0), OrderedCandidates::npos);
}
