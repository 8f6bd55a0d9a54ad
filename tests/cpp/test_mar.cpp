// Whole MAR removals: construction, representation, passes and how they end.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/mar/mar.hpp"
#include "generators/mar/removal.hpp"
#include "generators/utils/distribution.hpp"
#include "harness.hpp"
#include "test_mar_support.hpp"

using namespace porosa;
using namespace porosa::mar;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

Mode mode_of(Kind kind, double mean = 0.5, double variance = 0.0) {
    Mode m;
    m.kind = kind;
    m.mean = mean;
    m.variance = variance;
    return m;
}

// Rows whose cell in column c went missing, comparing before with after.
std::vector<std::size_t> removed_rows(const DataMatrix& before, const DataMatrix& after, std::size_t c) {
    std::vector<std::size_t> out;
    for (std::size_t r = 0; r < before.rows(); ++r)
        if (!std::isnan(before(r, c)) && std::isnan(after(r, c))) out.push_back(r);
    return out;
}

// The first `count` rows when sorted by key, earlier row first on equal keys.
template <class Key>
std::vector<std::size_t> first_rows_by(std::size_t rows, std::size_t count, Key key) {
    std::vector<std::size_t> idx(rows);
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    idx.resize(count);
    std::sort(idx.begin(), idx.end());
    return idx;
}

bool same_bits(const DataMatrix& a, const DataMatrix& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

porosa::Outcome<void> run(const Mode& mode, double cap, Rng& rng, DataMatrix& m, double rate, std::size_t target,
                          Pool& pool) {
    return run_removal(mode, cap, rng, m, rate, target, pool);
}

}  // namespace

TEST(mar_new, refuses_pattern_modes) {
    auto block = MAR::new_(mode_of(Kind::BLOCK), 0.8, 1);
    ASSERT_FALSE(block.has_value());
    EXPECT_EQ(block.error().message, std::string("Mode BLOCK not supported for MAR yet."));
    EXPECT_TRUE(block.error().kind == porosa::ErrorKind::Value);
    auto blob = MAR::new_(mode_of(Kind::BLOB), 0.8, std::nullopt);
    ASSERT_FALSE(blob.has_value());
    EXPECT_EQ(blob.error().message, std::string("Mode BLOB not supported for MAR yet."));
}

TEST(mar_new, repr_per_mode) {
    struct Case {
        Mode mode;
        const char* want;
    };
    const Case cases[] = {{mode_of(Kind::GM), "MAR[0.5]"},
                          {mode_of(Kind::GM, 0.1), "MAR[0.1]"},
                          {mode_of(Kind::GM, 2.0, 7.0), "MAR[2]"},
                          {mode_of(Kind::MAX, 0.3), "MAR[MAX]"},
                          {mode_of(Kind::MIN), "MAR[MIN]"}};
    for (const Case& k : cases) {
        auto mar = MAR::new_(k.mode, 0.8, 3);
        ASSERT_TRUE(mar.has_value());
        EXPECT_EQ(mar->repr(), std::string(k.want));
    }
}

// 10 x 5 at the capped rate 0.64: n = 4, target 32, eight full passes. The one
// observed column predicts every missing column and keeps all its values; MAX
// takes the rows of its smallest values, MIN its largest.
TEST(mar_drop, five_columns_full_rate_uses_observed_predictor) {
    for (Kind kind : {Kind::MAX, Kind::MIN}) {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const DataMatrix before = random_matrix(10, 5, seed + 100);
            DataMatrix m = before;
            auto mar = MAR::new_(mode_of(kind), 0.8, seed);
            ASSERT_TRUE(mar.has_value());
            MUST(mar->drop(m, 0.8 - 0.8 / 5, 32));

            Rng twin = rng_from_u64(seed);
            std::vector<std::size_t> order = shuffle_columns(5, twin);
            const std::size_t o = order[4];
            EXPECT_TRUE(removed_rows(before, m, o).empty());
            for (std::size_t i = 0; i < 4; ++i) {
                auto want = first_rows_by(10, 8, [&](std::size_t r) {
                    return kind == Kind::MAX ? before(r, o) : -before(r, o);
                });
                EXPECT_TRUE(removed_rows(before, m, order[i]) == want);
            }
        }
    }
}

// 10 x 5 at rate 0.5: target 25 = six passes of four and one of one pair. GM
// with no spread references the median of the missing column itself.
TEST(mar_drop, five_columns_half_rate_short_last_pass) {
    for (std::uint64_t seed : {4u, 5u, 6u}) {
        const DataMatrix before = random_matrix(10, 5, seed + 200);
        DataMatrix m = before;
        auto mar = MAR::new_(mode_of(Kind::GM), 0.8, seed);
        ASSERT_TRUE(mar.has_value());
        MUST(mar->drop(m, 0.5, 25));

        Rng twin = rng_from_u64(seed);
        std::vector<std::size_t> order = shuffle_columns(5, twin);
        const std::size_t o = order[4];
        EXPECT_TRUE(removed_rows(before, m, o).empty());
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t c = order[i];
            std::vector<double> col;
            for (std::size_t r = 0; r < 10; ++r) col.push_back(before(r, c));
            std::sort(col.begin(), col.end());
            const double median = (col[4] + col[5]) * 0.5;
            auto want = first_rows_by(10, i == 0 ? 7 : 6, [&](std::size_t r) {
                double d = before(r, o) - median;
                return d * d;
            });
            EXPECT_TRUE(removed_rows(before, m, c) == want);
        }
    }
}

// 10 x 3 at the capped rate: every column is missing, none observed, so column 0
// predicts all of them, itself included; target 17 = five passes of three, one of two.
TEST(mar_drop, three_columns_all_missing_fall_back_to_column_zero) {
    for (std::uint64_t seed : {7u, 8u, 9u, 10u}) {
        const DataMatrix before = random_matrix(10, 3, seed + 300);
        DataMatrix m = before;
        auto mar = MAR::new_(mode_of(Kind::MAX), 0.8, seed);
        ASSERT_TRUE(mar.has_value());
        MUST(mar->drop(m, 0.8 - 0.8 / 3, 17));

        Rng twin = rng_from_u64(seed);
        std::vector<std::size_t> order = shuffle_columns(3, twin);
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(removed_rows(before, m, order[i]).size(), i < 2 ? 6u : 5u);
        // Column 0 keyed by itself loses its smallest values.
        const std::size_t lost0 = removed_rows(before, m, 0).size();
        auto want = first_rows_by(10, lost0, [&](std::size_t r) { return before(r, 0); });
        EXPECT_TRUE(removed_rows(before, m, 0) == want);
    }
}

TEST(mar_drop, gm_draws_every_reference_in_short_passes) {
    const DataMatrix before = random_matrix(10, 5, 55);
    DataMatrix m = before;
    const Mode gm = mode_of(Kind::GM, 0.5, 0.3);
    Rng rng = rng_from_u64(12), twin = rng_from_u64(12);
    Pool pool(2);
    MUST(run(gm, 0.8, rng, m, 0.5, 25, pool));

    std::vector<std::size_t> order = shuffle_columns(5, twin);
    std::vector<std::size_t> missing(order.begin(), order.begin() + 4);
    std::vector<Gauss> dists = get_distribution(0.5, 0.3, before);
    for (int pass = 0; pass < 7; ++pass) get_samples(missing, dists, twin);
    EXPECT_EQ(rng.next_u32(), twin.next_u32());
}

TEST(mar_drop, same_cells_for_any_worker_count_and_same_seed) {
    const DataMatrix before = random_matrix(40, 12, 77);
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN}) {
        const Mode mode = mode_of(kind, 0.3, 0.5);
        DataMatrix a = before, b = before;
        Rng ra = rng_from_u64(31), rb = rng_from_u64(31);
        Pool one(1), four(4);
        MUST(run(mode, 0.8, ra, a, 0.4, 192, one));
        MUST(run(mode, 0.8, rb, b, 0.4, 192, four));
        EXPECT_TRUE(same_bits(a, b));
        std::size_t nan = 0;
        for (double x : a.storage()) nan += std::isnan(x);
        EXPECT_EQ(nan, 192u);
    }
}

TEST(mar_drop, instances_repeat_across_seeds_but_calls_move_on) {
    const DataMatrix before = random_matrix(20, 6, 5);
    auto first = MAR::new_(mode_of(Kind::GM, 0.5, 0.4), 0.8, 99);
    auto second = MAR::new_(mode_of(Kind::GM, 0.5, 0.4), 0.8, 99);
    ASSERT_TRUE(first.has_value() && second.has_value());
    DataMatrix a = before, b = before, c = before;
    MUST(first->drop(a, 0.3, 36));
    MUST(second->drop(b, 0.3, 36));
    EXPECT_TRUE(same_bits(a, b));
    MUST(first->drop(c, 0.3, 36));
    EXPECT_FALSE(same_bits(a, c));
}

TEST(mar_drop, zero_target_still_shuffles_and_changes_nothing) {
    for (std::size_t cols : {1u, 2u, 6u}) {
        const DataMatrix before = random_matrix(4, cols, 8);
        DataMatrix m = before;
        Rng rng = rng_from_u64(21), twin = rng_from_u64(21);
        Pool pool(2);
        MUST(run(mode_of(Kind::GM, 0.5, 1.0), 0.8, rng, m, 0.0, 0, pool));
        shuffle_columns(cols, twin);
        EXPECT_EQ(rng.next_u32(), twin.next_u32());
        EXPECT_TRUE(same_bits(before, m));
    }
}

// Refusals of the caller's data, once the shuffle has made its draws.
TEST(mar_drop, refusals_after_the_shuffle) {
    Pool pool(2);
    struct Case {
        std::size_t rows, cols;
        double cap, rate;
        const char* text;
    };
    // A negative cap with a rate below it asks for more missing columns than exist.
    const Case cases[] = {{4, 3, -0.5, -1.0, "index out of bounds: the len is 3 but the index is 6"},
                          {0, 3, 0.8, 0.5, "Failed to calculate pearson_correlation: EmptyInput"},
                          {3, 0, 0.8, 0.5, "Failed to calculate pearson_correlation: EmptyInput"}};
    for (const Case& k : cases) {
        DataMatrix m = random_matrix(k.rows, k.cols, 2);
        Rng rng = rng_from_u64(1), twin = rng_from_u64(1);
        auto r = run(mode_of(Kind::GM), k.cap, rng, m, k.rate, 0, pool);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().message, std::string(k.text));
        EXPECT_TRUE(r.error().kind == porosa::ErrorKind::Internal);
        shuffle_columns(k.cols, twin);
        EXPECT_EQ(rng.next_u32(), twin.next_u32());
    }
}

TEST(mar_drop, nan_in_a_missing_column_is_skipped_in_every_mode) {
    DataMatrix before = random_matrix(10, 3, 13);
    before(4, 1) = missing_nan();
    Pool pool(2);
    {
        // A NaN spread factor makes every reference NaN: that fails.
        DataMatrix m = before;
        Rng rng = rng_from_u64(3);
        EXPECT_FAILS_WITH(run(mode_of(Kind::GM, 0.5, missing_nan()), 0.8, rng, m, 0.8 - 0.8 / 3, 17, pool),
                          "Sample is nan");
    }
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN}) {
        DataMatrix m = before;
        Rng rng = rng_from_u64(3);
        MUST(run(mode_of(kind), 0.8, rng, m, 0.8 - 0.8 / 3, 17, pool));
        std::size_t nan = 0;
        for (double x : m.storage()) nan += std::isnan(x);
        EXPECT_EQ(nan, 18u);  // 17 new cells next to the one from the input
    }
}

// Targets the missing columns cannot reach end as soon as a pass yields nothing.
TEST(mar_drop, ends_when_a_pass_yields_nothing) {
    Pool pool(2);
    struct Case {
        double cap, rate;
        std::size_t target, want_removed;
        bool all_nan_column;
    };
    const Case cases[] = {
        {2.0, 1.0, 40, 20, false},            // n = 2: two columns of 10 cells, then nothing
        {kInf, 0.5, 15, 0, false},             // n = 0
        {std::numeric_limits<double>::quiet_NaN(), 0.5, 15, 0, false},
        {0.8, 0.8 - 0.8 / 3, 30, 20, true},    // all missing, one of them empty from the start
    };
    for (const Case& k : cases) {
        DataMatrix before = random_matrix(10, 3, 17);
        if (k.all_nan_column)
            for (std::size_t r = 0; r < 10; ++r) before(r, 2) = missing_nan();
        DataMatrix m = before;
        Rng rng = rng_from_u64(44);
        MUST(run(mode_of(Kind::MAX), k.cap, rng, m, k.rate, k.target, pool));
        std::size_t removed = 0;
        for (std::size_t c = 0; c < 3; ++c) removed += removed_rows(before, m, c).size();
        EXPECT_EQ(removed, k.want_removed);
    }
}
