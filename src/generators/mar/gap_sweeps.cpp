#include "generators/mar/gap_sweeps.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace porosa::mar {

namespace {

using F = TileFigures;

// GCC's vector types, one register wide: 2 doubles for the baseline, 4 with
// AVX2. A sweep holds K of them per figure, so a call serves K x width pairs.
typedef double Vec2 __attribute__((vector_size(16)));
#if defined(__x86_64__)
// Used only inside functions built for AVX2, always inlined there, so no call
// ever passes one by the ABI GCC warns about.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double Vec4 __attribute__((vector_size(32)));
#endif

// A mask instead of the ?: of vectors, which GCC turns into branches per lane.
template <class V, class M>
[[gnu::always_inline]] inline V keep(M mask, V v) {
    return (V)((M)v & mask);
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

// K vectors of a pair figure serve K x width pairs. A row that a pair skips
// adds +0.0 (all bits masked off), which leaves its sum as it was: a sum that
// starts at +0.0 is never -0.0. The shifts are set before the first sweep.
template <class V, std::size_t K>
[[gnu::always_inline]] inline void sweep_sums(const double* x, const double* y, std::size_t nr, TileFigures& t,
                                              std::size_t i, std::size_t j) {
    constexpr std::size_t kW = sizeof(V) / sizeof(double), kL = K * kW;
    const V one = splat<V>(1.0);
    V hm[K], ho[K], sm[K], so[K], n[K];
    load_k(hm, t.at(F::kShiftM, i, j)), load_k(ho, t.at(F::kShiftO, i, j));
    load_k(sm, t.at(F::kMeanM, i, j)), load_k(so, t.at(F::kMeanO, i, j)), load_k(n, t.at(F::kCount, i, j));
    for (std::size_t r = 0; r < nr; ++r) {
        if (std::isnan(x[r])) continue;
        const V xv = splat<V>(x[r]);
        for (std::size_t k = 0; k < K; ++k) {
            const V yv = load<V>(y + r * kL + k * kW);
            const auto both = yv == yv;
            sm[k] += keep(both, xv - hm[k]);
            so[k] += keep(both, yv - ho[k]);
            n[k] += keep(both, one);
        }
    }
    store_k(t.at(F::kMeanM, i, j), sm), store_k(t.at(F::kMeanO, i, j), so), store_k(t.at(F::kCount, i, j), n);
}

template <class V, std::size_t K>
[[gnu::always_inline]] inline void sweep_squares(const double* x, const double* y, std::size_t nr,
                                                 TileFigures& t, std::size_t i, std::size_t j) {
    constexpr std::size_t kW = sizeof(V) / sizeof(double), kL = K * kW;
    V hm[K], ho[K], mm[K], mo[K], qm[K], qo[K], p[K];
    load_k(hm, t.at(F::kShiftM, i, j)), load_k(ho, t.at(F::kShiftO, i, j));
    load_k(mm, t.at(F::kMeanM, i, j)), load_k(mo, t.at(F::kMeanO, i, j));
    load_k(qm, t.at(F::kSqM, i, j)), load_k(qo, t.at(F::kSqO, i, j)), load_k(p, t.at(F::kProd, i, j));
    for (std::size_t r = 0; r < nr; ++r) {
        if (std::isnan(x[r])) continue;
        const V xv = splat<V>(x[r]);
        for (std::size_t k = 0; k < K; ++k) {
            const V yv = load<V>(y + r * kL + k * kW);
            // A skipped row's centred values become +0.0, and so do their products.
            const auto both = yv == yv;
            const V dm = keep(both, (xv - hm[k]) - mm[k]), dy = keep(both, (yv - ho[k]) - mo[k]);
            qm[k] += dm * dm;
            qo[k] += dy * dy;
            p[k] += dm * dy;
        }
    }
    store_k(t.at(F::kSqM, i, j), qm), store_k(t.at(F::kSqO, i, j), qo), store_k(t.at(F::kProd, i, j), p);
}

void sweep_sums_4(const double* x, const double* y, std::size_t nr, TileFigures& t, std::size_t i, std::size_t j) {
    sweep_sums<Vec2, 2>(x, y, nr, t, i, j);
}
void sweep_squares_4(const double* x, const double* y, std::size_t nr, TileFigures& t, std::size_t i,
                     std::size_t j) {
    sweep_squares<Vec2, 2>(x, y, nr, t, i, j);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void sweep_sums_8(const double* x, const double* y, std::size_t nr, TileFigures& t,
                                                  std::size_t i, std::size_t j) {
    sweep_sums<Vec4, 2>(x, y, nr, t, i, j);
}
__attribute__((target("avx2"))) void sweep_squares_8(const double* x, const double* y, std::size_t nr,
                                                     TileFigures& t, std::size_t i, std::size_t j) {
    sweep_squares<Vec4, 2>(x, y, nr, t, i, j);
}
#endif

}  // namespace

Sweeps gap_sweeps(std::size_t lanes) {
#if defined(__x86_64__)
    if (lanes == 8) return {sweep_sums_8, sweep_squares_8};
#endif
    return {sweep_sums_4, sweep_squares_4};
}

}  // namespace porosa::mar
