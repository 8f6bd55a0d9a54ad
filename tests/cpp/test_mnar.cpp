// MNAR value modes (GM, MAX, MIN), the call steps around them, and repr.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"
#include "generators/mnar/mnar.hpp"
#include "generators/common/pass_plan.hpp"
#include "generators/mnar/removal.hpp"
#include "generators/utils/distribution.hpp"
#include "harness.hpp"
#include "test_mnar_support.hpp"

using porosa::DataMatrix;
using porosa::Kind;
using porosa::MNAR;
using namespace mnar_test;
namespace mnar = porosa::mnar;

namespace {

// A two-column matrix whose column 0 holds `column`; every row protects column 1.
struct OneColumn {
    DataMatrix m;
    std::vector<std::size_t> prot;
    explicit OneColumn(std::vector<double> column) : m(column.size(), 2), prot(column.size(), 1) {
        for (std::size_t r = 0; r < column.size(); ++r) m(r, 0) = column[r];
    }
    std::optional<std::size_t> choose(porosa::CmpFn cmp, double reference = 0.0) const {
        return mnar::drop_cols_literal(m, prot, 0, cmp, reference);
    }
};

double negative_nan() {
    std::uint64_t bits = 0xFFF8000000000000ULL;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

MNAR make(Kind kind, std::uint64_t seed, double mean = 0.5, double variance = 0.0) {
    porosa::Mode mode = mode_of(kind);
    mode.mean = mean;
    mode.variance = variance;
    return MNAR(mode, 0.8, porosa::rng_from_u64(seed));
}

}  // namespace

TEST(mnar, column_choice_follows_the_ordering) {
    const double nan = porosa::missing_nan();
    struct Case {
        std::vector<double> column;
        porosa::CmpFn cmp;
        double reference;
        std::optional<std::size_t> want;
    };
    const Case cases[] = {
        {{3.0, 1.0, 2.0}, porosa::cmp_ascending, 0.0, 1},    // MAX: smallest
        {{3.0, 1.0, 2.0}, porosa::cmp_descending, 0.0, 0},   // MIN: largest
        {{3.0, 1.0, 2.0}, porosa::cmp_nearest, 2.2, 2},      // GM: nearest the reference
        {{nan, 0.0, -0.0}, porosa::cmp_ascending, 0.0, 2},   // -0 before +0
        {{nan, 0.0, -0.0}, porosa::cmp_descending, 0.0, 1},
        {{4.0, 1.0, 1.0}, porosa::cmp_ascending, 0.0, 1},    // equal keys keep the earlier row
        {{1.0, 4.0, 4.0}, porosa::cmp_descending, 0.0, 1},
        {{1.0, 3.0}, porosa::cmp_nearest, 2.0, 0},
        // Any NaN is missing, whatever its sign: -NaN would otherwise be the smallest.
        {{negative_nan(), 3.0}, porosa::cmp_ascending, 0.0, 1},
        {{nan, nan}, porosa::cmp_ascending, 0.0, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(OneColumn(c.column).choose(c.cmp, c.reference), c.want);
}

TEST(mnar, column_choice_skips_protected_rows) {
    OneColumn col({5.0, 1.0, 2.0, 0.5});
    col.prot = {1, 0, 1, 0};  // rows 1 and 3 keep column 0
    EXPECT_EQ(col.choose(porosa::cmp_ascending), std::optional<std::size_t>(2));
    col.prot = {0, 0, 0, 0};
    EXPECT_EQ(col.choose(porosa::cmp_ascending), std::nullopt);
}

TEST(mnar, reservoir_is_algorithm_r) {
    for (std::uint64_t seed = 0; seed < 10; ++seed) {
        for (std::size_t k : {1u, 3u, 6u}) {
            const std::size_t n = 7;
            porosa::Rng rng = porosa::rng_from_u64(seed), twin = rng;
            auto got = porosa::reservoir_sample(rng, n, k);
            std::vector<std::size_t> want(k);
            for (std::size_t i = 0; i < k; ++i) want[i] = i;
            for (std::size_t i = k; i < n; ++i) {
                std::size_t s = twin.index_below(i + 1);
                if (s < k) want[s] = i;
            }
            EXPECT_EQ(got, want);
            EXPECT_TRUE(same_stream(rng, twin));
        }
    }
}

TEST(mnar, removes_exactly_target_and_keeps_protected_cells) {
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN}) {
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            // GM needs NaN-free columns: a NaN makes the column's spread NaN.
            const DataMatrix before = random_matrix(23, 6, seed, kind == Kind::GM ? 0.0 : 0.15);
            auto prot = protected_of(porosa::rng_from_u64(seed), before, kind);
            for (std::size_t target : {1u, 5u, 6u, 40u}) {
                DataMatrix m = before;
                MUST(make(kind, seed, 0.3, 0.2).drop(m, 0.0, target));
                Diff d = diff(before, m, prot);
                EXPECT_EQ(d.newly_missing, target);
                EXPECT_FALSE(d.protected_lost);
                EXPECT_FALSE(d.other_change);
            }
        }
    }
}

// MAX must take each column's smallest value and MIN its largest, not the reverse.
TEST(mnar, max_and_min_take_each_columns_extreme_when_all_columns_pass) {
    for (Kind kind : {Kind::MAX, Kind::MIN}) {
        const DataMatrix before = random_matrix(12, 5, 7, 0.1);
        auto prot = protected_of(porosa::rng_from_u64(4), before, kind);
        DataMatrix m = before;
        MUST(make(kind, 4).drop(m, 0.0, 5));  // target == cols: one pass over every column
        for (std::size_t c = 0; c < 5; ++c) {
            std::optional<std::size_t> want;  // first row holding the column's extreme
            for (std::size_t r = 0; r < 12; ++r) {
                double v = before(r, c);
                if (std::isnan(v) || prot[r] == c) continue;
                if (!want || (kind == Kind::MAX ? v < before(*want, c) : v > before(*want, c))) want = r;
            }
            for (std::size_t r = 0; r < 12; ++r)
                EXPECT_EQ(std::isnan(m(r, c)) && !std::isnan(before(r, c)), want == r);
        }
    }
}

TEST(mnar, fewer_cells_than_columns_touch_one_sampled_column) {
    std::set<std::size_t> columns_hit;
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        DataMatrix m = random_matrix(6, 5, seed);
        MUST(make(Kind::MAX, seed).drop(m, 0.0, 1));
        ASSERT_EQ(nan_count(m), 1u);
        for (std::size_t k = 0; k < m.size(); ++k)
            if (std::isnan(m.storage()[k])) columns_hit.insert(k % 5);
    }
    EXPECT_TRUE(columns_hit.size() > 1);  // the column is drawn, not fixed
}

// Only column 2 has values: a sampled pass may miss it, which must not end the call.
TEST(mnar, a_pass_that_misses_the_live_columns_does_not_end_the_call) {
    const double nan = porosa::missing_nan();
    for (std::uint64_t seed = 0; seed < 30; ++seed) {
        DataMatrix m(6, 3);
        for (std::size_t r = 0; r < 6; ++r) m(r, 0) = m(r, 1) = nan, m(r, 2) = double(r);
        auto prot = protected_of(porosa::rng_from_u64(seed), m, Kind::MAX);
        std::size_t live = std::count_if(prot.begin(), prot.end(), [](std::size_t c) { return c != 2; });
        MNAR gen = make(Kind::MIN, seed);
        MUST(gen.drop(m, 0.0, 2));
        EXPECT_EQ(nan_count(m), 12u + std::min<std::size_t>(2, live));
    }
}

TEST(mnar, calls_end_when_nothing_is_left) {
    const double nan = porosa::missing_nan();
    for (Kind kind : {Kind::MAX, Kind::MIN}) {
        DataMatrix all_nan(4, 3);
        for (double& v : all_nan.storage()) v = nan;
        MUST(make(kind, 1).drop(all_nan, 0.0, 5));
        EXPECT_EQ(nan_count(all_nan), 12u);

        const DataMatrix before = random_matrix(9, 4, 5, 0.2);
        auto prot = protected_of(porosa::rng_from_u64(8), before, kind);
        std::size_t available = 0;
        for (std::size_t r = 0; r < 9; ++r)
            for (std::size_t c = 0; c < 4; ++c) available += !std::isnan(before(r, c)) && prot[r] != c;
        // Running dry with fewer cells still owed than columns (sampled passes)
        // and with more (full passes).
        for (std::size_t target : {available + 2, std::numeric_limits<std::size_t>::max()}) {
            DataMatrix m = before;
            MUST(make(kind, 8).drop(m, 0.0, target));
            Diff d = diff(before, m, prot);
            EXPECT_EQ(d.newly_missing, available);
            EXPECT_FALSE(d.protected_lost);
        }
    }
}

TEST(mnar, gm_nan_reference_fails_only_where_a_cell_can_go) {
    DataMatrix m = random_matrix(5, 3, 2);
    for (std::size_t r = 0; r < 5; ++r) m(r, 1) = porosa::missing_nan();
    const DataMatrix before = m;
    // Column 1 has no observed cell, so its references are NaN, but it has
    // nothing to lose either: the other columns give the target.
    MNAR gen = make(Kind::GM, 2, 0.5, 0.0);
    MUST(gen.drop(m, 0.0, 5));
    std::size_t missing = 0;
    for (double x : m.storage()) missing += std::isnan(x);
    EXPECT_EQ(missing, 5u + 5u);
    // A NaN spread factor makes every reference NaN: the first pass fails.
    m = before;
    EXPECT_FAILS_WITH(make(Kind::GM, 2, 0.5, porosa::missing_nan()).drop(m, 0.0, 3), "Sample is nan");
    EXPECT_TRUE(same_cells(m, before));
}

// Data a call cannot work on is refused before anything is drawn, even with
// nothing to remove; the same shapes in modes that can work on them are not.
TEST(mnar, refusals_come_before_any_draw) {
    struct Case {
        Kind kind;
        std::size_t rows, cols, n_blobs, target;
        const char* text;  // null: no refusal
    };
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    const Case cases[] = {
        {Kind::GM, 0, 3, 3, 0, "index out of bounds: the len is 0 but the index is 0"},
        {Kind::MAX, 3, 0, 3, 0, "cannot sample empty range"},
        {Kind::BLOCK, 0, 0, 3, 0, "cannot sample empty range"},
        {Kind::BLOB, 4, 3, huge, 2, "n_blobs too large"},
        {Kind::GM, 0, 0, 3, 0, nullptr},
        {Kind::MAX, 0, 3, 3, 0, nullptr},
        {Kind::BLOB, 4, 3, huge, 0, nullptr},
    };
    for (const Case& k : cases) {
        porosa::Mode mode = mode_of(k.kind);
        mode.n_blobs = k.n_blobs;
        MNAR gen(mode, 0.8, porosa::rng_from_u64(4));
        porosa::Rng twin = porosa::rng_from_u64(4);
        DataMatrix m = random_matrix(k.rows, k.cols, 1);
        auto r = gen.drop(m, 0.0, k.target);
        if (!k.text) {
            EXPECT_TRUE(r.has_value());
            continue;
        }
        ASSERT_FALSE(r.has_value());
        EXPECT_TRUE(r.error().message.find(k.text) == 0);
        EXPECT_TRUE(r.error().kind == porosa::ErrorKind::Internal);
        // Nothing drawn: the next call starts where this one did.
        if (k.kind == Kind::BLOB) continue;
        DataMatrix a = random_matrix(5, 4, 2), b = a;
        MUST(gen.drop(a, 0.0, 6));
        MUST(MNAR(mode, 0.8, twin).drop(b, 0.0, 6));
        EXPECT_TRUE(same_cells(a, b));
    }
}

TEST(mnar, value_passes_do_not_depend_on_pool_size) {
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN}) {
        DataMatrix base = random_matrix(40, 9, 11, kind == Kind::GM ? 0.0 : 0.1);
        auto dists = porosa::get_distribution(0.4, 0.3, base);
        std::vector<DataMatrix> results;
        std::vector<porosa::Rng> rngs;
        for (std::size_t threads : {1u, 4u}) {
            porosa::Pool pool(threads);
            DataMatrix m = base;
            porosa::Rng rng = porosa::rng_from_u64(3);
            auto prot = porosa::fix(std::vector<std::size_t>{40, 9}, rng, mode_of(kind));
            MUST(mnar::drop_values_fast(pool, m, prot, rng, porosa::require_order(mode_of(kind)),
                                        kind == Kind::GM ? &dists : nullptr, 57));
            results.push_back(m);
            rngs.push_back(rng);
        }
        EXPECT_TRUE(same_cells(results[0], results[1]));
        EXPECT_TRUE(same_stream(rngs[0], rngs[1]));
    }
}

TEST(mnar, same_seed_same_cells_and_calls_continue_the_stream) {
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN, Kind::BLOCK, Kind::BLOB}) {
        const DataMatrix input = random_matrix(30, 7, 21, kind == Kind::GM ? 0.0 : 0.05);
        MNAR a = make(kind, 99), b = make(kind, 99);
        DataMatrix a1 = input, a2 = input, b1 = input, b2 = input;
        MUST(a.drop(a1, 0.0, 60));
        MUST(a.drop(a2, 0.0, 60));
        MUST(b.drop(b1, 0.0, 60));
        MUST(b.drop(b2, 0.0, 60));
        EXPECT_TRUE(same_cells(a1, b1));
        EXPECT_TRUE(same_cells(a2, b2));
        EXPECT_FALSE(same_cells(a1, a2));
    }
}

TEST(mnar, protection_is_drawn_even_with_nothing_to_remove) {
    const DataMatrix before = random_matrix(6, 3, 1);
    MNAR gen = make(Kind::MAX, 5);
    DataMatrix m = before;
    MUST(gen.drop(m, 0.0, 0));
    EXPECT_TRUE(same_cells(m, before));

    // The next call protects the columns of the second draw, not the first.
    porosa::Rng twin = porosa::rng_from_u64(5);
    const std::array<std::size_t, 2> shape{6, 3};
    auto first = porosa::fix(shape, twin, mode_of(Kind::MAX));
    auto second = porosa::fix(shape, twin, mode_of(Kind::MAX));
    ASSERT_TRUE(first != second);
    MUST(gen.drop(m, 0.0, std::numeric_limits<std::size_t>::max()));
    for (std::size_t r = 0; r < 6; ++r)
        for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(std::isnan(m(r, c)), c != second[r]);
}

TEST(mnar, repr_by_mode) {
    porosa::Mode gm = mode_of(Kind::GM), gm1 = mode_of(Kind::GM), block = mode_of(Kind::BLOCK),
                 blob = mode_of(Kind::BLOB);
    gm1.mean = 1.0;
    block.block_size = {0.25, 0.5};
    blob.n_blobs = 4;
    auto r = [](porosa::Mode mode) { return MNAR(mode, 0.8, porosa::rng_from_u64(0)).repr(); };
    EXPECT_EQ(r(gm), std::string("MNAR[0.5]"));
    EXPECT_EQ(r(gm1), std::string("MNAR[1]"));
    EXPECT_EQ(r(mode_of(Kind::MAX)), std::string("MNAR[MAX]"));
    EXPECT_EQ(r(mode_of(Kind::MIN)), std::string("MNAR[MIN]"));
    EXPECT_EQ(r(block), std::string("MNAR[Blocks(0.25, 0.5)]"));
    EXPECT_EQ(r(blob), std::string("MNAR[Blobs(4)]"));
}
