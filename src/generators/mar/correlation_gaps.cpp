// Predictor search over the pairs in which a column holds a NaN. Such a pair's
// sums run over its own rows (those where both columns hold a value), with its
// own shifts and means, so nothing can be computed per column beforehand: each
// pair takes two sweeps of the rows, one for the shifted sums, one for the
// centred sums of squares and products.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "core/interrupt.hpp"
#include "generators/mar/correlation_stats.hpp"
#include "generators/mar/gap_cells.hpp"
#include "generators/mar/gap_sweeps.hpp"

namespace porosa::mar {

namespace {

using F = TileFigures;

std::size_t round_up(std::size_t n, std::size_t step) { return (n + step - 1) / step * step; }

// Appends `cols` as whole blocks, the last one padded.
void add_blocks(std::vector<std::size_t>& obs_cols, const std::vector<std::size_t>& cols, std::size_t lanes) {
    obs_cols.insert(obs_cols.end(), cols.begin(), cols.end());
    obs_cols.resize(round_up(obs_cols.size(), lanes), kNoColumn);
}

// The first row of each column that holds a value: a pair's first common row
// is no earlier than either's.
std::vector<std::size_t> first_values(const DataMatrix& data, const GapColumns& cols) {
    std::vector<std::size_t> first(data.cols(), 0);
    for (const auto* list : {&cols.miss, &cols.obs})
        for (std::size_t c : *list) {
            if (c == kNoColumn) continue;
            std::size_t r = 0;
            while (r < data.rows() && std::isnan(data(r, c))) ++r;
            first[c] = r;
        }
    return first;
}

// Strictly larger |corr|, or as large and earlier in the observed order: the
// record one scan of the observed columns in order would keep.
struct Better {
    const std::vector<std::size_t>& rank;
    bool operator()(double v, std::size_t col, const Predictor& best) const {
        return v > best.abs_corr || (v > 0.0 && v == best.abs_corr && rank[col] < rank[best.column]);
    }
};

// A pair's shifts are its columns' values in its first common row, usually
// found within a few rows of the columns' first values.
void start_tile(const GapCells& cells, const std::vector<std::size_t>& first, std::span<const std::size_t> slots,
                std::size_t b0, std::size_t nb, F& t) {
    const DataMatrix& data = cells.data();
    const GapColumns& cols = cells.cols();
    std::fill(t.v.begin(), t.v.end(), 0.0);
    for (std::size_t i = 0; i < slots.size(); ++i)
        for (std::size_t j = 0; j < nb * cols.lanes; ++j) {
            const std::size_t m = cols.miss[slots[i]], o = cols.obs[b0 * cols.lanes + j];
            if (o == kNoColumn) continue;
            const std::size_t r0 = std::max(first[m], first[o]);
            std::size_t r = r0;
            while (r < data.rows() && (std::isnan(data(r, m)) || std::isnan(data(r, o)))) ++r;
            // Columns whose values lie in different rows make this a sweep of its own.
            interrupt_point(r - r0 + 1);
            if (r == data.rows()) continue;
            *t.at(F::kShiftM, i, j) = data(r, m);
            *t.at(F::kShiftO, i, j) = data(r, o);
        }
}

void sweep(RowWindow& win, std::size_t rows, std::span<const std::size_t> slots, std::size_t b0, std::size_t nb,
           std::size_t lanes, SweepFn fn, F& t) {
    for (std::size_t r0 = 0; r0 < rows; r0 += kGapRows) {
        const std::size_t nr = std::min(kGapRows, rows - r0);
        interrupt_point(nr * slots.size() * nb * lanes);
        win.load(slots, b0, nb, r0, nr);
        for (std::size_t b = 0; b < nb; ++b)
            for (std::size_t i = 0; i < slots.size(); ++i) fn(win.x(i), win.y(b), nr, t, i, b * lanes);
    }
}

// The bests of the missing columns in `slots` among the observed blocks b0 .. b1.
void search_part(const GapCells& cells, const std::vector<std::size_t>& first, std::span<const std::size_t> slots,
                 std::size_t b0, std::size_t b1, const Better& better, Predictor* best) {
    const std::size_t lanes = cells.cols().lanes, rows = cells.data().rows();
    const Sweeps sweeps = gap_sweeps(lanes);
    const std::size_t tile_blocks = F::kLanes / lanes;
    RowWindow win(cells);
    F t;
    for (std::size_t bt = b0; bt < b1; bt += tile_blocks) {
        const std::size_t nb = std::min(tile_blocks, b1 - bt), width = nb * lanes;
        start_tile(cells, first, slots, bt, nb, t);
        sweep(win, rows, slots, bt, nb, lanes, sweeps.sums, t);
        for (std::size_t i = 0; i < slots.size(); ++i)
            for (std::size_t j = 0; j < width; ++j) {
                *t.at(F::kMeanM, i, j) /= *t.at(F::kCount, i, j);
                *t.at(F::kMeanO, i, j) /= *t.at(F::kCount, i, j);
            }
        sweep(win, rows, slots, bt, nb, lanes, sweeps.squares, t);
        for (std::size_t i = 0; i < slots.size(); ++i)
            for (std::size_t j = 0; j < width; ++j) {
                const std::size_t col = cells.cols().obs[bt * lanes + j];
                if (col == kNoColumn || *t.at(F::kCount, i, j) < 2.0) continue;
                const double spread_m = std::sqrt(*t.at(F::kSqM, i, j)), spread_o = std::sqrt(*t.at(F::kSqO, i, j));
                const double v = std::abs(*t.at(F::kProd, i, j) / (spread_m * spread_o));
                // A NaN never compares greater, so it is never taken.
                if (better(v, col, best[i])) best[i] = {v, col};
            }
    }
}

// A run of missing columns (slots) against a run of observed blocks.
struct Task {
    std::size_t s0, s1, b0, b1;
};

// Tiles of each group's slots against parts of its blocks. Every task reads all
// the rows, so few tiles are split into no more parts than there are threads.
std::vector<Task> tasks(std::span<const std::pair<std::size_t, std::size_t>> groups,
                        std::span<const std::size_t> group_blocks, std::size_t threads) {
    std::size_t tiles = 0;
    for (std::size_t g = 0; g < groups.size(); ++g)
        if (group_blocks[g]) tiles += (groups[g].second - groups[g].first + F::kMiss - 1) / F::kMiss;
    std::vector<Task> out;
    if (tiles == 0) return out;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::size_t nb = group_blocks[g];
        if (nb == 0) continue;
        const std::size_t parts = std::clamp((threads + tiles - 1) / tiles, std::size_t{1}, nb);
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
// groups read the same cells.
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

    GapColumns cols;
    cols.lanes = lanes;
    for (const auto* group : {&gap_miss, &full_miss})
        for (std::size_t k : *group) cols.miss.push_back(missing[k]);
    add_blocks(cols.obs, gap_obs, lanes);
    const std::size_t gap_blocks = cols.blocks();
    add_blocks(cols.obs, full_obs, lanes);
    if (cols.blocks() == 0) return;
    const GapCells cells(data, cols, pool);
    const std::vector<std::size_t> first = first_values(data, cols);

    const std::pair<std::size_t, std::size_t> groups[] = {{0, gap_miss.size()}, {gap_miss.size(), cols.miss.size()}};
    const std::size_t group_blocks[] = {cols.blocks(), gap_blocks};
    const std::vector<Task> work = tasks(groups, group_blocks, pool.threads());
    std::vector<std::size_t> rank(data.cols()), slots(cols.miss.size());
    for (std::size_t i = 0; i < observed.size(); ++i) rank[observed[i]] = i;
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = i;
    const Better better{rank};
    std::vector<Predictor> found(work.size() * F::kMiss);
    pool.run(work.size(), [&](std::size_t w) {
        const Task& k = work[w];
        search_part(cells, first, std::span(slots).subspan(k.s0, k.s1 - k.s0), k.b0, k.b1, better,
                    &found[w * F::kMiss]);
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
