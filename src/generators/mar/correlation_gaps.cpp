// Predictor search over the pairs in which a column holds a NaN. Such a pair's
// sums run over its own rows (those where both columns hold a value), with its
// own shifts and means, so nothing can be computed per column beforehand: each
// pair takes two sweeps of the rows, one for the shifted sums, one for the
// centred sums of squares and products.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/interrupt.hpp"
#include "generators/mar/correlation_stats.hpp"
#include "generators/mar/gap_sweeps.hpp"

namespace porosa::mar {

namespace {

using F = TileFigures;

// Rows per step of a sweep: a block of observed lanes stays in L1 meanwhile,
// for every missing column of the tile.
constexpr std::size_t kRows = 128;
// Few missing columns still make this many tasks, by splitting the observed ones.
constexpr std::size_t kMinTasks = 16;
constexpr std::size_t kNone = ~std::size_t{0};

std::size_t round_up(std::size_t n, std::size_t step) { return (n + step - 1) / step * step; }

// The columns that take part, copied once so that the sweeps read memory in
// order instead of picking cells out of long rows: the missing ones one after
// the other, the observed ones in blocks of `lanes` side by side, row by row.
// One bit per cell marks a NaN.
struct Packed {
    std::size_t rows = 0, lanes = 0, words = 0;
    std::vector<std::size_t> miss_cols, obs_cols;  // obs_cols[block * lanes + lane]; kNone pads a block
    // Every cell is written before it is read: no time goes into zeroing them.
    std::unique_ptr<double[]> miss, obs;  // miss[slot * rows + r], obs[(block * rows + r) * lanes + lane]
    std::unique_ptr<std::uint64_t[]> miss_nan, obs_nan;  // [slot or block * lanes + lane][word]

    std::size_t blocks() const { return obs_cols.size() / lanes; }
    const double* miss_at(std::size_t slot, std::size_t r) const { return miss.get() + slot * rows + r; }
    const double* obs_at(std::size_t block, std::size_t r) const { return obs.get() + (block * rows + r) * lanes; }
};

// Appends `cols` as whole blocks, the last one padded.
void add_blocks(std::vector<std::size_t>& obs_cols, const std::vector<std::size_t>& cols, std::size_t lanes) {
    obs_cols.insert(obs_cols.end(), cols.begin(), cols.end());
    obs_cols.resize(round_up(obs_cols.size(), lanes), kNone);
}

// Word by word, so that no two tasks write the same one. The word's rows stay
// in cache meanwhile: the missing columns are copied one after the other, each
// to a run of its own, and the observed ones row by row, to one run per block.
void fill(const DataMatrix& data, Packed& p, Pool& pool) {
    const std::size_t nm = p.miss_cols.size(), no = p.obs_cols.size();
    p.miss = std::make_unique_for_overwrite<double[]>(nm * p.rows);
    p.obs = std::make_unique_for_overwrite<double[]>(no * p.rows);
    p.miss_nan = std::make_unique_for_overwrite<std::uint64_t[]>(nm * p.words);
    p.obs_nan = std::make_unique_for_overwrite<std::uint64_t[]>(no * p.words);
    pool.run(p.words, [&](std::size_t w) {
        interrupt_point(64 * (nm + no));
        const std::size_t r0 = w * 64, r1 = std::min(p.rows, r0 + 64);
        for (std::size_t s = 0; s < nm; ++s) {
            std::uint64_t nan = 0;
            for (std::size_t r = r0; r < r1; ++r) {
                const double x = data(r, p.miss_cols[s]);
                p.miss[s * p.rows + r] = x;
                nan |= std::uint64_t{std::isnan(x)} << (r - r0);
            }
            p.miss_nan[s * p.words + w] = nan;
        }
        for (std::size_t k = 0; k < no; ++k) p.obs_nan[k * p.words + w] = 0;
        for (std::size_t r = r0; r < r1; ++r) {
            const double* row = data.data() + r * data.cols();
            const std::uint64_t bit = std::uint64_t{1} << (r - r0);
            for (std::size_t b = 0, k = 0; b < p.blocks(); ++b) {
                double* out = p.obs.get() + (b * p.rows + r) * p.lanes;
                for (std::size_t l = 0; l < p.lanes; ++l, ++k) {
                    const double x = p.obs_cols[k] == kNone ? missing_nan() : row[p.obs_cols[k]];
                    out[l] = x;
                    if (std::isnan(x)) p.obs_nan[k * p.words + w] |= bit;
                }
            }
        }
    });
}

// The first row where neither column has a NaN (rows when none), and how many
// such rows there are.
struct Common {
    std::size_t first, count;
};
Common common_rows(const std::uint64_t* a, const std::uint64_t* b, std::size_t words, std::size_t rows) {
    Common c{rows, rows};
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t gaps = a[w] | b[w];
        c.count -= static_cast<std::size_t>(std::popcount(gaps));
        if (c.first == rows && ~gaps != 0) c.first = std::min(rows, w * 64 + std::countr_zero(~gaps));
    }
    return c;
}

// Strictly larger |corr|, or as large and earlier in the observed order: the
// record one scan of the observed columns in order would keep.
struct Better {
    const std::vector<std::size_t>& rank;
    bool operator()(double v, std::size_t col, const Predictor& best) const {
        return v > best.abs_corr || (v > 0.0 && v == best.abs_corr && rank[col] < rank[best.column]);
    }
};

// A pair's shifts are its columns' values in its first common row.
void start_tile(const Packed& p, std::span<const std::size_t> slots, std::size_t b0, std::size_t nb, F& t) {
    std::fill(t.v.begin(), t.v.end(), 0.0);
    for (std::size_t i = 0; i < slots.size(); ++i)
        for (std::size_t j = 0; j < nb * p.lanes; ++j) {
            const std::size_t k = b0 * p.lanes + j;
            if (p.obs_cols[k] == kNone) continue;
            const Common c = common_rows(&p.miss_nan[slots[i] * p.words], &p.obs_nan[k * p.words], p.words, p.rows);
            *t.at(F::kCount, i, j) = static_cast<double>(c.count);
            if (c.count == 0) continue;
            *t.at(F::kShiftM, i, j) = *p.miss_at(slots[i], c.first);
            *t.at(F::kShiftO, i, j) = p.obs_at(b0 + j / p.lanes, c.first)[j % p.lanes];
        }
}

void sweep(const Packed& p, std::span<const std::size_t> slots, std::size_t b0, std::size_t nb, SweepFn fn, F& t) {
    for (std::size_t r0 = 0; r0 < p.rows; r0 += kRows) {
        const std::size_t nr = std::min(kRows, p.rows - r0);
        interrupt_point(nr * slots.size() * nb * p.lanes);
        for (std::size_t b = 0; b < nb; ++b)
            for (std::size_t i = 0; i < slots.size(); ++i)
                fn(p.miss_at(slots[i], r0), p.obs_at(b0 + b, r0), nr, t, i, b * p.lanes);
    }
}

// The bests of the missing columns in `slots` among the observed blocks b0 .. b1.
void search_part(const Packed& p, std::span<const std::size_t> slots, std::size_t b0, std::size_t b1,
                 const Better& better, Predictor* best) {
    const Sweeps sweeps = gap_sweeps(p.lanes);
    const std::size_t tile_blocks = F::kLanes / p.lanes;
    F t;
    for (std::size_t bt = b0; bt < b1; bt += tile_blocks) {
        const std::size_t nb = std::min(tile_blocks, b1 - bt), width = nb * p.lanes;
        start_tile(p, slots, bt, nb, t);
        sweep(p, slots, bt, nb, sweeps.sums, t);
        for (std::size_t i = 0; i < slots.size(); ++i)
            for (std::size_t j = 0; j < width; ++j) {
                *t.at(F::kMeanM, i, j) /= *t.at(F::kCount, i, j);
                *t.at(F::kMeanO, i, j) /= *t.at(F::kCount, i, j);
            }
        sweep(p, slots, bt, nb, sweeps.squares, t);
        for (std::size_t i = 0; i < slots.size(); ++i)
            for (std::size_t j = 0; j < width; ++j) {
                if (*t.at(F::kCount, i, j) < 2.0) continue;
                const double spread_m = std::sqrt(*t.at(F::kSqM, i, j)), spread_o = std::sqrt(*t.at(F::kSqO, i, j));
                const double v = std::abs(*t.at(F::kProd, i, j) / (spread_m * spread_o));
                // A NaN never compares greater, so it is never taken.
                const std::size_t col = p.obs_cols[bt * p.lanes + j];
                if (better(v, col, best[i])) best[i] = {v, col};
            }
    }
}

// A run of missing columns (slots) against a run of observed blocks.
struct Task {
    std::size_t s0, s1, b0, b1;
};

// Tiles of each group's slots against parts of its blocks.
std::vector<Task> tasks(std::span<const std::pair<std::size_t, std::size_t>> groups,
                        std::span<const std::size_t> group_blocks) {
    std::size_t tiles = 0;
    for (std::size_t g = 0; g < groups.size(); ++g)
        if (group_blocks[g]) tiles += (groups[g].second - groups[g].first + F::kMiss - 1) / F::kMiss;
    std::vector<Task> out;
    if (tiles == 0) return out;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::size_t nb = group_blocks[g];
        if (nb == 0) continue;
        const std::size_t parts = std::clamp((kMinTasks + tiles - 1) / tiles, std::size_t{1}, nb);
        for (std::size_t s0 = groups[g].first; s0 < groups[g].second; s0 += F::kMiss)
            for (std::size_t q = 0; q < parts; ++q)
                out.push_back({s0, std::min(groups[g].second, s0 + F::kMiss), q * nb / parts, (q + 1) * nb / parts});
    }
    return out;
}

}  // namespace

// A column flat over all its rows is flat over any of them, and one with fewer
// than two values has no two common rows with another: both are left out. A
// column without a NaN but with an infinity takes part, since a pair's common
// rows may leave the infinity out.
//
// Missing columns with gaps pair with every observed column, the others only
// with the observed columns with gaps: these come first in the blocks, so both
// groups read the same copy.
void merge_gap_predictors(const DataMatrix& data, const ColumnStats& s, std::span<const std::size_t> missing,
                          std::span<const std::size_t> observed, Pool& pool, std::size_t lanes,
                          std::vector<Predictor>& records) {
    const auto usable = [&](std::size_t c) { return s.has_gaps(c) ? !s.lone[c] : !s.flat[c]; };
    std::vector<std::size_t> gap_obs, full_obs, gap_miss, full_miss;  // observed columns; places in `missing`
    for (std::size_t o : observed)
        if (usable(o)) (s.has_gaps(o) ? gap_obs : full_obs).push_back(o);
    for (std::size_t k = 0; k < missing.size(); ++k)
        if (usable(missing[k])) (s.has_gaps(missing[k]) ? gap_miss : full_miss).push_back(k);
    if (gap_obs.empty()) full_miss.clear();
    if (gap_miss.empty()) full_obs.clear();
    if (gap_miss.empty() && full_miss.empty()) return;

    Packed p;
    p.rows = data.rows(), p.lanes = lanes, p.words = (p.rows + 63) / 64;
    for (const auto* group : {&gap_miss, &full_miss})
        for (std::size_t k : *group) p.miss_cols.push_back(missing[k]);
    add_blocks(p.obs_cols, gap_obs, lanes);
    const std::size_t gap_blocks = p.blocks();
    add_blocks(p.obs_cols, full_obs, lanes);
    if (p.blocks() == 0) return;
    fill(data, p, pool);

    const std::pair<std::size_t, std::size_t> groups[] = {{0, gap_miss.size()},
                                                          {gap_miss.size(), p.miss_cols.size()}};
    const std::size_t group_blocks[] = {p.blocks(), gap_blocks};
    const std::vector<Task> work = tasks(groups, group_blocks);
    std::vector<std::size_t> rank(data.cols()), slots(p.miss_cols.size());
    for (std::size_t i = 0; i < observed.size(); ++i) rank[observed[i]] = i;
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i;
    const Better better{rank};
    std::vector<Predictor> found(work.size() * F::kMiss);
    pool.run(work.size(), [&](std::size_t w) {
        const Task& k = work[w];
        search_part(p, std::span(slots).subspan(k.s0, k.s1 - k.s0), k.b0, k.b1, better, &found[w * F::kMiss]);
    });

    std::vector<std::size_t> place(gap_miss);
    place.insert(place.end(), full_miss.begin(), full_miss.end());
    for (std::size_t w = 0; w < work.size(); ++w)
        for (std::size_t s = work[w].s0; s < work[w].s1; ++s) {
            const Predictor& f = found[w * F::kMiss + (s - work[w].s0)];
            if (better(f.abs_corr, f.column, records[place[s]])) records[place[s]] = f;
        }
}

}  // namespace porosa::mar
