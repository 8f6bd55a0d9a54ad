// MNAR pattern modes: rectangles (BLOCK) and clouds around random centres (BLOB).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/mnar/mnar.hpp"
#include "generators/mnar/removal.hpp"
#include "harness.hpp"
#include "test_mnar_support.hpp"
#include "seams.hpp"

using porosa::DataMatrix;
using porosa::Kind;
using porosa::MNAR;
using porosa::Rng;
using namespace mnar_test;
namespace mnar = porosa::mnar;

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

struct Rect {
    std::size_t c0, r0, w, h;
};

// uniform(a, b) taken word by word: a plus the uniform index below
// n = b - a + 1, i.e. the high half of word x n, plus one where the low half
// and the high half of a second word x n carry past 32 bits (the second word
// drawn only when the low half exceeds 2^32 - n). Ranges here are small.
std::size_t uniform_words(Rng& rng, std::size_t a, std::size_t b) {
    const std::uint64_t n = b - a + 1;
    const std::uint64_t product = std::uint64_t(rng.next_u32()) * n;
    std::uint64_t hi = product >> 32;
    const std::uint64_t lo = product & 0xFFFFFFFFull;
    if (lo > (std::uint64_t{1} << 32) - n) {
        const std::uint64_t hi2 = (std::uint64_t(rng.next_u32()) * n) >> 32;
        if (lo + hi2 > 0xFFFFFFFFull) hi += 1;
    }
    return a + std::size_t(hi);
}

// One rectangle: the column, the row, the width, then the height, each
// bounded by the caps and by the matrix edge.
Rect draw_rect(Rng& rng, std::size_t rows, std::size_t cols, std::size_t width_cap, std::size_t height_cap) {
    const std::size_t c0 = uniform_words(rng, 0, cols - 1);
    const std::size_t r0 = uniform_words(rng, 0, rows - 1);
    const std::size_t width_room = std::min(cols - c0, width_cap), height_room = std::min(rows - r0, height_cap);
    const std::size_t w = uniform_words(rng, 1, width_room < 1 ? 1 : width_room);
    const std::size_t h = uniform_words(rng, 1, height_room < 1 ? 1 : height_room);
    return Rect{c0, r0, w, h};
}

bool only_rect_missing(const DataMatrix& m, const Rect& rect) {
    for (std::size_t r = 0; r < m.rows(); ++r)
        for (std::size_t c = 0; c < m.cols(); ++c) {
            bool inside = r >= rect.r0 && r < rect.r0 + rect.h && c >= rect.c0 && c < rect.c0 + rect.w;
            if (std::isnan(m(r, c)) != inside) return false;
        }
    return true;
}

porosa::Mode block_mode(double first, double second) {
    porosa::Mode m = mode_of(Kind::BLOCK);
    m.block_size = {first, second};
    return m;
}

porosa::Mode blob_mode(std::size_t n) {
    porosa::Mode m = mode_of(Kind::BLOB);
    m.n_blobs = n;
    return m;
}

// No row protects a column inside the matrix, so no rectangle is refused for it.
std::vector<std::size_t> nothing_protected(std::size_t rows, std::size_t cols) {
    return std::vector<std::size_t>(rows, cols);
}

void drop_on(porosa::Pool& pool, DataMatrix& m, const std::vector<std::size_t>& prot, Rng& rng,
             const porosa::Mode& mode, std::size_t target) {
    MUST(mnar::drop_pattern_on(pool, m, prot, rng, mode, target));
}

}  // namespace

TEST(mnar_pattern, value_modes_are_not_patterns) {
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN}) {
        DataMatrix m = random_matrix(3, 3, 1);
        Rng rng = porosa::rng_from_u64(1);
        EXPECT_THROW_MSG(porosa::drop_pattern(m, {0, 1, 2}, rng, mode_of(kind), 2), porosa::Panic,
                         "Not a pattern!");
    }
}

// 10 x 10 with the default size: widths up to BW = 5, heights up to BH - 1 = 4;
// (0.05, 0.05): width 1 and a height cap that has wrapped to no limit.
TEST(mnar_pattern, block_first_rectangle_uses_the_caps) {
    struct Case {
        double first, second;
        std::size_t width_cap, height_cap;
    };
    for (const Case& k : {Case{0.5, 0.5, 5, 4}, Case{0.05, 0.05, 0, kNoLimit}, Case{0.3, 1.0, 3, 9}}) {
        for (std::uint64_t seed = 0; seed < 25; ++seed) {
            Rng twin = porosa::rng_from_u64(seed);
            Rect want = draw_rect(twin, 10, 10, k.width_cap, k.height_cap);
            // The target is the rectangle's own area, so it is accepted at once and ends the call.
            DataMatrix m = random_matrix(10, 10, seed);
            Rng rng = porosa::rng_from_u64(seed);
            MUST(porosa::drop_pattern(m, nothing_protected(10, 10), rng, block_mode(k.first, k.second), want.w * want.h));
            EXPECT_TRUE(only_rect_missing(m, want));
            EXPECT_TRUE(same_stream(rng, twin));
        }
    }
}

// A NaN at the first rectangle's corner refuses it; the next draw has both caps lowered by one.
TEST(mnar_pattern, block_rejection_lowers_both_caps) {
    std::size_t checked = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        Rng twin = porosa::rng_from_u64(seed);
        Rect first = draw_rect(twin, 10, 10, 5, 4);
        Rect second = draw_rect(twin, 10, 10, 4, 3);
        bool second_hits_corner = first.r0 >= second.r0 && first.r0 < second.r0 + second.h &&
                                  first.c0 >= second.c0 && first.c0 < second.c0 + second.w;
        // Only seeds where the first is refused for its NaN (not its size) and the second goes through.
        if (first.w * first.h > second.w * second.h || second_hits_corner) continue;
        ++checked;
        DataMatrix m = random_matrix(10, 10, seed);
        m(first.r0, first.c0) = porosa::missing_nan();
        Rng rng = porosa::rng_from_u64(seed);
        MUST(porosa::drop_pattern(m, nothing_protected(10, 10), rng, block_mode(0.5, 0.5), second.w * second.h));
        m(first.r0, first.c0) = 0.0;
        EXPECT_TRUE(only_rect_missing(m, second));
        EXPECT_TRUE(same_stream(rng, twin));
    }
    EXPECT_TRUE(checked >= 10);
}

// A rectangle too large for what is left is redrawn with the caps as they were.
TEST(mnar_pattern, block_size_redraw_keeps_the_caps) {
    std::size_t checked = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        Rng twin = porosa::rng_from_u64(seed);
        Rect first = draw_rect(twin, 10, 10, 5, 4);
        Rect second = draw_rect(twin, 10, 10, 5, 4);
        if (first.w * first.h <= second.w * second.h) continue;
        ++checked;
        DataMatrix m = random_matrix(10, 10, seed);
        Rng rng = porosa::rng_from_u64(seed);
        MUST(porosa::drop_pattern(m, nothing_protected(10, 10), rng, block_mode(0.5, 0.5), second.w * second.h));
        EXPECT_TRUE(only_rect_missing(m, second));
    }
    EXPECT_TRUE(checked >= 10);
}

TEST(mnar_pattern, block_removes_exactly_target_outside_the_protected_column) {
    struct Case {
        std::size_t rows, cols;
        double nan_share, first, second;
    };
    for (const Case& k : {Case{10, 10, 0.0, 0.5, 0.5}, Case{17, 2, 0.1, 0.5, 0.5}, Case{8, 13, 0.2, 0.3, 0.8},
                          Case{25, 6, 0.0, 0.05, 0.05}, Case{5, 40, 0.05, 1.0, 1.0}}) {
        for (std::uint64_t seed = 0; seed < 6; ++seed) {
            const DataMatrix before = random_matrix(k.rows, k.cols, seed, k.nan_share);
            porosa::Mode mode = block_mode(k.first, k.second);
            auto prot = protected_of(porosa::rng_from_u64(seed), before, Kind::BLOCK);
            std::size_t available = 0;
            for (std::size_t r = 0; r < k.rows; ++r)
                for (std::size_t c = 0; c < k.cols; ++c) available += c != prot[r] && !std::isnan(before(r, c));
            const std::size_t target = std::min(available, (k.rows * k.cols) / 3);
            DataMatrix m = before;
            MUST(MNAR(mode, 0.8, porosa::rng_from_u64(seed)).drop(m, 0.0, target));
            // New NaN cells == target also rules out overlapping blocks and
            // blocks over cells that were already missing.
            Diff d = diff(before, m, prot);
            EXPECT_EQ(d.newly_missing, target);
            EXPECT_FALSE(d.protected_lost);
            EXPECT_FALSE(d.other_change);
        }
    }
}

TEST(mnar_pattern, block_ends_when_every_unprotected_cell_is_gone) {
    for (std::uint64_t seed = 0; seed < 5; ++seed) {
        const DataMatrix before = random_matrix(7, 4, seed, 0.3);
        auto prot = protected_of(porosa::rng_from_u64(seed), before, Kind::BLOCK);
        DataMatrix m = before;
        MUST(MNAR(block_mode(0.5, 0.5), 0.8, porosa::rng_from_u64(seed)).drop(m, 0.0, kNoLimit));
        for (std::size_t r = 0; r < 7; ++r)
            for (std::size_t c = 0; c < 4; ++c)
                EXPECT_EQ(std::isnan(m(r, c)), c != prot[r] || std::isnan(before(r, c)));
    }
    // Nothing to take at all: the call ends without drawing.
    DataMatrix one(1, 1);
    Rng rng = porosa::rng_from_u64(3), twin = rng;
    MUST(porosa::drop_pattern(one, {0}, rng, block_mode(0.5, 0.5), 10));
    EXPECT_TRUE(same_stream(rng, twin));
}

// With one blob the whole count goes to it without a size draw, and a NaN-free
// matrix loses exactly that many cells.
TEST(mnar_pattern, single_blob_takes_the_whole_count_in_one_pass) {
    for (std::uint64_t seed = 0; seed < 8; ++seed) {
        const DataMatrix before = random_matrix(20, 12, seed);
        Rng rng = porosa::rng_from_u64(seed);
        auto prot = porosa::fix(std::vector<std::size_t>{20, 12}, rng, mode_of(Kind::BLOB));
        Rng twin = rng;
        DataMatrix m = before;
        MUST(porosa::drop_pattern(m, prot, rng, blob_mode(1), 50));
        Diff d = diff(before, m, prot);
        EXPECT_EQ(d.newly_missing, 50u);
        EXPECT_FALSE(d.protected_lost);
        twin.uniform(0, 11);
        twin.uniform(0, 19);
        twin.next_u64();
        EXPECT_TRUE(same_stream(rng, twin));
    }
}

// Sizes: each blob but the last draws up to what remains (at least 1) and
// takes no more than remains; the last takes the rest without a draw, so they
// add up to exactly rem.
TEST(mnar_pattern, blob_plans_share_out_the_count) {
    for (std::size_t rem : {1u, 2u, 7u, 1000u}) {
        for (std::size_t n : {1u, 2u, 5u}) {
            for (std::uint64_t seed = 0; seed < 10; ++seed) {
                Rng rng = porosa::rng_from_u64(seed), twin = rng;
                std::vector<mnar::BlobPlan> plans(n);
                mnar::draw_blob_plans(rng, 9, 4, rem, plans);
                std::size_t remaining = rem;
                for (std::size_t i = 0; i < n; ++i) {
                    EXPECT_EQ(plans[i].cx, twin.uniform(0, 3));
                    EXPECT_EQ(plans[i].cy, twin.uniform(0, 8));
                    const std::size_t size =
                        i + 1 == n ? remaining : twin.uniform(0, std::max<std::size_t>(remaining, 1));
                    EXPECT_EQ(plans[i].size, std::min(remaining, size));
                    remaining -= std::min(remaining, size);
                    EXPECT_EQ(plans[i].seed, twin.next_u64());
                }
                std::size_t total = 0;
                for (const auto& plan : plans) total += plan.size;
                EXPECT_EQ(total, rem);
                EXPECT_TRUE(same_stream(rng, twin));
            }
        }
    }
}

TEST(mnar_pattern, blobs_never_take_protected_cells) {
    for (std::size_t n : {2u, 3u, 7u}) {
        for (std::uint64_t seed = 0; seed < 6; ++seed) {
            const DataMatrix before = random_matrix(31, 9, seed, 0.1);
            auto prot = protected_of(porosa::rng_from_u64(seed), before, Kind::BLOB);
            DataMatrix m = before;
            const std::size_t target = 120;
            MUST(MNAR(blob_mode(n), 0.8, porosa::rng_from_u64(seed)).drop(m, 0.0, target));
            Diff d = diff(before, m, prot);
            EXPECT_FALSE(d.protected_lost);
            EXPECT_FALSE(d.other_change);
            // Shared cells and NaN cells reached by a ring count without adding
            // a new NaN, and the sizes add up to the target: never more.
            EXPECT_TRUE(d.newly_missing >= 1);
            EXPECT_LE(d.newly_missing, target);
        }
    }
}

TEST(mnar_pattern, results_do_not_depend_on_pool_size) {
    for (const porosa::Mode& mode : {blob_mode(1), blob_mode(5), blob_mode(40), block_mode(0.5, 0.5)}) {
        const DataMatrix input = random_matrix(60, 15, 4, 0.05);
        std::vector<DataMatrix> results;
        std::vector<Rng> rngs;
        for (std::size_t threads : {1u, 4u}) {
            porosa::Pool pool(threads);
            DataMatrix m = input;
            Rng rng = porosa::rng_from_u64(17);
            auto prot = porosa::fix(std::vector<std::size_t>{60, 15}, rng, mode);
            drop_on(pool, m, prot, rng, mode, 400);
            results.push_back(m);
            rngs.push_back(rng);
        }
        EXPECT_TRUE(same_cells(results[0], results[1]));
        EXPECT_TRUE(same_stream(rngs[0], rngs[1]));
    }
}

TEST(mnar_pattern, zero_blobs_end_at_once) {
    DataMatrix m = random_matrix(5, 5, 2);
    const DataMatrix before = m;
    Rng rng = porosa::rng_from_u64(8), twin = rng;
    MUST(porosa::drop_pattern(m, std::vector<std::size_t>(5, 0), rng, blob_mode(0), 10));
    EXPECT_TRUE(same_cells(m, before));
    EXPECT_TRUE(same_stream(rng, twin));
}

// Targets beyond what the matrix holds: every call ends, having taken every
// unprotected cell and no protected one.
TEST(mnar_pattern, tiny_and_exhausted_matrices_end) {
    for (std::size_t rows : {1u, 2u, 3u}) {
        for (std::size_t cols : {1u, 2u, 3u}) {
            for (const porosa::Mode& mode : {blob_mode(1), blob_mode(3), block_mode(0.5, 0.5)}) {
                for (std::size_t target : {std::size_t(1000), kNoLimit}) {
                    const DataMatrix before = random_matrix(rows, cols, rows * 7 + cols);
                    auto prot = protected_of(porosa::rng_from_u64(target), before, mode.kind);
                    DataMatrix m = before;
                    MUST(MNAR(mode, 0.8, porosa::rng_from_u64(target)).drop(m, 0.0, target));
                    for (std::size_t r = 0; r < rows; ++r)
                        for (std::size_t c = 0; c < cols; ++c) EXPECT_EQ(std::isnan(m(r, c)), c != prot[r]);
                }
            }
        }
    }
}

TEST(mnar_pattern, blob_collects_until_full_or_stuck) {
    const double nan = porosa::missing_nan();
    // Tall and narrow: rings reach one row either way, yet a huge blob still
    // gathers every unprotected cell and stops there.
    {
        DataMatrix m = random_matrix(50, 2, 1);
        std::vector<std::size_t> prot(50);
        for (std::size_t r = 0; r < 50; ++r) prot[r] = r % 2;
        auto got = mnar::collect_blob(m, prot, 50, {1, 25, 1000, 42});
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got.size(), 50u);
        for (std::size_t r = 0; r < 50; ++r) EXPECT_TRUE(got[r] == porosa::Position(r, 1 - r % 2));
    }
    // Every cell its draws can land on is NaN: the blob cannot start and gives up.
    {
        DataMatrix m = random_matrix(1, 200, 2);
        for (std::size_t c = 0; c < 100; ++c) m(0, c) = nan;
        EXPECT_TRUE(mnar::collect_blob(m, std::vector<std::size_t>{150}, 199, {0, 0, 10, 7}).empty());
    }
    // Rows it can start on are full, and their rings cannot reach the free rows.
    {
        DataMatrix m(40, 2);
        for (std::size_t r = 0; r < 40; ++r) m(r, 0) = r < 20 ? double(r) : nan, m(r, 1) = nan;
        std::vector<std::size_t> prot(40, 1);
        auto got = mnar::collect_blob(m, prot, 40, {0, 0, 30, 5});
        // Only rows 0..20 are reachable: 20 start cells plus row 20 by ring.
        EXPECT_EQ(got.size(), 21u);
    }
}

TEST(mnar_pattern, n_blobs_too_large_is_reported) {
    for (std::size_t n : {kNoLimit, std::size_t(1) << 50}) {
        DataMatrix m = random_matrix(4, 4, 1);
        EXPECT_FAILS_WITH(MNAR(blob_mode(n), 0.8, porosa::rng_from_u64(1)).drop(m, 0.0, 3), "n_blobs too large");
    }
}

// The word-at-a-time ring search must pick the very cells the cell-by-cell one
// does, on shapes where rings clip on every side and blobs outgrow their core.
TEST(mnar_pattern, blob_cell_stores_agree) {
    struct Case {
        std::size_t rows, cols;
        double nan_share;
        std::size_t size;
    };
    for (const Case& k : {Case{1, 150, 0.0, 120}, Case{150, 2, 0.1, 200}, Case{90, 3, 0.2, 200},
                          Case{40, 40, 0.6, 1500}, Case{70, 130, 0.1, 4000}, Case{64, 64, 0.0, 3000},
                          Case{200, 70, 0.3, 5000}, Case{12, 500, 0.0, 1500}, Case{7, 300, 0.25, 1000},
                          Case{500, 20, 0.0, 5000}}) {
        for (std::uint64_t seed = 0; seed < 3; ++seed) {
            const DataMatrix m = random_matrix(k.rows, k.cols, seed, k.nan_share);
            auto prot = protected_of(porosa::rng_from_u64(seed), m, Kind::BLOB);
            std::size_t unprotected = 0;
            for (std::size_t p : prot) unprotected += k.cols - (p < k.cols);
            Rng draw = porosa::rng_from_u64(seed + 100);
            mnar::BlobPlan plan{draw.index_below(k.cols), draw.index_below(k.rows), k.size, draw.next_u64()};
            auto hash = mnar::collect_blob(m, prot, unprotected, plan, mnar::BlobStore::hash);
            auto grid = mnar::collect_blob(m, prot, unprotected, plan, mnar::BlobStore::grid);
            std::sort(hash.begin(), hash.end());
            std::sort(grid.begin(), grid.end());
            // Without NaN cells every start row's ring reaches a free cell while one is left.
            if (k.nan_share == 0.0) EXPECT_EQ(hash.size(), std::min(k.size, unprotected));
            EXPECT_TRUE(hash == grid);
        }
    }
}

// The tables and bounds of the fast passes must never change a draw or a cell:
// each call is run again by the literal passes from the same start. Tunings
// build the tables after the default number of refusals, before the first
// draw, or after three, and force the power-of-two bounds on narrow matrices.
TEST(mnar_pattern, block_fast_passes_match_the_literal_ones) {
    struct Shape {
        std::size_t rows, cols;
        bool exhaust;  // also targets that take every free cell (slow on large shapes)
    };
    enum Nan { none, few, many, clean_and_full_columns };
    enum Protect { shared, per_row, nothing };
    std::vector<mnar::BlockTuning> tunings(4);
    tunings[1].literal_checks = 0;
    tunings[2].literal_checks = 3;
    tunings[3].literal_checks = 0, tunings[3].full_table_cols = 0;
    // Each again with the batches worked out one rectangle at a time, where
    // the processor would take them eight at once.
    for (std::size_t i = 0; i < 4; ++i) tunings.push_back(tunings[i]), tunings.back().scalar_batches = true;
    mnar::BlockStats stats;
    for (auto& t : tunings) t.stats = &stats;
    std::size_t built_mid_call = 0, looked_up = 0;
    std::uint64_t seed = 0;
    for (const Shape& s : {Shape{3, 5, true}, Shape{16, 2, true}, Shape{24, 6, true}, Shape{66, 2, true},
                           Shape{17, 70, false}, Shape{130, 6, false}, Shape{300, 2, false}}) {
        for (Nan nan : {none, few, many, clean_and_full_columns}) {
            DataMatrix before = random_matrix(s.rows, s.cols, ++seed, nan == none ? 0.0 : nan == many ? 0.4 : 0.05);
            for (std::size_t r = 0; r < s.rows && nan == clean_and_full_columns; ++r) {
                before(r, 0) = 1.0;
                before(r, s.cols - 1) = porosa::missing_nan();
            }
            for (auto size : {std::pair{0.5, 0.5}, std::pair{0.05, 0.05}, std::pair{1.0, 1.0}, std::pair{0.0, 0.0}}) {
                for (Protect p : {shared, per_row, nothing}) {
                    Rng start = porosa::rng_from_u64(++seed);
                    auto prot = p == nothing ? nothing_protected(s.rows, s.cols)
                                             : protected_of(start, before, p == shared ? Kind::BLOCK : Kind::BLOB);
                    std::size_t available = 0;
                    for (std::size_t r = 0; r < s.rows; ++r)
                        for (std::size_t c = 0; c < s.cols; ++c) available += c != prot[r] && !std::isnan(before(r, c));
                    std::vector<std::size_t> targets{0, 1, available / 3, available - available / 5};
                    if (s.exhaust) targets.insert(targets.end(), {available, available + 5});
                    for (std::size_t target : targets) {
                        DataMatrix want = before;
                        Rng want_rng = start;
                        mnar::drop_blocks_literal(want, prot, want_rng, size, target);
                        for (const auto& tuning : tunings) {
                            DataMatrix got = before;
                            Rng got_rng = start;
                            stats = {};
                            mnar::drop_blocks(got, prot, got_rng, size, target, tuning);
                            built_mid_call += stats.tables_built && tuning.literal_checks != 0u;
                            looked_up += stats.looked_at;
                            EXPECT_TRUE(same_cells(got, want));
                            EXPECT_TRUE(same_stream(got_rng, want_rng));
                        }
                    }
                }
            }
        }
    }
    // The comparisons above mean something only if the tables were built
    // mid-call and looked up, not just in principle.
    EXPECT_TRUE(built_mid_call >= 100);
    EXPECT_TRUE(looked_up >= 10000);
}

// A draw that takes a second word shifts the words of every later rectangle of
// its batch. On a tall matrix (rows not a power of two, which never takes one)
// that happens about once in 2^32 / rows row or height draws, so calls that
// refuse a few hundred thousand rectangles see it many times; starting them at
// different words puts rectangles across the refills too.
TEST(mnar_pattern, block_batches_keep_draws_that_take_a_second_word) {
    const std::size_t rows = 250001, cols = 3;
    const DataMatrix before = random_matrix(rows, cols, 5, 0.4);
    const auto prot = nothing_protected(rows, cols);
    for (bool scalar_batches : {false, true}) {
        mnar::BlockStats stats;
        mnar::BlockTuning tuning;
        tuning.literal_checks = 0;
        tuning.scalar_batches = scalar_batches;
        tuning.stats = &stats;
        for (unsigned seed = 0; seed < 4; ++seed) {
            Rng start = porosa::rng_from_u64(seed);
            for (unsigned i = 0; i < seed % 4; ++i) start.next_u32();
            DataMatrix want = before, got = before;
            Rng want_rng = start, got_rng = start;
            mnar::drop_blocks_literal(want, prot, want_rng, {0.5, 0.5}, 100);
            mnar::drop_blocks(got, prot, got_rng, {0.5, 0.5}, 100, tuning);
            EXPECT_TRUE(same_cells(got, want));
            EXPECT_TRUE(same_stream(got_rng, want_rng));
        }
        EXPECT_TRUE(stats.redrawn >= 64);
    }
}
