#include "generators/utils/gauss.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"

namespace porosa {

double Gauss::sample(Rng& rng) const {
    // ln(u1) must stay finite; anything this small is redrawn rather than clamped
    // so that the result stays a pure function of the stream.
    double u1 = rng.uniform_float();
    while (u1 < 1e-17) u1 = rng.uniform_float();
    double u2 = rng.uniform_float();
    double radius = std::sqrt(-2.0 * std::log(u1));
    double z = radius * std::cos(6.283185307179586 * u2);
    return z * scale + mean;
}

namespace {

// NaN and negatives give 0, too large gives the largest index.
std::size_t saturating_index(double p) noexcept {
    if (!(p > 0.0)) return 0;
    // 2^64 (for a 64-bit word) is exactly representable; anything at or past it saturates.
    constexpr double limit = double(std::numeric_limits<std::size_t>::max()) + 1.0;
    if (p >= limit) return std::numeric_limits<std::size_t>::max();
    return std::size_t(p);
}

}  // namespace

Gauss transform(std::vector<double> column, double mean, double variance) {
    const std::size_t n = column.size();
    const double p = std::floor(double(n) * mean);
    std::sort(column.begin(), column.end(), [](double a, double b) { return total_key(a) < total_key(b); });

    std::size_t i = saturating_index(p);
    // A position past the end would have no centre; it is pinned to the top of
    // the column instead, so a quantile position of 1 or more means the maximum.
    // An empty column keeps index 0 and fails below.
    double v;
    if (n % 2 == 1) {
        if (i >= n) i = n - 1;
        v = column[i];
    } else {
        if (i > n) i = n;
        if (i == 0) {
            v = at(column, 0);
        } else {
            std::size_t j = i < n ? i : i - 1;
            v = (column[i - 1] + column[j]) * 0.5;
        }
    }
    double w = variance * (column[n - 1] - column[0]);
    return Gauss{v, w};
}

std::vector<Gauss> get_distribution(double mean, double variance, const DataMatrix& data) {
    const std::size_t rows = data.rows(), cols = data.cols();
    std::vector<Gauss> out(cols);
    parallel_for(cols, [&](std::size_t c) {
        std::vector<double> column(rows);
        for (std::size_t r = 0; r < rows; ++r) column[r] = data(r, c);
        out[c] = transform(std::move(column), mean, variance);
    });
    return out;
}

std::vector<double> get_samples(std::span<const std::size_t> columns, const std::vector<Gauss>& dists, Rng& rng) {
    std::vector<double> out;
    out.reserve(columns.size());
    for (std::size_t c : columns) out.push_back(at(dists, c).sample(rng));
    return out;
}

}  // namespace porosa
