#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "core/cpu_features.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/mar/correlation_stats.hpp"

namespace porosa::mar {

namespace {

// A tile pairs up to kMissTile missing columns with up to kObsTile observed
// ones. Its sums stay in cache while the rows go past kRows at a time, each
// block of rows first gathered, centred, into two contiguous panels.
constexpr std::size_t kMissTile = 32, kObsTile = 64, kRows = 128;
// A register block updates kMr missing x `lanes` observed sums together.
constexpr std::size_t kMr = 4;
static_assert(kObsTile % 8 == 0 && kMissTile % kMr == 0, "a tile holds whole register blocks");
// Few missing columns against many observed ones still make this many tasks:
// the observed columns are then split into parts whose bests are merged in order.
constexpr std::size_t kMinTasks = 16;

std::size_t round_up(std::size_t n, std::size_t step) { return (n + step - 1) / step * step; }

// panel[r * width + i]: the centred value of column cols[i] in row r0 + r;
// the lanes up to the next multiple of `step` are zero.
void gather(const DataMatrix& data, const ColumnStats& s, std::span<const std::size_t> cols, std::size_t r0,
            std::size_t nr, std::size_t width, std::size_t step, double* panel) {
    for (std::size_t r = 0; r < nr; ++r) {
        const double* row = data.data() + (r0 + r) * data.cols();
        double* out = panel + r * width;
        for (std::size_t i = 0; i < cols.size(); ++i) out[i] = s.centred(row[cols[i]], cols[i]);
        std::fill(out + cols.size(), out + round_up(cols.size(), step), 0.0);
    }
}

// sums[i][j] += a[r][i] * b[r][j] over the block's rows, in row order: every
// lane is one pair's own sum, so the pairs run side by side without any
// pair's rounding depending on another, and the vector width changes nothing.
template <std::size_t kNr>
[[gnu::always_inline]] inline void add_products(const double* a, const double* b, std::size_t nr, double* sums) {
    double c[kMr][kNr];
    for (std::size_t i = 0; i < kMr; ++i)
        for (std::size_t j = 0; j < kNr; ++j) c[i][j] = sums[i * kObsTile + j];
    for (std::size_t r = 0; r < nr; ++r) {
        const double* ar = a + r * kMissTile;
        const double* br = b + r * kObsTile;
        for (std::size_t i = 0; i < kMr; ++i)
            for (std::size_t j = 0; j < kNr; ++j) c[i][j] += ar[i] * br[j];
    }
    for (std::size_t i = 0; i < kMr; ++i)
        for (std::size_t j = 0; j < kNr; ++j) sums[i * kObsTile + j] = c[i][j];
}

using AddFn = void (*)(const double*, const double*, std::size_t, double*);

void add_products_4(const double* a, const double* b, std::size_t nr, double* sums) {
    add_products<4>(a, b, nr, sums);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void add_products_8(const double* a, const double* b, std::size_t nr,
                                                     double* sums) {
    add_products<8>(a, b, nr, sums);
}
#endif

AddFn add_fn(std::size_t lanes) {
#if defined(__x86_64__)
    if (lanes == 8) return add_products_8;
#endif
    return add_products_4;
}

// Folds a tile's sums into the missing columns' records, observed columns in
// order. With few rows this, not the sums, is most of the work, so the
// divisions run as one loop the compiler can vectorise, apart from the scan.
void take_best(const ColumnStats& s, std::span<const std::size_t> missing, std::span<const std::size_t> tile,
               const double* sums, Predictor* best) {
    double spread[kObsTile], v[kObsTile];
    for (std::size_t j = 0; j < tile.size(); ++j) spread[j] = s.spread[tile[j]];
    for (std::size_t i = 0; i < missing.size(); ++i) {
        const double sm = s.spread[missing[i]];
        const double* row = sums + i * kObsTile;
        for (std::size_t j = 0; j < tile.size(); ++j) v[j] = std::abs(row[j] / (sm * spread[j]));
        // A NaN never compares greater, so it is never taken.
        for (std::size_t j = 0; j < tile.size(); ++j)
            if (v[j] > best[i].abs_corr) best[i] = {v[j], tile[j]};
    }
}

// Each missing column's best among `observed`, visited in order; a record stays
// (0, 0) when nothing is positive.
void best_in_part(const DataMatrix& data, const ColumnStats& s, std::span<const std::size_t> missing,
                  std::span<const std::size_t> observed, std::size_t lanes, Predictor* best) {
    const AddFn add = add_fn(lanes);
    std::vector<double> a(kRows * kMissTile), b(kRows * kObsTile), sums(kMissTile * kObsTile);
    const std::size_t wm = round_up(missing.size(), kMr);
    for (std::size_t o0 = 0; o0 < observed.size(); o0 += kObsTile) {
        const auto tile = observed.subspan(o0, std::min(kObsTile, observed.size() - o0));
        const std::size_t wo = round_up(tile.size(), lanes);
        std::fill(sums.begin(), sums.end(), 0.0);
        for (std::size_t r0 = 0; r0 < data.rows(); r0 += kRows) {
            const std::size_t nr = std::min(kRows, data.rows() - r0);
            interrupt_point(nr * wm * wo);
            gather(data, s, missing, r0, nr, kMissTile, kMr, a.data());
            gather(data, s, tile, r0, nr, kObsTile, lanes, b.data());
            for (std::size_t i = 0; i < wm; i += kMr)
                for (std::size_t j = 0; j < wo; j += lanes)
                    add(a.data() + i, b.data() + j, nr, sums.data() + i * kObsTile + j);
        }
        take_best(s, missing, tile, sums.data(), best);
    }
}

std::vector<std::size_t> correlating(std::span<const std::size_t> cols, const ColumnStats& s) {
    std::vector<std::size_t> out;
    for (std::size_t c : cols)
        if (!s.never_correlates(c)) out.push_back(c);
    return out;
}

}  // namespace

// The register widths in doubles that this build and processor can run,
// narrowest first. The tests reach it through tests/cpp/seams.hpp.
std::vector<std::size_t> supported_lanes() {
    std::vector<std::size_t> out{4};
#if defined(__x86_64__)
    // GCC's 512-bit form of this loop shuffles more than it multiplies, so it
    // stops here.
    if (cpu_has_avx2()) out.push_back(8);
#endif
    return out;
}

// Tasks pair a tile of missing columns with a part of the observed ones, so
// each pair's sum is made whole by one task. Pairs with a column holding a NaN
// are left to merge_gap_predictors: the rest keep the statistics over all the
// rows, and so the same bits as on data without any gap. `lanes`, one of
// supported_lanes() (anything else means the widest), is how many pairs a
// vector register serves: it changes the speed, never the result, so the
// library always takes the widest and the tests (tests/cpp/seams.hpp) each.
std::vector<Predictor> best_predictors_in_lanes(const DataMatrix& data, std::span<const std::size_t> missing,
                                                std::span<const std::size_t> observed, Pool& pool,
                                                std::size_t lanes) {
    static const std::size_t widest = supported_lanes().back();
    if ((lanes != 4 && lanes != 8) || lanes > widest) lanes = widest;
    if (data.rows() == 0 || data.cols() == 0) panic("Failed to calculate pearson_correlation: EmptyInput");
    const ColumnStats s = column_stats(data, pool);
    const Predictor fallback{0.0, observed.empty() ? std::size_t{0} : observed.front()};
    std::vector<Predictor> records(missing.size(), fallback);

    std::vector<std::size_t> where;  // places in `missing` of the columns that can have a predictor
    for (std::size_t k = 0; k < missing.size(); ++k)
        if (!s.never_correlates(missing[k])) where.push_back(k);
    const std::vector<std::size_t> obs = correlating(observed, s);
    if (!where.empty() && !obs.empty()) {
        std::vector<std::size_t> miss(where.size());
        for (std::size_t i = 0; i < where.size(); ++i) miss[i] = missing[where[i]];
        const std::size_t tiles = (miss.size() + kMissTile - 1) / kMissTile;
        const std::size_t obs_tiles = (obs.size() + kObsTile - 1) / kObsTile;
        const std::size_t parts = std::clamp((kMinTasks + tiles - 1) / tiles, std::size_t{1}, obs_tiles);
        std::vector<Predictor> part_best(parts * miss.size(), Predictor{0.0, 0});
        pool.run(tiles * parts, [&](std::size_t t) {
            const std::size_t tile = t / parts, part = t % parts;
            const std::size_t m0 = tile * kMissTile, m1 = std::min(miss.size(), m0 + kMissTile);
            const std::size_t o0 = part * obs_tiles / parts * kObsTile;
            const std::size_t o1 = std::min(obs.size(), (part + 1) * obs_tiles / parts * kObsTile);
            best_in_part(data, s, std::span(miss).subspan(m0, m1 - m0), std::span(obs).subspan(o0, o1 - o0),
                         lanes, part_best.data() + part * miss.size() + m0);
        });
        // The parts' bests merged in part order with the same strict
        // comparison: the plain scan's result, whatever the split.
        for (std::size_t i = 0; i < miss.size(); ++i) {
            Predictor& best = records[where[i]];
            for (std::size_t p = 0; p < parts; ++p)
                if (part_best[p * miss.size() + i].abs_corr > best.abs_corr) best = part_best[p * miss.size() + i];
        }
    }
    merge_gap_predictors(data, s, missing, observed, pool, lanes, records);
    return records;
}

std::vector<Predictor> best_predictors(const DataMatrix& data, std::span<const std::size_t> missing,
                                       std::span<const std::size_t> observed, Pool& pool) {
    return best_predictors_in_lanes(data, missing, observed, pool, 0);
}

}  // namespace porosa::mar
