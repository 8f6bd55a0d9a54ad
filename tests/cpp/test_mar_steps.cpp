// The pieces of a MAR removal: shuffle, correlation, predictor choice, per-pass choice.
#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/mar/removal.hpp"
#include "harness.hpp"
#include "reference.hpp"
#include "test_mar_support.hpp"

using namespace porosa;
using namespace porosa::mar;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Textbook two-pass Pearson correlation of two columns.
double naive_corr(const DataMatrix& m, std::size_t a, std::size_t b) {
    double ma = 0, mb = 0;
    for (std::size_t r = 0; r < m.rows(); ++r) ma += m(r, a), mb += m(r, b);
    ma /= double(m.rows()), mb /= double(m.rows());
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t r = 0; r < m.rows(); ++r) {
        double da = m(r, a) - ma, db = m(r, b) - mb;
        sab += da * db, saa += da * da, sbb += db * db;
    }
    return sab / std::sqrt(saa * sbb);
}

std::vector<std::size_t> apply_swaps(std::size_t cols, const std::vector<std::uint64_t>& js) {
    std::vector<std::size_t> order(cols);
    std::iota(order.begin(), order.end(), std::size_t{0});
    for (std::size_t i = 0; i < js.size(); ++i) std::swap(order[i], order[js[i]]);
    return order;
}

}  // namespace

TEST(mar_shuffle, five_columns_take_one_batch_below_twelve_factorial) {
    Rng rng = rng_from_u64(42), twin = rng_from_u64(42);
    std::vector<std::size_t> got = shuffle_columns(5, rng);

    // Position 0 is free; positions 1..4 share one draw below 2*3*...*12.
    std::uint64_t v = twin.index_below(479001600);
    std::vector<std::uint64_t> js{0};
    for (std::uint64_t b = 2; b <= 5; ++b) {
        js.push_back(v % b);
        v /= b;
    }
    EXPECT_TRUE(got == apply_swaps(5, js));
    // Exactly one draw was taken.
    EXPECT_EQ(rng.next_u32(), twin.next_u32());
}

TEST(mar_shuffle, spent_batch_ends_on_its_value_and_a_new_one_starts) {
    for (std::uint64_t seed : {1u, 2u, 3u, 77u}) {
        Rng rng = rng_from_u64(seed), twin = rng_from_u64(seed);
        std::vector<std::size_t> got = shuffle_columns(15, rng);

        std::vector<std::uint64_t> js{0};
        // Positions 1..11: bounds 2..12, the last takes what is left.
        std::uint64_t v = twin.index_below(479001600);
        for (std::uint64_t b = 2; b <= 11; ++b) {
            js.push_back(v % b);
            v /= b;
        }
        js.push_back(v);
        // Positions 12..14: bounds 13..19 fit in 32 bits (13*...*19 = 253955520), 20 does not.
        v = twin.index_below(253955520);
        for (std::uint64_t b = 13; b <= 15; ++b) {
            js.push_back(v % b);
            v /= b;
        }
        EXPECT_TRUE(got == apply_swaps(15, js));
        EXPECT_EQ(rng.next_u32(), twin.next_u32());
    }
}

TEST(mar_shuffle, fewer_than_two_columns_draw_nothing) {
    for (std::size_t cols : {0u, 1u}) {
        Rng rng = rng_from_u64(5), twin = rng_from_u64(5);
        std::vector<std::size_t> got = shuffle_columns(cols, rng);
        EXPECT_EQ(got.size(), cols);
        if (cols == 1) EXPECT_EQ(got[0], 0u);
        EXPECT_EQ(rng.next_u32(), twin.next_u32());
    }
}

TEST(mar_shuffle, is_a_permutation_for_wide_data) {
    Rng rng = rng_from_u64(9);
    std::vector<std::size_t> got = shuffle_columns(1000, rng);
    std::vector<int> seen(1000);
    for (std::size_t c : got) seen.at(c)++;
    for (int s : seen) EXPECT_EQ(s, 1);
}

TEST(mar_count, multiplies_before_dividing) {
    // 5 * 0.64 / 0.8 and 3 * 0.5333... / 0.8 land just above a whole number.
    EXPECT_EQ(missing_column_count(5, 0.8 - 0.8 / 5, 0.8), 4u);
    EXPECT_EQ(missing_column_count(3, 0.8 - 0.8 / 3, 0.8), 3u);
    EXPECT_EQ(missing_column_count(4, 0.8 - 0.8 / 4, 0.8), 4u);
    EXPECT_EQ(missing_column_count(5, 0.5, 0.8), 4u);
    EXPECT_EQ(missing_column_count(5, 0.5, kInf), 0u);
    EXPECT_EQ(missing_column_count(5, 0.5, kNaN), 0u);
    EXPECT_EQ(missing_column_count(5, -0.1, 0.8), 0u);
}

TEST(mar_corr, matches_textbook_formula_across_tiles) {
    // 70 columns spread over three column blocks, so off-diagonal and partial tiles are used.
    DataMatrix m = random_matrix(13, 70, 3);
    for (std::size_t r = 0; r < 13; ++r) {
        m(r, 40) = 2.0 * m(r, 5) + 1.0;
        m(r, 69) = -m(r, 5);
    }
    Pool pool(3);
    std::vector<double> c = pearson_correlation(m, pool);
    ASSERT_EQ(c.size(), 70u * 70u);
    for (std::size_t a = 0; a < 70; ++a)
        for (std::size_t b = 0; b < 70; ++b) {
            double want = a == b ? 1.0 : naive_corr(m, a, b);
            EXPECT_LT(std::abs(c[a * 70 + b] - want), 1e-12);
            EXPECT_BITEQ(c[a * 70 + b], c[b * 70 + a]);
        }
    EXPECT_LT(std::abs(c[5 * 70 + 40] - 1.0), 1e-14);
    EXPECT_LT(std::abs(c[5 * 70 + 69] + 1.0), 1e-14);
}

TEST(mar_corr, same_bits_with_any_number_of_workers) {
    DataMatrix m = random_matrix(57, 83, 11);
    Pool one(1), four(4);
    std::vector<double> a = pearson_correlation(m, one), b = pearson_correlation(m, four);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_BITEQ(a[i], b[i]);
}

TEST(mar_corr, degenerate_column_is_nan_in_its_row_and_column) {
    struct Case {
        double v0, v1, v2;
    };
    // A constant 0.1 averages to 0.10000000000000002 if not shifted first.
    const Case cases[] = {{0.1, 0.1, 0.1}, {1.0, 2.0, kInf}, {-kInf, 0.0, 1.0}, {7.0, 7.0, 7.0}};
    for (const Case& k : cases) {
        DataMatrix m(3, 3, {1.0, k.v0, 4.0, 2.0, k.v1, 1.0, 4.0, k.v2, 3.0});
        Pool pool(2);
        std::vector<double> c = pearson_correlation(m, pool);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(std::isnan(c[1 * 3 + i]));
            EXPECT_TRUE(std::isnan(c[i * 3 + 1]));
        }
        EXPECT_FALSE(std::isnan(c[0 * 3 + 2]));
        EXPECT_EQ(c[0], 1.0);
        EXPECT_EQ(c[8], 1.0);
    }
}

TEST(mar_corr, single_row_has_no_spread_anywhere) {
    DataMatrix m(1, 4, {1.0, 2.0, 3.0, 4.0});
    Pool pool(2);
    for (double v : pearson_correlation(m, pool)) EXPECT_TRUE(std::isnan(v));
}

TEST(mar_corr, empty_input_fails) {
    Pool pool(2);
    for (auto [rows, cols] : {std::pair{0u, 3u}, std::pair{3u, 0u}, std::pair{0u, 0u}}) {
        DataMatrix m(rows, cols);
        EXPECT_THROW_MSG(pearson_correlation(m, pool), Panic, "Failed to calculate pearson_correlation: EmptyInput");
    }
}

TEST(mar_predictors, strongest_observed_column_earliest_on_ties) {
    // Symmetric 5x5 correlations; only the row of the missing column matters.
    struct Case {
        std::vector<double> row;  // corr(missing = 4, c) for c = 0..4
        std::vector<std::size_t> observed;
        std::size_t want;
        double want_abs;
    };
    const Case cases[] = {
        {{0.2, -0.5, 0.1, 0.5, 1.0}, {3, 1, 0}, 3, 0.5},   // tie: earlier in shuffled order, not lower index
        {{0.2, -0.5, 0.1, 0.5, 1.0}, {1, 3, 0}, 1, 0.5},
        {{0.8, -0.9, 0.0, 0.0, 1.0}, {0, 1}, 1, 0.9},       // magnitude, not sign
        {{0.0, kNaN, 0.1, kNaN, 1.0}, {1, 3, 2}, 2, 0.1},   // NaN never taken
        {{0.0, kNaN, 0.0, -0.0, 1.0}, {3, 1, 2}, 3, 0.0},   // nothing positive: the first observed
        {{kNaN, kNaN, kNaN, kNaN, kNaN}, {2, 0}, 2, 0.0},
        {{0.9, 0.9, 0.9, 0.9, 1.0}, {}, 0, 0.0},            // nothing observed
    };
    for (const Case& k : cases) {
        std::vector<double> corr(25, 0.0);
        for (std::size_t c = 0; c < 5; ++c) corr[4 * 5 + c] = corr[c * 5 + 4] = k.row[c];
        std::vector<std::size_t> missing{4};
        std::vector<Predictor> got = choose_predictors(missing, k.observed, corr, 5);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].column, k.want);
        EXPECT_EQ(got[0].abs_corr, k.want_abs);
        EXPECT_TRUE((pairs(missing, got) == std::vector<Pair>{{4, k.want}}));
    }
}

TEST(mar_choice, first_minimum_rule_per_ordering) {
    const double n = missing_nan();
    struct Case {
        CmpFn cmp;
        std::vector<double> target;  // the missing column
        std::vector<double> keys;    // the predictor column
        double ref;
        std::optional<std::size_t> want;
    };
    const Case cases[] = {
        {cmp_ascending, {1, 1, 1, 1}, {5, 3, 3, 7}, 0.0, 1},     // equal keys: earlier row
        {cmp_descending, {1, 1, 1, 1}, {5, 7, 7, 3}, 0.0, 1},
        {cmp_nearest, {1, 1}, {1.0, 3.0}, 2.0, 0},               // equal distances: earlier row
        {cmp_nearest, {1, 1, 1}, {0.0, 2.4, 1.7}, 2.0, 2},
        {cmp_ascending, {n, 1, n, 1}, {0, 5, -1, 4}, 0.0, 3},    // missing cells are no candidates
        {cmp_ascending, {n, n, n}, {1, 2, 3}, 0.0, std::nullopt},
        {cmp_ascending, {1, 1, 1}, {n, 2, 3}, 0.0, 1},           // a NaN key ranks last...
        {cmp_descending, {1, 1, 1}, {2, n, 3}, 0.0, 1},          // ...and first for MIN
        {cmp_nearest, {1, 1}, {n, 1e300}, 0.0, 1},               // overflowing distance still beats NaN
        {cmp_ascending, {1, 1, 1}, {1, 0.0, -0.0}, 0.0, 2},      // -0 before +0
        {cmp_descending, {1, 1, 1}, {-1, -0.0, 0.0}, 0.0, 2},
    };
    for (const Case& k : cases) {
        DataMatrix m(k.keys.size(), 2);
        for (std::size_t r = 0; r < k.keys.size(); ++r) m(r, 0) = k.keys[r], m(r, 1) = k.target[r];
        EXPECT_TRUE(choose_row_literal(m, Pair{1, 0}, k.ref, k.cmp) == k.want);
    }
}

TEST(mar_choice, predictor_may_be_the_missing_column_itself) {
    DataMatrix m(4, 1, {3.0, 1.0, 2.0, 1.0});
    EXPECT_TRUE(choose_row_literal(m, Pair{0, 0}, 0.0, cmp_ascending) == std::optional<std::size_t>(1));
    m(1, 0) = missing_nan();
    EXPECT_TRUE(choose_row_literal(m, Pair{0, 0}, 0.0, cmp_ascending) == std::optional<std::size_t>(3));
}

TEST(mar_drop_cols, positions_in_pair_order_skipping_empty_pairs) {
    // Column c of 60 has its minimum at row (c * 7) % 25; every third column is all NaN.
    const std::size_t rows = 25, cols = 60;
    DataMatrix m(rows, cols);
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t r = 0; r < rows; ++r)
            m(r, c) = c % 3 == 2 ? missing_nan() : double((r + rows - (c * 7) % rows) % rows);
    std::vector<Pair> ps;
    for (std::size_t c = cols; c-- > 0;) ps.push_back({c, c});
    std::vector<double> refs(ps.size(), 0.0);
    Pool pool(4);
    std::vector<Position> got = MUST(drop_cols(m, ps, refs, cmp_ascending, pool));
    std::vector<Position> want;
    for (const Pair& p : ps)
        if (p.missing % 3 != 2) want.emplace_back((p.missing * 7) % rows, p.missing);
    EXPECT_TRUE(got == want);
}

TEST(mar_drop_cols, nan_reference_fails_unless_its_column_has_nothing_left) {
    DataMatrix m = random_matrix(5, 3, 1);
    std::vector<Pair> ps{{0, 1}, {1, 2}, {2, 0}};
    Pool pool(3);
    std::vector<double> refs{0.5, 1.0, kNaN};
    EXPECT_FAILS_WITH(drop_cols(m, ps, refs, cmp_nearest, pool), "Sample is nan");
    // Only the references of the pairs handed over are checked.
    std::vector<Position> got = MUST(drop_cols(m, std::span<const Pair>(ps).first(2),
                                               std::span<const double>(refs).first(2), cmp_nearest, pool));
    EXPECT_EQ(got.size(), 2u);
    // A pair whose column has no cell left yields nothing, whatever its reference.
    for (std::size_t r = 0; r < 5; ++r) m(r, 2) = kNaN;
    got = MUST(drop_cols(m, ps, refs, cmp_nearest, pool));
    EXPECT_EQ(got.size(), 2u);
}
