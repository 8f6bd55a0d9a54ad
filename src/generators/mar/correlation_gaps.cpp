// Predictor search over the pairs in which a column holds a NaN. Such a pair's
// sums run over its own rows (those where both columns hold a value), with its
// own shifts and means, so nothing can be computed per column beforehand: each
// pair takes two sweeps of the rows, one for the shifted sums and the count,
// one for the centred sums of squares and products.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "core/interrupt.hpp"
#include "generators/mar/correlation_stats.hpp"

namespace porosa::mar {

namespace {

// A tile pairs up to kMissTile missing columns with up to kObsTile observed
// ones; the rows go past kRows at a time, gathered into two panels.
constexpr std::size_t kMissTile = 32, kObsTile = 64, kRows = 128;

// One pair's running figures, one array of a tile's pairs each, [missing][observed].
enum Field : std::size_t { kShiftM, kShiftO, kSumM, kSumO, kCount, kSqM, kSqO, kProd, kFields };

struct TileSums {
    std::vector<double> v = std::vector<double>(kFields * kMissTile * kObsTile);
    double* at(Field f, std::size_t i, std::size_t j) { return v.data() + (f * kMissTile + i) * kObsTile + j; }
};

// GCC's vector types, one register wide: 2 doubles for the baseline, 4 with
// AVX2. A sweep holds K of them per figure, so a call serves K x width pairs.
typedef double Vec2 __attribute__((vector_size(16)));
#if defined(__x86_64__)
// Used only inside functions built for AVX2, always inlined there, so no call
// ever passes one by the ABI GCC warns about.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double Vec4 __attribute__((vector_size(32)));
#endif

// Masks instead of the ?: of vectors, which GCC turns into branches per lane.
template <class V, class M>
[[gnu::always_inline]] inline V keep(M mask, V v) {
    return (V)((M)v & mask);
}
template <class V, class M>
[[gnu::always_inline]] inline V pick(M mask, V yes, V no) {
    return (V)(((M)yes & mask) | ((M)no & ~mask));
}

template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline V splat(double x) {
    V v;
    for (std::size_t k = 0; k < sizeof(V) / sizeof(double); ++k) v[k] = x;
    return v;
}

// Loads or stores K vectors of one figure from lane j on.
template <class V, std::size_t K>
[[gnu::always_inline]] inline void load_k(V (&v)[K], const double* p) {
    for (std::size_t k = 0; k < K; ++k) v[k] = load<V>(p + k * sizeof(V) / sizeof(double));
}
template <class V, std::size_t K>
[[gnu::always_inline]] inline void store_k(double* p, const V (&v)[K]) {
    for (std::size_t k = 0; k < K; ++k) store(p + k * sizeof(V) / sizeof(double), v[k]);
}

// The first sweep for missing column i of the tile against K x width observed
// lanes from j. A pair's shift is taken in its first common row, where the
// shifted value is then exactly zero. A row a pair skips adds +0.0 (all bits
// masked off), which leaves its sum as it was: a sum that starts at +0.0 is
// never -0.0.
template <class V, std::size_t K>
[[gnu::always_inline]] inline void sweep_sums(const double* a, const double* b, std::size_t nr, TileSums& t,
                                              std::size_t i, std::size_t j) {
    constexpr std::size_t kW = sizeof(V) / sizeof(double);
    const V zero = splat<V>(0.0), one = splat<V>(1.0);
    V hm[K], ho[K], sm[K], so[K], n[K];
    load_k(hm, t.at(kShiftM, i, j)), load_k(ho, t.at(kShiftO, i, j));
    load_k(sm, t.at(kSumM, i, j)), load_k(so, t.at(kSumO, i, j)), load_k(n, t.at(kCount, i, j));
    for (std::size_t r = 0; r < nr; ++r) {
        const double x = a[r * kMissTile];
        if (std::isnan(x)) continue;
        const V xv = splat<V>(x);
        for (std::size_t k = 0; k < K; ++k) {
            const V y = load<V>(b + r * kObsTile + k * kW);
            const auto both = y == y;
            const auto first = both & (n[k] == zero);
            hm[k] = pick(first, xv, hm[k]);
            ho[k] = pick(first, y, ho[k]);
            sm[k] += keep(both, xv - hm[k]);
            so[k] += keep(both, y - ho[k]);
            n[k] += keep(both, one);
        }
    }
    store_k(t.at(kShiftM, i, j), hm), store_k(t.at(kShiftO, i, j), ho);
    store_k(t.at(kSumM, i, j), sm), store_k(t.at(kSumO, i, j), so), store_k(t.at(kCount, i, j), n);
}

// The second sweep; kSumM and kSumO hold the means by then.
template <class V, std::size_t K>
[[gnu::always_inline]] inline void sweep_squares(const double* a, const double* b, std::size_t nr, TileSums& t,
                                                 std::size_t i, std::size_t j) {
    constexpr std::size_t kW = sizeof(V) / sizeof(double);
    V hm[K], ho[K], mm[K], mo[K], qm[K], qo[K], p[K];
    load_k(hm, t.at(kShiftM, i, j)), load_k(ho, t.at(kShiftO, i, j));
    load_k(mm, t.at(kSumM, i, j)), load_k(mo, t.at(kSumO, i, j));
    load_k(qm, t.at(kSqM, i, j)), load_k(qo, t.at(kSqO, i, j)), load_k(p, t.at(kProd, i, j));
    for (std::size_t r = 0; r < nr; ++r) {
        const double x = a[r * kMissTile];
        if (std::isnan(x)) continue;
        const V xv = splat<V>(x);
        for (std::size_t k = 0; k < K; ++k) {
            const V y = load<V>(b + r * kObsTile + k * kW);
            const auto both = y == y;
            const V dm = (xv - hm[k]) - mm[k], dy = (y - ho[k]) - mo[k];
            qm[k] += keep(both, dm * dm);
            qo[k] += keep(both, dy * dy);
            p[k] += keep(both, dm * dy);
        }
    }
    store_k(t.at(kSqM, i, j), qm), store_k(t.at(kSqO, i, j), qo), store_k(t.at(kProd, i, j), p);
}

using SweepFn = void (*)(const double*, const double*, std::size_t, TileSums&, std::size_t, std::size_t);

void sweep_sums_4(const double* a, const double* b, std::size_t nr, TileSums& t, std::size_t i, std::size_t j) {
    sweep_sums<Vec2, 2>(a, b, nr, t, i, j);
}
void sweep_squares_4(const double* a, const double* b, std::size_t nr, TileSums& t, std::size_t i,
                     std::size_t j) {
    sweep_squares<Vec2, 2>(a, b, nr, t, i, j);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void sweep_sums_8(const double* a, const double* b, std::size_t nr, TileSums& t,
                                                  std::size_t i, std::size_t j) {
    sweep_sums<Vec4, 2>(a, b, nr, t, i, j);
}
__attribute__((target("avx2"))) void sweep_squares_8(const double* a, const double* b, std::size_t nr,
                                                     TileSums& t, std::size_t i, std::size_t j) {
    sweep_squares<Vec4, 2>(a, b, nr, t, i, j);
}
#endif

struct Sweeps {
    SweepFn sums, squares;
};

Sweeps sweeps(std::size_t lanes) {
#if defined(__x86_64__)
    if (lanes == 8) return {sweep_sums_8, sweep_squares_8};
#endif
    return {sweep_sums_4, sweep_squares_4};
}

// panel[r * width + i]: the cell of column cols[i] in row r0 + r, NaN included;
// the lanes up to `padded` are NaN, so no pair of theirs ever counts a row.
void gather_raw(const DataMatrix& data, std::span<const std::size_t> cols, std::size_t r0, std::size_t nr,
                std::size_t width, std::size_t padded, double* panel) {
    for (std::size_t r = 0; r < nr; ++r) {
        const double* row = data.data() + (r0 + r) * data.cols();
        double* out = panel + r * width;
        for (std::size_t i = 0; i < cols.size(); ++i) out[i] = row[cols[i]];
        std::fill(out + cols.size(), out + padded, missing_nan());
    }
}

std::size_t round_up(std::size_t n, std::size_t step) { return (n + step - 1) / step * step; }

// Each missing column's best among `observed`, visited in order, over the
// pairs' common rows.
void gap_part(const DataMatrix& data, std::span<const std::size_t> missing, std::span<const std::size_t> observed,
              std::size_t lanes, Predictor* best) {
    const Sweeps sweep = sweeps(lanes);
    std::vector<double> a(kRows * kMissTile), b(kRows * kObsTile);
    TileSums t;
    const auto both_sweeps = [&](std::span<const std::size_t> tile, std::size_t wo, SweepFn fn) {
        for (std::size_t r0 = 0; r0 < data.rows(); r0 += kRows) {
            const std::size_t nr = std::min(kRows, data.rows() - r0);
            interrupt_point(nr * missing.size() * wo);
            gather_raw(data, missing, r0, nr, kMissTile, missing.size(), a.data());
            gather_raw(data, tile, r0, nr, kObsTile, wo, b.data());
            for (std::size_t i = 0; i < missing.size(); ++i)
                for (std::size_t j = 0; j < wo; j += lanes) fn(a.data() + i, b.data() + j, nr, t, i, j);
        }
    };
    for (std::size_t o0 = 0; o0 < observed.size(); o0 += kObsTile) {
        const auto tile = observed.subspan(o0, std::min(kObsTile, observed.size() - o0));
        const std::size_t wo = round_up(tile.size(), lanes);
        std::fill(t.v.begin(), t.v.end(), 0.0);
        both_sweeps(tile, wo, sweep.sums);
        for (std::size_t i = 0; i < missing.size(); ++i)
            for (std::size_t j = 0; j < wo; ++j) {
                *t.at(kSumM, i, j) /= *t.at(kCount, i, j);
                *t.at(kSumO, i, j) /= *t.at(kCount, i, j);
            }
        both_sweeps(tile, wo, sweep.squares);
        for (std::size_t i = 0; i < missing.size(); ++i)
            for (std::size_t j = 0; j < tile.size(); ++j) {
                if (*t.at(kCount, i, j) < 2.0) continue;
                const double v =
                    std::abs(*t.at(kProd, i, j) / (std::sqrt(*t.at(kSqM, i, j)) * std::sqrt(*t.at(kSqO, i, j))));
                // A NaN never compares greater, so it is never taken.
                if (v > best[i].abs_corr) best[i] = {v, tile[j]};
            }
    }
}

// The bests of `group` (places in `missing`) among `observed`.
std::vector<Predictor> search_group(const DataMatrix& data, std::span<const std::size_t> missing,
                                    const std::vector<std::size_t>& group, std::span<const std::size_t> observed,
                                    Pool& pool, std::size_t lanes) {
    if (group.empty() || observed.empty()) return std::vector<Predictor>(group.size());
    std::vector<std::size_t> cols(group.size());
    for (std::size_t k = 0; k < group.size(); ++k) cols[k] = missing[group[k]];
    return search_by_parts(cols.size(), observed.size(), kMissTile, lanes, pool,
                           [&](std::size_t m0, std::size_t m1, std::size_t o0, std::size_t o1, Predictor* out) {
                               gap_part(data, std::span(cols).subspan(m0, m1 - m0),
                                        observed.subspan(o0, o1 - o0), lanes, out);
                           });
}

}  // namespace

// A column flat over all its rows is flat over any of them, and one with fewer
// than two values has no pair of two common rows: both are left out. A column
// without a NaN but with an infinity takes part, since a pair's common rows
// may leave the infinity out.
void merge_gap_predictors(const DataMatrix& data, const ColumnStats& s, std::span<const std::size_t> missing,
                          std::span<const std::size_t> observed, Pool& pool, std::size_t lanes,
                          std::vector<Predictor>& records) {
    const auto usable = [&](std::size_t c) { return s.has_gaps(c) ? s.values[c] >= 2 : !s.flat[c]; };
    std::vector<std::size_t> any_obs, gap_obs;  // in `observed` order
    for (std::size_t o : observed)
        if (usable(o)) {
            any_obs.push_back(o);
            if (s.has_gaps(o)) gap_obs.push_back(o);
        }
    // Places in `missing`: columns with gaps pair with every observed column,
    // those without only with the observed columns with gaps.
    std::vector<std::size_t> gap_miss, full_miss;
    for (std::size_t k = 0; k < missing.size(); ++k)
        if (usable(missing[k])) (s.has_gaps(missing[k]) ? gap_miss : full_miss).push_back(k);
    if (gap_miss.empty() && gap_obs.empty()) return;

    std::vector<std::size_t> rank(data.cols());
    for (std::size_t i = 0; i < observed.size(); ++i) rank[observed[i]] = i;
    const auto merge = [&](const std::vector<std::size_t>& group, const std::vector<Predictor>& found) {
        for (std::size_t k = 0; k < group.size(); ++k) {
            Predictor& r = records[group[k]];
            const Predictor& p = found[k];
            const bool tie = p.abs_corr > 0.0 && p.abs_corr == r.abs_corr && rank[p.column] < rank[r.column];
            if (p.abs_corr > r.abs_corr || tie) r = p;
        }
    };
    merge(gap_miss, search_group(data, missing, gap_miss, any_obs, pool, lanes));
    merge(full_miss, search_group(data, missing, full_miss, gap_obs, pool, lanes));
}

}  // namespace porosa::mar
