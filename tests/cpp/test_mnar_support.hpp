// Helpers shared by the MNAR tests.
#pragma once
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/data_matrix.hpp"
#include "generators/common/mask.hpp"
#include "generators/common/mode.hpp"
#include "generators/common/rng.hpp"

namespace mnar_test {

inline porosa::Mode mode_of(porosa::Kind kind) {
    porosa::Mode m;
    m.kind = kind;
    return m;
}

// Distinct values with ties and signs mixed in, plus NaN cells at roughly
// `nan_share` of the positions, all from a seeded stream.
inline porosa::DataMatrix random_matrix(std::size_t rows, std::size_t cols, std::uint64_t seed,
                                        double nan_share = 0.0) {
    porosa::Rng rng = porosa::rng_from_u64(seed ^ 0x9E3779B97F4A7C15ULL);
    porosa::DataMatrix m(rows, cols);
    for (double& v : m.storage()) {
        v = double(rng.index_below(50)) - 20.0;
        if (rng.uniform_float() < nan_share) v = porosa::missing_nan();
    }
    return m;
}

inline std::size_t nan_count(const porosa::DataMatrix& m) {
    std::size_t n = 0;
    for (double v : m.storage()) n += std::isnan(v);
    return n;
}

// The protected columns a call will draw first, from a copy of its generator.
inline std::vector<std::size_t> protected_of(porosa::Rng twin, const porosa::DataMatrix& m, porosa::Kind kind) {
    const std::array<std::size_t, 2> shape{m.rows(), m.cols()};
    return porosa::fix(shape, twin, mode_of(kind));
}

// Cells that held a value before and hold NaN now; and whether any cell that
// was NaN changed or any protected cell lost its value.
struct Diff {
    std::size_t newly_missing = 0;
    bool protected_lost = false;
    bool other_change = false;
};
inline Diff diff(const porosa::DataMatrix& before, const porosa::DataMatrix& after,
                 const std::vector<std::size_t>& protected_cols) {
    Diff d;
    for (std::size_t r = 0; r < before.rows(); ++r) {
        for (std::size_t c = 0; c < before.cols(); ++c) {
            double b = before(r, c), a = after(r, c);
            if (std::isnan(b)) {
                if (!std::isnan(a)) d.other_change = true;
            } else if (std::isnan(a)) {
                ++d.newly_missing;
                if (protected_cols[r] == c) d.protected_lost = true;
            } else if (a != b) {
                d.other_change = true;
            }
        }
    }
    return d;
}

inline bool same_cells(const porosa::DataMatrix& a, const porosa::DataMatrix& b) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        double x = a.storage()[k], y = b.storage()[k];
        if (std::isnan(x) != std::isnan(y) || (!std::isnan(x) && x != y)) return false;
    }
    return true;
}

// Whether two generators are at the same point of their stream.
inline bool same_stream(porosa::Rng a, porosa::Rng b) {
    for (int i = 0; i < 4; ++i) {
        if (a.next_u64() != b.next_u64()) return false;
    }
    return true;
}

}  // namespace mnar_test
