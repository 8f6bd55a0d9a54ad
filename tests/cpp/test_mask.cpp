#include <cstdint>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/panic.hpp"
#include "generators/common/mask.hpp"
#include "generators/common/mode.hpp"
#include "generators/common/rng.hpp"
#include "harness.hpp"

using porosa::Kind;
using porosa::Position;

namespace {

porosa::Mode mode_of(Kind kind) {
    porosa::Mode m;
    m.kind = kind;
    return m;
}

std::vector<std::size_t> shape(std::size_t rows, std::size_t cols) { return {rows, cols}; }

// Distinct, non-NaN cell values so that an untouched cell is recognisable bit for bit.
porosa::DataMatrix numbered(std::size_t rows, std::size_t cols) {
    porosa::DataMatrix m(rows, cols);
    for (std::size_t k = 0; k < m.size(); ++k) m.storage()[k] = 0.5 + double(k) * 1.25;
    return m;
}

}  // namespace

TEST(mask, fix_block_protects_one_column) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        porosa::Rng a = porosa::rng_from_u64(seed), b = porosa::rng_from_u64(seed);
        auto got = porosa::fix(shape(5, 3), a, mode_of(Kind::BLOCK));
        std::size_t c = b.index_below(3);
        EXPECT_EQ(got, std::vector<std::size_t>(5, c));
        EXPECT_EQ(a.next_u32(), b.next_u32());  // one index draw and no more
    }
}

TEST(mask, fix_other_modes_draw_per_row) {
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN, Kind::BLOB}) {
        for (std::uint64_t seed : {3ull, 4ull}) {
            porosa::Rng a = porosa::rng_from_u64(seed), b = porosa::rng_from_u64(seed);
            auto got = porosa::fix(shape(5, 3), a, mode_of(kind));
            ASSERT_EQ(got.size(), 5u);
            for (std::size_t r = 0; r < 5; ++r) EXPECT_EQ(got[r], b.index_below(3));
            EXPECT_EQ(a.next_u32(), b.next_u32());
        }
    }
}

TEST(mask, fix_without_rows_or_columns) {
    {
        porosa::Rng a = porosa::rng_from_u64(9), b = porosa::rng_from_u64(9);
        EXPECT_TRUE(porosa::fix(shape(0, 3), a, mode_of(Kind::BLOCK)).empty());
        b.index_below(3);  // BLOCK still draws its column
        EXPECT_EQ(a.next_u32(), b.next_u32());
    }
    {
        porosa::Rng a = porosa::rng_from_u64(9), b = porosa::rng_from_u64(9);
        EXPECT_TRUE(porosa::fix(shape(0, 3), a, mode_of(Kind::MAX)).empty());
        EXPECT_TRUE(porosa::fix(shape(0, 0), a, mode_of(Kind::MAX)).empty());
        EXPECT_EQ(a.next_u32(), b.next_u32());  // nothing drawn
    }
    porosa::Rng rng = porosa::rng_from_u64(9);
    EXPECT_THROW_MSG(porosa::fix(shape(0, 0), rng, mode_of(Kind::BLOCK)), porosa::Panic,
                     "cannot sample empty range");
    EXPECT_THROW_MSG(porosa::fix(shape(4, 0), rng, mode_of(Kind::BLOCK)), porosa::Panic,
                     "cannot sample empty range");
    EXPECT_THROW_MSG(porosa::fix(shape(2, 0), rng, mode_of(Kind::GM)), porosa::Panic, "cannot sample empty range");
}

TEST(mask, fix_shape_needs_two_entries) {
    porosa::Rng rng = porosa::rng_from_u64(0);
    const std::vector<std::size_t> one = {5}, none = {}, three = {4, 2, 9};
    for (Kind kind : {Kind::GM, Kind::BLOCK}) {
        EXPECT_THROW_MSG(porosa::fix(one, rng, mode_of(kind)), porosa::Panic, "fix() needs at least [rows, cols]");
        EXPECT_THROW_MSG(porosa::fix(none, rng, mode_of(kind)), porosa::Panic, "fix() needs at least [rows, cols]");
    }
    // Entries past the second are ignored.
    auto got = porosa::fix(three, rng, mode_of(Kind::GM));
    ASSERT_EQ(got.size(), 4u);
    for (std::size_t c : got) EXPECT_LT(c, 2u);
}

TEST(mask, remove_writes_missing_nan) {
    porosa::DataMatrix m = numbered(3, 2);
    const porosa::DataMatrix before = m;
    const std::vector<Position> pos = {{0, 1}, {2, 0}};
    EXPECT_EQ(porosa::remove(m, pos), 2u);
    for (std::size_t k = 0; k < 6; ++k) {
        if (k == 1 || k == 4)
            EXPECT_EQ(harness::bits(m.storage()[k]), 0x7FF8000000000000ull);
        else
            EXPECT_BITEQ(m.storage()[k], before.storage()[k]);
    }
    // Repeats and cells that are already missing still count.
    const std::vector<Position> again = {{0, 1}, {0, 1}, {1, 1}};
    EXPECT_EQ(porosa::remove(m, again), 3u);
    EXPECT_EQ(harness::bits(m(1, 1)), 0x7FF8000000000000ull);
    EXPECT_BITEQ(m(1, 0), before(1, 0));
    EXPECT_EQ(porosa::remove(m, std::vector<Position>{}), 0u);
}

TEST(mask, remove_large_list_on_the_pool) {
    const std::size_t rows = 1000, cols = 7;
    porosa::DataMatrix m = numbered(rows, cols);
    const porosa::DataMatrix before = m;
    std::vector<Position> pos;
    std::vector<bool> hit(rows * cols, false);
    porosa::Rng rng = porosa::rng_from_u64(17);
    for (int k = 0; k < 3000; ++k) {
        Position p{rng.index_below(rows), rng.index_below(cols)};
        pos.push_back(p);
        hit[p.first * cols + p.second] = true;
    }
    EXPECT_EQ(porosa::remove(m, pos), pos.size());
    for (std::size_t k = 0; k < rows * cols; ++k) {
        if (hit[k])
            EXPECT_EQ(harness::bits(m.storage()[k]), 0x7FF8000000000000ull);
        else
            EXPECT_BITEQ(m.storage()[k], before.storage()[k]);
    }
}

TEST(mask, remove_rejects_positions_outside) {
    porosa::DataMatrix m = numbered(3, 2);
    const std::vector<Position> bad_col = {{0, 0}, {1, 2}}, bad_row = {{3, 0}};
    EXPECT_THROW_MSG(porosa::remove(m, bad_col), porosa::Panic, "index out of bounds: the len is 2 but the index is 2");
    EXPECT_THROW_MSG(porosa::remove(m, bad_row), porosa::Panic, "index out of bounds: the len is 3 but the index is 3");
}
